#include "base/output_file.h"

#include <cerrno>
#include <cstring>

#include "base/platform.h"

namespace {

std::string::size_type last_separator(const std::string& path) {
  for (std::string::size_type i = path.size(); i-- > 0;) {
    if (platform::is_separator(path[i])) return i;
  }
  return std::string::npos;
}

std::string directory_of(const std::string& path) {
  const size_t at = last_separator(path);
  if (at == std::string::npos) return ".";
  return at == 0 ? path.substr(0, 1) : path.substr(0, at);
}

std::string base_of(const std::string& path) {
  const size_t at = last_separator(path);
  return at == std::string::npos ? path : path.substr(at + 1);
}

// Temporary files are named <stem>XXXXXX.
std::string temp_stem(const std::string& base) { return "." + base + ".lumetra-"; }

// A new file in dir, named after base when the name fits.
FILE* make_temp(const std::string& dir, const std::string& base, const char* like, std::string* name) {
  for (const std::string& stem : {temp_stem(base), std::string(".lumetra-")}) {
    if (stem.size() + 6 > platform::max_name_length()) continue;
    std::string candidate = dir + platform::kSeparator + stem + "XXXXXX";
    if (FILE* stream = platform::create_unique_file(&candidate, like)) {
      *name = candidate;
      return stream;
    }
    if (errno != ENAMETOOLONG) return nullptr;
  }
  errno = ENAMETOOLONG;
  return nullptr;
}

}  // namespace

FILE* OutputFile::open() {
  if (target_[0] == '\0') {
    errno = ENOENT;
    return nullptr;
  }
  final_ = platform::resolve_links(target_);
  const platform::FileKind kind = platform::kind_of(final_.c_str());
  const bool exists = kind != platform::FileKind::Missing;
  // Devices, FIFOs and the like have nothing to rename over: written as is.
  if (exists && kind != platform::FileKind::Regular) return stream_ = platform::open_file(target_, "wb");

  stream_ = make_temp(directory_of(final_), base_of(final_), exists ? final_.c_str() : nullptr, &temp_);
  if (stream_ == nullptr) {
    temp_.clear();
    // A directory that takes no new file but holds a writable target: the
    // one case still written in place (a failure there loses the old file).
    if (exists && (errno == EACCES || errno == EPERM)) return stream_ = platform::open_file(target_, "wb");
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
  if (ok && !temp_.empty() && !platform::sync_to_disk(stream)) ok = false, e = errno;
  if (std::fclose(stream) != 0 && ok) ok = false, e = errno;
  if (ok && !temp_.empty() && !platform::replace_file(temp_.c_str(), final_.c_str())) ok = false, e = errno;
  if (!ok && !temp_.empty()) platform::remove_file(temp_.c_str());
  // The new file stays in place even when this fails: the old one is gone.
  if (ok && !temp_.empty() && !platform::sync_directory(directory_of(final_).c_str())) ok = false, e = errno;
  temp_.clear();
  errno = e;
  return ok;
}

void remove_abandoned_temp_files(const char* target) {
  const std::string final_path = platform::resolve_links(target);
  const std::string dir = directory_of(final_path), stem = temp_stem(base_of(final_path));
  for (const std::string& name : platform::list_names(dir)) {
    if (name.compare(0, stem.size(), stem) == 0) {
      platform::remove_file((dir + platform::kSeparator + name).c_str());
    }
  }
}

OutputFile::~OutputFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  if (!temp_.empty()) platform::remove_file(temp_.c_str());
}

namespace {

struct HeifSink {
  const char* path;
  const HeifFileEdit* edit;
  char reason[160];
};

heif_error write_to_sink(heif_context*, const void* data, size_t size, void* user) {
  auto* sink = static_cast<HeifSink*>(user);
  const heif_error failure{heif_error_Encoding_error, heif_suberror_Cannot_write_output_data, sink->reason};
  std::vector<uint8_t> edited;
  if (sink->edit != nullptr && *sink->edit) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    edited.assign(bytes, bytes + size);
    if (const char* why = (*sink->edit)(&edited)) {
      std::snprintf(sink->reason, sizeof sink->reason, "%s", why);
      return failure;
    }
    data = edited.data();
    size = edited.size();
  }
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

heif_error write_heif_output(heif_context* ctx, const char* path) { return write_heif_output(ctx, path, {}); }

heif_error write_heif_output(heif_context* ctx, const char* path, const HeifFileEdit& edit) {
  t_sink.path = path;
  t_sink.edit = &edit;
  std::snprintf(t_sink.reason, sizeof t_sink.reason, "%s", "unknown");
  heif_writer writer{1, write_to_sink};
  return heif_context_write(ctx, &writer, &t_sink);
}
