// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "pacer.h"

#include <algorithm>

namespace mivo {

Pacer::Pacer(Policy policy) : policy_(policy), limit_(std::max<std::size_t>(1, policy.ceiling)) {
  policy_.ceiling = limit_;
}

void Pacer::Started() {
  ++inFlight_;
  peak_ = std::max(peak_, inFlight_);
}

void Pacer::Ended() {
  --inFlight_;
  idleSince_.reset();
  // Sockets may have come free elsewhere in the process: one more, up to the ceiling.
  if (limit_ < policy_.ceiling) ++limit_;
}

void Pacer::PutBack() {
  --inFlight_;
  // The process is out of sockets with this many in flight: no more than that from now on.
  limit_ = std::max<std::size_t>(1, inFlight_);
}

std::optional<Pacer::Clock::time_point> Pacer::RetryAt(Clock::time_point now) {
  if (!idleSince_) idleSince_ = now;
  if (now - *idleSince_ >= policy_.idleWait) return std::nullopt;
  limit_ = 1;
  return now + policy_.idleRetry;
}

}  // namespace mivo
