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
#include <sys/ioctl.h>
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

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The next name in a chain of symbolic links. False when `name` is no link (the chain ends
// there, whether or not anything is there), and then `failed` when the link is unreadable.
bool next_link(const std::string& name, std::string& next, bool& failed) {
  failed = false;
  struct stat info;
  if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
  char text[PATH_MAX];
  ssize_t length = ::readlink(name.c_str(), text, sizeof text);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
    failed = true;
    return false;
  }
  next.assign(text, static_cast<std::size_t>(length));
  std::size_t slash = name.find_last_of('/');
  if (next[0] != '/' && slash != std::string::npos) next = name.substr(0, slash + 1) + next;
  return true;
}

const int kLinkHops = 40;  // as the system's own limit on a chain of links

// Where the chain of symbolic links that starts at `path` ends, whether or not anything is
// there yet; `path` itself when it is no link. False when the chain cannot be followed.
bool link_chain_end(const std::string& path, std::string& end) {
  end = path;
  for (int hop = 0; hop < kLinkHops; ++hop) {
    std::string next;
    bool failed;
    if (!next_link(end, next, failed)) return !failed;
    end = next;
  }
  return false;
}

bool same_folder(const char* real, const char* other) {
  char* resolved = ::realpath(other, nullptr);
  bool same = resolved != nullptr && std::strcmp(real, resolved) == 0;
  std::free(resolved);
  return same;
}

// The descriptor `name` stands for when it is one of this process's own: /dev/stdin,
// /dev/stdout, /dev/stderr, or a number in the folder of the process's descriptors however
// that folder is spelled (/dev/fd, /proc/self/fd, /proc/<pid>/fd). -1 otherwise.
int descriptor_of_name(const std::string& name) {
  const char* const kStandard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
  for (int fd = 0; fd < 3; ++fd) {
    if (name == kStandard[fd]) return fd;
  }
  std::size_t slash = name.find_last_of('/');
  std::size_t digits = slash == std::string::npos ? 0 : slash + 1;
  if (name.size() == digits || name.size() - digits > 9) return -1;
  if (name.find_first_not_of("0123456789", digits) != std::string::npos) return -1;
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  char* real = ::realpath(folder.c_str(), nullptr);
  if (real == nullptr) return -1;
  bool own = same_folder(real, "/dev/fd") || same_folder(real, "/proc/self/fd") ||
             same_folder(real, "/proc/thread-self/fd");
  std::free(real);
  return own ? std::atoi(name.c_str() + digits) : -1;
}

// The descriptor named by `path` or by any link of the chain that starts there; -1 when none.
int descriptor_named(const std::string& path) {
  std::string name = path;
  for (int hop = 0; hop < kLinkHops; ++hop) {
    int fd = descriptor_of_name(name);
    if (fd >= 0) return fd;
    std::string next;
    bool failed;
    if (!next_link(name, next, failed)) return -1;
    name = next;
  }
  return -1;
}

// --- Interrupts -------------------------------------------------------------------------
//
// A named temporary file is removed by the handler of the signals that end a run; its name
// and folder are recorded as the file is made, with the signals held, so that the handler
// needs nothing but unlinkat and finds no file unrecorded. Commits run with the signals held: an
// interrupt then takes effect once the output is whole, never halfway through.

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const int kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

std::atomic<int> armed_folder{-1};
char armed_name[32];

struct RunSignals {
  struct sigaction before[kEndingSignalCount];
  bool handled[kEndingSignalCount] = {};
  struct sigaction file_size_before;
  bool file_size_ignored = false;
};
RunSignals run_signals;  // one output per process at a time

void remove_temp_and_end(int signal_number) {
  int folder = armed_folder.load();
  if (folder >= 0) ::unlinkat(folder, armed_name, 0);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);  // delivered, by default, as the handler returns
}

void hold_signals(sigset_t& previous) {
  sigset_t held;
  sigemptyset(&held);
  for (int signal_number : kEndingSignals)
    sigaddset(&held, signal_number);
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
  sigemptyset(&handler.sa_mask);
  for (int i = 0; i < kEndingSignalCount; ++i) {
    if (run_signals.handled[i]) continue;
    struct sigaction& before = run_signals.before[i];
    if (::sigaction(kEndingSignals[i], nullptr, &before) != 0 || before.sa_handler == SIG_IGN) {
      continue;
    }
    run_signals.handled[i] = ::sigaction(kEndingSignals[i], &handler, nullptr) == 0;
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
  for (int i = 0; i < kEndingSignalCount; ++i) {
    if (run_signals.handled[i]) ::sigaction(kEndingSignals[i], &run_signals.before[i], nullptr);
    run_signals.handled[i] = false;
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

// The inode flags of a folder that forbid taking names out of it: append-only, immutable.
bool folder_keeps_names(const std::string& folder) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
  int fd = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  int flags = 0;
  bool keeps =
      ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
  ::close(fd);
  return keeps;
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

// Removes a named temporary file, if there is one.
void remove_temp(OutputFile& file) {
  if (file.temp_name.empty()) return;
  ::unlinkat(as_fd(file.folder), file.temp_name.c_str(), 0);
  disarm();
  file.temp_name.clear();
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
  // After the owner: changing it clears the set-id bits.
  if (::fchmod(to, wanted.st_mode & 07777) != 0) return false;
  if (!carry_attributes(from, to) || !carry_flags(from, to)) return false;
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

// Whether a folder that lets names go lets the caller rename over `file`: with the sticky
// bit, only the file's owner, the folder's owner and root may.
bool rename_allowed(int folder, const struct stat& file) {
  struct stat info;
  if (::fstat(folder, &info) != 0) return false;
  uid_t caller = ::geteuid();
  if ((info.st_mode & S_ISVTX) != 0 && caller != 0 && caller != file.st_uid &&
      caller != info.st_uid) {
    return false;
  }
  return true;
}

// --- Putting the cut in place ---------------------------------------------------------------

// Copies the whole of `from` over the start of `to` and cuts `to` to that length. Space is
// reserved first where the system can, so a full disk fails before anything is overwritten.
bool copy_into(int from, int to) {
  struct stat info;
  if (::fstat(from, &info) != 0) return false;
  off_t size = info.st_size;
#ifdef __linux__
  if (size > 0 && ::fallocate(to, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
      (errno == ENOSPC || errno == EDQUOT)) {
    return false;
  }
  off_t in = 0;
  off_t out = 0;
  while (in < size) {
    ssize_t put = ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(size - in), 0);
    if (put < 0 && errno == EINTR) continue;
    if (put > 0) continue;
    if (put == 0 || in > 0) return false;
    break;  // not between these files: by blocks
  }
  if (in == size) return ::ftruncate(to, size) == 0;
#endif
  std::vector<char> block(std::size_t{1} << 20);
  off_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(from, block.data(), block.size(), done);
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
  return ::ftruncate(to, size) == 0;
}

// Gives the complete temporary file the output's name: a new name only where none is
// (`replace` false), else over the file that is there.
bool put_in_place(OutputFile& file, bool replace) {
  int folder = as_fd(file.folder);
  const char* final_name = file.final_name.c_str();
  if (file.temp_unnamed) {
    std::string self = proc_path(as_fd(file.handle));
    if (!replace)
      return ::linkat(AT_FDCWD, self.c_str(), folder, final_name, AT_SYMLINK_FOLLOW) == 0;
    // A rename needs a name to rename: one for a moment, with the signals held.
    for (int attempt = 0; attempt < kNameAttempts && file.temp_name.empty(); ++attempt) {
      std::string name = temp_file_name(next_unique());
      if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        arm(folder, name);
        file.temp_name = name;
      } else if (errno != EEXIST) {
        return false;
      }
    }
    if (file.temp_name.empty()) return false;
  }
  const char* temp_name = file.temp_name.c_str();
  bool done;
  if (replace) {
    done = ::renameat(folder, temp_name, folder, final_name) == 0;
  } else {
#ifdef RENAME_NOREPLACE
    // Never over a file that someone made meanwhile.
    done = ::renameat2(folder, temp_name, folder, final_name, RENAME_NOREPLACE) == 0;
    if (!done && errno == EINVAL) done = ::renameat(folder, temp_name, folder, final_name) == 0;
#else
    done = ::renameat(folder, temp_name, folder, final_name) == 0;
#endif
  }
  if (done) {
    disarm();
    file.temp_name.clear();
  }
  return done;
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

// Looks at what `path` stands for and readies what each rule needs: the destination open
// for writing, its folder open, a temporary file made beside it. Fills `facts` for
// choose_output_rule.
void probe_output(const std::string& path, TempForm form, OutputFile& file, OutputFacts& facts) {
  int own = descriptor_named(path);
  if (own >= 0) {
    int flags = ::fcntl(own, F_GETFL);
    facts.kind = flags < 0 ? OutputKind::Unusable : OutputKind::Descriptor;
    facts.writable = flags >= 0 && is_writable_mode(flags);
    if (facts.writable) file.handle = ::fcntl(own, F_DUPFD_CLOEXEC, 0);
    if (file.handle == -1) facts.writable = false;
    return;
  }

  // What stands at the end of the chain of links: opened for writing as it is, which asks
  // the system whether the caller may write it, and never changes it.
  std::string target, folder_path;
  if (!link_chain_end(path, target) || !split_path(target, folder_path, file.final_name)) return;
  struct stat info;
  int fd = open_retrying(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    if (::fstat(fd, &info) != 0) {
      ::close(fd);
      return;
    }
    facts.writable = true;
    if (!S_ISREG(info.st_mode)) {
      facts.kind = OutputKind::Special;
      file.handle = fd;
      return;
    }
    facts.kind = OutputKind::Regular;
    file.target = fd;
  } else if (errno == ENOENT) {
    facts.kind = OutputKind::Nothing;
  } else {
    if (::stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode))
      facts.kind = OutputKind::Regular;
    return;
  }

#ifdef O_PATH
  const int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  file.folder = open_retrying(folder_path.c_str(), kFolderFlags);
  if (file.folder == -1) return;
  // A new file gets the usual mode (0666 less the umask, or the folder's default ACL); a
  // replacement is private until it takes the old file's identity.
  bool replacing = facts.kind == OutputKind::Regular;
  bool keeps_names = folder_keeps_names(folder_path);
  facts.temp_beside =
      make_temp(file, as_fd(file.folder), replacing ? 0600 : 0666, form, !keeps_names);
  if (!replacing || !facts.temp_beside) return;
  facts.links = static_cast<std::int64_t>(info.st_nlink);
  if (facts.links != 1) return;
  facts.rename_allowed = !keeps_names && rename_allowed(as_fd(file.folder), info);
  facts.identity_kept = carry_identity(as_fd(file.target), as_fd(file.handle));
}

}  // namespace

bool open_input(const std::string& path, InputFile& file) {
  int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC);
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
  if (::fstat(as_fd(file.handle), &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool create_output(const std::string& path, OutputFile& file, TempForm form) {
  file = OutputFile();
  ignore_file_size_signal();
  OutputFacts facts;
  if (!path.empty()) probe_output(path, form, file, facts);
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
    int folder = open_retrying(P_tmpdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool made = folder >= 0 && make_temp(file, folder, 0600, form, true);
    if (made && !file.temp_unnamed) {
      // Removed at once: only the descriptor is needed.
      ::unlinkat(folder, file.temp_name.c_str(), 0);
      disarm();
      file.temp_name.clear();
    }
    if (folder >= 0) ::close(folder);
    if (!made) {
      close_all(file);
      return false;
    }
  } else if (!file.temp_name.empty()) {
    ::unlinkat(as_fd(file.folder), file.temp_name.c_str(), 0);
    disarm();
    file.temp_name.clear();
  }
  return true;
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
  sigset_t previous;
  hold_signals(previous);
  bool ok = false;
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
      ok = put_in_place(file, false);
      break;
    case OutputRule::ReplaceByRename:
      // The writes may have cleared set-id bits: the identity is given again. Should the
      // rename fail after all, the cut goes into the file as by rule CopyInto.
      ok = (carry_identity(as_fd(file.target), out) && put_in_place(file, true)) ||
           copy_into(out, as_fd(file.target));
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
