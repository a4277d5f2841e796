// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The handshake against real proxy servers on loopback (or those named by
// MIVO_TEST_SOCKS4 / MIVO_TEST_SOCKS5 / MIVO_TEST_SOCKS5_AUTH /
// MIVO_TEST_HTTP_PROXY), tunnelling to a loopback echo server. No SOCKS4
// server is packaged; the sample site's own one stands in.

#include <gtest/gtest.h>

#include "tests/tunnel/proxy_peers.h"
#include "tests/tunnel/tunnel_run.h"
#include "tools/sample_site.h"
#include "tunnel/tunnel_texts.h"

namespace mivo {
namespace {

using test::Endpoint;
using test::ViewEvent;

enum class Peer { Socks4, Socks5, Socks5Auth, Http, HttpAuth };
// The engine's kinds, beside the peers.
using enum ProxyType;

struct Case {
  const char* name;
  Peer peer;
  ProxyType kind;
  int ticked;
  bool wrongPassword;
  bool closedTarget;    // ask for a port where nothing listens
  const char* outcome;  // the status on success, or the failure box's text
  bool succeeds;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RealProxy : public ::testing::TestWithParam<Case> {
 protected:
  // The proxy of the case: from the environment, or started here.
  bool StartPeer(const Case& c) {
    const char* envName = nullptr;
    switch (c.peer) {
      case Peer::Socks4: envName = "MIVO_TEST_SOCKS4"; break;
      case Peer::Socks5: envName = "MIVO_TEST_SOCKS5"; break;
      case Peer::Socks5Auth: envName = "MIVO_TEST_SOCKS5_AUTH"; break;
      case Peer::Http:
      case Peer::HttpAuth: envName = "MIVO_TEST_HTTP_PROXY"; break;
    }
    if (std::optional<Endpoint> e = test::EndpointFromEnv(envName)) {
      proxy = *e;
      return c.peer != Peer::HttpAuth || !proxy.user.empty();
    }
    const int targetPort = c.closedTarget ? closedPort : echo.Port();
    switch (c.peer) {
      case Peer::Socks4: {
        sample::SampleProxy listed;
        listed.kind = sample::ProxyKind::Socks4;
        site = std::make_unique<sample::ProxyListener>(listed, sample::SpeakingConversation);
        if (!site->Listen(QHostAddress::LocalHost, 0, nullptr)) return false;
        proxy.port = site->Port();
        return true;
      }
      case Peer::Socks5: process = test::StartMicrosocks(proxy); break;
      case Peer::Socks5Auth:
        proxy = {"127.0.0.1", 0, "tunnel", "s3cret"};
        process = test::StartMicrosocks(proxy);
        break;
      case Peer::Http: process = test::StartTinyproxy(proxy, targetPort); break;
      case Peer::HttpAuth:
        proxy = {"127.0.0.1", 0, "tunnel", "s3cret"};
        process = test::StartTinyproxy(proxy, targetPort);
        break;
    }
    return process != nullptr;
  }

  test::EchoServer echo;
  int closedPort = test::FreeLoopbackPort();
  Endpoint proxy;
  std::unique_ptr<test::ProxyProcess> process;
  std::unique_ptr<sample::ProxyListener> site;
};

TEST_P(RealProxy, Handshake) {
  const Case& c = GetParam();
  if (!StartPeer(c)) GTEST_SKIP() << "no proxy for this case (set the environment variable to name one)";

  Moduleproxy m;
  m.ProxyKind = c.kind;
  test::TunnelRun run(m);
  run.view.ticked = c.ticked;
  run.view.user = proxy.user;
  run.view.password = c.wrongPassword ? proxy.password + "x" : proxy.password;
  run.view.targetHost = "127.0.0.1";
  run.view.targetPort = std::to_string(c.closedTarget ? closedPort : echo.Port());
  ASSERT_TRUE(run.Connect(proxy.host, proxy.port));
  ASSERT_NO_FATAL_FAILURE(run.ExpectOutcome(c.outcome, c.succeeds));
  if (!c.succeeds) {
    EXPECT_EQ(run.view.events.back().kind, ViewEvent::Close);
    return;
  }
  // The tunnel is open: bytes go through to the target and come back.
  const Bytes probe{'t', 'u', 'n', 'n', 'e', 'l', 0x00, 0xFF, '\r', '\n'};
  EXPECT_EQ(run.RoundTrip(probe), std::string(probe.begin(), probe.end()));
  EXPECT_EQ(m.HandshakeState, HandshakeStep::TunnelOpen);
}

const Case kCases[] = {
    {"Socks4", Peer::Socks4, Socks4, 0, false, false, kTextTargetConnected, true},
    {"Socks4TargetRefused", Peer::Socks4, Socks4, 0, false, true, kTextSocks4Failed, false},
    {"Socks5", Peer::Socks5, Socks5, 0, false, false, kTextTargetConnected, true},
    // The proxy reaches nothing at the target: read as the CONNECT reply at step 3.
    {"Socks5TargetRefused", Peer::Socks5, Socks5, 0, false, true, kTextTargetFailed, false},
    // Ticked against a proxy without authentication: it waives nothing, it refuses method 02.
    {"Socks5TickedWithoutServerAuth", Peer::Socks5, Socks5, 1, false, false, kTextProxyFailed, false},
    {"Socks5Auth", Peer::Socks5Auth, Socks5, 1, false, false, kTextTargetConnected, true},
    {"Socks5AuthWrongPassword", Peer::Socks5Auth, Socks5, 1, true, false, kTextAuthRejected, false},
    {"Socks5AuthUnticked", Peer::Socks5Auth, Socks5, 0, false, false, kTextProxyFailed, false},
    {"Socks5AuthTargetRefused", Peer::Socks5Auth, Socks5, 1, false, true, kTextSocks5TargetFailed, false},
    {"Http", Peer::Http, Http11, 0, false, false, kTextTargetConnected, true},
    {"HttpTargetRefused", Peer::Http, Http11, 0, false, true, kTextHttpFailed, false},
    {"HttpAuth", Peer::HttpAuth, Http11, 1, false, false, kTextTargetConnected, true},
    {"HttpAuthWrongPassword", Peer::HttpAuth, Http11, 1, true, false, kTextHttpFailed, false},
    {"HttpAuthUnticked", Peer::HttpAuth, Http11, 0, false, false, kTextHttpFailed, false},
};

INSTANTIATE_TEST_SUITE_P(Loopback, RealProxy, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo
