#include "motion/file_io.h"

#include <cerrno>
#include <cstdio>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#endif

namespace {

// "<dir>/.<name>.<pid>.<n>.tmp" beside `target`, so that the final move never crosses
// file systems and a leftover from a killed run is recognisable.
std::string temp_name_for(const std::string& target, unsigned long pid, int attempt) {
#ifdef _WIN32
  std::size_t slash = target.find_last_of("/\\:");
#else
  std::size_t slash = target.find_last_of('/');
#endif
  std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  std::string name = target.substr(0, name_start);
  name += '.';
  name.append(target, name_start, std::string::npos);
  name += '.';
  name += std::to_string(pid);
  name += '.';
  name += std::to_string(attempt);
  name += ".tmp";
  return name;
}

}  // namespace

#ifdef _WIN32

namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

HANDLE as_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t from_handle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kChunk = 1u << 30;  // ReadFile and WriteFile take 32-bit sizes

}  // namespace

bool open_input(const std::string& path, InputFile& file) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, which is what we want.
  HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (path.empty() || handle == INVALID_HANDLE_VALUE) return false;
  file.handle = from_handle(handle);
  return true;
}

std::int64_t read_input(InputFile& file, char* buffer, std::size_t size) {
  DWORD got = 0;
  DWORD want = size < kChunk ? static_cast<DWORD>(size) : kChunk;
  if (!ReadFile(as_handle(file.handle), buffer, want, &got, nullptr)) {
    // A pipe whose writer has gone is the end of the input, not an error.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return got;
}

void close_input(InputFile& file) {
  if (file.handle != -1) CloseHandle(as_handle(file.handle));
  file.handle = -1;
}

namespace {

// True for "\\.\pipe\..." in any spelling of its separators and case.
bool is_pipe_name(const std::string& path) {
  const char kPrefix[] = "\\\\.\\pipe\\";
  if (path.size() < sizeof kPrefix - 1) return false;
  for (std::size_t i = 0; i < sizeof kPrefix - 1; ++i) {
    char c = path[i] == '/' ? '\\' : path[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

}  // namespace

std::int64_t input_file_size(const InputFile& file) {
  HANDLE handle = as_handle(file.handle);
  LARGE_INTEGER size;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) return -1;
  return size.QuadPart;
}

std::int64_t read_input_at(InputFile& file, std::int64_t offset, char* buffer, std::size_t size) {
  // On a handle opened for plain reads, the system serialises reads at given offsets.
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  DWORD want = size < kChunk ? static_cast<DWORD>(size) : kChunk;
  if (!ReadFile(as_handle(file.handle), buffer, want, &got, &at)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return got;
}

bool seek_input(InputFile& file, std::int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return SetFilePointerEx(as_handle(file.handle), to, nullptr, FILE_BEGIN) != 0;
}

bool is_same_file(const InputFile& file, const std::string& path) {
  // A named pipe is never a file on disk, and opening its name would take the connection
  // its server offers, which the output needs.
  if (is_pipe_name(path)) return false;
  HANDLE other = CreateFileW(widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (path.empty() || other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(as_handle(file.handle), &a) &&
              GetFileInformationByHandle(other, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

bool create_output(const std::string& path, OutputFile& file) {
  file.final_path = path;
  file.temp_path.clear();
  if (path.empty()) return false;
  // Opening the name, without changing what is there, tells what it stands for: a device,
  // a pipe or a console is written in place through this very handle (a pipe's server may
  // offer a single connection, so the name is opened once only); a file on disk is
  // replaced.
  HANDLE existing =
      CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing == INVALID_HANDLE_VALUE) {
    // Only a name that does not exist yet is created. A folder, a missing folder, a
    // read-only file or one locked by another program cannot take the output.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  } else if (GetFileType(existing) != FILE_TYPE_DISK) {
    file.handle = from_handle(existing);
    return true;
  } else {
    CloseHandle(existing);
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = temp_name_for(path, GetCurrentProcessId(), attempt);
    HANDLE handle = CreateFileW(widen(temp).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file.handle = from_handle(handle);
      file.temp_path = temp;
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool write_output(OutputFile& file, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD put = 0;
    DWORD want = size < kChunk ? static_cast<DWORD>(size) : kChunk;
    if (!WriteFile(as_handle(file.handle), data, want, &put, nullptr) || put == 0) return false;
    data += put;
    size -= put;
  }
  return true;
}

bool commit_output(OutputFile& file) {
  bool ok = CloseHandle(as_handle(file.handle)) != 0;
  file.handle = -1;
  if (file.temp_path.empty()) return ok;
  std::wstring temp = widen(file.temp_path);
  ok = ok &&
       MoveFileExW(temp.c_str(), widen(file.final_path).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) DeleteFileW(temp.c_str());
  file.temp_path.clear();
  return ok;
}

void discard_output(OutputFile& file) {
  if (file.handle != -1) CloseHandle(as_handle(file.handle));
  file.handle = -1;
  if (!file.temp_path.empty()) DeleteFileW(widen(file.temp_path).c_str());
  file.temp_path.clear();
}

#else  // POSIX

namespace {

int as_fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// Where the chain of symbolic links that starts at `path` ends, whether or not anything is
// there yet; `path` itself when it is no link. False when the chain cannot be followed.
bool link_chain_end(const std::string& path, std::string& end) {
  end = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info;
    if (::lstat(end.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    char text[PATH_MAX];
    ssize_t length = ::readlink(end.c_str(), text, sizeof text);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) return false;
    std::string next(text, static_cast<std::size_t>(length));
    std::size_t slash = end.find_last_of('/');
    if (next[0] != '/' && slash != std::string::npos) next = end.substr(0, slash + 1) + next;
    end = next;
  }
  return false;
}

}  // namespace

bool open_input(const std::string& path, InputFile& file) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return false;
  }
#if defined(POSIX_FADV_SEQUENTIAL)
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  file.handle = fd;
  return true;
}

std::int64_t read_input(InputFile& file, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = ::read(as_fd(file.handle), buffer, size);
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

void close_input(InputFile& file) {
  if (file.handle != -1) ::close(as_fd(file.handle));
  file.handle = -1;
}

std::int64_t input_file_size(const InputFile& file) {
  struct stat info;
  if (::fstat(as_fd(file.handle), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

std::int64_t read_input_at(InputFile& file, std::int64_t offset, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = ::pread(as_fd(file.handle), buffer, size, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

bool seek_input(InputFile& file, std::int64_t offset) {
  return ::lseek(as_fd(file.handle), static_cast<off_t>(offset), SEEK_SET) == offset;
}

bool is_same_file(const InputFile& file, const std::string& path) {
  struct stat a, b;
  if (::fstat(as_fd(file.handle), &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool create_output(const std::string& path, OutputFile& file) {
  file.final_path = path;
  file.temp_path.clear();
  if (path.empty()) return false;

  // A regular file, or a name with nothing behind it yet, is replaced through a temporary
  // file: beside the file a chain of symbolic links ends at, so that the links stay links.
  // Anything else (a device, a pipe, /dev/stdout) is written in place.
  struct stat info;
  bool exists = ::stat(path.c_str(), &info) == 0;
  bool replace = exists ? S_ISREG(info.st_mode) : errno == ENOENT;
  std::string target;
  if (replace && !link_chain_end(path, target)) replace = false;

  if (!replace) {
    int fd;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    file.handle = fd;
    return true;
  }

  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = temp_name_for(target, static_cast<unsigned long>(::getpid()), attempt);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // A file that is replaced keeps its permissions; a new one gets the usual 0666 less umask.
      if (exists) ::fchmod(fd, info.st_mode & 07777);
      file.handle = fd;
      file.final_path = target;
      file.temp_path = temp;
      return true;
    }
    if (errno != EEXIST && errno != EINTR) return false;
  }
  return false;
}

bool write_output(OutputFile& file, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t put = ::write(as_fd(file.handle), data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool commit_output(OutputFile& file) {
  bool ok = ::close(as_fd(file.handle)) == 0;
  file.handle = -1;
  if (file.temp_path.empty()) return ok;
  ok = ok && ::rename(file.temp_path.c_str(), file.final_path.c_str()) == 0;
  if (!ok) ::unlink(file.temp_path.c_str());
  file.temp_path.clear();
  return ok;
}

void discard_output(OutputFile& file) {
  if (file.handle != -1) ::close(as_fd(file.handle));
  file.handle = -1;
  if (!file.temp_path.empty()) ::unlink(file.temp_path.c_str());
  file.temp_path.clear();
}

#endif
