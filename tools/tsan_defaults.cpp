// Linked into programs of the ThreadSanitizer build only.
extern "C" const char* __tsan_default_options() {
  return "halt_on_error=1:second_deadlock_stack=1:suppressions=" LUMETRA_TSAN_SUPPRESSIONS;
}
