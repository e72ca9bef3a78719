// The batch worker's memory cap on POSIX: RLIMIT_DATA, and a watch on the
// allocator so that the worker knows when the cap, not the file, failed it.
#include <sys/resource.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "memory_cap.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers replace malloc and reserve terabytes of address space.
#  define LUMETRA_CAP_UNAVAILABLE 1
#endif

namespace {

std::atomic<bool> g_armed{false};
std::atomic<bool> g_refused{false};
size_t g_physical = 0;  // a request beyond the machine's memory fails without any cap
int g_report_fd = -1;

// Said at once: a refusal can end in a crash or a codec that waits forever.
void* watched(void* p, size_t size) {
  if (p == nullptr && size > 0 && size <= g_physical && g_armed.load(std::memory_order_relaxed) &&
      !g_refused.exchange(true))
    (void)!write(g_report_fd, &kOutOfMemoryReport, 1);
  return p;
}

}  // namespace

#ifndef LUMETRA_CAP_UNAVAILABLE
// The tool's allocator is glibc's, observed: every call forwards to it.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);

void* malloc(size_t n) { return watched(__libc_malloc(n), n); }
void* calloc(size_t n, size_t size) {
  size_t total = 0;
  void* p = __libc_calloc(n, size);
  return __builtin_mul_overflow(n, size, &total) ? p : watched(p, total);
}
void* realloc(void* p, size_t n) { return watched(__libc_realloc(p, n), n); }
void* memalign(size_t alignment, size_t n) { return watched(__libc_memalign(alignment, n), n); }
void* aligned_alloc(size_t alignment, size_t n) { return watched(__libc_memalign(alignment, n), n); }
void* valloc(size_t n) { return watched(__libc_valloc(n), n); }
void* pvalloc(size_t n) { return watched(__libc_pvalloc(n), n); }
int posix_memalign(void** out, size_t alignment, size_t n) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = watched(__libc_memalign(alignment, n), n);
  if (p == nullptr && n > 0) return ENOMEM;
  *out = p;
  return 0;
}
}
#endif

bool cap_worker_memory(int64_t limit, int report_fd) {
#ifdef LUMETRA_CAP_UNAVAILABLE
  (void)limit, (void)report_fd;
  return false;
#else
  // RLIMIT_DATA, not RLIMIT_AS: the address space also counts each decoding
  // thread's glibc arena (64 MiB reserved, little used). Measured: a 12 MP
  // iPhone photo on 16 threads needs 1.2 GiB of address space, 0.3 GiB of data.
  rlimit r{};
  r.rlim_cur = r.rlim_max = static_cast<rlim_t>(limit);
  if (setrlimit(RLIMIT_DATA, &r) != 0) return false;
  g_physical = static_cast<size_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
  g_report_fd = report_fd;
  g_armed = true;
  return true;
#endif
}

int64_t available_memory() {
  FILE* f = std::fopen("/proc/meminfo", "re");
  if (f == nullptr) return -1;
  char line[128];
  long long kib = -1;
  while (kib < 0 && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "MemAvailable: %lld kB", &kib) != 1) kib = -1;
  }
  std::fclose(f);
  return kib < 0 ? -1 : static_cast<int64_t>(kib) * 1024;
}
