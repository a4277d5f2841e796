// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The main window offscreen at list scale: a page of 100,000 loopback rows
// loaded through "Http代理 1", walked by "测试所有", verified by "验证所有"
// against the sample site's judge, then sorted by two columns and narrowed
// by a text and a quick choice, with a 10 ms watchdog timer whose gaps show
// how long the event loop was held. Per phase: the longest gap and the 99th
// percentile; then the process memory the rows add, per row.

#include <malloc.h>
#include <time.h>

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/support/bench_support.h"
#include "common/gbk.h"
#include "common/presenter.h"
#include "harvester/http_request.h"
#include "harvester/ui/frm_main.h"
#include "tests/support/wait.h"
#include "tools/sample_pages.h"
#include "tools/sample_site.h"

namespace mivo {
namespace {

using bench::Clock;

// Answers every request at once with one page, so that the load phase is
// the window's own work: the wait, the parse and the list.
class PageRequest : public HttpRequest {
 public:
  explicit PageRequest(const std::string& body) : body_(body) {}
  bool Open(const std::string&, const std::string&, bool async) override { return async; }
  void send() override { complete_ = true; }
  int ReadyState() const override { return complete_ ? kHttpComplete : kHttpOpen; }
  std::string_view ResponseBody() const override { return body_; }

 private:
  const std::string& body_;
  bool complete_ = false;
};

// Processor time of this thread, in ms: on a machine shared with other
// work the wall-clock gaps also hold the time the thread waited for a core.
double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Records the gaps between the ticks of a 10 ms timer, in wall-clock time
// and in the thread's processor time.
class Watchdog {
 public:
  Watchdog() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  }
  void Start() {
    wall_.clear();
    cpu_.clear();
    last_ = Clock::now();
    lastCpu_ = ThreadCpuMs();
    timer_.start();
  }
  // A stall at the very end counts too.
  void Stop() {
    Tick();
    timer_.stop();
  }
  std::vector<double> wall_;
  std::vector<double> cpu_;

 private:
  void Tick() {
    const auto now = Clock::now();
    const double cpu = ThreadCpuMs();
    wall_.push_back(std::chrono::duration<double, std::milli>(now - last_).count());
    cpu_.push_back(cpu - lastCpu_);
    last_ = now;
    lastCpu_ = cpu;
  }

  QTimer timer_;
  Clock::time_point last_;
  double lastCpu_ = 0;
};

struct Stalls {
  double longest = 0;
  double p99 = 0;
  double cpuLongest = 0;
  double cpuP99 = 0;
  double ms = 0;  // the whole phase
  bool done = false;
};

// The largest and the 99th percentile of `gaps`.
std::pair<double, double> Worst(std::vector<double> gaps) {
  if (gaps.empty()) return {0, 0};
  std::sort(gaps.begin(), gaps.end());
  return {gaps.back(), gaps[std::min(gaps.size() - 1, gaps.size() * 99 / 100)]};
}

// One command of the window, from its menu item to what says it has ended.
struct Phase {
  const char* name;
  std::function<void()> start;
  std::function<bool()> done;
};

Stalls Run(Watchdog& dog, const Phase& phase, int timeoutMs) {
  const auto t0 = Clock::now();
  dog.Start();
  // From the event loop, as a menu command comes.
  bool started = false;
  QTimer::singleShot(0, [&] {
    phase.start();
    started = true;
  });
  Stalls s;
  s.done = test::WaitUntil([&] { return started && phase.done(); }, timeoutMs);
  s.ms = bench::MsSince(t0);
  dog.Stop();
  std::tie(s.longest, s.p99) = Worst(dog.wall_);
  std::tie(s.cpuLongest, s.cpuP99) = Worst(dog.cpu_);
  return s;
}

void BM_WindowAtListScale(benchmark::State& state) {
  RecordingPresenter quiet;
  const int rows = static_cast<int>(state.range(0));
  const std::string body = ToGbk(sample::GeneratedPageText(rows));
  sample::SampleSite judge;
  if (std::string error; !judge.Start(sample::SampleSiteOptions::AnyFreePorts(), &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const HttpRequestFactory previous = SetHttpRequestFactory([&body] { return std::make_unique<PageRequest>(body); });
  // The window keeps its verification settings: in a folder of the bench's own, not the user's.
  const QTemporaryDir config;
  const QByteArray userConfig = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  Watchdog dog;
  std::vector<Stalls> load, walk, verify, sort, filter;
  double perRowBytes = 0, windowBytes = 0;
  int offLoopback = 0, marked = 0, verified = 0;
  for (auto _ : state) {
    malloc_trim(0);
    const long start = bench::ResidentBytes();
    auto window = std::make_unique<frmMain>();
    window->show();
    QCoreApplication::processEvents();
    // Per row is what the rows add to the window shown empty, whose own
    // memory (fonts, styles, the platform plugin) is counted apart.
    malloc_trim(0);
    const long before = bench::ResidentBytes();
    windowBytes = static_cast<double>(before - start);
    QAction* stop = window->findChild<QAction*>("stopTest");
    ProxyListModel& list = window->Rows();
    window->findChild<QPlainTextEdit*>("verifyJudges")->setPlainText(QString::fromStdString(judge.Origin() + "/judge"));
    window->findChild<QSpinBox*>("verifyTimeout")->setValue(5);
    // A walk or a verification runs while 停止 is enabled, and has ended when it is not.
    const auto runs = [&](const char* command) {
      return [&, command] {
        stop->setProperty("ended", false);
        window->findChild<QAction*>(command)->trigger();
        if (!stop->isEnabled()) stop->setProperty("ended", true);
      };
    };
    const auto ended = [&] { return stop->property("ended").toBool(); };
    auto* view = window->findChild<QTableView*>("Lw1");
    // Commands given one after another, further apart than the watchdog's
    // ticks as a user's are; the phase ends when the last has returned.
    std::vector<std::function<void()>> clicksLeft;
    std::function<void()> next = [&] {
      if (clicksLeft.empty()) return;
      const std::function<void()> step = clicksLeft.front();
      clicksLeft.erase(clicksLeft.begin());
      step();
      QTimer::singleShot(20, next);
    };
    const auto clicks = [&](std::vector<std::function<void()>> steps) {
      return [&, steps] {
        clicksLeft = steps;
        next();
      };
    };
    const auto clicked = [&] { return clicksLeft.empty(); };

    const std::vector<Phase> phases{
        {"load", [&] { window->findChild<QAction*>("http1")->trigger(); }, [&] { return list.Count() == rows; }},
        {"walk", runs("testall"), ended},
        {"verify", runs("verifyAll"), ended},
        // Two header clicks, then a typed filter text and a quick choice: one turn each, as a user gives them.
        {"sort",
         clicks({[&] { view->sortByColumn(ColumnIndex(ProxyColumn::Address), Qt::DescendingOrder); },
                 [&] { view->sortByColumn(ColumnIndex(ProxyColumn::Port), Qt::AscendingOrder); }}),
         clicked},
        {"filter",
         clicks({[&] { window->findChild<QLineEdit*>("filterBox")->setText("127.0.1"); },
                 [&] { window->findChild<QComboBox*>("filterQuick")->setCurrentIndex(1); }}),
         clicked},
    };
    QObject::connect(stop, &QAction::changed, stop, [stop] {
      if (!stop->isEnabled()) stop->setProperty("ended", true);
    });
    load.push_back(Run(dog, phases[0], 60000));
    offLoopback = 0;
    for (int n = 1; n <= list.Count(); ++n)
      if (!list.Text(n, ProxyColumn::Address).starts_with("127.")) ++offLoopback;
    // Never a connect to anything but loopback.
    if (offLoopback != 0 || list.Count() != rows) {
      state.SkipWithError("the page lists rows off loopback, or too few");
      break;
    }
    walk.push_back(Run(dog, phases[1], 120000));
    marked = 0;
    for (int n = 1; n <= rows; ++n)
      if (!list.Text(n, ProxyColumn::Result).empty()) ++marked;
    verify.push_back(Run(dog, phases[2], 600000));
    verified = 0;
    for (int n = 1; n <= rows; ++n)
      if (!list.Text(n, ProxyColumn::Reason).empty()) ++verified;
    sort.push_back(Run(dog, phases[3], 60000));
    filter.push_back(Run(dog, phases[4], 60000));
    malloc_trim(0);
    perRowBytes = static_cast<double>(bench::ResidentBytes() - before) / rows;
    window.reset();
    QCoreApplication::processEvents();
  }
  SetHttpRequestFactory(previous);
  if (userConfig.isEmpty())
    qunsetenv("XDG_CONFIG_HOME");
  else
    qputenv("XDG_CONFIG_HOME", userConfig);
  const auto put = [&](const char* name, const std::vector<Stalls>& runs) {
    double longest = 0, p99 = 0, cpuLongest = 0, cpuP99 = 0, ms = 0;
    for (const Stalls& s : runs) {
      longest = std::max(longest, s.longest);
      p99 = std::max(p99, s.p99);
      cpuLongest = std::max(cpuLongest, s.cpuLongest);
      cpuP99 = std::max(cpuP99, s.cpuP99);
      ms += s.ms;
    }
    const std::string n = name;
    state.counters[n + "_longest_ms"] = longest;
    state.counters[n + "_p99_ms"] = p99;
    state.counters[n + "_cpu_longest_ms"] = cpuLongest;
    state.counters[n + "_cpu_p99_ms"] = cpuP99;
    state.counters[n + "_ms"] = runs.empty() ? 0 : ms / static_cast<double>(runs.size());
  };
  put("load", load);
  put("walk", walk);
  put("verify", verify);
  put("sort", sort);
  put("filter", filter);
  state.counters["bytes_per_row"] = perRowBytes;
  state.counters["empty_window_bytes"] = windowBytes;
  state.counters["rows_marked"] = marked;
  state.counters["rows_verified"] = verified;
  state.counters["message_boxes"] = static_cast<double>(quiet.shown.size());
}
BENCHMARK(BM_WindowAtListScale)->ArgName("rows")->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace mivo
