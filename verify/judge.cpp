// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "judge.h"

#include <QUrl>

#include <array>
#include <charconv>

#include "common/text.h"

namespace mivo::verify {
namespace {

// Headers that say a proxy handled the request (judge names, without HTTP_).
constexpr std::array<std::string_view, 20> kProxyHeaders{
    "VIA",
    "X_FORWARDED_FOR",
    "X_FORWARDED",
    "FORWARDED_FOR",
    "FORWARDED",
    "X_REAL_IP",
    "CLIENT_IP",
    "X_CLIENT_IP",
    "X_CLUSTER_CLIENT_IP",
    "X_ORIGINATING_IP",
    "PROXY_CONNECTION",
    "X_PROXY_CONNECTION",
    "XROXY_CONNECTION",
    "X_PROXY_ID",
    "X_BLUECOAT_VIA",
    "X_TINYPROXY",
    "X_FORWARDED_HOST",
    "X_FORWARDED_SERVER",
    "X_FORWARDED_PROTO",
    "PROXY_AGENT",
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiLower(text.substr(0, prefix.size())) == AsciiLower(prefix);
}

std::string_view TrimBlanks(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The value of header `name` in an HTTP head, or nothing.
std::optional<std::string_view> HeaderValue(std::string_view head, std::string_view name) {
  for (std::string_view line : Split(head, "\r\n")) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (AsciiLower(TrimBlanks(line.substr(0, colon))) == name) return TrimBlanks(line.substr(colon + 1));
  }
  return std::nullopt;
}

// The body of a chunked reply, as far as it came and as far as it is well formed.
std::string Dechunk(std::string_view s) {
  std::string out;
  for (;;) {
    const std::size_t eol = s.find("\r\n");
    if (eol == std::string_view::npos) break;
    std::string_view sizeText = s.substr(0, eol);
    sizeText = TrimBlanks(sizeText.substr(0, sizeText.find(';')));
    std::size_t size = 0;
    const auto [end, ec] = std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size, 16);
    if (sizeText.empty() || sizeText.size() > 8 || ec != std::errc() || end != sizeText.data() + sizeText.size()) break;
    s.remove_prefix(eol + 2);
    if (size == 0) break;
    out.append(s.substr(0, size));
    if (size >= s.size()) break;
    s.remove_prefix(size);
    if (s.substr(0, 2) == "\r\n") s.remove_prefix(2);
  }
  return out;
}

// The line with every <...> tag taken out.
std::string WithoutTags(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  bool inTag = false;
  for (char c : line) {
    if (c == '<')
      inTag = true;
    else if (c == '>' && inTag)
      inTag = false;
    else if (!inTag)
      out += c;
  }
  return out;
}

bool IsItemName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

// An IPv4 address the judge may print in IPv6 form.
std::string_view Plain(std::string_view address) {
  if (StartsWithNoCase(address, "::ffff:") && address.find('.') != std::string_view::npos) address.remove_prefix(7);
  return address;
}

bool SameAddress(std::string_view a, std::string_view b) {
  return !a.empty() && AsciiLower(Plain(a)) == AsciiLower(Plain(b));
}

bool IsAddressChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
}

// Whether `own` is one of the addresses written in a header value
// ("127.0.0.1, 127.0.0.9", "for=127.0.0.1:4711"); a longer address that
// merely begins with it (127.0.0.10) is not.
bool Mentions(std::string_view value, std::string_view own) {
  std::size_t i = 0;
  while (i < value.size()) {
    if (!IsAddressChar(value[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < value.size() && IsAddressChar(value[j])) ++j;
    const std::string_view token = value.substr(i, j - i);
    if (SameAddress(token, own)) return true;
    const std::size_t colon = token.find(':');
    if (colon != std::string_view::npos && token.find(':', colon + 1) == std::string_view::npos &&
        SameAddress(token.substr(0, colon), own))
      return true;
    i = j;
  }
  return false;
}

bool IsProxyHeader(std::string_view name) {
  for (std::string_view h : kProxyHeaders)
    if (name == h) return true;
  return false;
}

int DefaultPort(bool https) { return https ? 443 : 80; }

// The port written after the host, when it is a number: QUrl says only that
// such a URL is invalid.
std::optional<long long> WrittenPort(std::string_view text) {
  const std::size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return std::nullopt;
  std::string_view authority = text.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  authority = authority.substr(authority.rfind('@') == std::string_view::npos ? 0 : authority.rfind('@') + 1);
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos || authority.find(']', colon) != std::string_view::npos) return std::nullopt;
  const std::string_view digits = authority.substr(colon + 1);
  long long port = 0;
  if (digits.empty() || digits.size() > 12) return std::nullopt;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return port;
}

}  // namespace

const char* AnonymityText(Anonymity a) {
  switch (a) {
    case Anonymity::Transparent: return "transparent";
    case Anonymity::Anonymous: return "anonymous";
    case Anonymity::Elite: return "elite";
    case Anonymity::Unknown: break;
  }
  return "-";
}

std::string JudgeUrl::Authority() const {
  return port == DefaultPort(https) ? host : host + ":" + std::to_string(port);
}

std::string JudgeUrl::Text() const { return (https ? "https://" : "http://") + Authority() + path; }

std::optional<JudgeUrl> ParseJudgeUrl(std::string_view text, std::string& error, std::string_view what) {
  const QUrl url(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), QUrl::StrictMode);
  const std::string shown(text);
  const std::string name(what);
  const std::optional<long long> written = WrittenPort(text);
  if (written && (*written < 1 || *written > 65535)) {
    error = "the port of " + name + " is out of range (1 to 65535): " + shown;
    return std::nullopt;
  }
  if (!url.isValid() || url.isRelative() || url.host().isEmpty()) {
    error = name + " is not an address: " + shown;
    return std::nullopt;
  }
  JudgeUrl judge;
  judge.https = url.scheme() == QLatin1String("https");
  if (!judge.https && url.scheme() != QLatin1String("http")) {
    error = name + " must be an http:// or https:// address: " + shown;
    return std::nullopt;
  }
  if (!url.userInfo().isEmpty()) {
    error = name + "'s address carries a user name; --user and --password are for the proxies: " + shown;
    return std::nullopt;
  }
  judge.host = url.host(QUrl::FullyEncoded).toStdString();
  if (judge.host.find(':') != std::string::npos) {
    error = name + " must have an IPv4 address or a host name, not an IPv6 address: " + shown;
    return std::nullopt;
  }
  judge.port = url.port(DefaultPort(judge.https));
  std::string path = url.path(QUrl::FullyEncoded).toStdString();
  if (path.empty()) path.push_back('/');
  if (url.hasQuery()) {
    path.push_back('?');
    path += url.query(QUrl::FullyEncoded).toStdString();
  }
  judge.path = std::move(path);
  return judge;
}

std::string JudgeRequest(const JudgeUrl& judge, bool absolute, const std::string& basic) {
  const std::string authority = judge.Authority();
  std::string request = "GET " + (absolute ? judge.Text() : judge.path) + " HTTP/1.1\r\n";
  request += "Host: " + authority + "\r\n";
  if (absolute && !basic.empty()) request += "Proxy-Authorization: Basic " + basic + "\r\n";
  return request + "Connection: close\r\n\r\n";
}

bool ReplyGatherer::Add(std::string_view bytes) {
  text_.append(bytes.substr(0, limit_ - std::min(text_.size(), limit_)));
  if (text_.size() >= limit_) return false;
  const std::size_t headEnd = text_.find("\r\n\r\n");
  if (!StartsWithNoCase(text_, "HTTP/") || headEnd == std::string::npos) return true;
  const std::string_view head = std::string_view(text_).substr(0, headEnd);
  const std::optional<std::string_view> coding = HeaderValue(head, "transfer-encoding");
  if (coding && AsciiLower(*coding).find("chunked") != std::string::npos) {
    const std::string_view body = std::string_view(text_).substr(headEnd + 4);
    return !(body.starts_with("0\r\n\r\n") || body.ends_with("\r\n0\r\n\r\n"));
  }
  const std::optional<std::string_view> length = HeaderValue(head, "content-length");
  std::size_t expected = 0;
  if (!length || std::from_chars(length->data(), length->data() + length->size(), expected).ec != std::errc())
    return true;
  return text_.size() - headEnd - 4 < expected;
}

std::optional<int> ResponseStatus(std::string_view reply) {
  const std::size_t eol = reply.find('\n');
  if (!StartsWithNoCase(reply, "HTTP/") || eol == std::string_view::npos) return std::nullopt;
  const std::string_view line = reply.substr(0, eol);
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view code = TrimBlanks(line.substr(space + 1)).substr(0, 3);
  int status = 0;
  const auto [end, ec] = std::from_chars(code.data(), code.data() + code.size(), status);
  if (ec != std::errc() || end != code.data() + code.size() || code.size() != 3) return std::nullopt;
  return status;
}

std::string ResponseBody(std::string_view reply) {
  if (!StartsWithNoCase(reply, "HTTP/")) return std::string(reply);
  const std::size_t headEnd = reply.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return {};
  const std::optional<std::string_view> coding = HeaderValue(reply.substr(0, headEnd), "transfer-encoding");
  const std::string_view body = reply.substr(headEnd + 4);
  if (coding && AsciiLower(*coding).find("chunked") != std::string::npos) return Dechunk(body);
  return std::string(body);
}

const std::string* JudgeReply::Find(std::string_view name) const {
  for (const auto& [n, value] : items)
    if (n == name) return &value;
  return nullptr;
}

std::string JudgeReply::RemoteAddr() const {
  const std::string* value = Find("REMOTE_ADDR");
  return value ? *value : std::string();
}

JudgeReply ParseJudgeReply(std::string_view reply) {
  const std::string text = ResponseBody(reply);
  JudgeReply out;
  for (std::string_view raw : Split(text, "\n")) {
    const std::string line = WithoutTags(raw);
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string_view name = TrimBlanks(std::string_view(line).substr(0, eq));
    if (!IsItemName(name)) continue;
    std::string upper(name);
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out.items.emplace_back(std::move(upper), std::string(TrimBlanks(std::string_view(line).substr(eq + 1))));
  }
  return out;
}

Anonymity Classify(const JudgeReply& reply, const std::vector<std::string>& own) {
  const std::string remote = reply.RemoteAddr();
  if (remote.empty()) return Anonymity::Unknown;
  for (const std::string& mine : own)
    if (SameAddress(remote, mine)) return Anonymity::Transparent;
  bool proxyHeaders = false;
  for (const auto& [name, value] : reply.items) {
    constexpr std::string_view kHeader = "HTTP_";
    // Host names the judge itself, which may well share the user's address.
    if (!name.starts_with(kHeader) || name == "HTTP_HOST") continue;
    for (const std::string& mine : own)
      if (!mine.empty() && Mentions(value, mine)) return Anonymity::Transparent;
    if (IsProxyHeader(std::string_view(name).substr(kHeader.size()))) proxyHeaders = true;
  }
  return proxyHeaders ? Anonymity::Anonymous : Anonymity::Elite;
}

}  // namespace mivo::verify
