// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QApplication>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "common/fdlimit.h"
#include "common/presenter.h"

namespace mivo::bench {
namespace {

struct RatioGoal {
  std::string measured, baseline;
  double goal;
};

std::vector<RatioGoal>& Ratios() {
  static std::vector<RatioGoal> ratios;
  return ratios;
}

std::map<std::string, int (*)()>& ChildModes() {
  static std::map<std::string, int (*)()> modes;
  return modes;
}

// Prints as usual and keeps each run's real time per iteration (one per
// repetition), by the benchmark's full name and by its function's (the
// first benchmark of that function).
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
      const double perIteration = r.real_accumulated_time / static_cast<double>(r.iterations);
      seconds[r.benchmark_name()].push_back(perIteration);
      functions.emplace(r.run_name.function_name, r.benchmark_name());
    }
  }
  // The runs of `name`, a full name or a function's; null when none ran.
  const std::vector<double>* Find(const std::string& name) const {
    auto it = seconds.find(name);
    if (it == seconds.end()) {
      const auto f = functions.find(name);
      if (f == functions.end()) return nullptr;
      it = seconds.find(f->second);
    }
    return it == seconds.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, std::vector<double>> seconds;
  std::map<std::string, std::string> functions;
};

struct Spread {
  double min, median, max;
};

Spread SpreadOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  return {v.front(), median, v.back()};
}

}  // namespace

Ratio::Ratio(const char* measured, const char* baseline, double goal) {
  Ratios().push_back({measured, baseline, goal});
}

ChildMode::ChildMode(const char* flag, int (*run)()) { ChildModes()[flag] = run; }

}  // namespace mivo::bench

int main(int argc, char** argv) {
  if (argc > 1)
    if (const auto mode = mivo::bench::ChildModes().find(argv[1]); mode != mivo::bench::ChildModes().end())
      return mode->second();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  mivo::RaiseOpenFileLimit();
  QApplication app(argc, argv);
  mivo::RecordingPresenter silent;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  mivo::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // With --benchmark_repetitions=N the ratio is that of the medians, and
  // the spread of each side and of the ratios of run i to run i follows.
  for (const auto& r : mivo::bench::Ratios()) {
    const std::vector<double>* m = reporter.Find(r.measured);
    const std::vector<double>* b = reporter.Find(r.baseline);
    if (!m || !b) continue;
    const mivo::bench::Spread ms = mivo::bench::SpreadOf(*m);
    const mivo::bench::Spread bs = mivo::bench::SpreadOf(*b);
    if (bs.median <= 0) continue;
    const double ratio = ms.median / bs.median;
    std::printf("ratio %s / %s = %.2f (goal <= %.1f: %s)\n", r.measured.c_str(), r.baseline.c_str(), ratio, r.goal,
                ratio <= r.goal ? "met" : "NOT met");
    if (m->size() < 2 || m->size() != b->size()) continue;
    std::vector<double> pairs;
    for (std::size_t i = 0; i < m->size(); ++i)
      if ((*b)[i] > 0) pairs.push_back((*m)[i] / (*b)[i]);
    if (pairs.empty()) continue;
    const mivo::bench::Spread ps = mivo::bench::SpreadOf(pairs);
    std::printf(
        "  over %zu runs, min / median / max: %.3g / %.3g / %.3g s against %.3g / %.3g / %.3g s; "
        "ratio run by run %.2f / %.2f / %.2f\n",
        m->size(), ms.min, ms.median, ms.max, bs.min, bs.median, bs.max, ps.min, ps.median, ps.max);
  }
  benchmark::Shutdown();
  return 0;
}
