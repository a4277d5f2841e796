// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "harvester/connection_tester.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "common/fdlimit.h"
#include "common/presenter.h"
#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"
#include "ping/icmp_sender.h"
#include "ping/mod_ping.h"
#include "socket/faulty_sockets_layer.h"
#include "tests/harvester/loopback_peers.h"
#include "tests/support/wait.h"

namespace mivo {
namespace {

using test::LoopbackPort;
using test::WaitUntil;

class ConnectionTesterTest : public testing::Test {
 protected:
  ~ConnectionTesterTest() override { EXPECT_TRUE(shown.shown.empty()) << shown.shown.front().text; }

  int AddRow(const std::string& address, const std::string& port) {
    ops.Rows().Append(address);
    const int n = ops.Rows().Count();
    ops.Rows().SetText(n, ProxyColumn::Port, port);
    return n;
  }
  int AddRow(const LoopbackPort& p) { return AddRow(p.Address(), p.PortText()); }
  std::string Mark(int n) { return ops.Rows().Text(n, ProxyColumn::Result); }
  std::string Time(int n) { return ops.Rows().Text(n, ProxyColumn::Time); }
  bool HasStatus(const std::string& text) {
    return std::find(ops.statusHistory.begin(), ops.statusHistory.end(), text) != ops.statusHistory.end();
  }
  bool WaitForMark(int n) {
    return WaitUntil([&] { return !Mark(n).empty(); });
  }

  RecordingPresenter shown;
  HeadlessMainOps ops;
  ConnectionTester tester{ops};
};

bool IsTimeText(const std::string& s) {
  return s.size() > 3 && s.ends_with(" ms") &&
         std::all_of(s.begin(), s.end() - 3, [](char c) { return c >= '0' && c <= '9'; }) &&
         (s.size() == 4 || s[0] != '0');
}

// ---- single test --------------------------------------------------------

TEST_F(ConnectionTesterTest, SingleTestWithoutRowsAsksForAList) {
  tester.conTest();
  EXPECT_EQ(ops.panel2, kTextUpdateListFirst);
  EXPECT_EQ(ops.statusHistory.size(), 1u);
  EXPECT_EQ(tester.Wsktest[0].State(), SocketState::Closed);
}

TEST_F(ConnectionTesterTest, SingleTestWithoutSelectionClosesElementZeroAndStartsNothing) {
  LoopbackPort silent("127.0.0.1");
  ASSERT_TRUE(silent.ListenSilently());
  AddRow(silent);
  ops.selected = 1;
  tester.conTest();
  ASSERT_EQ(tester.Wsktest[0].State(), SocketState::Connecting);

  ops.selected = 0;
  tester.conTest();
  EXPECT_EQ(tester.Wsktest[0].State(), SocketState::Closed);
  EXPECT_EQ(ops.panel2, kTextUpdateListFirst);
  EXPECT_EQ(Mark(1), "");
}

TEST_F(ConnectionTesterTest, SingleTestOfAListeningProxyMarksSuccessAndClosesAgain) {
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen());
  AddRow("127.0.0.5", "1");
  const int n = AddRow(proxy);
  ops.selected = n;
  tester.conTest();
  const std::vector<std::string> started{"连接: 127.0.0.2:" + proxy.PortText() + " 中...", "Ping: 127.0.0.2"};
  EXPECT_EQ(ops.statusHistory, started);
  EXPECT_TRUE(IsTimeText(Time(n))) << Time(n);
  EXPECT_EQ(Mark(n), "") << "no outcome before the event loop runs";

  ASSERT_TRUE(WaitForMark(n));
  EXPECT_EQ(Mark(n), "★ 成功");
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.2:" + proxy.PortText() + " 连接成功...");
  EXPECT_EQ(tester.Wsktest[0].State(), SocketState::Closed);
  EXPECT_EQ(Mark(1), "");
  EXPECT_EQ(Time(1), "");
}

struct SingleFailureCase {
  const char* earlierMark;
  const char* expectedMark;
};

void PrintTo(const SingleFailureCase& c, std::ostream* os) {
  *os << "earlier:" << (*c.earlierMark ? c.earlierMark : "none");
}

class SingleFailure : public ConnectionTesterTest, public testing::WithParamInterface<SingleFailureCase> {};

TEST_P(SingleFailure, IsReportedForTheTestedRowAndMarksOnlyAnEmptyColumn) {
  LoopbackPort refused("127.0.0.3");
  const int n = AddRow(refused);
  ops.Rows().SetText(n, ProxyColumn::Result, GetParam().earlierMark);
  ops.selected = n;
  tester.conTest();
  const std::string failed = "地址: 127.0.0.3:" + refused.PortText() + " 连接失败...";
  ASSERT_TRUE(WaitUntil([&] { return ops.panel2 == failed; }));
  EXPECT_EQ(Mark(n), GetParam().expectedMark);
  EXPECT_EQ(tester.Wsktest[0].State(), SocketState::Error);
}

INSTANTIATE_TEST_SUITE_P(EarlierMarks, SingleFailure,
                         testing::Values(SingleFailureCase{"", "☆ 失败"}, SingleFailureCase{"★ 成功", "★ 成功"},
                                         SingleFailureCase{"☆ 失败", "☆ 失败"}));

TEST_F(ConnectionTesterTest, SingleSuccessConcernsTheRowSelectedWhenItArrives) {
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen());
  AddRow(proxy);
  AddRow("127.0.0.9", "8080");
  ops.selected = 1;
  tester.conTest();
  ops.selected = 2;
  ASSERT_TRUE(WaitForMark(2));
  EXPECT_EQ(Mark(2), "★ 成功");
  EXPECT_EQ(Mark(1), "");
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.9:8080 连接成功...");
}

TEST_F(ConnectionTesterTest, ASecondSingleTestAbandonsTheFirst) {
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen());
  LoopbackPort refused("127.0.0.3");
  AddRow(proxy);
  AddRow(refused);
  ops.selected = 1;
  tester.conTest();
  ops.selected = 2;
  tester.conTest();
  ASSERT_TRUE(WaitForMark(2));
  EXPECT_EQ(Mark(2), "☆ 失败");
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.3:" + refused.PortText() + " 连接失败...");
  // The first connect had completed in the kernel before the second test closed it.
  EXPECT_EQ(proxy.AcceptAll(), 1);
  EXPECT_EQ(Mark(1), "");
}

TEST_F(ConnectionTesterTest, SingleFailureAfterTheListWasRefilledLeavesTheNewRowAlone) {
  LoopbackPort refused("127.0.0.3");
  AddRow(refused);
  ops.selected = 1;
  tester.conTest();
  ops.Rows().Clear();
  AddRow("127.0.0.7", "3128");
  ops.selected = 1;
  const std::string failed = "地址: 127.0.0.3:" + refused.PortText() + " 连接失败...";
  ASSERT_TRUE(WaitUntil([&] { return ops.panel2 == failed; }));
  EXPECT_EQ(Mark(1), "");
}

// ---- test of all rows -----------------------------------------------------

TEST_F(ConnectionTesterTest, WalkOverAnEmptyListDoesNothing) {
  tester.testall();
  EXPECT_TRUE(ops.statusHistory.empty());
  EXPECT_EQ(tester.Wsktest.Count(), 1);
}

TEST_F(ConnectionTesterTest, WalkMarksEveryRowAndLeavesSuccessesConnected) {
  LoopbackPort a("127.0.0.2"), refused("127.0.0.3"), b("127.0.0.4");
  ASSERT_TRUE(a.Listen());
  ASSERT_TRUE(b.Listen());
  AddRow(a);
  AddRow(refused);
  AddRow(b);
  tester.testall();

  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(Mark(n), "") << "no outcome before the walk returns";
    const LoopbackPort& p = n == 1 ? a : n == 2 ? refused : b;
    EXPECT_TRUE(HasStatus("IP:" + p.Address() + " , 端口: " + p.PortText() + " 正在连接中..."));
  }
  EXPECT_EQ(tester.Wsktest.Count(), 4);
  EXPECT_TRUE(tester.Running());

  ASSERT_TRUE(WaitUntil([&] { return !tester.Running(); }));
  for (int n = 1; n <= 3; ++n) {
    EXPECT_TRUE(IsTimeText(Time(n))) << n << ": " << Time(n);
    EXPECT_TRUE(HasStatus("Ping: 127.0.0." + std::to_string(n + 1))) << n;
  }
  EXPECT_EQ(ops.panel2, "测试完成: 成功 2, 失败 1");
  EXPECT_EQ(Mark(1), "★ 成功");
  EXPECT_EQ(Mark(2), "☆ 失败");
  EXPECT_EQ(Mark(3), "★ 成功");
  EXPECT_TRUE(HasStatus("IP: 127.0.0.2:" + a.PortText() + " 连接成功..."));
  EXPECT_TRUE(HasStatus("IP: 127.0.0.4:" + b.PortText() + " 连接成功..."));
  EXPECT_FALSE(HasStatus("IP: 127.0.0.3:" + refused.PortText() + " 连接成功..."));
  EXPECT_EQ(tester.Wsktest[1].State(), SocketState::Connected);
  EXPECT_EQ(tester.Wsktest[2].State(), SocketState::Error);
  EXPECT_EQ(tester.Wsktest[3].State(), SocketState::Connected);
  EXPECT_EQ(tester.Wsktest[0].State(), SocketState::Closed);
}

TEST_F(ConnectionTesterTest, SecondWalkReusesElementsAndKeepsAnEarlierSuccess) {
  LoopbackPort a("127.0.0.2"), b("127.0.0.3");
  ASSERT_TRUE(a.Listen());
  AddRow(a);
  AddRow(b);
  tester.testall();
  ASSERT_TRUE(WaitUntil([&] { return !Mark(1).empty() && !Mark(2).empty(); }));
  ASSERT_EQ(Mark(1), "★ 成功");
  ASSERT_EQ(Mark(2), "☆ 失败");
  const WinSock* first1 = tester.Wsktest.Find(1);
  const WinSock* first2 = tester.Wsktest.Find(2);

  // Row 1's proxy goes away (its port now refuses), row 2's comes up.
  a.StopListening();
  ASSERT_TRUE(b.Listen());
  ops.Rows().SetText(1, ProxyColumn::Time, "");
  tester.testall();
  EXPECT_EQ(tester.Wsktest.Find(1), first1);
  EXPECT_EQ(tester.Wsktest.Find(2), first2);
  ASSERT_TRUE(WaitUntil([&] { return !tester.Running(); }));
  EXPECT_EQ(Time(1).empty(), false);
  EXPECT_EQ(tester.Wsktest[1].State(), SocketState::Error);
  EXPECT_EQ(Mark(2), "★ 成功");
  EXPECT_EQ(Mark(1), "★ 成功");
  // Counted by this walk's outcomes, not by the marks that stay.
  EXPECT_EQ(ops.panel2, "测试完成: 成功 1, 失败 1");
}

TEST_F(ConnectionTesterTest, ARowWithAHostNameConnectsButIsNotEchoed) {
  LoopbackPort proxy("127.0.0.1");
  ASSERT_TRUE(proxy.Listen());
  AddRow("localhost", proxy.PortText());
  tester.testall();
  ASSERT_TRUE(WaitUntil([&] { return !tester.Running(); }));
  EXPECT_EQ(Time(1), "0 ms");
  EXPECT_EQ(Mark(1), "★ 成功");
  EXPECT_TRUE(HasStatus("IP: 127.0.0.1:" + proxy.PortText() + " 连接成功..."));
}

class BadPortText : public ConnectionTesterTest, public testing::WithParamInterface<const char*> {};

TEST_P(BadPortText, KeepsTheElementsPreviousPort) {
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen());
  AddRow(proxy);
  tester.testall();
  ASSERT_TRUE(WaitForMark(1));
  ASSERT_EQ(Mark(1), "★ 成功");

  ops.Rows().SetText(1, ProxyColumn::Port, GetParam());
  ops.Rows().SetText(1, ProxyColumn::Result, "");
  tester.testall();
  EXPECT_TRUE(HasStatus(std::string("IP:127.0.0.2 , 端口: ") + GetParam() + " 正在连接中..."));
  ASSERT_TRUE(WaitForMark(1));
  EXPECT_EQ(Mark(1), "★ 成功");
  EXPECT_EQ(tester.Wsktest[1].RemotePort(), proxy.Port());
}

TEST_P(BadPortText, OnANewElementMeansPortZero) {
  AddRow("127.0.0.2", GetParam());
  tester.testall();
  ASSERT_TRUE(WaitForMark(1));
  EXPECT_EQ(Mark(1), "☆ 失败");
  EXPECT_EQ(tester.Wsktest[1].RemotePort(), 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, BadPortText, testing::Values("", "0", "65536", "-1", "abc", "99999999999"));

TEST_F(ConnectionTesterTest, OutcomesOfAWalkGoToTheRowsThatNowHaveTheNumbers) {
  LoopbackPort a("127.0.0.2"), refused("127.0.0.3");
  ASSERT_TRUE(a.Listen());
  AddRow(a);
  AddRow(refused);
  AddRow(a);
  tester.testall();
  ops.Rows().Clear();
  AddRow("127.0.0.11", "1");
  AddRow("127.0.0.12", "2");
  ASSERT_TRUE(WaitUntil([&] { return !Mark(1).empty() && !Mark(2).empty(); }));
  ASSERT_TRUE(WaitUntil([&] { return tester.Wsktest[3].State() == SocketState::Connected; }));
  EXPECT_EQ(Mark(1), "★ 成功");
  EXPECT_EQ(Mark(2), "☆ 失败");
  EXPECT_EQ(ops.Rows().Count(), 2);
  EXPECT_EQ(Time(1), "");
}

TEST_F(ConnectionTesterTest, ADroppedWalkConnectionRemovesItsElementAndKeepsTheMark) {
  LoopbackPort proxy("127.0.0.2"), silent("127.0.0.3");
  ASSERT_TRUE(proxy.Listen());
  ASSERT_TRUE(silent.ListenSilently());
  AddRow(proxy);
  AddRow(silent);
  ops.selected = 2;
  tester.testall();
  ASSERT_TRUE(WaitForMark(1));
  tester.conTest();  // a single test that stays pending
  ASSERT_EQ(tester.Wsktest[0].State(), SocketState::Connecting);
  const std::string status = ops.panel2;

  ASSERT_EQ(proxy.AcceptAll(), 1);
  proxy.CloseAccepted();
  ASSERT_TRUE(WaitUntil([&] { return !tester.Wsktest.Exists(1); }));
  EXPECT_EQ(Mark(1), "★ 成功");
  EXPECT_EQ(Mark(2), "");
  EXPECT_EQ(ops.panel2, status);
  EXPECT_EQ(tester.Wsktest[0].State(), SocketState::Connecting);
  EXPECT_TRUE(tester.Wsktest.Exists(2));

  ops.Rows().SetText(1, ProxyColumn::Result, "");
  tester.testall();
  EXPECT_TRUE(tester.Wsktest.Exists(1));
  ASSERT_TRUE(WaitForMark(1));
  EXPECT_EQ(Mark(1), "★ 成功");
}

// ---- errors raised inside Connect --------------------------------------------

TEST(ConnectionTesterImmediateErrors, AWalkMarksARowWhoseSocketCannotBeMadeBeforeItGoesOn) {
  RecordingPresenter shown;
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen());
  FaultySocketsLayer layer;
  layer.FailCalls(SockCall::socket, WSANOTINITIALISED, {2});
  HeadlessMainOps ops;
  ConnectionTester tester(ops);
  for (int n = 1; n <= 3; ++n) {
    ops.Rows().Append(proxy.Address());
    ops.Rows().SetText(n, ProxyColumn::Port, proxy.PortText());
  }
  std::vector<std::string> marksWhenStatusSet;
  ops.onPanel = [&](int, const std::string& text) {
    if (text.starts_with("IP:127")) marksWhenStatusSet.push_back(ops.Rows().Text(2, ProxyColumn::Result));
  };
  tester.testall();
  // Row 2 was marked inside its own step, before the walk went on to row 3.
  EXPECT_EQ(marksWhenStatusSet, (std::vector<std::string>{"", "☆ 失败", "☆ 失败"}));
  EXPECT_EQ(ops.Rows().Text(1, ProxyColumn::Result), "");
  EXPECT_EQ(ops.Rows().Text(3, ProxyColumn::Result), "");
  ASSERT_TRUE(WaitUntil([&] { return !tester.Running(); }));
  EXPECT_TRUE(IsTimeText(ops.Rows().Text(2, ProxyColumn::Time)));
  EXPECT_EQ(ops.Rows().Text(1, ProxyColumn::Result), "★ 成功");
  EXPECT_EQ(ops.Rows().Text(3, ProxyColumn::Result), "★ 成功");
  EXPECT_EQ(ops.Rows().Text(2, ProxyColumn::Result), "☆ 失败");
  EXPECT_TRUE(shown.shown.empty());
}

TEST(ConnectionTesterImmediateErrors, ARowThatFindsNoDescriptorWaitsForOneInsteadOfFailing) {
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen());
  FaultySocketsLayer layer;
  layer.FailCalls(SockCall::socket, WSAEMFILE, {2, 4});
  HeadlessMainOps ops;
  ConnectionTester tester(ops);
  for (int n = 1; n <= 3; ++n) {
    ops.Rows().Append(proxy.Address());
    ops.Rows().SetText(n, ProxyColumn::Port, proxy.PortText());
  }
  tester.testall();
  ASSERT_TRUE(WaitUntil([&] {
    for (int n = 1; n <= 3; ++n)
      if (ops.Rows().Text(n, ProxyColumn::Result).empty()) return false;
    return true;
  }));
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Result), "★ 成功") << n;
}

TEST(ConnectionTesterImmediateErrors, ASingleTestWhoseSocketCannotBeMadeEndsWithTheFailure) {
  RecordingPresenter shown;
  FaultySocketsLayer layer;
  layer.FailNext(SockCall::socket, WSANOTINITIALISED);
  HeadlessMainOps ops;
  ConnectionTester tester(ops);
  ops.Rows().Append("127.0.0.2");
  ops.Rows().SetText(1, ProxyColumn::Port, "8080");
  ops.selected = 1;
  tester.conTest();
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{"连接: 127.0.0.2:8080 中...", "Ping: 127.0.0.2",
                                                         "地址: 127.0.0.2:8080 连接失败..."}));
  EXPECT_EQ(ops.Rows().Text(1, ProxyColumn::Result), "☆ 失败");
  EXPECT_EQ(tester.Wsktest[0].State(), SocketState::Error);
  EXPECT_TRUE(shown.shown.empty());
}

// ---- walks that end and run again --------------------------------------------

// Counts the socket creations refused for want of a descriptor.
class CountedSockets : public PosixSocketsLayer {
 public:
  CountedSockets() : previous_(SetSockets(this)) {}
  ~CountedSockets() override { SetSockets(previous_); }
  SockResult socket(int af, int type, int protocol) override {
    const SockResult r = PosixSocketsLayer::socket(af, type, protocol);
    if (OutOfDescriptors(r.error)) ++outOfDescriptors;
    return r;
  }
  int outOfDescriptors = 0;

 private:
  SocketsLayer* previous_;
};

// Real echoes, counted by whether they found a socket to go out on.
class CountedEchoes : public EchoSender {
 public:
  CountedEchoes() : previous_(SetEchoes(this)) {}
  ~CountedEchoes() override { SetEchoes(previous_); }
  void SendEchoes(std::span<EchoTarget> targets, std::string_view data, int timeoutMs) override {
    real_.SendEchoes(targets, data, timeoutMs);
    (real_.LastKind() ? sent : unsent) += targets.size();
  }
  std::unique_ptr<EchoRound> StartEchoes(std::span<EchoTarget> targets, std::string_view data) override {
    auto round = real_.StartEchoes(targets, data);
    (real_.LastKind() ? sent : unsent) += targets.size();
    return round;
  }
  std::size_t sent = 0;
  std::size_t unsent = 0;

 private:
  IcmpEchoSender real_;
  EchoSender* previous_;
};

// Lowers the soft open-file limit until a walk may hold `allowance` sockets.
class LowAllowance {
 public:
  explicit LowAllowance(std::size_t allowance) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = saved_.rlim_cur - (SocketAllowance() - allowance);
    setrlimit(RLIMIT_NOFILE, &low);
  }
  ~LowAllowance() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(ConnectionTesterTest, EveryWalkHasTheWholeAllowanceAndSendsItsEchoes) {
  constexpr int kRows = 60;
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen(1024));
  for (int n = 0; n < kRows; ++n) AddRow(proxy);
  CountedSockets sockets;
  CountedEchoes echoes;
  ConnectionTester walker(ops);  // closes its sockets through the layer above
  LowAllowance low(20);
  ASSERT_EQ(SocketAllowance(), 20u);
  for (int walk = 1; walk <= 2; ++walk) {
    walker.testall();
    ASSERT_TRUE(WaitUntil([&] { return !walker.Running(); })) << walk;
    EXPECT_EQ(ops.panel2, "测试完成: 成功 60, 失败 0") << walk;
    EXPECT_EQ(sockets.outOfDescriptors, 0) << walk;
    EXPECT_EQ(echoes.sent, static_cast<std::size_t>(kRows * walk));
    EXPECT_EQ(echoes.unsent, 0u);
    // What the walk leaves open stays open until the next one.
    EXPECT_EQ(walker.Wsktest[kRows].State(), SocketState::Connected);
  }
}

// How a walk over a listening and a silent proxy ends when the user acts
// again before the silent one answers.
struct InterruptCase {
  const char* name;
  int walks;  // "测试所有" so many times, then "停止"
};

class InterruptedWalk : public ConnectionTesterTest, public testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptedWalk, StopsWithTheCountsSoFarAndLeavesUnreachedRowsAlone) {
  LoopbackPort proxy("127.0.0.2"), silent("127.0.0.3");
  ASSERT_TRUE(proxy.Listen());
  ASSERT_TRUE(silent.ListenSilently());
  AddRow(proxy);
  AddRow(silent);
  ops.Rows().SetText(2, ProxyColumn::Result, "earlier");
  std::vector<bool> running;
  tester.onRunning = [&](bool r) { running.push_back(r); };
  for (int walk = 0; walk < GetParam().walks; ++walk) {
    ops.Rows().SetText(1, ProxyColumn::Result, "");
    tester.testall();
    ASSERT_TRUE(WaitForMark(1));
  }
  ASSERT_TRUE(tester.Running());
  EXPECT_EQ(tester.Wsktest[2].State(), SocketState::Connecting);
  tester.Stop();
  EXPECT_FALSE(tester.Running());
  EXPECT_EQ(ops.panel2, "测试已停止: 成功 1, 失败 0");
  EXPECT_EQ(tester.Wsktest[2].State(), SocketState::Closed);
  EXPECT_EQ(Mark(2), "earlier");
  std::vector<bool> expected;
  for (int walk = 0; walk < GetParam().walks; ++walk) expected.insert(expected.end(), {true, false});
  EXPECT_EQ(running, expected);
  tester.Stop();
  EXPECT_EQ(running.size(), expected.size()) << "nothing runs, nothing to stop";
}

INSTANTIATE_TEST_SUITE_P(Cases, InterruptedWalk, testing::Values(InterruptCase{"Stop", 1}, InterruptCase{"Replace", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- echo times -------------------------------------------------------------

// Loses every echo, or sends none when told why.
class LostEchoes : public Installed<EchoSender, &SetEchoes> {
 public:
  void SendEchoes(std::span<EchoTarget> targets, std::string_view, int) override {
    calls++;
    for (EchoTarget& t : targets) t.reply->status = unavailable.empty() ? kIpReqTimedOut : kIpGeneralFailure;
  }
  std::string Unavailable() const override { return unavailable; }
  int calls = 0;
  std::string unavailable;
};

// The process's echoes, with what each call got back.
class WatchedEchoes : public Installed<EchoSender, &SetEchoes> {
 public:
  void SendEchoes(std::span<EchoTarget> targets, std::string_view data, int timeoutMs) override {
    real.SendEchoes(targets, data, timeoutMs);
    for (const EchoTarget& t : targets) {
      answered.push_back(t.answered);
      times.push_back(t.reply->roundTripTime);
    }
  }
  IcmpEchoSender real;
  std::vector<bool> answered;
  std::vector<std::uint32_t> times;
};

TEST_F(ConnectionTesterTest, AnEchoWithoutReplyShowsZeroMilliseconds) {
  LostEchoes lost;
  AddRow("127.0.0.2", "1");
  AddRow("127.0.0.3", "1");
  ops.Rows().SetText(1, ProxyColumn::Time, "5 ms");
  ops.selected = 1;
  tester.conTest();
  EXPECT_EQ(Time(1), "0 ms");
  EXPECT_EQ(tester.PingText("127.0.0.1"), "0 ms");
  EXPECT_EQ(ops.panel2, "Ping: 127.0.0.1");
  ops.Rows().SetText(2, ProxyColumn::Time, "7 ms");
  tester.testall();
  ASSERT_TRUE(WaitUntil([&] { return !tester.Running(); }));
  EXPECT_EQ(Time(1), "0 ms");
  EXPECT_EQ(Time(2), "0 ms");
  EXPECT_EQ(lost.calls, 3) << "the walk's echoes share one wait";
  EXPECT_FALSE(HasStatus(lost.unavailable));

  // Without any echo socket the walk says so once, after its end text.
  lost.unavailable = "Echoes unavailable: the reason";
  ops.statusHistory.clear();
  tester.testall();
  ASSERT_TRUE(WaitUntil([&] { return !tester.Running(); }));
  EXPECT_EQ(std::count(ops.statusHistory.begin(), ops.statusHistory.end(), lost.unavailable), 1);
  EXPECT_EQ(ops.statusHistory.back(), lost.unavailable) << "after the end text";
  EXPECT_EQ(tester.PingText("127.0.0.1"), "0 ms");
  EXPECT_EQ(ops.panel2, lost.unavailable);
}

TEST_F(ConnectionTesterTest, PingTextShowsTheRoundTripOfARealEcho) {
  WatchedEchoes echoes;
  const std::string text = tester.PingText("127.0.0.1");
  if (!echoes.real.Unavailable().empty()) GTEST_SKIP() << echoes.real.Unavailable();
  // A lost echo reads "0 ms" as well, and so may loopback's round trip.
  ASSERT_EQ(echoes.answered, std::vector<bool>{true});
  EXPECT_EQ(text, std::to_string(echoes.times[0]) + " ms");
  EXPECT_EQ(ops.panel2, "Ping: 127.0.0.1");
}

}  // namespace
}  // namespace mivo
