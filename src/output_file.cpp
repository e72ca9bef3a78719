#include "output_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The process's umask without changing it (umask() would, for a moment,
// for every thread).
mode_t current_umask() {
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
}

// The path a write to `target` really replaces: a symbolic link stays and
// the file it leads to is replaced.
std::string resolve_links(const char* target) {
  struct stat st;
  if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return target;
  char resolved[PATH_MAX];
  if (realpath(target, resolved) != nullptr) return resolved;
  return target;  // a dangling or looping link: written through as before
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporary files are named <stem>XXXXXX.
std::string temp_stem(const std::string& base) { return "." + base + ".lumetra-"; }

// mkstemp with close-on-exec, in dir, named after base when the name fits.
int make_temp(const std::string& dir, const std::string& base, std::string* name) {
  for (const std::string& stem : {temp_stem(base), std::string(".lumetra-")}) {
    if (stem.size() + 6 > NAME_MAX) continue;
    std::string candidate = dir + "/" + stem + "XXXXXX";
    const int fd = mkostemp(&candidate[0], O_CLOEXEC);
    if (fd >= 0) {
      *name = candidate;
      return fd;
    }
    if (errno != ENAMETOOLONG) return -1;
  }
  errno = ENAMETOOLONG;
  return -1;
}

}  // namespace

FILE* OutputFile::open() {
  if (target_[0] == '\0') {
    errno = ENOENT;
    return nullptr;
  }
  final_ = resolve_links(target_);
  struct stat st;
  const bool exists = stat(final_.c_str(), &st) == 0;
  // Devices, FIFOs and the like have nothing to rename over: written as is.
  if (exists && !S_ISREG(st.st_mode)) return stream_ = std::fopen(target_, "wb");

  const int fd = make_temp(directory_of(final_), base_of(final_), &temp_);
  if (fd < 0) {
    // A directory that takes no new file but holds a writable target: the
    // one case still written in place (a failure there loses the old file).
    if (exists && (errno == EACCES || errno == EPERM)) {
      temp_.clear();
      return stream_ = std::fopen(target_, "wb");
    }
    return nullptr;
  }
  // The new file gets the old one's permission bits (and owner, where we
  // may), or what a newly created file would get.
  if (exists) {
    if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* not ours to give away: keep ours */ }
    fchmod(fd, st.st_mode & 07777);
  } else {
    fchmod(fd, 0666 & ~current_umask());
  }
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    const int e = errno;
    close(fd);
    unlink(temp_.c_str());
    temp_.clear();
    errno = e;
  }
  return stream_;
}

bool OutputFile::commit() {
  if (stream_ == nullptr) {
    errno = EBADF;
    return false;
  }
  FILE* stream = stream_;
  stream_ = nullptr;
  bool ok = std::fflush(stream) == 0;
  int e = errno;
  if (ok && !temp_.empty() && fsync(fileno(stream)) != 0) ok = false, e = errno;
  if (std::fclose(stream) != 0 && ok) ok = false, e = errno;
  if (ok && !temp_.empty() && std::rename(temp_.c_str(), final_.c_str()) != 0) ok = false, e = errno;
  if (!ok && !temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
  errno = e;
  return ok;
}

void remove_abandoned_temp_files(const char* target) {
  const std::string final_path = resolve_links(target);
  const std::string dir = directory_of(final_path), stem = temp_stem(base_of(final_path));
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, stem.c_str(), stem.size()) == 0) unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
}

OutputFile::~OutputFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  if (!temp_.empty()) unlink(temp_.c_str());
}

namespace {

struct HeifSink {
  const char* path;
  char reason[160];
};

heif_error write_to_sink(heif_context*, const void* data, size_t size, void* user) {
  auto* sink = static_cast<HeifSink*>(user);
  const heif_error failure{heif_error_Encoding_error, heif_suberror_Cannot_write_output_data, sink->reason};
  OutputFile file(sink->path);
  FILE* f = file.open();
  if (f == nullptr) {
    std::snprintf(sink->reason, sizeof sink->reason, "Cannot open output file: %s", std::strerror(errno));
    return failure;
  }
  if ((size > 0 && std::fwrite(data, 1, size, f) != size) || !file.commit()) {
    std::snprintf(sink->reason, sizeof sink->reason, "Cannot write output file: %s", std::strerror(errno));
    return failure;
  }
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

thread_local HeifSink t_sink;

}  // namespace

heif_error write_heif_output(heif_context* ctx, const char* path) {
  t_sink.path = path;
  std::snprintf(t_sink.reason, sizeof t_sink.reason, "%s", "unknown");
  heif_writer writer{1, write_to_sink};
  return heif_context_write(ctx, &writer, &t_sink);
}
