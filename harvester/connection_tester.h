// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QTimer>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "socket/winsock.h"

namespace mivo {

class MainWindowOps;

inline constexpr const char* kMarkSuccess = "★ 成功";
inline constexpr const char* kMarkFailure = "☆ 失败";

// The reachability tests of the main window and their socket controls:
// element 0 of Wsktest serves the single test, element i row i of a walk.
class ConnectionTester {
 public:
  explicit ConnectionTester(MainWindowOps& ops);
  ConnectionTester(const ConnectionTester&) = delete;
  ConnectionTester& operator=(const ConnectionTester&) = delete;

  // Menu commands.
  void conTest();
  void testall();

  // One echo to `address`: its round-trip time as "<ms> ms".
  std::string PingText(const std::string& address);

  // Handlers of the Wsktest events.
  void Wsktest_Connect(int Index);
  void Wsktest_Error(int Index, std::int16_t Number, std::string& Description, std::int32_t sCode, std::string Source,
                     std::string HelpFile, std::int32_t HelpContext, bool& CancelDisplay);
  void Wsktest_CloseSck(int Index);

  WinSockArray Wsktest;

 private:
  // The single test whose outcome is still to come, as it was started.
  struct SingleTest {
    int row = 0;
    std::string address;
    std::string port;
    bool starting = true;  // conTest has not returned yet
    bool failed = false;   // failed while conTest was still running
  };

  // How a row of the walk ended.
  enum class RowOutcome { Success, Failure, PutBack };

  // A walk holds at most as many connects as the process has descriptors
  // for; the rows beyond start as earlier ones end.
  struct Walk {
    std::size_t limit = 0;
    std::size_t inFlight = 0;
    int nextRow = 1;  // the next row never started
    int lastRow = 0;
    std::vector<int> waiting;   // rows put back for want of a descriptor
    std::vector<bool> pending;  // by row: started, outcome not known yet
    bool starting = false;      // StartRows is on the stack
  };

  void ReportSingleFailure();
  // Element `Index` of the walk: CloseSck, Connect to row `Index`, status text.
  void StartRow(int Index);
  // Starts waiting rows while the walk has descriptors to spare.
  void StartRows();
  // Row `Index` of the walk has its outcome, or was put back for want of a
  // descriptor.
  void RowEnded(int Index, RowOutcome outcome);

  MainWindowOps& ops_;
  std::optional<SingleTest> single_;
  Walk walk_;
  QTimer retry_;  // for a row put back while nothing of the walk is in flight
};

}  // namespace mivo
