// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "verifier.h"

#include <algorithm>

#include "common/fdlimit.h"
#include "tunnel/moduleproxy.h"
#include "tunnel/winsock1.h"

namespace mivo::verify {
namespace {

// Rows started in one turn of the event loop.
constexpr int kStartBatch = 256;

}  // namespace

Verifier::Verifier(std::vector<Row> rows, Options options)
    : rows_(std::move(rows)), maxInFlight_(options.maxInFlight), results_(rows_.size()), active_(rows_.size()) {
  plan_.targetHost = options.targetHost;
  plan_.targetPort = std::to_string(options.targetPort);
  plan_.credentials = options.credentials;
  if (options.credentials) {
    plan_.user = options.user;
    plan_.password = options.password;
  }
  plan_.judges = !options.judges.empty();
  plan_.far = plan_.judges ? std::move(options.judges) : std::vector<FarSide>();
  if (!plan_.judges && options.page) plan_.far.push_back(std::move(*options.page));
  plan_.ownAddresses = std::move(options.ownAddresses);
  plan_.expect = std::move(options.expect);
  plan_.tls = std::move(options.tls);
  plan_.timeout = options.timeout;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (!RowProblem(rows_[i])) continue;
    results_[i].reason = Reason::BadRow;
    ++ended_;
  }
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { Expire(); });
  retry_.setSingleShot(true);
  QObject::connect(&retry_, &QTimer::timeout, &context_, [this] { Fill(); });
}

Verifier::~Verifier() = default;

void Verifier::Start() {
  // Counted once: the allowance looks at every descriptor of the process.
  const std::size_t allowance = SocketAllowance();
  pacer_.emplace(Pacer::Policy{maxInFlight_ != 0 ? std::min(maxInFlight_, allowance) : allowance});
  Fill();
  FinishIfDone();
}

void Verifier::FinishIfDone() {
  if (!Finished() || finishPosted_) return;
  finishPosted_ = true;
  QMetaObject::invokeMethod(
      &context_,
      [this] {
        if (onFinished) onFinished();
      },
      Qt::QueuedConnection);
}

void Verifier::Fill() {
  if (filling_) return;
  filling_ = true;
  starved_ = false;
  int started = 0;
  // A row put back now would only fail again at once: the rest waits for a row to end.
  while (!starved_ && pacer_->MayStart()) {
    // The loop gets a turn between batches: events of rows already started
    // are seen in time, and a window stays responsive.
    if (started == kStartBatch) {
      if (!continuePosted_) {
        continuePosted_ = true;
        QMetaObject::invokeMethod(
            &context_,
            [this] {
              continuePosted_ = false;
              Fill();
            },
            Qt::QueuedConnection);
      }
      break;
    }
    int row = -1;
    if (!waiting_.empty()) {
      row = waiting_.front();
      waiting_.pop_front();
    } else {
      while (next_ < rows_.size() && results_[next_].reason == Reason::BadRow) ++next_;
      if (next_ == rows_.size()) break;
      row = static_cast<int>(next_++);
    }
    std::unique_ptr<RowCheck>& slot = active_[static_cast<std::size_t>(row)];
    slot = std::make_unique<RowCheck>(row, rows_[static_cast<std::size_t>(row)], plan_,
                                      results_[static_cast<std::size_t>(row)], static_cast<RowHost&>(*this));
    RowCheck* check = slot.get();
    pacer_->Started();
    ++started;
    check->Start();
  }
  filling_ = false;
  if (starved_) GiveUpWaiting();
}

// Rows that found no socket while nothing else of this run was in flight
// wait for the rest of the process to let some go, but not for ever.
void Verifier::GiveUpWaiting() {
  if (waiting_.empty() || pacer_->InFlight() != 0) return;
  const Clock::time_point now = Clock::now();
  if (const std::optional<Clock::time_point> at = pacer_->RetryAt(now)) {
    retry_.start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*at - now).count()));
    return;
  }
  for (int row : waiting_) {
    results_[static_cast<std::size_t>(row)].reason = Reason::NoSocket;
    ++ended_;
    if (onRowEnded) onRowEnded(static_cast<std::size_t>(row));
  }
  waiting_.clear();
  FinishIfDone();
}

std::unique_ptr<TunnelSocket> Verifier::NewSocket() { return NewWinsock1(); }

std::uint32_t Verifier::Deadline(int row, Clock::time_point when) {
  const std::uint32_t serial = ++nextSerial_;
  wakes_.push({when, row, serial});
  if (!timer_.isActive() || when < armedFor_) ArmTimer();
  return serial;
}

void Verifier::ArmTimer() {
  if (wakes_.empty()) {
    timer_.stop();
    return;
  }
  armedFor_ = wakes_.top().when;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(armedFor_ - Clock::now()).count();
  timer_.start(static_cast<int>(std::clamp<std::int64_t>(left, 0, 24 * 3600 * 1000)));
}

void Verifier::Expire() {
  // Wakes of rows that have ended since are dropped as they come up.
  while (!wakes_.empty() && wakes_.top().when <= Clock::now()) {
    const Wake w = wakes_.top();
    wakes_.pop();
    if (RowCheck* row = active_[static_cast<std::size_t>(w.row)].get()) row->TimedOut(w.serial);
  }
  ArmTimer();
}

void Verifier::RowEnded(int row) {
  std::unique_ptr<RowCheck>& slot = active_[static_cast<std::size_t>(row)];
  const bool putBack = slot->PutBack();
  retired_.push_back(std::move(slot));
  if (putBack) {
    pacer_->PutBack();
    waiting_.push_front(row);
    starved_ = true;
  } else {
    pacer_->Ended();
    ++ended_;
    if (onRowEnded) onRowEnded(static_cast<std::size_t>(row));
  }
  if (!cleanupPosted_) {
    cleanupPosted_ = true;
    QMetaObject::invokeMethod(
        &context_,
        [this] {
          cleanupPosted_ = false;
          retired_.clear();
        },
        Qt::QueuedConnection);
  }
  Fill();
  FinishIfDone();
}

}  // namespace mivo::verify
