// The platform layer on POSIX systems.
#include "base/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace platform {

bool is_separator(char c) { return c == '/'; }

FileKind kind_of(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return FileKind::Missing;
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  if (S_ISBLK(st.st_mode)) return FileKind::BlockDevice;
  return S_ISDIR(st.st_mode) ? FileKind::Directory : FileKind::Other;
}

int64_t size_of(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

bool is_link(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

FILE* open_file(const char* path, const char* mode) { return std::fopen(path, mode); }

bool remove_file(const char* path) { return std::remove(path) == 0; }

bool make_directory(const char* path) { return mkdir(path, 0777) == 0; }

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

InputFile::~InputFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool InputFile::open(const char* path) {
  // Non-blocking, so that a FIFO with no writer is never waited on.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  struct stat st;
  if (fstat(fd, &st) == 0) {
    regular_ = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    size_ = S_ISREG(st.st_mode) ? st.st_size : 0;
  }
  return true;
}

long InputFile::read(void* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(static_cast<int>(handle_), buffer, size);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

struct DirListing::State {
  DIR* dir;
};

DirListing::DirListing(const char* request) : state_(nullptr) {
  if (DIR* dir = opendir(request)) state_ = new State{dir};
}

DirListing::~DirListing() {
  if (state_ != nullptr) closedir(state_->dir);
  delete state_;
}

bool DirListing::opened() const { return state_ != nullptr; }

const char* DirListing::next(bool* is_directory) {
  const dirent* entry = readdir(state_->dir);
  if (entry == nullptr) return nullptr;
  struct stat st;
  *is_directory = fstatat(dirfd(state_->dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
  return entry->d_name;
}

bool listing_request(const char* dir, char (&request)[kListingRequestSize]) {
  const int n = std::snprintf(request, sizeof request, "%s/", dir);
  return n >= 0 && static_cast<size_t>(n) < sizeof request;
}

CLocaleScope::CLocaleScope() {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (c_locale != static_cast<locale_t>(0)) saved_ = uselocale(c_locale);
}

CLocaleScope::~CLocaleScope() {
  if (saved_ != nullptr) uselocale(static_cast<locale_t>(saved_));
}

std::string resolve_links(const char* target) {
  struct stat st;
  if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return target;
  char resolved[PATH_MAX];
  if (realpath(target, resolved) != nullptr) return resolved;
  return target;  // a dangling or looping link: written through
}

namespace {

// The process's umask without changing it (umask() would, for a moment,
// for every thread).
mode_t current_umask() {
#ifdef __EMSCRIPTEN__
  // emscripten's umask() answers 0777, a mask its own open() never applies:
  // files get the bits the usual mask gives.
  return 022;
#else
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(f);
    if (found) return static_cast<mode_t>(mask);
  }
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
#endif
}

}  // namespace

FILE* create_unique_file(std::string* path_template, const char* like) {
  const int fd = mkostemp(&(*path_template)[0], O_CLOEXEC);
  if (fd < 0) return nullptr;
  // The old file's permission bits (and owner, where we may), or what a
  // newly created file would get.
  struct stat st;
  if (like != nullptr && stat(like, &st) == 0) {
    if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* not ours to give away: keep ours */
    }
    fchmod(fd, st.st_mode & 07777);
  } else {
    fchmod(fd, 0666 & ~current_umask());
  }
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    const int e = errno;
    close(fd);
    unlink(path_template->c_str());
    errno = e;
  }
  return stream;
}

bool sync_to_disk(FILE* stream) { return fsync(fileno(stream)) == 0; }

bool replace_file(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool sync_directory(const char* dir) {
  // A directory we may write into but not read cannot be opened to sync.
  const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  bool ok = fsync(fd) == 0;
  const int e = errno;
  close(fd);
  // File systems without directory sync (some FUSE, network and virtual
  // ones) say EINVAL or ENOTSUP: as durable as they can be.
  if (!ok && (e == EINVAL || e == ENOTSUP || e == EOPNOTSUPP || e == EBADF)) ok = true;
  errno = e;
  return ok;
}

size_t max_name_length() { return NAME_MAX; }

std::vector<std::string> list_names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  return names;
}

void* plugin_symbol(const char* path, const char* symbol) {
  // RTLD_LAZY as libheif opens its plugins; the handle is never closed.
  void* library = dlopen(path, RTLD_LAZY);
  if (library == nullptr) return nullptr;
  void* address = dlsym(library, symbol);
  if (address == nullptr) dlclose(library);
  return address;
}

}  // namespace platform
