// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The program's own tunnel logic through the sample site's listed proxies to
// the site's echo server, as the tunnel window and the command line use it.

#include <QTcpServer>

#include <gtest/gtest.h>

#include "tests/support/cli.h"
#include "tests/support/wait.h"
#include "tests/tools/listed_proxy.h"
#include "tests/tunnel/tunnel_run.h"
#include "tools/sample_site.h"
#include "tunnel/tunnel_texts.h"

namespace mivo::sample {
namespace {

// The engine's kinds, beside the site's own ProxyKind.
using enum ProxyType;

enum class Login { None, Right, Wrong };
enum class Aim { Echo, ClosedPort };

struct Case {
  const char* name;
  ProxyKind kind;
  bool credentials;  // the listed proxy asks for them
  ProxyType engineKind;
  Login login;  // what the user ticks and types
  Aim aim;
  const char* outcome;  // the status on success, or the failure box's text
  bool succeeds;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SiteProxies : public ::testing::TestWithParam<Case> {
 protected:
  SiteProxies() {
    SampleSiteOptions options = SampleSiteOptions::AnyFreePorts();
    std::string error;
    EXPECT_TRUE(site.Start(options, &error)) << error;
    EXPECT_TRUE(site.Warnings().empty());
  }

  SampleSite site;
  int closedPort = [] {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
  }();
};

TEST_P(SiteProxies, TunnelThroughTheListedProxy) {
  const Case& c = GetParam();
  const SampleProxy* proxy = FindListed(
      site, [&](const SampleProxy& p) { return p.listening && p.kind == c.kind && p.credentials == c.credentials; });
  ASSERT_NE(proxy, nullptr) << "the pages list such a proxy";
  ASSERT_NE(site.EchoPort(), 0);

  Moduleproxy m;
  m.ProxyKind = c.engineKind;
  test::TunnelRun run(m);
  run.view.ticked = c.login == Login::None ? 0 : 1;
  if (c.login != Login::None) {
    run.view.user = kSampleUser;
    run.view.password = c.login == Login::Right ? kSamplePassword : "wrong";
  }
  run.view.targetHost = "127.0.0.1";
  run.view.targetPort = std::to_string(c.aim == Aim::Echo ? site.EchoPort() : closedPort);
  ASSERT_TRUE(run.Connect(proxy->address, proxy->port));
  ASSERT_NO_FATAL_FAILURE(run.ExpectOutcome(c.outcome, c.succeeds));
  if (!c.succeeds) return;
  const Bytes probe{'s', 'a', 'm', 'p', 'l', 'e', 0x00, 0xFF, 0x05, '\r', '\n'};
  EXPECT_EQ(run.RoundTrip(probe), std::string(probe.begin(), probe.end()));
  // A second round trip: the relay keeps going both ways.
  EXPECT_EQ(run.RoundTrip(std::string("again")), "again");
}

const Case kCases[] = {
    {"Socks4", ProxyKind::Socks4, false, Socks4, Login::None, Aim::Echo, kTextTargetConnected, true},
    {"Socks4TargetRefused", ProxyKind::Socks4, false, Socks4, Login::None, Aim::ClosedPort, kTextSocks4Failed, false},
    {"Socks5", ProxyKind::Socks5, false, Socks5, Login::None, Aim::Echo, kTextTargetConnected, true},
    {"Socks5TargetRefused", ProxyKind::Socks5, false, Socks5, Login::None, Aim::ClosedPort, kTextTargetFailed, false},
    {"Socks5TickedWithoutServerAuth", ProxyKind::Socks5, false, Socks5, Login::Right, Aim::Echo, kTextProxyFailed,
     false},
    {"Socks5Login", ProxyKind::Socks5, true, Socks5, Login::Right, Aim::Echo, kTextTargetConnected, true},
    {"Socks5LoginWrongPassword", ProxyKind::Socks5, true, Socks5, Login::Wrong, Aim::Echo, kTextAuthRejected, false},
    {"Socks5LoginUnticked", ProxyKind::Socks5, true, Socks5, Login::None, Aim::Echo, kTextProxyFailed, false},
    {"Socks5LoginTargetRefused", ProxyKind::Socks5, true, Socks5, Login::Right, Aim::ClosedPort,
     kTextSocks5TargetFailed, false},
    {"Http", ProxyKind::Http11, false, Http11, Login::None, Aim::Echo, kTextTargetConnected, true},
    {"HttpTargetRefused", ProxyKind::Http11, false, Http11, Login::None, Aim::ClosedPort, kTextHttpFailed, false},
    {"HttpBasic", ProxyKind::Http11, true, Http11, Login::Right, Aim::Echo, kTextTargetConnected, true},
    {"HttpBasicWrongPassword", ProxyKind::Http11, true, Http11, Login::Wrong, Aim::Echo, kTextHttpFailed, false},
    {"HttpBasicUnticked", ProxyKind::Http11, true, Http11, Login::None, Aim::Echo, kTextHttpFailed, false},
    // A SOCKS5 proxy spoken to as HTTP answers with nothing the engine takes for success.
    {"HttpToSocks5", ProxyKind::Socks5, false, Http11, Login::None, Aim::Echo, kTextHttpFailed, false},
};

INSTANTIATE_TEST_SUITE_P(Loopback, SiteProxies, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SiteProxiesCli, Socks4TunnelThroughTheSiteExitsZero) {
  SampleSite site;
  SampleSiteOptions options = SampleSiteOptions::AnyFreePorts();
  std::string error;
  ASSERT_TRUE(site.Start(options, &error)) << error;
  const SampleProxy* socks4 =
      FindListed(site, [](const SampleProxy& p) { return p.listening && p.kind == ProxyKind::Socks4; });
  ASSERT_NE(socks4, nullptr);

  // The site in this process answers while the program runs.
  const test::CliResult r = test::RunCli({"tunnel", "--type", "socks4", "--proxy",
                                          QString::fromStdString(socks4->address) + ":" + QString::number(socks4->port),
                                          "--target", "127.0.0.1:" + QString::number(site.EchoPort())},
                                         {}, true);
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
  EXPECT_EQ(r.out.toStdString(), "连接目标服务器成功！\n");
}

// The relay ends with either side: a target that says goodbye and closes
// closes the client's connection after the goodbye, and a client that leaves
// closes the target's.
TEST(SiteRelay, EitherSideClosingEndsTheOther) {
  SampleProxy listed;
  listed.kind = ProxyKind::Socks4;
  ProxyListener listener(listed, SpeakingConversation);
  ASSERT_TRUE(listener.Listen(QHostAddress::LocalHost, 0, nullptr));

  QTcpServer target;
  ASSERT_TRUE(target.listen(QHostAddress::LocalHost, 0));
  std::vector<QTcpSocket*> accepted;
  QObject::connect(&target, &QTcpServer::newConnection, [&] {
    while (QTcpSocket* t = target.nextPendingConnection()) accepted.push_back(t);
  });
  auto open = [&](QTcpSocket& client, QByteArray& back) {
    QObject::connect(&client, &QTcpSocket::readyRead, [&] { back += client.readAll(); });
    client.connectToHost(QHostAddress::LocalHost, listener.Port());
    const quint16 port = target.serverPort();
    client.write(QByteArray("\x04\x01", 2) + char(port >> 8) + char(port & 0xFF) +
                 QByteArray("\x7F\x00\x00\x01\x00", 5));
    return test::WaitUntil([&] { return back.size() >= 8; }) && back.at(1) == char(90);
  };

  QTcpSocket first;
  QByteArray back;
  ASSERT_TRUE(open(first, back)) << back.toHex().toStdString();
  ASSERT_TRUE(test::WaitUntil([&] { return accepted.size() == 1; }));
  accepted[0]->write("bye");
  accepted[0]->disconnectFromHost();
  ASSERT_TRUE(test::WaitUntil([&] { return first.state() == QAbstractSocket::UnconnectedState; }));
  back += first.readAll();
  EXPECT_EQ(back.mid(8), "bye");

  QTcpSocket second;
  QByteArray back2;
  ASSERT_TRUE(open(second, back2)) << back2.toHex().toStdString();
  ASSERT_TRUE(test::WaitUntil([&] { return accepted.size() == 2; }));
  bool targetClosed = false;
  QObject::connect(accepted[1], &QTcpSocket::disconnected, [&] { targetClosed = true; });
  second.disconnectFromHost();
  EXPECT_TRUE(test::WaitUntil([&] { return targetClosed; }));
  EXPECT_TRUE(test::WaitUntil([&] { return listener.Connections() == 0; }));
}

TEST(SiteEcho, FixedPortByDefaultAndReportedWhenTaken) {
  // Another site holds the echo port; a second one says so and still serves.
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
  SampleSite site;
  SampleSiteOptions options = SampleSiteOptions::AnyFreePorts();
  options.echoPort = holder.serverPort();
  std::string error;
  ASSERT_TRUE(site.Start(options, &error)) << error;
  EXPECT_EQ(site.EchoPort(), 0);
  ASSERT_FALSE(site.Warnings().empty());
  EXPECT_NE(site.Warnings().front().find("echo 127.0.0.1:" + std::to_string(holder.serverPort())), std::string::npos);
  EXPECT_EQ(SampleSiteOptions{}.echoPort, 7007);
}

}  // namespace
}  // namespace mivo::sample
