// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// "测试所有" over 2,000 to 100,000 loopback rows (half listening, half
// refused; and 18,000 all listening), beside a plain epoll program with as
// many connects in flight in the same run; the process memory each row costs;
// and how long the walk holds the window.

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "common/fdlimit.h"
#include "common/presenter.h"
#include "harvester/connection_tester.h"
#include "harvester/main_window_ops.h"
#include "harvester/ui/frm_main.h"
#include "ping/icmp_sender.h"
#include "ping/mod_ping.h"
#include "tests/support/netns.h"
#include "tests/support/wait.h"

namespace mivo {
namespace {

using bench::Clock;
using bench::MsSince;
constexpr int kRows = 2000;
constexpr int kListeners = 8;

sockaddr_in Loopback(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// Listening proxies on 127.0.0.1..8, in a process of their own so that what
// they hold does not count against the walk's descriptors. They accept and
// hold what they accepted until told to let go.
class Proxies {
 public:
  Proxies() {
    std::vector<int> listeners;
    for (int i = 0; i < kListeners; ++i) {
      const std::string address = "127.0.0." + std::to_string(i + 1);
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in a = Loopback(address, 0);
      socklen_t len = sizeof a;
      bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      listen(fd, 4096);
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
      endpoints.emplace_back(address, ntohs(a.sin_port));
      listeners.push_back(fd);
    }
    int toChild[2], toParent[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(toParent, O_CLOEXEC) != 0) std::abort();
    child_ = fork();
    if (child_ == 0) {
      close(toChild[1]);
      close(toParent[0]);
      Run(listeners, toChild[0], toParent[1]);
      _exit(0);
    }
    close(toChild[0]);
    close(toParent[1]);
    command_ = toChild[1];
    ack_ = toParent[0];
    for (int fd : listeners) close(fd);
  }
  ~Proxies() {
    close(command_);  // the child ends when its command pipe closes
    int status = 0;
    waitpid(child_, &status, 0);
    close(ack_);
  }
  // Closes what was accepted, the proxies' side first, so that the waiting
  // closes stay on their side and do not hold the ports of the next run.
  void LetGo() {
    const char c = 'x';
    if (write(command_, &c, 1) == 1) (void)!read(ack_, const_cast<char*>(&c), 1);
  }

  std::vector<std::pair<std::string, int>> endpoints;

 private:
  static void Run(const std::vector<int>& listeners, int command, int ack) {
    rlimit lim{1u << 20, 1u << 20};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) RaiseOpenFileLimit();
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event cev{EPOLLIN, {.fd = command}};
    epoll_ctl(ep, EPOLL_CTL_ADD, command, &cev);
    for (int fd : listeners) {
      epoll_event lev{EPOLLIN, {.fd = fd}};
      epoll_ctl(ep, EPOLL_CTL_ADD, fd, &lev);
    }
    std::vector<int> accepted;
    const auto acceptAll = [&](int listener) {
      for (int c; (c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EMFILE;) {
        if (c >= 0) {
          accepted.push_back(c);
          continue;
        }
        // Out of descriptors even so: the oldest half goes.
        if (accepted.empty()) return;
        const auto half = accepted.begin() + static_cast<std::ptrdiff_t>(accepted.size() / 2);
        std::for_each(accepted.begin(), half, close);
        accepted.erase(accepted.begin(), half);
      }
    };
    epoll_event events[16];
    for (;;) {
      const int n = epoll_wait(ep, events, 16, -1);
      for (int i = 0; i < n; ++i) {
        if (events[i].data.fd != command) {
          acceptAll(events[i].data.fd);
          continue;
        }
        char c;
        if (read(command, &c, 1) != 1) return;
        for (int fd : listeners) acceptAll(fd);
        for (int fd : accepted) close(fd);
        accepted.clear();
        (void)!write(ack, &c, 1);
      }
    }
  }

  pid_t child_ = -1;
  int command_ = -1;
  int ack_ = -1;
};

struct Target {
  std::string address;
  int port;
};

// Even rows go to a listening proxy, odd rows to a port nobody listens on;
// with `allListening` every row goes to a proxy.
std::vector<Target> Targets(const Proxies& proxies, int closedPort, int rows, bool allListening) {
  std::vector<Target> t;
  for (int i = 0; i < rows; ++i) {
    if (allListening || i % 2 == 0) {
      const auto& [address, port] = proxies.endpoints[static_cast<std::size_t>(i / 2 % kListeners)];
      t.push_back({address, port});
    } else {
      t.push_back({"127.0.1." + std::to_string(i / 2 % 250 + 1), closedPort});
    }
  }
  return t;
}

// The same connects without any of the program: one epoll set, SO_ERROR on
// each completion, at most `limit` in flight, one started as one ends.
// Returns milliseconds until the last outcome.
double PlainEpollConnects(const std::vector<Target>& targets, std::size_t limit, int& connected) {
  const auto t0 = Clock::now();
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> held;
  std::size_t next = 0, open = 0;
  connected = 0;
  const auto finish = [&](int fd, bool ok) {
    if (ok) ++connected;
    // Connections stay open, as the walk leaves them, unless rows wait.
    if (next < targets.size())
      close(fd);
    else
      held.push_back(fd);
  };
  const auto start = [&] {
    while (open < limit && next < targets.size()) {
      const Target& t = targets[next++];
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in a = Loopback(t.address, t.port);
      if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno != EINPROGRESS) {
        finish(fd, errno == 0);
        continue;
      }
      epoll_event ev{EPOLLOUT, {.fd = fd}};
      epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
      ++open;
    }
  };
  start();
  epoll_event events[256];
  while (open > 0) {
    const int n = epoll_wait(ep, events, 256, 30000);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(events[i].data.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      epoll_ctl(ep, EPOLL_CTL_DEL, events[i].data.fd, nullptr);
      --open;
      finish(events[i].data.fd, err == 0);
    }
    start();
  }
  const double ms = MsSince(t0);
  for (int fd : held) close(fd);
  close(ep);
  return ms;
}

// A port nobody listens on, held for the benchmark's run.
class ClosedPort {
 public:
  ClosedPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a = Loopback("127.0.0.1", 0);
    socklen_t len = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~ClosedPort() { close(fd_); }
  int port = 0;

 private:
  int fd_;
};

// Lists the targets in `rows` and counts the outcomes written into them.
void ListTargets(ProxyListModel& rows, const std::vector<Target>& targets, int& outcomes) {
  for (const Target& t : targets) {
    rows.Append(t.address);
    rows.SetText(rows.Count(), ProxyColumn::Port, std::to_string(t.port));
  }
  QObject::connect(&rows, &ProxyListModel::dataChanged, [&outcomes](const QModelIndex& i) {
    if (i.column() == ColumnIndex(ProxyColumn::Result)) ++outcomes;
  });
}

struct WalkTimes {
  double blockMs;  // until `start` returned
  double walkMs;   // until the last outcome, or the wait gave up
};

// Starts a walk and waits up to `waitMs` for `rows` outcomes.
WalkTimes TimeWalk(const std::function<void()>& start, const int& outcomes, int rows, int waitMs) {
  const auto t0 = Clock::now();
  start();
  const double block = MsSince(t0);
  test::WaitUntil([&] { return outcomes >= rows; }, waitMs);
  return {block, MsSince(t0)};
}

// "测试所有" from the command to the last outcome, beside the plain program
// with as many connects in flight. Arguments: rows; 1 when every row listens.
void BM_TestAllRows(benchmark::State& state) {
  RecordingPresenter quiet;
  const int rows = static_cast<int>(state.range(0));
  Proxies proxies;
  ClosedPort closed;
  const std::vector<Target> targets = Targets(proxies, closed.port, rows, state.range(1) == 1);

  double walkMs = 0, blockMs = 0, epollMs = 0, perRowBytes = 0;
  int successes = 0, failures = 0, missing = 0, epollConnected = 0, outcomes = 0;
  std::size_t limit = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Freed memory that the allocator keeps is no row's: hand it back first.
    malloc_trim(0);
    const long before = bench::ResidentBytes();
    auto ops = std::make_unique<HeadlessMainOps>();
    ops->keepHistory = false;  // the window keeps only the last text
    outcomes = 0;
    ListTargets(ops->Rows(), targets, outcomes);
    auto tester = std::make_unique<ConnectionTester>(*ops);
    limit = SocketAllowance();
    state.ResumeTiming();

    const auto [block, walk] = TimeWalk([&] { tester->testall(); }, outcomes, rows, 120000);
    state.SetIterationTime(walk / 1000);

    state.PauseTiming();
    // Later runs reuse what the first one freed; only the first tells.
    malloc_trim(0);
    if (perRowBytes == 0) perRowBytes = static_cast<double>(bench::ResidentBytes() - before) / rows;
    successes = failures = missing = 0;
    for (int n = 1; n <= rows; ++n) {
      const std::string& mark = ops->Rows().Text(n, ProxyColumn::Result);
      (mark == kMarkSuccess ? successes : mark == kMarkFailure ? failures : missing)++;
    }
    tester.reset();
    ops.reset();
    proxies.LetGo();
    const double plain = PlainEpollConnects(targets, limit, epollConnected);
    proxies.LetGo();
    walkMs += walk;
    blockMs += block;
    epollMs += plain;
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["walk_ms"] = walkMs / n;
  state.counters["epoll_ms"] = epollMs / n;
  state.counters["ratio"] = walkMs / epollMs;
  state.counters["us_per_row"] = walkMs / n * 1000 / rows;
  state.counters["block_ms"] = blockMs / n;
  state.counters["in_flight"] = static_cast<double>(limit);
  state.counters["bytes_per_row"] = perRowBytes;
  state.counters["successes"] = successes;
  state.counters["failures"] = failures;
  state.counters["no_outcome"] = missing;
  state.counters["epoll_connected"] = epollConnected;
  state.counters["message_boxes"] = static_cast<double>(quiet.shown.size());
}
BENCHMARK(BM_TestAllRows)
    ->ArgNames({"rows", "all_listening"})
    ->Args({2000, 0})
    ->Args({20000, 0})
    ->Args({100000, 0})
    ->Args({18000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

// The same walk started from the window's menu: how long the window is held,
// with the list view, the status bar and their updates in the loop.
void BM_TestAllRowsInWindow(benchmark::State& state) {
  RecordingPresenter quiet;
  Proxies proxies;
  ClosedPort closed;
  const std::vector<Target> targets = Targets(proxies, closed.port, kRows, false);

  double blockMs = 0, walkMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto window = std::make_unique<frmMain>();
    window->show();
    int outcomes = 0;
    ListTargets(window->Rows(), targets, outcomes);
    QAction* testall = window->findChild<QAction*>("testall");
    QCoreApplication::processEvents();
    state.ResumeTiming();

    const auto [block, walk] = TimeWalk([&] { testall->trigger(); }, outcomes, kRows, 30000);
    state.SetIterationTime(walk / 1000);

    state.PauseTiming();
    window.reset();
    proxies.LetGo();
    blockMs += block;
    walkMs += walk;
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["block_ms"] = blockMs / n;
  state.counters["block_us_per_row"] = blockMs / n * 1000 / kRows;
  state.counters["walk_ms"] = walkMs / n;
}
BENCHMARK(BM_TestAllRowsInWindow)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// One echo for each reply, to 127.0.0.1 .. 127.0.0.250 in turn.
std::vector<EchoTarget> EchoTargets(std::vector<EchoReply>& replies) {
  std::vector<EchoTarget> targets(replies.size());
  for (std::size_t i = 0; i < replies.size(); ++i) {
    targets[i].destination = DottedToAddress("127.0.0." + std::to_string(i % 250 + 1));
    targets[i].reply = &replies[i];
  }
  return targets;
}

// The walk's echoes alone, all answered by loopback.
void BM_AnsweredEchoes(benchmark::State& state) {
  IcmpEchoSender sender;
  std::vector<EchoReply> replies(static_cast<std::size_t>(state.range(0)));
  std::vector<EchoTarget> targets = EchoTargets(replies);
  int answered = 0;
  for (auto _ : state) {
    sender.SendEchoes(targets, kEchoRequestData, kEchoTimeoutMs);
    answered = static_cast<int>(std::count_if(targets.begin(), targets.end(), [](auto& t) { return t.answered; }));
  }
  state.counters["answered"] = answered;
}
BENCHMARK(BM_AnsweredEchoes)->Arg(1)->Arg(kRows)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The one shared wait when no echo is answered: a loopback that ignores echoes,
// in a network namespace of the benchmark's own.
void BM_UnansweredEchoes(benchmark::State& state) {
  bool ran = test::RunInOwnNetwork({{"icmp_echo_ignore_all", "1"}}, [&] {
    IcmpEchoSender sender;
    std::vector<EchoReply> replies(static_cast<std::size_t>(state.range(0)));
    std::vector<EchoTarget> targets = EchoTargets(replies);
    for (auto _ : state) sender.SendEchoes(targets, kEchoRequestData, kEchoTimeoutMs);
  });
  if (!ran) state.SkipWithError("needs root to make a network namespace");
}
BENCHMARK(BM_UnansweredEchoes)
    ->Arg(1)
    ->Arg(kRows)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
}  // namespace mivo
