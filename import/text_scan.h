// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Proxies anywhere in any text: one pass over the bytes that stops only at
// digits and '['.
namespace mivo::importer {

enum class Scheme : std::uint8_t { None, Http, Https, Socks4, Socks4a, Socks5, Socks5h };

// "http", ..., "socks5h"; "" for None.
const char* SchemeName(Scheme scheme);
// The type cell a row of this scheme gets: "HTTP", ..., "SOCKS5H"; "" for None.
const char* TypeCell(Scheme scheme);
// A scheme name in any case, or nothing.
std::optional<Scheme> SchemeFromName(std::string_view name);

// One proxy as the text gives it. The views point into the scanned text.
struct Found {
  std::uint32_t address = 0;  // host order
  std::uint32_t port = 0;     // as written: may be 0 or above 65535
  Scheme scheme = Scheme::None;
  bool credentials = false;
  std::string_view user, password;
  bool urlEncoded = false;  // user and password come from a URL: %XX escapes
  std::string_view country;
  bool ipv6 = false;  // an IPv6 entry: only counted
};

// What an entry takes when its text does not say (a JSON object's fields
// around a "host:port" value).
struct Defaults {
  Scheme scheme = Scheme::None;
  bool credentials = false;
  std::string_view user, password, country;
};

class FoundSink {
 public:
  virtual void Take(const Found& found) = 0;

 protected:
  ~FoundSink() = default;
};

// Every entry of `text`, in order:
//   scheme://[user:pass@]host:port   (a password may hold '@' and ':')
//   user:pass@host:port, host:port:user:pass, host:port
//   host port, host<TAB>port, <td>host</td><td>port</td>, "host": .. "port": ..
//   [IPv6]:port and scheme://[IPv6]:port (counted, skipped)
// A scheme word after the port ("1.2.3.4 8080 socks5") gives the type.
// Lines may end in LF, CR LF or CR. Only entries that start before
// `startLimit` are taken; the text after it is what they may reach into.
// Returns where a scan of what follows resumes: at or after `startLimit`.
std::size_t ScanText(std::string_view text, const Defaults& defaults, FoundSink& sink,
                     std::size_t startLimit = std::string_view::npos);

// A text that is one dotted IPv4 address and nothing else, as a number.
std::optional<std::uint32_t> Ipv4Of(std::string_view text);

// The first entry of a short text such as one line of input, with its text
// unescaped, or nothing.
struct Proxy {
  std::uint32_t address = 0;
  std::uint32_t port = 0;
  Scheme scheme = Scheme::None;
  bool credentials = false;
  std::string user, password;
};
std::optional<Proxy> FirstProxy(std::string_view text);

// Percent escapes of a URL's user name or password decoded; a '%' not
// followed by two hex digits stays as it is.
std::string PercentDecoded(std::string_view text);
// The other way, for writing a proxy URL: everything but unreserved bytes.
std::string PercentEncoded(std::string_view text);

}  // namespace mivo::importer
