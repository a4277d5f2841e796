// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "verify/judge.h"
#include "verify/result.h"
#include "verify/row_check.h"

namespace mivo::verify {

inline constexpr std::chrono::milliseconds kDefaultTimeout{10000};

struct Options {
  // Where the tunnels lead: a dotted IPv4 address and a port. With a judge,
  // the judge's address and port.
  std::string targetHost;
  std::int32_t targetPort = 0;
  // Asked through every proxy that opens a tunnel; `ownAddress` is the
  // user's address as the judge saw it when asked directly.
  std::optional<JudgeUrl> judge;
  std::string ownAddress;
  // Given: SOCKS5 offers user name / password (and, when a proxy wants
  // none, tries again without), HTTP sends them as Basic credentials.
  bool credentials = false;
  std::string user, password;
  // A row's time: every protocol attempt and the judge's answer included.
  std::chrono::milliseconds timeout = kDefaultTimeout;
  // Rows in flight at most; 0: as many as the process has sockets to spare.
  std::size_t maxInFlight = 0;
};

// Verifies every row of a list: rows run side by side, as many as the
// descriptor allowance lets, each on one socket at a time; the next row
// starts as one ends. Runs on the thread's event loop; Start returns at once.
class Verifier final : private RowHost {
 public:
  Verifier(std::vector<Row> rows, Options options);
  ~Verifier();
  Verifier(const Verifier&) = delete;
  Verifier& operator=(const Verifier&) = delete;

  void Start();
  bool Finished() const { return ended_ == rows_.size(); }
  const std::vector<Row>& Rows() const { return rows_; }
  // In the order of the rows; a row's result is final once Finished().
  const std::vector<Result>& Results() const { return results_; }
  std::size_t InFlight() const { return inFlight_; }
  std::size_t PeakInFlight() const { return peak_; }

  // Called once, from the event loop, when every row has its result.
  std::function<void()> onFinished;

 private:
  struct Wake {
    Clock::time_point when;
    int row;
    std::uint32_t serial;
    bool operator>(const Wake& o) const { return when > o.when; }
  };

  std::uint32_t Deadline(int row, Clock::time_point when) override;
  void RowEnded(int row) override;
  void Fill();
  void Expire();
  void ArmTimer();
  void GiveUpWaiting();
  void FinishIfDone();

  std::vector<Row> rows_;
  Plan plan_;
  std::size_t maxInFlight_;
  std::vector<Result> results_;
  std::vector<std::unique_ptr<RowCheck>> active_;   // by row; empty while the row is not in flight
  std::vector<std::unique_ptr<RowCheck>> retired_;  // ended inside their own events; deleted from the loop
  std::deque<int> waiting_;                         // put back for want of a socket
  std::size_t next_ = 0;
  std::size_t allowance_ = 0;
  std::size_t limit_ = 0;
  std::size_t inFlight_ = 0;
  std::size_t peak_ = 0;
  std::size_t ended_ = 0;
  std::optional<Clock::time_point> idleSince_;  // starved with nothing in flight since
  bool filling_ = false;
  bool starved_ = false;  // a row found no socket
  bool cleanupPosted_ = false;
  bool continuePosted_ = false;
  bool finishPosted_ = false;
  std::uint32_t nextSerial_ = 0;
  std::priority_queue<Wake, std::vector<Wake>, std::greater<Wake>> wakes_;
  Clock::time_point armedFor_{};
  // Owns the queued calls: they go with the verifier.
  QObject context_;
  QTimer timer_;
  QTimer retry_;
};

}  // namespace mivo::verify
