// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "harvester/ini_text.h"

#include <gtest/gtest.h>

namespace mivo {
namespace {

struct IniCase {
  const char* name;
  const char* before;
  const char* after;  // with k set to v in [G]
};

void PrintTo(const IniCase& c, std::ostream* os) { *os << c.name; }

class SetIni : public ::testing::TestWithParam<IniCase> {};

TEST_P(SetIni, ChangesOnlyTheEntry) { EXPECT_EQ(SetIniValue(GetParam().before, "G", "k", "v"), GetParam().after); }

INSTANTIATE_TEST_SUITE_P(
    Texts, SetIni,
    ::testing::Values(IniCase{"Empty", "", "[G]\nk=v\n"}, IniCase{"Replaced", "[G]\nk=old\n", "[G]\nk=v\n"},
                      IniCase{"SpacesAroundTheKey", "[G]\n  k = old\n", "[G]\nk=v\n"},
                      IniCase{"AddedAfterTheGroupsLastEntry", "[G]\na=1\n\n[H]\nk=x\n", "[G]\na=1\nk=v\n\n[H]\nk=x\n"},
                      IniCase{"GroupAddedAtTheEnd", "[H]\nk=x", "[H]\nk=x\n\n[G]\nk=v\n"},
                      IniCase{"CommentsStay", "# top\n[G]\n;c\nk=old\n# end\n", "# top\n[G]\n;c\nk=v\n# end\n"},
                      IniCase{"LongerKeyIsAnother", "[G]\nkx=1\nk2=2\n", "[G]\nkx=1\nk2=2\nk=v\n"},
                      IniCase{"EveryDuplicateSet", "[G]\nk=1\nk=2\n", "[G]\nk=v\nk=v\n"},
                      IniCase{"GroupFlagsAreNotTheName", "[G][$i]\nk=old\n", "[G][$i]\nk=v\n"},
                      IniCase{"GroupNamePrefixIsAnother", "[GG]\nk=x\n", "[GG]\nk=x\n\n[G]\nk=v\n"},
                      IniCase{"EntriesBeforeAnyGroupStay", "k=top\n[G]\n", "k=top\n[G]\nk=v\n"}),
    [](const ::testing::TestParamInfo<IniCase>& info) { return std::string(info.param.name); });

TEST(EscapeIniValue, KeepsValuesWholeForKdesReader) {
  EXPECT_EQ(EscapeIniValue("http://127.0.0.2:80"), "http://127.0.0.2:80");
  EXPECT_EQ(EscapeIniValue("a b"), "a b");
  EXPECT_EQ(EscapeIniValue(" a "), "\\sa\\s");
  EXPECT_EQ(EscapeIniValue("a\\b\nc\td\r"), "a\\\\b\\nc\\td\\r");
  EXPECT_EQ(EscapeIniValue(""), "");
}

}  // namespace
}  // namespace mivo
