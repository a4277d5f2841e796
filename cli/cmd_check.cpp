#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "common/text.h"
#include "harvester/connection_test.h"
#include "harvester/main_window_ops.h"

namespace mivo::cli {
namespace {

// The sockets layer ends a connect that has not completed after 21 seconds;
// the margin lets that last outcome arrive.
constexpr int kOutcomeWaitMs = 21000 + 2000;

// "address port" or "address:port"; a line with one word has an empty port.
// Words after the port are ignored, so the rows `fetch` prints can be checked.
void AddRowFrom(std::string_view line, ProxyListModel& rows) {
  line = TrimSpaces(line);
  std::size_t cut = line.find_first_of(" \t");
  std::string_view address = line, port;
  if (cut != std::string_view::npos) {
    address = line.substr(0, cut);
    port = line.substr(line.find_first_not_of(" \t", cut));
    port = port.substr(0, port.find_first_of(" \t"));
  } else if ((cut = line.rfind(':')) != std::string_view::npos) {
    address = line.substr(0, cut);
    port = line.substr(cut + 1);
  }
  rows.Append(std::string(address));
  rows.SetText(rows.Count(), 1, port);
}

bool AllHaveOutcomes(const ProxyListModel& rows) {
  for (int n = 1; n <= rows.Count(); ++n)
    if (rows.Text(n, 5).empty()) return false;
  return true;
}

}  // namespace

int Check(int argc, char**) {
  if (argc != 0) {
    std::fprintf(stderr, "usage: mivoproxy-cli check < ROWS\n");
    return 2;
  }
  HeadlessMainOps ops;
  ProxyListModel& rows = ops.Rows();
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!TrimSpaces(line).empty()) AddRowFrom(line, rows);
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
