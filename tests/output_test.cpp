// Where the cut goes, end to end, one table per output rule: descriptors the program has
// open, existing files (who may write them, and what of them survives: bytes, inode, links,
// owner, group, mode, extended attributes, flags), long names, temporary files, signals.
// Every run is checked for its message, its status, and that the folder holds no stray file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "tests/test_util.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <random>

#include "cli/options.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <thread>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#endif

namespace {

const char kPrevious[] = "the previous cut\n";
const char kCreateError[] = "Error: Cannot create output file ";

// What mocslice in.bvh -e 0 makes of in.bvh = motion_file(3, 3).
std::string cut() {
  return hierarchy() + "Frames: 1\nFrame Time: 0.040000\nA0\n";
}

std::string ok_console(const std::string& out) {
  return "OK\nMotion with 1 frames (0..0) from in.bvh copied to " + out + "\n";
}

#ifndef _WIN32

const long kNobody = 65534;  // the unprivileged user and group of Debian

bool is_root() {
  return ::geteuid() == 0;
}

// Runs `commands` with sh in `folder`; true when they succeed. (The output is sent away by
// exec, which leaves no copy of the test's own for a command left running to hold.)
bool shell(const std::string& folder, const std::string& commands) {
  if (commands.empty()) return true;
  return std::system(
             ("exec >/dev/null 2>&1; cd '" + folder + "' && { " + commands + "; }").c_str()) == 0;
}

bool has_command(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// All a replaced file could lose.
struct FileState {
  bool exists = false;
  ino_t inode = 0;
  nlink_t links = 0;
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
  std::map<std::string, std::string> attributes;  // every extended attribute, ACLs included
  int flags = 0;                                  // inode flags (chattr)
  std::string bytes;
};

FileState state_of(const std::string& path) {
  FileState state;
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return state;
  state.exists = true;
  state.inode = info.st_ino;
  state.links = info.st_nlink;
  state.owner = info.st_uid;
  state.group = info.st_gid;
  state.mode = info.st_mode;
  read_file(path, state.bytes);
  char names[4096];
  ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    char value[4096];
    ssize_t length = ::getxattr(path.c_str(), names + at, value, sizeof value);
    state.attributes[names + at] = std::string(value, length > 0 ? length : 0);
  }
#ifdef __linux__
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd >= 0) {
    ::ioctl(fd, FS_IOC_GETFLAGS, &state.flags);
    ::close(fd);
  }
#endif
  return state;
}

// The identity a file keeps whether it is written in place or replaced by rename.
void expect_same_identity(const FileState& after, const FileState& before) {
  EXPECT_EQ(after.links, before.links);
  EXPECT_EQ(after.owner, before.owner);
  EXPECT_EQ(after.group, before.group);
  EXPECT_EQ(after.mode, before.mode);
  EXPECT_EQ(after.attributes, before.attributes);
  EXPECT_EQ(after.flags, before.flags);
}

// A name for a descriptor the program has open is written through that descriptor,
// in its mode, and nothing is reopened, truncated or replaced.
TEST(Output, DescriptorsOfTheProcess) {
  struct Case {
    const char* script;  // run in a folder holding in.bvh and log ("earlier\n")
    std::string log;     // log afterwards
    std::string console;
    int status;
  };
  const std::string earlier = "earlier\n";
  const Case cases[] = {
      {R"("$1" in.bvh -e 0 -o /dev/stdout >> log)", earlier + cut() + ok_console("/dev/stdout"), "",
       0},
      {R"({ echo header; "$1" in.bvh -e 0 -o /dev/stdout; echo trailer; } > log)",
       "header\n" + cut() + ok_console("/dev/stdout") + "trailer\n", "", 0},
      {R"("$1" in.bvh -e 0 -o /dev/stderr 2>> log)", earlier + cut(), ok_console("/dev/stderr"), 0},
      {R"("$1" in.bvh -e 0 -o /dev/fd/3 3>> log)", earlier + cut(), ok_console("/dev/fd/3"), 0},
      {R"("$1" in.bvh -e 0 -o /proc/self/fd/3 3>> log)", earlier + cut(),
       ok_console("/proc/self/fd/3"), 0},
      {R"(ln -s /dev/stdout link.bvh && "$1" in.bvh -e 0 -o link.bvh >> log; rm link.bvh)",
       earlier + cut() + ok_console("link.bvh"), "", 0},
      {R"("$1" in.bvh -e 0 -o /dev/fd/3 3< log)", earlier, kCreateError + std::string("/dev/fd/3"),
       255},
      {R"("$1" in.bvh -e 0 -o /dev/fd/9)", earlier, kCreateError + std::string("/dev/fd/9"), 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ScratchDir dir;
    write_file(dir.file("in.bvh"), motion_file(3, 3));
    write_file(dir.file("log"), earlier);
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_shell(c.script, options);
    EXPECT_EQ(run.out, c.console);
    EXPECT_EQ(run.status, c.status);
    std::string log;
    ASSERT_TRUE(read_file(dir.file("log"), log));
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"in.bvh", "log"}));
  }
}

// Opens the named pipe for writing once the program has opened it for reading.
int open_pipe_writer(const std::string& path) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      ::fcntl(fd, F_SETFL, 0);
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// Waits until process `pid` has a file open in `folder` that holds `size` bytes.
bool wait_for_output(long pid, const std::string& folder, off_t size) {
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    for (const std::string& fd : entries(fds)) {
      char target[PATH_MAX];
      ssize_t length = ::readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
      struct stat info;
      if (length > 0 && std::string(target, length).rfind(folder + "/", 0) == 0 &&
          ::stat((fds + "/" + fd).c_str(), &info) == 0 && info.st_size == size) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// An existing file is written only when the caller may write it; it is renamed over
// only when nothing of it is lost, and otherwise written into, as the same inode.
struct ExistingCase {
  const char* name;
  const char* setup;  // sh commands run by root in the folder (mode 0777) that holds in.bvh
                      // and out.bvh (root's, mode 0644); mounts on view.bvh, mnt/view.bvh
                      // and mnt are undone afterwards
  const char* tools;  // the commands the setup needs
  bool as_nobody;     // run as an ordinary user, else as root
  bool written;       // else refused, and out.bvh stays as it was
  bool same_inode;    // written into the very file, else replaced by a rename
  // Cases of another user of the machine, who can write the folder, plant links and move
  // files. Given `check`, it stands for the comparisons of out.bvh before and after.
  int protect = 0;                 // the kernel's protections the case needs switched on
  const char* during = "";         // sh commands run by root while the run waits in mid-motion
  const char* check = "";          // sh condition that holds in the folder afterwards
  const char* output = "out.bvh";  // the name the run is given (-o)
};

// The kernel's protections of sticky folders, as fs.protected_* sets them.
const int kSymlinks = 1, kRegular = 2, kFifos = 4;

const ExistingCase kExistingCases[] = {
    {"another user's file in a folder open to all", "", "", true, false, false},
    {"one's own read-only file", "chown nobody:nogroup out.bvh && chmod 444 out.bvh", "", true,
     false, false},
    {"another user's file in a sticky folder", "chmod 1777 .", "", true, false, false},
    {"an immutable file", "chattr +i out.bvh", "chattr", false, false, false},
    {"an append-only file", "chattr +a out.bvh", "chattr", false, false, false},
    {"one of two hard links", "ln out.bvh other.bvh", "", false, true, true},
    {"another user's file with attributes and an ACL",
     "chown nobody:nogroup out.bvh && chmod 640 out.bvh && setfattr -n user.take -v 7 out.bvh && "
     "setfacl -m u:daemon:rw out.bvh",
     "setfattr setfacl", false, true, false},
    {"one's own file with attributes and an ACL",
     "chown nobody:nogroup out.bvh && setfattr -n user.take -v 7 out.bvh && "
     "setfacl -m u:daemon:r out.bvh",
     "setfattr setfacl", true, true, false},
    {"a set-group-id file of another group", "chown nobody:nogroup out.bvh && chmod 2755 out.bvh",
     "", false, true, false},
    {"a file flagged no-dump", "chattr +d out.bvh", "chattr", false, true, false},
    {"a file in a folder with a default ACL it lacks", "setfacl -d -m u:daemon:rwx .", "setfacl",
     false, true, false},
    {"another user's writable file", "chmod 666 out.bvh", "", true, true, true},
    {"another user's writable file in a sticky folder", "chmod 666 out.bvh && chmod 1777 .", "",
     true, true, true},
    {"a writable file in a folder closed to the caller", "chmod 666 out.bvh && chmod 755 .", "",
     true, true, true},
    {"a file in an immutable folder", "chattr +i .", "chattr", false, true, true},
    {"a file in an append-only folder", "chattr +a .", "chattr", false, true, true},
    {"one's own set-user-id file", "chown nobody:nogroup out.bvh && chmod 4755 out.bvh", "", true,
     true, false, 0, "", "[ $(stat -c %a:%U out.bvh) = 755:nobody ]"},
    {"a file with a capability", "setcap cap_net_bind_service=ep out.bvh", "setcap", false, true,
     false, 0, "", "[ -z \"$(getcap out.bvh)\" ] && [ $(stat -c %a out.bvh) = 644 ]"},
    {"another user's link in a sticky folder to a private file",
     "mkdir -m 700 private && mv out.bvh private && chmod 600 private/out.bvh && chmod 1777 . && "
     "ln -s private/out.bvh out.bvh && chown -h nobody out.bvh",
     "", false, false, false, kSymlinks, "",
     "[ -L out.bvh ] && [ \"$(cat private/out.bvh)\" = 'the previous cut' ]"},
    {"another user's writable file in a sticky folder of root's",
     "chown daemon out.bvh && chmod 666 out.bvh && chmod 1777 .", "", false, false, false,
     kRegular},
    {"another user's FIFO in a sticky folder of root's",
     "rm out.bvh && mkfifo -m 666 out.bvh && chown daemon out.bvh && chmod 1777 . && "
     "{ timeout 10 cat out.bvh >/dev/null & }",
     "", false, false, false, kFifos, "", "[ -p out.bvh ]"},
    // A plain write is refused at once: nothing waits for a reader (one comes after 5 s) or
    // for the name to be taken away meanwhile, and nothing is made.
    {"another user's FIFO without a reader in a sticky folder of root's",
     "rm out.bvh && mkfifo -m 666 out.bvh && chown daemon out.bvh && chmod 1777 . && "
     "{ (sleep 5; touch waited; timeout 5 cat out.bvh) & }",
     "", true, false, false, kFifos, "",
     "[ -p out.bvh ] && [ \"$(ls -A)\" = \"$(ls in.bvh out.bvh)\" ]"},
    {"another user's FIFO taken from its name while a reader is awaited",
     "rm out.bvh && mkfifo -m 666 out.bvh && chown daemon out.bvh && chmod 1777 . && "
     "{ (sleep 5; ln out.bvh kept && rm out.bvh && timeout 5 cat kept) & }",
     "", true, false, false, kFifos, "",
     "[ -p out.bvh ] && [ \"$(ls -A)\" = \"$(ls in.bvh out.bvh)\" ]"},
    // Its owner holds a lease on it, which a waiting open would have broken.
    {"another user's file under a lease in a sticky folder of root's",
     "chown daemon out.bvh && chmod 666 out.bvh && chmod 1777 . && "
     "{ setpriv --reuid daemon --regid daemon --clear-groups perl -e 'open(my $f, \"<\", "
     "\"out.bvh\") or die; $SIG{IO} = sub { open(my $b, \">\", \"broken\"); exit }; "
     "fcntl($f, 1024, 0) or die; sleep 5' & } && "
     "timeout 5 sh -c 'until grep -q \"LEASE.*:$0 \" /proc/locks; do sleep 0.1; done' "
     "$(stat -c %i out.bvh)",
     "", true, false, false, kRegular, "",
     "[ ! -e broken ] && grep -qx 'the previous cut' out.bvh"},
    // Written as cat writes it: the descriptor found is not the program's own.
    {"a link to a file another process has open, through /proc",
     "mv out.bvh held.bvh && chown nobody:nogroup held.bvh && "
     "{ setpriv --reuid 65534 --regid 65534 --clear-groups sleep 5 3>>held.bvh & } && "
     "timeout 5 sh -c 'until grep -qx sleep /proc/$0/comm; do sleep 0.1; done' $! && "
     "ln -s /proc/$!/fd/3 out.bvh",
     "", true, true, true, 0, "", "grep -qx A0 held.bvh && [ -L out.bvh ]"},
    {"a link through /proc/self/cwd",
     "mv out.bvh real.bvh && chown nobody:nogroup real.bvh && ln -s /proc/self/cwd/real.bvh "
     "out.bvh",
     "", true, true, true, 0, "", "grep -qx A0 real.bvh && [ -L out.bvh ]"},
    // The temporary file lies beside the file, on its disk, not on the full one of the name.
    {"a link on a full disk to a file on another",
     "chmod 666 out.bvh && mkdir mnt && mount -t tmpfs -o size=4k tmpfs mnt && "
     "ln -s ../out.bvh mnt/out.bvh && { dd if=/dev/zero of=mnt/fill bs=4k; true; }",
     "", true, true, true, 0, "", "", "mnt/out.bvh"},
    {"a file mounted on a name on a full disk",
     "chmod 666 out.bvh && mkdir mnt && mount -t tmpfs -o size=4k tmpfs mnt && "
     "touch mnt/view.bvh && mount --bind out.bvh mnt/view.bvh && "
     "{ dd if=/dev/zero of=mnt/fill bs=4k; true; }",
     "", true, true, true, 0, "", "", "mnt/view.bvh"},
    // Every name the file is mounted on sees the cut.
    {"a file also mounted on another name",
     "chown nobody:nogroup out.bvh && touch view.bvh && mount --bind out.bvh view.bvh", "", true,
     true, true, 0, "", "grep -qx A0 view.bvh && cmp -s out.bvh view.bvh"},
    {"a link swapped between two of one's files during the run",
     "mkdir a b && mv out.bvh a && echo kept > b/out.bvh && chmod 444 b/out.bvh && "
     "ln -s a/out.bvh out.bvh && chown -hR nobody:nogroup a b out.bvh",
     "", true, true, true, 0, "ln -sfn b/out.bvh out.bvh",
     "grep -qx A1 a/out.bvh && [ $(cat b/out.bvh):$(stat -c %a b/out.bvh) = kept:444 ]"},
    {"a file the caller may not write moved onto the name during the run",
     "chown nobody:nogroup out.bvh && echo theirs > theirs.bvh && chown daemon theirs.bvh", "",
     true, true, false, 0, "mv theirs.bvh out.bvh",
     "[ $(cat out.bvh):$(stat -c %U out.bvh) = theirs:daemon ] && [ ! -e theirs.bvh ]"},
    {"one's own file made read-only during the run", "chown nobody:nogroup out.bvh", "", true, true,
     true, 0, "chmod 444 out.bvh",
     "grep -qx A1 out.bvh && [ $(stat -c %a:%U out.bvh) = 444:nobody ]"},
    {"a hard link made during the run", "", "", false, true, true, 0, "ln out.bvh other.bvh",
     "grep -qx A1 out.bvh && cmp -s out.bvh other.bvh && [ $(stat -c %h out.bvh) = 2 ]"},
};

// Switches on the kernel's protections a case needs, and back to what they were.
struct Protections {
  std::vector<std::pair<std::string, std::string>> saved;  // setting, value before
};

bool switch_on(int protect, Protections& protections) {
  const char* const kSettings[] = {"symlinks", "regular", "fifos"};
  for (int i = 0; i < 3; ++i) {
    if ((protect & (1 << i)) == 0) continue;
    std::string path = std::string("/proc/sys/fs/protected_") + kSettings[i];
    std::string before;
    if (!read_file(path, before)) return false;
    protections.saved.emplace_back(path, before);
    if (!shell("/", "echo 1 > " + path)) return false;
  }
  return true;
}

void switch_back(const Protections& protections) {
  for (const auto& setting : protections.saved)
    write_file(setting.first, setting.second);
}

class ExistingOutput : public testing::TestWithParam<ExistingCase> {};

TEST_P(ExistingOutput, KeepsWhatAPlainWriteKeeps) {
  const ExistingCase& c = GetParam();
  if (!is_root()) GTEST_SKIP() << "needs root: the cases set owners and flags, run as others";
  for (const std::string& tool : {std::string("setfattr"), std::string("setfacl"),
                                  std::string("chattr"), std::string("setcap")}) {
    if (std::strstr(c.tools, tool.c_str()) != nullptr && !has_command(tool)) {
      GTEST_SKIP() << tool << " is not installed (packages attr, acl, e2fsprogs, libcap2-bin)";
    }
  }
  ScratchDir dir;
  write_file(dir.file("in.bvh"), motion_file(3, 3));
  write_file(dir.file("out.bvh"), kPrevious);
  ASSERT_TRUE(shell(dir.path, "chmod 0777 . && chmod 0644 in.bvh out.bvh"));
  if (!shell(dir.path, c.setup)) {
    shell(dir.path, "chattr -i -a . out.bvh");
    GTEST_SKIP() << "the scratch folder's file system does not take: " << c.setup;
  }
  const bool checked = c.check[0] != '\0';  // else out.bvh is compared before and after
  FileState before;
  std::vector<std::string> names = entries(dir.path);
  std::vector<std::string> links;  // out.bvh under all its names
  if (!checked) {
    before = state_of(dir.file("out.bvh"));
    for (const std::string& name : names) {
      if (state_of(dir.file(name)).inode == before.inode) links.push_back(name);
    }
  }
  Protections protections;
  if (!switch_on(c.protect, protections)) {
    switch_back(protections);
    GTEST_SKIP() << "cannot switch on the kernel's protections in /proc/sys/fs/protected_*";
  }

  ToolOptions options;
  options.cwd = dir.path;
  if (c.as_nobody) options.user = options.group = kNobody;
  ToolRun run;
  std::string console = ok_console(c.output);
  if (c.during[0] == '\0') {
    run = run_tool({"in.bvh", "-e", "0", "-o", c.output}, options);
  } else {
    // The input stalls after frame 0 until the name has been changed.
    ASSERT_EQ(::mkfifo(dir.file("in.pipe").c_str(), 0666), 0);
    ToolProcess process =
        start_program({MOCSLICE_BINARY, "in.pipe", "-e", "1", "-o", c.output}, options);
    int pipe = open_pipe_writer(dir.file("in.pipe"));
    ASSERT_GE(pipe, 0);
    const std::string head = hierarchy() + "Frames: 3\nFrame Time: 0.04\nA0\n";
    const std::string tail = "A1\nA2\n";
    ASSERT_EQ(::write(pipe, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    const std::string written = hierarchy() + "Frames: 2\nFrame Time: 0.040000\nA0\n";
    bool stalled = wait_for_output(process.pid, dir.path, static_cast<off_t>(written.size()));
    bool changed = stalled && shell(dir.path, c.during);
    ASSERT_EQ(::write(pipe, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    ::close(pipe);
    run = finish_program(process);
    ASSERT_TRUE(stalled);
    ASSERT_TRUE(changed) << c.during;
    console =
        "OK\nMotion with 2 frames (0..1) from in.pipe copied to " + std::string(c.output) + "\n";
  }
  switch_back(protections);
  FileState after = checked ? FileState() : state_of(dir.file("out.bvh"));
  std::vector<std::string> names_after = entries(dir.path);
  bool held = !checked || shell(dir.path, c.check);
  // So that the folder can be removed.
  shell(dir.path, "chattr -i -a . out.bvh; umount view.bvh mnt/view.bvh; umount mnt");

  for (const std::string& name : names_after)
    EXPECT_NE(name.rfind(".mocslice-", 0), 0u) << name;
  EXPECT_EQ(run.out, c.written ? console : kCreateError + std::string(c.output));
  EXPECT_EQ(run.status, c.written ? 0 : 255);
  if (checked) {
    EXPECT_TRUE(held) << c.check;
    return;
  }
  EXPECT_EQ(names_after, names);
  EXPECT_EQ(after.inode == before.inode, c.same_inode || !c.written);
  expect_same_identity(after, before);
  for (const std::string& name : links) {
    std::string bytes;
    ASSERT_TRUE(read_file(dir.file(name), bytes));
    EXPECT_EQ(bytes, c.written ? cut() : kPrevious) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Output, ExistingOutput, testing::ValuesIn(kExistingCases),
                         [](const testing::TestParamInfo<ExistingCase>& row) {
                           std::string name;  // "one of two" -> "OneOfTwo"
                           bool word_start = true;
                           for (const char* p = row.param.name; *p != '\0'; ++p) {
                             unsigned char letter = static_cast<unsigned char>(*p);
                             if (std::isalnum(letter)) {
                               name +=
                                   static_cast<char>(word_start ? std::toupper(letter) : letter);
                             }
                             word_start = *p == ' ';
                           }
                           return name;
                         });

// Where the file system reserves no space (ext2 has no fallocate), a copy into an existing
// file that runs out of room leaves it whole: the part past its old length is written first.
// The caller may write the file but not its folder, so the cut is copied into it.
TEST(Output, FullDiskWithoutReservation) {
  if (!is_root()) GTEST_SKIP() << "needs root: mounts a file system image";
  ScratchDir dir;
  write_file(dir.file("in.bvh"), motion_file(20000, 20000));
  const std::string old(4096, 'o');
  if (!shell(dir.path,
             "dd if=/dev/zero of=disk.img bs=1k count=1024 && mkfs.ext2 -q -F -m 0 disk.img && "
             "mkdir disk && mount -o loop disk.img disk")) {
    GTEST_SKIP() << "cannot mount an ext2 image on a loop device here (mkfs.ext2, mount -o loop)";
  }
  write_file(dir.file("disk/out.bvh"), old);
  ASSERT_TRUE(shell(dir.path,
                    "chmod 755 . disk && chmod 644 in.bvh && chmod 666 disk/out.bvh && "
                    "{ dd if=/dev/zero of=disk/filler bs=4k; true; }"));
  ToolOptions options;
  options.cwd = dir.path;
  options.user = options.group = kNobody;
  ToolRun run = run_tool({"in.bvh", "-o", "disk/out.bvh"}, options);
  std::string kept;
  bool read = read_file(dir.file("disk/out.bvh"), kept);
  std::vector<std::string> names = entries(dir.file("disk"));
  shell(dir.path, "umount disk");
  EXPECT_EQ(run.out, "Error: Cannot write output file disk/out.bvh");
  EXPECT_EQ(run.status, 255);
  EXPECT_TRUE(read && kept == old);
  EXPECT_EQ(names, (std::vector<std::string>{"filler", "lost+found", "out.bvh"}));
}

// Blocks are set aside ahead of the temporary file's writes of a large cut, and given back: a
// cut holds no block past its end, and a cut that fits the disk is made even where the blocks
// set aside ahead of it would not fit (ext4, which reserves, on a loop device).
TEST(Output, ReservationAhead) {
  if (!is_root()) GTEST_SKIP() << "needs root: mounts a file system image";
  ScratchDir dir;
  write_file(dir.file("in.bvh"), motion_file(2500000, 2500000));
  if (!shell(dir.path,
             "dd if=/dev/zero of=disk.img bs=1M count=64 && "
             "mkfs.ext4 -q -F -m 0 -b 4096 -O ^has_journal disk.img && mkdir disk && "
             "mount -o loop disk.img disk")) {
    GTEST_SKIP() << "cannot mount an ext4 image on a loop device here (mkfs.ext4, mount -o loop)";
  }
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun ample = run_tool({"in.bvh", "-o", "disk/ample.bvh"}, options);
  struct stat made {};
  bool stated = ::stat(dir.file("disk/ample.bvh").c_str(), &made) == 0;
  // Leaves room for the cut and a little more, less than the 8 MiB set aside ahead of its
  // writes, then cuts it again.
  std::string fill = "{ fallocate -l $(( $(stat -f -c '%a*%S' disk) - " +
                     std::to_string(made.st_size + (64 << 10)) + " )) disk/filler; }";
  bool filled = shell(dir.path, fill);
  ToolRun tight = run_tool({"in.bvh", "-o", "disk/tight.bvh"}, options);
  std::string first, second;
  bool read =
      read_file(dir.file("disk/ample.bvh"), first) && read_file(dir.file("disk/tight.bvh"), second);
  shell(dir.path, "umount disk");
  ASSERT_TRUE(stated && filled);
  EXPECT_EQ(ample.status, 0) << ample.out;
  EXPECT_LE(made.st_blocks * 512, (made.st_size + 4095) / 4096 * 4096);
  EXPECT_EQ(tight.status, 0) << tight.out;
  EXPECT_TRUE(read && first == second) << first.size() << " " << second.size();
  EXPECT_GE(first.size(), static_cast<std::size_t>(kReserveFrom));
}

// The temporary file's name does not grow with the output's, so every name a plain
// write takes works, new or existing: the longest file name, a path just short of PATH_MAX.
TEST(Output, LongNames) {
  ScratchDir dir;
  write_file(dir.file("in.bvh"), motion_file(3, 3));
  std::string deep = dir.path;
  const std::string part(200, 'd');
  while (deep.size() + 1 + part.size() + 1 + 40 < PATH_MAX - 30) {
    deep += "/" + part;
    ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
  }
  std::string longest = std::string(251, 'n') + ".bvh";
  std::string near_limit = deep + "/" + std::string(PATH_MAX - 20 - deep.size(), 'p');
  ASSERT_LT(near_limit.size(), static_cast<std::size_t>(PATH_MAX));
  for (const std::string& out : {longest, near_limit}) {
    for (bool existing : {false, true}) {
      SCOPED_TRACE(out.substr(out.size() - 8) + (existing ? ", existing" : ", new"));
      std::string path = out[0] == '/' ? out : dir.file(out);
      std::size_t slash = path.find_last_of('/');
      std::string folder = path.substr(0, slash);
      if (existing) write_file(path, kPrevious);
      std::vector<std::string> expected = entries(folder);
      if (!existing) expected.push_back(path.substr(slash + 1));
      std::sort(expected.begin(), expected.end());
      ToolOptions options;
      options.cwd = dir.path;
      ToolRun run = run_tool({"in.bvh", "-e", "0", "-o", out}, options);
      EXPECT_EQ(run.out, ok_console(out));
      std::string bytes;
      ASSERT_TRUE(read_file(path, bytes));
      EXPECT_EQ(bytes, cut());
      EXPECT_EQ(entries(folder), expected);
      ::unlink(path.c_str());
    }
  }
}

bool unnamed_temp_files_work(const std::string& folder) {
#ifdef O_TMPFILE
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
#else
  (void)folder;
  return false;
#endif
}

// A signal that ends a run in mid-motion leaves no file behind and the earlier
// output as it was; the program ends by that signal. The input is a named pipe that stalls
// after a hundred frames, so the signal always comes while the cut is being written. SIGKILL
// cannot be caught: only an unnamed temporary file leaves nothing then.
struct SignalCase {
  const char* name;
  int signal;
  bool previous;  // an earlier out.bvh is there
};

class SignalDuringARun : public testing::TestWithParam<SignalCase> {};

TEST_P(SignalDuringARun, LeavesNothingBehind) {
  const SignalCase& c = GetParam();
  ScratchDir dir;
  if (c.signal == SIGKILL && !unnamed_temp_files_work(dir.path)) {
    GTEST_SKIP() << "the scratch folder's file system has no unnamed temporary files (O_TMPFILE)";
  }
  ASSERT_EQ(::mkfifo(dir.file("in.pipe").c_str(), 0600), 0);
  if (c.previous) write_file(dir.file("out.bvh"), kPrevious);
  std::vector<std::string> before = entries(dir.path);
  ToolOptions options;
  options.cwd = dir.path;
  ToolProcess process = start_program({MOCSLICE_BINARY, "in.pipe"}, options);
  int pipe = open_pipe_writer(dir.file("in.pipe"));
  ASSERT_GE(pipe, 0);
  const std::string head = hierarchy() + "Frames: 1000\nFrame Time: 0.04\n" + frame_lines(0, 99);
  ASSERT_EQ(::write(pipe, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  const off_t written = static_cast<off_t>(hierarchy().size() + frame_lines(0, 99).size() +
                                           std::strlen("Frames: 1000\nFrame Time: 0.040000\n"));
  bool stalled = wait_for_output(process.pid, dir.path, written);
  ::kill(static_cast<pid_t>(process.pid), c.signal);
  ::close(pipe);
  ToolRun run = finish_program(process);
  ASSERT_TRUE(stalled);
  EXPECT_EQ(run.signal, c.signal);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(entries(dir.path), before);
  std::string kept;
  if (c.previous) {
    EXPECT_TRUE(read_file(dir.file("out.bvh"), kept) && kept == kPrevious);
  }
}

const SignalCase kSignalCases[] = {
    {"InterruptNew", SIGINT, false},  {"InterruptOverOld", SIGINT, true},
    {"TerminateNew", SIGTERM, false}, {"TerminateOverOld", SIGTERM, true},
    {"HangUpNew", SIGHUP, false},     {"HangUpOverOld", SIGHUP, true},
    {"QuitNew", SIGQUIT, false},      {"QuitOverOld", SIGQUIT, true},
    {"KillNew", SIGKILL, false},      {"KillOverOld", SIGKILL, true},
};

INSTANTIATE_TEST_SUITE_P(Output, SignalDuringARun, testing::ValuesIn(kSignalCases),
                         [](const testing::TestParamInfo<SignalCase>& row) {
                           return std::string(row.param.name);
                         });

// Where no unnamed temporary file can be had, a named one stands beside
// the output while the cut is written, and goes when the run is committed, discarded or
// ended by a signal. Asked for here in the program's own process, as no file system at hand
// lacks unnamed temporary files.
TEST(Output, NamedTemporaryFiles) {
  enum class End { Commit, Discard, Signal, IgnoredSignal };
  struct Case {
    const char* name;
    bool previous;
    End end;
    int signal = 0;
  };
  const Case cases[] = {
      {"new, committed", false, End::Commit},
      {"over an old one, committed", true, End::Commit},
      {"new, discarded", false, End::Discard},
      {"over an old one, discarded", true, End::Discard},
      {"new, ended by SIGTERM", false, End::Signal, SIGTERM},
      {"over an old one, ended by SIGINT", true, End::Signal, SIGINT},
      {"new, ended by SIGALRM", false, End::Signal, SIGALRM},
      {"over an old one, ended by SIGXCPU", true, End::Signal, SIGXCPU},
      {"new, ended by SIGVTALRM", false, End::Signal, SIGVTALRM},
      {"new, ended by SIGPROF", false, End::Signal, SIGPROF},
      {"new, ended by SIGUSR1", false, End::Signal, SIGUSR1},
      {"over an old one, ended by SIGUSR2", true, End::Signal, SIGUSR2},
      {"new, ended by SIGPIPE", false, End::Signal, SIGPIPE},
      {"new, ended by a real-time signal", false, End::Signal, SIGRTMIN},
      {"new, SIGUSR1 ignored by the caller", false, End::IgnoredSignal, SIGUSR1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.file("out.bvh");
    if (c.previous) write_file(path, kPrevious);
    std::vector<std::string> before = entries(dir.path);
    if (c.end == End::Signal || c.end == End::IgnoredSignal) {
      // An ignored signal changes nothing: the run goes on, its temporary file still there.
      EXPECT_EXIT(
          {
            OutputFile file;
            if (c.end == End::IgnoredSignal) std::signal(c.signal, SIG_IGN);
            if (create_output(path, file, TempForm::Named) && write_output(file, "cut\n", 4) &&
                entries(dir.path).size() == before.size() + 1) {
              std::raise(c.signal);
              bool going_on = entries(dir.path).size() == before.size() + 1;
              discard_output(file);
              std::_Exit(going_on ? 0 : 1);
            }
            std::_Exit(1);
          },
          [&](int status) {
            return c.end == End::Signal ? WIFSIGNALED(status) && WTERMSIG(status) == c.signal
                                        : WIFEXITED(status) && WEXITSTATUS(status) == 0;
          },
          "");
      EXPECT_EQ(entries(dir.path), before);
      continue;
    }
    OutputFile file;
    ASSERT_TRUE(create_output(path, file, TempForm::Named));
    ASSERT_TRUE(write_output(file, "cut\n", 4));
    std::vector<std::string> during = entries(dir.path);
    during.erase(std::remove(during.begin(), during.end(), "out.bvh"), during.end());
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].compare(0, 10, ".mocslice-"), 0) << during[0];
    std::string bytes;
    if (c.end == End::Commit) {
      EXPECT_TRUE(commit_output(file));
      EXPECT_EQ(entries(dir.path), std::vector<std::string>{"out.bvh"});
      EXPECT_TRUE(read_file(path, bytes) && bytes == "cut\n");
    } else {
      discard_output(file);
      EXPECT_EQ(entries(dir.path), before);
      EXPECT_EQ(read_file(path, bytes), c.previous);
      if (c.previous) {
        EXPECT_EQ(bytes, kPrevious);
      }
    }
  }
}

#else  // _WIN32

std::wstring wide(const std::string& text) {
  return std::filesystem::u8path(text).wstring();
}

struct FileState {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  DWORD links = 0;
  std::uint64_t index = 0;  // the file's identity on its volume
  std::wstring security;    // owner, group and permissions
  std::string bytes;
};

FileState state_of(const std::string& path) {
  FileState state;
  HANDLE handle = CreateFileW(wide(path).c_str(), READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return state;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info)) {
    state.attributes = info.dwFileAttributes;
    state.links = info.nNumberOfLinks;
    state.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  const SECURITY_INFORMATION kParts =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR security = nullptr;
  LPWSTR text = nullptr;
  if (!GetSecurityInfo(handle, SE_FILE_OBJECT, kParts, nullptr, nullptr, nullptr, nullptr,
                       &security) &&
      ConvertSecurityDescriptorToStringSecurityDescriptorW(security, 1, kParts, &text, nullptr)) {
    state.security = text;
  }
  LocalFree(text);
  LocalFree(security);
  CloseHandle(handle);
  read_file(path, state.bytes);
  return state;
}

// The names in `folder`, sorted, however long its path is.
std::vector<std::string> listing(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((L"\\\\?\\" + wide(folder) + L"\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(std::filesystem::path(name).u8string());
  }
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// Under Wine, a small file system of the host's (a tmpfs) mounted for the test: a full disk,
// another drive. Its name on the host and here; empty where it cannot be made.
struct HostDisk {
  std::string host = "/tmp/mocslice-disk-" + std::to_string(std::random_device()());
  std::string path = "Z:\\tmp\\" + host.substr(5);
  explicit HostDisk(const char* size) {
    if (host_shell("mkdir \"$1\" && mount -t tmpfs -o size=$2 tmpfs \"$1\"", {host, size})) {
      host.clear();
    }
  }
  ~HostDisk() {
    if (!host.empty()) host_shell("umount -l \"$1\" && rmdir \"$1\"", {host});
  }
};

// Through the hook of file_io.h: the calls of making and putting in place an output, counted,
// the one numbered `fail_at` failing with `fail_code`, and so every call named `always_failing`.
int calls_made = 0;
int fail_at = 0;
unsigned long fail_code = 0;
const char* always_failing = "";
std::string failed_call;
unsigned long fail_one(const char* call) {
  if (++calls_made == fail_at) failed_call = call;
  return calls_made == fail_at || std::strcmp(call, always_failing) == 0 ? fail_code : 0;
}

// Runs mocslice in.bvh -e 0 -o out.bvh in `folder` in this process, where the hook reaches.
ToolRun run_here(const std::string& folder) {
  std::string in = folder + "\\in.bvh", out = folder + "\\out.bvh";
  const char* args[] = {"mocslice", in.c_str(), "-e", "0", "-o", out.c_str()};
  ExtractJob job = default_job();
  parse_options(6, args, job);
  testing::internal::CaptureStdout();
  file_call_fault = fail_one;
  int result = extract_motion(job);
  file_call_fault = nullptr;
  std::fflush(stdout);
  ToolRun run;
  run.out = testing::internal::GetCapturedStdout();
  for (const std::string* path : {&in, &out}) {
    std::size_t at = run.out.find(*path);
    if (at != std::string::npos)
      run.out.replace(at, path->size(), path == &in ? "in.bvh" : "out.bvh");
  }
  run.status = result & 0xFF;
  return run;
}

// On Windows an existing file is replaced by a rename where that keeps all of it (security
// descriptor, attributes), and written into where it has other names, lies behind a link, or
// has what a rename would lose; one the caller may not write is refused before anything is
// written. The system decides what may be written: Wine run by root lets a read-only file be
// opened for writing, so it is refused exactly where the test's own open for writing is. On a
// full disk, at the length limit, with any call failing: the file is the cut or as it was,
// and nothing is left behind.
TEST(Output, WindowsExistingFiles) {
  enum class Setup {
    Hidden,
    HardLink,
    ReadOnly,
    HeldOpen,
    HeldSharingWrites,
    Private,
    PrivateForeignOwner,
    FullDisk,
    FullDiskTwoLinks,
    LinkToOtherDisk,
    Stream,
    AtLengthLimit,
    NewAtLengthLimit
  };
  struct Case {
    const char* name;
    Setup setup;
    bool same_file;     // written into the very file
    const char* error;  // how the run fails; nullptr: it does not, where the file may be written
  };
  const char kWriteError[] = "Error: Cannot write output file ";
  const Case cases[] = {
      {"a hidden file", Setup::Hidden, false, nullptr},
      {"one of two hard links", Setup::HardLink, true, nullptr},
      {"a read-only file", Setup::ReadOnly, true, nullptr},  // where writable: written into
      {"a file another program holds open without sharing", Setup::HeldOpen, false, nullptr},
      {"a file held open, shared but for its deletion", Setup::HeldSharingWrites, true, nullptr},
      {"a private file", Setup::Private, false, nullptr},
      {"a private file whose owner cannot be given", Setup::PrivateForeignOwner, true, nullptr},
      {"a full disk", Setup::FullDisk, false, kWriteError},
      {"a full disk, one of two hard links", Setup::FullDiskTwoLinks, false, kWriteError},
      {"a link to a file on another drive", Setup::LinkToOtherDisk, true, nullptr},
      {"a stream of the file", Setup::Stream, false, kCreateError},
      {"a name as long as a plain write takes", Setup::AtLengthLimit, false, nullptr},
      {"a new name as long as a plain write takes", Setup::NewAtLengthLimit, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir.file("in.bvh"), motion_file(3, 3));
    std::string folder = dir.path, out = dir.path + "\\out.bvh", out_arg = "out.bvh";
    std::vector<std::string> made;  // folders made for the case
    HANDLE held = INVALID_HANDLE_VALUE;
    HostDisk disk(c.setup == Setup::FullDisk ? "256k" : "1m");
    if ((c.setup == Setup::FullDisk || c.setup == Setup::FullDiskTwoLinks ||
         c.setup == Setup::LinkToOtherDisk) &&
        disk.host.empty()) {
      std::printf("skipped %s: no host file system to mount (Wine, as root)\n", c.name);
      continue;
    }
    if (c.error == kWriteError) {
      folder = disk.path;
      out_arg = out = disk.path + "\\out.bvh";
      // A cut the disk cannot hold, or can once but not twice.
      write_file(dir.file("in.bvh"), motion_file(90000, 90000));
    } else if (c.setup == Setup::AtLengthLimit || c.setup == Setup::NewAtLengthLimit) {
      // Folders as deep as a plain write still makes a name of 30 characters in, then one level
      // more: the longest name it makes there is the output's.
      auto fits = [&](std::size_t length) {
        HANDLE trial =
            CreateFileW(wide(folder + "\\" + std::string(length, 'n')).c_str(), GENERIC_WRITE, 0,
                        nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        return trial != INVALID_HANDLE_VALUE && CloseHandle(trial);
      };
      for (std::size_t step; made.size() < 100 && (step = fits(230) ? 200 : fits(30) ? 16 : 0);) {
        made.push_back(folder += "\\" + std::string(step, 'd'));
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + wide(folder)).c_str(), nullptr));
      }
      std::size_t length = 30;
      while (length > 0 && !fits(length))
        --length;
      out_arg = out = folder + "\\" + std::string(length, 'o');
    } else if (c.setup == Setup::Stream) {
      out_arg = "out.bvh:s";
    }
    if (c.setup != Setup::NewAtLengthLimit) write_file(out, kPrevious);
    PSECURITY_DESCRIPTOR narrow = nullptr;
    switch (c.setup) {
      case Setup::Hidden:
        ASSERT_TRUE(SetFileAttributesW(wide(out).c_str(), FILE_ATTRIBUTE_HIDDEN));
        break;
      case Setup::HardLink:
      case Setup::FullDiskTwoLinks:
        ASSERT_TRUE(
            CreateHardLinkW(wide(folder + "\\other.bvh").c_str(), wide(out).c_str(), nullptr));
        break;
      case Setup::ReadOnly:
        ASSERT_TRUE(SetFileAttributesW(wide(out).c_str(), FILE_ATTRIBUTE_READONLY));
        break;
      case Setup::HeldOpen:
      case Setup::HeldSharingWrites:
        held = CreateFileW(wide(out).c_str(), GENERIC_READ,
                           c.setup == Setup::HeldOpen ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        break;
      case Setup::Private:
      case Setup::PrivateForeignOwner: {  // readable by this user alone
        HANDLE token;
        char user[256];
        DWORD size = 0;
        LPWSTR sid = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                    GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid));
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            (L"D:P(A;;FA;;;SY)(A;;FA;;;" + std::wstring(sid) + L")").c_str(), 1, &narrow, nullptr));
        ASSERT_TRUE(SetFileSecurityW(wide(out).c_str(), DACL_SECURITY_INFORMATION, narrow));
        LocalFree(narrow);
        LocalFree(sid);
        CloseHandle(token);
        break;
      }
      case Setup::LinkToOtherDisk:
        write_file(disk.path + "\\target.bvh", kPrevious);
        ASSERT_EQ(
            host_shell("rm \"$2\" && ln -s \"$1/target.bvh\" \"$2\"", {disk.host, host_path(out)}),
            0);
        break;
      default:
        break;
    }
    FileState before = state_of(out);
    std::vector<std::string> names = listing(folder);
    HANDLE plain = CreateFileW(wide(out).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    const bool writable = plain != INVALID_HANDLE_VALUE || c.setup == Setup::NewAtLengthLimit;
    CloseHandle(plain);
    ToolRun run;
    if (c.setup == Setup::PrivateForeignOwner) {
      // Windows refuses another user as owner to a caller without the right to restore files;
      // Wine never does.
      fail_at = 0;
      fail_code = ERROR_INVALID_OWNER;
      always_failing = "give the file's security";
      run = run_here(dir.path);
      always_failing = "";
    } else {
      ToolOptions options;
      options.cwd = dir.path;
      std::vector<std::string> args = {"in.bvh", "-e", "0", "-o", out_arg};
      if (c.error == kWriteError) args.erase(args.begin() + 1, args.begin() + 3);  // all of it
      run = run_tool(args, options);
    }
    CloseHandle(held);
    FileState after = state_of(out);
    std::vector<std::string> left = listing(folder);
    SetFileAttributesW(wide(out).c_str(), FILE_ATTRIBUTE_NORMAL);
    for (DeleteFileW((L"\\\\?\\" + wide(out)).c_str()); !made.empty(); made.pop_back())
      RemoveDirectoryW((L"\\\\?\\" + wide(made.back())).c_str());

    if (c.setup == Setup::NewAtLengthLimit) {
      names.push_back(std::filesystem::u8path(out).filename().u8string());
    } else {
      EXPECT_EQ(after.attributes, before.attributes);
      EXPECT_EQ(after.links, before.links);
      EXPECT_EQ(after.security, before.security);
    }
    if (c.setup == Setup::LinkToOtherDisk) {
      EXPECT_EQ(host_shell("test -L \"$1\"", {host_path(out)}), 0);
    }
    if (!writable || c.error) {
      EXPECT_EQ(run.out, (c.error ? c.error : kCreateError) + out_arg);
      EXPECT_EQ(run.status, 255);
      EXPECT_EQ(after.bytes, kPrevious);
      EXPECT_EQ(left, names);
      continue;
    }
    EXPECT_EQ(run.out, ok_console(out_arg));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(after.bytes, cut());
    EXPECT_EQ(left, names);
    if (c.setup != Setup::NewAtLengthLimit) {
      EXPECT_EQ(after.index == before.index, c.same_file);
    }
    if (c.setup == Setup::HardLink) {
      EXPECT_EQ(state_of(folder + "\\other.bvh").bytes, cut());
    }
  }

  // Every call of making the output and putting it in place, failed in turn with each error a
  // scanner holding a file, a permission, a full disk or a system without the call gives: the
  // run puts the cut in place, or fails with the file as it was (only a failure amid the
  // overwriting of the old content leaves it part new), and leaves nothing behind, whether
  // there was no file, one, or one of two hard links.
  for (int links : {0, 1, 2}) {
    for (unsigned long code :
         {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_INVALID_PARAMETER}) {
      for (fail_at = 1;; ++fail_at) {
        ScratchDir dir;
        const std::string out = dir.path + "\\out.bvh";
        write_file(dir.file("in.bvh"), motion_file(3, 3));
        if (links > 0) write_file(out, kPrevious);
        if (links > 1)
          CreateHardLinkW(wide(dir.path + "\\other.bvh").c_str(), wide(out).c_str(), nullptr);
        FileState before = state_of(out);
        std::vector<std::string> names = entries(dir.path);
        calls_made = 0;
        fail_code = code;
        ToolRun run = run_here(dir.path);
        if (calls_made < fail_at) break;
        SCOPED_TRACE(std::to_string(links) + " links, " + failed_call + ": " +
                     std::to_string(code));
        FileState after = state_of(out);
        if (run.status == 0) {
          EXPECT_EQ(run.out, ok_console("out.bvh"));
          EXPECT_EQ(after.bytes, cut());
          if (links == 0) names = {"in.bvh", "out.bvh"};
        } else {
          EXPECT_TRUE(run.out == kCreateError + std::string("out.bvh") ||
                      run.out == kWriteError + std::string("out.bvh"))
              << run.out;
          if (failed_call.compare(0, 9, "overwrite") != 0) {
            EXPECT_EQ(after.bytes, before.bytes);
          }
        }
        EXPECT_EQ(entries(dir.path), names);
        if (links > 0) {
          EXPECT_EQ(after.security, before.security);
          EXPECT_EQ(after.links, before.links);
        }
      }
    }
  }
}

#endif  // _WIN32

}  // namespace
