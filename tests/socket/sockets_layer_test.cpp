// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "socket/sockets_layer.h"

#include <dirent.h>
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/socket/socket_fixture.h"

namespace mivo {
namespace {

using test::Fd;
using test::RawListener;
using test::Settle;
using test::WaitUntil;

TEST(PosixSocketsLayer, StartUpCountsAndReportsVersionAndOpenFileLimit) {
  PosixSocketsLayer layer;
  WSAData data;
  ASSERT_EQ(layer.WSAStartup(0x0101, data), 0);
  ASSERT_EQ(layer.WSAStartup(0x0101, data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  EXPECT_EQ(data.iMaxSockets, static_cast<std::int16_t>(std::min<rlim_t>(lim.rlim_cur, 32767)));
  EXPECT_EQ(layer.StartCount(), 2);
  EXPECT_EQ(layer.WSACleanup(), 0);
  EXPECT_EQ(layer.WSACleanup(), 0);
  EXPECT_EQ(layer.WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(layer.StartCount(), 0);
}

class ErrnoTable : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(ErrnoTable, MapsToTheWindowsNumber) {
  EXPECT_EQ(WsaErrorFromErrno(std::get<0>(GetParam())), std::get<1>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    EveryEntry, ErrnoTable,
    ::testing::Values(std::tuple{0, 0}, std::tuple{EINTR, 10004}, std::tuple{EBADF, 10009}, std::tuple{EPERM, 10013},
                      std::tuple{EACCES, 10013}, std::tuple{EFAULT, 10014}, std::tuple{EINVAL, 10022},
                      std::tuple{EMFILE, 10024}, std::tuple{ENFILE, 10024}, std::tuple{EAGAIN, 10035},
                      std::tuple{EWOULDBLOCK, 10035}, std::tuple{EINPROGRESS, 10036}, std::tuple{EALREADY, 10037},
                      std::tuple{ENOTSOCK, 10038}, std::tuple{EDESTADDRREQ, 10039}, std::tuple{EMSGSIZE, 10040},
                      std::tuple{EPROTOTYPE, 10041}, std::tuple{ENOPROTOOPT, 10042}, std::tuple{EPROTONOSUPPORT, 10043},
                      std::tuple{ESOCKTNOSUPPORT, 10044}, std::tuple{EOPNOTSUPP, 10045},
                      std::tuple{EPFNOSUPPORT, 10046}, std::tuple{EAFNOSUPPORT, 10047}, std::tuple{EADDRINUSE, 10048},
                      std::tuple{EADDRNOTAVAIL, 10049}, std::tuple{ENETDOWN, 10050}, std::tuple{ENETUNREACH, 10051},
                      std::tuple{ENETRESET, 10052}, std::tuple{ECONNABORTED, 10053}, std::tuple{ECONNRESET, 10054},
                      std::tuple{ENOBUFS, 10055}, std::tuple{ENOMEM, 10055}, std::tuple{EISCONN, 10056},
                      std::tuple{ENOTCONN, 10057}, std::tuple{ESHUTDOWN, 10058}, std::tuple{EPIPE, 10058},
                      std::tuple{ETOOMANYREFS, 10059}, std::tuple{ETIMEDOUT, 10060}, std::tuple{ECONNREFUSED, 10061},
                      std::tuple{ELOOP, 10062}, std::tuple{ENAMETOOLONG, 10063}, std::tuple{EHOSTDOWN, 10064},
                      std::tuple{EHOSTUNREACH, 10065}, std::tuple{ENOTEMPTY, 10066}, std::tuple{EUSERS, 10068},
                      std::tuple{EDQUOT, 10069}, std::tuple{ESTALE, 10070}, std::tuple{EREMOTE, 10071},
                      // No Windows counterpart: a generic failure, never a number that names another cause.
                      std::tuple{EIO, 10107}, std::tuple{ENOENT, 10107}, std::tuple{EDEADLK, 10107},
                      std::tuple{9999, 10107}));

class LookupTable : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(LookupTable, MapsToTheWindowsNumber) {
  EXPECT_EQ(WsaErrorFromLookup(std::get<0>(GetParam()), std::get<1>(GetParam())), std::get<2>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(EveryEntry, LookupTable,
                         ::testing::Values(std::tuple{0, 0, 0}, std::tuple{EAI_NONAME, 0, 11001},
                                           std::tuple{EAI_AGAIN, 0, 11002}, std::tuple{EAI_FAIL, 0, 11003},
                                           std::tuple{EAI_NODATA, 0, 11004}, std::tuple{EAI_ADDRFAMILY, 0, 11004},
                                           std::tuple{EAI_MEMORY, 0, 10055}, std::tuple{EAI_SYSTEM, EMFILE, 10024},
                                           std::tuple{EAI_SYSTEM, 0, 11003}, std::tuple{EAI_SERVICE, 0, 11003}));

TEST(PosixSocketsLayer, AddressTextBothWays) {
  PosixSocketsLayer& l = PosixSockets();
  EXPECT_EQ(l.inet_addr("127.0.0.1"), htonl(0x7F000001));
  EXPECT_EQ(l.inet_addr("10.1.2.3"), htonl(0x0A010203));
  // The all-ones address cannot be told from a failure.
  EXPECT_EQ(l.inet_addr("255.255.255.255"), INADDR_NONE_W);
  EXPECT_EQ(l.inet_addr("localhost"), INADDR_NONE_W);
  EXPECT_EQ(l.inet_addr(""), INADDR_NONE_W);
  EXPECT_EQ(l.inet_addr(std::string("127.0.0.1\0x", 11)), INADDR_NONE_W);
  EXPECT_EQ(l.inet_ntoa(htonl(0x7F000001)), "127.0.0.1");
  EXPECT_EQ(l.inet_ntoa(htonl(0xC0A8FF01)), "192.168.255.1");
}

TEST(PosixSocketsLayer, FailuresCarryTheirWindowsNumbers) {
  PosixSocketsLayer& l = PosixSockets();
  EXPECT_EQ(l.socket(23, SOCK_STREAM_W, 0).error, WSAEAFNOSUPPORT);
  EXPECT_EQ(l.socket(AF_INET_W, 5, 0).error, WSAESOCKTNOSUPPORT);
  std::uint8_t b = 0;
  EXPECT_EQ(l.recv(INVALID_SOCKET, &b, 1, 0).error, WSAEBADF);
  const SockResult s = l.socket(AF_INET_W, SOCK_STREAM_W, IPPROTO_TCP_W);
  ASSERT_TRUE(s.ok());
  const auto fd = static_cast<SOCKET>(s.value);
  EXPECT_EQ(l.send(fd, &b, 1, 0).error, WSAESHUTDOWN);  // never connected: EPIPE
  std::int32_t v = 0;
  EXPECT_EQ(l.getsockopt(fd, SOL_SOCKET_W, SO_MAX_MSG_SIZE_W, v).error, WSAENOPROTOOPT);
  EXPECT_TRUE(l.getsockopt(fd, SOL_SOCKET_W, SO_SNDBUF_W, v).ok());
  EXPECT_GT(v, 0);
  SockAddrIn peer;
  EXPECT_EQ(l.getpeername(fd, peer).error, WSAENOTCONN);
  EXPECT_TRUE(l.closesocket(fd).ok());
}

// Records every notification of the sockets registered for it.
struct Sink : SocketNotifySink {
  struct Note {
    SOCKET s;
    int event;
    int error;
  };
  std::vector<Note> notes;
  std::vector<std::pair<LookupTask, int>> lookups;
  void SocketNotify(SOCKET s, int event, int error) override { notes.push_back({s, event, error}); }
  void HostLookupNotify(LookupTask task, int error) override { lookups.emplace_back(task, error); }
  int Count(SOCKET s, int event) const {
    int n = 0;
    for (const Note& x : notes) n += x.s == s && x.event == event;
    return n;
  }
  const Note* Last(SOCKET s, int event) const {
    for (auto it = notes.rbegin(); it != notes.rend(); ++it)
      if (it->s == s && it->event == event) return &*it;
    return nullptr;
  }
};

// Lets every queued notification run, without waiting for anything new.
class Notifications : public test::SocketTest {
 protected:
  PosixSocketsLayer& layer = PosixSockets();
  Sink sink;

  SOCKET Tcp() {
    const SockResult r = layer.socket(AF_INET_W, SOCK_STREAM_W, IPPROTO_TCP_W);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(layer.WSAAsyncSelect(static_cast<SOCKET>(r.value), &sink, kNotifySet).ok());
    return static_cast<SOCKET>(r.value);
  }
  SockAddrIn To(std::uint16_t port) {
    SockAddrIn a;
    a.sin_port = HostToNetShort(port);
    a.sin_addr = layer.inet_addr("127.0.0.1");
    return a;
  }
  // A connected pair: our registered socket and the raw peer.
  std::pair<SOCKET, Fd> Connected(RawListener& listener) {
    const SOCKET s = Tcp();
    EXPECT_EQ(layer.connect(s, To(listener.port())).error, WSAEWOULDBLOCK);
    EXPECT_TRUE(WaitUntil([&] { return sink.Count(s, FD_CONNECT) == 1; }));
    return {s, listener.Accept()};
  }
};

TEST_F(Notifications, ConnectThenOneWriteNotification) {
  RawListener listener;
  auto [s, peer] = Connected(listener);
  EXPECT_TRUE(WaitUntil([&] { return sink.Count(s, FD_WRITE) == 1; }));
  ASSERT_GE(sink.notes.size(), 2u);
  EXPECT_EQ(sink.notes[0].event, FD_CONNECT);
  EXPECT_EQ(sink.notes[0].error, 0);
  EXPECT_EQ(sink.notes[1].event, FD_WRITE);
  Settle();
  EXPECT_EQ(sink.Count(s, FD_WRITE), 1);
  layer.closesocket(s);
}

TEST_F(Notifications, RefusedConnectEndsWith10061) {
  const SOCKET s = Tcp();
  EXPECT_EQ(layer.connect(s, To(test::ClosedPort())).error, WSAEWOULDBLOCK);
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(s, FD_CONNECT) == 1; }));
  EXPECT_EQ(sink.Last(s, FD_CONNECT)->error, WSAECONNREFUSED);
  Settle();
  EXPECT_EQ(sink.notes.size(), 1u);
  layer.closesocket(s);
}

TEST_F(Notifications, AddressNotAvailableAtOnceStillEndsWithAConnectNotification) {
  // Two sockets sharing one local address and port cannot both reach the
  // same peer: the second connect fails at once with EADDRNOTAVAIL.
  RawListener listener;
  const SOCKET a = Tcp();
  const SOCKET b = Tcp();
  const int one = 1;
  ::setsockopt(a, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(b, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ASSERT_TRUE(layer.bind(a, To(0)).ok());
  SockAddrIn local;
  ASSERT_TRUE(layer.getsockname(a, local).ok());
  ASSERT_TRUE(layer.bind(b, To(NetToHostShort(local.sin_port))).ok());
  EXPECT_EQ(layer.connect(a, To(listener.port())).error, WSAEWOULDBLOCK);
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(a, FD_CONNECT) == 1; }));
  EXPECT_EQ(layer.connect(b, To(listener.port())).error, WSAEADDRNOTAVAIL);
  // Whoever waits for the outcome hears it.
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(b, FD_CONNECT) == 1; }));
  EXPECT_EQ(sink.Last(b, FD_CONNECT)->error, WSAEADDRNOTAVAIL);
  layer.closesocket(a);
  layer.closesocket(b);
}

TEST_F(Notifications, ConnectToAPeerThatNeverAnswersTimesOutWith10060) {
  // A listener whose queue is full drops further handshakes without a word.
  RawListener silent(0);
  Fd filler = test::RawConnect(silent.port());
  ASSERT_TRUE(filler.valid());
  layer.SetConnectTimeout(std::chrono::milliseconds(150));
  const SOCKET s = Tcp();
  EXPECT_EQ(layer.connect(s, To(silent.port())).error, WSAEWOULDBLOCK);
  layer.SetConnectTimeout(PosixSocketsLayer::kConnectTimeout);
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(s, FD_CONNECT) == 1; }));
  EXPECT_EQ(sink.Last(s, FD_CONNECT)->error, WSAETIMEDOUT);
  layer.closesocket(s);
}

TEST_F(Notifications, ReadIsReportedOnceUntilTheNextRecv) {
  RawListener listener;
  auto [a, peerA] = Connected(listener);
  auto [b, peerB] = Connected(listener);
  ASSERT_TRUE(test::SendAll(peerA.get(), {1, 2, 3, 4, 5, 6}));
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(a, FD_READ) == 1; }));
  // More data while the first report is unanswered, then a marker on the other socket.
  ASSERT_TRUE(test::SendAll(peerA.get(), {7, 8}));
  ASSERT_TRUE(test::SendAll(peerB.get(), {9}));
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(b, FD_READ) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(a, FD_READ), 1);
  std::uint8_t buf[4];
  ASSERT_EQ(layer.recv(a, buf, 4, 0).value, 4);
  // Data is left, so the report comes again.
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(a, FD_READ) == 2; }));
  ASSERT_EQ(layer.recv(a, buf, 4, 0).value, 4);
  EXPECT_EQ(buf[3], 8);
  Settle();
  EXPECT_EQ(sink.Count(a, FD_READ), 2);
  layer.closesocket(a);
  layer.closesocket(b);
}

TEST_F(Notifications, CloseWaitsForUnreadDataAndComesOnce) {
  RawListener listener;
  auto [s, peer] = Connected(listener);
  ASSERT_TRUE(test::SendAll(peer.get(), {1, 2, 3, 4, 5}));
  peer.Reset();
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(s, FD_READ) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(s, FD_CLOSE), 0);
  std::uint8_t buf[16];
  ASSERT_EQ(layer.recv(s, buf, sizeof buf, 0).value, 5);
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(s, FD_CLOSE) == 1; }));
  EXPECT_EQ(sink.Last(s, FD_CLOSE)->error, 0);
  Settle();
  EXPECT_EQ(sink.Count(s, FD_CLOSE), 1);
  layer.closesocket(s);
}

TEST_F(Notifications, ResetIsACloseWith10054) {
  RawListener listener;
  auto [s, peer] = Connected(listener);
  peer.Abort();
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(s, FD_CLOSE) == 1; }));
  EXPECT_EQ(sink.Last(s, FD_CLOSE)->error, WSAECONNRESET);
  layer.closesocket(s);
}

TEST_F(Notifications, AcceptIsReportedOnceUntilTheNextAccept) {
  const SOCKET l = Tcp();
  ASSERT_TRUE(layer.bind(l, To(0)).ok());
  ASSERT_TRUE(layer.listen(l, 5).ok());
  SockAddrIn bound;
  ASSERT_TRUE(layer.getsockname(l, bound).ok());
  Fd c1 = test::RawConnect(NetToHostShort(bound.sin_port));
  Fd c2 = test::RawConnect(NetToHostShort(bound.sin_port));
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(l, FD_ACCEPT) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(l, FD_ACCEPT), 1);
  SockAddrIn from;
  const SockResult a1 = layer.accept(l, &from);
  ASSERT_TRUE(a1.ok());
  EXPECT_EQ(NetToHostShort(from.sin_port), test::LocalPortOf(c1.get()));
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(l, FD_ACCEPT) == 2; }));
  const SockResult a2 = layer.accept(l, nullptr);
  ASSERT_TRUE(a2.ok());
  // Nothing waits now: a further accept would block.
  EXPECT_EQ(layer.accept(l, nullptr).error, WSAEWOULDBLOCK);
  layer.closesocket(static_cast<SOCKET>(a1.value));
  layer.closesocket(static_cast<SOCKET>(a2.value));
  layer.closesocket(l);
}

TEST_F(Notifications, SendThatWouldBlockBringsWriteWhenThereIsRoomAgain) {
  RawListener listener;
  auto [s, peer] = Connected(listener);
  ASSERT_TRUE(WaitUntil([&] { return sink.Count(s, FD_WRITE) == 1; }));
  std::vector<std::uint8_t> chunk(1 << 16, 0xAB);
  std::size_t sent = 0;
  SockResult r;
  while ((r = layer.send(s, chunk.data(), static_cast<int>(chunk.size()), 0)).ok()) sent += r.value;
  EXPECT_EQ(r.error, WSAEWOULDBLOCK);
  Settle();
  EXPECT_EQ(sink.Count(s, FD_WRITE), 1);
  std::vector<std::uint8_t> got;
  ASSERT_TRUE(WaitUntil([&] {
    test::ReadAvailable(peer.get(), got);
    return sink.Count(s, FD_WRITE) == 2;
  }));
  ASSERT_TRUE(WaitUntil([&] {
    test::ReadAvailable(peer.get(), got);
    return got.size() == sent;
  }));
  layer.closesocket(s);
}

TEST_F(Notifications, OneEpollInstanceServesEverySocket) {
  const auto epolls = [] {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) {
      char target[256] = {};
      const std::string path = std::string("/proc/self/fd/") + e->d_name;
      if (readlink(path.c_str(), target, sizeof target - 1) > 0 && std::string(target) == "anon_inode:[eventpoll]") ++n;
    }
    closedir(d);
    return n;
  };
  const SOCKET first = Tcp();  // makes sure the loop side exists
  const int before = epolls();
  std::vector<SOCKET> many;
  for (int i = 0; i < 200; ++i) many.push_back(Tcp());
  EXPECT_EQ(epolls(), before);
  EXPECT_EQ(layer.Registered(), 201u);
  for (SOCKET s : many) layer.closesocket(s);
  layer.closesocket(first);
}

TEST_F(Notifications, LookupOfLocalhostAnswersWithItsAddress) {
  auto buffer = layer.AllocLookupBuffer();
  ASSERT_TRUE(buffer);
  int error = -1;
  const LookupTask task = layer.WSAAsyncGetHostByName(&sink, "localhost", buffer.get(), error);
  ASSERT_NE(task, 0u);
  EXPECT_EQ(error, 0);
  ASSERT_TRUE(WaitUntil([&] { return !sink.lookups.empty(); }));
  EXPECT_EQ(sink.lookups[0].first, task);
  EXPECT_EQ(sink.lookups[0].second, 0);
  ASSERT_FALSE(buffer->addresses.empty());
  EXPECT_EQ(buffer->addresses[0], htonl(0x7F000001));
  // Answered: cancelling fails harmlessly.
  EXPECT_FALSE(layer.WSACancelAsyncRequest(task).ok());
}

TEST_F(Notifications, CancelledLookupIsNeverAnswered) {
  auto buffer = layer.AllocLookupBuffer();
  int error = 0;
  const LookupTask task = layer.WSAAsyncGetHostByName(&sink, "localhost", buffer.get(), error);
  ASSERT_NE(task, 0u);
  EXPECT_TRUE(layer.WSACancelAsyncRequest(task).ok());
  buffer.reset();
  // A second lookup that is answered proves the loop ran past the first.
  auto other = layer.AllocLookupBuffer();
  const LookupTask second = layer.WSAAsyncGetHostByName(&sink, "localhost", other.get(), error);
  ASSERT_TRUE(WaitUntil([&] { return !sink.lookups.empty(); }));
  Settle();
  ASSERT_EQ(sink.lookups.size(), 1u);
  EXPECT_EQ(sink.lookups[0].first, second);
}

TEST_F(Notifications, OverlongNameDoesNotStartALookup) {
  auto buffer = layer.AllocLookupBuffer();
  int error = 0;
  EXPECT_EQ(layer.WSAAsyncGetHostByName(&sink, std::string(300, 'a'), buffer.get(), error), 0u);
  EXPECT_EQ(error, WSAEINVAL);
}

}  // namespace
}  // namespace mivo
