// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "socket/faulty_sockets_layer.h"
#include "socket/winsock.h"
#include "tests/socket/socket_fixture.h"

namespace mivo {
namespace {

using namespace test;

std::uint64_t Fnv1a(const std::uint8_t* p, std::size_t n, std::uint64_t h = 1469598103934665603ull) {
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

Bytes Pattern(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    b[i] = static_cast<std::uint8_t>(seed >> 24);
  }
  return b;
}

// A control connected to a plain loopback peer.
class TcpData : public SocketTest {
 protected:
  void SetUp() override {
    peer = ConnectLogged(w, log, listener);
    ASSERT_TRUE(peer.valid());
    log.lines.clear();
    log.states.clear();
  }
  void TearDown() override {
    w.CloseSck();
    SocketTest::TearDown();
  }
  // Everything the peer has received once `n` bytes are there.
  Bytes PeerReceives(std::size_t n) {
    Bytes got;
    EXPECT_TRUE(WaitUntil([&] {
      test::ReadAvailable(peer.get(), got);
      return got.size() >= n;
    }));
    return got;
  }
  void PeerSends(const Bytes& bytes, std::int32_t expectTotal) {
    ASSERT_TRUE(test::SendAll(peer.get(), bytes));
    ASSERT_TRUE(WaitUntil([&] { return w.BytesReceived() == expectTotal; }));
  }

  RawListener listener;
  WinSock w;
  EventLog log;
  Fd peer;
};

struct SendCase {
  const char* name;
  Variant value;
  Bytes wire;
};

class SendTypes : public TcpData, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendTypes, PeerGetsExactlyTheWireBytes) {
  w.SendData(GetParam().value);
  // A marker after it shows that nothing else was sent.
  w.SendData(Bytes{0x7E});
  Bytes expect = GetParam().wire;
  expect.push_back(0x7E);
  EXPECT_EQ(PeerReceives(expect.size()), expect);
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, SendTypes,
    ::testing::Values(SendCase{"int32", 1, {1, 0, 0, 0}}, SendCase{"int16", std::int16_t{258}, {2, 1}},
                      SendCase{"boolean", true, {0xFF, 0xFF}}, SendCase{"text", "abc", {0x61, 0x62, 0x63}},
                      SendCase{"chinese", "连接", {0xC1, 0xAC, 0xBD, 0xD3}},
                      SendCase{"currency", Variant::Currency{-10000}, {0xF0, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                      SendCase{"date", Variant::Date{2.5}, {0, 0, 0, 0, 0, 0, 0x04, 0x40}},
                      SendCase{"double", 0.5, {0, 0, 0, 0, 0, 0, 0xE0, 0x3F}},
                      SendCase{"float", -2.0f, {0, 0, 0, 0xC0}}, SendCase{"byte", std::uint8_t{0}, {0}},
                      SendCase{"handshake", Bytes{0x05, 0x01, 0x00}, {0x05, 0x01, 0x00}},
                      SendCase{"zeros", Bytes{0, 0, 0x5A, 0, 0}, {0, 0, 0x5A, 0, 0}}, SendCase{"emptytext", "", {}},
                      SendCase{"emptyarray", Bytes{}, {}}, SendCase{"empty", Variant(), {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpData, EmptyValuesRaiseNothing) {
  w.SendData("");
  w.SendData(Bytes{});
  w.SendData(Variant());
  Settle();
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(TcpData, TwoSendsArriveInOrderThenSendComplete) {
  w.SendData("first,");
  w.SendData("second");
  const Bytes got = PeerReceives(12);
  EXPECT_EQ(std::string(got.begin(), got.end()), "first,second");
  ASSERT_GE(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], "SendProgress 6 0");
  EXPECT_EQ(log.lines[1], "SendComplete");
  EXPECT_EQ(log.lines.back(), "SendComplete");
}

TEST_F(TcpData, ReceivedBytesComeOutAsAByteArrayByDefault) {
  const Bytes reply{0x00, 0x5A, 1, 2, 3, 4, 5, 6};
  PeerSends(reply, 8);
  EXPECT_EQ(log.lines, std::vector<std::string>{"DataArrival 8"});
  Variant data;
  w.GetData(data);
  EXPECT_EQ(data.Type(), vtByteArray);
  EXPECT_EQ(data.ByteArray(), reply);
  EXPECT_EQ(w.BytesReceived(), 0);
}

TEST_F(TcpData, DataArrivalCountsBytesLeftUnread) {
  PeerSends({1, 2, 3}, 3);
  PeerSends({4, 5, 6, 7}, 7);
  EXPECT_EQ(log.lines.back(), "DataArrival 7");
}

TEST_F(TcpData, GetDataWithMaxLenLeavesTheRest) {
  PeerSends({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 10);
  Variant data;
  w.GetData(data, vtByteArray, 3);
  EXPECT_EQ(data.ByteArray(), (Bytes{0, 1, 2}));
  EXPECT_EQ(w.BytesReceived(), 7);
  Variant rest;
  w.GetData(rest);
  EXPECT_EQ(rest.ByteArray(), (Bytes{3, 4, 5, 6, 7, 8, 9}));
  // maxLen 0 gives an empty array and takes nothing.
  PeerSends({1}, 1);
  Variant none = "text";
  w.GetData(none, vtText, 0);
  EXPECT_EQ(none.Type(), vtByteArray);
  EXPECT_TRUE(none.ByteArray().empty());
  EXPECT_EQ(w.BytesReceived(), 1);
}

TEST_F(TcpData, PeekTwiceThenGet) {
  PeerSends({9, 8, 7}, 3);
  Variant a, b, c;
  w.PeekData(a);
  w.PeekData(b);
  EXPECT_EQ(a.ByteArray(), (Bytes{9, 8, 7}));
  EXPECT_EQ(b, a);
  EXPECT_EQ(w.BytesReceived(), 3);
  w.GetData(c);
  EXPECT_EQ(c, a);
  EXPECT_EQ(w.BytesReceived(), 0);
}

TEST_F(TcpData, FixedSizeTypeWaitsUntilEnoughBytes) {
  PeerSends({0x01, 0x02, 0x03}, 3);
  Variant data;
  w.GetData(data, vtInt32);
  EXPECT_TRUE(data.IsEmpty());
  EXPECT_EQ(w.BytesReceived(), 3);
  PeerSends({0x04}, 4);
  w.GetData(data, vtInt32);
  EXPECT_EQ(data.Type(), vtInt32);
  EXPECT_EQ(data.Int32(), 0x04030201);
  EXPECT_EQ(w.BytesReceived(), 0);
}

TEST_F(TcpData, TheValueAlreadyHeldDecidesTheType) {
  PeerSends({0xD6, 0xD0, 0xCE, 0xC4, 0xFF, 0xFF}, 6);
  Variant text = "old";
  w.GetData(text, vtByteArray, 4);  // varType loses to the text already held
  EXPECT_EQ(text.Type(), vtText);
  EXPECT_EQ(text.Text(), "中文");
  Variant flag = false;
  w.GetData(flag);
  EXPECT_EQ(flag, Variant(true));
}

struct ReadCase {
  const char* name;
  std::int32_t varType;
  Bytes wire;
  Variant value;
};

class ReadTypes : public TcpData, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTypes, BytesDecodeIntoTheType) {
  const ReadCase& c = GetParam();
  Bytes wire = c.wire;
  wire.push_back(0xEE);  // one byte more than the type takes
  PeerSends(wire, static_cast<std::int32_t>(wire.size()));
  Variant data;
  w.GetData(data, c.varType);
  EXPECT_EQ(data, c.value);
  EXPECT_EQ(w.BytesReceived(), c.varType == vtText ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, ReadTypes,
    ::testing::Values(ReadCase{"int16", vtInt16, {0xFE, 0xFF}, std::int16_t{-2}},
                      ReadCase{"int32", vtInt32, {1, 0, 0, 0}, 1}, ReadCase{"float", vtFloat, {0, 0, 0xC0, 0x3F}, 1.5f},
                      ReadCase{"double", vtDouble, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, 1.0},
                      ReadCase{"currency", vtCurrency, {0x10, 0x27, 0, 0, 0, 0, 0, 0}, Variant::Currency{10000}},
                      ReadCase{"date", vtDate, {0, 0, 0, 0, 0, 0, 0x04, 0x40}, Variant::Date{2.5}},
                      ReadCase{"boolean", vtBoolean, {0xFF, 0xFF}, true},
                      ReadCase{"byte", vtByte, {0x5A}, std::uint8_t{0x5A}},
                      ReadCase{"text", vtText, {0x61, 0x62, 0x63}, "abc"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpData, ChosenTypeAndAvailableCountAreWrittenBack) {
  PeerSends({1, 2, 3, 4, 5}, 5);
  Variant data, varType, maxLen = "all";
  w.PeekData(data, varType, maxLen);
  EXPECT_EQ(varType, Variant(vtByteArray));
  EXPECT_EQ(maxLen, Variant(5));
  EXPECT_EQ(data.ByteArray().size(), 5u);
  Variant number, want = vtInt16, len;
  w.GetData(number, want, len);
  EXPECT_EQ(number, Variant(std::int16_t{0x0201}));
  // An unknown type number takes nothing.
  Variant odd, oddType = 99, oddLen;
  w.GetData(odd, oddType, oddLen);
  EXPECT_TRUE(odd.IsEmpty());
  EXPECT_EQ(w.BytesReceived(), 3);
}

// Lengths and type numbers no 32-bit integer holds: a length beyond it still
// takes what waits, NaN takes nothing (and must not be turned into an integer).
struct OddNumberCase {
  const char* name;
  Variant varType;
  Variant maxLen;
  std::size_t taken;
  bool changed;  // whether data becomes a byte array at all
};

class OddNumbers : public TcpData, public ::testing::WithParamInterface<OddNumberCase> {};

TEST_P(OddNumbers, TakeWhatTheLengthAllows) {
  const OddNumberCase& c = GetParam();
  const Bytes sent{1, 2, 3, 4, 5};
  PeerSends(sent, 5);
  Variant data;
  w.GetData(data, c.varType, c.maxLen);
  EXPECT_EQ(w.BytesReceived(), static_cast<std::int32_t>(sent.size() - c.taken));
  if (c.changed)
    EXPECT_EQ(data.ByteArray(), Bytes(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(c.taken)));
  else
    EXPECT_TRUE(data.IsEmpty());
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(BeyondThirtyTwoBits, OddNumbers,
                         ::testing::Values(OddNumberCase{"trillion", vtByteArray, 1e12, 5, true},
                                           OddNumberCase{"three_billion", vtByteArray, 3e9, 5, true},
                                           OddNumberCase{"trillion_as_text", vtByteArray, "1e12", 5, true},
                                           OddNumberCase{"minus_trillion", vtByteArray, -1e12, 0, true},
                                           OddNumberCase{"nan_length", vtByteArray, kNaN, 0, true},
                                           OddNumberCase{"nan_type", kNaN, 2, 0, false},
                                           OddNumberCase{"huge_type", 1e12, 2, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpData, AfterThePeerClosesUnreadBytesCanNoLongerBeTaken) {
  log.lines.clear();
  ASSERT_TRUE(test::SendAll(peer.get(), {1, 2, 3}));
  peer.Reset();
  ASSERT_TRUE(WaitUntil([&] { return log.closes == 1; }));
  EXPECT_EQ(w.State(), SocketState::Closing);
  EXPECT_EQ(w.BytesReceived(), 3);
  Variant data = Bytes{7};
  w.GetData(data);
  w.PeekData(data);
  EXPECT_EQ(data.ByteArray(), Bytes{7});
  w.CloseSck();
  EXPECT_EQ(w.BytesReceived(), 0);
}

TEST_F(TcpData, HandlerTakesDataInsideDataArrival) {
  Bytes taken;
  w.events.DataArrival = [&](std::int32_t bytesTotal) {
    Variant data;
    w.GetData(data, vtByteArray, bytesTotal);
    taken.insert(taken.end(), data.ByteArray().begin(), data.ByteArray().end());
  };
  const Bytes sent = Pattern(300000, 7);
  ASSERT_TRUE(test::SendAll(peer.get(), sent));
  ASSERT_TRUE(WaitUntil([&] { return taken.size() == sent.size(); }));
  EXPECT_EQ(taken, sent);
}

TEST_F(TcpData, SendDataOutsideAConnectionDoesNothing) {
  WinSock idle;
  EventLog idleLog;
  idleLog.Attach(idle);
  idle.SendData("hello");
  EXPECT_EQ(idle.SocketHandle(), -1);
  EXPECT_EQ(idle.State(), SocketState::Closed);
  Variant data = 5;
  idle.GetData(data);
  EXPECT_EQ(data, Variant(5));
  EXPECT_TRUE(idleLog.lines.empty());
}

TEST(AcceptByRequest, HandleFromElsewhereIsUsedAndLeftOpen) {
  RawListener listener;
  Fd client = test::RawConnect(listener.port());
  Fd served = listener.Accept();
  ASSERT_TRUE(served.valid());
  const std::size_t registered = PosixSockets().Registered();
  {
    WinSock w;
    Bytes got;
    w.events.DataArrival = [&](std::int32_t) {
      Variant data;
      w.GetData(data);
      got = data.ByteArray();
    };
    w.Accept(served.get());
    EXPECT_EQ(w.State(), SocketState::Connected);
    EXPECT_EQ(w.SocketHandle(), served.get());
    EXPECT_EQ(w.LocalPort(), listener.port());
    EXPECT_EQ(w.RemotePort(), 0);  // not read on this path
    ASSERT_TRUE(test::SendAll(client.get(), {1, 2, 3}));
    ASSERT_TRUE(WaitUntil([&] { return got.size() == 3; }));
    w.SendData(Bytes{4, 5});
    Bytes back;
    ASSERT_TRUE(WaitUntil([&] {
      test::ReadAvailable(client.get(), back);
      return back.size() == 2;
    }));
    // Accepting another connection leaves this one to its owner, and its
    // unread bytes are not the new caller's.
    w.events.DataArrival = nullptr;
    ASSERT_TRUE(test::SendAll(client.get(), {7, 8}));
    ASSERT_TRUE(WaitUntil([&] { return w.BytesReceived() == 2; }));
    WinSock server;
    server.Listen();
    server.events.ConnectionRequest = [&](std::int32_t id) { w.Accept(id); };
    Fd caller = test::RawConnect(static_cast<std::uint16_t>(server.LocalPort()));
    ASSERT_TRUE(WaitUntil([&] { return w.RemotePort() == test::LocalPortOf(caller.get()); }));
    EXPECT_EQ(w.BytesReceived(), 0);
    server.CloseSck();
  }
  // The control let go of the handle without closing it.
  EXPECT_EQ(PosixSockets().Registered(), registered);
  ASSERT_TRUE(test::SendAll(served.get(), {9}));
  Bytes last;
  EXPECT_TRUE(WaitUntil([&] {
    test::ReadAvailable(client.get(), last);
    return last.size() == 1;
  }));
}

TEST_F(TcpData, AnAcceptByRequestEndsWithCloseSck) {
  RawListener other;
  Fd client = test::RawConnect(other.port());
  Fd served = other.Accept();
  ASSERT_TRUE(served.valid());
  WinSock taker;
  taker.Accept(::dup(served.get()));  // a handle from elsewhere
  taker.CloseSck();
  // The next connection is the control's own: once its peer has closed, its
  // bytes are no longer handed out, and removing the control closes it.
  EventLog takerLog;
  Fd next = ConnectLogged(taker, takerLog, listener);
  ASSERT_TRUE(next.valid());
  ASSERT_TRUE(test::SendAll(next.get(), {1, 2, 3}));
  next.Reset();
  ASSERT_TRUE(WaitUntil([&] { return takerLog.closes == 1; }));
  EXPECT_EQ(taker.BytesReceived(), 3);
  Variant data = 5;
  taker.GetData(data);
  EXPECT_EQ(data, Variant(5));
  EXPECT_EQ(taker.BytesReceived(), 3);
}

TEST_F(TcpData, SendDataFromSendCompleteKeepsTheOrder) {
  int pieces = 0;
  w.events.SendComplete = [&] {
    if (++pieces < 4) w.SendData(std::string(1, static_cast<char>('a' + pieces)));
  };
  w.SendData("a");
  const Bytes got = PeerReceives(4);
  EXPECT_EQ(std::string(got.begin(), got.end()), "abcd");
  EXPECT_EQ(pieces, 4);
}

// Through the fault-injecting layer.
class TcpDataFaults : public TcpData {
 protected:
  void SetUp() override {
    layer = std::make_unique<FaultySocketsLayer>();
    w2 = std::make_unique<WinSock>();
    peer = ConnectLogged(*w2, log, listener);
    ASSERT_TRUE(peer.valid());
    log.lines.clear();
  }
  void TearDown() override {
    w2.reset();
    layer.reset();
    TcpData::TearDown();
  }
  std::unique_ptr<FaultySocketsLayer> layer;
  std::unique_ptr<WinSock> w2;
};

TEST_F(TcpDataFaults, DrainPausesOnWouldBlockAndResumesInOrder) {
  layer->LimitSends(5000);
  const Bytes first = Pattern(20000, 1);
  const Bytes second = Pattern(7000, 2);
  w2->SendData(first);
  EXPECT_EQ(log.lines, std::vector<std::string>{"SendProgress 5000 15000"});
  // Queued behind the paused drain, not sent ahead of it.
  w2->SendData(second);
  EXPECT_EQ(log.lines.size(), 1u);
  const Bytes early = PeerReceives(5000);
  EXPECT_EQ(early, Bytes(first.begin(), first.begin() + 5000));
  layer->ReleaseSends();
  Bytes expect = first;
  expect.insert(expect.end(), second.begin(), second.end());
  Bytes got = early;
  ASSERT_TRUE(WaitUntil([&] {
    test::ReadAvailable(peer.get(), got);
    return got.size() >= expect.size();
  }));
  EXPECT_EQ(got, expect);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"SendProgress 5000 15000", "SendProgress 22000 0", "SendComplete"}));
}

TEST_F(TcpDataFaults, HardSendFailureRaisesFromSendBufferedData) {
  layer->FailNext(SockCall::send, WSAECONNABORTED);
  w2->SendData("lost");
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 10053 软件造成连接中止. WinSock.SendBufferedData 0 [] 0 cancel");
  EXPECT_EQ(w2->State(), SocketState::Error);
  // No drain outside a connection.
  w2->SendData("more");
  Settle();
  EXPECT_EQ(log.lines.size(), 1u);
  Bytes got;
  test::ReadAvailable(peer.get(), got);
  EXPECT_TRUE(got.empty());
}

TEST_F(TcpDataFaults, BufferSizesReadAsZeroStillMoveData) {
  w2.reset();
  layer->ScriptOption(SO_SNDBUF_W, 0);
  layer->ScriptOption(SO_RCVBUF_W, 0);
  WinSock a;
  EventLog aLog;
  Fd p = ConnectLogged(a, aLog, listener);
  ASSERT_TRUE(p.valid());
  const Bytes sent = Pattern(50000, 3);
  a.SendData(sent);
  Bytes got;
  ASSERT_TRUE(WaitUntil([&] {
    test::ReadAvailable(p.get(), got);
    return got.size() >= sent.size();
  }));
  EXPECT_EQ(got, sent);
  ASSERT_TRUE(test::SendAll(p.get(), sent));
  ASSERT_TRUE(WaitUntil([&] { return a.BytesReceived() == 50000; }));
  Variant back;
  a.GetData(back);
  EXPECT_EQ(back.ByteArray(), sent);
}

TEST_F(TcpDataFaults, RecvFailureEndsInErrorSilently) {
  layer->FailNext(SockCall::recv, WSAECONNRESET);
  ASSERT_TRUE(test::SendAll(peer.get(), {1, 2}));
  ASSERT_TRUE(WaitUntil([&] { return w2->State() == SocketState::Error; }));
  Settle();
  EXPECT_TRUE(log.lines.empty());
}

// Two controls: one connects, the other is accepted through a listening control.
TEST(TcpTransfer, SixtyFourMebibytesEachWayArriveIntact) {
  WinSock server, client, accepted;
  server.Listen();
  // Only the client's: the listener takes any loopback address, and another
  // program's connect to a port it guessed may reach it mid-transfer.
  server.events.ConnectionRequest = [&](std::int32_t id) {
    if (accepted.State() == SocketState::Closed) accepted.Accept(id);
  };
  EventLog clientLog;
  clientLog.Attach(client);
  client.Connect("127.0.0.1", server.LocalPort());
  ASSERT_TRUE(WaitUntil([&] { return clientLog.connects == 1 && accepted.State() == SocketState::Connected; }));

  constexpr std::size_t kSize = 64u << 20;
  const auto run = [&](WinSock& from, WinSock& to, std::uint32_t seed) {
    const Bytes data = Pattern(kSize, seed);
    const std::uint64_t want = Fnv1a(data.data(), data.size());
    std::uint64_t hash = 1469598103934665603ull;
    std::size_t received = 0, largestWaiting = 0;
    bool complete = false;
    to.events.DataArrival = [&](std::int32_t bytesTotal) {
      largestWaiting = std::max<std::size_t>(largestWaiting, static_cast<std::size_t>(bytesTotal));
      Variant chunk;
      to.GetData(chunk);
      hash = Fnv1a(chunk.ByteArray().data(), chunk.ByteArray().size(), hash);
      received += chunk.ByteArray().size();
    };
    from.events.SendComplete = [&] { complete = true; };
    from.SendData(data);
    EXPECT_TRUE(WaitUntil([&] { return received >= kSize; }, 60000));
    EXPECT_TRUE(complete);
    EXPECT_EQ(received, kSize);
    EXPECT_EQ(hash, want);
    // Taken as it came: never more than a few socket buffers wait.
    EXPECT_LT(largestWaiting, 8u << 20);
    to.events.DataArrival = nullptr;
    from.events.SendComplete = nullptr;
  };
  run(client, accepted, 11);
  run(accepted, client, 12);
  client.CloseSck();
  accepted.CloseSck();
  server.CloseSck();
}

// --- datagrams ---------------------------------------------------------------

class Udp : public ::testing::Test {
 protected:
  void SetUp() override {
    receiver.Protocol(ProtocolUdp);
    receiver.Bind(0, "127.0.0.1");
    ASSERT_EQ(receiver.State(), SocketState::Open);
    sender.Protocol(ProtocolUdp);
    sender.RemoteHost("127.0.0.1");
    sender.RemotePort(receiver.LocalPort());
  }
  RecordingPresenter shown;
  WinSock receiver, sender;
};

TEST_F(Udp, DatagramRoundTripWithTheSendersAddress) {
  std::vector<std::string> got;
  receiver.events.DataArrival = [&](std::int32_t bytesTotal) {
    EXPECT_EQ(receiver.BytesReceived(), bytesTotal);
    Variant text = "";
    receiver.GetData(text);
    got.push_back(text.Text());
  };
  EventLog senderLog;
  senderLog.Attach(sender);
  sender.SendData("你好 udp");
  EXPECT_EQ(sender.State(), SocketState::Open);
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 1; }));
  EXPECT_EQ(got[0], "你好 udp");
  EXPECT_EQ(receiver.RemotePort(), sender.LocalPort());
  EXPECT_EQ(receiver.RemoteHostIP(), "127.0.0.1");
  // Neither progress nor completion for datagrams.
  Settle();
  EXPECT_TRUE(senderLog.lines.empty());
  // And back the other way, to the port just read.
  std::vector<std::string> back;
  sender.events.DataArrival = [&](std::int32_t) {
    Variant b;
    sender.GetData(b);
    back.emplace_back(b.ByteArray().begin(), b.ByteArray().end());
  };
  receiver.RemoteHost(receiver.RemoteHostIP());
  receiver.SendData(Bytes{0, 'o', 'k', 0});
  ASSERT_TRUE(WaitUntil([&] { return back.size() == 1; }));
  EXPECT_EQ(back[0], std::string("\0ok\0", 4));
}

TEST_F(Udp, DatagramTheHandlerTookIsNotFollowedByALostOne) {
  std::vector<std::string> got;
  std::vector<std::int32_t> sizes;
  receiver.events.DataArrival = [&](std::int32_t bytesTotal) {
    sizes.push_back(bytesTotal);
    if (sizes.size() == 1) return;  // the first is left alone and dropped
    Variant text = "";
    receiver.GetData(text);
    got.push_back(text.Text());
  };
  sender.SendData("one");
  sender.SendData("two!");
  sender.SendData("three");
  sender.SendData("four..");
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 3; }));
  EXPECT_EQ(sizes, (std::vector<std::int32_t>{3, 4, 5, 6}));
  EXPECT_EQ(got, (std::vector<std::string>{"two!", "three", "four.."}));
  EXPECT_EQ(receiver.BytesReceived(), 0);
}

TEST_F(Udp, PeekLeavesTheDatagramAndMaxLenCutsIt) {
  std::vector<std::vector<std::string>> seen;
  receiver.events.DataArrival = [&](std::int32_t) {
    Variant a = "", b = "", c = "";
    receiver.PeekData(a);
    receiver.PeekData(b, vtText, 2);
    receiver.GetData(c, vtText, 4);  // the rest of the datagram is lost
    seen.push_back({a.Text(), b.Text(), c.Text()});
  };
  sender.SendData("abcdefgh");
  sender.SendData("next");
  ASSERT_TRUE(WaitUntil([&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (std::vector<std::vector<std::string>>{{"abcdefgh", "ab", "abcd"}, {"next", "ne", "next"}}));
}

TEST(UdpFaults, SendFailuresAndUnresolvableHosts) {
  RecordingPresenter shown;
  FaultySocketsLayer layer;
  WinSock w;
  EventLog log;
  log.Attach(w);
  w.Protocol(ProtocolUdp);
  w.RemotePort(9);
  layer.ScriptHost("nowhere.example", {});
  w.RemoteHost("nowhere.example");
  w.SendData("dropped");
  EXPECT_EQ(layer.Calls(SockCall::sendto), 0);
  EXPECT_EQ(w.State(), SocketState::Open);
  w.RemoteHost("127.0.0.1");
  layer.FailNext(SockCall::sendto, WSAEWOULDBLOCK);
  w.SendData("lost quietly");
  EXPECT_TRUE(log.lines.empty());
  layer.FailNext(SockCall::sendto, WSAEMSGSIZE);
  w.SendData("too long");
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Error 10040 信息太长. WinSock.SendBufferedDataUDP 0 [] 0 cancel");
  EXPECT_EQ(w.State(), SocketState::Error);
  w.CloseSck();
}

}  // namespace
}  // namespace mivo
