// The platform layer on Windows. Paths are byte strings in the process's
// ANSI code page, as the narrow (A) functions take them.
#include "platform.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

// The DLL's load entry point: no per-process or per-thread set-up.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

namespace platform {

bool is_separator(char c) { return c == '\\' || c == '/'; }

FileKind kind_of(const char* path) {
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return FileKind::Missing;
  if ((st.st_mode & _S_IFMT) == _S_IFREG) return FileKind::Regular;
  return (st.st_mode & _S_IFMT) == _S_IFDIR ? FileKind::Directory : FileKind::Other;
}

int64_t size_of(const char* path) {
  struct _stat64 st;
  if (_stat64(path, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return st.st_size;
}

bool is_link(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool make_directory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

namespace {

bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

}  // namespace

bool same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return file_identity(a, &ia) && file_identity(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

InputFile::~InputFile() {
  if (handle_ >= 0) _close(static_cast<int>(handle_));
}

bool InputFile::open(const char* path) {
  const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    // Windows will not open a directory as a file: it is there, but not
    // something to read.
    if (errno == EACCES && kind_of(path) == FileKind::Directory) return true;
    return false;
  }
  handle_ = fd;
  // Pipes and character devices (CON, NUL, COM1) are no files to read.
  regular_ = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) == FILE_TYPE_DISK;
  struct _stat64 st;
  if (regular_ && _fstat64(fd, &st) == 0) size_ = st.st_size;
  return true;
}

long InputFile::read(void* buffer, size_t size) {
  if (handle_ < 0) {
    errno = EISDIR;
    return -1;
  }
  const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
  return _read(static_cast<int>(handle_), buffer, chunk);
}

struct DirListing::State {
  HANDLE find;
  WIN32_FIND_DATAA entry;
  bool first_pending;
};

DirListing::DirListing(const char* request) : state_(new State) {
  state_->find = FindFirstFileA(request, &state_->entry);
  state_->first_pending = true;
  if (state_->find == INVALID_HANDLE_VALUE) {
    delete state_;
    state_ = nullptr;
  }
}

DirListing::~DirListing() {
  if (state_ != nullptr) FindClose(state_->find);
  delete state_;
}

bool DirListing::opened() const { return state_ != nullptr; }

const char* DirListing::next(bool* is_directory) {
  if (!state_->first_pending && FindNextFileA(state_->find, &state_->entry) == 0) return nullptr;
  state_->first_pending = false;
  *is_directory = (state_->entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return state_->entry.cFileName;
}

bool listing_request(const char* dir, char (&request)[260]) {
  const int n = std::snprintf(request, sizeof request, "%s\\*.*", dir);
  return n >= 0 && static_cast<size_t>(n) < sizeof request;
}

CLocaleScope::CLocaleScope() {
  // Only this thread's locale changes; the host's stays as it is.
  mode_ = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
  if (const char* current = std::setlocale(LC_NUMERIC, nullptr)) {
    saved_ = _strdup(current);
    std::setlocale(LC_NUMERIC, "C");
  }
}

CLocaleScope::~CLocaleScope() {
  if (saved_ != nullptr) {
    std::setlocale(LC_NUMERIC, static_cast<const char*>(saved_));
    std::free(saved_);
  }
  if (mode_ > 0) _configthreadlocale(mode_);
}

// Links are rare on Windows and need privileges to make: the path is
// replaced as named.
std::string resolve_links(const char* target) { return target; }

FILE* create_unique_file(std::string* path_template, const char* /*like: the directory's ACL decides*/) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string& name = *path_template;
  if (name.size() < 6 || name.compare(name.size() - 6, 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return nullptr;
  }
  static volatile LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned long long seed = GetTickCount64() ^ (uint64_t(GetCurrentProcessId()) << 32) ^
                              (uint64_t(InterlockedIncrement(&counter)) * 0x9E3779B97F4A7C15ull);
    for (size_t i = name.size() - 6; i < name.size(); ++i) {
      name[i] = kLetters[seed % 62];
      seed = seed / 62 + 0x2545F4914F6CDD1Dull * (i + 1);
    }
    const int fd = _open(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
      const int e = errno;
      _close(fd);
      _unlink(name.c_str());
      errno = e;
    }
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

bool sync_to_disk(FILE* stream) { return _commit(_fileno(stream)) == 0; }

bool replace_file(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) return true;
  errno = errno_of(GetLastError());
  return false;
}

bool sync_directory(const char*) { return true; }

size_t max_name_length() { return MAX_PATH - 1; }

std::vector<std::string> list_names(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const char* name = entry.cFileName;
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) names.emplace_back(name);
  } while (FindNextFileA(find, &entry) != 0);
  FindClose(find);
  return names;
}

}  // namespace platform
