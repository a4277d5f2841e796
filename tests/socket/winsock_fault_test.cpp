#include <arpa/inet.h>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "common/presenter.h"
#include "socket/faulty_sockets_layer.h"
#include "socket/winsock.h"
#include "tests/socket/loopback.h"
#include "tests/support/wait.h"

namespace mivo {
namespace {

using test::EventLog;
using test::Fd;
using test::RawListener;
using test::Settle;
using test::WaitUntil;

class Faults : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(PosixSockets().OpenSockets(), openBefore);
    EXPECT_EQ(PosixSockets().Registered(), 0u);
  }
  std::size_t openBefore = PosixSockets().OpenSockets();
  FaultySocketsLayer layer;
  RecordingPresenter shown;
};

TEST_F(Faults, SocketCreationFailureRaisesFromSocketExistsAndSticks) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  layer.FailNext(SockCall::socket, WSAEMFILE);
  w.Connect("127.0.0.1", 80);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 10024 打开文件过多. WinSock.SocketExists 0 [] 0 cancel");
  EXPECT_EQ(log.states[0], StateError);
  EXPECT_EQ(w.SocketHandle(), -1);
  // Nothing to close, so the state stays.
  w.CloseSck();
  EXPECT_EQ(w.State(), StateError);
}

TEST_F(Faults, FailedRegistrationFailsTheConnectSilently) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  layer.FailNext(SockCall::WSAAsyncSelect, WSAENOBUFS);
  w.Connect("127.0.0.1", 80);
  EXPECT_EQ(w.State(), StateClosed);
  EXPECT_EQ(layer.Calls(SockCall::bind), 0);
  EXPECT_TRUE(log.lines.empty());
  w.CloseSck();
}

TEST_F(Faults, LookupThatCannotStartRaisesFromResolveIfHostname) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  layer.FailNext(SockCall::WSAAsyncGetHostByName, WSATRY_AGAIN);
  w.Connect("proxy.example", 8080);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 11002 非授权主机没有找到. WinSock.ResolveIfHostname 0 [] 0 cancel");
  EXPECT_EQ(w.State(), StateError);
  w.CloseSck();
}

TEST_F(Faults, LookupBufferFailureEndsInErrorWithoutAnEvent) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  layer.FailNext(SockCall::AllocLookupBuffer, WSAENOBUFS);
  w.Connect("proxy.example", 8080);
  EXPECT_EQ(w.State(), StateError);
  EXPECT_EQ(layer.Calls(SockCall::WSAAsyncGetHostByName), 0);
  Settle();
  EXPECT_TRUE(log.lines.empty());
  w.CloseSck();
}

TEST_F(Faults, LookupAnsweredGoesThroughHostResolvedToConnected) {
  // Records the control's state whenever the lookup buffer is given back.
  struct Watch : FaultySocketsLayer {
    WinSock* w = nullptr;
    std::vector<std::int32_t> states;
    void FreeLookupBuffer(std::unique_ptr<HostLookupBuffer> b) override {
      states.push_back(w->State());
      FaultySocketsLayer::FreeLookupBuffer(std::move(b));
    }
  } watch;
  RawListener listener;
  WinSock w;
  watch.w = &w;
  EventLog log;
  log.Attach(w);
  watch.ScriptLookup("proxy.example", 0, {htonl(INADDR_LOOPBACK)});
  w.Connect("proxy.example", listener.port());
  EXPECT_EQ(w.State(), StateResolvingHost);
  ASSERT_TRUE(WaitUntil([&] { return log.connects == 1; }));
  EXPECT_EQ(watch.states, std::vector<std::int32_t>{StateHostResolved});
  EXPECT_EQ(w.RemoteHostIP(), "127.0.0.1");
  w.CloseSck();
}

TEST_F(Faults, AllOnesAddressIsLookedUpAsAName) {
  WinSock w;
  layer.ScriptLookup("255.255.255.255", WSAHOST_NOT_FOUND, {});
  w.Connect("255.255.255.255", 80);
  EXPECT_EQ(w.State(), StateResolvingHost);
  EXPECT_EQ(layer.Calls(SockCall::WSAAsyncGetHostByName), 1);
  w.CloseSck();
  EXPECT_EQ(layer.PendingLookups(), 0u);
}

TEST_F(Faults, FailedLookupRaisesFromConnectToIP) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  layer.ScriptLookup("nowhere.example", WSAHOST_NOT_FOUND, {});
  w.Connect("nowhere.example", 80);
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  EXPECT_EQ(log.lines[0], "Error 11001 授权应答：未找到主机。 WinSock.ConnectToIP 0 [] 0 cancel");
  EXPECT_EQ(w.State(), StateError);
  w.CloseSck();
}

TEST_F(Faults, LookupAnswerAfterCloseSckIsIgnored) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  layer.ScriptLookup("late.example", 0, {htonl(INADDR_LOOPBACK)});
  layer.FailNext(SockCall::WSACancelAsyncRequest, WSAEINVAL);  // the answer is already under way
  w.Connect("late.example", 80);
  w.CloseSck();
  EXPECT_EQ(w.State(), StateClosed);
  ASSERT_TRUE(WaitUntil([&] { return layer.PendingLookups() == 0; }));
  Settle();
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(w.State(), StateClosed);
  EXPECT_EQ(layer.Calls(SockCall::connect), 0);
}

TEST_F(Faults, ConnectFailingAtOnceRaisesFromConnectToIP) {
  WinSock w;
  EventLog log;
  log.Attach(w);
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
  WinSock w;
  EventLog log;
  log.Attach(w);
  w.Connect("127.0.0.1", silent.port());
  layer.SetConnectTimeout(PosixSocketsLayer::kConnectTimeout);
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  EXPECT_EQ(log.lines[0], "Error 10060 连接超时. WinSock.PostSocket 0 [] 0 cancel");
  EXPECT_EQ(log.connects, 0);
  w.CloseSck();
}

TEST_F(Faults, CloseFailureLeavesStateErrorAndNeverClosesTheNumberAgain) {
  {
    WinSock w;
    w.Protocol(ProtocolUdp);
    w.Connect("127.0.0.1", 9);
    layer.FailNext(SockCall::closesocket, WSAENETDOWN);
    w.CloseSck();
    EXPECT_EQ(w.State(), StateError);
    EXPECT_EQ(w.SocketHandle(), -1);
    // The number may be another socket's by now.
    w.CloseSck();
    EXPECT_EQ(w.State(), StateError);
  }
  EXPECT_EQ(layer.Calls(SockCall::closesocket), 1);
}

TEST_F(Faults, AnAcceptWithNothingToTakeIsNoFailure) {
  WinSock server;
  EventLog log;
  log.Attach(server);
  server.Listen();
  layer.FailNext(SockCall::accept, WSAEWOULDBLOCK);
  Fd client = test::RawConnect(static_cast<std::uint16_t>(server.LocalPort()));
  ASSERT_TRUE(WaitUntil([&] { return layer.Calls(SockCall::accept) == 1; }));
  Settle();
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(server.State(), StateListening);
  server.CloseSck();
}

TEST_F(Faults, AcceptFailureRaisesFromPostSocket) {
  WinSock server;
  EventLog log;
  log.Attach(server);
  server.Listen();
  layer.FailNext(SockCall::accept, WSAENOBUFS);
  Fd client = test::RawConnect(static_cast<std::uint16_t>(server.LocalPort()));
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  EXPECT_EQ(log.lines[0], "Error 10055 无缓存空间可用. WinSock.PostSocket 0 [] 0 cancel");
  EXPECT_EQ(server.State(), StateError);
  server.CloseSck();
}

TEST_F(Faults, LocalHostNameAndAddressOutsideAConnection) {
  WinSock w;
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
  WinSock w;
  layer.ScriptHost("here.example", {htonl(INADDR_LOOPBACK)});
  w.Bind(0, "here.example");
  EXPECT_EQ(w.State(), StateOpen);
  w.CloseSck();
  WinSock unknown;
  layer.ScriptHost("gone.example", {});
  unknown.Bind(0, "gone.example");
  EXPECT_EQ(unknown.State(), StateClosed);
  EXPECT_EQ(layer.Calls(SockCall::bind), 1);
  unknown.CloseSck();
}

}  // namespace
}  // namespace mivo
