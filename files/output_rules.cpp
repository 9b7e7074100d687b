#include "files/output_rules.h"

#include <cstdio>

OutputRule choose_output_rule(const OutputFacts& facts) {
  switch (facts.kind) {
    case OutputKind::Descriptor:
      // 1. A descriptor this process has open: written through it, never reopened, so an
      // appending descriptor keeps appending and a shared offset stays shared.
      return facts.writable ? OutputRule::ThroughDescriptor : OutputRule::Refuse;
    case OutputKind::Special:
      // 2. A device, a pipe or a terminal: written in place, never removed.
      return facts.writable ? OutputRule::InPlace : OutputRule::Refuse;
    case OutputKind::Regular:
      // 3. An existing file: only when the caller may write it, as a plain open for writing
      // would decide. Renamed over only when that loses nothing; otherwise the complete cut
      // is copied into the same file, which keeps its links, owner and attributes. A name that
      // is a link keeps leading where it led: the file behind it is written. So is a mounted
      // file, so that every name it is seen by shows the cut.
      if (!facts.writable) return OutputRule::Refuse;
      if (facts.temp_beside && facts.links == 1 && facts.identity_kept && facts.rename_allowed &&
          facts.entry_is_file && !facts.mounted) {
        return OutputRule::ReplaceByRename;
      }
      return OutputRule::CopyInto;
    case OutputKind::Nothing:
      // 4. A new name: made beside it, so that it appears only when complete.
      return facts.temp_beside ? OutputRule::CreateNew : OutputRule::Refuse;
    case OutputKind::Unusable:
      break;
  }
  return OutputRule::Refuse;
}

std::string temp_file_name(std::uint64_t unique) {
  // Mixed (the splitmix64 finaliser), so that names made one after another look unrelated.
  std::uint64_t z = unique * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  char name[32];
  std::snprintf(name, sizeof name, ".mocslice-%016llx.tmp", static_cast<unsigned long long>(z));
  return name;
}

bool reservation_pays(std::int64_t expected_size) {
  return expected_size < 0 || expected_size >= kReserveFrom;
}

std::int64_t reservation_end(std::int64_t written, std::int64_t end) {
  std::int64_t ahead = written < kReserveLeast  ? kReserveLeast
                       : written > kReserveMost ? kReserveMost
                                                : written;
  return end + ahead;
}
