#include "tests/test_util.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

#ifdef _WIN32
namespace {
// The program writes standard output in binary mode (cli/main.cpp). The tests that run the
// extraction in this process capture this process's standard output: the same mode here.
[[maybe_unused]] const int kBinaryStdout = _setmode(_fileno(stdout), _O_BINARY);
}  // namespace
#endif

ScratchDir::ScratchDir() {
  fs::path base = fs::temp_directory_path();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("mocslice-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path = candidate.u8string();
      return;
    }
  }
  std::abort();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(fs::u8path(path), ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream stream(fs::u8path(path), std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool read_file(const std::string& path, std::string& bytes) {
  std::ifstream stream(fs::u8path(path), std::ios::binary);
  if (!stream) return false;
  std::ostringstream content;
  content << stream.rdbuf();
  bytes = content.str();
  return true;
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::u8path(folder))) {
    names.push_back(entry.path().filename().u8string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool file_exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(fs::u8path(path), ignored));
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

// `argument` as the C runtime's parser of the command line gives it back: within quotes,
// backslashes are literal except before a double quote, where each pair stands for one
// backslash and a single one escapes the quote.
std::wstring quote_argument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted += L'"';
  return quoted;
}

}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
  ToolRun run;
  if (options.file_size_limit >= 0) return run;  // no such limit on Windows

  // The path the build gives may be a Linux path under Wine: made absolute on the current
  // drive, it is a Windows path.
  std::wstring given = widen(MOCSLICE_BINARY);
  std::wstring program(GetFullPathNameW(given.c_str(), 0, nullptr, nullptr), L'\0');
  DWORD length =
      GetFullPathNameW(given.c_str(), static_cast<DWORD>(program.size()), &program[0], nullptr);
  if (length == 0 || length >= program.size()) return run;
  program.resize(length);
  std::wstring command_line = quote_argument(program);
  for (const std::string& arg : args)
    command_line += L" " + quote_argument(widen(arg));

  // Standard output goes through a pipe, as when a script reads it.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return run;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  PROCESS_INFORMATION process = {};
  std::wstring cwd = widen(options.cwd);
  BOOL started = CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0,
                                nullptr, cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
  CloseHandle(write_end);
  if (started) {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0)
      run.out.append(buffer, got);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) {
      run.exit_code = code;
      run.status = static_cast<int>(code & 0xFF);  // what a POSIX shell shows
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(read_end);
  return run;
}

#else

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
  if (WIFEXITED(wait_status)) {
    run.status = WEXITSTATUS(wait_status);
    run.exit_code = run.status;
  } else {
    run.status = 1000;
  }
  return run;
}

#endif
