// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "page_download.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "common/gbk.h"
#include "harvester/http_request.h"
#include "harvester/main_window_ops.h"
#include "harvester/page_parser.h"
#include "harvester/status_texts.h"

namespace mivo {
namespace {

class SystemSourceClock final : public SourceClock {
 public:
  std::int64_t Seconds() override {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  }
  std::chrono::milliseconds UntilNextSecond() override {
    using namespace std::chrono;
    const auto intoSecond = duration_cast<milliseconds>(system_clock::now().time_since_epoch()) % seconds(1);
    return milliseconds(1000) - intoSecond;  // 1..1000 ms, never a zero wait
  }
};

constexpr std::size_t kConvertPiece = 256 * 1024;

SystemSourceClock systemClock;
SourceClock* clockInForce = &systemClock;

}  // namespace

SourceClock& CurrentSourceClock() { return *clockInForce; }

SourceClock* SetSourceClock(SourceClock* clock) {
  SourceClock* previous = clockInForce;
  clockInForce = clock ? clock : &systemClock;
  return previous;
}

PageDownloads::PageDownloads(const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) {
    std::unique_ptr<HttpRequest> http = CreateHttpRequest();
    // A client that cannot be made or cannot use the address ends like a time-out.
    if (http && http->Open("GET", address, true))
      http->send();
    else
      http.reset();
    requests_.push_back(std::move(http));
  }
  start_ = CurrentSourceClock().Seconds();
}

PageDownloads::~PageDownloads() = default;

std::optional<std::string> PageDownloads::Wait(MainWindowOps& ops, std::size_t k, std::string& error) {
  std::unique_ptr<HttpRequest>& http = requests_.at(k);
  if (!http) {
    error = "cannot be requested";
    return std::nullopt;
  }
  SourceClock& clock = CurrentSourceClock();
  while (http->ReadyState() != kHttpComplete) {
    // Blocks until some event arrives or the clock's second turns over, so
    // the wait costs no processor time while nothing happens.
    ops.DoEventsWaiting(clock.UntilNextSecond());
    if (clock.Seconds() - start_ > kSourceTimeoutSeconds) {
      error = "no complete answer within " + std::to_string(kSourceTimeoutSeconds) + " seconds";
      return std::nullopt;
    }
  }
  std::string body(http->ResponseBody());
  http.reset();
  return body;
}

std::string GetSource(MainWindowOps& ops, const std::string& address, bool* tooLarge) {
  ops.SetPanel(kStatusPanel, kTextFetching);
  std::unique_ptr<HttpRequest> http = CreateHttpRequest();
  // A client that cannot be made or cannot use the address ends like a time-out.
  if (!http || !http->Open("GET", address, true)) return {};
  http->send();
  SourceClock& clock = CurrentSourceClock();
  const std::int64_t start = clock.Seconds();
  while (http->ReadyState() != kHttpComplete) {
    // Blocks until some event arrives or the clock's second turns over, so
    // the wait costs no processor time while nothing happens.
    ops.DoEventsWaiting(clock.UntilNextSecond());
    if (clock.Seconds() - start > kSourceTimeoutSeconds) {
      ops.SetProgress(0, 0);
      return {};
    }
    if (const std::size_t announced = http->BytesAnnounced(); announced > 0 && http->ReadyState() != kHttpComplete)
      ops.SetProgress(static_cast<int>(std::min(http->BytesArrived(), announced) >> 10),
                      static_cast<int>(announced >> 10) + 1);
  }
  const std::string_view body = http->ResponseBody();
  if (tooLarge) *tooLarge = http->TooLarge();
  // A large page is converted in pieces that end at a line feed, which is
  // never part of a two-byte character, so that the window keeps answering.
  std::string text;
  text.reserve(body.size() + body.size() / 2);  // Chinese takes 3 bytes in UTF-8 for 2 in GBK
  EventTurns turns(ops);
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t lf = body.find('\n', std::min(body.size(), at + kConvertPiece));
    const std::size_t end = lf == std::string::npos ? body.size() : lf + 1;
    text += FromGbk(body.substr(at, end - at));
    at = end;
    if (turns.Due()) ops.SetProgress(static_cast<int>(at >> 10), static_cast<int>(body.size() >> 10) + 1);
    turns.Yield();
  }
  http.reset();
  ops.SetProgress(0, 0);
  ops.DoEvents();
  return text;
}

void ListPageCommand(MainWindowOps& ops, int k) {
  ops.SetPageText({});
  bool tooLarge = false;
  ops.SetPageText(GetSource(ops, ops.AddressText(k), &tooLarge));
  if (tooLarge) {
    // Not the network's fault: say what went wrong and where the limit is.
    ops.SetPanel(kStatusPanel, kTextPageTooLarge + std::to_string(kMaxResponseBody >> 20) + kTextPageTooLargeEnd);
    return;
  }
  ParseSource(ops);
}

}  // namespace mivo
