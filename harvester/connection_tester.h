// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/pacer.h"
#include "ping/mod_ping.h"
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
  // Ends a running walk: connects in flight are dropped, rows not reached
  // keep their cells, and the status panel gives the counts so far.
  void Stop();
  bool Running() const { return walk_.state != WalkState::Idle; }
  // Called when a walk starts or ends, with Running().
  std::function<void(bool)> onRunning;

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

  // A walk first closes what earlier walks still hold, so that it has the
  // whole descriptor allowance, then starts its rows in slices across turns
  // of the event loop, then waits for the last outcome and echo.
  enum class WalkState { Idle, Closing, Starting, Finishing };

  // A walk holds at most as many connects as the process has descriptors
  // for; the rows beyond start as earlier ones end.
  struct Walk {
    WalkState state = WalkState::Idle;
    int closeNext = 1;  // the next element an earlier walk may hold
    int closeLast = 0;
    Pacer pacer{{}};  // sized to the allowance once earlier walks are closed
    int nextRow = 1;  // the next row never started
    int lastRow = 0;
    std::vector<int> waiting;   // rows put back for want of a descriptor
    std::vector<bool> pending;  // by row: started, outcome not known yet
    bool starting = false;      // a slice is on the stack
    int passed = 0;
    int failed = 0;
    std::string noEchoes;  // why no echo could be sent, once one round found no socket
  };

  // The echoes of the rows one slice started, answered while the walk goes on.
  struct EchoWait {
    std::vector<int> rows;
    std::unique_ptr<PingRound> round;
    // Both may be the caller when the wait ends: they go in a later turn.
    std::unique_ptr<QSocketNotifier> replies;
    std::unique_ptr<QTimer> expiry;
  };

  void ReportSingleFailure();
  // Element `Index` of the walk: CloseSck, Connect to row `Index`, status text.
  void StartRow(int Index);
  // One turn's share of the walk: closing held elements or starting rows.
  void Slice();
  // Starts the next row if the walk has a descriptor for it; false if not,
  // or if the row it started was put back at once.
  bool StartNext();
  void RetryOrGiveUp();
  // Echoes the queued rows, a few rounds of a bounded size at a time, so
  // that echoes hold few descriptors and no turn sends too many.
  void SendQueuedEchoes();
  void EchoesDone(std::list<EchoWait>::iterator wait);
  void DropEchoes(std::list<EchoWait>::iterator wait);
  // Row `Index` of the walk has its outcome, or was put back for want of a
  // descriptor.
  void RowEnded(int Index, RowOutcome outcome);
  // The walk's next state, set here only; reaching Idle ends the walk.
  void Settle();
  WalkState NextState() const;
  void EndWalk(const char* head);
  // A refilled list has none of the rows the walk was started on.
  void ListRefilled();

  MainWindowOps& ops_;
  std::optional<SingleTest> single_;
  Walk walk_;
  std::list<EchoWait> echoes_;
  std::deque<int> echoQueue_;  // rows started, not echoed yet
  QTimer slice_;               // the walk's next slice, in the next turn of the loop
  QTimer retry_;               // for a row put back while nothing of the walk is in flight
};

}  // namespace mivo
