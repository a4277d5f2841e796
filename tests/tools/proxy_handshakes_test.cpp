// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The listed proxies' server handshakes, byte by byte: replies, arrivals in
// pieces, credentials, and the refusal of every target off the machine.

#include "tools/proxy_handshakes.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace mivo::sample {
namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

enum class Outcome { Relays, TargetRefused, Refused };

struct Case {
  const char* name;
  ProxyKind kind;
  bool credentials;
  std::vector<std::string> sent;      // the client's messages, in order
  std::string reply;                  // every byte the proxy answers, target outcome included
  std::optional<std::string> target;  // "address:port" the proxy connects to
  Outcome outcome;
  std::string early = {};  // bytes the target receives as the tunnel opens
  Disclosure disclosure = Disclosure::None;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::unique_ptr<ProxyHandshake> Make(const Case& c) {
  SampleProxy proxy;
  proxy.kind = c.kind;
  proxy.credentials = c.credentials;
  proxy.disclosure = c.disclosure;
  std::unique_ptr<ProxyHandshake> h = HandshakeFor(proxy);
  h->ClientIs("127.0.0.1");
  return h;
}

// Feeds the case's bytes in the given piece size (0: one message at a time)
// and reports the target's outcome when asked for one.
struct Transcript {
  std::string reply;
  std::string toTarget;
  std::vector<std::string> opened;
  int closes = 0;
};

Transcript Play(ProxyHandshake& h, const Case& c, std::size_t piece) {
  Transcript t;
  auto take = [&](const HandshakeTurn& turn) {
    EXPECT_EQ(t.closes, 0) << "nothing after the close";
    t.reply += turn.reply;
    t.toTarget += turn.toTarget;
    if (turn.open) {
      t.opened.push_back(turn.open->address.toString().toStdString() + ":" + std::to_string(turn.open->port));
      EXPECT_TRUE(IsLoopback(turn.open->address));
    }
    t.closes += turn.close ? 1 : 0;
  };
  for (const std::string& message : c.sent) {
    const std::size_t step = piece == 0 ? message.size() : piece;
    for (std::size_t at = 0; at < message.size() && t.closes == 0; at += step)
      take(h.Received(message.substr(at, step)));
  }
  if (!t.opened.empty()) take(h.TargetConnected(c.outcome == Outcome::Relays));
  return t;
}

class Handshake : public ::testing::TestWithParam<std::tuple<Case, std::size_t>> {};

TEST_P(Handshake, RepliesConnectsAndCloses) {
  const auto& [c, piece] = GetParam();
  std::unique_ptr<ProxyHandshake> h = Make(c);
  const Transcript t = Play(*h, c, piece);
  EXPECT_EQ(t.reply, c.reply);
  if (c.target) {
    EXPECT_EQ(t.opened, std::vector<std::string>{*c.target});
  } else {
    EXPECT_TRUE(t.opened.empty());
  }
  EXPECT_EQ(t.closes, c.outcome == Outcome::Relays ? 0 : 1);
  EXPECT_EQ(h->Relaying(), c.outcome == Outcome::Relays);
  EXPECT_EQ(h->Closed(), c.outcome != Outcome::Relays);
  EXPECT_EQ(t.toTarget, c.early);
  // Once open, every byte goes through unchanged; once closed, nothing does.
  const HandshakeTurn after = h->Received(B({0x05, 0x00, 'x', 0xFF}));
  EXPECT_EQ(after.toTarget, c.outcome == Outcome::Relays ? B({0x05, 0x00, 'x', 0xFF}) : "");
  EXPECT_TRUE(after.reply.empty());
  EXPECT_FALSE(after.open);
}

const std::string kSocks4To8080 = B({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0});
const std::string kGranted8080 = B({0, 90, 0x1F, 0x90, 127, 0, 0, 1});
const std::string kSocks5Connect8080 = B({5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
const std::string kSocks5Ok = B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0});
const std::string kSampleLogin = B({1, 4, 'm', 'i', 'v', 'o', 5, 'p', 'r', 'o', 'x', 'y'});
const std::string kHttpOk = "HTTP/1.1 200 Connection established\r\n\r\n";

std::string HttpRefusal(const std::string& statusLine, const std::string& headers = {}) {
  return "HTTP/1.1 " + statusLine + "\r\n" + headers + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

const Case kCases[] = {
    // SOCKS4
    {"Socks4Grants", ProxyKind::Socks4, false, {kSocks4To8080}, kGranted8080, "127.0.0.1:8080", Outcome::Relays},
    {"Socks4UserIdAndEarlyBytes",
     ProxyKind::Socks4,
     false,
     {B({4, 1, 0x00, 0x50, 127, 3, 2, 1, 'a', 'b', 0}) + "hi"},
     B({0, 90, 0x00, 0x50, 127, 3, 2, 1}),
     "127.3.2.1:80",
     Outcome::Relays,
     "hi"},
    {"Socks4TargetRefused",
     ProxyKind::Socks4,
     false,
     {kSocks4To8080},
     B({0, 91, 0x1F, 0x90, 127, 0, 0, 1}),
     "127.0.0.1:8080",
     Outcome::TargetRefused},
    {"Socks4OffTheMachine",
     ProxyKind::Socks4,
     false,
     {B({4, 1, 0x01, 0xBB, 192, 168, 1, 10, 0})},
     B({0, 91, 0x01, 0xBB, 192, 168, 1, 10}),
     std::nullopt,
     Outcome::Refused},
    {"Socks4NameLookup",
     ProxyKind::Socks4,
     false,
     {B({4, 1, 0, 80, 0, 0, 0, 1, 0}) + "localhost" + B({0})},
     B({0, 91, 0, 80, 0, 0, 0, 1}),
     std::nullopt,
     Outcome::Refused},
    {"Socks4Bind",
     ProxyKind::Socks4,
     false,
     {B({4, 2, 0x1F, 0x90, 127, 0, 0, 1, 0})},
     B({0, 91, 0x1F, 0x90, 127, 0, 0, 1}),
     std::nullopt,
     Outcome::Refused},
    {"Socks4Version5",
     ProxyKind::Socks4,
     false,
     {B({5, 1, 0x1F, 0x90, 127, 0, 0, 1, 0})},
     B({0, 91, 0x1F, 0x90, 127, 0, 0, 1}),
     std::nullopt,
     Outcome::Refused},
    // SOCKS5 without credentials
    {"Socks5NoAuth",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), kSocks5Connect8080},
     B({5, 0}) + kSocks5Ok,
     "127.0.0.1:8080",
     Outcome::Relays},
    {"Socks5NoAuthAmongOthers",
     ProxyKind::Socks5,
     false,
     {B({5, 3, 2, 1, 0}), kSocks5Connect8080 + "early"},
     B({5, 0}) + kSocks5Ok,
     "127.0.0.1:8080",
     Outcome::Relays,
     "early"},
    {"Socks5Ipv6Loopback",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), B({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x00, 0x50})},
     B({5, 0}) + kSocks5Ok,
     "::1:80",
     Outcome::Relays},
    {"Socks5OnlyUserPassOffered",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 2})},
     B({5, 0xFF}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5TargetRefused",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), kSocks5Connect8080},
     B({5, 0, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0}),
     "127.0.0.1:8080",
     Outcome::TargetRefused},
    {"Socks5OffTheMachine",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), B({5, 1, 0, 1, 10, 0, 0, 1, 0, 80})},
     B({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5Ipv6OffTheMachine",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), B({5, 1, 0, 4, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80})},
     B({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5NameNotLookedUp",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), B({5, 1, 0, 3, 9}) + "localhost" + B({0, 80})},
     B({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5Bind",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), B({5, 2, 0, 1, 127, 0, 0, 1, 0, 80})},
     B({5, 0, 5, 7, 0, 1, 0, 0, 0, 0, 0, 0}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5UnknownAddressType",
     ProxyKind::Socks5,
     false,
     {B({5, 1, 0}), B({5, 1, 0, 9, 127})},
     B({5, 0, 5, 8, 0, 1, 0, 0, 0, 0, 0, 0}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5NotSocks",
     ProxyKind::Socks5,
     false,
     {"GET / HTTP/1.1\r\n\r\n"},
     B({5, 0xFF}),
     std::nullopt,
     Outcome::Refused},
    // SOCKS5 with the sample credentials
    {"Socks5Login",
     ProxyKind::Socks5,
     true,
     {B({5, 1, 2}), kSampleLogin, kSocks5Connect8080},
     B({5, 2, 1, 0}) + kSocks5Ok,
     "127.0.0.1:8080",
     Outcome::Relays},
    {"Socks5LoginAmongOthers",
     ProxyKind::Socks5,
     true,
     {B({5, 2, 0, 2}), kSampleLogin, kSocks5Connect8080},
     B({5, 2, 1, 0}) + kSocks5Ok,
     "127.0.0.1:8080",
     Outcome::Relays},
    {"Socks5WrongPassword",
     ProxyKind::Socks5,
     true,
     {B({5, 1, 2}), B({1, 4, 'm', 'i', 'v', 'o', 5, 'p', 'r', 'o', 'x', 'Y'}), kSocks5Connect8080},
     B({5, 2, 1, 1}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5WrongUser",
     ProxyKind::Socks5,
     true,
     {B({5, 1, 2}), B({1, 3, 'm', 'i', 'v', 5, 'p', 'r', 'o', 'x', 'y'})},
     B({5, 2, 1, 1}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5EmptyLogin",
     ProxyKind::Socks5,
     true,
     {B({5, 1, 2}), B({1, 0, 0})},
     B({5, 2, 1, 1}),
     std::nullopt,
     Outcome::Refused},
    {"Socks5NoAuthOffered", ProxyKind::Socks5, true, {B({5, 1, 0})}, B({5, 0xFF}), std::nullopt, Outcome::Refused},
    {"Socks5LoginThenOffTheMachine",
     ProxyKind::Socks5,
     true,
     {B({5, 1, 2}), kSampleLogin, B({5, 1, 0, 1, 172, 16, 0, 1, 0, 80})},
     B({5, 2, 1, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}),
     std::nullopt,
     Outcome::Refused},
    // HTTP CONNECT
    {"HttpConnect",
     ProxyKind::Http11,
     false,
     {"CONNECT 127.0.0.1:8080 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n"},
     kHttpOk,
     "127.0.0.1:8080",
     Outcome::Relays},
    {"HttpConnectEarlyBytes",
     ProxyKind::Http11,
     false,
     {"CONNECT 127.9.9.9:443 HTTP/1.0\r\n\r\nhello"},
     kHttpOk,
     "127.9.9.9:443",
     Outcome::Relays,
     "hello"},
    {"HttpConnectIpv6",
     ProxyKind::Http11,
     false,
     {"CONNECT [::1]:8080 HTTP/1.1\r\n\r\n"},
     kHttpOk,
     "::1:8080",
     Outcome::Relays},
    {"HttpTargetRefused",
     ProxyKind::Http11,
     false,
     {"CONNECT 127.0.0.1:8080 HTTP/1.1\r\n\r\n"},
     HttpRefusal("502 Bad Gateway"),
     "127.0.0.1:8080",
     Outcome::TargetRefused},
    {"HttpOffTheMachine",
     ProxyKind::Http11,
     false,
     {"CONNECT 192.168.1.10:443 HTTP/1.1\r\n\r\n"},
     HttpRefusal("403 Forbidden"),
     std::nullopt,
     Outcome::Refused},
    {"HttpNameNotLookedUp",
     ProxyKind::Http11,
     false,
     {"CONNECT localhost:443 HTTP/1.1\r\n\r\n"},
     HttpRefusal("403 Forbidden"),
     std::nullopt,
     Outcome::Refused},
    {"HttpPost",
     ProxyKind::Http11,
     false,
     {"POST http://127.0.0.1/ HTTP/1.1\r\n\r\n"},
     HttpRefusal("405 Method Not Allowed", "Allow: CONNECT, GET\r\n"),
     std::nullopt,
     Outcome::Refused},
    // GET in absolute form: passed on with its path alone, the target answers.
    {"HttpGet",
     ProxyKind::Http11,
     false,
     {"GET http://127.0.0.1/ HTTP/1.1\r\n\r\n"},
     "",
     "127.0.0.1:80",
     Outcome::Relays,
     "GET / HTTP/1.1\r\n\r\n"},
    {"HttpGetHeadersAndEarlyBytes",
     ProxyKind::Http11,
     false,
     {"GET http://127.0.0.1:8086/judge?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8086\r\nProxy-Connection: close\r\n"
      "Connection: close\r\n\r\nmore"},
     "",
     "127.0.0.1:8086",
     Outcome::Relays,
     "GET /judge?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8086\r\nConnection: close\r\n\r\nmore"},
    {"HttpGetVia",
     ProxyKind::Http11,
     false,
     {"GET http://127.0.0.1:8086/judge HTTP/1.1\r\nHost: 127.0.0.1:8086\r\n\r\n"},
     "",
     "127.0.0.1:8086",
     Outcome::Relays,
     "GET /judge HTTP/1.1\r\nHost: 127.0.0.1:8086\r\nVia: 1.1 mivo-sample\r\n\r\n",
     Disclosure::Via},
    {"HttpGetViaAndForwardedFor",
     ProxyKind::Http11,
     false,
     {"GET http://127.0.0.1:8086/judge HTTP/1.1\r\n\r\n"},
     "",
     "127.0.0.1:8086",
     Outcome::Relays,
     "GET /judge HTTP/1.1\r\nVia: 1.1 mivo-sample\r\nX-Forwarded-For: 127.0.0.1\r\n\r\n",
     Disclosure::ViaAndForwardedFor},
    {"HttpGetTargetRefused",
     ProxyKind::Http11,
     false,
     {"GET http://127.0.0.1:8086/ HTTP/1.1\r\n\r\n"},
     HttpRefusal("502 Bad Gateway"),
     "127.0.0.1:8086",
     Outcome::TargetRefused},
    {"HttpGetOffTheMachine",
     ProxyKind::Http11,
     false,
     {"GET http://192.168.1.10/ HTTP/1.1\r\n\r\n"},
     HttpRefusal("403 Forbidden"),
     std::nullopt,
     Outcome::Refused},
    {"HttpGetNotAbsolute",
     ProxyKind::Http11,
     false,
     {"GET /judge HTTP/1.1\r\n\r\n"},
     HttpRefusal("400 Bad Request"),
     std::nullopt,
     Outcome::Refused},
    {"HttpBadPort",
     ProxyKind::Http11,
     false,
     {"CONNECT 127.0.0.1:65536 HTTP/1.1\r\n\r\n"},
     HttpRefusal("400 Bad Request"),
     std::nullopt,
     Outcome::Refused},
    {"HttpNoPort",
     ProxyKind::Http11,
     false,
     {"CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n"},
     HttpRefusal("400 Bad Request"),
     std::nullopt,
     Outcome::Refused},
    {"HttpNotHttp",
     ProxyKind::Http11,
     false,
     {B({5, 1, 0}) + "\r\n\r\n"},
     HttpRefusal("400 Bad Request"),
     std::nullopt,
     Outcome::Refused},
    {"HttpHeadTooLong",
     ProxyKind::Http11,
     false,
     {"CONNECT 127.0.0.1:80 HTTP/1.1\r\nX: " + std::string(kMaxHandshakeBytes, 'a')},
     HttpRefusal("431 Request Header Fields Too Large"),
     std::nullopt,
     Outcome::Refused},
    // HTTP CONNECT with the sample credentials (both header names, as the program sends them)
    {"HttpBasic",
     ProxyKind::Http11,
     true,
     {"CONNECT 127.0.0.1:8080 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nAuthorization: Basic bWl2bzpwcm94eQ==\r\n"
      "Proxy-Authorization: Basic bWl2bzpwcm94eQ==\r\n\r\n"},
     kHttpOk,
     "127.0.0.1:8080",
     Outcome::Relays},
    {"HttpBasicAnyCase",
     ProxyKind::Http11,
     true,
     {"CONNECT 127.0.0.1:8080 HTTP/1.1\r\nproxy-authorization:  BASIC bWl2bzpwcm94eQ==\r\n\r\n"},
     kHttpOk,
     "127.0.0.1:8080",
     Outcome::Relays},
    {"HttpBasicWrongPassword",
     ProxyKind::Http11,
     true,
     {"CONNECT 127.0.0.1:8080 HTTP/1.1\r\nProxy-Authorization: Basic bWl2bzpwcm94WQ==\r\n\r\n"},
     HttpRefusal("407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"mivo\"\r\n"),
     std::nullopt,
     Outcome::Refused},
    {"HttpBasicOnlyAsServerAuthorization",
     ProxyKind::Http11,
     true,
     {"CONNECT 127.0.0.1:8080 HTTP/1.1\r\nAuthorization: Basic bWl2bzpwcm94eQ==\r\n\r\n"},
     HttpRefusal("407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"mivo\"\r\n"),
     std::nullopt,
     Outcome::Refused},
    {"HttpBasicMissing",
     ProxyKind::Http11,
     true,
     {"CONNECT 127.0.0.1:8080 HTTP/1.1\r\n\r\n"},
     HttpRefusal("407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"mivo\"\r\n"),
     std::nullopt,
     Outcome::Refused},
    {"HttpGetBasic",
     ProxyKind::Http11,
     true,
     {"GET http://127.0.0.1:8086/judge HTTP/1.1\r\nProxy-Authorization: Basic bWl2bzpwcm94eQ==\r\n\r\n"},
     "",
     "127.0.0.1:8086",
     Outcome::Relays,
     "GET /judge HTTP/1.1\r\n\r\n"},
    {"HttpGetBasicMissing",
     ProxyKind::Http11,
     true,
     {"GET http://127.0.0.1:8086/judge HTTP/1.1\r\n\r\n"},
     HttpRefusal("407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"mivo\"\r\n"),
     std::nullopt,
     Outcome::Refused},
};

INSTANTIATE_TEST_SUITE_P(Bytes, Handshake,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Values(0u, 1u, 3u)),
                         [](const auto& info) {
                           const std::size_t piece = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param).name) +
                                  (piece == 0 ? "_Whole" : "_Pieces" + std::to_string(piece));
                         });

TEST(HandshakeBounds, AnEndlessUserIdIsRefused) {
  Socks4Handshake h;
  HandshakeTurn turn = h.Received(B({4, 1, 0, 80, 127, 0, 0, 1}));
  std::size_t sent = 8;
  while (!turn.close && sent < 4 * kMaxHandshakeBytes) {
    turn = h.Received(std::string(512, 'u'));
    sent += 512;
  }
  EXPECT_TRUE(turn.close);
  EXPECT_LE(sent, kMaxHandshakeBytes + 512);
  EXPECT_EQ(turn.reply, B({0, 91, 0, 80, 127, 0, 0, 1}));
  EXPECT_FALSE(turn.open);
}

TEST(HandshakeBounds, BytesAheadOfTheTunnelAreHeldOnlySoFar) {
  Socks5Handshake h(false);
  h.Received(B({5, 1, 0}));
  HandshakeTurn turn = h.Received(kSocks5Connect8080);
  ASSERT_TRUE(turn.open);
  ASSERT_EQ(h.Current(), Socks5Handshake::Step::Connecting);
  std::size_t held = 0;
  while (!turn.close && held <= 2 * kMaxEarlyBytes) {
    turn = h.Received(std::string(4096, 'e'));
    held += 4096;
  }
  EXPECT_TRUE(turn.close);
  EXPECT_GT(held, kMaxEarlyBytes);
  EXPECT_LE(held, kMaxEarlyBytes + 4096);
  // A connection that completes afterwards changes nothing.
  EXPECT_TRUE(h.TargetConnected(true).reply.empty());
  EXPECT_TRUE(h.Closed());
}

TEST(HandshakeBounds, OutcomeBeforeAnyRequestIsIgnored) {
  HttpConnectHandshake h(false);
  const HandshakeTurn turn = h.TargetConnected(true);
  EXPECT_TRUE(turn.reply.empty());
  EXPECT_FALSE(turn.close);
  EXPECT_EQ(h.Current(), HttpConnectHandshake::Step::Head);
}

struct LoopbackCase {
  const char* address;
  bool loopback;
};

class Loopback : public ::testing::TestWithParam<LoopbackCase> {};

TEST_P(Loopback, OnlyThisMachine) {
  EXPECT_EQ(IsLoopback(QHostAddress(QString::fromLatin1(GetParam().address))), GetParam().loopback);
}

INSTANTIATE_TEST_SUITE_P(Addresses, Loopback,
                         ::testing::Values(LoopbackCase{"127.0.0.1", true}, LoopbackCase{"127.255.255.254", true},
                                           LoopbackCase{"::1", true}, LoopbackCase{"128.0.0.1", false},
                                           LoopbackCase{"126.255.255.255", false}, LoopbackCase{"0.0.0.0", false},
                                           LoopbackCase{"::", false}, LoopbackCase{"not an address", false}));

}  // namespace
}  // namespace mivo::sample
