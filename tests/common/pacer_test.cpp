// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The pacer over a clock the test moves: how far work may run, how it backs
// off when sockets run out, and when it gives waiting work up.

#include "common/pacer.h"

#include <gtest/gtest.h>

namespace mivo {
namespace {

using namespace std::chrono_literals;

struct PaceStep {
  enum Kind { Start, End, PutBack, Idle } kind;
  std::chrono::milliseconds at;  // the clock when the step happens
  std::size_t inFlight, limit;   // after the step
  bool retry;                    // Idle: a retry is due (false: the wait is over)
};

TEST(Pacer, StartsUpToItsCeilingBacksOffWhenSocketsRunOutAndGivesUpAfterItsWait) {
  const PaceStep steps[] = {
      {PaceStep::Start, 0ms, 1, 3, false},
      {PaceStep::Start, 0ms, 2, 3, false},
      {PaceStep::Start, 0ms, 3, 3, false},
      // Out of sockets with two others in flight: no more than two from now on.
      {PaceStep::PutBack, 0ms, 2, 2, false},
      // Rows ending raise the limit by one each, up to the ceiling.
      {PaceStep::End, 0ms, 1, 3, false},
      {PaceStep::End, 0ms, 0, 3, false},
      {PaceStep::Start, 0ms, 1, 3, false},
      {PaceStep::PutBack, 0ms, 0, 1, false},
      // Nothing in flight, the row waits: retried on the timer until the wait is over.
      {PaceStep::Idle, 0ms, 0, 1, true},
      {PaceStep::Idle, 999ms, 0, 1, true},
      {PaceStep::Idle, 1000ms, 0, 1, false},
  };
  Pacer pacer({3, 100ms, 1000ms});
  const Pacer::Clock::time_point t0{};
  for (const PaceStep& s : steps) {
    SCOPED_TRACE(testing::Message() << "step " << static_cast<int>(s.kind) << " at " << s.at.count() << " ms");
    switch (s.kind) {
      case PaceStep::Start:
        ASSERT_TRUE(pacer.MayStart());
        pacer.Started();
        break;
      case PaceStep::End: pacer.Ended(); break;
      case PaceStep::PutBack: pacer.PutBack(); break;
      case PaceStep::Idle: {
        const std::optional<Pacer::Clock::time_point> at = pacer.RetryAt(t0 + s.at);
        EXPECT_EQ(at.has_value(), s.retry);
        if (at) {
          EXPECT_EQ(*at, t0 + s.at + 100ms);
        }
        break;
      }
    }
    EXPECT_EQ(pacer.InFlight(), s.inFlight);
    EXPECT_EQ(pacer.Limit(), s.limit);
    EXPECT_EQ(pacer.MayStart(), s.inFlight < s.limit);
  }
  EXPECT_EQ(pacer.Peak(), 3u);
}

}  // namespace
}  // namespace mivo
