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

#include "common/pacer.h"
#include "verify/judge.h"
#include "verify/result.h"
#include "verify/row_check.h"

namespace mivo::verify {

inline constexpr std::chrono::milliseconds kDefaultTimeout{10000};
// Rows in flight at most unless told otherwise: what proxy checkers commonly
// use, so that proxies, judges and the user's router never see a burst of
// thousands of connections.
inline constexpr std::size_t kDefaultConcurrency = 512;

struct Options {
  // Where the tunnels lead without a judge or page: a dotted IPv4 address and a port.
  std::string targetHost;
  std::int32_t targetPort = 0;
  // Asked through every proxy that opens a tunnel, rows spread over them in
  // turn; `ownAddresses` are the user's, as the judges saw it when asked directly.
  std::vector<FarSide> judges;
  std::vector<std::string> ownAddresses;
  // Or a page, GET through every proxy; with `expect`, its body must hold that.
  std::optional<FarSide> page;
  std::string expect;
  // Trust for an https page; required for one.
  std::shared_ptr<TlsContext> tls;
  // Given: SOCKS5 offers user name / password (and, when a proxy wants
  // none, tries again without), HTTP sends them as Basic credentials. A
  // row's own credentials come first.
  bool credentials = false;
  std::string user, password;
  // A row's time: every protocol attempt and the far side's answer included.
  std::chrono::milliseconds timeout = kDefaultTimeout;
  // Rows in flight at most, and never more than the process has sockets to spare.
  std::size_t maxInFlight = kDefaultConcurrency;
};

// Verifies every row of a list: rows run side by side, as many as the
// concurrency and the descriptor allowance let, each on one socket at a
// time; the next row starts as one ends. Runs on the thread's event loop; Start returns at once.
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
  std::size_t InFlight() const { return pacer_ ? pacer_->InFlight() : 0; }
  std::size_t PeakInFlight() const { return pacer_ ? pacer_->Peak() : 0; }

  // Called once, from the event loop, when every row has its result.
  std::function<void()> onFinished;
  // Called as row `row` (from 0) gets its final result, from within the
  // row's own events: it must not destroy the verifier. Rows ended at
  // construction (BadRow) are not announced.
  std::function<void(std::size_t row)> onRowEnded;

 private:
  struct Wake {
    Clock::time_point when;
    int row;
    std::uint32_t serial;
    bool operator>(const Wake& o) const { return when > o.when; }
  };

  std::uint32_t Deadline(int row, Clock::time_point when) override;
  void RowEnded(int row) override;
  std::unique_ptr<TunnelSocket> NewSocket() override;
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
  std::optional<Pacer> pacer_;                      // from Start
  std::size_t next_ = 0;
  std::size_t ended_ = 0;
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
