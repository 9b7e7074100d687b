// Which way the output is written, decided from what the platform layer found out about
// its name. Nothing here calls the system: facts come in, a choice goes out, so the rules
// read in one place and can be checked without files.
#pragma once

#include <cstdint>
#include <string>

enum class OutputKind {
  Descriptor,  // a name for a descriptor this process already has open (/dev/stdout, /dev/fd/N)
  Special,     // an existing file that is not a regular file: a device, a pipe, a terminal
  Regular,     // an existing regular file
  Nothing,     // nothing behind the name yet
  Unusable,    // none of these: a folder, a name in a missing folder, a name that cannot be read
};

// What the platform layer probed. Fields after `temp_beside` are only looked at for an
// existing regular file.
struct OutputFacts {
  OutputKind kind = OutputKind::Unusable;
  bool writable = false;        // Descriptor: open for writing. Special, Regular: the system
                                // let it be opened for writing as a plain write would
  bool temp_beside = false;     // a temporary file could be made in the output's folder
  std::int64_t links = 1;       // the file's names (hard links)
  bool identity_kept = false;   // that temporary file took the file's owner, group, mode,
                                // extended attributes (ACL included) and flags
  bool rename_allowed = false;  // the folder lets the caller swap the file's name for another
  bool entry_is_file = false;   // the folder's entry of that name is the file itself, not a
                                // symbolic link that leads to it
  bool mounted = false;         // the file is mounted on a name (a bind mount), this or another
};

enum class OutputRule {
  Refuse,             // "Cannot create output file"; nothing is changed
  ThroughDescriptor,  // written through a duplicate of the descriptor, in its own mode
  InPlace,            // opened and written as it is, never removed
  CreateNew,          // written to a temporary file beside it, put in place when complete
  ReplaceByRename,    // the same, the temporary file carrying the old file's identity
  CopyInto,           // written to a temporary file, then copied into the existing file
};

// The rule for an output with these facts.
OutputRule choose_output_rule(const OutputFacts& facts);

// The name of a temporary file, ".mocslice-<16 hex digits>.tmp": short and of one form
// whatever the output is called, so it fits wherever the output's name fits. Different
// `unique` values give different names.
std::string temp_file_name(std::uint64_t unique);

// How far the blocks of a temporary file are set aside ahead of its writes, once bytes up to
// `end` are to be written: past `end` by as much as was written before, at least kReserveLeast
// and at most kReserveMost. Blocks set aside before they are written spare the file system
// its accounting on every write, and what is set aside but never used is small against the
// cut, and given back when the file is cut to its length.
const std::int64_t kReserveLeast = std::int64_t{8} << 20;
const std::int64_t kReserveMost = std::int64_t{64} << 20;
std::int64_t reservation_end(std::int64_t written, std::int64_t end);

// Whether blocks are set aside at all for a temporary file expected to grow to
// `expected_size` bytes (-1: unknown): not below kReserveFrom, where setting them aside and
// giving back what was not used costs more than the writes gain. (Written without, cuts of 1
// to 12 MiB took 0.94 to 1.00 of the time, cuts of 24 to 64 MiB 1.01 to 1.04; 41 to 101
// pairs.)
const std::int64_t kReserveFrom = std::int64_t{16} << 20;
bool reservation_pays(std::int64_t expected_size);
