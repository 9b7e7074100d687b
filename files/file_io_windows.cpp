// The file calls on Windows: the Win32 ones on UTF-16 names widened from UTF-8, and the native
// ones where only they act relative to an open folder (NtCreateFile).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "files/file_io.h"

unsigned long (*file_call_fault)(const char* call) = nullptr;

// The system's own conversion of a path to its name (\??\C:\dir\name), the one every Win32 file
// call makes; exported by ntdll since Windows Vista.
extern "C" NTSTATUS NTAPI RtlDosPathNameToNtPathName_U_WithStatus(PCWSTR path, PUNICODE_STRING name,
                                                                  PWSTR* part, PVOID relative);
// Not every SDK's winternl.h declares it.
extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID data,
                                               ULONG size, FILE_INFORMATION_CLASS kind);

namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], size,
                      nullptr, nullptr);
  return text;
}

HANDLE as_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t from_handle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

void close_handle(std::intptr_t& handle) {
  if (handle != -1) CloseHandle(as_handle(handle));
  handle = -1;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kChunk = 1u << 30;  // ReadFile and WriteFile take 32-bit sizes
// A name the user gives may lead to a named pipe, whose server could otherwise act as this
// process: it may only identify it.
const DWORD kNoImpersonation = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// The identity of a file on its volume.
bool file_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

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

// --- Calls the tests can make fail ---------------------------------------------------------
//
// Every call that makes, puts in place or takes back an output passes the hook first, so that
// the tests can fail any one of them with any error code (file_io.h).

bool fault(const char* call) {
  unsigned long error = file_call_fault ? file_call_fault(call) : 0;
  if (error != 0) SetLastError(error);
  return error != 0;
}

// Opens or makes `name` relative to the open `folder` (or a full system name when `folder` is
// null), as CreateFileW would open a path: INVALID_HANDLE_VALUE on failure, with the error as
// GetLastError() tells it.
HANDLE open_in(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
               ULONG disposition, ULONG options, const char* call, ULONG attributes = 0) {
  if (fault(call)) return INVALID_HANDLE_VALUE;
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  SECURITY_QUALITY_OF_SERVICE quality = {sizeof quality, SecurityIdentification,
                                         SECURITY_STATIC_TRACKING, FALSE};
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  object.SecurityQualityOfService = &quality;
  IO_STATUS_BLOCK io;
  HANDLE handle = INVALID_HANDLE_VALUE;
  NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &object, &io,
                                 nullptr, attributes, share, disposition,
                                 options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status >= 0) return handle;
  SetLastError(RtlNtStatusToDosError(status));
  return INVALID_HANDLE_VALUE;
}

bool set_info(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* data, std::size_t size,
              const char* call) {
  return !fault(call) &&
         SetFileInformationByHandle(file, kind, data, static_cast<DWORD>(size)) != 0;
}

bool get_info(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* data, std::size_t size,
              const char* call) {
  return !fault(call) &&
         GetFileInformationByHandleEx(file, kind, data, static_cast<DWORD>(size)) != 0;
}

// The classes of Windows 10 1607 and later, whose names older headers lack.
const FILE_INFO_BY_HANDLE_CLASS kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD kDispositionDelete = 0x1;
const DWORD kDispositionPosix = 0x2;

// Where a system or file system lacks a call or class, it says so in one of these ways.
bool unsupported(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Marks the file open as `file` for deletion when its last handle closes, or takes the mark
// back. A file so marked cannot be opened again meanwhile.
bool mark_deleted(HANDLE file, bool deleted, const char* call) {
  FILE_DISPOSITION_INFO info;
  info.DeleteFile = deleted ? TRUE : FALSE;
  return set_info(file, FileDispositionInfo, &info, sizeof info, call);
}

// Removes the file open as `file`: its name goes at once where the system has POSIX semantics
// (Windows 10 1709 and later), even while another program has it open; else with the last
// handle.
bool remove_file(HANDLE file) {
  DWORD flags = kDispositionDelete | kDispositionPosix;
  if (set_info(file, kDispositionInfoEx, &flags, sizeof flags, "remove the old file")) return true;
  return unsupported(GetLastError()) && mark_deleted(file, true, "remove the old file, classic");
}

// Gives the file open as `file` the name `name` in the open `folder`, never over another file.
// The native call: SetFileInformationByHandle would make the name a path from the current folder.
bool rename_in(HANDLE file, HANDLE folder, const std::wstring& name, const char* call) {
  if (fault(call)) return false;
  std::size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + bytes, 0);
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->RootDirectory = folder;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, name.data(), bytes);
  IO_STATUS_BLOCK io;
  const FILE_INFORMATION_CLASS kRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
  NTSTATUS status =
      NtSetInformationFile(file, &io, info, static_cast<ULONG>(buffer.size()), kRenameInformation);
  if (status < 0) SetLastError(RtlNtStatusToDosError(status));
  return status >= 0;
}

// --- Interrupts ---------------------------------------------------------------------------
//
// Every temporary file is marked for deletion from the moment it is made until the last step of
// its commit, so the system removes it however the process ends: Ctrl-C, a closed console,
// TerminateProcess, a crash. Ctrl-C, Ctrl-Break and a closed console run the handler on a
// thread of their own: it waits for a commit in progress (a copy into an existing file still
// undoable is undone, see copy_into) and then lets the default handler end the process, keeping
// the lock so that no commit starts after it. Windows ends a process whose console closes
// about five seconds after the event.

SRWLOCK output_lock = SRWLOCK_INIT;
std::atomic<bool> ending{false};
bool handler_installed = false;  // under output_lock

BOOL WINAPI end_after_commit(DWORD) {
  ending.store(true);
  AcquireSRWLockExclusive(&output_lock);
  return FALSE;
}

// REQUIRES: output_lock held.
void install_handler() {
  if (!handler_installed) handler_installed = SetConsoleCtrlHandler(end_after_commit, TRUE) != 0;
}

// REQUIRES: output_lock held. A temporary file still open goes as its handle closes.
void close_all(OutputFile& file) {
  close_handle(file.handle);
  close_handle(file.target);
  close_handle(file.folder);
  if (handler_installed) SetConsoleCtrlHandler(end_after_commit, FALSE);
  handler_installed = false;
}

// --- Temporary files ----------------------------------------------------------------------

// Uniqueness is all a temporary name needs (a create refuses a taken one): the time and the
// process to start from, then a count.
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

const int kNameAttempts = 100;

// How long a temporary name in the output's folder may be (see temp_name).
std::size_t temp_room = std::wstring::npos;

// A new temporary name, ".mocslice-<16 hex digits>.tmp", cut to `temp_room` characters where
// that is less: in a folder whose path is already long the name is no longer than the
// output's own, so that it fits wherever that does (Wine, for one, limits whole paths even
// for names reached from an open folder).
std::wstring temp_name() {
  std::wstring name = widen(temp_file_name(next_unique()));
  const std::size_t kPrefix = 10;  // ".mocslice-"
  if (name.size() <= temp_room) return name;
  if (temp_room >= kPrefix + 4) return name.substr(0, temp_room);
  if (temp_room < 2) return name.substr(kPrefix, 1);
  return L"." + name.substr(kPrefix, temp_room - 1);
}

bool name_taken(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// Makes a temporary file in the open `folder`, relative to it (so its name fits wherever the
// output's does), open for reading and writing through this handle alone, with `attributes`,
// and marked for deletion before anyone could see it. One only copied from is made to be
// deleted as it closes, for good; one to be put in place keeps a mark its commit takes back.
// `access`: more than reading, writing and deleting it.
HANDLE make_temp(HANDLE folder, DWORD attributes, bool only_copied, const char* call,
                 ACCESS_MASK access = 0) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::wstring name = temp_name();
    AcquireSRWLockExclusive(&output_lock);
    HANDLE temp = open_in(
        folder, name, GENERIC_READ | GENERIC_WRITE | DELETE | access, 0, FILE_CREATE,
        FILE_NON_DIRECTORY_FILE | (only_copied ? FILE_DELETE_ON_CLOSE : 0), call, attributes);
    DWORD error = GetLastError();
    if (temp != INVALID_HANDLE_VALUE && !only_copied &&
        !mark_deleted(temp, true, "mark the temporary file for deletion")) {
      // Unmarked, it would outlast a killed run: it goes now, and the run does without.
      (void)mark_deleted(temp, true, "mark the temporary file for deletion again");
      CloseHandle(temp);
      temp = INVALID_HANDLE_VALUE;
      error = ERROR_ACCESS_DENIED;
    }
    if (temp != INVALID_HANDLE_VALUE) install_handler();
    ReleaseSRWLockExclusive(&output_lock);
    if (temp != INVALID_HANDLE_VALUE || !name_taken(error)) return temp;
  }
  return INVALID_HANDLE_VALUE;
}

// Gives the file open as `file` a new temporary name in `folder`.
bool rename_to_temp_name(HANDLE file, HANDLE folder, const char* call) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (rename_in(file, folder, temp_name(), call)) return true;
    if (!name_taken(GetLastError())) return false;
  }
  return false;
}

// --- What a replaced file is made of ------------------------------------------------------

// A file's security descriptor, as much as `parts` names: in binary form to give to a new file,
// and as text to compare. False when it cannot be read.
bool read_security(HANDLE file, SECURITY_INFORMATION parts, std::vector<char>& binary,
                   std::wstring& text) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (fault("read the security descriptor") ||
      GetSecurityInfo(file, SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &security) !=
          ERROR_SUCCESS) {
    return false;
  }
  const char* bytes = static_cast<const char*>(security);
  binary.assign(bytes, bytes + GetSecurityDescriptorLength(security));
  LPWSTR string = nullptr;
  bool ok = ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1, parts,
                                                                 &string, nullptr) != 0;
  if (ok) text = string;
  LocalFree(string);
  LocalFree(security);
  return ok;
}

// The attributes a new file can be given as it is made. Any other (read-only, compressed,
// encrypted, sparse, a reparse point, offline) a renamed file would not keep.
const DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                 FILE_ATTRIBUTE_TEMPORARY;

// Whether the file holds nothing a new file made with its security descriptor and attributes
// would lack: named streams, extended attributes, attributes that cannot be carried.
bool nothing_else_to_carry(HANDLE file, DWORD attributes) {
  if ((attributes & ~(kCarriedAttributes | FILE_ATTRIBUTE_NORMAL)) != 0) return false;
  // The streams: the unnamed one alone, or none where the file system has no others.
  union {
    FILE_STREAM_INFO info;
    char bytes[1024];
  } streams;
  if (get_info(file, FileStreamInfo, &streams, sizeof streams, "list the streams")) {
    const wchar_t kData[] = L"::$DATA";
    if (streams.info.NextEntryOffset != 0 ||
        streams.info.StreamNameLength != sizeof kData - sizeof(wchar_t) ||
        std::memcmp(streams.info.StreamName, kData, sizeof kData - sizeof(wchar_t)) != 0) {
      return false;
    }
  } else if (!unsupported(GetLastError())) {
    return false;
  }
  if (fault("count the extended attributes")) return false;
  ULONG extended = 0;
  IO_STATUS_BLOCK io;
  const FILE_INFORMATION_CLASS kEaInformation = static_cast<FILE_INFORMATION_CLASS>(7);
  return NtQueryInformationFile(file, &io, &extended, sizeof extended, kEaInformation) >= 0 &&
         extended == 0;
}

// When the file's status (its security, attributes, links, content) last changed; -1 when it
// cannot be told.
std::int64_t change_time(HANDLE file) {
  FILE_BASIC_INFO basic;
  return get_info(file, FileBasicInfo, &basic, sizeof basic, "read the change time")
             ? basic.ChangeTime.QuadPart
             : -1;
}

// The name the file system gives the open file or folder, from the volume's root.
bool name_on_volume(HANDLE file, std::wstring& name) {
  std::vector<FILE_NAME_INFO> buffer(1 + 65536 / sizeof(FILE_NAME_INFO));
  if (!get_info(file, FileNameInfo, buffer.data(), buffer.size() * sizeof(FILE_NAME_INFO),
                "read the file's name")) {
    return false;
  }
  name.assign(buffer[0].FileName, buffer[0].FileNameLength / sizeof(wchar_t));
  return true;
}

// Whether the file open as `file` lies in the open `folder` under `name` itself, not behind
// a link in it to elsewhere: the same volume, and the name the file system reports for the
// open file is the folder's and `name` (a link is reported by where it leads).
bool lies_here(HANDLE folder, const std::wstring& name, HANDLE file) {
  BY_HANDLE_FILE_INFORMATION a, b;
  std::wstring folder_name, file_name;
  if (!file_identity(folder, a) || !file_identity(file, b) ||
      a.dwVolumeSerialNumber != b.dwVolumeSerialNumber || !name_on_volume(folder, folder_name) ||
      !name_on_volume(file, file_name)) {
    return false;
  }
  if (folder_name.empty() || folder_name.back() != L'\\') folder_name += L'\\';
  std::wstring expected = folder_name + name;
  return CompareStringOrdinal(file_name.c_str(), static_cast<int>(file_name.size()),
                              expected.c_str(), static_cast<int>(expected.size()),
                              TRUE) == CSTR_EQUAL;
}

// Gives the file open as `file` the parts of `security` that `parts` names, exactly as they
// are (nothing inherited from the folder is merged in).
bool give_security(HANDLE file, SECURITY_INFORMATION parts, std::vector<char>& security,
                   const char* call) {
  return !fault(call) && SetKernelObjectSecurity(file, parts, security.data()) != 0;
}

// Gives a temporary file that is only copied from permissions that let its owner alone in.
bool make_private(HANDLE file) {
  PSECURITY_DESCRIPTOR alone = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                            &alone, nullptr)) {
    return false;
  }
  const char* bytes = static_cast<const char*>(alone);
  std::vector<char> security(bytes, bytes + GetSecurityDescriptorLength(alone));
  LocalFree(alone);
  return give_security(file, DACL_SECURITY_INFORMATION, security,
                       "make the temporary file private");
}

// Makes the temporary file for an existing file beside it, and gives it, before a byte of the
// cut is in it (and while nobody else can open it: it is shared with no one and marked for
// deletion), the file's owner, group, permissions (DACL) and integrity label, its audit entries
// where the caller may read them (`audit`), and its attributes: only what differs from what it
// got, so that a system that keeps permissions otherwise, as Wine keeps them in mode bits, keeps
// them as they were. Where the owner cannot be given (another user's file), it still gets the
// permissions, so that the cut is only ever as readable as the file it goes into. `kept`: the
// temporary file took all of it, and the file has nothing else a rename would lose.
HANDLE make_replacement(HANDLE folder, HANDLE target, bool audit, bool& kept) {
  kept = false;
  SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                               DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION |
                               (audit ? SACL_SECURITY_INFORMATION : 0);
  BY_HANDLE_FILE_INFORMATION info;
  std::vector<char> security, unused;
  std::wstring wanted, made;
  if (!file_identity(target, info)) return INVALID_HANDLE_VALUE;
  HANDLE temp = make_temp(
      folder, info.dwFileAttributes & kCarriedAttributes, false, "make the temporary file",
      READ_CONTROL | WRITE_DAC | WRITE_OWNER | (audit ? ACCESS_SYSTEM_SECURITY : 0));
  if (temp == INVALID_HANDLE_VALUE) return temp;
  if (!read_security(target, parts, security, wanted)) {
    if (!make_private(temp)) {
      CloseHandle(temp);
      return INVALID_HANDLE_VALUE;
    }
    return temp;
  }
  bool same = read_security(temp, parts, unused, made) && made == wanted;
  if (!same && !give_security(temp, parts, security, "give the file's security")) {
    // Permissions no broader than the file's, whatever else could not be given.
    if (!give_security(temp, DACL_SECURITY_INFORMATION, security, "give the file's permissions")) {
      CloseHandle(temp);
      return INVALID_HANDLE_VALUE;
    }
    return temp;
  }
  kept = (same || (read_security(temp, parts, unused, made) && made == wanted)) &&
         nothing_else_to_carry(target, info.dwFileAttributes);
  return temp;
}

// --- Putting the cut in place ---------------------------------------------------------------

// Copies bytes [start, end) of `from` to the same offsets of `to`. `undoable`: the copy comes
// before any old byte is overwritten, and stops at an interrupt, as a failure.
bool copy_range(HANDLE from, HANDLE to, std::int64_t start, std::int64_t end, bool undoable) {
  const char* reading = undoable ? "read ahead of the old content" : "overwrite: read the cut";
  const char* writing = undoable ? "write ahead of the old content" : "overwrite: write";
  std::vector<char> block(std::size_t{1} << 20);
  for (std::int64_t done = start; done < end;) {
    if (undoable && ending.load()) return false;
    DWORD want = static_cast<DWORD>(std::min<std::int64_t>(end - done, block.size()));
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(done & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(done >> 32);
    DWORD got = 0;
    if (fault(reading) || !ReadFile(from, block.data(), want, &got, &at) || got == 0) return false;
    for (DWORD written = 0; written < got;) {
      std::int64_t offset = done + written;
      at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD put = 0;
      if (fault(writing) || !WriteFile(to, block.data() + written, got - written, &put, &at) ||
          put == 0) {
        return false;
      }
      written += put;
    }
    done += got;
  }
  return true;
}

const DWORD kQuotaExceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, which not every header names

bool set_length(HANDLE file, std::int64_t length, const char* call) {
  FILE_END_OF_FILE_INFO info;
  info.EndOfFile.QuadPart = length;
  return set_info(file, FileEndOfFileInfo, &info, sizeof info, call);
}

// Copies the whole of `from` over the start of `to` and cuts `to` to that length, so that a
// full disk fails before any old byte is overwritten: room for the cut is set aside first
// (FileAllocationInfo), or where the file system cannot set it aside, the part beyond the old
// length is written first, and the holes of a file that has them (a sparse file) are given
// their clusters by writing back what they read as. A failure, or an interrupt, up to
// there cuts the file back to its old length, whole. Only an I/O error in the overwriting
// itself can leave it part new.
bool copy_into(HANDLE from, HANDLE to) {
  FILE_STANDARD_INFO cut, old;
  if (!get_info(from, FileStandardInfo, &cut, sizeof cut, "read the cut's length") ||
      !get_info(to, FileStandardInfo, &old, sizeof old, "read the file's length")) {
    return false;
  }
  std::int64_t size = cut.EndOfFile.QuadPart;
  std::int64_t old_size = old.EndOfFile.QuadPart;
  // Holes, where the file system allots less than the length, or may (a sparse file): an
  // overwrite could need room there.
  BY_HANDLE_FILE_INFORMATION info;
  bool holes = old.AllocationSize.QuadPart < old_size || !file_identity(to, info) ||
               (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
  bool reserved = size <= old_size;
  if (!reserved) {
    FILE_ALLOCATION_INFO room;
    room.AllocationSize.QuadPart = size;
    reserved = set_info(to, FileAllocationInfo, &room, sizeof room, "set room aside");
    DWORD error = GetLastError();
    if (!reserved &&
        (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == kQuotaExceeded)) {
      return false;
    }
  }
  std::int64_t overwritten = reserved || old_size >= size ? size : old_size;
  if (!(reserved && !holes) &&
      (!copy_range(from, to, overwritten, size, true) ||
       (holes && !copy_range(to, to, 0, std::min(overwritten, old_size), true)))) {
    // Back to the old length: the old content is whole again. The copy's failure is what
    // the caller reports, whether or not this succeeds.
    (void)set_length(to, old_size, "cut the file back");
    return false;
  }
  return copy_range(from, to, 0, overwritten, false) &&
         (size >= old_size || set_length(to, size, "overwrite: cut to the new length"));
}

// Gives the complete temporary file the output's new name, never over a file that someone made
// meanwhile: its mark for deletion is taken back just before, and given again should the name
// be taken.
bool name_new(OutputFile& file) {
  HANDLE temp = as_handle(file.handle);
  if (!mark_deleted(temp, false, "keep the new file")) return false;
  if (rename_in(temp, as_handle(file.folder), widen(file.final_name),
                "give the new file its name")) {
    return true;
  }
  (void)mark_deleted(temp, true, "mark the new file for deletion again");
  return false;
}

enum class Swap {
  Done,      // the cut has the name; the old file is removed
  Undone,    // the old file has its name again, as it was
  Stranded,  // the old file, whole, keeps the temporary name it was moved aside to
};

// Puts the complete temporary file in the place of the file that was opened, by handle at every
// step: the old file is moved aside to a temporary name, the cut given the name, and the old
// file removed only then. The old file has been held open all along without sharing its
// deletion, so nobody else could move, remove or replace it, and each step acts on the very
// files the run opened. Nothing is done when the file was linked, or written, or given other
// security or attributes since it was looked at. A failed step takes back the ones before.
Swap swap_in(OutputFile& file) {
  HANDLE folder = as_handle(file.folder);
  HANDLE target = as_handle(file.target);
  HANDLE temp = as_handle(file.handle);
  FILE_STANDARD_INFO standard;
  if (!get_info(target, FileStandardInfo, &standard, sizeof standard, "count the file's links") ||
      standard.NumberOfLinks != 1 || standard.DeletePending ||
      change_time(target) != file.target_changed ||
      !rename_to_temp_name(target, folder, "move the old file aside")) {
    return Swap::Undone;
  }
  if (name_new(file)) {
    if (remove_file(target)) return Swap::Done;
    // The old file stays: the cut makes way for it again, or, where even that fails, keeps
    // the name, complete.
    if (!rename_to_temp_name(temp, folder, "move the new file aside")) return Swap::Done;
    (void)mark_deleted(temp, true, "mark the new file for deletion again");
  }
  return rename_in(target, folder, widen(file.final_name), "put the old file back")
             ? Swap::Undone
             : Swap::Stranded;
}

// Takes what the opened output `existing` is, to be written: a device, a pipe or a console,
// written in place through this very handle, or a file on disk. True for a file on disk.
bool take_existing(HANDLE existing, OutputFile& file, OutputFacts& facts) {
  facts.writable = true;
  if (GetFileType(existing) != FILE_TYPE_DISK) {
    facts.kind = OutputKind::Special;
    file.handle = from_handle(existing);
    return false;
  }
  facts.kind = OutputKind::Regular;
  file.target = from_handle(existing);
  BY_HANDLE_FILE_INFORMATION info;
  if (file_identity(existing, info)) facts.links = info.nNumberOfLinks;
  return true;
}

// Opens the output's name once, as a whole, where it is no name in a folder of a file system (a
// pipe, a device, a folder that cannot be opened); a file on disk so opened is copied into.
void probe_whole(const std::string& path, OutputFile& file, OutputFacts& facts) {
  HANDLE existing = CreateFileW(widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | kNoImpersonation, nullptr);
  if (existing != INVALID_HANDLE_VALUE) take_existing(existing, file, facts);
}

// Opens the existing file `name` in `folder` for writing, without changing it. First as the
// rename needs it: with the right to delete it and to read its security (and its audit entries,
// where the caller holds the privilege), sharing its deletion with nobody, so that it keeps its
// name until the commit; else as a plain write opens it, which decides whether it may be
// written at all. `pinned`: the first way.
HANDLE open_existing(HANDLE folder, const std::wstring& name, bool& pinned, bool& audit) {
  const ACCESS_MASK kForRename = GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL;
  const struct {
    ACCESS_MASK access;
    ULONG share;
  } kWays[] = {
      {kForRename | ACCESS_SYSTEM_SECURITY, FILE_SHARE_READ | FILE_SHARE_WRITE},
      {kForRename, FILE_SHARE_READ | FILE_SHARE_WRITE},
      {GENERIC_WRITE, kShareAll},
  };
  for (int way = 0; way < 3; ++way) {
    HANDLE file = open_in(folder, name, kWays[way].access, kWays[way].share, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE, "open the file");
    pinned = way < 2;
    audit = way == 0;
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE ||
        (error != ERROR_PRIVILEGE_NOT_HELD && error != ERROR_ACCESS_DENIED &&
         error != ERROR_SHARING_VIOLATION)) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

// Looks at what `path` stands for and readies what each rule needs. A name in a folder of a
// file system: the folder is opened once, the name reached relative to it, the temporary file
// made beside it relative to it, and every later step acts on these handles, never on a name
// looked up again. Fills `facts` for choose_output_rule.
void probe_output(const std::string& path, OutputFile& file, OutputFacts& facts) {
  std::wstring system;
  if (!system_name(path, system)) {
    probe_whole(path, file, facts);
    return;
  }
  std::size_t slash = system.rfind(L'\\');
  std::wstring name = system.substr(slash + 1);
  bool pipe = names_a_pipe(system);
  // A stream of a file (x.bvh:s) cannot be made through a temporary file: refused.
  if (!pipe && name.find(L':') != std::wstring::npos) return;
  if (!pipe && !name.empty()) {
    file.folder = from_handle(open_in(nullptr, system.substr(0, slash), 0, kShareAll, FILE_OPEN,
                                      FILE_DIRECTORY_FILE, "open the folder"));
    if (file.folder != -1 && GetFileType(as_handle(file.folder)) != FILE_TYPE_DISK) {
      close_handle(file.folder);
    }
  }
  if (file.folder == -1) {
    probe_whole(path, file, facts);
    return;
  }
  HANDLE folder = as_handle(file.folder);
  file.final_name = narrow(name);
  temp_room = system.size() > MAX_PATH ? name.size() : std::wstring::npos;
  bool pinned = false;
  bool audit = false;
  HANDLE existing = open_existing(folder, name, pinned, audit);
  if (existing == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return;
    // A name the system would not let a plain write make (too long, a reserved name, no right
    // to the folder) is refused now, not once the cut is made: it is made for a moment, and
    // goes as its handle closes.
    HANDLE trial = open_in(folder, name, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                           FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, "try the new name",
                           FILE_ATTRIBUTE_NORMAL);
    if (trial == INVALID_HANDLE_VALUE) return;
    CloseHandle(trial);
    facts.kind = OutputKind::Nothing;
    // What a plain write would make: the folder's inherited permissions, no other attribute.
    HANDLE temp = make_temp(folder, FILE_ATTRIBUTE_NORMAL, false, "make the temporary file");
    facts.temp_beside = temp != INVALID_HANDLE_VALUE;
    if (facts.temp_beside) file.handle = from_handle(temp);
    return;
  }
  if (!take_existing(existing, file, facts)) return;
  facts.entry_is_file = lies_here(folder, name, existing);
  facts.rename_allowed = pinned;
  HANDLE temp = make_replacement(folder, existing, audit, facts.identity_kept);
  facts.temp_beside = temp != INVALID_HANDLE_VALUE;
  if (facts.temp_beside) file.handle = from_handle(temp);
  file.target_changed = change_time(existing);
  if (file.target_changed < 0) facts.identity_kept = false;
}

// A temporary file in the system's temporary folder, for a copy into a file beside which none
// could be made: deleted as it closes, and readable by the caller alone.
HANDLE make_temp_elsewhere() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring folder_name;
  if (length == 0 || length > MAX_PATH ||
      !system_name(narrow(std::wstring(buffer, length)), folder_name)) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE folder = open_in(nullptr, folder_name, 0, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE,
                          "open the temporary folder");
  temp_room = std::wstring::npos;
  if (folder == INVALID_HANDLE_VALUE) return folder;
  HANDLE temp = make_temp(folder, FILE_ATTRIBUTE_TEMPORARY, true,
                          "make the temporary file elsewhere", WRITE_DAC);
  CloseHandle(folder);
  if (temp != INVALID_HANDLE_VALUE && !make_private(temp)) {
    CloseHandle(temp);
    return INVALID_HANDLE_VALUE;
  }
  return temp;
}

}  // namespace

bool open_input(const std::string& path, InputFile& file) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, which is what we want.
  HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | kNoImpersonation, nullptr);
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
  close_handle(file.handle);
}

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
                             FILE_FLAG_BACKUP_SEMANTICS | kNoImpersonation, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same =
      file_identity(as_handle(file.handle), a) && file_identity(other, b) && same_identity(a, b);
  CloseHandle(other);
  return same;
}

bool create_output(const std::string& path, OutputFile& file, TempForm) {
  file = OutputFile();
  OutputFacts facts;
  probe_output(path, file, facts);
  file.rule = choose_output_rule(facts);
  if (file.rule == OutputRule::CopyInto && file.handle == -1) {
    file.handle = from_handle(make_temp_elsewhere());
    if (file.handle == -1) file.rule = OutputRule::Refuse;
  }
  if (file.rule != OutputRule::Refuse) return true;
  AcquireSRWLockExclusive(&output_lock);
  close_all(file);
  ReleaseSRWLockExclusive(&output_lock);
  return false;
}

bool output_is_file(const OutputFile& output, const InputFile& input) {
  std::intptr_t out = output.target != -1 ? output.target : output.handle;
  BY_HANDLE_FILE_INFORMATION a, b;
  return output.rule != OutputRule::CreateNew && out != -1 && file_identity(as_handle(out), a) &&
         file_identity(as_handle(input.handle), b) && same_identity(a, b);
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
  AcquireSRWLockExclusive(&output_lock);
  bool ok = false;
  HANDLE out = as_handle(file.handle);
  HANDLE target = as_handle(file.target);
  switch (file.rule) {
    case OutputRule::Refuse:
      break;
    case OutputRule::ThroughDescriptor:
    case OutputRule::InPlace:
      ok = CloseHandle(out) != 0;
      file.handle = -1;
      break;
    case OutputRule::CreateNew:
      ok = name_new(file);
      break;
    case OutputRule::ReplaceByRename: {
      // Should the old file not be moved aside, or the cut not take its name, the cut goes
      // into the file as by rule CopyInto, as a plain write would have put it.
      Swap swap = swap_in(file);
      ok = swap == Swap::Done || (swap == Swap::Undone && copy_into(out, target));
      break;
    }
    case OutputRule::CopyInto:
      ok = copy_into(out, target);
      break;
  }
  // A temporary file still marked for deletion goes now.
  if (file.handle != -1 && !CloseHandle(as_handle(file.handle))) ok = false;
  file.handle = -1;
  if (file.target != -1 && !CloseHandle(target)) ok = false;
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
