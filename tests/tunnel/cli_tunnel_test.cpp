// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// mivoproxy-cli tunnel against real proxies on loopback: exit codes and output.

#include <gtest/gtest.h>

#include "tests/support/cli.h"
#include "tests/tunnel/proxy_peers.h"

namespace mivo {
namespace {

struct CliRun {
  int exitCode = -1;
  std::string output;
};

CliRun Cli(const QStringList& args) {
  const test::CliResult r = test::RunCli(QStringList{"tunnel"} + args, {}, true);
  return {r.exitCode, r.out.toStdString()};
}

QString Addr(int port) { return QString("127.0.0.1:%1").arg(port); }

class CliTunnel : public ::testing::Test {
 protected:
  test::EchoServer echo;
};

TEST_F(CliTunnel, Socks5WithoutCredentialsSucceeds) {
  test::Endpoint proxy;
  auto process = test::StartMicrosocks(proxy);
  ASSERT_NE(process, nullptr);
  // The type in any case, as verify reads type cells.
  const CliRun r = Cli({"--type", "SOCKS5", "--proxy", Addr(proxy.port), "--target", Addr(echo.Port())});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "连接成功！无验证\n连接目标服务器成功！\n");
}

TEST_F(CliTunnel, Socks5CredentialsRightAndWrong) {
  test::Endpoint proxy{"127.0.0.1", 0, "cli", "pw"};
  auto process = test::StartMicrosocks(proxy);
  ASSERT_NE(process, nullptr);
  const QStringList common{"--type",   "socks5",          "--proxy", Addr(proxy.port),
                           "--target", Addr(echo.Port()), "--user",  "cli"};
  const CliRun ok = Cli(common + QStringList{"--password", "pw"});
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_EQ(ok.output, "连接成功！有验证\n连接成功！有验证！\n连接目标服务器成功！\n");
  const CliRun bad = Cli(common + QStringList{"--password", "nope"});
  EXPECT_EQ(bad.exitCode, 1) << bad.output;
  EXPECT_EQ(bad.output, "连接成功！有验证\n[错误] sock5代理校验用户名、密码失败！\n");
  // The same proxy as a URL: scheme and credentials from it.
  const CliRun url = Cli({"--proxy", "socks5://cli:pw@" + Addr(proxy.port), "--target", Addr(echo.Port())});
  EXPECT_EQ(url.output, ok.output);
}

TEST_F(CliTunnel, HttpWithBasicCredentials) {
  test::Endpoint proxy{"127.0.0.1", 0, "cli", "pw"};
  auto process = test::StartTinyproxy(proxy, echo.Port());
  ASSERT_NE(process, nullptr);
  const QStringList common{"--type", "http", "--proxy", Addr(proxy.port), "--target", Addr(echo.Port())};
  const CliRun ok = Cli(common + QStringList{"--user", "cli", "--password", "pw"});
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_EQ(ok.output, "连接目标服务器成功！\n");
  const CliRun none = Cli(common);
  EXPECT_EQ(none.exitCode, 1) << none.output;
  EXPECT_EQ(none.output, "[错误] HTTP1.1代理连接目标服务器失败！\n");
}

TEST_F(CliTunnel, RefusedProxyIsUnreachable) {
  const CliRun r = Cli({"--type", "socks4", "--proxy", Addr(test::FreeLoopbackPort()), "--target", Addr(echo.Port())});
  EXPECT_EQ(r.exitCode, 3) << r.output;
  EXPECT_NE(r.output.find("10061"), std::string::npos) << r.output;
}

TEST_F(CliTunnel, ProxyThatHangsUpMidHandshakeIsAFailure) {
  // Accepts, reads the greeting, and closes without answering.
  QTcpServer rude;
  ASSERT_TRUE(rude.listen(QHostAddress::LocalHost, 0));
  QObject::connect(&rude, &QTcpServer::newConnection, [&] {
    QTcpSocket* c = rude.nextPendingConnection();
    QObject::connect(c, &QTcpSocket::readyRead, c, [c] {
      c->readAll();
      c->disconnectFromHost();
    });
  });
  const CliRun r = Cli({"--type", "socks5", "--proxy", Addr(rude.serverPort()), "--target", Addr(echo.Port())});
  EXPECT_EQ(r.exitCode, 1) << r.output;
}

TEST_F(CliTunnel, ProxyThatNeverAnswersTimesOutAfterTimeout) {
  QTcpServer silent;  // the kernel completes the connect; nobody ever reads or answers
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
  const CliRun r = Cli(
      {"--type", "socks5", "--proxy", Addr(silent.serverPort()), "--target", Addr(echo.Port()), "--timeout", "0.5"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_EQ(r.output, "handshake timed out\n");
}

struct BadArgs {
  const char* name;
  QStringList args;
};

void PrintTo(const BadArgs& b, std::ostream* os) { *os << b.name; }

class CliTunnelInput : public ::testing::TestWithParam<BadArgs> {};

TEST_P(CliTunnelInput, RefusedWithoutConnecting) {
  QTcpServer listener;  // would see a connection if one were made
  ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
  QStringList args = GetParam().args;
  args.replaceInStrings("PROXY", Addr(listener.serverPort()));
  const CliRun r = Cli(args);
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_FALSE(listener.hasPendingConnections());
}

INSTANTIATE_TEST_SUITE_P(
    Args, CliTunnelInput,
    ::testing::Values(
        BadArgs{"UnknownType", {"--type", "socks6", "--proxy", "PROXY", "--target", "127.0.0.1:80"}},
        BadArgs{"NoTarget", {"--type", "socks4", "--proxy", "PROXY"}},
        BadArgs{"TargetName", {"--type", "socks4", "--proxy", "PROXY", "--target", "localhost:80"}},
        BadArgs{"TargetPort", {"--type", "socks5", "--proxy", "PROXY", "--target", "127.0.0.1:70000"}},
        BadArgs{"ProxyPort", {"--type", "socks5", "--proxy", "127.0.0.1:99999999999", "--target", "127.0.0.1:80"}},
        BadArgs{"DanglingFlag", {"--type", "http", "--proxy", "PROXY", "--target", "127.0.0.1:80", "--user"}},
        BadArgs{"Ipv6Proxy", {"--type", "socks5", "--proxy", "[::1]:1080", "--target", "127.0.0.1:80"}},
        BadArgs{"UserOnly", {"--type", "socks5", "--proxy", "PROXY", "--target", "127.0.0.1:80", "--user", "u"}},
        BadArgs{"PasswordOnly", {"--type", "http", "--proxy", "PROXY", "--target", "127.0.0.1:80", "--password", "p"}},
        BadArgs{"NoTimeout", {"--type", "socks4", "--proxy", "PROXY", "--target", "127.0.0.1:80", "--timeout", "0"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo
