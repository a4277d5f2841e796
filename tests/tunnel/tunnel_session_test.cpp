// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tunnel/tunnel_session.h"

#include <gtest/gtest.h>

#include "tests/tunnel/tunnel_fakes.h"
#include "tunnel/tunnel_texts.h"

namespace mivo {
namespace {

using test::FakeSocket;
using test::FakeView;
using test::Hex;
using test::ViewEvent;
using enum ProxyType;
using enum HandshakeStep;

ConnectBoxes Boxes() { return {"127.0.0.1", "1080", "ab", "cde", "127.0.0.1", "8080"}; }

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() { view.socket = &socket; }

  // The proxy answers; the window takes the bytes as one arrival.
  void Arrive(const std::string& bytes) {
    socket.waiting += bytes;
    session.OnDataArrival();
  }
  // Runs a handshake: connect, then each reply once the engine has sent something.
  void Run(ProxyType kind, int ticked, const std::vector<std::string>& replies, std::size_t chunk = 0) {
    m.ProxyKind = kind;
    view.ticked = ticked;
    ASSERT_TRUE(session.ConnectClicked(Boxes()));
    session.OnConnect();
    for (const std::string& reply : replies) {
      if (chunk == 0) {
        Arrive(reply);
        continue;
      }
      for (std::size_t at = 0; at < reply.size(); at += chunk) Arrive(reply.substr(at, chunk));
    }
  }

  Moduleproxy m;
  FakeView view;
  FakeSocket socket;
  TunnelSession session{m, view, socket};
};

const std::string kSocks4Request = Hex({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0});
const std::string kGreetNoAuth = Hex({5, 1, 0});
const std::string kGreetAuth = Hex({5, 1, 2});
const std::string kUserPass = Hex({1, 2, 'a', 'b', 3, 'c', 'd', 'e'});
const std::string kConnect = Hex({5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
const std::string kSocks5Ok = Hex({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

TEST_F(SessionTest, ConnectSequenceStoresBoxesAndConnects) {
  ASSERT_TRUE(session.ConnectClicked({"127.0.0.9", "1081", "u", "p", "127.0.0.2", "22"}));
  EXPECT_EQ(socket.closes, 1);
  EXPECT_EQ(socket.connects, 1);
  EXPECT_EQ(socket.remoteHost, "127.0.0.9");
  EXPECT_EQ(socket.remotePort, 1081);
  EXPECT_EQ(m.TargetHost, "127.0.0.2");
  EXPECT_EQ(m.TargetPort, 22);
  EXPECT_EQ(m.AuthUser, "u");
  EXPECT_EQ(m.AuthPass, "p");
  EXPECT_EQ(view.events, std::vector<ViewEvent>{test::StatusEvent("")});
}

TEST_F(SessionTest, EmptyBoxesKeepEarlierValues) {
  ASSERT_TRUE(session.ConnectClicked({"127.0.0.9", "1081", "first", "secret", "127.0.0.2", "22"}));
  ASSERT_TRUE(session.ConnectClicked({"", "", "", "", "", ""}));
  EXPECT_EQ(socket.remoteHost, "127.0.0.9");
  EXPECT_EQ(socket.remotePort, 1081);
  EXPECT_EQ(m.TargetHost, "127.0.0.2");
  EXPECT_EQ(m.TargetPort, 22);
  // The earlier user name goes out in the next SOCKS5 handshake.
  m.ProxyKind = Socks5;
  view.ticked = 1;
  session.OnConnect();
  Arrive(Hex({5, 2}));
  EXPECT_EQ(socket.wire, kGreetAuth + Hex({1, 5}) + "first" + Hex({6}) + "secret");
}

TEST_F(SessionTest, Socks4Handshake) {
  Run(Socks4, 0, {Hex({0, 0x5A, 0, 0, 0, 0, 0, 0})});
  EXPECT_EQ(socket.wire, kSocks4Request);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
  EXPECT_EQ(view.status, kTextTargetConnected);
  EXPECT_TRUE(socket.open);
}

TEST_F(SessionTest, Socks5WithAuthentication) {
  Run(Socks5, 1, {Hex({5, 2}), Hex({1, 0}), kSocks5Ok});
  EXPECT_EQ(socket.wire, kGreetAuth + kUserPass + kConnect);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
  EXPECT_EQ(view.status, kTextTargetConnected);
}

// The box is ticked but the proxy waives authentication: the reply at step 3
// answers the CONNECT request, which therefore goes out once.
TEST_F(SessionTest, Socks5TickedButProxyWaivesAuthentication) {
  Run(Socks5, 1, {Hex({5, 0}), kSocks5Ok});
  EXPECT_EQ(socket.wire, kGreetAuth + kConnect);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
  EXPECT_EQ(view.status, kTextTargetConnected);
  EXPECT_EQ(view.Count(ViewEvent::Box), 0);
}

TEST_F(SessionTest, Socks5UntickingMidwayDoesNotChangeHowTheAuthReplyIsRead) {
  Run(Socks5, 1, {Hex({5, 2})});
  view.ticked = 0;
  Arrive(Hex({1, 1}));
  EXPECT_EQ(m.HandshakeState, HandshakeStep::Idle);
  ASSERT_EQ(view.Count(ViewEvent::Box), 1);
  EXPECT_EQ(view.events[view.events.size() - 2].data, kTextAuthRejected);
  EXPECT_FALSE(socket.open);
}

TEST_F(SessionTest, HttpHandshake) {
  view.user = "ab";
  view.password = "cde";
  Run(Http11, 1, {"HTTP/1.1 200 Connection established\r\nProxy-agent: x\r\n\r\n"});
  EXPECT_EQ(socket.wire,
            "CONNECT 127.0.0.1:8080 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"
            "Authorization: Basic YWI6Y2Rl\r\nProxy-Authorization: Basic YWI6Y2Rl\r\n\r\n");
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
}

TEST_F(SessionTest, ArrivalsAfterSuccessAreTakenAndDropped) {
  Run(Socks4, 0, {Hex({0, 0x5A, 0, 0, 0, 0, 0, 0})});
  const std::size_t before = view.events.size();
  Arrive("echoed bytes");
  EXPECT_TRUE(socket.waiting.empty());
  EXPECT_EQ(m.ReplyData, "echoed bytes");
  EXPECT_EQ(view.events.size(), before);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
}

TEST_F(SessionTest, ArrivalsAfterFailureChangeNothing) {
  Run(Socks4, 0, {Hex({0, 0x5B, 0, 0, 0, 0, 0, 0})});
  ASSERT_EQ(m.HandshakeState, HandshakeStep::Idle);
  const std::size_t before = view.events.size();
  Arrive(Hex({0, 0x5A}));
  EXPECT_EQ(view.events.size(), before);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::Idle);
}

TEST_F(SessionTest, DisconnectDuringHandshakeStopsIt) {
  Run(Socks5, 0, {});
  ASSERT_EQ(m.HandshakeState, HandshakeStep::FirstReply);
  session.DisconnectClicked();
  EXPECT_FALSE(socket.open);
  EXPECT_EQ(view.status, kTextDisconnecting);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::FirstReply);  // left as it was
}

TEST_F(SessionTest, NewConnectRestartsAtStepOneAndForgetsAHalfReply) {
  Run(Socks5, 0, {Hex({5})});
  ASSERT_EQ(m.HandshakeState, HandshakeStep::FirstReply);
  socket.wire.clear();
  Run(Socks5, 0, {Hex({5, 0}), kSocks5Ok});
  EXPECT_EQ(socket.wire, kGreetNoAuth + kConnect);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
}

// A failure's box is modal: events that the nested loop delivers while it is
// open must not run the step again.
TEST_F(SessionTest, ArrivalWhileTheFailureBoxIsOpenShowsNoSecondBox) {
  view.onBox = [this] { Arrive(Hex({0, 0x5B, 0, 0, 0, 0, 0, 0})); };
  Run(Socks4, 0, {Hex({0, 0x5B, 0, 0, 0, 0, 0, 0})});
  EXPECT_EQ(view.Count(ViewEvent::Box), 1);
  EXPECT_EQ(view.Count(ViewEvent::Close), 1);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::Idle);
}

// --- replies split over arrivals -------------------------------------------------

struct Script {
  const char* name;
  ProxyType kind;
  int ticked;
  std::vector<std::string> replies;
  std::string wire;
  HandshakeStep state;
  std::string status;
  int boxes;
};

void PrintTo(const Script& s, std::ostream* os) { *os << s.name; }

class SplitReplies : public ::testing::TestWithParam<std::tuple<Script, std::size_t>> {};

TEST_P(SplitReplies, ReachTheSameEndAsWholeReplies) {
  const auto& [script, chunk] = GetParam();
  Moduleproxy m;
  FakeView view;
  FakeSocket socket;
  view.socket = &socket;
  view.user = "ab";
  view.password = "cde";
  TunnelSession session{m, view, socket};
  m.ProxyKind = script.kind;
  view.ticked = script.ticked;
  ASSERT_TRUE(session.ConnectClicked(Boxes()));
  session.OnConnect();
  for (const std::string& reply : script.replies) {
    for (std::size_t at = 0; at < reply.size(); at += chunk) {
      socket.waiting += reply.substr(at, chunk);
      session.OnDataArrival();
    }
  }
  EXPECT_EQ(socket.wire, script.wire);
  EXPECT_EQ(m.HandshakeState, script.state);
  EXPECT_EQ(view.status, script.status);
  EXPECT_EQ(view.Count(ViewEvent::Box), script.boxes);
}

const std::string kHttpPlain = "CONNECT 127.0.0.1:8080 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Handshakes, SplitReplies,
    ::testing::Combine(
        ::testing::Values(
            Script{"Socks4Granted",
                   Socks4,
                   0,
                   {Hex({0, 0x5A, 0, 0, 0, 0, 0, 0})},
                   kSocks4Request,
                   TunnelOpen,
                   kTextTargetConnected,
                   0},
            Script{"Socks4Refused", Socks4, 0, {Hex({0, 0x5B, 0, 0, 0, 0, 0, 0})}, kSocks4Request, Idle, "", 1},
            Script{"Socks5NoAuth",
                   Socks5,
                   0,
                   {Hex({5, 0}), kSocks5Ok},
                   kGreetNoAuth + kConnect,
                   TunnelOpen,
                   kTextTargetConnected,
                   0},
            Script{"Socks5Auth",
                   Socks5,
                   1,
                   {Hex({5, 2}), Hex({1, 0}), kSocks5Ok},
                   kGreetAuth + kUserPass + kConnect,
                   TunnelOpen,
                   kTextTargetConnected,
                   0},
            Script{"Socks5AuthRejected",
                   Socks5,
                   1,
                   {Hex({5, 2}), Hex({1, 1})},
                   kGreetAuth + kUserPass,
                   Idle,
                   kTextWithAuth,
                   1},
            Script{"Socks5NoMethod", Socks5, 1, {Hex({5, 0xFF})}, kGreetAuth, Idle, "", 1},
            Script{"Http200",
                   Http11,
                   0,
                   {"HTTP/1.1 200 Connection established\r\n\r\n"},
                   kHttpPlain,
                   TunnelOpen,
                   kTextTargetConnected,
                   0},
            Script{
                "Http407", Http11, 0, {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"}, kHttpPlain, Idle, "", 1},
            Script{"HttpBareLf", Http11, 0, {"HTTP/1.0 200 OK\n\n"}, kHttpPlain, TunnelOpen, kTextTargetConnected, 0}),
        ::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{64})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_by" + std::to_string(std::get<1>(info.param));
    });

TEST_F(SessionTest, OneByteSocksReplyWaitsForTheByteTheStepExamines) {
  Run(Socks4, 0, {Hex({0})});
  EXPECT_EQ(m.HandshakeState, HandshakeStep::FirstReply);
  EXPECT_TRUE(view.status.empty());
  EXPECT_EQ(view.Count(ViewEvent::Box), 0);
  Arrive(Hex({0x5A}));
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
}

TEST_F(SessionTest, HttpReplyThatCannotBecomeAStatusLineFailsAtOnce) {
  Run(Http11, 0, {"<ht"});
  EXPECT_EQ(m.HandshakeState, HandshakeStep::Idle);
  EXPECT_EQ(view.Count(ViewEvent::Box), 1);
}

TEST_F(SessionTest, HttpStatusLineThatNeverEndsFails) {
  Run(Http11, 0, {"HTTP/1.1 200 "});
  ASSERT_EQ(m.HandshakeState, HandshakeStep::FirstReply);
  Arrive(std::string(9000, 'x'));
  EXPECT_EQ(m.HandshakeState, HandshakeStep::Idle);
  EXPECT_EQ(view.Count(ViewEvent::Box), 1);
}

// --- input the messages cannot carry ---------------------------------------------

struct BadInput {
  const char* name;
  ProxyType kind;
  ConnectBoxes boxes;
  const char* message;
};

void PrintTo(const BadInput& b, std::ostream* os) { *os << b.name; }

class RejectedInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(RejectedInput, OneErrorBoxAndNothingSent) {
  Moduleproxy m;
  m.ProxyKind = GetParam().kind;
  FakeView view;
  FakeSocket socket;
  socket.open = true;  // an earlier test's connection stays as it was
  TunnelSession session{m, view, socket};
  EXPECT_FALSE(session.ConnectClicked(GetParam().boxes));
  EXPECT_EQ(view.events,
            std::vector<ViewEvent>{test::BoxEvent(GetParam().message, std::string("错误"), MsgIcon::Exclamation)});
  EXPECT_EQ(socket.connects, 0);
  EXPECT_EQ(socket.closes, 0);
  EXPECT_TRUE(socket.wire.empty());
  EXPECT_TRUE(m.TargetHost.empty());
  EXPECT_EQ(m.TargetPort, 0);
}

ConnectBoxes With(ConnectBoxes b, std::string ConnectBoxes::*field, std::string value) {
  b.*field = std::move(value);
  return b;
}

const std::string k256(256, 'x');
const std::string k128Chinese = [] {
  std::string s;
  for (int i = 0; i < 128; ++i) s += "密";
  return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Boxes, RejectedInput,
    ::testing::Values(
        BadInput{"HostName", Socks4, With(Boxes(), &ConnectBoxes::targetHost, "localhost"), kTextBadTargetAddress},
        BadInput{"ThreeNumbers", Socks5, With(Boxes(), &ConnectBoxes::targetHost, "127.0.1"), kTextBadTargetAddress},
        BadInput{"FiveNumbers", Socks4, With(Boxes(), &ConnectBoxes::targetHost, "1.2.3.4.5"), kTextBadTargetAddress},
        BadInput{"Above255", Socks4, With(Boxes(), &ConnectBoxes::targetHost, "127.0.0.256"), kTextBadTargetAddress},
        BadInput{"EmptyPiece", Socks5, With(Boxes(), &ConnectBoxes::targetHost, "127..0.1"), kTextBadTargetAddress},
        BadInput{"Signed", Socks5, With(Boxes(), &ConnectBoxes::targetHost, "+1.2.3.4"), kTextBadTargetAddress},
        BadInput{"NoStoredTarget", Socks4, With(Boxes(), &ConnectBoxes::targetHost, ""), kTextBadTargetAddress},
        BadInput{"TargetPortText", Socks4, With(Boxes(), &ConnectBoxes::targetPort, "80a"), kTextBadTargetPort},
        BadInput{"TargetPortHigh", Socks5, With(Boxes(), &ConnectBoxes::targetPort, "65536"), kTextBadTargetPort},
        BadInput{"TargetPortNegative", Socks5, With(Boxes(), &ConnectBoxes::targetPort, "-1"), kTextBadTargetPort},
        BadInput{"ProxyPortText", Socks4, With(Boxes(), &ConnectBoxes::proxyPort, "x"), kTextBadProxyPort},
        BadInput{"ProxyPortHigh", Http11, With(Boxes(), &ConnectBoxes::proxyPort, "99999"), kTextBadProxyPort},
        BadInput{"UserTooLong", Socks5, With(Boxes(), &ConnectBoxes::user, k256), kTextUserTooLong},
        BadInput{"PasswordTooLong", Socks5, With(Boxes(), &ConnectBoxes::password, k256), kTextPassTooLong},
        BadInput{"PasswordTooLongInGbk", Socks5, With(Boxes(), &ConnectBoxes::password, k128Chinese), kTextPassTooLong},
        BadInput{"HttpEmptyTarget", Http11, With(Boxes(), &ConnectBoxes::targetHost, ""), kTextBadHttpTarget},
        BadInput{"HttpTargetWithSpace", Http11, With(Boxes(), &ConnectBoxes::targetHost, "a b"), kTextBadHttpTarget},
        BadInput{"HttpTargetWithNewline", Http11, With(Boxes(), &ConnectBoxes::targetHost, "a\r\nX: y"),
                 kTextBadHttpTarget},
        BadInput{"HttpEmptyPort", Http11, With(Boxes(), &ConnectBoxes::targetPort, ""), kTextBadTargetPort}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AcceptedInput, LimitsThemselvesPass) {
  Moduleproxy m;
  m.ProxyKind = Socks5;
  ConnectBoxes b{"", "65535", std::string(255, 'u'), std::string(255, 'p'), "255.255.255.255", "0"};
  EXPECT_EQ(CheckTunnelInput(m, b), std::nullopt);
  m.ProxyKind = Http11;
  b.targetHost = "target.example";  // a name the request line can carry
  b.user = k256;                    // Base64 carries any length
  EXPECT_EQ(CheckTunnelInput(m, b), std::nullopt);
}

TEST(AcceptedInput, PortNumbersAllowSurroundingSpaces) {
  EXPECT_EQ(PortNumber(" 8080 "), 8080);
  EXPECT_EQ(PortNumber("00080"), 80);
  EXPECT_EQ(PortNumber("000080"), std::nullopt);
  EXPECT_EQ(PortNumber(""), std::nullopt);
}

}  // namespace
}  // namespace mivo
