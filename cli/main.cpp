// mocslice: cuts a range of frames out of a BVH motion file.
#include "cli/options.h"
#include "motion/extract.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>
#endif

namespace {

int run(int argc, const char* const* argv) {
  ExtractJob job = default_job();
  if (argc <= 1) {
    print_usage();
    return 0;
  }
  if (!parse_options(argc, argv, job)) return -1;
  return extract_motion(job);
}

}  // namespace

#ifdef _WIN32

#ifdef __MINGW32__
// Asks the MinGW start-up to expand wildcards in the arguments, as a POSIX shell would
// (MSVC builds link wsetargv.obj for the same).
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

std::string to_utf8(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], size, nullptr, nullptr);
  utf8.pop_back();  // the terminating NUL
  return utf8;
}

}  // namespace

// The wide-character entry receives every file name whatever the code page, and passes
// it on as UTF-8, which the file calls widen again.
int wmain(int argc, wchar_t** wide_argv) {
  // Console output is the same bytes as on every other platform: "\n" stays "\n".
  _setmode(_fileno(stdout), _O_BINARY);
  // A console shows the UTF-8 of file names as such; its code page is restored at the end.
  DWORD console_mode = 0;
  UINT console_code_page = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &console_mode) &&
      GetConsoleOutputCP() != CP_UTF8) {
    console_code_page = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
  }

  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i)
    arguments.push_back(to_utf8(wide_argv[i]));
  std::vector<const char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  int status = run(argc, argv.data());

  std::fflush(stdout);
  if (console_code_page != 0) SetConsoleOutputCP(console_code_page);
  return status;
}

#else

int main(int argc, char** argv) {
  return run(argc, argv);
}

#endif
