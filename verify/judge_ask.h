// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "socket/winsock.h"
#include "verify/judge.h"

namespace mivo::verify {

// Asks a judge directly, without a proxy: how it sees the user. Runs on the
// thread's event loop; the owner ends it by destroying it (a time-out).
class DirectJudgeAsk {
 public:
  // `address`: the judge's dotted IPv4 address.
  DirectJudgeAsk(std::string address, const JudgeUrl& judge);
  DirectJudgeAsk(const DirectJudgeAsk&) = delete;
  DirectJudgeAsk& operator=(const DirectJudgeAsk&) = delete;

  void Start();
  bool Done() const { return done_; }
  // Once done: the REMOTE_ADDR the judge printed, or empty with the reason in Error().
  const std::string& OwnAddress() const { return own_; }
  const std::string& Error() const { return error_; }

  // Called once, when done.
  std::function<void()> onDone;

 private:
  void Finish(std::string error);

  std::string address_;
  std::int32_t port_;
  std::string request_;
  WinSock socket_;
  ReplyGatherer reply_;
  std::string own_;
  std::string error_;
  bool done_ = false;
};

}  // namespace mivo::verify
