// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ping/mod_ping.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>

#include "common/presenter.h"
#include "ping/icmp_sender.h"
#include "socket/faulty_sockets_layer.h"
#include "tests/support/netns.h"

namespace mivo {
namespace {

std::array<std::uint8_t, 4> BytesOf(std::uint32_t v) {
  std::array<std::uint8_t, 4> b{};
  std::memcpy(b.data(), &v, 4);
  return b;
}

// ---- DottedToAddress ------------------------------------------------------

struct DottedCase {
  const char* text;
  std::array<std::uint8_t, 4> bytes;  // all zero: not an address
};

// Names the case after its text, spaces shown as '_'.
void PrintTo(const DottedCase& c, std::ostream* os) {
  std::string name = *c.text ? c.text : "empty";
  std::replace(name.begin(), name.end(), ' ', '_');
  *os << name;
}

class DottedToAddressTest : public testing::TestWithParam<DottedCase> {};

TEST_P(DottedToAddressTest, GivesTheFourNumbersInMemoryOrder) {
  EXPECT_EQ(BytesOf(DottedToAddress(GetParam().text)), GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, DottedToAddressTest,
                         testing::Values(DottedCase{"127.0.0.1", {0x7F, 0x00, 0x00, 0x01}},
                                         DottedCase{"10.20.30.40", {10, 20, 30, 40}},
                                         DottedCase{"300.1.1.1", {44, 1, 1, 1}}, DottedCase{"1.2.3.256", {1, 2, 3, 0}},
                                         DottedCase{"0127.000.0.1", {127, 0, 0, 1}},
                                         // 10^20 - 1 modulo 256
                                         DottedCase{"99999999999999999999.0.0.1", {255, 0, 0, 1}},
                                         // not four decimal parts
                                         DottedCase{"1.2.3", {}}, DottedCase{"1.2.3.4.5", {}}, DottedCase{"", {}},
                                         DottedCase{"...", {}}, DottedCase{"1..2.3", {}}, DottedCase{"1.2.3.", {}},
                                         DottedCase{"proxy.example.com.x", {}}, DottedCase{" 1.2.3.4", {}},
                                         DottedCase{"-1.2.3.4", {}}, DottedCase{"1.2.3.4 ", {}},
                                         DottedCase{"0x7f.0.0.1", {}}));

// ---- the record -------------------------------------------------------------

TEST(EchoReply, HasTheLayoutOfThePlatformRecord) {
  EXPECT_EQ(sizeof(EchoReply), 278u);
  EXPECT_EQ(offsetof(EchoReply, status), 4u);
  EXPECT_EQ(offsetof(EchoReply, roundTripTime), 8u);
  EXPECT_EQ(offsetof(EchoReply, dataSize), 12u);
  EXPECT_EQ(offsetof(EchoReply, dataOffset), 16u);
  EXPECT_EQ(offsetof(EchoReply, ttl), 20u);
  EXPECT_EQ(offsetof(EchoReply, optionsSize), 23u);
  EXPECT_EQ(offsetof(EchoReply, optionsOffset), 24u);
  EXPECT_EQ(offsetof(EchoReply, data), 28u);
}

// ---- PingAddress over a scripted sender ------------------------------------

// Answers or fails as told, and records what it was asked and the sockets
// layer's start count while the echo ran.
class ScriptedSender : public Installed<EchoSender, &SetEchoes> {
 public:
  void SendEchoes(std::span<EchoTarget> targets, std::string_view data, int timeoutMs) override {
    ++calls;
    sentData = std::string(data);
    timeout = timeoutMs;
    startsDuringEcho = layer.StartCount();
    for (EchoTarget& t : targets) {
      destinations.push_back(t.destination);
      if (touch) {
        t.reply->status = status;
        t.reply->roundTripTime = time;
      }
      t.answered = status == 0 && touch;
    }
  }

  FaultySocketsLayer layer;
  bool touch = true;
  std::uint32_t status = 0;
  std::uint32_t time = 0;
  int calls = 0;
  std::string sentData;
  int timeout = 0;
  int startsDuringEcho = -1;
  std::vector<std::uint32_t> destinations;
};

class PingAddressScripted : public testing::Test {
 protected:
  RecordingPresenter shown_;
  ScriptedSender sender_;
};

TEST_F(PingAddressScripted, SendsMyRequestWithTheTimeOutInsideOneStartOfTheLayer) {
  EchoReply reply;
  PingAddress("127.0.0.9", reply);
  EXPECT_EQ(sender_.calls, 1);
  EXPECT_EQ(sender_.sentData, "My Request");
  EXPECT_EQ(sender_.timeout, 200);
  EXPECT_EQ(sender_.startsDuringEcho, 1);
  EXPECT_EQ(sender_.layer.StartCount(), 0);
  ASSERT_EQ(sender_.destinations.size(), 1u);
  EXPECT_EQ(BytesOf(sender_.destinations[0]), (std::array<std::uint8_t, 4>{127, 0, 0, 9}));
  EXPECT_TRUE(shown_.shown.empty());
}

struct SignCase {
  bool touch;
  std::uint32_t status;
  std::uint32_t time;
  std::uint32_t earlierStatus;
  std::int32_t result;
};

void PrintTo(const SignCase& c, std::ostream* os) {
  *os << (c.touch ? "status " + std::to_string(c.status) + " time " + std::to_string(c.time)
                  : "untouched, earlier status " + std::to_string(c.earlierStatus));
}

class PingAddressSign : public PingAddressScripted, public testing::WithParamInterface<SignCase> {};

TEST_P(PingAddressSign, ReturnsTheTimeOnAnAnswerAndMinusTheStatusOtherwise) {
  const SignCase& c = GetParam();
  sender_.touch = c.touch;
  sender_.status = c.status;
  sender_.time = c.time;
  EchoReply reply;
  reply.status = c.earlierStatus;
  EXPECT_EQ(PingAddress("127.0.0.1", reply), c.result);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, PingAddressSign,
                         testing::Values(SignCase{true, 0, 31, 0, 31}, SignCase{true, 0, 0, 0, 0},
                                         SignCase{true, kIpReqTimedOut, 0, 0, -11010},
                                         SignCase{true, kIpDestHostUnreachable, 7, 0, -11003},
                                         SignCase{true, kIpGeneralFailure, 0, 0, -11050},
                                         // a record the echo did not touch keeps its earlier status
                                         SignCase{false, 0, 0, 11010, -11010}, SignCase{false, 0, 0, 0, 0}));

TEST_F(PingAddressScripted, ManyAddressesShareOneEchoCallButEachRunsTheCheck) {
  const std::vector<std::string> addresses{"127.0.0.1", "1.2.3", "127.0.0.3"};
  std::vector<EchoReply> replies(3);
  sender_.time = 4;
  const auto results = PingAddresses(addresses, replies);
  EXPECT_EQ(sender_.calls, 1);
  EXPECT_EQ(sender_.startsDuringEcho, 3);
  EXPECT_EQ(sender_.layer.StartCount(), 0);
  ASSERT_EQ(sender_.destinations.size(), 3u);
  EXPECT_EQ(sender_.destinations[1], 0u);
  EXPECT_EQ(results, (std::vector<std::int32_t>{4, 4, 4}));
}

// ---- real echoes on loopback ------------------------------------------------

// A network of our own where the datagram kind is allowed (or not), and
// where loopback answers echoes (or stays silent).
bool RunInOwnNetworkFor(EchoSocketKind kind, const std::function<void()>& body, bool silent = false) {
  return test::RunInOwnNetwork({{"ping_group_range", kind == EchoSocketKind::Datagram ? "0 2147483647" : "1 0"},
                                {"icmp_echo_ignore_all", silent ? "1" : "0"}},
                               body);
}

// Takes CAP_NET_RAW away from the calling thread only.
bool DropRawSocketRight() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

void ExpectLoopbackAnswer(std::int32_t result, const EchoReply& reply, const char* address) {
  EXPECT_GE(result, 0);
  EXPECT_EQ(+reply.status, kIpSuccess);
  EXPECT_EQ(static_cast<std::uint32_t>(result), +reply.roundTripTime);
  EXPECT_EQ(+reply.address, DottedToAddress(address));
  EXPECT_EQ(+reply.dataSize, 10);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.data), 10), "My Request");
  EXPECT_EQ(+reply.dataOffset, offsetof(EchoReply, data));
  EXPECT_GT(+reply.ttl, 0);
}

TEST(PingAddressLoopback, LocalHostAnswersWithStatusZeroAndATime) {
  RecordingPresenter shown;
  EchoReply reply;
  const std::int32_t result = PingAddress("127.0.0.1", reply);
  ExpectLoopbackAnswer(result, reply, "127.0.0.1");
  EXPECT_TRUE(shown.shown.empty());
}

TEST(PingAddressLoopback, TextThatIsNotAnAddressIsNeverSentAndFails) {
  // Linux would take 0.0.0.0 for the local host and answer.
  EchoReply reply;
  EXPECT_EQ(PingAddress("1.2.3", reply), -11050);
  EXPECT_EQ(+reply.status, kIpGeneralFailure);
  EXPECT_EQ(+reply.dataSize, 0);
}

class EchoSocketKindTest : public testing::TestWithParam<EchoSocketKind> {};

TEST_P(EchoSocketKindTest, ManyLoopbackAddressesEachGetTheirOwnReply) {
  // Each reply must land in the record of the address it came from, and
  // the requests that loopback hands back to a raw socket must be ignored.
  bool ran = RunInOwnNetworkFor(GetParam(), [] {
    IcmpEchoSender sender({GetParam()});
    constexpr int kCount = 300;
    std::vector<EchoReply> replies(kCount);
    std::vector<EchoTarget> targets(kCount);
    std::vector<std::string> texts(kCount);
    for (int i = 0; i < kCount; ++i) {
      texts[i] = "127.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
      targets[i].destination = DottedToAddress(texts[i]);
      targets[i].reply = &replies[i];
    }
    sender.SendEchoes(targets, "My Request", 200);
    ASSERT_EQ(sender.LastKind(), GetParam());
    for (int i = 0; i < kCount; ++i) {
      EXPECT_TRUE(targets[i].answered) << texts[i];
      ExpectLoopbackAnswer(static_cast<std::int32_t>(replies[i].roundTripTime), replies[i], texts[i].c_str());
    }
  });
  ASSERT_TRUE(ran) << "needs root to make a network namespace";
}

TEST_P(EchoSocketKindTest, AHostThatDoesNotAnswerTimesOut) {
  bool ran = RunInOwnNetworkFor(
      GetParam(),
      [] {
        IcmpEchoSender sender({GetParam()});
        EchoReply reply;
        reply.roundTripTime = 77;
        EchoTarget target{DottedToAddress("127.0.0.1"), &reply, true};
        sender.SendEchoes(std::span(&target, 1), "My Request", 200);
        ASSERT_EQ(sender.LastKind(), GetParam());
        EXPECT_FALSE(target.answered);
        EXPECT_EQ(+reply.status, kIpReqTimedOut);
        EXPECT_EQ(+reply.roundTripTime, 77u);
      },
      /*silent=*/true);
  ASSERT_TRUE(ran) << "needs root to make a network namespace";
}

TEST(PingAddressLoopback, AHostThatDoesNotAnswerGivesMinusTheTimedOutStatus) {
  bool ran = RunInOwnNetworkFor(
      EchoSocketKind::Raw,
      [] {
        EchoReply reply;
        EXPECT_EQ(PingAddress("127.0.0.1", reply), -11010);
        EXPECT_EQ(+reply.status, kIpReqTimedOut);
        EXPECT_EQ(+reply.roundTripTime, 0u);
      },
      /*silent=*/true);
  ASSERT_TRUE(ran) << "needs root to make a network namespace";
}

TEST(PingAddressLoopback, WithoutAnyEchoSocketTheEchoFailsWithAStatus) {
  bool ran = RunInOwnNetworkFor(EchoSocketKind::Raw, [] {
    ASSERT_TRUE(DropRawSocketRight());
    IcmpEchoSender sender;
    SetEchoes(&sender);
    EchoReply reply;
    const std::int32_t result = PingAddress("127.0.0.1", reply);
    const std::string why = EchoesUnavailable();
    SetEchoes(nullptr);
    EXPECT_EQ(result, -11050);
    EXPECT_EQ(+reply.status, kIpGeneralFailure);
    EXPECT_FALSE(sender.LastKind().has_value());
    // ping_group_range is "1 0" here, as Debian 12 has it.
    EXPECT_EQ(why,
              "Echoes unavailable, every time reads 0 ms: ICMP datagram socket: Permission denied (allowed to the "
              "groups in net.ipv4.ping_group_range); raw socket: Operation not permitted (needs root or "
              "CAP_NET_RAW)");
  });
  ASSERT_TRUE(ran) << "needs root to make a network namespace";
}

INSTANTIATE_TEST_SUITE_P(Kinds, EchoSocketKindTest, testing::Values(EchoSocketKind::Datagram, EchoSocketKind::Raw),
                         [](const auto& info) {
                           return info.param == EchoSocketKind::Datagram ? std::string("Datagram") : std::string("Raw");
                         });

}  // namespace
}  // namespace mivo
