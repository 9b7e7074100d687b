// What the fuzz targets share: the program's console captured in a file, a scratch folder
// for the files of a run, and a loud end to a run that broke an invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Sends standard output to an unnamed temporary file for the rest of the process, so the
// targets can read what the code under test printed. False when that cannot be set up.
bool capture_console();

// Forgets what was printed so far.
void clear_console();

// What was printed since the last clear_console().
std::string console_text();

// A fresh folder, removed with the files named by scratch_file() when the process exits.
// Empty when it cannot be made.
std::string scratch_folder();
std::string scratch_file(const std::string& name);

// The names in the scratch folder, sorted.
std::vector<std::string> scratch_entries();

bool write_bytes(const std::string& path, const std::string& bytes);

// Little-endian fields of a fuzz input.
std::int32_t int32_at(const std::uint8_t* data);
float float_at(const std::uint8_t* data);

// Prints what broke and ends the process the way a sanitizer finding does, so that both
// libFuzzer and the replay programs report the input.
[[noreturn]] void invariant_broken(const std::string& what);
