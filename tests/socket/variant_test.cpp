// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "socket/variant.h"

#include <gtest/gtest.h>

#include "socket/byte_queue.h"

namespace mivo {
namespace {

struct WireCase {
  const char* name;
  Variant value;
  Bytes wire;
};

class WireBytes : public ::testing::TestWithParam<WireCase> {};

TEST_P(WireBytes, ValueBecomesExactlyTheseBytes) { EXPECT_EQ(ToWireBytes(GetParam().value), GetParam().wire); }

const WireCase kWireCases[] = {

    WireCase{"int16", std::int16_t{-2}, {0xFE, 0xFF}},
    WireCase{"int32", 1, {0x01, 0x00, 0x00, 0x00}},
    WireCase{"int32neg", -559038737, {0xEF, 0xBE, 0xAD, 0xDE}},
    WireCase{"float", 1.5f, {0x00, 0x00, 0xC0, 0x3F}},
    WireCase{"double", 1.0, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
    // 1234.5678 counted in ten-thousandths: 12345678 = 0x00BC614E.
    WireCase{"currency", Variant::Currency{12345678}, {0x4E, 0x61, 0xBC, 0x00, 0, 0, 0, 0}},
    // 2.5 days after 1899-12-30 (noon on 1900-01-01) as a double.
    WireCase{"date", Variant::Date{2.5}, {0, 0, 0, 0, 0, 0, 0x04, 0x40}},
    WireCase{"true", true, {0xFF, 0xFF}},
    WireCase{"false", false, {0x00, 0x00}},
    WireCase{"byte", std::uint8_t{0x5A}, {0x5A}},
    WireCase{"text", "abc", {0x61, 0x62, 0x63}},
    // GBK: 中 = D6 D0, 文 = CE C4; no terminator, no length.
    WireCase{"chinese", "中文", {0xD6, 0xD0, 0xCE, 0xC4}},
    WireCase{"bytes", Bytes{0x05, 0x00, 0x01, 0x00, 0xFF}, {0x05, 0x00, 0x01, 0x00, 0xFF}},
    WireCase{"emptytext", "", {}},
    WireCase{"emptybytes", Bytes{}, {}},
    WireCase{"empty", Variant(), {}},
    WireCase{"null", Variant::Null(), {}},
};

std::string CaseName(const ::testing::TestParamInfo<WireCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(EveryType, WireBytes, ::testing::ValuesIn(kWireCases), CaseName);

std::vector<WireCase> FixedSizeCases() {
  std::vector<WireCase> out;
  for (const WireCase& c : kWireCases)
    if (FixedSizeOf(c.value.Type()) != 0) out.push_back(c);
  return out;
}

class FixedWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(FixedWire, BytesReadBackAsTheSameValue) {
  const WireCase& c = GetParam();
  ASSERT_EQ(FixedSizeOf(c.value.Type()), c.wire.size());
  EXPECT_EQ(FixedFromWire(c.value.Type(), c.wire.data()), c.value);
}

INSTANTIATE_TEST_SUITE_P(FixedSizeTypes, FixedWire, ::testing::ValuesIn(FixedSizeCases()), CaseName);

TEST(Variant, TypeNumbers) {
  EXPECT_EQ(Variant().Type(), vtEmpty);
  EXPECT_EQ(Variant::Null().Type(), vtNull);
  EXPECT_EQ(Variant(std::int16_t{1}).Type(), 2);
  EXPECT_EQ(Variant(1).Type(), 3);
  EXPECT_EQ(Variant(1.0f).Type(), 4);
  EXPECT_EQ(Variant(1.0).Type(), 5);
  EXPECT_EQ(Variant(Variant::Currency{1}).Type(), 6);
  EXPECT_EQ(Variant(Variant::Date{1}).Type(), 7);
  EXPECT_EQ(Variant("x").Type(), 8);
  EXPECT_EQ(Variant(std::string("x")).Type(), 8);
  EXPECT_EQ(Variant(true).Type(), 11);
  EXPECT_EQ(Variant(std::uint8_t{1}).Type(), 17);
  EXPECT_EQ(Variant(Bytes{}).Type(), 8209);
  // Wider integers keep their value.
  EXPECT_EQ(Variant(70000L).Type(), vtInt32);
  EXPECT_EQ(Variant(5000000000LL).Type(), vtDouble);
  EXPECT_EQ(*Variant(5000000000LL).Number(), 5000000000.0);
}

TEST(Variant, NumbersAndText) {
  EXPECT_EQ(Variant(" 8080 ").Number(), 8080.0);
  EXPECT_FALSE(Variant("80a").IsNumeric());
  EXPECT_FALSE(Variant("").IsNumeric());
  EXPECT_FALSE(Variant(Bytes{1}).IsNumeric());
  EXPECT_EQ(Variant(true).Number(), -1.0);
  EXPECT_EQ(Variant(Variant::Currency{15000}).Number(), 1.5);
  EXPECT_EQ(Variant(3128).AsText(), "3128");
  EXPECT_EQ(Variant(std::int16_t{-5}).AsText(), "-5");
  EXPECT_EQ(Variant(0.25).AsText(), "0.25");
  EXPECT_EQ(Variant(Bytes{0xD6, 0xD0}).AsText(), "中");
  EXPECT_EQ(Variant().AsText(), "");
}

TEST(ByteQueue, TakesInOrderAcrossChunks) {
  ByteQueue q;
  q.Append(Bytes{1, 2, 3});
  const std::uint8_t more[] = {4, 5};
  q.Append(more, 2);
  q.Append(Bytes{});
  q.Append(Bytes{6, 7, 8, 9});
  EXPECT_EQ(q.size(), 9u);
  std::uint8_t peek[4] = {};
  EXPECT_EQ(q.Peek(peek, 4), 4u);
  EXPECT_EQ(Bytes(peek, peek + 4), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(q.size(), 9u);
  EXPECT_EQ(q.Take(2), (Bytes{1, 2}));
  std::size_t run = 0;
  const std::uint8_t* p = q.FrontRun(run);
  ASSERT_EQ(run, 1u);
  EXPECT_EQ(p[0], 3);
  EXPECT_EQ(q.Take(4), (Bytes{3, 4, 5, 6}));
  q.Drop(1);
  EXPECT_EQ(q.Take(100), (Bytes{8, 9}));
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.FrontRun(run), nullptr);
  EXPECT_EQ(run, 0u);
}

TEST(ByteQueue, LongRunOfSmallChunksStaysInOrder) {
  ByteQueue q;
  std::uint8_t next = 0, expect = 0;
  for (int round = 0; round < 2000; ++round) {
    for (int i = 0; i < 3; ++i) {
      const std::uint8_t b[2] = {next, static_cast<std::uint8_t>(next + 1)};
      next = static_cast<std::uint8_t>(next + 2);
      q.Append(b, 2);
    }
    const Bytes got = q.Take(5);
    for (std::uint8_t b : got) ASSERT_EQ(b, expect++);
  }
  EXPECT_EQ(q.size(), 2000u);
  const Bytes rest = q.Take(q.size());
  for (std::uint8_t b : rest) ASSERT_EQ(b, expect++);
  EXPECT_EQ(expect, next);
}

TEST(ByteQueue, ClearEmpties) {
  ByteQueue q;
  q.Append(Bytes(100, 1));
  q.Take(10);
  q.Clear();
  EXPECT_EQ(q.size(), 0u);
  q.Append(Bytes{7});
  EXPECT_EQ(q.Take(1), Bytes{7});
}

}  // namespace
}  // namespace mivo
