#pragma once

#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

namespace mivo::bench {

// Resident set size of the process, in bytes.
inline long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Console output as usual, plus the real time of each benchmark kept by
// name so that main can print ratios between two of them.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        seconds_[r.run_name.function_name] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const char* label, const std::string& ours, const std::string& plain, const char* goal) const {
    const auto a = seconds_.find(ours), b = seconds_.find(plain);
    if (a == seconds_.end() || b == seconds_.end() || b->second <= 0) return;
    std::printf("%s: %s / %s = %.2f (goal: %s)\n", label, ours.c_str(), plain.c_str(), a->second / b->second, goal);
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace mivo::bench
