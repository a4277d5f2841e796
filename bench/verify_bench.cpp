// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Verifying 2,000 proxies on loopback in the sample site's style (a third
// refusing, the rest SOCKS4, SOCKS5 and HTTP in turn, tunnelling to an echo
// server) beside a "测试所有" walk over the same rows in the same run; and the
// process memory each row in flight costs.
//
// The proxies speak the sample site's handshakes in a child process (this
// program with --serve-proxies), so that their work and their memory stay
// out of what is measured here.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "common/fdlimit.h"
#include "common/presenter.h"
#include "harvester/connection_tester.h"
#include "harvester/main_window_ops.h"
#include "tests/support/wait.h"
#include "tools/proxy_handshakes.h"
#include "verify/verifier.h"

namespace mivo {
namespace {

using bench::Clock;
using bench::MsSince;
constexpr int kRows = 2000;

// ----- the child: the listed proxies and the echo server behind them -----

// The listed proxies' handshakes (the sample site's own) and an echo server,
// served by one epoll loop: the proxies' side of the work stays small, so
// that what is measured is this program's side.
class ProxyLoop {
 public:
  ProxyLoop() : ep_(epoll_create1(EPOLL_CLOEXEC)) {}

  int Listen(const std::string& address, int backlog, std::optional<sample::ProxyKind> kind) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address(address, 0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) return 0;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    Add(fd, kind ? Conn::Listener : Conn::EchoListener, kind.value_or(sample::ProxyKind::Http11));
    return ntohs(a.sin_port);
  }
  void EchoTo(int port) { echo_ = Address("127.0.0.1", port); }

  // Serves until `stop` is readable.
  void Run(int stop) {
    epoll_event ev{EPOLLIN, {.u64 = ~0ull}};
    epoll_ctl(ep_, EPOLL_CTL_ADD, stop, &ev);
    epoll_event events[256];
    for (;;) {
      const int n = epoll_wait(ep_, events, 256, -1);
      for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == ~0ull) return;
        Ready(static_cast<int>(events[i].data.u64), events[i].events);
      }
    }
  }

 private:
  enum class Conn { Listener, EchoListener, Client, Target, Echo };
  struct Entry {
    Conn what;
    sample::ProxyKind kind;
    std::unique_ptr<sample::ProxyHandshake> handshake;
    int peer = -1;  // client <-> target
    bool connecting = false;
  };

  static sockaddr_in Address(const std::string& address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
  }
  void Add(int fd, Conn what, sample::ProxyKind kind, std::uint32_t events = EPOLLIN) {
    if (static_cast<std::size_t>(fd) >= conns_.size()) conns_.resize(static_cast<std::size_t>(fd) + 1024);
    conns_[static_cast<std::size_t>(fd)] = std::make_unique<Entry>(Entry{what, kind, nullptr});
    epoll_event ev{events, {.u64 = static_cast<std::uint64_t>(fd)}};
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
  }
  void Close(int fd) {
    if (fd < 0 || !conns_[static_cast<std::size_t>(fd)]) return;
    const int peer = conns_[static_cast<std::size_t>(fd)]->peer;
    conns_[static_cast<std::size_t>(fd)].reset();
    ::close(fd);
    if (peer >= 0 && conns_[static_cast<std::size_t>(peer)]) {
      conns_[static_cast<std::size_t>(peer)]->peer = -1;
      Close(peer);
    }
  }
  static void Send(int fd, const std::string& bytes) {
    if (!bytes.empty()) (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void Apply(int client, const sample::HandshakeTurn& turn) {
    Entry& c = *conns_[static_cast<std::size_t>(client)];
    Send(client, turn.reply);
    if (!turn.toTarget.empty() && c.peer >= 0) Send(c.peer, turn.toTarget);
    if (turn.open) {
      const int t = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(t, reinterpret_cast<const sockaddr*>(&echo_), sizeof echo_);
      Add(t, Conn::Target, c.kind, EPOLLOUT | EPOLLIN);
      conns_[static_cast<std::size_t>(t)]->peer = client;
      conns_[static_cast<std::size_t>(t)]->connecting = true;
      c.peer = t;
    }
    if (turn.close) Close(client);
  }
  void Ready(int fd, std::uint32_t events) {
    if (!conns_[static_cast<std::size_t>(fd)]) return;
    Entry& e = *conns_[static_cast<std::size_t>(fd)];
    if (e.what == Conn::Listener || e.what == Conn::EchoListener) {
      for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        const sample::ProxyKind kind = e.kind;
        const bool echo = e.what == Conn::EchoListener;
        Add(c, echo ? Conn::Echo : Conn::Client, kind);
        if (!echo) {
          sample::SampleProxy p;
          p.kind = kind;
          conns_[static_cast<std::size_t>(c)]->handshake = sample::HandshakeFor(p);
        }
      }
      return;
    }
    if (e.what == Conn::Target && e.connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      e.connecting = false;
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      epoll_event ev{EPOLLIN, {.u64 = static_cast<std::uint64_t>(fd)}};
      epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
      const int client = e.peer;
      if (client >= 0) Apply(client, conns_[static_cast<std::size_t>(client)]->handshake->TargetConnected(err == 0));
      return;
    }
    char buf[16384];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) return;
      Close(fd);
      return;
    }
    const std::string bytes(buf, static_cast<std::size_t>(n));
    switch (e.what) {
      case Conn::Echo: Send(fd, bytes); break;
      case Conn::Target:
        if (e.peer >= 0) Send(e.peer, bytes);
        break;
      case Conn::Client: Apply(fd, e.handshake->Received(bytes)); break;
      case Conn::Listener:
      case Conn::EchoListener: break;
    }
  }

  int ep_;
  sockaddr_in echo_{};
  // By descriptor; an entry stays put while others come and go.
  std::vector<std::unique_ptr<Entry>> conns_;
};

// Row i on its own loopback address: every third refuses, the others speak
// SOCKS4, SOCKS5 and HTTP in turn. Prints "echo PORT", one "address port
// type" line per row, then "ready"; serves until its standard input ends.
int ServeProxies() {
  RaiseOpenFileLimit();
  ProxyLoop loop;
  const int echoPort = loop.Listen("127.0.0.1", 4096, std::nullopt);
  loop.EchoTo(echoPort);
  // Bound, never listening: connections to its port are refused on every address.
  const int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  ::bind(refusing, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(refusing, reinterpret_cast<sockaddr*>(&a), &len);
  const int refusedPort = ntohs(a.sin_port);

  std::printf("echo %d\n", echoPort);
  const sample::ProxyKind kinds[] = {sample::ProxyKind::Socks4, sample::ProxyKind::Socks5, sample::ProxyKind::Http11};
  int live = 0;
  for (int i = 0; i < kRows; ++i) {
    const std::string address = "127.0." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250);
    const sample::ProxyKind kind = kinds[live % 3];
    int port = refusedPort;
    if (i % 3 != 1) {
      ++live;
      port = loop.Listen(address, 64, kind);
      if (port == 0) return 1;
    }
    std::printf("%s %d %s\n", address.c_str(), port, sample::TypeText(kind));
  }
  std::printf("ready\n");
  std::fflush(stdout);
  loop.Run(STDIN_FILENO);
  ::close(refusing);
  return 0;
}
MIVO_BENCH_CHILD_MODE("--serve-proxies", ServeProxies);

struct Site {
  QProcess child;
  std::vector<verify::Row> rows;
  int echoPort = 0;

  bool Start() {
    child.start(QCoreApplication::applicationFilePath(), {"--serve-proxies"});
    if (!child.waitForStarted(10000)) return false;
    std::string line;
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
      if (!child.canReadLine() && !child.waitForReadyRead(1000)) continue;
      while (child.canReadLine()) {
        line = child.readLine().trimmed().toStdString();
        if (line == "ready") return static_cast<int>(rows.size()) == kRows && echoPort != 0;
        if (line.rfind("echo ", 0) == 0) {
          echoPort = std::atoi(line.c_str() + 5);
          continue;
        }
        const std::size_t s1 = line.find(' '), s2 = line.find(' ', s1 + 1);
        rows.push_back({line.substr(0, s1), line.substr(s1 + 1, s2 - s1 - 1), line.substr(s2 + 1)});
      }
    }
    return false;
  }
  ~Site() {
    child.closeWriteChannel();
    if (!child.waitForFinished(10000)) child.kill();
  }
};

// The check walk as `mivoproxy-cli check` runs it: every row in the list,
// testall, then the loop until each row has its mark.
double CheckWalk(const std::vector<verify::Row>& rows, int& successes) {
  HeadlessMainOps ops;
  for (const verify::Row& r : rows) {
    ops.Rows().Append(r.address);
    ops.Rows().SetText(ops.Rows().Count(), ProxyColumn::Port, r.port);
  }
  auto allMarked = [&] {
    for (int n = 1; n <= ops.Rows().Count(); ++n)
      if (ops.Rows().Text(n, ProxyColumn::Result).empty()) return false;
    return true;
  };
  ConnectionTester tester(ops);
  const auto t0 = Clock::now();
  tester.testall();
  test::WaitUntil(allMarked, 60000);
  const double ms = MsSince(t0);
  successes = 0;
  for (int n = 1; n <= ops.Rows().Count(); ++n) successes += ops.Rows().Text(n, ProxyColumn::Result) == kMarkSuccess;
  return ms;
}

void BM_VerifyBesideCheck(benchmark::State& state) {
  RecordingPresenter quiet;
  Site site;
  if (!site.Start()) {
    state.SkipWithError("the proxies' process did not start");
    return;
  }
  verify::Options o;
  o.targetHost = "127.0.0.1";
  o.targetPort = site.echoPort;

  double verifyMs = 0, checkMs = 0;
  long bytesPerRow = -1;
  std::size_t peak = 0;
  int opened = 0, failed = 0, timedOut = 0, checked = 0;
  for (auto _ : state) {
    verify::Verifier v(site.rows, o);
    bool finished = false;
    v.onFinished = [&] { finished = true; };
    // Memory in the first round only: later rounds reuse what the first let go.
    const bool measure = bytesPerRow < 0;
    const long before = bench::ResidentBytes();
    long most = before;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { most = std::max(most, bench::ResidentBytes()); });
    if (measure) sampler.start(2);
    const auto t0 = Clock::now();
    v.Start();
    if (measure) most = std::max(most, bench::ResidentBytes());
    test::WaitUntil([&] { return finished; }, 60000);
    const double verifyRound = MsSince(t0);
    sampler.stop();
    peak = v.PeakInFlight();
    if (measure && peak > 0) bytesPerRow = (std::max(most, bench::ResidentBytes()) - before) / static_cast<long>(peak);
    opened = failed = 0;
    timedOut = 0;
    for (const verify::Result& r : v.Results()) {
      (r.Ok() ? opened : failed)++;
      timedOut += r.ending == verify::Ending::TimedOut;
    }

    const double checkRound = CheckWalk(site.rows, checked);
    state.SetIterationTime((verifyRound + checkRound) / 1000);
    verifyMs += verifyRound;
    checkMs += checkRound;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["verify_ms"] = verifyMs / n;
  state.counters["check_ms"] = checkMs / n;
  state.counters["ratio"] = verifyMs / checkMs;
  state.counters["rows_in_flight"] = static_cast<double>(peak);
  state.counters["bytes_per_row_in_flight"] = static_cast<double>(bytesPerRow);
  state.counters["tunnels"] = opened;
  state.counters["failed"] = failed;
  state.counters["timed_out"] = timedOut;
  state.counters["check_successes"] = checked;
  std::printf(
      "verify %.1f ms beside check %.1f ms over %d rows: ratio %.2f (goal <= 3); %ld bytes of process memory "
      "per row in flight, %zu in flight (goal < 8 KiB)\n",
      verifyMs / n, checkMs / n, kRows, verifyMs / checkMs, bytesPerRow, peak);
}
// Few rounds: every round leaves some 4,000 connections in TIME_WAIT on
// loopback for a minute, and with them each bind before a connect searches
// longer for a free port.
BENCHMARK(BM_VerifyBesideCheck)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace
}  // namespace mivo
