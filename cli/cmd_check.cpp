#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/row_input.h"
#include "harvester/connection_test.h"
#include "harvester/main_window_ops.h"

namespace mivo::cli {
namespace {

// The sockets layer ends a connect that has not completed after 21 seconds;
// the margin lets that last outcome arrive.
constexpr int kOutcomeWaitMs = 21000 + 2000;

bool AllHaveOutcomes(const ProxyListModel& rows) {
  for (int n = 1; n <= rows.Count(); ++n)
    if (rows.Text(n, 5).empty()) return false;
  return true;
}

}  // namespace

int Check(int argc, char**) {
  if (argc != 0) {
    std::fprintf(stderr, "mivoproxy-cli check: too many arguments\nusage: mivoproxy-cli check < ROWS\n");
    return kExitUsage;
  }
  HeadlessMainOps ops;
  ProxyListModel& rows = ops.Rows();
  for (const InputRow& row : ReadRows(std::cin)) {
    rows.Append(row.address);
    rows.SetText(rows.Count(), 1, row.port);
  }

  ConnectionTester tester(ops);
  tester.testall();
  const QDeadlineTimer deadline(kOutcomeWaitMs);
  QTimer tick;  // wakes the loop so that the deadline is seen
  tick.start(100);
  while (!AllHaveOutcomes(rows) && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

  for (int n = 1; n <= rows.Count(); ++n)
    std::printf("%s\t%s\t%s\t%s\n", rows.Text(n, 0).c_str(), rows.Text(n, 1).c_str(), rows.Text(n, 5).c_str(),
                rows.Text(n, 6).c_str());
  if (!AllHaveOutcomes(rows)) {
    std::fprintf(stderr, "some rows have no outcome\n");
    return 1;
  }
  return 0;
}

}  // namespace mivo::cli
