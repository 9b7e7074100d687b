#include "tests/test_util.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

std::string host_path(const std::string& path) {
  // Wine's own call, absent on Windows itself.
  FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  auto* unix_name =
      reinterpret_cast<char* (*)(const wchar_t*)>(reinterpret_cast<void (*)()>(found));
  char* name = unix_name ? unix_name(widen(path).c_str()) : nullptr;
  std::string host = name ? name : "";
  HeapFree(GetProcessHeap(), 0, name);
  return host;
}

int host_shell(const std::string& script, const std::vector<std::string>& args) {
  // Wine starts a host program without a process to wait for: it reports its status in a file.
  std::string done =
      (fs::temp_directory_path() / ("mocslice-host-" + std::to_string(std::random_device()())))
          .u8string();
  std::string done_on_host = host_path(done);
  if (done_on_host.empty()) return -1;
  std::wstring command_line =
      L"sh -c " +
      quote_argument(
          widen("(" + script + "\n); s=$?; echo $s > \"$0.part\"; " + "mv \"$0.part\" \"$0\"")) +
      L" " + quote_argument(widen(done_on_host));
  for (const std::string& arg : args)
    command_line += L" " + quote_argument(widen(arg));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(L"Z:\\bin\\sh", &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return -1;
  }
  if (process.hThread) CloseHandle(process.hThread);
  if (process.hProcess) CloseHandle(process.hProcess);
  std::string status;
  for (int waited = 0; waited < 60000 && !read_file(done, status); waited += 10)
    Sleep(10);
  std::error_code ignored;
  fs::remove(fs::u8path(done), ignored);
  return status.empty() ? -1 : std::atoi(status.c_str());
}

#else

ToolProcess start_program(const std::vector<std::string>& argv, const ToolOptions& options) {
  ToolProcess process;
  std::vector<std::string> words = argv;
  std::vector<char*> pointers;
  for (std::string& word : words)
    pointers.push_back(&word[0]);
  pointers.push_back(nullptr);

  // Standard output goes through a pipe, as when a script reads it.
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return process;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return process;
  }
  if (pid == 0) {
    ::close(pipe_fds[0]);
    if (::dup2(pipe_fds[1], 1) < 0) ::_exit(127);
    ::close(pipe_fds[1]);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(127);
    // A program ended by SIGQUIT leaves no core file among the files a test looks at.
    struct rlimit no_core = {0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    if (options.file_size_limit >= 0) {
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.file_size_limit);
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
    }
    if (options.user >= 0) {
      gid_t group = static_cast<gid_t>(options.group);
      uid_t user = static_cast<uid_t>(options.user);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
          ::setresuid(user, user, user) != 0) {
        ::_exit(127);
      }
    }
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  process.pid = pid;
  process.output = pipe_fds[0];
  return process;
}

ToolRun finish_program(ToolProcess& process) {
  ToolRun run;
  if (process.pid < 0) return run;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(process.output, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    run.out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(process.output);
  int wait_status = 0;
  while (::waitpid(static_cast<pid_t>(process.pid), &wait_status, 0) < 0 && errno == EINTR) {
  }
  process = ToolProcess();
  if (WIFEXITED(wait_status)) {
    run.status = WEXITSTATUS(wait_status);
    run.exit_code = run.status;
  } else {
    run.status = 1000;
    if (WIFSIGNALED(wait_status)) run.signal = WTERMSIG(wait_status);
  }
  return run;
}

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
  std::vector<std::string> argv = {MOCSLICE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  ToolProcess process = start_program(argv, options);
  return finish_program(process);
}

ToolRun run_shell(const std::string& script, const ToolOptions& options) {
  ToolProcess process = start_program({"/bin/sh", "-c", script, "sh", MOCSLICE_BINARY}, options);
  return finish_program(process);
}

#endif
