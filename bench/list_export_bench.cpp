// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QBuffer>

#include <benchmark/benchmark.h>

#include "harvester/list_export.h"
#include "harvester/main_window_ops.h"

namespace {

// A full list page or more: every column ticked, Chinese locations.
void FillRows(mivo::HeadlessMainOps& ops, int count) {
  for (int i = 0; i < count; ++i) {
    ops.rows.Append("127.0." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256));
    ops.rows.SetText(i + 1, mivo::ProxyColumn::Port, std::to_string(1024 + i % 60000));
    ops.rows.SetText(i + 1, mivo::ProxyColumn::Type, "HTTP");
    ops.rows.SetText(i + 1, mivo::ProxyColumn::Location, "中国 北京 电信");
  }
  ops.exportTicked = {false, true, true, true, true};
}

void BM_WriteExport(benchmark::State& state) {
  mivo::HeadlessMainOps ops;
  FillRows(ops, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    benchmark::DoNotOptimize(mivo::WriteExport(buffer, ops));
    benchmark::DoNotOptimize(buffer.data().size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteExport)->Arg(100)->Arg(10000);

}  // namespace
