// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace mivo {

// Paces work that opens sockets per piece (a row): starts pieces up to a
// limit, lowers the limit to what is in flight when the process runs out of
// descriptors or local ports, raises it again by one as pieces end, and says
// when to try again while nothing is in flight. No sockets, no timers: the
// owner asks and keeps the timer.
class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  struct Policy {
    std::size_t ceiling = 1;  // never more in flight than this (at least 1)
    // With nothing in flight and work waiting for a socket: try this often,
    // for this long, before the waiting work is given up. A little longer
    // than closed connections hold their local ports (TIME_WAIT, 60 s).
    std::chrono::milliseconds idleRetry{100};
    std::chrono::milliseconds idleWait{65000};
  };

  explicit Pacer(Policy policy);

  bool MayStart() const { return inFlight_ < limit_; }
  void Started();
  // A piece ended with its result.
  void Ended();
  // A piece gave its turn back for want of a socket.
  void PutBack();
  // Work waits for a socket and nothing is in flight: when to try again
  // (the limit is then 1), or nothing once the wait is over.
  std::optional<Clock::time_point> RetryAt(Clock::time_point now);

  std::size_t InFlight() const { return inFlight_; }
  std::size_t Limit() const { return limit_; }
  std::size_t Peak() const { return peak_; }

 private:
  Policy policy_;
  std::size_t limit_;
  std::size_t inFlight_ = 0;
  std::size_t peak_ = 0;
  std::optional<Clock::time_point> idleSince_;
};

}  // namespace mivo
