// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <arpa/inet.h>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "socket/faulty_sockets_layer.h"
#include "socket/winsock.h"
#include "tests/socket/socket_fixture.h"

namespace mivo {
namespace {

using namespace test;

// A control on the fault-injecting layer, its events logged.
class Faults : public SocketTest {
 protected:
  Faults() { log.Attach(w); }
  void TearDown() override {
    control_.reset();
    SocketTest::TearDown();
  }
  FaultySocketsLayer layer;
  // Made after the layer, so that it uses it; gone before the check for leaks.
  std::unique_ptr<WinSock> control_ = std::make_unique<WinSock>();
  WinSock& w = *control_;
  EventLog log;
};

TEST_F(Faults, SocketCreationFailureRaisesFromSocketExistsAndSticks) {
  layer.FailNext(SockCall::socket, WSAEMFILE);
  w.Connect("127.0.0.1", 80);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 10024 打开文件过多. WinSock.SocketExists 0 [] 0 cancel");
  EXPECT_EQ(log.states[0], SocketState::Error);
  EXPECT_EQ(w.SocketHandle(), -1);
  // Nothing to close, so the state stays.
  w.CloseSck();
  EXPECT_EQ(w.State(), SocketState::Error);
}

TEST_F(Faults, FailedRegistrationFailsTheConnectSilently) {
  layer.FailNext(SockCall::WSAAsyncSelect, WSAENOBUFS);
  w.Connect("127.0.0.1", 80);
  EXPECT_EQ(w.State(), SocketState::Closed);
  EXPECT_EQ(layer.Calls(SockCall::bind), 0);
  EXPECT_TRUE(log.lines.empty());
  w.CloseSck();
}

TEST_F(Faults, LookupThatCannotStartRaisesFromResolveIfHostname) {
  layer.FailNext(SockCall::WSAAsyncGetHostByName, WSATRY_AGAIN);
  w.Connect("proxy.example", 8080);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 11002 非授权主机没有找到. WinSock.ResolveIfHostname 0 [] 0 cancel");
  EXPECT_EQ(w.State(), SocketState::Error);
  w.CloseSck();
}

TEST_F(Faults, LookupBufferFailureEndsInErrorWithoutAnEvent) {
  layer.FailNext(SockCall::AllocLookupBuffer, WSAENOBUFS);
  w.Connect("proxy.example", 8080);
  EXPECT_EQ(w.State(), SocketState::Error);
  EXPECT_EQ(layer.Calls(SockCall::WSAAsyncGetHostByName), 0);
  Settle();
  EXPECT_TRUE(log.lines.empty());
  w.CloseSck();
}

TEST_F(Faults, LookupAnsweredGoesThroughHostResolvedToConnected) {
  // Records the control's state whenever the lookup buffer is given back.
  struct Watch : FaultySocketsLayer {
    WinSock* w = nullptr;
    std::vector<SocketState> states;
    void FreeLookupBuffer(std::unique_ptr<HostLookupBuffer> b) override {
      states.push_back(w->State());
      FaultySocketsLayer::FreeLookupBuffer(std::move(b));
    }
  } watch;
  RawListener listener;
  WinSock watched;  // on the watching layer
  watch.w = &watched;
  log.Attach(watched);
  watch.ScriptLookup("proxy.example", 0, {htonl(INADDR_LOOPBACK)});
  watched.Connect("proxy.example", listener.port());
  EXPECT_EQ(watched.State(), SocketState::ResolvingHost);
  ASSERT_TRUE(WaitUntil([&] { return log.connects == 1; }));
  EXPECT_EQ(watch.states, std::vector<SocketState>{SocketState::HostResolved});
  EXPECT_EQ(watched.RemoteHostIP(), "127.0.0.1");
  watched.CloseSck();
}

TEST_F(Faults, AllOnesAddressIsLookedUpAsAName) {
  layer.ScriptLookup("255.255.255.255", WSAHOST_NOT_FOUND, {});
  w.Connect("255.255.255.255", 80);
  EXPECT_EQ(w.State(), SocketState::ResolvingHost);
  EXPECT_EQ(layer.Calls(SockCall::WSAAsyncGetHostByName), 1);
  w.CloseSck();
  EXPECT_EQ(layer.PendingLookups(), 0u);
}

TEST_F(Faults, FailedLookupRaisesFromConnectToIP) {
  layer.ScriptLookup("nowhere.example", WSAHOST_NOT_FOUND, {});
  w.Connect("nowhere.example", 80);
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  EXPECT_EQ(log.lines[0], "Error 11001 授权应答：未找到主机。 WinSock.ConnectToIP 0 [] 0 cancel");
  EXPECT_EQ(w.State(), SocketState::Error);
  w.CloseSck();
}

TEST_F(Faults, LookupAnswerAfterCloseSckIsIgnored) {
  layer.ScriptLookup("late.example", 0, {htonl(INADDR_LOOPBACK)});
  layer.FailNext(SockCall::WSACancelAsyncRequest, WSAEINVAL);  // the answer is already under way
  w.Connect("late.example", 80);
  w.CloseSck();
  EXPECT_EQ(w.State(), SocketState::Closed);
  ASSERT_TRUE(WaitUntil([&] { return layer.PendingLookups() == 0; }));
  Settle();
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(w.State(), SocketState::Closed);
  EXPECT_EQ(layer.Calls(SockCall::connect), 0);
}

TEST_F(Faults, ConnectFailingAtOnceRaisesFromConnectToIP) {
  layer.FailNext(SockCall::connect, WSAENETUNREACH);
  w.Connect("127.0.0.1", 80);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 10051 网络不可访问. WinSock.ConnectToIP 0 [] 0 cancel");
  w.CloseSck();
}

TEST_F(Faults, ConnectTimeOutReachesTheControlAs10060) {
  RawListener silent(0);
  Fd filler = test::RawConnect(silent.port());
  layer.SetConnectTimeout(std::chrono::milliseconds(100));
  w.Connect("127.0.0.1", silent.port());
  layer.SetConnectTimeout(PosixSocketsLayer::kConnectTimeout);
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  EXPECT_EQ(log.lines[0], "Error 10060 连接超时. WinSock.PostSocket 0 [] 0 cancel");
  EXPECT_EQ(log.connects, 0);
  w.CloseSck();
}

std::vector<std::string> warned;

TEST_F(Faults, CloseFailureIsLoggedEndsClosedAndNeverClosesTheNumberAgain) {
  const QtMessageHandler previous =
      qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& c, const QString& m) {
        if (type == QtWarningMsg && c.category == std::string("mivo.socket")) warned.push_back(m.toStdString());
      });
  {
    WinSock udp;
    udp.Protocol(ProtocolUdp);
    udp.Connect("127.0.0.1", 9);
    const std::string socket = "socket " + std::to_string(udp.SocketHandle()) + ": ";
    layer.FailNext(SockCall::closesocket, WSAENETDOWN);
    udp.CloseSck();
    EXPECT_EQ(warned, std::vector<std::string>{socket + "closing failed with 10050: 网络断开."});
    EXPECT_EQ(udp.State(), SocketState::Closed);
    EXPECT_EQ(udp.SocketHandle(), -1);
    // The number may be another socket's by now.
    udp.CloseSck();
    EXPECT_EQ(udp.State(), SocketState::Closed);
    udp.Protocol(ProtocolTcp);
    EXPECT_EQ(udp.Protocol(), ProtocolTcp);
  }
  qInstallMessageHandler(previous);
  EXPECT_EQ(layer.Calls(SockCall::closesocket), 1);
}

TEST_F(Faults, AnAcceptWithNothingToTakeIsNoFailure) {
  WinSock server;
  log.Attach(server);
  server.Listen();
  layer.FailNext(SockCall::accept, WSAEWOULDBLOCK);
  Fd client = test::RawConnect(static_cast<std::uint16_t>(server.LocalPort()));
  ASSERT_TRUE(WaitUntil([&] { return layer.Calls(SockCall::accept) == 1; }));
  Settle();
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(server.State(), SocketState::Listening);
  server.CloseSck();
}

TEST_F(Faults, AcceptFailureRaisesFromPostSocket) {
  WinSock server;
  log.Attach(server);
  server.Listen();
  layer.FailNext(SockCall::accept, WSAENOBUFS);
  Fd client = test::RawConnect(static_cast<std::uint16_t>(server.LocalPort()));
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  EXPECT_EQ(log.lines[0], "Error 10055 无缓存空间可用. WinSock.PostSocket 0 [] 0 cancel");
  EXPECT_EQ(server.State(), SocketState::Error);
  server.CloseSck();
}

TEST_F(Faults, LocalHostNameAndAddressOutsideAConnection) {
  layer.ScriptHostName("workstation");
  layer.ScriptHost("workstation", {htonl(0x7F000102)});
  EXPECT_EQ(w.LocalHostName(), "workstation");
  EXPECT_EQ(w.LocalIP(), "127.0.1.2");
  layer.FailNext(SockCall::gethostbyname, WSAHOST_NOT_FOUND);
  EXPECT_EQ(w.LocalIP(), "");
  layer.FailNext(SockCall::gethostname, WSAENETDOWN);
  EXPECT_EQ(w.LocalHostName(), "");
}

TEST_F(Faults, BindToANameResolvesItSynchronously) {
  layer.ScriptHost("here.example", {htonl(INADDR_LOOPBACK)});
  w.Bind(0, "here.example");
  EXPECT_EQ(w.State(), SocketState::Open);
  w.CloseSck();
  WinSock unknown;
  layer.ScriptHost("gone.example", {});
  unknown.Bind(0, "gone.example");
  EXPECT_EQ(unknown.State(), SocketState::Closed);
  EXPECT_EQ(layer.Calls(SockCall::bind), 1);
  unknown.CloseSck();
}

}  // namespace
}  // namespace mivo
