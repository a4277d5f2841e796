// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "verify/judge_ask.h"
#include "verify/result.h"
#include "verify/verifier.h"

namespace mivo {

class MainWindowOps;

namespace verify {
class LocationDb;
}

// What the window's verification uses, as the settings panel holds it.
struct VerifySettings {
  std::vector<std::string> judges;  // judge URLs
  std::string url;                  // or a page, with the text it must hold
  std::string expect;
  std::string user, password;
  int timeoutSeconds = static_cast<int>(verify::kDefaultTimeout.count() / 1000);
  int concurrency = static_cast<int>(verify::kDefaultConcurrency);

  bool operator==(const VerifySettings&) const = default;
};

// The settings kept in `file` (the user's settings file), all but the
// password, which goes to the desktop's secret store. Missing keys keep
// their defaults.
VerifySettings LoadVerifySettings(const QString& file);
bool SaveVerifySettings(const QString& file, const VerifySettings& settings);

// How the window names a reason, anonymity: short Chinese texts.
const char* ReasonUiText(verify::Reason reason);
const char* AnonymityUiText(verify::Anonymity anonymity);

// The window's verification of some rows of the list: asks the judges
// directly, then verifies the rows through `verify::Verifier` on the event
// loop, writing each row's cells as it ends; the status panel gets the end
// text.
class ListVerification {
 public:
  explicit ListVerification(MainWindowOps& ops);
  ~ListVerification();
  ListVerification(const ListVerification&) = delete;
  ListVerification& operator=(const ListVerification&) = delete;

  // `rows`: numbers from 1. A running verification is stopped first.
  void Start(std::vector<int> rows, const VerifySettings& settings);
  // Rows not reached keep their cells; the status panel gives the counts.
  void Stop();
  bool Running() const { return state_ != State::Idle; }
  // Called when a verification starts or ends, with Running().
  std::function<void(bool)> onRunning;

 private:
  enum class State { Idle, AskingJudges, Listing, Verifying };

  void JudgeAnswered();
  // The judges answered or their time is up: those that answered are used.
  void JudgesDone();
  // Copies the rows to verify, a slice a turn, then starts them.
  void ListRows();
  void StartRows();
  void RowEnded(std::size_t i);
  void End(const char* head);
  void SetState(State next);
  bool Fail(const std::string& text);

  MainWindowOps& ops_;
  State state_ = State::Idle;
  std::vector<int> rowNumbers_;  // by the verifier's row
  verify::Options options_;
  std::vector<verify::FarSide> judges_;
  std::vector<std::unique_ptr<verify::DirectJudgeAsk>> asks_;
  std::unique_ptr<verify::Verifier> verifier_;
  std::unique_ptr<verify::LocationDb> places_;
  std::string noPlaces_;  // why places_ could not be opened this run
  int passed_ = 0;
  int failed_ = 0;
  unsigned run_ = 0;  // tells a queued end from an earlier run's
  QTimer judgeDeadline_;
  QTimer listSlice_;
  std::vector<verify::Row> listed_;  // while Listing
  QObject context_;
  QMetaObject::Connection refilled_;
};

}  // namespace mivo
