// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "common/gbk.h"

#include <gtest/gtest.h>

namespace mivo {
namespace {

TEST(Gbk, ChineseTextRoundTripsThroughItsTwoByteForm) {
  const std::string text = "中国";
  const std::string gbk = ToGbk(text);
  EXPECT_EQ(gbk, "\xD6\xD0\xB9\xFA");
  EXPECT_EQ(FromGbk(gbk), text);
  EXPECT_EQ(GbkLength("a中b"), 4u);
}

TEST(Gbk, AsciiAndZeroBytesPassUnchanged) {
  const std::string bytes("a\0b", 3);
  EXPECT_EQ(ToGbk(bytes), bytes);
  EXPECT_EQ(FromGbk(bytes), bytes);
}

TEST(Gbk, InvalidInputIsReplacedNotLost) {
  // 0xFF is never a GBK byte; the text around it survives.
  EXPECT_EQ(FromGbk("a\xFF"
                    "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A character GBK lacks (an emoji) and a broken UTF-8 byte each become "?".
  EXPECT_EQ(ToGbk("x\xF0\x9F\x98\x80y"), "x?y");
  EXPECT_EQ(ToGbk("x\xC3y"), "x?y");
}

TEST(Gbk, LeadByteCutOffAtTheEndIsDropped) { EXPECT_EQ(FromGbk("ab\xD6"), "ab"); }

TEST(Gbk, LongInputIsConvertedWhole) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "中a";
  EXPECT_EQ(FromGbk(ToGbk(text)), text);
  EXPECT_EQ(ToGbk(text).size(), 15000u);
}

TEST(Utf8, LengthCountsCharactersNotBytes) {
  EXPECT_EQ(Utf8Length(""), 0u);
  EXPECT_EQ(Utf8Length("ab中"), 3u);
}

}  // namespace
}  // namespace mivo
