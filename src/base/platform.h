// The few things the library needs from the operating system, in one
// place: platform_posix.cpp and platform_win32.cpp beside it implement them.
//
// Paths are byte strings. On Windows a path whose bytes are valid UTF-8 and
// not all ASCII is UTF-8; any other is in the ANSI code page, as the A
// functions take it. Names a listing finds come back in the form of the
// directory's path (UTF-8 for an ASCII one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Between a directory and an entry's name in the paths the library forms.
#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif
bool is_separator(char c);

// Other: FIFO, character device, socket.
enum class FileKind { Missing, Regular, BlockDevice, Directory, Other };

// What a path names (links followed).
FileKind kind_of(const char* path);
// fopen, and remove, for every name the platform spells.
FILE* open_file(const char* path, const char* mode);
bool remove_file(const char* path);
// The file's size in bytes, or -1 when it has none (not a regular file).
int64_t size_of(const char* path);
// Whether path itself is a symbolic link (or another reparse point).
bool is_link(const char* path);
// Makes one directory (its parent must exist); false when it cannot.
bool make_directory(const char* path);
// Whether two paths name the same file (links followed); false when either
// is missing.
bool same_file(const char* a, const char* b);

// A file opened for reading that never blocks: a FIFO or device is opened
// and reported, not waited on.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  // False with errno set when the file cannot be opened.
  bool open(const char* path);
  bool is_regular() const { return regular_; }
  int64_t size() const { return size_; }  // 0 when unknown
  // Bytes read (0 at the end), -1 on an error.
  long read(void* buffer, size_t size);

 private:
  intptr_t handle_ = -1;
  bool regular_ = false;
  int64_t size_ = 0;
};

// The batch walk's directory listing: every entry once, "." and ".." as
// directories, in the listing's own order.
class DirListing {
 public:
  // request: from listing_request().
  explicit DirListing(const char* request);
  ~DirListing();
  DirListing(const DirListing&) = delete;
  DirListing& operator=(const DirListing&) = delete;
  bool opened() const;
  // The next entry's name (valid until the next call), or nullptr at the end.
  const char* next(bool* is_directory);

 private:
  struct State;
  State* state_;
};

// What opens a listing of dir: on Windows the search pattern "<dir>\*.*",
// elsewhere the directory and a separator. False when it would not fit the
// bound (260 bytes; on Windows space for MAX_PATH characters in UTF-8).
#ifdef _WIN32
constexpr size_t kListingRequestSize = 3 * 260;
#else
constexpr size_t kListingRequestSize = 260;
#endif
bool listing_request(const char* dir, char (&request)[kListingRequestSize]);

// While one lives, the calling thread formats numbers in the C locale.
class CLocaleScope {
 public:
  CLocaleScope();
  ~CLocaleScope();
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  void* saved_ = nullptr;
  int mode_ = 0;
};

// ---- output files ----

// The path a write to target really replaces: a symbolic link stays and the
// file it leads to is replaced.
std::string resolve_links(const char* target);
// Creates a new file named like path_template, whose last six characters
// "XXXXXX" are replaced; it gets the permissions of `like` (an existing
// file) or those of a newly created file when like is null. nullptr with
// errno set on failure.
FILE* create_unique_file(std::string* path_template, const char* like);
// Flushes the stream's data to the disk (not just to the system).
bool sync_to_disk(FILE* stream);
// Puts from in place of to, replacing it in one step.
bool replace_file(const char* from, const char* to);
// Makes the last rename in dir survive a power cut: fsync of the directory
// on POSIX; nothing on Windows, where MOVEFILE_WRITE_THROUGH has done it.
// True when the directory cannot be synced at all (not readable, or a file
// system that says EINVAL/ENOTSUP); false with errno set when the sync
// failed (EIO: the rename may not survive).
bool sync_directory(const char* dir);
// The longest file name the directory takes.
size_t max_name_length();
// Every name in dir (no "." or ".."), in the listing's order; empty when it
// cannot be listed.
std::vector<std::string> list_names(const std::string& dir);

// ---- codec plugins ----

// The address of `symbol` in the shared library at path, which stays loaded
// for the rest of the process; nullptr when it cannot be loaded or lacks
// the symbol. Always nullptr on Windows, where the codecs are linked in.
void* plugin_symbol(const char* path, const char* symbol);

}  // namespace platform
