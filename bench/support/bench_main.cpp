// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QApplication>

#include <benchmark/benchmark.h>

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

// Prints as usual and keeps each run's real time per iteration, by the
// benchmark's full name and by its function's (the first run of it).
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
      const double perIteration = r.real_accumulated_time / static_cast<double>(r.iterations);
      seconds[r.benchmark_name()] = perIteration;
      seconds.emplace(r.run_name.function_name, perIteration);
    }
  }
  std::map<std::string, double> seconds;
};

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
  for (const auto& r : mivo::bench::Ratios()) {
    const auto m = reporter.seconds.find(r.measured);
    const auto b = reporter.seconds.find(r.baseline);
    if (m == reporter.seconds.end() || b == reporter.seconds.end() || b->second <= 0) continue;
    const double ratio = m->second / b->second;
    std::printf("ratio %s / %s = %.2f (goal <= %.1f: %s)\n", r.measured.c_str(), r.baseline.c_str(), ratio, r.goal,
                ratio <= r.goal ? "met" : "NOT met");
  }
  benchmark::Shutdown();
  return 0;
}
