// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Proxy judges: HTTP pages that echo the request they received, one
// "NAME = value" line per item (REMOTE_ADDR for the peer, HTTP_<HEADER> for
// each request header). What they say through a proxy tells how much of the
// user the proxy gives away.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mivo::verify {

enum class Anonymity : std::uint8_t {
  Unknown,      // no judge, or no usable answer through the proxy
  Transparent,  // the user's own address reaches the judge
  Anonymous,    // the judge sees proxy headers, not the user's address
  Elite,        // neither
};

// "transparent", "anonymous", "elite", or "-".
const char* AnonymityText(Anonymity a);

// A judge or a page as its URL names it (http or https).
struct JudgeUrl {
  std::string host;  // as written: a dotted IPv4 address or a name
  std::int32_t port = 80;
  std::string path = "/";  // path and query, as sent on the request line
  bool https = false;

  // host, or host:port when the port is not the scheme's own.
  std::string Authority() const;
  // http://host[:port]/path or https://...
  std::string Text() const;
};

// The judge (or, `what` naming it, the page) named by `url`, or empty with
// the reason in `error`.
std::optional<JudgeUrl> ParseJudgeUrl(std::string_view url, std::string& error, std::string_view what = "the judge");

// The GET for a judge or page. `absolute`: the form an HTTP proxy is sent
// ("GET http://host:port/path"), with Basic credentials when `basic` (the
// Base64 of "user:password") is not empty.
std::string JudgeRequest(const JudgeUrl& judge, bool absolute, const std::string& basic = {});

// A judge's reply is read until the peer closes, its length is in, or this much has come.
inline constexpr std::size_t kMaxJudgeReply = 64 * 1024;
// A page's, for --expect: the first this many bytes are searched.
inline constexpr std::size_t kMaxPageReply = 256 * 1024;

class ReplyGatherer {
 public:
  explicit ReplyGatherer(std::size_t limit = kMaxJudgeReply) : limit_(limit) {}
  // Takes what arrived; false once the reply is complete (all of its
  // Content-Length, its last chunk, or the limit), so that nothing more is needed.
  bool Add(std::string_view bytes);
  const std::string& Text() const { return text_; }
  // The limit was reached: the reply may go on beyond what was kept.
  bool Full() const { return text_.size() >= limit_; }
  void Clear() { text_.clear(); }

 private:
  std::size_t limit_;
  std::string text_;
};

// The status code of an HTTP response's status line, once the line is in;
// nothing for bytes that do not begin as an HTTP response.
std::optional<int> ResponseStatus(std::string_view reply);
// An HTTP response's body, dechunked when chunked; bytes that are not an
// HTTP response are taken as a body alone.
std::string ResponseBody(std::string_view reply);

// The items of a judge's reply, in the order it printed them.
struct JudgeReply {
  std::vector<std::pair<std::string, std::string>> items;

  const std::string* Find(std::string_view name) const;
  // REMOTE_ADDR, or empty when the judge printed none.
  std::string RemoteAddr() const;
};

// The NAME = value lines of a reply: a whole HTTP response (its body is read,
// chunked or not) or a body alone. HTML tags around the lines are ignored.
JudgeReply ParseJudgeReply(std::string_view reply);

// What the judge saw through a proxy, the user's own addresses being `own`
// (REMOTE_ADDR of each judge asked directly). Unknown without a REMOTE_ADDR.
Anonymity Classify(const JudgeReply& reply, const std::vector<std::string>& own);

}  // namespace mivo::verify
