// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ping/sockets_check.h"

#include <gtest/gtest.h>

#include "common/presenter.h"
#include "socket/faulty_sockets_layer.h"

namespace mivo {
namespace {

TEST(CheckSocketsLayer, Version11WithSocketsPassesSilently) {
  RecordingPresenter shown;
  FaultySocketsLayer layer;
  EXPECT_TRUE(CheckSocketsLayer());
  EXPECT_TRUE(shown.shown.empty());
  EXPECT_TRUE(ReleaseSocketsLayer());
  EXPECT_TRUE(shown.shown.empty());
}

TEST(CheckSocketsLayer, FailedStartUpSaysTheLayerIsNotResponding) {
  RecordingPresenter shown;
  FaultySocketsLayer layer;
  layer.ScriptStartup(10091, 0x0101, 100);
  EXPECT_FALSE(CheckSocketsLayer());
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, "Windows Sockets for 32 bit Windows environments is not successfully responding.");
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::None);
  EXPECT_EQ(shown.shown[0].title, kAppTitle);
}

struct VersionCase {
  std::uint16_t word;
  bool passes;
  const char* shownVersion;
};

class VersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionTest, LowByteIsMajorHighByteMinor) {
  RecordingPresenter shown;
  FaultySocketsLayer layer;
  layer.ScriptStartup(0, GetParam().word, 100);
  EXPECT_EQ(CheckSocketsLayer(), GetParam().passes);
  if (GetParam().passes) {
    EXPECT_TRUE(shown.shown.empty());
    return;
  }
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, std::string("Windows Sockets Version ") + GetParam().shownVersion +
                                     " is not supported by Windows Sockets for 32 bit Windows environments.");
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::Exclamation);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionTest,
                         ::testing::Values(VersionCase{0x0001, false, "1.0"}, VersionCase{0x0101, true, ""},
                                           VersionCase{0x0202, true, ""}, VersionCase{0x0100, false, "0.1"},
                                           VersionCase{0x0002, true, ""}));

TEST(CheckSocketsLayer, NoSocketsAsksForAtLeastOne) {
  RecordingPresenter shown;
  FaultySocketsLayer layer;
  layer.ScriptStartup(0, 0x0101, 0);
  EXPECT_FALSE(CheckSocketsLayer());
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, "This application requires a minimum of 1 supported sockets.");
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::Exclamation);
}

TEST(ReleaseSocketsLayer, CleanUpWithoutStartUpReportsItsResult) {
  RecordingPresenter shown;
  FaultySocketsLayer layer;
  EXPECT_FALSE(ReleaseSocketsLayer());
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, "Windows Sockets error -1 occurred in Cleanup.");
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::Exclamation);
}

}  // namespace
}  // namespace mivo
