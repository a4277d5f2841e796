// A test of all rows over 2,000 loopback rows (half listening, half refused),
// beside a plain epoll program connecting to the same set in the same run;
// and how long the walk holds the window.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/fdlimit.h"
#include "common/presenter.h"
#include "harvester/connection_test.h"
#include "harvester/main_window_ops.h"
#include "harvester/ui/frm_main.h"
#include "ping/icmp_sender.h"
#include "ping/mod_ping.h"
#include "tests/support/netns.h"

namespace mivo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRows = 2000;
constexpr int kListeners = 8;

double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

sockaddr_in Loopback(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// Listening proxies on 127.0.0.1..8 that accept on a thread of their own and
// hold what they accepted until told to let go.
class Proxies {
 public:
  Proxies() {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{EPOLLIN, {.fd = stop_}};
    epoll_ctl(ep_, EPOLL_CTL_ADD, stop_, &ev);
    for (int i = 0; i < kListeners; ++i) {
      const std::string address = "127.0.0." + std::to_string(i + 1);
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in a = Loopback(address, 0);
      socklen_t len = sizeof a;
      bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      listen(fd, 4096);
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
      endpoints.emplace_back(address, ntohs(a.sin_port));
      listeners_.push_back(fd);
      epoll_event lev{EPOLLIN, {.fd = fd}};
      epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &lev);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Proxies() {
    const std::uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
    LetGo();
    for (int fd : listeners_) close(fd);
    close(stop_);
    close(ep_);
  }
  // Closes what was accepted once `count` connections have come in. The
  // proxies close first, so that the waiting closes stay on their side and do
  // not hold the ports the next run's clients bind.
  void LetGo(std::size_t count = 0) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return accepted_.size() >= count; });
    for (int fd : accepted_) close(fd);
    accepted_.clear();
  }

  std::vector<std::pair<std::string, int>> endpoints;

 private:
  void Run() {
    epoll_event events[16];
    for (;;) {
      const int n = epoll_wait(ep_, events, 16, -1);
      for (int i = 0; i < n; ++i) {
        if (events[i].data.fd == stop_) return;
        for (int c; (c = accept4(events[i].data.fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
          std::lock_guard lock(mu_);
          accepted_.push_back(c);
          cv_.notify_all();
        }
      }
    }
  }

  int ep_ = -1;
  int stop_ = -1;
  std::vector<int> listeners_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int> accepted_;
};

struct Target {
  std::string address;
  int port;
};

// Even rows go to a listening proxy, odd rows to a port nobody listens on.
std::vector<Target> Targets(const Proxies& proxies, int closedPort) {
  std::vector<Target> t;
  for (int i = 0; i < kRows; ++i) {
    if (i % 2 == 0) {
      const auto& [address, port] = proxies.endpoints[static_cast<std::size_t>(i / 2 % kListeners)];
      t.push_back({address, port});
    } else {
      t.push_back({"127.0.1." + std::to_string(i / 2 % 250 + 1), closedPort});
    }
  }
  return t;
}

// The same connects without any of the program: one epoll set, SO_ERROR on
// each completion. Returns milliseconds until the last outcome.
double PlainEpollConnects(const std::vector<Target>& targets, int& connected,
                          const std::function<void(int connected)>& beforeClose) {
  const auto t0 = Clock::now();
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> fds;
  int open = 0;
  connected = 0;
  for (const Target& t : targets) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fds.push_back(fd);
    sockaddr_in a = Loopback(t.address, t.port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      ++connected;
      continue;
    }
    if (errno != EINPROGRESS) continue;
    epoll_event ev{EPOLLOUT, {.fd = fd}};
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    ++open;
  }
  epoll_event events[256];
  while (open > 0) {
    const int n = epoll_wait(ep, events, 256, 30000);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(events[i].data.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err == 0) ++connected;
      epoll_ctl(ep, EPOLL_CTL_DEL, events[i].data.fd, nullptr);
      --open;
    }
  }
  const double ms = MsSince(t0);
  beforeClose(connected);
  for (int fd : fds) close(fd);
  close(ep);
  return ms;
}

void BM_TestAllRows(benchmark::State& state) {
  RecordingPresenter quiet;
  Proxies proxies;
  const int closed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // holds the refused port
  sockaddr_in a = Loopback("127.0.0.1", 0);
  socklen_t len = sizeof a;
  bind(closed, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(closed, reinterpret_cast<sockaddr*>(&a), &len);
  const std::vector<Target> targets = Targets(proxies, ntohs(a.sin_port));

  // Walks again over the same list (elements reused), the way a user repeats
  // the command: the connections the next walk closes linger on the
  // program's side, and so do the plain program's.
  const bool again = state.range(0) == 1;
  double walkMs = 0, blockMs = 0, epollMs = 0;
  int successes = 0, failures = 0, tooManyFiles = 0, epollConnected = 0, outcomes = 0;
  std::unique_ptr<HeadlessMainOps> ops;
  std::unique_ptr<ConnectionTester> tester;
  for (auto _ : state) {
    state.PauseTiming();
    if (!tester) {
      ops = std::make_unique<HeadlessMainOps>();
      for (const Target& t : targets) {
        ops->Rows().Append(t.address);
        ops->Rows().SetText(ops->Rows().Count(), 1, std::to_string(t.port));
      }
      tester = std::make_unique<ConnectionTester>(*ops);
      // Counts the failures that a too low open-file limit would cause.
      auto handler = tester->Wsktest.events.Error;
      tester->Wsktest.events.Error = [&, handler](int Index, std::int16_t Number, std::string& Description,
                                                  std::int32_t sCode, std::string Source, std::string HelpFile,
                                                  std::int32_t HelpContext, bool& CancelDisplay) {
        if (Number == 10024) ++tooManyFiles;
        handler(Index, Number, Description, sCode, std::move(Source), std::move(HelpFile), HelpContext,
                CancelDisplay);
      };
      QObject::connect(&ops->Rows(), &ProxyListModel::dataChanged, [&](const QModelIndex& i) {
        if (i.column() == 5) ++outcomes;
      });
    }
    for (int n = 1; n <= kRows; ++n) ops->Rows().SetText(n, 5, "");
    outcomes = 0;
    state.ResumeTiming();

    const auto t0 = Clock::now();
    tester->testall();
    const double block = MsSince(t0);
    QDeadlineTimer deadline(30000);
    QTimer tick;
    tick.start(100);
    while (outcomes < kRows && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double walk = MsSince(t0);
    state.SetIterationTime(walk / 1000);

    state.PauseTiming();
    successes = failures = 0;
    for (int n = 1; n <= kRows; ++n) (ops->Rows().Text(n, 5) == kMarkSuccess ? successes : failures)++;
    if (!again) {
      proxies.LetGo(static_cast<std::size_t>(successes));
      tester.reset();
    }
    const double plain = PlainEpollConnects(targets, epollConnected, [&](int connected) {
      if (!again) proxies.LetGo(static_cast<std::size_t>(connected));
    });
    walkMs += walk;
    blockMs += block;
    epollMs += plain;
    state.ResumeTiming();
  }
  tester.reset();
  proxies.LetGo();
  close(closed);
  const double n = static_cast<double>(state.iterations());
  state.counters["walk_ms"] = walkMs / n;
  state.counters["epoll_ms"] = epollMs / n;
  state.counters["ratio"] = walkMs / epollMs;
  state.counters["block_ms"] = blockMs / n;
  state.counters["block_us_per_row"] = blockMs / n * 1000 / kRows;
  state.counters["successes"] = successes;
  state.counters["failures"] = failures;
  state.counters["epoll_connected"] = epollConnected;
  state.counters["errors_10024"] = tooManyFiles;
  state.counters["message_boxes"] = static_cast<double>(quiet.shown.size());
}
BENCHMARK(BM_TestAllRows)->ArgName("again")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// The same walk started from the window's menu: how long the window is held,
// with the list view, the status bar and their updates in the loop.
void BM_TestAllRowsInWindow(benchmark::State& state) {
  RecordingPresenter quiet;
  Proxies proxies;
  const int closed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback("127.0.0.1", 0);
  socklen_t len = sizeof a;
  bind(closed, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(closed, reinterpret_cast<sockaddr*>(&a), &len);
  const std::vector<Target> targets = Targets(proxies, ntohs(a.sin_port));

  double blockMs = 0, walkMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto window = std::make_unique<frmMain>();
    window->show();
    for (const Target& t : targets) {
      window->Rows().Append(t.address);
      window->Rows().SetText(window->Rows().Count(), 1, std::to_string(t.port));
    }
    int outcomes = 0;
    QObject::connect(&window->Rows(), &ProxyListModel::dataChanged, [&](const QModelIndex& i) {
      if (i.column() == 5) ++outcomes;
    });
    QAction* testall = window->findChild<QAction*>("testall");
    QCoreApplication::processEvents();
    state.ResumeTiming();

    const auto t0 = Clock::now();
    testall->trigger();
    const double block = MsSince(t0);
    QDeadlineTimer deadline(30000);
    QTimer tick;
    tick.start(100);
    while (outcomes < kRows && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double walk = MsSince(t0);
    state.SetIterationTime(walk / 1000);

    state.PauseTiming();
    proxies.LetGo(kRows / 2);
    window.reset();
    blockMs += block;
    walkMs += walk;
    state.ResumeTiming();
  }
  close(closed);
  const double n = static_cast<double>(state.iterations());
  state.counters["block_ms"] = blockMs / n;
  state.counters["block_us_per_row"] = blockMs / n * 1000 / kRows;
  state.counters["walk_ms"] = walkMs / n;
}
BENCHMARK(BM_TestAllRowsInWindow)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// The walk's echoes alone, all answered by loopback.
void BM_AnsweredEchoes(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  IcmpEchoSender sender;
  std::vector<EchoReply> replies(count);
  std::vector<EchoTarget> targets(count);
  for (std::size_t i = 0; i < count; ++i) {
    targets[i].destination = DottedToAddress("127.0.0." + std::to_string(i % 250 + 1));
    targets[i].reply = &replies[i];
  }
  int answered = 0;
  for (auto _ : state) {
    sender.SendEchoes(targets, kEchoRequestData, kEchoTimeoutMs);
    answered = static_cast<int>(std::count_if(targets.begin(), targets.end(), [](auto& t) { return t.answered; }));
  }
  state.counters["answered"] = answered;
}
BENCHMARK(BM_AnsweredEchoes)->Arg(1)->Arg(kRows)->Unit(benchmark::kMillisecond)->UseRealTime();

// The one shared wait when no echo is answered: a loopback that ignores echoes,
// in a network namespace of the benchmark's own.
void BM_UnansweredEchoes(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  bool ran = test::RunInOwnNetwork({{"icmp_echo_ignore_all", "1"}}, [&] {
    IcmpEchoSender sender;
    std::vector<EchoReply> replies(count);
    std::vector<EchoTarget> targets(count);
    for (std::size_t i = 0; i < count; ++i) {
      targets[i].destination = DottedToAddress("127.0.0." + std::to_string(i % 250 + 1));
      targets[i].reply = &replies[i];
    }
    for (auto _ : state) sender.SendEchoes(targets, kEchoRequestData, kEchoTimeoutMs);
  });
  if (!ran) state.SkipWithError("needs root to make a network namespace");
}
BENCHMARK(BM_UnansweredEchoes)->Arg(1)->Arg(kRows)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace mivo

int main(int argc, char** argv) {
  mivo::RaiseOpenFileLimit();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
