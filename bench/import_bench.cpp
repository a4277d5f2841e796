// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Importing a list of a million lines in the formats mixed, beside the usual
// way of pulling host:port out of text: grep with an extended pattern.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/support/bench_support.h"
#include "harvester/ui/frm_main.h"
#include "harvester/ui/import_commands.h"
#include "import/importer.h"
#include "import/sources.h"

namespace {

constexpr int kLines = 1'000'000;

std::string Address(int i) {
  const unsigned v = static_cast<unsigned>(i) * 2654435761u;
  return std::to_string(1 + (v >> 24) % 222) + "." + std::to_string((v >> 16) & 255) + "." +
         std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255);
}

// The list file, written once per run.
const std::string& ListFile() {
  static QTemporaryDir dir;
  static const std::string path = [] {
    const std::string p = dir.filePath("mixed.txt").toStdString();
    std::FILE* f = std::fopen(p.c_str(), "w");
    std::string line;
    for (int i = 0; i < kLines; ++i) {
      const std::string a = Address(i), port = std::to_string(1024 + i % 60000);
      switch (i % 8) {
        case 0: line = a + ":" + port; break;
        case 1: line = "socks5://user" + std::to_string(i % 97) + ":pa@ss@" + a + ":" + port; break;
        case 2: line = "http://" + a + ":" + port + "  # elite, 120 ms"; break;
        case 3: line = a + ":" + port + ":user:secret"; break;
        case 4: line = a + "\t" + port + "\tHTTP\tDE"; break;
        case 5: line = "<tr><td>" + a + "</td><td>" + port + "</td><td>SOCKS4</td></tr>"; break;
        case 6: line = "{\"ip\": \"" + a + "\", \"port\": " + port + "},"; break;
        default: line = "user:pass@" + a + ":" + port; break;
      }
      line += '\n';
      std::fwrite(line.data(), 1, line.size(), f);
    }
    std::fclose(f);
    return p;
  }();
  return path;
}

long FileBytes() {
  std::FILE* f = std::fopen(ListFile().c_str(), "r");
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fclose(f);
  return size;
}

void BM_Grep(benchmark::State& state) {
  const std::string command =
      "LC_ALL=C grep -oE '[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+:[0-9]+' " + ListFile() + " > " + ListFile() + ".out";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) state.SkipWithError("grep failed");
  state.SetBytesProcessed(state.iterations() * FileBytes());
}
BENCHMARK(BM_Grep)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Import(benchmark::State& state) {
  ListFile();
  long grown = 0;
  std::size_t rows = 0;
  for (auto _ : state) {
    const long before = mivo::bench::ResidentBytes();
    mivo::importer::ListImporter im;
    mivo::importer::ImportFile(im, ListFile());
    grown = std::max(grown, mivo::bench::ResidentBytes() - before);
    rows = im.Rows().size();
    benchmark::DoNotOptimize(rows);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["file_MB"] = static_cast<double>(FileBytes()) / 1e6;
  // What the rows and the duplicate table hold at the end, against the file.
  state.counters["memory_per_file_byte"] = static_cast<double>(grown) / static_cast<double>(FileBytes());
  state.SetBytesProcessed(state.iterations() * FileBytes());
}
BENCHMARK(BM_Import)->Unit(benchmark::kMillisecond)->UseRealTime();

// 100,000 rows dropped onto the shown list: the longest turn of the event
// loop while they go in.
void BM_WindowImport100k(benchmark::State& state) {
  mivo::frmMain window;
  window.show();
  auto* commands = window.findChild<mivo::ImportCommands*>();
  commands->askMerge = [] { return mivo::importer::ListMerge::Replace; };
  std::string text;
  for (int i = 0; i < 100'000; ++i) text += Address(i) + ":" + std::to_string(1024 + i % 60000) + "\n";
  double longest = 0;
  auto last = mivo::bench::Clock::now();
  QTimer tick;
  tick.setInterval(0);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    longest = std::max(longest, mivo::bench::MsSince(last));
    last = mivo::bench::Clock::now();
  });
  for (auto _ : state) {
    QCoreApplication::processEvents();
    tick.start();
    last = mivo::bench::Clock::now();
    commands->ImportText("bench", text);
    QCoreApplication::processEvents();
    tick.stop();
  }
  state.counters["rows"] = window.Rows().Count();
  state.counters["longest_turn_ms"] = longest;
}
BENCHMARK(BM_WindowImport100k)->Unit(benchmark::kMillisecond)->UseRealTime();

MIVO_BENCH_RATIO("BM_Import", "BM_Grep", 1.0);

}  // namespace
