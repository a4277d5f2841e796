// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// What a list-page download costs: the processor time a give-up on a silent
// server takes (the wait must sleep, not spin), and fetching plus parsing
// pages of many rows from the sample site.
#include <QTcpServer>

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>

#include "harvester/http_request.h"
#include "harvester/main_window_ops.h"
#include "harvester/page_download.h"
#include "harvester/status_texts.h"
#include "tools/sample_site.h"

namespace {

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_GiveUpOnSilentServer(benchmark::State& state) {
  QTcpServer silent;  // connections complete in the backlog and hear nothing
  if (!silent.listen(QHostAddress::LocalHost, 0)) {
    state.SkipWithError("cannot listen on loopback");
    return;
  }
  const std::string address = "http://127.0.0.1:" + std::to_string(silent.serverPort()) + "/proxy1.html";
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    mivo::HeadlessMainOps ops;
    const double cpuStart = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const std::string page = mivo::GetSource(ops, address);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += ProcessCpuSeconds() - cpuStart;
    if (!page.empty()) state.SkipWithError("a silent server produced a page");
  }
  state.counters["wait_s"] = benchmark::Counter(wall, benchmark::Counter::kAvgIterations);
  state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
  state.counters["cpu_share_%"] = 100.0 * cpu / wall;
  // What was given up on runs on by itself; it goes before the process does.
  mivo::EndAbandonedHttpRequests();
}
BENCHMARK(BM_GiveUpOnSilentServer)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_FetchAndParse(benchmark::State& state) {
  mivo::sample::SampleSite site;
  mivo::sample::SampleSiteOptions options;
  options.port = 0;
  options.proxies = false;
  std::string error;
  if (!site.Start(options, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const int rows = static_cast<int>(state.range(0));
  mivo::HeadlessMainOps ops;
  ops.addresses[0] = site.Origin() + "/generated?rows=" + std::to_string(rows);
  for (auto _ : state) {
    mivo::ListPageCommand(ops, 0);
    if (ops.Rows().Count() != rows) state.SkipWithError("rows missing");
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows) * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FetchAndParse)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_GeneratedPageText(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(mivo::sample::GeneratedPageText(rows));
  state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_GeneratedPageText)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
