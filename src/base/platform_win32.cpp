// The platform layer on Windows. Every path goes to the wide (W) functions:
// one that is valid UTF-8 is read as UTF-8, any other in the ANSI code page
// (as the A functions would read it), so hosts that hand over UTF-8 reach
// every name and ANSI hosts keep working.
#include "base/platform.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// The DLL's load entry point: no per-process or per-thread set-up.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

namespace platform {

namespace {

// The code page a path's bytes are in: UTF-8 when they are valid UTF-8
// (ANSI text beyond ASCII almost never is; ASCII reads the same in both),
// else the one the A functions would read them in.
UINT code_page_of(const char* path) {
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0) > 0) return CP_UTF8;
  return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

std::wstring widen(const char* path, UINT code_page) {
  const int n = MultiByteToWideChar(code_page, 0, path, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, path, -1, &w[0], n);
  w.resize(static_cast<size_t>(n - 1));
  return w;
}

std::wstring wide(const char* path) { return widen(path, code_page_of(path)); }

// A listed name in the code page of the directory's path; one the ANSI code
// page cannot spell comes out with '?', as from the A functions.
std::string narrow(const wchar_t* name, UINT code_page) {
  const int n = WideCharToMultiByte(code_page, 0, name, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, name, -1, &s[0], n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

}  // namespace

bool is_separator(char c) { return c == '\\' || c == '/'; }

FILE* open_file(const char* path, const char* mode) { return _wfopen(wide(path).c_str(), widen(mode, CP_ACP).c_str()); }

bool remove_file(const char* path) { return _wremove(wide(path).c_str()) == 0; }

FileKind kind_of(const char* path) {
  struct _stat64 st;
  if (_wstat64(wide(path).c_str(), &st) != 0) return FileKind::Missing;
  if ((st.st_mode & _S_IFMT) == _S_IFREG) return FileKind::Regular;
  return (st.st_mode & _S_IFMT) == _S_IFDIR ? FileKind::Directory : FileKind::Other;
}

int64_t size_of(const char* path) {
  struct _stat64 st;
  if (_wstat64(wide(path).c_str(), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return st.st_size;
}

bool is_link(const char* path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool make_directory(const char* path) { return CreateDirectoryW(wide(path).c_str(), nullptr) != 0; }

namespace {

bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
  const int fd = _wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
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
  WIN32_FIND_DATAW entry;
  bool first_pending;
  UINT code_page;
  std::string name;
};

DirListing::DirListing(const char* request) : state_(new State) {
  state_->code_page = code_page_of(request);
  state_->find = FindFirstFileW(widen(request, state_->code_page).c_str(), &state_->entry);
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
  if (!state_->first_pending && FindNextFileW(state_->find, &state_->entry) == 0) return nullptr;
  state_->first_pending = false;
  *is_directory = (state_->entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  state_->name = narrow(state_->entry.cFileName, state_->code_page);
  return state_->name.c_str();
}

bool listing_request(const char* dir, char (&request)[kListingRequestSize]) {
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
    const int fd = _wopen(wide(name.c_str()).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
      const int e = errno;
      _close(fd);
      remove_file(name.c_str());
      errno = e;
    }
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

bool sync_to_disk(FILE* stream) { return _commit(_fileno(stream)) == 0; }

bool replace_file(const char* from, const char* to) {
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
    return true;
  errno = errno_of(GetLastError());
  return false;
}

bool sync_directory(const char*) { return true; }

size_t max_name_length() { return MAX_PATH - 1; }

std::vector<std::string> list_names(const std::string& dir) {
  std::vector<std::string> names;
  const std::string request = dir + "\\*";
  const UINT code_page = code_page_of(request.c_str());
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(widen(request.c_str(), code_page).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const wchar_t* name = entry.cFileName;
    if (std::wcscmp(name, L".") != 0 && std::wcscmp(name, L"..") != 0) names.push_back(narrow(name, code_page));
  } while (FindNextFileW(find, &entry) != 0);
  FindClose(find);
  return names;
}

void* plugin_symbol(const char*, const char*) { return nullptr; }

}  // namespace platform
