// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Parsing a large list page, beside the cheapest scan that could find its
// rows, and filling the list with and without a view showing it.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <string>

#include "bench/support/bench_support.h"
#include "common/gbk.h"
#include "harvester/main_window_ops.h"
#include "harvester/page_parser.h"
#include "harvester/ui/frm_main.h"

namespace {

constexpr int kRows = 20000;

// The same rows with every line ended by `lineEnd`.
std::string BuildPage(const std::string& lineEnd) {
  const char* letters = "dckzmBwirl";
  std::string p = "<html><head><meta charset=gbk><title>proxy list</title></head><body><table>" + lineEnd;
  for (int i = 0; i < kRows; ++i) {
    const int port = 1024 + i % 60000;
    std::string script = "(\":\"";
    for (char d : std::to_string(port)) (script += '+') += letters[d - '0'];
    script += ')';
    p += "<tr><td>127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) +
         "<SCRIPT type=text/javascript>document.write" + script + lineEnd;
    p +=
        "</SCRIPT></td><td>HTTP</td><td>0." + std::to_string(i % 97) + "</td><td>广东省深圳市 电信</td></tr>" + lineEnd;
  }
  p += "</table></body></html>" + lineEnd;
  return mivo::FromGbk(mivo::ToGbk(p));
}

const std::string& Page() {
  static const std::string page = BuildPage("\r\n");
  return page;
}

// Lines ended by a lone CR, as some servers send them.
const std::string& LoneCrPage() {
  static const std::string page = BuildPage("\r");
  return page;
}

// The floor: split into lines and look for the script marker in each.
[[gnu::noinline]] std::size_t PlainScan(std::string_view rest) {
  std::size_t found = 0;
  while (!rest.empty()) {
    const std::size_t end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, end);
    found += line.find("<SCRIPT type=text/javascript>document.write") != std::string_view::npos;
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 2);
  }
  return found;
}

void BM_PlainScan(benchmark::State& state) {
  const std::string& page = Page();
  for (auto _ : state) benchmark::DoNotOptimize(PlainScan(page));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_PlainScan)->Unit(benchmark::kMillisecond);

void ParseIntoModel(benchmark::State& state, const std::string& page) {
  mivo::HeadlessMainOps ops;
  ops.SetPageText(page);
  for (auto _ : state) {
    mivo::ParseSource(ops);
    benchmark::DoNotOptimize(ops.Rows().Count());
  }
  state.counters["rows"] = ops.Rows().Count();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

void BM_ParseIntoModel(benchmark::State& state) { ParseIntoModel(state, Page()); }
BENCHMARK(BM_ParseIntoModel)->Unit(benchmark::kMillisecond);

void BM_ParseLoneCrIntoModel(benchmark::State& state) { ParseIntoModel(state, LoneCrPage()); }
BENCHMARK(BM_ParseLoneCrIntoModel)->Unit(benchmark::kMillisecond);

// The same parse while the window's list view shows the rows.
void BM_ParseIntoShownList(benchmark::State& state) {
  mivo::frmMain window;
  window.show();
  window.SetPageText(Page());
  for (auto _ : state) {
    mivo::ParseSource(window);
    QCoreApplication::processEvents();  // let the view lay out and paint what it got
    benchmark::DoNotOptimize(window.Rows().Count());
  }
  state.counters["rows"] = window.Rows().Count();
}
BENCHMARK(BM_ParseIntoShownList)->Unit(benchmark::kMillisecond);

MIVO_BENCH_RATIO("BM_ParseIntoModel", "BM_PlainScan", 3.0);
MIVO_BENCH_RATIO("BM_ParseLoneCrIntoModel", "BM_ParseIntoModel", 1.2);
MIVO_BENCH_RATIO("BM_ParseIntoShownList", "BM_ParseIntoModel", 3.0);

}  // namespace
