// The file calls on Windows: the Win32 ones, on UTF-16 names widened from UTF-8.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

#include "files/file_io.h"

// The system's own conversion of a path to its name (\??\C:\dir\name), the one every Win32 file
// call makes; exported by ntdll since Windows Vista.
extern "C" NTSTATUS NTAPI RtlDosPathNameToNtPathName_U_WithStatus(PCWSTR path, PUNICODE_STRING name,
                                                                  PWSTR* part, PVOID relative);

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

// The identity of a file on its volume.
bool file_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

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

// The system's name for `path`, made as every file call makes it: relative to the current
// folder, with "/" as "\", "." and ".." taken out, a device name (NUL, COM1) as the device.
// False where no file can have that name (too long, say).
bool system_name(const std::string& path, std::wstring& name) {
  UNICODE_STRING converted = {};
  if (path.empty() || RtlDosPathNameToNtPathName_U_WithStatus(widen(path).c_str(), &converted,
                                                              nullptr, nullptr) < 0) {
    return false;
  }
  name.assign(converted.Buffer, converted.Length / sizeof(wchar_t));
  RtlFreeUnicodeString(&converted);
  return true;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Whether the system's name leads to a named pipe, in any of its spellings: \\.\pipe\ and
// \\?\pipe\ (\??\pipe\), a server's \\host\pipe\ (\??\UNC\host\pipe\), and the device itself
// (\Device\NamedPipe\), also by way of \\.\GLOBALROOT and \\.\Global. Opening such a name
// connects to the pipe's server, which may offer a single connection.
bool names_a_pipe(std::wstring name) {
  for (wchar_t& c : name) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  for (;;) {  // each way round shortens the name
    if (starts_with(name, L"\\??\\globalroot\\")) {
      name.erase(0, 14);
    } else if (starts_with(name, L"\\global??\\") || starts_with(name, L"\\dosdevices\\")) {
      name.replace(0, name.find(L'\\', 1), L"\\??");
    } else if (starts_with(name, L"\\??\\global\\")) {
      name.erase(3, 7);
    } else {
      break;
    }
  }
  if (starts_with(name, L"\\??\\pipe\\") || starts_with(name, L"\\device\\namedpipe\\"))
    return true;
  if (!starts_with(name, L"\\??\\unc\\")) return false;
  std::size_t share = name.find(L'\\', 8);
  return share != std::wstring::npos && name.compare(share, 6, L"\\pipe\\") == 0;
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
  std::wstring system;
  if (!system_name(path, system) || names_a_pipe(system)) return false;
  HANDLE other = CreateFileW(widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same =
      file_identity(as_handle(file.handle), a) && file_identity(other, b) && same_identity(a, b);
  CloseHandle(other);
  return same;
}

namespace {

// --- Interrupts ---------------------------------------------------------------------------
//
// Ctrl-C, Ctrl-Break and a closed console run the handler on a thread of their own: it
// removes a named temporary file and lets the default handler end the process. A commit
// holds the lock, so the handler waits until the output is whole.

SRWLOCK output_lock = SRWLOCK_INIT;
bool armed = false;       // under output_lock
std::wstring armed_path;  // under output_lock
bool handler_installed = false;

BOOL WINAPI remove_temp_and_end(DWORD) {
  AcquireSRWLockExclusive(&output_lock);
  // Open with FILE_SHARE_DELETE: the name goes now, the file as the process ends.
  if (armed) DeleteFileW(armed_path.c_str());
  ReleaseSRWLockExclusive(&output_lock);
  return FALSE;
}

// REQUIRES: output_lock held, for these three.
void arm(const std::wstring& path) {
  armed_path = path;
  armed = true;
  if (!handler_installed) handler_installed = SetConsoleCtrlHandler(remove_temp_and_end, TRUE) != 0;
}

void remove_temp(OutputFile& file) {
  if (file.temp_name.empty()) return;
  DeleteFileW(widen(file.temp_name).c_str());
  armed = false;
  file.temp_name.clear();
}

void close_all(OutputFile& file) {
  if (file.handle != -1) CloseHandle(as_handle(file.handle));
  file.handle = -1;
  remove_temp(file);
  if (file.target != -1) CloseHandle(as_handle(file.target));
  file.target = -1;
  if (handler_installed) SetConsoleCtrlHandler(remove_temp_and_end, FALSE);
  handler_installed = false;
}

// --- Temporary files ----------------------------------------------------------------------

// Uniqueness is all a temporary name needs (CREATE_NEW refuses a taken one): the time and
// the process to start from, then a count.
std::uint64_t next_unique() {
  static std::uint64_t next = 0;
  if (next == 0) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    next = static_cast<std::uint64_t>(now.QuadPart) ^
           (static_cast<std::uint64_t>(GetCurrentProcessId()) << 44);
  }
  return next++;
}

// The folder part of `path`, with its separator: empty for a name in the current folder.
std::string folder_of(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\:");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Makes a temporary file in `folder` (a prefix of a path), open for reading and writing.
// A named one, to be put in place, is armed for removal; one that is only copied from is
// removed by the system as it is closed.
bool make_temp(OutputFile& file, const std::string& folder, bool only_copied) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = folder + temp_file_name(next_unique());
    std::wstring wide = widen(path);
    AcquireSRWLockExclusive(&output_lock);
    HANDLE handle = CreateFileW(
        wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | (only_copied ? FILE_FLAG_DELETE_ON_CLOSE : 0), nullptr);
    DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE && !only_copied) {
      arm(wide);
      file.temp_name = path;
    }
    ReleaseSRWLockExclusive(&output_lock);
    if (handle != INVALID_HANDLE_VALUE) {
      file.handle = from_handle(handle);
      return true;
    }
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool write_all(HANDLE to, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD put = 0;
    DWORD want = size < kChunk ? static_cast<DWORD>(size) : kChunk;
    if (!WriteFile(to, data, want, &put, nullptr) || put == 0) return false;
    data += put;
    size -= put;
  }
  return true;
}

// Copies the whole of `from` over the start of `to` and cuts `to` to that length.
bool copy_into(HANDLE from, HANDLE to) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(from, start, nullptr, FILE_BEGIN) ||
      !SetFilePointerEx(to, start, nullptr, FILE_BEGIN)) {
    return false;
  }
  std::vector<char> block(std::size_t{1} << 20);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, block.data(), static_cast<DWORD>(block.size()), &got, nullptr))
      return false;
    if (got == 0) break;
    if (!write_all(to, block.data(), got)) return false;
  }
  return SetEndOfFile(to) != 0;
}

std::wstring full_path(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  DWORD length = size == 0 ? 0 : GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

// Puts `replacement` in the place of `replaced`, which keeps its security descriptor,
// attributes and streams. (Wine's ReplaceFileW wants full paths and drops the
// attributes: they are given back.)
bool replace_file(const std::wstring& replaced, const std::wstring& replacement) {
  std::wstring target = full_path(replaced);
  DWORD attributes = GetFileAttributesW(target.c_str());
  if (!ReplaceFileW(target.c_str(), full_path(replacement).c_str(), nullptr, 0, nullptr, nullptr)) {
    return false;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && GetFileAttributesW(target.c_str()) != attributes) {
    SetFileAttributesW(target.c_str(), attributes);
  }
  return true;
}

// Whether the folder's entry `path` is itself the file open as `file` (not a symbolic link or
// junction that leads to it), with no other name.
bool named_only_here(const std::wstring& path, HANDLE file) {
  HANDLE entry = CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = file_identity(entry, a) && file_identity(file, b) && same_identity(a, b) &&
              b.nNumberOfLinks == 1;
  if (entry != INVALID_HANDLE_VALUE) CloseHandle(entry);
  return same;
}

// Opens the name, without changing what is there, to tell what it stands for: a device, a
// pipe or a console is written in place through this very handle (a pipe's server may offer
// a single connection, so the name is opened once only); a file on disk the caller may not
// write (read-only, or held open by another program without sharing) is refused. Fills
// `facts` for choose_output_rule.
void probe_output(const std::string& path, OutputFile& file, OutputFacts& facts) {
  std::wstring wide = widen(path);
  HANDLE existing = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      DWORD attributes = GetFileAttributesW(wide.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        facts.kind = OutputKind::Regular;
      }
      return;
    }
    // A name the system would not let a plain write make (too long, a reserved name, no
    // right to the folder) is refused now, not once the cut is made: it is made for a moment,
    // and goes as its handle closes.
    HANDLE trial = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (trial == INVALID_HANDLE_VALUE) return;
    CloseHandle(trial);
    facts.kind = OutputKind::Nothing;
  } else if (GetFileType(existing) != FILE_TYPE_DISK) {
    facts.kind = OutputKind::Special;
    facts.writable = true;
    file.handle = from_handle(existing);
    return;
  } else {
    facts.kind = OutputKind::Regular;
    facts.writable = true;
    file.target = from_handle(existing);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(existing, &info)) facts.links = info.nNumberOfLinks;
    facts.entry_is_file = named_only_here(wide, existing);
  }
  file.final_name = path;
  facts.temp_beside = make_temp(file, folder_of(path), false);
  // ReplaceFileW gives the new file the old one's security descriptor, attributes and
  // streams; should it fail after all, the commit copies instead.
  facts.identity_kept = facts.rename_allowed = true;
}

}  // namespace

bool create_output(const std::string& path, OutputFile& file, TempForm) {
  file = OutputFile();
  OutputFacts facts;
  if (!path.empty()) probe_output(path, file, facts);
  file.rule = choose_output_rule(facts);
  if (file.rule == OutputRule::Refuse) {
    AcquireSRWLockExclusive(&output_lock);
    close_all(file);
    ReleaseSRWLockExclusive(&output_lock);
    return false;
  }
  if (file.rule != OutputRule::CopyInto || file.handle != -1) return true;
  // No temporary file beside the output: one in the system's temporary folder.
  wchar_t folder[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  std::string narrow;
  if (length > 0 && length <= MAX_PATH) {
    int size = WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(length), nullptr, 0,
                                   nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(length), &narrow[0], size, nullptr,
                        nullptr);
  }
  if (!narrow.empty() && make_temp(file, narrow, true)) return true;
  AcquireSRWLockExclusive(&output_lock);
  close_all(file);
  ReleaseSRWLockExclusive(&output_lock);
  return false;
}

bool output_is_file(const OutputFile& output, const InputFile& input) {
  std::intptr_t out = output.target != -1 ? output.target : output.handle;
  if (output.rule == OutputRule::CreateNew || out == -1) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  return GetFileInformationByHandle(as_handle(out), &a) &&
         GetFileInformationByHandle(as_handle(input.handle), &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool write_output(OutputFile& file, const char* data, std::size_t size) {
  return write_all(as_handle(file.handle), data, size);
}

bool commit_output(OutputFile& file) {
  AcquireSRWLockExclusive(&output_lock);
  bool ok = false;
  HANDLE out = as_handle(file.handle);
  std::wstring temp = widen(file.temp_name);
  std::wstring final_name = widen(file.final_name);
  switch (file.rule) {
    case OutputRule::Refuse:
      break;
    case OutputRule::ThroughDescriptor:
    case OutputRule::InPlace:
    case OutputRule::CreateNew:
      ok = CloseHandle(out) != 0;
      file.handle = -1;
      // Never over a file that someone made meanwhile.
      if (ok && file.rule == OutputRule::CreateNew) {
        ok = MoveFileExW(temp.c_str(), final_name.c_str(), 0) != 0;
        if (ok) file.temp_name.clear();
      }
      break;
    case OutputRule::ReplaceByRename:
      // Only while the name still stands for the file that was opened, with no other name;
      // else the cut goes into that file, as a plain write would have put it.
      if (!named_only_here(final_name, as_handle(file.target))) {
        ok = copy_into(out, as_handle(file.target));
        break;
      }
      // With no handle left open on either file, which ReplaceFileW wants to open alone.
      // Should it fail, the cut is copied into the file instead.
      CloseHandle(out);
      file.handle = -1;
      CloseHandle(as_handle(file.target));
      file.target = -1;
      ok = replace_file(final_name, temp);
      if (ok) {
        file.temp_name.clear();
      } else {
        file.handle = from_handle(CreateFileW(temp.c_str(), GENERIC_READ, kShareAll, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        file.target = from_handle(CreateFileW(final_name.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        // (INVALID_HANDLE_VALUE is -1, the record's "none".)
        ok = file.handle != -1 && file.target != -1 &&
             copy_into(as_handle(file.handle), as_handle(file.target));
      }
      break;
    case OutputRule::CopyInto:
      ok = copy_into(out, as_handle(file.target));
      break;
  }
  if (file.target != -1 && !CloseHandle(as_handle(file.target))) ok = false;
  file.target = -1;
  close_all(file);
  ReleaseSRWLockExclusive(&output_lock);
  return ok;
}

void discard_output(OutputFile& file) {
  AcquireSRWLockExclusive(&output_lock);
  close_all(file);
  ReleaseSRWLockExclusive(&output_lock);
}
