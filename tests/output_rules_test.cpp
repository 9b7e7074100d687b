// Which way an output is written, from the facts the platform layer gives: the rules in
// the order they are tried, without any file.
#include "files/output_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(OutputRules, ChoiceFromFacts) {
  using K = OutputKind;
  using R = OutputRule;
  struct Case {
    const char* name;
    OutputFacts facts;  // kind, writable, temp_beside, links, identity_kept, rename_allowed,
                        // entry_is_file, mounted
    OutputRule rule;
  };
  const Case cases[] = {
      {"descriptor open for writing",
       {K::Descriptor, true, false, 1, false, false},
       R::ThroughDescriptor},
      {"descriptor open for reading only", {K::Descriptor, false, true, 1, true, true}, R::Refuse},
      {"device, pipe or terminal", {K::Special, true, false, 1, false, false}, R::InPlace},
      {"pipe the system refuses to a plain write",
       {K::Special, false, false, 1, false, false},
       R::Refuse},
      {"file the caller may not write", {K::Regular, false, true, 1, true, true}, R::Refuse},
      {"file a rename keeps whole",
       {K::Regular, true, true, 1, true, true, true},
       R::ReplaceByRename},
      {"file reached through a symbolic link",
       {K::Regular, true, true, 1, true, true, false},
       R::CopyInto},
      {"file with two links", {K::Regular, true, true, 2, true, true, true}, R::CopyInto},
      {"file mounted on a name", {K::Regular, true, true, 1, true, true, true, true}, R::CopyInto},
      {"file whose owner or attributes cannot be given",
       {K::Regular, true, true, 1, false, true, true},
       R::CopyInto},
      {"file in a folder that forbids the rename",
       {K::Regular, true, true, 1, true, false, true},
       R::CopyInto},
      {"file in a folder where nothing can be made",
       {K::Regular, true, false, 1, false, false},
       R::CopyInto},
      {"new name", {K::Nothing, false, true, 1, false, false}, R::CreateNew},
      {"new name in a folder where nothing can be made",
       {K::Nothing, false, false, 1, false, false},
       R::Refuse},
      {"folder, or a name in a missing folder",
       {K::Unusable, false, false, 1, false, false},
       R::Refuse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(choose_output_rule(c.facts), c.rule);
  }
}

// Blocks are set aside for a cut of unknown size or a large one, not for a small one.
TEST(OutputRules, ReservationForLargeCutsOnly) {
  const std::int64_t sizes[] = {-1, 0, 1 << 20, kReserveFrom - 1, kReserveFrom, 1ll << 40};
  const bool pays[] = {true, false, false, false, true, true};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(reservation_pays(sizes[i]), pays[i]) << sizes[i];
}

// One short form, whatever the count: distinct counts give distinct names.
TEST(OutputRules, TemporaryNames) {
  std::set<std::string> names;
  for (std::uint64_t unique = 0; unique < 1000; ++unique) {
    std::string name = temp_file_name(unique);
    ASSERT_EQ(name.size(), 30u) << name;
    EXPECT_EQ(name.compare(0, 10, ".mocslice-"), 0) << name;
    EXPECT_EQ(name.compare(26, 4, ".tmp"), 0) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 10), 26u) << name;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 1000u);
}

}  // namespace
