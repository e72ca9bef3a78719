// Linked into programs of the sanitizer build only.
extern "C" {
// x265 keeps blocks it never frees inside x265_encoder_open; libnuma, which
// x265 asks when two encoders start at once, fills its per-node CPU mask
// cache without a lock and may lose one of two masks built together. None
// is ours.
const char* __lsan_default_suppressions() { return "leak:libx265.so\nleak:libnuma.so\n"; }
const char* __lsan_default_options() { return "print_suppressions=0"; }
const char* __asan_default_options() { return "detect_leaks=1:abort_on_error=1"; }
const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1:suppressions=" LUMETRA_UBSAN_SUPPRESSIONS;
}
}
