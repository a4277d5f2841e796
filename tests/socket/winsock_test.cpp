// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "socket/winsock.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <algorithm>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/socket/socket_fixture.h"

namespace mivo {
namespace {

using namespace test;

using WinSockTest = SocketTest;

TEST_F(WinSockTest, FreshControlHasNoSocketAndClosedState) {
  WinSock w;
  EXPECT_EQ(w.State(), SocketState::Closed);
  EXPECT_EQ(w.SocketHandle(), -1);
  EXPECT_EQ(w.Protocol(), ProtocolTcp);
  EXPECT_EQ(w.RemotePort(), 0);
  EXPECT_EQ(w.LocalPort(), 0);
  EXPECT_EQ(w.BytesReceived(), 0);
  // Nothing to close: state and handle stay.
  w.CloseSck();
  EXPECT_EQ(w.State(), SocketState::Closed);
}

std::vector<std::string> traced;

TEST_F(WinSockTest, StateChangesAreTracedUnderMivoSocketOnlyWhenSwitchedOn) {
  const QtMessageHandler previous =
      qInstallMessageHandler([](QtMsgType, const QMessageLogContext& c, const QString& m) {
        if (c.category == std::string("mivo.socket")) traced.push_back(m.toStdString());
      });
  const auto refused = [](WinSock& w) {
    w.Connect("127.0.0.1", test::ClosedPort());
    EXPECT_TRUE(WaitUntil([&] { return w.State() == SocketState::Error; }));
    const std::string socket = "socket " + std::to_string(w.SocketHandle()) + ": ";
    w.CloseSck();
    return std::vector<std::string>{socket + "Closed => Connecting", socket + "Connecting => Error",
                                    socket + "Error => Closing", socket + "Closing => Closed"};
  };
  WinSock w;
  refused(w);
  EXPECT_TRUE(traced.empty());
  QLoggingCategory::setFilterRules("mivo.socket=true");
  const std::vector<std::string> expected = refused(w);
  QLoggingCategory::setFilterRules("");
  qInstallMessageHandler(previous);
  EXPECT_EQ(traced, expected);
}

TEST_F(WinSockTest, ConnectToListenerRaisesConnectInStateConnected) {
  RawListener listener;
  WinSock w;
  EventLog log;
  log.Attach(w);
  w.Connect("127.0.0.1", listener.port());
  EXPECT_EQ(w.State(), SocketState::Connecting);
  EXPECT_NE(w.SocketHandle(), -1);
  ASSERT_TRUE(WaitUntil([&] { return log.connects == 1; }));
  EXPECT_EQ(log.lines, std::vector<std::string>{"Connect"});
  EXPECT_EQ(log.states, std::vector<SocketState>{SocketState::Connected});
  Fd peer = listener.Accept();
  ASSERT_TRUE(peer.valid());
  sockaddr_in from{};
  socklen_t len = sizeof from;
  getpeername(peer.get(), reinterpret_cast<sockaddr*>(&from), &len);
  // The port the system chose for the connection, and the address it uses.
  EXPECT_EQ(w.LocalPort(), ntohs(from.sin_port));
  EXPECT_NE(w.LocalPort(), 0);
  EXPECT_EQ(w.LocalIP(), "127.0.0.1");
  EXPECT_EQ(w.RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(w.RemotePort(), listener.port());
  EXPECT_EQ(w.RemoteHost(), "127.0.0.1");
  w.CloseSck();
  EXPECT_EQ(w.State(), SocketState::Closed);
  EXPECT_EQ(w.SocketHandle(), -1);
  EXPECT_EQ(w.LocalPort(), 0);
  EXPECT_EQ(w.RemoteHostIP(), "");
  EXPECT_EQ(w.RemoteHost(), "127.0.0.1");
  EXPECT_EQ(w.RemotePort(), listener.port());
}

TEST_F(WinSockTest, ClosedPortRaisesRefusedFromPostSocketAndNoConnect) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  w.Connect("127.0.0.1", test::ClosedPort());
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  Settle();
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 10061 连接被拒绝. WinSock.PostSocket 0 [] 0 cancel");
  EXPECT_EQ(log.states[0], SocketState::Error);
  EXPECT_EQ(log.connects, 0);
  EXPECT_EQ(w.State(), SocketState::Error);
  // Left as it was, no box shown.
  EXPECT_TRUE(shown.shown.empty());
  EXPECT_NE(w.SocketHandle(), -1);
  // The port the failed connect used stays until CloseSck.
  const std::int32_t used = w.LocalPort();
  EXPECT_NE(used, 0);
  EXPECT_EQ(w.LocalPort(), used);
  w.CloseSck();
  EXPECT_EQ(w.LocalPort(), 0);
}

TEST_F(WinSockTest, HostNamePassesThroughResolvingThenConnects) {
  RawListener listener;
  WinSock w;
  EventLog log;
  log.Attach(w);
  w.Connect("localhost", listener.port());
  EXPECT_EQ(w.State(), SocketState::ResolvingHost);
  // The connect chooses the port, so none is there while the name is looked up.
  EXPECT_EQ(w.LocalPort(), 0);
  ASSERT_TRUE(WaitUntil([&] { return log.connects + log.errors > 0; }));
  EXPECT_EQ(log.lines, std::vector<std::string>{"Connect"});
  EXPECT_EQ(w.RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(w.RemoteHost(), "localhost");
  EXPECT_NE(w.LocalPort(), 0);
  w.CloseSck();
}

TEST_F(WinSockTest, ResetByPeerRaises10054AndNoCloseSck) {
  RawListener listener;
  WinSock w;
  EventLog log;
  Fd peer = ConnectLogged(w, log, listener);
  ASSERT_TRUE(peer.valid());
  peer.Abort();
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  Settle();
  EXPECT_EQ(log.lines.back(), "Error 10054 连接被对方重置. WinSock.PostSocket 0 [] 0 cancel");
  EXPECT_EQ(log.closes, 0);
  EXPECT_EQ(w.State(), SocketState::Error);
  w.CloseSck();
  EXPECT_EQ(w.State(), SocketState::Closed);
}

TEST_F(WinSockTest, OrderlyCloseRaisesCloseSckInStateClosing) {
  RawListener listener;
  WinSock w;
  EventLog log;
  Fd peer = ConnectLogged(w, log, listener);
  ASSERT_TRUE(peer.valid());
  peer.Reset();
  ASSERT_TRUE(WaitUntil([&] { return log.closes == 1; }));
  Settle();
  EXPECT_EQ(log.lines, (std::vector<std::string>{"Connect", "CloseSck"}));
  EXPECT_EQ(log.states.back(), SocketState::Closing);
  EXPECT_EQ(w.State(), SocketState::Closing);
  w.CloseSck();
  EXPECT_EQ(w.State(), SocketState::Closed);
}

TEST_F(WinSockTest, ConnectAfterFailureNeedsCloseSckThenRetriesTheSamePeer) {
  const std::uint16_t port = test::ClosedPort();
  WinSock w;
  EventLog log;
  log.Attach(w);
  w.Connect("127.0.0.1", port);
  ASSERT_TRUE(WaitUntil([&] { return log.errors == 1; }));
  const SOCKET handle = w.SocketHandle();
  RawListener listener(16, port);
  ASSERT_TRUE(listener.ok());
  // Still in SocketState::Error with its socket: the bind step fails and nothing happens.
  w.Connect();
  EXPECT_EQ(w.State(), SocketState::Error);
  EXPECT_EQ(w.SocketHandle(), handle);
  Settle();
  EXPECT_EQ(log.lines.size(), 1u);
  w.CloseSck();
  w.Connect();
  EXPECT_EQ(w.State(), SocketState::Connecting);
  ASSERT_TRUE(WaitUntil([&] { return log.connects == 1; }));
  EXPECT_EQ(w.RemotePort(), port);
  EXPECT_TRUE(listener.Accept().valid());
  w.CloseSck();
}

struct PortCase {
  Variant value;
  bool taken;
};

class RemotePortRange : public WinSockTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(RemotePortRange, ConnectAndLetKeepThePreviousPortForValuesOutOfRange) {
  const PortCase& c = GetParam();
  WinSock w;
  w.Protocol(ProtocolUdp);  // a connect that sends nothing
  w.RemotePort(1234);
  w.Connect("127.0.0.1", c.value);
  EXPECT_EQ(w.State(), SocketState::Open);
  EXPECT_EQ(w.RemotePort(), c.taken ? static_cast<std::int32_t>(*c.value.Number()) : 1234);
  w.CloseSck();
}

TEST_F(WinSockTest, RemotePortLetTakesZeroButNothingOutOfRange) {
  WinSock w;
  w.RemotePort(1234);
  w.RemotePort(-1);
  w.RemotePort(65536);
  EXPECT_EQ(w.RemotePort(), 1234);
  w.RemotePort(0);
  EXPECT_EQ(w.RemotePort(), 0);
  w.RemotePort(65535);
  EXPECT_EQ(w.RemotePort(), 65535);
}

INSTANTIATE_TEST_SUITE_P(Values, RemotePortRange,
                         ::testing::Values(PortCase{0, false}, PortCase{-1, false}, PortCase{65536, false},
                                           PortCase{100000, false}, PortCase{1, true}, PortCase{65535, true},
                                           PortCase{8080, true}, PortCase{"8081", true}, PortCase{"abc", false},
                                           PortCase{std::int16_t{443}, true}, PortCase{80.0, true}));

TEST_F(WinSockTest, LocalPortLetIgnoresValuesOutOfRange) {
  WinSock w;
  w.LocalPort(5000);
  w.LocalPort(-1);
  w.LocalPort(65536);
  EXPECT_EQ(w.LocalPort(), 5000);
  w.LocalPort(0);
  EXPECT_EQ(w.LocalPort(), 0);
}

TEST_F(WinSockTest, ProtocolIsIgnoredWhileConnectedAndTakesEffectAfterCloseSck) {
  RawListener listener;
  WinSock w;
  EventLog log;
  const Fd peer = ConnectLogged(w, log, listener);
  ASSERT_TRUE(peer.valid());
  w.Protocol(ProtocolUdp);
  EXPECT_EQ(w.Protocol(), ProtocolTcp);
  w.CloseSck();
  w.Protocol(ProtocolUdp);
  EXPECT_EQ(w.Protocol(), ProtocolUdp);
  w.Protocol(7);  // any non-zero value means UDP
  w.Connect("127.0.0.1", 9);
  EXPECT_EQ(w.State(), SocketState::Open);
  w.CloseSck();
}

TEST_F(WinSockTest, UdpConnectOpensWithoutEvents) {
  WinSock w;
  EventLog log;
  log.Attach(w);
  w.Protocol(ProtocolUdp);
  w.Connect("127.0.0.1", 9);
  EXPECT_EQ(w.State(), SocketState::Open);
  EXPECT_NE(w.LocalPort(), 0);  // the port the system chose
  Settle();
  EXPECT_TRUE(log.lines.empty());
  w.CloseSck();
}

TEST_F(WinSockTest, TheUnspecifiedNetworkIsNoDestinationEvenWithALocalListener) {
  // Linux would hand 0.0.0.0 to this host, where the listener answers.
  RawListener listener;
  WinSock tcp, udp;
  EventLog tcpLog, udpLog;
  tcpLog.Attach(tcp);
  udpLog.Attach(udp);
  tcp.Connect("0.0.0.0", listener.port());
  udp.Protocol(ProtocolUdp);
  udp.Connect("0.1.2.3", listener.port());
  udp.SendData(std::string("x"));
  ASSERT_TRUE(WaitUntil([&] { return tcpLog.errors == 1 && udpLog.errors == 1; }));
  EXPECT_EQ(tcpLog.lines, std::vector<std::string>{"Error 10049 不能分配请求地址. WinSock.PostSocket 0 [] 0 cancel"});
  EXPECT_EQ(udpLog.lines,
            std::vector<std::string>{"Error 10049 不能分配请求地址. WinSock.SendBufferedDataUDP 0 [] 0 cancel"});
  EXPECT_FALSE(listener.Accept(0).valid());
  tcp.CloseSck();
  udp.CloseSck();
}

TEST_F(WinSockTest, BindTakesPortAndAddressAndOpens) {
  WinSock w;
  w.Bind(0, "127.0.0.1");
  EXPECT_EQ(w.State(), SocketState::Open);
  const std::int32_t chosen = w.LocalPort();
  EXPECT_NE(chosen, 0);
  // Bound already: a second bind is a success at once.
  w.Bind(1, "127.0.0.1");
  EXPECT_EQ(w.LocalPort(), chosen);
  WinSock other;
  // The same port again fails silently.
  other.Bind(chosen, "127.0.0.1");
  EXPECT_EQ(other.State(), SocketState::Closed);
  w.CloseSck();
  other.CloseSck();
}

TEST_F(WinSockTest, ListenAndAcceptOnAnotherControl) {
  WinSock server;
  server.Listen();
  ASSERT_EQ(server.State(), SocketState::Listening);
  const std::int32_t port = server.LocalPort();
  ASSERT_NE(port, 0);
  server.RemoteHost("kept");
  server.RemotePort(77);
  WinSock taker;
  EventLog log;
  std::int32_t seenPort = -1;
  std::string seenIP, seenHost = "x";
  server.events.ConnectionRequest = [&](std::int32_t requestID) {
    log.lines.push_back("ConnectionRequest");
    seenPort = server.RemotePort();
    seenIP = server.RemoteHostIP();
    seenHost = server.RemoteHost();
    taker.Accept(requestID);
  };
  Fd client = test::RawConnect(static_cast<std::uint16_t>(port));
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(WaitUntil([&] { return !log.lines.empty(); }));
  // During the event the remote properties describe the caller.
  EXPECT_EQ(seenPort, test::LocalPortOf(client.get()));
  EXPECT_EQ(seenIP, "127.0.0.1");
  EXPECT_EQ(seenHost, "");
  // Afterwards the listener has its own values back and goes on listening.
  EXPECT_EQ(server.State(), SocketState::Listening);
  EXPECT_EQ(server.RemotePort(), 77);
  EXPECT_EQ(server.RemoteHost(), "kept");
  EXPECT_EQ(taker.State(), SocketState::Connected);
  EXPECT_EQ(taker.RemotePort(), test::LocalPortOf(client.get()));
  EXPECT_EQ(taker.LocalPort(), port);
  // The accepted connection is alive: the taker hears the client close.
  EventLog takerLog;
  takerLog.Attach(taker);
  client.Reset();
  ASSERT_TRUE(WaitUntil([&] { return takerLog.closes == 1; }));
  taker.CloseSck();
  server.CloseSck();
}

TEST_F(WinSockTest, RequestNotAcceptedLeavesTheCallerDisconnected) {
  WinSock server;
  server.Listen();
  ASSERT_EQ(server.State(), SocketState::Listening);
  int requests = 0;
  server.events.ConnectionRequest = [&](std::int32_t) { ++requests; };
  Fd client = test::RawConnect(static_cast<std::uint16_t>(server.LocalPort()));
  ASSERT_TRUE(WaitUntil([&] { return requests == 1; }));
  std::vector<std::uint8_t> got;
  // The caller sees the connection end.
  EXPECT_TRUE(WaitUntil([&] { return !test::ReadAvailable(client.get(), got); }));
  EXPECT_EQ(server.RemotePort(), 0);
  EXPECT_EQ(server.RemoteHostIP(), "");
  server.CloseSck();
}

TEST_F(WinSockTest, AcceptOnTheListeningControlItselfReleasesTheListeningSocket) {
  WinSock server;
  server.Listen();
  const auto port = static_cast<std::uint16_t>(server.LocalPort());
  server.events.ConnectionRequest = [&](std::int32_t id) { server.Accept(id); };
  Fd client = test::RawConnect(port);
  ASSERT_TRUE(WaitUntil([&] { return server.State() == SocketState::Connected; }));
  EXPECT_EQ(server.RemotePort(), test::LocalPortOf(client.get()));
  // Only the accepted socket is left: nobody listens on the port any more.
  EXPECT_FALSE(test::RawConnect(port).valid());
  server.CloseSck();
}

TEST_F(WinSockTest, ErrorHandlerMayCloseTheControl) {
  WinSock w;
  w.events.Error = [&](std::int16_t, std::string&, std::int32_t, std::string, std::string, std::int32_t, bool&) {
    w.CloseSck();
  };
  w.Connect("127.0.0.1", test::ClosedPort());
  ASSERT_TRUE(WaitUntil([&] { return w.State() == SocketState::Closed; }));
  EXPECT_EQ(w.SocketHandle(), -1);
}

TEST_F(WinSockTest, ClearedCancelDisplayShowsOneBoxWithTextAndSource) {
  WinSock w;
  bool preset = false;
  w.events.Error = [&](std::int16_t, std::string&, std::int32_t, std::string, std::string, std::int32_t,
                       bool& CancelDisplay) {
    preset = CancelDisplay;
    CancelDisplay = false;
  };
  w.Connect("127.0.0.1", test::ClosedPort());
  ASSERT_TRUE(WaitUntil([&] { return !shown.shown.empty(); }));
  EXPECT_TRUE(preset);
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, "连接被拒绝.");
  EXPECT_EQ(shown.shown[0].title, "WinSock.PostSocket");
  w.CloseSck();
}

TEST_F(WinSockTest, HandlerMayDestroyTheControl) {
  RawListener listener;
  auto w = std::make_unique<WinSock>();
  bool after = false;
  w->events.Connect = [&] {
    w.reset();
    after = true;
  };
  w->Connect("127.0.0.1", listener.port());
  ASSERT_TRUE(WaitUntil([&] { return after; }));
  Settle();
  EXPECT_FALSE(w);
}

TEST_F(WinSockTest, ErrorHandlerMayDestroyTheControlAndTheBoxStillShows) {
  auto w = std::make_unique<WinSock>();
  w->events.Error = [&](std::int16_t, std::string&, std::int32_t, std::string, std::string, std::int32_t,
                        bool& CancelDisplay) {
    CancelDisplay = false;
    w.reset();
  };
  w->Connect("127.0.0.1", test::ClosedPort());
  ASSERT_TRUE(WaitUntil([&] { return !w; }));
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].title, "WinSock.PostSocket");
}

TEST_F(WinSockTest, DestroyedMidConnectAndMidLookupLeavesNothingBehind) {
  RawListener silent(0);
  Fd filler = test::RawConnect(silent.port());
  {
    WinSock connecting;
    connecting.Connect("127.0.0.1", silent.port());
    EXPECT_EQ(connecting.State(), SocketState::Connecting);
    WinSock resolving;
    resolving.Connect("localhost", silent.port());
    EXPECT_EQ(resolving.State(), SocketState::ResolvingHost);
  }
  // Answers that were on their way find nobody and do no harm.
  Settle();
  RawListener listener;
  WinSock after;
  EventLog log;
  log.Attach(after);
  after.Connect("localhost", listener.port());
  ASSERT_TRUE(WaitUntil([&] { return log.connects == 1; }));
  after.CloseSck();
}

TEST_F(WinSockTest, ListenerDestroyedInsideConnectionRequestClosesTheRequest) {
  auto server = std::make_unique<WinSock>();
  server->Listen();
  const auto port = static_cast<std::uint16_t>(server->LocalPort());
  server->events.ConnectionRequest = [&](std::int32_t) { server.reset(); };
  Fd client = test::RawConnect(port);
  ASSERT_TRUE(WaitUntil([&] { return !server; }));
  std::vector<std::uint8_t> got;
  EXPECT_TRUE(WaitUntil([&] { return !test::ReadAvailable(client.get(), got); }));
}

TEST_F(WinSockTest, ManyControlsDestroyedAtEveryStageLeaveNothingBehind) {
  RawListener listener(256);
  const std::uint16_t closed = test::ClosedPort();
  std::vector<std::unique_ptr<WinSock>> controls(300);
  int events = 0;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    auto& w = controls[i];
    w = std::make_unique<WinSock>();
    // Every third control removes itself from inside its first event.
    const bool selfDestroy = i % 3 == 0;
    w->events.Connect = [&, i, selfDestroy] {
      ++events;
      if (selfDestroy) controls[i].reset();
    };
    w->events.Error = [&, i, selfDestroy](std::int16_t, std::string&, std::int32_t, std::string, std::string,
                                          std::int32_t, bool&) {
      ++events;
      if (selfDestroy) controls[i].reset();
    };
    switch ((i / 2) % 4) {  // every kind both among those kept and those dropped early
      case 0: w->Connect("127.0.0.1", listener.port()); break;
      case 1: w->Connect("localhost", listener.port()); break;
      case 2: w->Connect("127.0.0.1", closed); break;
      default: w->Listen(); break;
    }
  }
  // Half of them go before anything has been answered.
  for (std::size_t i = 1; i < controls.size(); i += 2) controls[i].reset();
  ASSERT_TRUE(WaitUntil([&] {
    int waiting = 0;
    for (std::size_t i = 0; i < controls.size(); i += 2)
      if (controls[i] &&
          (controls[i]->State() == SocketState::Connecting || controls[i]->State() == SocketState::ResolvingHost))
        ++waiting;
    return waiting == 0;
  }));
  EXPECT_GT(events, 0);
  controls.clear();
  Settle();
}

TEST_F(WinSockTest, PropertiesAreReadThroughTheSetters) {
  WinSock w;
  w.ReadProperties(
      {{"LocalPort", 70000}, {"Protocol", 1}, {"RemoteHost", "proxy.example"}, {"RemotePort", 3128}, {"Tag", "row 3"}});
  EXPECT_EQ(w.LocalPort(), 0);  // out of range, ignored
  EXPECT_EQ(w.Protocol(), ProtocolUdp);
  EXPECT_EQ(w.RemoteHost(), "proxy.example");
  EXPECT_EQ(w.RemotePort(), 3128);
  EXPECT_EQ(w.Tag(), "row 3");
  PropertyBag bag;
  w.WriteProperties(bag);
  WinSock copy;
  copy.ReadProperties(bag);
  EXPECT_EQ(copy.Protocol(), ProtocolUdp);
  EXPECT_EQ(copy.RemoteHost(), "proxy.example");
  EXPECT_EQ(copy.RemotePort(), 3128);
  EXPECT_EQ(copy.Tag(), "row 3");
  // Missing keys give the defaults.
  WinSock empty;
  empty.RemotePort(5);
  empty.ReadProperties({});
  EXPECT_EQ(empty.RemotePort(), 0);
  EXPECT_EQ(empty.Tag(), "");
}

TEST_F(WinSockTest, ArrayEventsCarryTheElementIndex) {
  RawListener listener;
  WinSockArray Wsktest;
  std::vector<std::string> seen;
  Wsktest.events.Connect = [&](int Index) { seen.push_back("Connect " + std::to_string(Index)); };
  Wsktest.events.Error = [&](int Index, std::int16_t Number, std::string&, std::int32_t, std::string, std::string,
                             std::int32_t, bool&) {
    seen.push_back("Error " + std::to_string(Index) + " " + std::to_string(Number));
  };
  Wsktest.events.CloseSck = [&](int Index) { seen.push_back("CloseSck " + std::to_string(Index)); };
  WinSock& first = Wsktest.Load(0);
  EXPECT_EQ(&Wsktest.Load(0), &first);  // created once, reused
  Wsktest.Load(3).Connect("127.0.0.1", listener.port());
  Wsktest.Load(5).Connect("127.0.0.1", test::ClosedPort());
  ASSERT_TRUE(WaitUntil([&] { return seen.size() == 2; }));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"Connect 3", "Error 5 10061"}));
  EXPECT_EQ(Wsktest.Count(), 3);
  EXPECT_EQ(Wsktest.LBound(), 0);
  EXPECT_EQ(Wsktest.UBound(), 5);
  Fd peer = listener.Accept();
  // An element may be removed from inside its own handler.
  Wsktest.events.CloseSck = [&](int Index) {
    seen.push_back("CloseSck " + std::to_string(Index));
    Wsktest.Unload(Index);
  };
  peer.Reset();
  ASSERT_TRUE(WaitUntil([&] { return !Wsktest.Exists(3); }));
  EXPECT_EQ(seen.back(), "CloseSck 3");
  EXPECT_EQ(Wsktest.Find(3), nullptr);
  Wsktest.Unload(7);  // never loaded
  EXPECT_EQ(Wsktest.Count(), 2);
  Wsktest.Unload(5);
  // The bounds follow the elements left, across the gap.
  EXPECT_EQ(Wsktest.UBound(), 0);
  EXPECT_EQ(Wsktest.LBound(), 0);
  EXPECT_THROW(Wsktest[5], std::out_of_range);
  Wsktest.Unload(0);
  EXPECT_EQ(Wsktest.Count(), 0);
  EXPECT_EQ(Wsktest.UBound(), -1);
}

}  // namespace
}  // namespace mivo
