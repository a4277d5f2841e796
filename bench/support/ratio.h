#pragma once

namespace mivo::bench {

// Asks the benchmark main to print, after the run, the ratio of the real time
// per iteration of `measured` to that of `baseline` beside the goal.
struct Ratio {
  Ratio(const char* measured, const char* baseline, double goal);
};

}  // namespace mivo::bench

#define MIVO_BENCH_CAT2(a, b) a##b
#define MIVO_BENCH_CAT(a, b) MIVO_BENCH_CAT2(a, b)
#define MIVO_BENCH_RATIO(measured, baseline, goal) \
  static const ::mivo::bench::Ratio MIVO_BENCH_CAT(mivo_bench_ratio_, __LINE__)(measured, baseline, goal)
