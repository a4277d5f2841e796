// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tunnel/moduleproxy.h"

#include <gtest/gtest.h>

#include "tests/tunnel/tunnel_fakes.h"
#include "tunnel/tunnel_texts.h"

namespace mivo {
namespace {

using test::BoxEvent;
using test::CloseEvent;
using test::FakeView;
using test::Hex;
using test::SentBytes;
using test::SentText;
using test::StatusEvent;
using test::ViewEvent;

constexpr MsgIcon kWarn = MsgIcon::Exclamation;
constexpr MsgIcon kInfo = MsgIcon::Information;
const std::string kErr = "错误";

// Target 127.0.0.1:8080, credentials "ab" / "cde".
const Bytes kSocks4Request{0x04, 0x01, 0x1F, 0x90, 0x7F, 0x00, 0x00, 0x01, 0x00};
const Bytes kSocks5Connect{0x05, 0x01, 0x00, 0x01, 0x7F, 0x00, 0x00, 0x01, 0x1F, 0x90};
const Bytes kUserPass{0x01, 0x02, 'a', 'b', 0x03, 'c', 'd', 'e'};
const std::string kHttpPlain = "CONNECT 127.0.0.1:8080 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n";
const std::string kHttpAuth =
    "CONNECT 127.0.0.1:8080 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"
    "Authorization: Basic YWI6Y2Rl\r\nProxy-Authorization: Basic YWI6Y2Rl\r\n\r\n";

Moduleproxy ReadyModule() {
  Moduleproxy m;
  m.TargetHost = "127.0.0.1";
  m.TargetPort = 8080;
  m.AuthUser = "ab";
  m.AuthPass = "cde";
  return m;
}

using enum ProxyType;
using enum HandshakeStep;

// One row of a state table: the state before, the reply, and what must follow.
struct Row {
  const char* name;
  ProxyType kind;
  HandshakeStep step;
  int ticked;
  std::uint8_t method;  // what the proxy chose at SOCKS5 step 2
  std::string reply;
  HandshakeStep next;
  std::vector<ViewEvent> expected;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

class StateTableRow : public ::testing::TestWithParam<Row> {};

TEST_P(StateTableRow, ActsAndMovesAsTheTableSays) {
  const Row& row = GetParam();
  Moduleproxy m = ReadyModule();
  m.HandshakeState = row.step == HandshakeStep::Connected ? HandshakeStep::Idle : row.step;
  m.Socks5Method = row.method;
  m.ReplyData = row.reply;
  FakeView view;
  view.ticked = row.ticked;
  view.user = "ab";
  view.password = "cde";

  ProxyHandshake(m, view, row.kind, row.step);

  EXPECT_EQ(m.HandshakeState, row.next);
  EXPECT_EQ(view.events, row.expected);
}

const std::vector<Row> kRows = {
    // SOCKS4
    {"Socks4Connected", Socks4, Connected, 0, 0, "", FirstReply, {SentBytes(kSocks4Request)}},
    {"Socks4ConnectedTickedStillNoUserId", Socks4, Connected, 1, 0, "", FirstReply, {SentBytes(kSocks4Request)}},
    {"Socks4Rejected",
     Socks4,
     FirstReply,
     0,
     0,
     Hex({0, 0x5B, 0, 0, 0, 0, 0, 0}),
     Idle,
     {BoxEvent("连接sock4代理失败！", kErr, kWarn), CloseEvent()}},
    {"Socks4Granted",
     Socks4,
     FirstReply,
     0,
     0,
     Hex({0, 0x5A, 0, 0, 0, 0, 0, 0}),
     TunnelOpen,
     {StatusEvent("连接目标服务器成功！")}},
    {"Socks4GrantedVersionByteIgnored",
     Socks4,
     FirstReply,
     0,
     0,
     Hex({4, 0x5A}),
     TunnelOpen,
     {StatusEvent("连接目标服务器成功！")}},
    // SOCKS5
    {"Socks5ConnectedUnticked", Socks5, Connected, 0, 0, "", FirstReply, {SentBytes({0x05, 0x01, 0x00})}},
    {"Socks5ConnectedTicked", Socks5, Connected, 1, 0, "", FirstReply, {SentBytes({0x05, 0x01, 0x02})}},
    {"Socks5NoAcceptableMethod",
     Socks5,
     FirstReply,
     1,
     0,
     Hex({5, 0xFF}),
     Idle,
     {BoxEvent("连接代理失败！", std::nullopt, kInfo), CloseEvent()}},
    {"Socks5NoAcceptableMethodAnyVersion",
     Socks5,
     FirstReply,
     0,
     0,
     Hex({4, 0xFF}),
     Idle,
     {BoxEvent("连接代理失败！", std::nullopt, kInfo), CloseEvent()}},
    {"Socks5NoAuthChosen",
     Socks5,
     FirstReply,
     0,
     0,
     Hex({5, 0}),
     SecondReply,
     {StatusEvent("连接成功！无验证"), SentBytes(kSocks5Connect)}},
    {"Socks5UserPassChosen",
     Socks5,
     FirstReply,
     1,
     0,
     Hex({5, 2}),
     SecondReply,
     {StatusEvent("连接成功！有验证"), SentBytes(kUserPass)}},
    {"Socks5OtherMethodIgnored", Socks5, FirstReply, 1, 0, Hex({5, 1}), FirstReply, {}},
    {"Socks5WrongVersionIgnored", Socks5, FirstReply, 0, 0, Hex({4, 0}), FirstReply, {}},
    {"Socks5AuthRejected",
     Socks5,
     SecondReply,
     1,
     kMethodUserPass,
     Hex({1, 1}),
     Idle,
     {BoxEvent("sock5代理校验用户名、密码失败！", kErr, kWarn), CloseEvent()}},
    {"Socks5AuthAccepted",
     Socks5,
     SecondReply,
     1,
     kMethodUserPass,
     Hex({1, 0}),
     ConnectReply,
     {StatusEvent("连接成功！有验证！"), SentBytes(kSocks5Connect)}},
    {"Socks5NoAuthTargetReached",
     Socks5,
     SecondReply,
     0,
     kMethodNone,
     Hex({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}),
     TunnelOpen,
     {StatusEvent("连接目标服务器成功！")}},
    {"Socks5NoAuthTargetRefused",
     Socks5,
     SecondReply,
     0,
     kMethodNone,
     Hex({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}),
     Idle,
     {BoxEvent("连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
    {"Socks5AuthenticatedTargetRefused",
     Socks5,
     ConnectReply,
     1,
     kMethodUserPass,
     Hex({5, 4, 0, 1, 0, 0, 0, 0, 0, 0}),
     Idle,
     {BoxEvent("sock5代理连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
    {"Socks5AuthenticatedTargetReached",
     Socks5,
     ConnectReply,
     1,
     kMethodUserPass,
     Hex({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}),
     TunnelOpen,
     {StatusEvent("连接目标服务器成功！")}},
    // HTTP 1.1
    {"HttpConnectedUnticked", Http11, Connected, 0, 0, "", FirstReply, {SentText(kHttpPlain)}},
    {"HttpConnectedTicked", Http11, Connected, 1, 0, "", FirstReply, {SentText(kHttpAuth)}},
    {"Http11Status200",
     Http11,
     FirstReply,
     0,
     0,
     "HTTP/1.1 200 Connection established\r\n\r\n",
     TunnelOpen,
     {StatusEvent("连接目标服务器成功！")}},
    {"Http10Status200LowerCase",
     Http11,
     FirstReply,
     0,
     0,
     "http/1.0 200 OK\r\n\r\n",
     TunnelOpen,
     {StatusEvent("连接目标服务器成功！")}},
    {"HttpStatus200WithoutReason",
     Http11,
     FirstReply,
     0,
     0,
     "HTTP/1.1 200\r\n\r\n",
     TunnelOpen,
     {StatusEvent("连接目标服务器成功！")}},
    {"HttpStatus407",
     Http11,
     FirstReply,
     1,
     0,
     "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n",
     Idle,
     {BoxEvent("HTTP1.1代理连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
    {"HttpStatus403",
     Http11,
     FirstReply,
     0,
     0,
     "HTTP/1.0 403 Filtered\r\n\r\n",
     Idle,
     {BoxEvent("HTTP1.1代理连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
    {"Http407Mentioning200",
     Http11,
     FirstReply,
     0,
     0,
     "HTTP/1.1 407 see 200 here\r\nX: 200 \r\n\r\n",
     Idle,
     {BoxEvent("HTTP1.1代理连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
    {"HttpNotHttp",
     Http11,
     FirstReply,
     0,
     0,
     "SOCKS 200 OK\r\n\r\n",
     Idle,
     {BoxEvent("HTTP1.1代理连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
    {"HttpStatusLineWithoutCode",
     Http11,
     FirstReply,
     0,
     0,
     "HTTP/1.1\r\n\r\n",
     Idle,
     {BoxEvent("HTTP1.1代理连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
    {"HttpCode2000",
     Http11,
     FirstReply,
     0,
     0,
     "HTTP/1.1 2000 OK\r\n\r\n",
     Idle,
     {BoxEvent("HTTP1.1代理连接目标服务器失败！", kErr, kWarn), CloseEvent()}},
};

INSTANTIATE_TEST_SUITE_P(AllTables, StateTableRow, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A kind and step that no row names leave everything alone.
struct NoRow {
  ProxyType kind;
  HandshakeStep step;
};

class UnmatchedStep : public ::testing::TestWithParam<NoRow> {};

TEST_P(UnmatchedStep, DoesNothing) {
  Moduleproxy m = ReadyModule();
  m.HandshakeState = static_cast<HandshakeStep>(7);
  m.ReplyData = Hex({5, 0});
  m.PendingReply = Hex({5});
  FakeView view;
  ProxyHandshake(m, view, GetParam().kind, GetParam().step);
  EXPECT_EQ(m.HandshakeState, static_cast<HandshakeStep>(7));
  EXPECT_EQ(m.PendingReply, Hex({5}));
  EXPECT_TRUE(view.events.empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, UnmatchedStep,
                         ::testing::Values(NoRow{Socks4, Idle}, NoRow{Socks4, SecondReply}, NoRow{Socks4, TunnelOpen},
                                           NoRow{Socks5, Idle}, NoRow{Socks5, static_cast<HandshakeStep>(5)},
                                           NoRow{Socks5, TunnelOpen}, NoRow{Http11, Idle}, NoRow{Http11, SecondReply},
                                           NoRow{static_cast<ProxyType>(3), Connected},
                                           NoRow{static_cast<ProxyType>(-1), FirstReply}));

// --- bytes of the messages ----------------------------------------------------

TEST(HandshakeMessages, AddressBytesOfAPrivateAddress) {
  Moduleproxy m;
  m.TargetHost = "192.168.1.10";
  m.TargetPort = 443;
  EXPECT_EQ(Socks4Request(m), (Bytes{0x04, 0x01, 0x01, 0xBB, 0xC0, 0xA8, 0x01, 0x0A, 0x00}));
  EXPECT_EQ(Socks5Connect(m), (Bytes{0x05, 0x01, 0x00, 0x01, 0xC0, 0xA8, 0x01, 0x0A, 0x01, 0xBB}));
}

TEST(HandshakeMessages, PortBytesAtTheEnds) {
  Moduleproxy m;
  m.TargetHost = "1.2.3.4";
  m.TargetPort = 65535;
  EXPECT_EQ(Socks5Connect(m), (Bytes{5, 1, 0, 1, 1, 2, 3, 4, 0xFF, 0xFF}));
  m.TargetPort = 0;
  EXPECT_EQ(Socks4Request(m), (Bytes{4, 1, 0, 0, 1, 2, 3, 4, 0}));
}

TEST(HandshakeMessages, NoStoredTargetGivesTheZeroAddress) {
  Moduleproxy m;
  EXPECT_EQ(Socks4Request(m), (Bytes{4, 1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(HandshakeMessages, UserPassLengthsCountGbkBytes) {
  Moduleproxy m;
  m.AuthUser = "用户";  // two characters, four GBK bytes
  m.AuthPass = "";
  EXPECT_EQ(*Socks5UserPass(m), (Bytes{0x01, 0x04, 0xD3, 0xC3, 0xBB, 0xA7, 0x00}));
}

TEST(HandshakeMessages, UserPassBeyondOneLengthByteIsRefused) {
  Moduleproxy m;
  m.AuthUser = std::string(255, 'u');
  m.AuthPass = std::string(255, 'p');
  ASSERT_TRUE(Socks5UserPass(m));
  EXPECT_EQ(Socks5UserPass(m)->size(), 513u);
  m.AuthPass += "p";
  EXPECT_FALSE(Socks5UserPass(m));
}

TEST(HandshakeMessages, HttpRequestWithEmptyCredentialsCarriesColon) {
  const std::string r = HttpConnectRequest("10.1.1.1", "443", 1, "", "");
  EXPECT_EQ(r,
            "CONNECT 10.1.1.1:443 HTTP/1.1\r\nHost: 10.1.1.1:443\r\n"
            "Authorization: Basic Og==\r\nProxy-Authorization: Basic Og==\r\n\r\n");
}

TEST(HandshakeMessages, HttpStepStoresTheRequestBuiltFromTheBoxes) {
  Moduleproxy m = ReadyModule();
  FakeView view;
  view.targetHost = "127.0.0.2";
  // The port goes out as the number that was checked, without the box's spaces.
  view.targetPort = " 22 ";
  ProxyHandshake(m, view, ProxyType::Http11, HandshakeStep::Connected);
  EXPECT_EQ(m.HttpRequest, "CONNECT 127.0.0.2:22 HTTP/1.1\r\nHost: 127.0.0.2:22\r\n\r\n");
  EXPECT_EQ(view.events, std::vector<ViewEvent>{SentText(m.HttpRequest)});
}

TEST(HandshakeMessages, HttpStepRefusesBoxesTheRequestLineCannotHold) {
  Moduleproxy m = ReadyModule();
  FakeView view;
  view.targetHost = "a b";
  ProxyHandshake(m, view, ProxyType::Http11, HandshakeStep::Connected);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::Idle);
  ASSERT_EQ(view.Count(ViewEvent::Box), 1);
  EXPECT_EQ(view.Count(ViewEvent::Text), 0);
  EXPECT_EQ(view.events.back(), CloseEvent());
}

TEST(HandshakeMessages, OverlongUserAtSocks5Step2FailsInsteadOfWrappingTheLength) {
  Moduleproxy m = ReadyModule();
  m.AuthUser = std::string(256, 'u');
  m.HandshakeState = HandshakeStep::FirstReply;
  m.ReplyData = Hex({5, 2});
  FakeView view;
  ProxyHandshake(m, view, ProxyType::Socks5, HandshakeStep::FirstReply);
  EXPECT_EQ(m.HandshakeState, HandshakeStep::Idle);
  EXPECT_EQ(view.Count(ViewEvent::Bytes), 0);
  EXPECT_EQ(view.events.front(), BoxEvent(kTextUserTooLong, kErr, kWarn));
}

// --- TargetOctet ---------------------------------------------------------------

struct OctetCase {
  int n;
  const char* address;
  int expected;
};

class TargetOctetCase : public ::testing::TestWithParam<OctetCase> {};

TEST_P(TargetOctetCase, PicksTheNthNumber) {
  EXPECT_EQ(TargetOctet(GetParam().n, GetParam().address), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Addresses, TargetOctetCase,
                         ::testing::Values(OctetCase{1, "192.168.1.10", 192}, OctetCase{2, "192.168.1.10", 168},
                                           OctetCase{3, "192.168.1.10", 1}, OctetCase{4, "192.168.1.10", 10},
                                           OctetCase{4, "1.2.3", 0}, OctetCase{1, "", 0}, OctetCase{1, "300.1.1.1", 0},
                                           OctetCase{2, "1.x.3.4", 0}, OctetCase{1, "255.0.0.0", 255},
                                           OctetCase{0, "1.2.3.4", 0}, OctetCase{5, "1.2.3.4.5", 0},
                                           OctetCase{3, "1.2..4", 0}, OctetCase{1, "-1.2.3.4", 0}));

// --- Base64 ----------------------------------------------------------------------

struct Base64Case {
  const char* text;
  const char* encoded;
};

class Base64Vector : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64Vector, MatchesRfc4648) { EXPECT_EQ(Base64Encode(GetParam().text), GetParam().encoded); }

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vector,
                         ::testing::Values(Base64Case{"", ""}, Base64Case{"f", "Zg=="}, Base64Case{"fo", "Zm8="},
                                           Base64Case{"foo", "Zm9v"}, Base64Case{"foob", "Zm9vYg=="},
                                           Base64Case{"fooba", "Zm9vYmE="}, Base64Case{"foobar", "Zm9vYmFy"},
                                           Base64Case{":", "Og=="},
                                           Base64Case{"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
                                           Base64Case{"用户", "08O7pw=="}));

TEST(Base64Parts, GroupsLeaveOutPadding) {
  EXPECT_EQ(Base64Groups("f"), "Zg");
  EXPECT_EQ(Base64Groups("fo"), "Zm8");
  EXPECT_EQ(Base64Groups(std::string("\xFF\xFE\x00", 3)), "//4A");
  EXPECT_EQ(Base64Groups(std::string("\x00", 1)), "AA");
}

TEST(Base64Parts, DigitCoversTheAlphabetAndNothingElse) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) EXPECT_EQ(Base64Digit(i), alphabet.substr(static_cast<std::size_t>(i), 1)) << i;
  EXPECT_EQ(Base64Digit(-1), "");
  EXPECT_EQ(Base64Digit(64), "");
}

}  // namespace
}  // namespace mivo
