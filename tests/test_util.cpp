#include "tests/test_util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mocslice-test-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) std::abort();
  path = name.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool read_file(const std::string& path, std::string& bytes) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return false;
  std::ostringstream content;
  content << stream.rdbuf();
  bytes = content.str();
  return true;
}

bool file_exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

std::string hierarchy(const std::string& eol) {
  const char* lines[] = {"HIERARCHY",
                         "ROOT Hips",
                         "{",
                         "\tOFFSET 0.00 0.00 0.00",
                         "\tCHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation Yrotation",
                         "\tJOINT Chest",
                         "\t{",
                         "\t\tOFFSET 0.00 5.21 0.00",
                         "\t\tCHANNELS 3 Zrotation Xrotation Yrotation",
                         "\t\tEnd Site",
                         "\t\t{",
                         "\t\t\tOFFSET 0.00 4.00 0.00",
                         "\t\t}",
                         "\t}",
                         "}",
                         "MOTION"};
  std::string text;
  for (const char* line : lines)
    text += std::string(line) + eol;
  return text;
}

std::string frame_lines(int first, int last, const std::string& eol) {
  std::string text;
  for (int i = first; i <= last; ++i)
    text += "A" + std::to_string(i) + eol;
  return text;
}

std::string motion_file(int declared, int frames, const std::string& eol) {
  return hierarchy(eol) + "Frames: " + std::to_string(declared) + eol + "Frame Time: 0.04" + eol +
         frame_lines(0, frames - 1, eol);
}

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
  ToolRun run;
  std::vector<std::string> words;
  words.push_back(MOCSLICE_BINARY);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(&word[0]);
  argv.push_back(nullptr);

  // Standard output goes through a pipe, as when a script reads it.
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return run;
  pid_t pid = ::fork();
  if (pid < 0) return run;
  if (pid == 0) {
    ::close(pipe_fds[0]);
    if (::dup2(pipe_fds[1], 1) < 0) ::_exit(127);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(127);
    if (options.file_size_limit >= 0) {
      // Past the limit a write fails with EFBIG instead of killing the process.
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.file_size_limit);
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    run.out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_fds[0]);
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1000;
  return run;
}
