// The file calls on POSIX systems. Linux adds unnamed temporary files, extended attributes
// and inode flags; other systems take the portable paths.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "files/file_io.h"

#ifdef __linux__
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#endif

namespace {

int as_fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

void close_fd(std::intptr_t& handle) {
  if (handle != -1) ::close(as_fd(handle));
  handle = -1;
}

// `path` as the kernel resolves it from `folder` (AT_FDCWD: the current folder).
int open_retrying(int folder, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The descriptor `name` spells when it is one of this process's own: /dev/stdin,
// /dev/stdout, /dev/stderr, or a number under /dev/fd, /proc/self/fd or
// /proc/thread-self/fd. -1 otherwise. Only the spelling counts: whatever else leads to a
// descriptor is opened by the kernel and recognised by what it opened.
int descriptor_spelled(const std::string& name) {
  const char* const kStandard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
  for (int fd = 0; fd < 3; ++fd) {
    if (name == kStandard[fd]) return fd;
  }
  for (const char* folder : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
    std::size_t length = std::strlen(folder);
    if (name.compare(0, length, folder) != 0) continue;
    std::size_t digits = name.size() - length;
    if (digits == 0 || digits > 9 ||
        name.find_first_not_of("0123456789", length) != std::string::npos)
      return -1;
    return std::atoi(name.c_str() + length);
  }
  return -1;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// When the file's status (owner, mode, links, attributes, content) last changed.
std::int64_t change_time(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

// One of the descriptors this process had before the run open on the file `info`
// describes, one open for writing first; -1 when none is. Those are the ones it was started
// with, which exec leaves only where they are not close-on-exec: every descriptor the tool
// opens is, the output's own among them.
int descriptor_on(const struct stat& info) {
  int found = -1;
  long most = ::sysconf(_SC_OPEN_MAX);
  if (most < 0 || most > 65536) most = 65536;
  for (int fd = 0; fd < most; ++fd) {
    struct stat other;
    int flags = ::fcntl(fd, F_GETFL);
    int fd_flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || fd_flags < 0 || (fd_flags & FD_CLOEXEC) != 0 || ::fstat(fd, &other) != 0 ||
        !same_file(other, info)) {
      continue;
    }
    if ((flags & O_ACCMODE) != O_RDONLY) return fd;
    if (found < 0) found = fd;
  }
  return found;
}

// Opens `name` in `folder` as the kernel resolves it, with its protections on links.
// `magic` tells whether the way there passed through one of /proc's descriptor links (as
// /dev/stdout does), which only the kernel may follow: it is learnt from the kernel too, by
// an open that refuses such links (Linux 5.6 and later; elsewhere it stays false).
int open_resolved(int folder, const char* name, int flags, bool& magic) {
  magic = false;
  int refused = 0;  // why the open without descriptor links failed
#if defined(SYS_openat2) && defined(RESOLVE_NO_MAGICLINKS)
  struct open_how how = {};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, folder, name, &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return static_cast<int>(fd);
  refused = errno;
#endif
  // Also where that open is unknown (ENOSYS) or filtered: the plain open tells the truth.
  int fd_plain = open_retrying(folder, name, flags);
  magic = fd_plain >= 0 && refused == ELOOP;
  return fd_plain;
}

// --- Interrupts -------------------------------------------------------------------------
//
// A named temporary file is removed by the handler of every signal that would end the run;
// its name and folder are recorded as the file is made, with the signals held, so that the
// handler needs nothing but unlinkat and finds no file unrecorded. Commits run with the
// signals held: an interrupt then takes effect once the output is whole, never halfway
// through.

// The signals a handler may catch whose default action ends the process, but for the
// real-time ones and SIGXFSZ, which the run ignores (a file-size limit is a failed write).
const int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGVTALRM, SIGPROF, SIGXCPU, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

bool ends_run(int signal_number) {
  for (int ending : kEndingSignals) {
    if (signal_number == ending) return true;
  }
#ifdef SIGRTMIN
  return signal_number >= SIGRTMIN && signal_number <= SIGRTMAX;
#else
  return false;
#endif
}

// Faults the processor raises: holding them would not hold them, the kernel ends the
// process at once instead.
bool is_fault(int signal_number) {
  return signal_number == SIGILL || signal_number == SIGTRAP || signal_number == SIGBUS ||
         signal_number == SIGFPE || signal_number == SIGSEGV || signal_number == SIGSYS;
}

std::atomic<int> armed_folder{-1};
char armed_name[32];

struct RunSignals {
  struct sigaction before[NSIG];
  bool handled[NSIG] = {};
  struct sigaction file_size_before;
  bool file_size_ignored = false;
};
RunSignals run_signals;  // one output per process at a time

void remove_temp_and_end(int signal_number) {
  int folder = armed_folder.load();
  if (folder >= 0) ::unlinkat(folder, armed_name, 0);
  // The caller's disposition again (ending the process, unless it was a handler of its
  // own), and the signal again: delivered as this handler returns.
  ::sigaction(signal_number, &run_signals.before[signal_number], nullptr);
  ::raise(signal_number);
}

// The signals that end a run, but for the faults.
void held_set(sigset_t& held) {
  sigemptyset(&held);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (ends_run(signal_number) && !is_fault(signal_number)) sigaddset(&held, signal_number);
  }
}

void hold_signals(sigset_t& previous) {
  sigset_t held;
  held_set(held);
  pthread_sigmask(SIG_BLOCK, &held, &previous);
}

void release_signals(const sigset_t& previous) {
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// REQUIRES: the signals are held. Signals the caller had ignored stay ignored.
void arm(int folder, const std::string& name) {
  std::snprintf(armed_name, sizeof armed_name, "%s", name.c_str());
  armed_folder.store(folder);
  struct sigaction handler = {};
  handler.sa_handler = remove_temp_and_end;
  held_set(handler.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (!ends_run(signal_number) || run_signals.handled[signal_number]) continue;
    struct sigaction& before = run_signals.before[signal_number];
    if (::sigaction(signal_number, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) {
      continue;
    }
    run_signals.handled[signal_number] = ::sigaction(signal_number, &handler, nullptr) == 0;
  }
}

void disarm() {
  armed_folder.store(-1);
}

// A file-size limit then fails the write (EFBIG) instead of ending the process.
void ignore_file_size_signal() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  run_signals.file_size_ignored = ::sigaction(SIGXFSZ, &ignore, &run_signals.file_size_before) == 0;
}

// Gives back the dispositions the run changed. REQUIRES: nothing armed.
void restore_signals() {
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (run_signals.handled[signal_number]) {
      ::sigaction(signal_number, &run_signals.before[signal_number], nullptr);
    }
    run_signals.handled[signal_number] = false;
  }
  if (run_signals.file_size_ignored) ::sigaction(SIGXFSZ, &run_signals.file_size_before, nullptr);
  run_signals.file_size_ignored = false;
}

// --- Temporary files ----------------------------------------------------------------------

// Uniqueness is all a temporary name needs (O_EXCL refuses a taken one): the time and the
// process to start from, then a count.
std::uint64_t next_unique() {
  static std::uint64_t next = 0;
  if (next == 0) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    next = (static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
            static_cast<std::uint64_t>(now.tv_nsec)) ^
           (static_cast<std::uint64_t>(::getpid()) << 44);
  }
  return next++;
}

const int kNameAttempts = 100;

std::string proc_path(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Whether the folder's flags forbid taking names out of it: append-only, immutable. Asked
// of the open folder, which needs no right to read it (statx, Linux 4.11 and later).
bool folder_keeps_names(int folder) {
#if defined(__linux__) && defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_IMMUTABLE)
  struct statx info;
  const unsigned kFlags = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
  return ::statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &info) == 0 &&
         (info.stx_attributes_mask & kFlags) != 0 && (info.stx_attributes & kFlags) != 0;
#else
  (void)folder;
  return false;
#endif
}

// Makes a temporary file in `folder`, open for reading and writing: unnamed where the
// system can (and /proc lets it be linked in later), else named, armed for removal. A
// named one is made only where it can be removed again (`named_allowed`).
bool make_temp(OutputFile& file, int folder, mode_t mode, TempForm form, bool named_allowed) {
#ifdef O_TMPFILE
  if (form == TempForm::UnnamedWherePossible) {
    int fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    struct stat info;
    if (fd >= 0 && ::stat(proc_path(fd).c_str(), &info) == 0) {
      file.handle = fd;
      file.temp_unnamed = true;
      return true;
    }
    if (fd >= 0) ::close(fd);
  }
#else
  (void)form;
#endif
  if (!named_allowed) return false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = temp_file_name(next_unique());
    sigset_t previous;
    hold_signals(previous);
    int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    int error = errno;
    if (fd >= 0) {
      arm(folder, name);
      file.handle = fd;
      file.temp_name = name;
    }
    release_signals(previous);
    if (fd >= 0) return true;
    if (error != EEXIST && error != EINTR) return false;
  }
  return false;
}

// Removes a named temporary file made in `folder`, if there is one.
void remove_temp_from(int folder, OutputFile& file) {
  if (file.temp_name.empty()) return;
  ::unlinkat(folder, file.temp_name.c_str(), 0);
  disarm();
  file.temp_name.clear();
}

void remove_temp(OutputFile& file) {
  remove_temp_from(as_fd(file.folder), file);
}

// --- What a replaced file is made of ------------------------------------------------------

#ifdef __linux__
// The names of a file's extended attributes, each ended by NUL; empty where the file
// system has none. False when they cannot be listed.
bool attribute_names(int fd, std::vector<char>& names) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) {
      names.clear();
      return errno == ENOTSUP;
    }
    names.resize(static_cast<std::size_t>(size));
    size = ::flistxattr(fd, names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<std::size_t>(size));
      return true;
    }
    if (errno != ERANGE) return false;  // grown meanwhile: again
  }
  return false;
}

bool attribute_value(int fd, const char* name, std::vector<char>& value) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<std::size_t>(size));
    size = ::fgetxattr(fd, name, value.data(), value.size());
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      return true;
    }
    if (errno != ERANGE) return false;
  }
  return false;
}

bool has_name(const std::vector<char>& names, const char* name) {
  for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    if (std::strcmp(&names[at], name) == 0) return true;
  }
  return false;
}

// Makes `to`'s extended attributes (an ACL among them) exactly `from`'s.
bool carry_attributes(int from, int to) {
  std::vector<char> wanted, present, value, current;
  if (!attribute_names(from, wanted) || !attribute_names(to, present)) return false;
  for (std::size_t at = 0; at < wanted.size(); at += std::strlen(&wanted[at]) + 1) {
    const char* name = &wanted[at];
    if (!attribute_value(from, name, value)) return false;
    // Set only what differs: a label the new file already has needs no right to set it.
    if (has_name(present, name) && attribute_value(to, name, current) && current == value) {
      continue;
    }
    if (::fsetxattr(to, name, value.data(), value.size(), 0) != 0) return false;
  }
  for (std::size_t at = 0; at < present.size(); at += std::strlen(&present[at]) + 1) {
    const char* name = &present[at];  // inherited from the folder, say a default ACL
    if (!has_name(wanted, name) && ::fremovexattr(to, name) != 0) return false;
  }
  return true;
}

// Makes `to`'s inode flags that a user may set (no-dump, no-copy-on-write, ...) `from`'s.
bool carry_flags(int from, int to) {
#if defined(FS_IOC_GETFLAGS) && defined(FS_FL_USER_MODIFIABLE)
  int wanted = 0;
  int present = 0;
  if (::ioctl(from, FS_IOC_GETFLAGS, &wanted) != 0) return true;  // no such flags here
  if (::ioctl(to, FS_IOC_GETFLAGS, &present) != 0) return false;
  if (((wanted ^ present) & FS_FL_USER_MODIFIABLE) == 0) return true;
  int merged = (present & ~FS_FL_USER_MODIFIABLE) | (wanted & FS_FL_USER_MODIFIABLE);
  return ::ioctl(to, FS_IOC_SETFLAGS, &merged) == 0 &&
         ::ioctl(to, FS_IOC_GETFLAGS, &present) == 0 &&
         ((wanted ^ present) & FS_FL_USER_MODIFIABLE) == 0;
#else
  (void)from;
  (void)to;
  return true;
#endif
}
#endif

// Gives the file `to` the owner, group, mode, extended attributes and flags of the file
// `from`, as far as the system lets the caller. True when all of them are now the same.
bool carry_identity(int from, int to) {
#ifdef __linux__
  struct stat wanted, present;
  if (::fstat(from, &wanted) != 0 || ::fstat(to, &present) != 0) return false;
  if ((present.st_uid != wanted.st_uid || present.st_gid != wanted.st_gid) &&
      ::fchown(to, wanted.st_uid, wanted.st_gid) != 0) {
    return false;
  }
  // The ACL before the mode: setting it sets the permission bits with it, so no moment
  // lets in a user it shuts out. The mode after the owner, whose change clears the set-id
  // bits; with an ACL, the mode's group bits are its mask, which the ACL already has.
  if (!carry_attributes(from, to) || ::fchmod(to, wanted.st_mode & 07777) != 0 ||
      !carry_flags(from, to)) {
    return false;
  }
  // The system may have dropped a set-id bit rather than refused it.
  return ::fstat(to, &present) == 0 && present.st_uid == wanted.st_uid &&
         present.st_gid == wanted.st_gid && (present.st_mode & 07777) == (wanted.st_mode & 07777);
#else
  // Elsewhere the attributes cannot be told: the file is written in place.
  (void)from;
  (void)to;
  return false;
#endif
}

// Whether a folder that lets names go lets the caller swap `file`'s name for another: with
// the sticky bit, only the file's owner, the folder's owner and root may. The kernel decides
// again when the names are swapped.
bool rename_allowed(int folder, const struct stat& file) {
#ifdef RENAME_EXCHANGE
  struct stat info;
  if (::fstat(folder, &info) != 0) return false;
  uid_t caller = ::geteuid();
  return (info.st_mode & S_ISVTX) == 0 || caller == 0 || caller == file.st_uid ||
         caller == info.st_uid;
#else
  // Without an exchange of names nothing can be checked after the rename and undone.
  (void)folder;
  (void)file;
  return false;
#endif
}

// --- Putting the cut in place ---------------------------------------------------------------

// Copies bytes [start, end) of `from` to the same offsets of `to`.
bool copy_range(int from, int to, off_t start, off_t end) {
#ifdef __linux__
  off_t in = start;
  off_t out = start;
  while (in < end) {
    ssize_t put = ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(end - in), 0);
    if (put < 0 && errno == EINTR) continue;
    if (put > 0) continue;
    if (put == 0 || in > start) return false;
    break;  // not between these files: by blocks
  }
  if (in == end) return true;
#endif
  std::vector<char> block(std::size_t{1} << 20);
  for (off_t done = start; done < end;) {
    std::size_t want = static_cast<std::size_t>(std::min<off_t>(end - done, block.size()));
    ssize_t got = ::pread(from, block.data(), want, done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (ssize_t written = 0; written < got;) {
      ssize_t put = ::pwrite(to, block.data() + written, static_cast<std::size_t>(got - written),
                             done + written);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      written += put;
    }
    done += got;
  }
  return true;
}

// Gives the holes of `file` before `end` the blocks they lack, by writing the zeros they read
// as: the content stays what it was. Where the system cannot tell holes, a file that has
// blocks for all its bytes has none.
bool fill_holes(int file, off_t end) {
  struct stat info;
  if (::fstat(file, &info) != 0) return false;
  if (static_cast<off_t>(info.st_blocks) * 512 >= info.st_size) return true;
#if defined(SEEK_HOLE) && defined(SEEK_DATA)
  static const char kZeros[64 << 10] = {};
  for (off_t at = 0; at < end;) {
    off_t hole = ::lseek(file, at, SEEK_HOLE);
    if (hole < 0) return false;
    if (hole >= end) return true;
    off_t data = ::lseek(file, hole, SEEK_DATA);
    if (data < 0 || data > end) data = end;
    for (off_t put = hole; put < data;) {
      std::size_t want = static_cast<std::size_t>(std::min<off_t>(data - put, sizeof kZeros));
      ssize_t done = ::pwrite(file, kZeros, want, put);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return false;
      put += done;
    }
    at = data;
  }
  return true;
#else
  (void)end;
  return false;
#endif
}

// Copies the whole of `from` over the start of `to` and cuts `to` to that length, so that a
// full disk fails before any old byte is overwritten: space is reserved first, or where the
// system cannot reserve it, the part beyond the old length is written first and the holes
// the copy would fill get their blocks; on failure then the file is cut back to its old
// length, whole. Only an I/O error in the overwriting itself can leave it part new.
bool copy_into(int from, int to) {
  struct stat info, old;
  if (::fstat(from, &info) != 0 || ::fstat(to, &old) != 0) return false;
  off_t size = info.st_size;
  bool reserved = size == 0;
#ifdef __linux__
  if (!reserved && ::fallocate(to, FALLOC_FL_KEEP_SIZE, 0, size) == 0) reserved = true;
  if (!reserved && (errno == ENOSPC || errno == EDQUOT)) return false;
#endif
  off_t overwritten = reserved || old.st_size >= size ? size : old.st_size;
  if (!reserved && (!copy_range(from, to, overwritten, size) ||
                    !fill_holes(to, std::min(overwritten, old.st_size)))) {
    // Back to the old length: the old content is whole again. The copy's failure is what
    // the caller reports, whether or not this succeeds.
    bool cut_back = ::ftruncate(to, old.st_size) == 0;
    (void)cut_back;
    return false;
  }
  return copy_range(from, to, 0, overwritten) && ::ftruncate(to, size) == 0;
}

// Gives the unnamed temporary file a name in the output's folder, for a rename. No handler
// is needed: the signals stay held until the name is gone, and a signal the commit held
// finds the dispositions the caller had. REQUIRES: the signals are held.
bool name_temp(OutputFile& file) {
  int folder = as_fd(file.folder);
  std::string self = proc_path(as_fd(file.handle));
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = temp_file_name(next_unique());
    if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      file.temp_name = name;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Gives the complete temporary file the output's new name, never over a file that someone
// made meanwhile.
bool link_in_new(OutputFile& file) {
  int folder = as_fd(file.folder);
  const char* final_name = file.final_name.c_str();
  if (file.temp_unnamed) {
    return ::linkat(AT_FDCWD, proc_path(as_fd(file.handle)).c_str(), folder, final_name,
                    AT_SYMLINK_FOLLOW) == 0;
  }
  const char* temp_name = file.temp_name.c_str();
#ifdef RENAME_NOREPLACE
  if (::renameat2(folder, temp_name, folder, final_name, RENAME_NOREPLACE) == 0) {
    disarm();
    file.temp_name.clear();
    return true;
  }
  if (errno != EINVAL) return false;
#endif
  // A link fails where the name is taken, as the rename above does; the temporary name
  // then goes.
  if (::linkat(folder, temp_name, folder, final_name, 0) != 0) return false;
  remove_temp(file);
  return true;
}

// Whether the file open as `fd` is mounted on a name (below).
bool is_mounted(int fd, const struct stat& info, const std::string& name);

// Puts the complete temporary file in the place of the file that was opened, by swapping
// the two names at once and then checking that what came out is that very file, with no
// other name. False, with nothing changed, when the file was linked, written, mounted or
// given another owner, mode or attribute since its identity was taken (the swap itself marks
// it changed, so this is asked just before), when the swap cannot be made, or when what came
// out is another file (moved there or linked meanwhile): then it is swapped back. Should
// even that fail, what came out keeps the temporary name: it is never removed.
bool exchange_in(OutputFile& file) {
#ifdef RENAME_EXCHANGE
  int folder = as_fd(file.folder);
  struct stat out, opened;
  if (::fstat(as_fd(file.target), &opened) != 0 || change_time(opened) != file.target_changed ||
      is_mounted(as_fd(file.target), opened, file.final_name)) {
    return false;
  }
  if (file.temp_unnamed && !name_temp(file)) return false;
  const char* temp_name = file.temp_name.c_str();
  const char* final_name = file.final_name.c_str();
  if (::renameat2(folder, temp_name, folder, final_name, RENAME_EXCHANGE) != 0) return false;
  if (::fstatat(folder, temp_name, &out, AT_SYMLINK_NOFOLLOW) == 0 &&
      ::fstat(as_fd(file.target), &opened) == 0 && same_file(out, opened) && opened.st_nlink == 1) {
    remove_temp(file);  // the replaced file's name, its last one
    return true;
  }
  if (::renameat2(folder, temp_name, folder, final_name, RENAME_EXCHANGE) != 0) {
    disarm();
    file.temp_name.clear();
  }
  return false;
#else
  (void)file;
  return false;
#endif
}

void close_all(OutputFile& file) {
  remove_temp(file);
  close_fd(file.handle);
  close_fd(file.target);
  close_fd(file.folder);
  file.temp_unnamed = false;
  restore_signals();
}

// Splits `path` into its folder and the name in it. False when no file can have that name.
bool split_path(const std::string& path, std::string& folder, std::string& name) {
  std::size_t slash = path.find_last_of('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  return !name.empty() && name != "." && name != "..";
}

bool is_writable_mode(int flags) {
#ifdef O_PATH
  if ((flags & O_PATH) != 0) return false;
#endif
  return (flags & O_ACCMODE) == O_WRONLY || (flags & O_ACCMODE) == O_RDWR;
}

#ifdef O_PATH
const int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
const int kOutputFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;

#ifdef __linux__
// A mount, as /proc/self/mountinfo tells it.
struct Mount {
  std::uint64_t id = 0;
  std::string device;  // its file system's, major:minor
  std::string root;    // the folder or file of that file system it shows
  std::string point;   // the name it shows it at
};

// The `index`-th field of a line of mountinfo, whose fields are parted by blanks; a blank,
// tab, line break or backslash in a path is written \ooo there.
std::string mount_field(const char* line, int index) {
  while (index-- > 0) {
    line = std::strchr(line, ' ');
    if (line == nullptr) return "";
    ++line;
  }
  std::string field;
  for (const char* at = line; *at != ' ' && *at != '\n' && *at != '\0'; ++at) {
    if (at[0] == '\\' && at[1] >= '0' && at[1] <= '3' && at[2] >= '0' && at[2] <= '7' &&
        at[3] >= '0' && at[3] <= '7') {
      field += static_cast<char>((at[1] - '0') * 64 + (at[2] - '0') * 8 + (at[3] - '0'));
      at += 3;
    } else {
      field += *at;
    }
  }
  return field;
}

// The mounts this process sees, and among them `id` as `own`; false when it is not found.
bool find_mounts(std::uint64_t id, std::vector<Mount>& list, Mount& own) {
  std::FILE* file = std::fopen("/proc/self/mountinfo", "re");
  if (file == nullptr) return false;
  char* line = nullptr;
  std::size_t size = 0;
  bool found = false;
  while (::getline(&line, &size, file) > 0) {
    Mount mount;
    mount.id = std::strtoull(line, nullptr, 10);
    mount.device = mount_field(line, 2);
    mount.root = mount_field(line, 3);
    mount.point = mount_field(line, 4);
    if (mount.id != id) {
      list.push_back(mount);
    } else {
      own = mount;
      found = true;
    }
  }
  std::free(line);
  std::fclose(file);
  return found;
}

// The mount the file open as `fd` is seen through, and whether the file is its root, as a
// file mounted on a name (a bind mount) is. False where the system cannot tell (before
// Linux 5.8).
bool mount_of(int fd, std::uint64_t& id, bool& root) {
#if defined(STATX_MNT_ID) && defined(STATX_ATTR_MOUNT_ROOT)
  struct statx info;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &info) != 0 ||
      (info.stx_mask & STATX_MNT_ID) == 0) {
    return false;
  }
  id = info.stx_mnt_id;
  root = (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return true;
#else
  (void)fd;
  (void)id;
  (void)root;
  return false;
#endif
}

// Where a file mounted on a name lies, as paths to check: its own folder, seen through
// another mount of its file system.
std::vector<std::string> paths_behind_mount(std::uint64_t id) {
  std::vector<Mount> list;
  Mount own;
  std::vector<std::string> paths;
  if (!find_mounts(id, list, own)) return paths;
  for (const Mount& other : list) {
    if (other.device != own.device) continue;
    if (other.root == "/") {
      paths.push_back((other.point == "/" ? "" : other.point) + own.root);
    } else if (own.root.compare(0, other.root.size() + 1, other.root + "/") == 0) {
      paths.push_back(other.point + own.root.substr(other.root.size()));
    }
  }
  return paths;
}
#endif

// Whether `name` in `folder` is the file `opened` itself: its own entry, not a symbolic
// link to it nor a name it is mounted on.
bool lies_at(int folder, const char* name, const struct stat& opened) {
#if defined(__linux__) && defined(STATX_ATTR_MOUNT_ROOT)
  struct statx entry;
  return ::statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_INO, &entry) == 0 &&
         makedev(entry.stx_dev_major, entry.stx_dev_minor) == opened.st_dev &&
         entry.stx_ino == opened.st_ino && (entry.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0;
#else
  struct stat entry;
  return ::fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && same_file(entry, opened);
#endif
}

// Where the kernel says the file open as `fd` lies: its folder, opened, and its name in it,
// checked to be that very file. For a file mounted on a name, which the kernel names, its
// folder is looked for behind the mount. False when it cannot be told.
bool where_file_lies(int fd, int& folder, std::string& name) {
  struct stat opened;
  char text[PATH_MAX];
  ssize_t length = ::readlink(proc_path(fd).c_str(), text, sizeof text);
  if (::fstat(fd, &opened) != 0 || length <= 0 || static_cast<std::size_t>(length) >= sizeof text ||
      text[0] != '/') {
    return false;
  }
  std::vector<std::string> paths{std::string(text, static_cast<std::size_t>(length))};
#ifdef __linux__
  std::uint64_t mount;
  bool mounted_here;
  if (mount_of(fd, mount, mounted_here) && mounted_here) paths = paths_behind_mount(mount);
#endif
  for (const std::string& path : paths) {
    std::string folder_path, entry;
    if (!split_path(path, folder_path, entry)) continue;
    int opened_folder = open_retrying(AT_FDCWD, folder_path.c_str(), kFolderFlags);
    if (opened_folder < 0) continue;
    if (lies_at(opened_folder, entry.c_str(), opened)) {
      folder = opened_folder;
      name = entry;
      return true;
    }
    ::close(opened_folder);
  }
  return false;
}

// Whether the file open as `fd`, `info`, named `name` where it lies, is mounted on a name
// (a bind mount): on the one it was opened by, or on another this process sees. Every view
// of it sees a cut copied into it; a rename would change only one.
bool is_mounted(int fd, const struct stat& info, const std::string& name) {
#ifdef __linux__
  std::uint64_t id;
  bool root;
  std::vector<Mount> list;
  Mount own;
  if (!mount_of(fd, id, root)) return false;
  if (root) return true;
  if (!find_mounts(id, list, own)) return false;
  for (const Mount& other : list) {
    // Mounted elsewhere, the file is the root of that mount, and goes by its name there.
    std::size_t slash = other.root.find_last_of('/');
    if (other.device != own.device || other.root.compare(slash + 1, std::string::npos, name) != 0) {
      continue;
    }
    struct stat shown;
    int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
    if (::fstatat(AT_FDCWD, other.point.c_str(), &shown, flags) == 0 && same_file(shown, info)) {
      return true;
    }
  }
#else
  (void)fd;
  (void)info;
  (void)name;
#endif
  return false;
}

// The second now, by the clock file systems stamp their files with.
std::int64_t seconds_now() {
  struct timespec now;
#ifdef CLOCK_REALTIME_COARSE
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
#else
  ::clock_gettime(CLOCK_REALTIME, &now);
#endif
  return static_cast<std::int64_t>(now.tv_sec);
}

// Whether the file open as `fd` can only be one the caller's own open made in the second
// `since` or later: an empty regular file of the caller's, with one link, born then (where
// the file system keeps no birth time, its status changed then). A file of the caller's
// that someone moved or linked there is older.
bool made_since(int fd, std::int64_t since) {
  struct stat made;
  if (::fstat(fd, &made) != 0 || !S_ISREG(made.st_mode) || made.st_size != 0 ||
      made.st_nlink != 1 || made.st_uid != ::geteuid()) {
    return false;
  }
  std::int64_t born = static_cast<std::int64_t>(made.st_ctim.tv_sec);
#if defined(__linux__) && defined(STATX_BTIME)
  struct statx info;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &info) == 0 &&
      (info.stx_mask & STATX_BTIME) != 0) {
    born = static_cast<std::int64_t>(info.stx_btime.tv_sec);
  }
#endif
  return born >= since;
}

// Removes the file open as `fd` from where it lies, when it can only be one the caller's
// own open made since `since`; the folder it lay in is then left open as `folder`, with its
// name in it. False, with nothing removed, otherwise.
bool remove_made(int fd, std::int64_t since, int& folder, std::string& name) {
  if (!made_since(fd, since) || !where_file_lies(fd, folder, name)) return false;
  if (::unlinkat(folder, name.c_str(), 0) == 0) return true;
  ::close(folder);
  return false;
}

bool is_file(int fd, const struct stat& info) {
  struct stat opened;
  return ::fstat(fd, &opened) == 0 && same_file(opened, info);
}

// What `name` in `folder` leads to, as the kernel resolves it, learnt without opening it for
// anything, so that nothing waits and nothing is made. `magic` as for open_resolved. False,
// with errno set, when nothing is there or it cannot be reached.
bool look_up(int folder, const char* name, struct stat& info, bool& magic) {
#ifdef O_PATH
  int fd = open_resolved(folder, name, O_PATH | O_CLOEXEC, magic);
  if (fd < 0) return false;
  bool known = ::fstat(fd, &info) == 0;
  ::close(fd);
  return known;
#else
  magic = false;
  return ::fstatat(folder, name, &info, 0) == 0;
#endif
}

// Opens for writing the existing `name` in `folder`, looked up as `info`, by the open a
// plain write makes, less its truncation: for a file or a FIFO one that may create, since
// Linux applies its rules on other users' files and FIFOs in sticky folders
// (fs.protected_regular, fs.protected_fifos) only to those. It does not wait: a FIFO without
// a reader, or a file whose lease is being broken, is waited for as by a plain write only
// once the kernel has let the open pass, and only while the name still leads to `info`.
// -1 when it does not, or when the open reaches another file than `info` (the name changed
// meanwhile); a file that open made is removed.
int open_judged(int folder, const char* name, const struct stat& info) {
  int flags = kOutputFlags | (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode) ? O_CREAT : 0);
  std::int64_t since = seconds_now();
  int fd = open_retrying(folder, name, flags | O_NONBLOCK, 0666);
  if (fd < 0 && (errno == ENXIO || errno == EWOULDBLOCK)) {
    struct stat found;
    bool magic;
    if (!look_up(folder, name, found, magic) || !same_file(found, info)) return -1;
    since = seconds_now();
    fd = open_retrying(folder, name, flags, 0666);
  } else if (fd >= 0) {
    int now = ::fcntl(fd, F_GETFL);
    if (now < 0 || ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK) != 0) {
      ::close(fd);
      return -1;
    }
  }
  if (fd < 0 || is_file(fd, info)) return fd;
  int made_folder;
  std::string made_name;
  if ((flags & O_CREAT) != 0 && remove_made(fd, since, made_folder, made_name)) {
    ::close(made_folder);
  }
  ::close(fd);
  return -1;
}

// The empty file the kernel just made through a link, at the caller's open `fd` made in the
// second `since`, is removed again, and the output becomes that name in that folder: a new
// name, made only once the cut is complete. False, with nothing changed, when the file
// cannot be proven to be the one that open made, or where it lies cannot be told.
bool take_back_made(int fd, std::int64_t since, OutputFile& file) {
  int folder;
  std::string name;
  if (!remove_made(fd, since, folder, name)) return false;
  close_fd(file.folder);
  file.folder = folder;
  file.final_name = name;
  return true;
}

void probe_descriptor(int own, OutputFile& file, OutputFacts& facts) {
  int flags = ::fcntl(own, F_GETFL);
  facts.kind = flags < 0 ? OutputKind::Unusable : OutputKind::Descriptor;
  facts.writable = flags >= 0 && is_writable_mode(flags);
  if (facts.writable) file.handle = ::fcntl(own, F_DUPFD_CLOEXEC, 0);
  if (file.handle == -1) facts.writable = false;
}

// Looks at what `path` stands for and readies what each rule needs: the destination open
// for writing, its folder open, a temporary file made beside it. The folder is opened
// once, the name is reached from it, and every path is resolved by the kernel, whose rules
// on links and sticky folders apply as to a plain write. Nothing is opened that could wait
// before the kernel has judged the open. Fills `facts` for choose_output_rule.
void probe_output(const std::string& path, OutputFile& file, OutputFacts& facts) {
  int own = descriptor_spelled(path);
  if (own >= 0) {
    probe_descriptor(own, file, facts);
    return;
  }
  std::string folder_path;
  if (!split_path(path, folder_path, file.final_name)) return;
  file.folder = open_retrying(AT_FDCWD, folder_path.c_str(), kFolderFlags);
  if (file.folder == -1) return;
  int folder = as_fd(file.folder);
  const char* name = file.final_name.c_str();

  bool magic;
  struct stat info, entry;
  if (!look_up(folder, name, info, magic)) {
    if (errno != ENOENT) return;
    if (::fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(entry.st_mode)) {
      facts.kind = OutputKind::Nothing;
      return;
    }
    // A link to no file yet: the kernel makes the file where the link leads, as a plain
    // write would, or refuses.
    std::int64_t since = seconds_now();
    int fd = open_retrying(folder, name, kOutputFlags | O_CREAT | O_NONBLOCK, 0666);
    if (fd < 0) return;
    bool taken_back = take_back_made(fd, since, file);
    ::close(fd);
    if (taken_back) {
      facts.kind = OutputKind::Nothing;
      return;
    }
    // A file is there by now: as any other.
    if (!look_up(folder, name, info, magic)) return;
  }
  if (magic && (own = descriptor_on(info)) >= 0) {
    probe_descriptor(own, file, facts);
    return;
  }
  int fd = open_judged(folder, name, info);
  if (fd < 0) return;
  facts.kind = S_ISREG(info.st_mode) ? OutputKind::Regular : OutputKind::Special;
  facts.writable = true;
  if (facts.kind == OutputKind::Special) {
    file.handle = fd;
    return;
  }
  file.target = fd;
  facts.entry_is_file =
      !magic && ::fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && same_file(entry, info);
  facts.links = static_cast<std::int64_t>(info.st_nlink);
}

// Makes the temporary file the rule needs and, for a rename, gives it the replaced file's
// identity. A new name's lies in the output's folder; a replacement's beside the file
// itself, on its file system, also where a link or a mount leads there from another: in the
// output's folder only where the file lies there, or where the kernel cannot tell.
void prepare_temp(TempForm form, OutputFile& file, OutputFacts& facts) {
  if (facts.kind != OutputKind::Regular && facts.kind != OutputKind::Nothing) return;
  if (facts.kind == OutputKind::Regular && !facts.writable) return;
  bool replacing = facts.kind == OutputKind::Regular;
  int folder = as_fd(file.folder);
  int beside = folder;
  std::string lies_name = file.final_name;
  struct stat info, here, there;
  if (replacing && where_file_lies(as_fd(file.target), beside, lies_name) &&
      ::fstat(beside, &there) == 0 && ::fstat(folder, &here) == 0 && same_file(there, here)) {
    ::close(beside);
    beside = folder;
  }
  bool keeps_names = folder_keeps_names(beside);
  // A new file gets the usual mode (0666 less the umask, or the folder's default ACL); a
  // replacement is private until it takes the old file's identity.
  bool made = make_temp(file, beside, replacing ? 0600 : 0666, form, !keeps_names);
  if (beside != folder) {
    // Copied into the file, never renamed there: its descriptor is all that is needed.
    // Where none can be made beside the file, one beside the name serves (else /tmp).
    remove_temp_from(beside, file);
    ::close(beside);
    if (!made) make_temp(file, folder, 0600, form, !folder_keeps_names(folder));
    return;
  }
  facts.temp_beside = made;
  if (!replacing || !facts.temp_beside || facts.links != 1 || !facts.entry_is_file ||
      ::fstat(as_fd(file.target), &info) != 0) {
    return;
  }
  facts.mounted = is_mounted(as_fd(file.target), info, lies_name);
  if (facts.mounted) return;
  facts.rename_allowed = !keeps_names && rename_allowed(folder, info);
  // Before the cut is written: the writes then clear what writing clears (set-id bits, a
  // file capability) as the kernel decides for a write into the file itself.
  facts.identity_kept = carry_identity(as_fd(file.target), as_fd(file.handle));
  file.target_changed = change_time(info);
}

}  // namespace

bool open_input(const std::string& path, InputFile& file) {
  int fd = open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC);
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
  close_fd(file.handle);
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
  return ::fstat(as_fd(file.handle), &a) == 0 && ::stat(path.c_str(), &b) == 0 && same_file(a, b);
}

bool output_is_file(const OutputFile& output, const InputFile& input) {
  struct stat a, b;
  std::intptr_t out = output.target != -1 ? output.target : output.handle;
  if (output.rule == OutputRule::CreateNew || out == -1) return false;
  return ::fstat(as_fd(out), &a) == 0 && ::fstat(as_fd(input.handle), &b) == 0 && same_file(a, b);
}

bool create_output(const std::string& path, OutputFile& file, TempForm form) {
  file = OutputFile();
  ignore_file_size_signal();
  OutputFacts facts;
  if (!path.empty()) {
    probe_output(path, file, facts);
    prepare_temp(form, file, facts);
  }
  file.rule = choose_output_rule(facts);
  switch (file.rule) {
    case OutputRule::Refuse:
      close_all(file);
      return false;
    case OutputRule::ThroughDescriptor:
    case OutputRule::InPlace:
    case OutputRule::CreateNew:
    case OutputRule::ReplaceByRename:
      return true;
    case OutputRule::CopyInto:
      break;
  }
  // Copied into the file, never renamed: the temporary file needs no name, and lies in the
  // system's temporary folder when none can be made beside the output.
  remove_temp(file);
  if (file.handle == -1) {
    int folder = open_retrying(AT_FDCWD, P_tmpdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool made = folder >= 0 && make_temp(file, folder, 0600, form, true);
    if (made) remove_temp_from(folder, file);  // only the descriptor is needed
    if (folder >= 0) ::close(folder);
    if (!made) {
      close_all(file);
      return false;
    }
  }
  return true;
}

namespace {

// Whether the output is a temporary file of the tool's own, to be put in place or copied:
// only such a file has blocks set aside past its end, since it is cut to its length before
// anyone else sees it.
bool writes_temp(const OutputFile& file) {
  return file.rule == OutputRule::CreateNew || file.rule == OutputRule::ReplaceByRename ||
         file.rule == OutputRule::CopyInto;
}

// Sets blocks aside for the next bytes of a temporary file. A file system that cannot (or a
// disk too full for the reservation) is written without, as before.
void reserve_ahead(OutputFile& file, std::size_t size) {
  std::int64_t end = file.written + static_cast<std::int64_t>(size);
  if (file.reserved_end < 0 || end <= file.reserved_end || !writes_temp(file) ||
      !reservation_pays(file.expected_size)) {
    return;
  }
#ifdef __linux__
  std::int64_t until = reservation_end(file.written, end);
  int done;
  do {
    done = ::fallocate(as_fd(file.handle), FALLOC_FL_KEEP_SIZE, file.reserved_end,
                       until - file.reserved_end);
  } while (done != 0 && errno == EINTR);
  if (done == 0) {
    file.reserved_end = until;
    return;
  }
#endif
  file.reserved_end = -1;
}

// Gives back the blocks set aside past the temporary file's end. (Cutting a file to its own
// length does that; it clears no more than its writes have cleared already.)
bool trim_reserved(OutputFile& file) {
  if (file.reserved_end == 0 || !writes_temp(file)) return true;
  return ::ftruncate(as_fd(file.handle), file.written) == 0;
}

// Takes the error closing the temporary file would report, before the file is put in place:
// close runs the file system's flush, where NFS, FUSE and CIFS report failed write-backs,
// on every descriptor closed, not only the last. So a duplicate is closed: the file's own
// descriptor stays open, as linking an unnamed file in and copying from it need it.
bool flush_temp(OutputFile& file) {
  if (!writes_temp(file)) return true;
  int copy = ::fcntl(as_fd(file.handle), F_DUPFD_CLOEXEC, 0);
  return copy >= 0 && ::close(copy) == 0;
}

}  // namespace

bool write_output(OutputFile& file, const char* data, std::size_t size) {
  reserve_ahead(file, size);
  file.written += static_cast<std::int64_t>(size);
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
  sigset_t previous;
  hold_signals(previous);
  bool ok = false;
  if (!trim_reserved(file) || !flush_temp(file)) file.rule = OutputRule::Refuse;
  int out = as_fd(file.handle);
  switch (file.rule) {
    case OutputRule::Refuse:
      break;
    case OutputRule::ThroughDescriptor:
    case OutputRule::InPlace:
      ok = ::close(out) == 0;
      file.handle = -1;
      break;
    case OutputRule::CreateNew:
      ok = link_in_new(file);
      break;
    case OutputRule::ReplaceByRename:
      // Should the swap of names fail, or what it took out not be the file that was opened,
      // the cut goes into that file as by rule CopyInto, as a plain write would have put it.
      ok = exchange_in(file) || copy_into(out, as_fd(file.target));
      break;
    case OutputRule::CopyInto:
      ok = copy_into(out, as_fd(file.target));
      break;
  }
  if (file.handle != -1 && ::close(as_fd(file.handle)) != 0) ok = false;
  file.handle = -1;
  if (file.target != -1 && ::close(as_fd(file.target)) != 0) ok = false;
  file.target = -1;
  close_all(file);
  release_signals(previous);
  return ok;
}

void discard_output(OutputFile& file) {
  close_all(file);
}
