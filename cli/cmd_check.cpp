// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <unistd.h>

#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/print_rows.h"
#include "cli/row_input.h"
#include "harvester/connection_tester.h"
#include "harvester/main_window_ops.h"
#include "ping/mod_ping.h"

namespace mivo::cli {
namespace {

// The sockets layer ends a connect that has not completed after 21 seconds,
// so an outcome comes at least that often while rows are left; the margin
// lets the last one arrive. Only a fault would let this pass without one.
constexpr int kOutcomeWaitMs = 21000 + 2000;

}  // namespace

int Check(const CheckOptions&) {
  RowsRead input = ReadRowsFromFd(STDIN_FILENO);
  if (!input.error.empty()) return ReportUsageError(Command::Check, "cannot read standard input: " + input.error);
  HeadlessMainOps ops;
  ops.keepHistory = false;
  ProxyListModel& rows = ops.Rows();
  // By input row: its row in the list, or 0 for a line that is no row and fails untested.
  std::vector<int> listed;
  listed.reserve(input.rows.size());
  for (std::size_t i = 0; i < input.rows.size(); ++i) {
    const InputRow& row = input.rows[i];
    if (!row.problem.empty()) {
      WriteErrLine("mivoproxy-cli check: row " + std::to_string(i + 1) + ": " + row.problem);
      listed.push_back(0);
      continue;
    }
    rows.Append(row.address);
    rows.SetText(rows.Count(), ProxyColumn::Port, row.port);
    listed.push_back(rows.Count());
  }

  // Counted as they come, so that waiting does not read every row each pass.
  std::vector<bool> marked(static_cast<std::size_t>(rows.Count()) + 1, false);
  int left = rows.Count();
  QObject::connect(&rows, &ProxyListModel::dataChanged, [&](const QModelIndex& first, const QModelIndex& last) {
    for (int r = first.row(); r <= last.row(); ++r) {
      const int n = r + 1;
      if (first.column() <= ColumnIndex(ProxyColumn::Result) && last.column() >= ColumnIndex(ProxyColumn::Result) &&
          !marked[static_cast<std::size_t>(n)] && !rows.Text(n, ProxyColumn::Result).empty()) {
        marked[static_cast<std::size_t>(n)] = true;
        --left;
      }
    }
  });
  ConnectionTester tester(ops);
  tester.testall();
  if (const std::string why = EchoesUnavailable(); !why.empty())
    std::fprintf(stderr, "mivoproxy-cli check: %s\n", why.c_str());
  QDeadlineTimer deadline(kOutcomeWaitMs);
  QTimer tick;  // wakes the loop so that the deadline is seen
  tick.start(100);
  for (int seen = left; left > 0 && !deadline.hasExpired();) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (left != seen) deadline.setRemainingTime(kOutcomeWaitMs);
    seen = left;
  }

  RowWriter writer(OutputFormat::Text);
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (listed[i] == 0)
      writer.Write(std::vector<Cell>{input.rows[i].address, "", kMarkFailure, ""});
    else
      writer.Write(
          RowCells(rows, listed[i], {ProxyColumn::Address, ProxyColumn::Port, ProxyColumn::Result, ProxyColumn::Time}));
  }
  writer.Finish();
  if (left > 0) {
    WriteErrLine("mivoproxy-cli check: " + std::to_string(left) + " rows have no outcome");
    return 1;
  }
  return 0;
}

}  // namespace mivo::cli
