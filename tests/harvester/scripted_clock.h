// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "common/installed.h"
#include "harvester/page_download.h"

namespace mivo::test {

// A download clock that moves only as the test says, so that a slow machine
// never reaches a time-out the test did not ask for: its reads come from a
// script (the last value repeats), all moved on by Advance. Installed for its
// lifetime.
class ScriptedClock : public Installed<SourceClock, &SetSourceClock> {
 public:
  explicit ScriptedClock(std::vector<std::int64_t> reads = {1'000'000}) : reads_(std::move(reads)) {}

  std::int64_t Seconds() override {
    const std::size_t i = std::min(next_, reads_.size() - 1);
    ++next_;
    return reads_[i] + advanced_;
  }
  std::chrono::milliseconds UntilNextSecond() override { return untilNextSecond; }

  void Advance(std::int64_t seconds) { advanced_ += seconds; }
  std::size_t Reads() const { return next_; }

  // Short, so that a wait notices a move soon.
  std::chrono::milliseconds untilNextSecond{20};

 private:
  std::vector<std::int64_t> reads_;
  std::size_t next_ = 0;
  std::int64_t advanced_ = 0;
};

}  // namespace mivo::test
