// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivo {

class MainWindowOps;

// Seconds after which a download gives up; the clock counts whole seconds,
// so the give-up comes between 3 and 4 seconds after the request went out.
inline constexpr std::int64_t kSourceTimeoutSeconds = 3;

// The wall clock a download reads, in whole seconds.
class SourceClock {
 public:
  virtual ~SourceClock() = default;
  virtual std::int64_t Seconds() = 0;
  // Time until Seconds() next changes: the longest a wait pass may block.
  virtual std::chrono::milliseconds UntilNextSecond() = 0;
};

// The clock in force; SetSourceClock(nullptr) restores the system clock.
// Returns the previous one.
SourceClock& CurrentSourceClock();
SourceClock* SetSourceClock(SourceClock* clock);

class HttpRequest;

// HTTP GETs of several addresses at once, sent when made; each is waited for
// as the list-page command waits for its one, from the same start.
class PageDownloads {
 public:
  explicit PageDownloads(const std::vector<std::string>& addresses);
  ~PageDownloads();
  PageDownloads(const PageDownloads&) = delete;
  PageDownloads& operator=(const PageDownloads&) = delete;

  // Lets other events run until download k completes: its body, empty when
  // nothing usable arrived; nothing, with the reason in `error`, when the
  // address cannot be requested or no complete answer came in time.
  std::optional<std::string> Wait(MainWindowOps& ops, std::size_t k, std::string& error);

 private:
  std::vector<std::unique_ptr<HttpRequest>> requests_;
  std::int64_t start_;
};

// Fetches `address` with an HTTP GET while letting other events run; the
// page text, or the empty text when nothing complete arrived in time.
// `tooLarge`, when given, says whether the page was over the size limit.
std::string GetSource(MainWindowOps& ops, const std::string& address, bool* tooLarge = nullptr);

// The list-page command for address box k (http1..http10: 0..9, jywdl1: 10, jywdl2: 11).
void ListPageCommand(MainWindowOps& ops, int k);

}  // namespace mivo
