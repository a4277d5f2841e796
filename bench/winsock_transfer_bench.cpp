// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// 64 MiB between two controls over loopback, beside a plain blocking socket
// loop moving the same bytes (sender and receiver on two threads) and a
// plain non-blocking loop moving them on one thread, as the controls do.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "bench/support/bench_support.h"
#include "socket/winsock.h"
#include "tests/support/wait.h"

namespace mivo {
namespace {

constexpr std::size_t kTotal = 64u << 20;
constexpr std::size_t kPiece = 1u << 20;

// Two connected controls: `client` connects, `accepted` takes the request.
struct Pair {
  WinSock server, client, accepted;
  Pair() {
    server.Listen();
    server.events.ConnectionRequest = [this](std::int32_t id) { accepted.Accept(id); };
    bool connected = false;
    client.events.Connect = [&connected] { connected = true; };
    client.Connect("127.0.0.1", server.LocalPort());
    test::WaitUntil([&] { return connected && accepted.State() == SocketState::Connected; });
    client.events.Connect = nullptr;
  }
};

void BM_WinSockTransfer64MiB(benchmark::State& state) {
  Pair pair;
  const Variant piece = Bytes(kPiece, 0x5A);
  std::size_t largestWaiting = 0;
  long peakGrowth = 0;
  for (auto _ : state) {
    const long before = bench::ResidentBytes();
    std::size_t queued = 0, received = 0;
    // The sender hands over one piece whenever its queue has gone out, so
    // memory stays at a piece or two whatever the total.
    pair.client.events.SendComplete = [&] {
      if (queued >= kTotal) return;
      queued += kPiece;
      pair.client.SendData(piece);
    };
    pair.accepted.events.DataArrival = [&](std::int32_t bytesTotal) {
      largestWaiting = std::max(largestWaiting, static_cast<std::size_t>(bytesTotal));
      Variant chunk;
      pair.accepted.GetData(chunk);
      received += chunk.ByteArray().size();
    };
    queued = kPiece;
    pair.client.SendData(piece);
    test::WaitUntil([&] { return received >= kTotal; }, 120000);
    peakGrowth = std::max(peakGrowth, bench::ResidentBytes() - before);
    if (received != kTotal) state.SkipWithError("transfer incomplete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
  state.counters["largest_waiting_bytes"] = static_cast<double>(largestWaiting);
  state.counters["rss_growth_bytes"] = static_cast<double>(peakGrowth);
}

void BM_PlainBlockingTransfer64MiB(benchmark::State& state) {
  sockaddr_in a{};
  const int l = bench::ListenOnLoopback(1, a);
  const int c = ::socket(AF_INET, SOCK_STREAM, 0);
  ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int s = ::accept(l, nullptr, nullptr);
  const std::vector<std::uint8_t> piece(kPiece, 0x5A);
  std::vector<std::uint8_t> buf(1 << 17);
  for (auto _ : state) {
    std::thread sender([&] {
      for (std::size_t sent = 0; sent < kTotal;) {
        const ssize_t n = ::send(c, piece.data(), std::min(kPiece, kTotal - sent), MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
      }
    });
    std::size_t received = 0;
    while (received < kTotal) {
      const ssize_t n = ::recv(s, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      received += static_cast<std::size_t>(n);
    }
    sender.join();
    if (received != kTotal) state.SkipWithError("transfer incomplete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
  ::close(s);
  ::close(c);
  ::close(l);
}

// The same bytes through non-blocking sockets on one thread, as the two
// controls move them: what a single thread pays for both ends.
void BM_PlainOneThreadTransfer64MiB(benchmark::State& state) {
  sockaddr_in a{};
  const int l = bench::ListenOnLoopback(1, a);
  const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int s = ::accept4(l, nullptr, nullptr, SOCK_NONBLOCK);
  pollfd out{c, POLLOUT, 0};
  ::poll(&out, 1, 5000);
  const std::vector<std::uint8_t> piece(kPiece, 0x5A);
  std::vector<std::uint8_t> buf(1 << 17);
  for (auto _ : state) {
    std::size_t sent = 0, received = 0;
    while (received < kTotal) {
      pollfd fds[2] = {{c, static_cast<short>(sent < kTotal ? POLLOUT : 0), 0}, {s, POLLIN, 0}};
      if (::poll(fds, 2, 5000) <= 0) break;
      if (fds[0].revents & POLLOUT) {
        const std::size_t at = sent % kPiece;
        const ssize_t n = ::send(c, piece.data() + at, std::min(kPiece - at, kTotal - sent), MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::size_t>(n);
      }
      if (fds[1].revents & POLLIN) {
        const ssize_t n = ::recv(s, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        received += static_cast<std::size_t>(n);
      }
    }
    if (received != kTotal) state.SkipWithError("transfer incomplete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
  ::close(s);
  ::close(c);
  ::close(l);
}

BENCHMARK(BM_WinSockTransfer64MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainBlockingTransfer64MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainOneThreadTransfer64MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
MIVO_BENCH_RATIO("BM_WinSockTransfer64MiB", "BM_PlainBlockingTransfer64MiB", 1.5);
MIVO_BENCH_RATIO("BM_WinSockTransfer64MiB", "BM_PlainOneThreadTransfer64MiB", 1.5);

}  // namespace
}  // namespace mivo
