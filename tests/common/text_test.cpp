// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "common/text.h"

#include <gtest/gtest.h>

namespace mivo {
namespace {

using Pieces = std::vector<std::string_view>;

TEST(Split, KeepsEmptyPiecesAndGivesNoneForEmptyText) {
  EXPECT_EQ(Split("a+b", "+"), (Pieces{"a", "b"}));
  EXPECT_EQ(Split("+a++", "+"), (Pieces{"", "a", "", ""}));
  EXPECT_EQ(Split("abc", "+"), (Pieces{"abc"}));
  EXPECT_TRUE(Split("", "+").empty());
}

TEST(Split, CutsLongSeparatorsWithoutOverlap) {
  EXPECT_EQ(Split("xaaay", "aa"), (Pieces{"x", "ay"}));
  EXPECT_EQ(Split("</td><td></td><td>", "</td><td>"), (Pieces{"", "", ""}));
}

TEST(Utf8From, CountsCharacters) {
  EXPECT_EQ(Utf8From("中国abc", 1), "国abc");
  EXPECT_EQ(Utf8From("abc", 3), "");
  EXPECT_EQ(Utf8From("abc", 8), "");
}

TEST(TrimSpaces, OnlySpacesAtTheEnds) {
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("   "), "");
  EXPECT_EQ(TrimSpaces("\ta\t"), "\ta\t");
}

}  // namespace
}  // namespace mivo
