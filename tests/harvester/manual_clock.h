// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <chrono>
#include <cstdint>

#include "harvester/page_download.h"

namespace mivo::test {

// A download clock whose seconds move only when the test moves them, so that
// a slow machine never reaches a time-out the test did not ask for. Installed
// for its lifetime.
class ManualClock : public SourceClock {
 public:
  ManualClock() : previous_(SetSourceClock(this)) {}
  ~ManualClock() override { SetSourceClock(previous_); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  std::int64_t Seconds() override { return seconds_; }
  // Short, so that a wait notices a move soon.
  std::chrono::milliseconds UntilNextSecond() override { return std::chrono::milliseconds(20); }

  void Advance(std::int64_t seconds) { seconds_ += seconds; }

 private:
  SourceClock* previous_;
  std::int64_t seconds_ = 1'000'000;
};

}  // namespace mivo::test
