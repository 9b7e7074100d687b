#include "fuzz/fuzz_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int console_fd = -1;
std::string folder;
std::vector<std::string> scratch_names;

void remove_scratch() {
  for (const std::string& name : scratch_names)
    ::unlink((folder + "/" + name).c_str());
  ::rmdir(folder.c_str());
}

}  // namespace

bool capture_console() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mocslice-fuzz-console-XXXXXX";
  int fd = ::mkstemp(&pattern[0]);
  if (fd < 0) return false;
  ::unlink(pattern.c_str());
  // Appending, so that emptying the file is all a new run needs.
  if (::fcntl(fd, F_SETFL, O_APPEND) != 0 || ::dup2(fd, 1) < 0) return false;
  console_fd = fd;
  return true;
}

void clear_console() {
  std::fflush(stdout);
  if (::ftruncate(console_fd, 0) != 0) invariant_broken("cannot empty the console file");
}

std::string console_text() {
  std::fflush(stdout);
  struct stat info;
  if (::fstat(console_fd, &info) != 0) invariant_broken("cannot read the console file");
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  ssize_t got = ::pread(console_fd, &text[0], text.size(), 0);
  if (got != static_cast<ssize_t>(text.size())) invariant_broken("cannot read the console file");
  return text;
}

std::string scratch_folder() {
  if (!folder.empty()) return folder;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mocslice-fuzz-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) return "";
  folder = pattern;
  std::atexit(remove_scratch);
  return folder;
}

std::string scratch_file(const std::string& name) {
  if (std::find(scratch_names.begin(), scratch_names.end(), name) == scratch_names.end()) {
    scratch_names.push_back(name);
  }
  return scratch_folder() + "/" + name;
}

std::vector<std::string> scratch_entries() {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) invariant_broken("cannot list the scratch folder");
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool write_bytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

std::int32_t int32_at(const std::uint8_t* data) {
  std::uint32_t bits = std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 |
                       std::uint32_t{data[2]} << 16 | std::uint32_t{data[3]} << 24;
  std::int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

float float_at(const std::uint8_t* data) {
  std::int32_t bits = int32_at(data);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void invariant_broken(const std::string& what) {
  std::fprintf(stderr, "\n==== invariant broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}
