// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "text_scan.h"

#include <array>

#include "common/text.h"

namespace mivo::importer {
namespace {

struct SchemeInfo {
  Scheme scheme;
  const char* name;
  const char* cell;
};
constexpr SchemeInfo kSchemes[] = {
    {Scheme::Http, "http", "HTTP"},       {Scheme::Https, "https", "HTTPS"},
    {Scheme::Socks4, "socks4", "SOCKS4"}, {Scheme::Socks4a, "socks4a", "SOCKS4A"},
    {Scheme::Socks5, "socks5", "SOCKS5"}, {Scheme::Socks5h, "socks5h", "SOCKS5H"},
};

constexpr bool IsDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
constexpr bool IsAlnum(char c) { return IsDigit(c) || static_cast<unsigned char>((c | 0x20) - 'a') < 26; }
constexpr bool IsHex(char c) { return IsDigit(c) || static_cast<unsigned char>((c | 0x20) - 'a') < 6; }

// Bytes where an entry may start: the only ones the outer loop stops at.
constexpr std::array<bool, 256> kStart = [] {
  std::array<bool, 256> t{};
  for (char c = '0'; c <= '9'; ++c) t[static_cast<unsigned char>(c)] = true;
  t['['] = true;
  return t;
}();

// Bytes that end a credential or URL token written in text.
constexpr bool IsTokenEdge(char c) {
  return static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '\'' || c == '<' || c == '>' || c == '`';
}

// The longest run of filler between an address and its port or type.
constexpr std::size_t kFillerLimit = 256;
// How far back the user name and scheme of an entry are looked for.
constexpr std::size_t kPrefixLimit = 512;

class Scanner {
 public:
  Scanner(std::string_view s, const Defaults& d, FoundSink& sink) : s_(s), n_(s.size()), d_(d), sink_(sink) {}

  std::size_t Run(std::size_t limit) {
    limit = std::min(limit, n_);
    std::size_t i = 0;
    while (i < limit) {
      while (i < limit && !kStart[static_cast<unsigned char>(s_[i])]) ++i;
      if (i == limit) break;
      i = s_[i] == '[' ? Ipv6At(i) : EntryAt(i);
    }
    return i;
  }

  std::optional<std::uint32_t> WholeAddress() const {
    std::uint32_t address = 0;
    if (n_ == 0 || Ipv4At(0, address) != n_) return std::nullopt;
    return address;
  }

 private:
  std::size_t SkipNumberRun(std::size_t j) const {
    while (j < n_ && (IsDigit(s_[j]) || s_[j] == '.')) ++j;
    return j;
  }

  // A dotted quad at i; its end, or 0 when there is none.
  std::size_t Ipv4At(std::size_t j, std::uint32_t& address) const {
    std::uint32_t a = 0;
    for (int part = 0; part < 4; ++part) {
      if (part > 0) {
        if (j >= n_ || s_[j] != '.') return 0;
        ++j;
      }
      std::uint32_t v = 0;
      int digits = 0;
      while (j < n_ && IsDigit(s_[j]) && digits < 4) {
        v = v * 10 + static_cast<std::uint32_t>(s_[j] - '0');
        ++j;
        ++digits;
      }
      if (digits == 0 || digits > 3 || v > 255) return 0;
      a = a << 8 | v;
    }
    // "1.2.3.4.5" is a version number, not an address.
    if (j < n_ && s_[j] == '.' && j + 1 < n_ && IsDigit(s_[j + 1])) return 0;
    address = a;
    return j;
  }

  // A port of 1 to 7 digits at j, not run into more digits or a dot and digit.
  std::size_t PortAt(std::size_t j, std::uint32_t& port) const {
    std::uint32_t v = 0;
    std::size_t k = j;
    while (k < n_ && IsDigit(s_[k]) && k - j < 8) v = v * 10 + static_cast<std::uint32_t>(s_[k++] - '0');
    if (k == j || k - j > 7) return 0;
    if (k < n_ && s_[k] == '.' && k + 1 < n_ && IsDigit(s_[k + 1])) return 0;
    port = v;
    return k;
  }

  bool WordAt(std::size_t j, std::string_view word) const {
    if (n_ - j < word.size()) return false;
    for (std::size_t k = 0; k < word.size(); ++k)
      if (AsciiLower(s_[j + k]) != word[k]) return false;
    return j + word.size() == n_ || !IsAlnum(s_[j + word.size()]);
  }

  // Past what may stand between an address and its port, or a port and its
  // type: blanks, quotes and separators, markup, and the word "port". Line
  // ends only inside markup, where table cells often sit on lines of their own.
  std::size_t SkipFiller(std::size_t j, bool portWord) const {
    const std::size_t limit = std::min(n_, j + kFillerLimit);
    bool markup = false;
    while (j < limit) {
      switch (s_[j]) {
        case ' ':
        case '\t':
        case '"':
        case '\'':
        case ',':
        case ';':
        case '=':
        case '|':
        case ':': ++j; continue;
        case '\r':
        case '\n':
          if (!markup) return j;
          ++j;
          continue;
        case '<': {
          const std::size_t close = s_.find('>', j);
          if (close == std::string_view::npos || close >= limit) return j;
          j = close + 1;
          markup = true;
          continue;
        }
        default:
          if (portWord && WordAt(j, "port")) {
            j += 4;
            continue;
          }
          return j;
      }
    }
    return j;
  }

  // The alphanumeric word ending at `end`.
  std::string_view WordBefore(std::size_t end) const {
    std::size_t k = end;
    while (k > 0 && IsAlnum(s_[k - 1])) --k;
    return s_.substr(k, end - k);
  }

  // What precedes the address at i: "scheme://", "user:pass@" or both. False
  // for a URL of a scheme that is no proxy's.
  bool Prefix(std::size_t i, Found& f) const {
    if (i > 0 && s_[i - 1] == '@') {
      const std::size_t lo = i - 1 > kPrefixLimit ? i - 1 - kPrefixLimit : 0;
      std::size_t t = i - 1;
      while (t > lo && !IsTokenEdge(s_[t - 1])) --t;
      std::string_view token = s_.substr(t, i - 1 - t);
      if (const std::size_t sep = token.find("://"); sep != std::string_view::npos) {
        const std::optional<Scheme> scheme = SchemeFromName(WordBefore(t + sep));
        if (!scheme) return false;
        f.scheme = *scheme;
        f.urlEncoded = true;
        token.remove_prefix(sep + 3);
      }
      const std::size_t colon = token.find(':');
      f.user = token.substr(0, colon);
      f.password = colon == std::string_view::npos ? std::string_view() : token.substr(colon + 1);
      f.credentials = !f.user.empty();
      return true;
    }
    if (i >= 3 && s_.substr(i - 3, 3) == "://") {
      const std::optional<Scheme> scheme = SchemeFromName(WordBefore(i - 3));
      if (!scheme) return false;
      f.scheme = *scheme;
    }
    return true;
  }

  // ":user:pass" after the port at q; the end of the entry.
  std::size_t Suffix(std::size_t q, Found& f) const {
    if (q >= n_ || s_[q] != ':' || f.credentials) return q;
    std::size_t u = q + 1;
    while (u < n_ && s_[u] != ':' && !IsTokenEdge(s_[u])) ++u;
    if (u == q + 1 || u >= n_ || s_[u] != ':') return q;
    std::size_t p = u + 1;
    while (p < n_ && !IsTokenEdge(s_[p])) ++p;
    f.user = s_.substr(q + 1, u - q - 1);
    f.password = s_.substr(u + 1, p - u - 1);
    f.credentials = true;
    return p;
  }

  std::size_t EntryAt(std::size_t i) {
    if (i > 0 && (IsDigit(s_[i - 1]) || s_[i - 1] == '.')) return SkipNumberRun(i);
    Found f;
    const std::size_t e = Ipv4At(i, f.address);
    if (e == 0) return SkipNumberRun(i);
    std::size_t q = 0;
    if (e + 1 < n_ && s_[e] == ':' && IsDigit(s_[e + 1]))
      q = PortAt(e + 1, f.port);
    else if (const std::size_t j = SkipFiller(e, true); j < n_ && IsDigit(s_[j]))
      q = PortAt(j, f.port);
    if (q == 0 || !Prefix(i, f)) return e;
    q = Suffix(q, f);
    if (f.scheme == Scheme::None) {
      const std::size_t w = SkipFiller(q, false);
      std::size_t k = w;
      while (k < n_ && IsAlnum(s_[k]) && k - w < 8) ++k;
      if (k > w && (k == n_ || !IsAlnum(s_[k])))
        if (const std::optional<Scheme> scheme = SchemeFromName(s_.substr(w, k - w))) f.scheme = *scheme;
    }
    Complete(f);
    return q;
  }

  // "[v6]:port", alone or in a URL: counted, not kept.
  std::size_t Ipv6At(std::size_t i) {
    std::size_t j = i + 1;
    int colons = 0;
    while (j < n_ && j - i <= 46 && (IsHex(s_[j]) || s_[j] == ':' || s_[j] == '.')) colons += s_[j++] == ':';
    std::uint32_t port = 0;
    if (colons < 2 || j + 1 >= n_ || s_[j] != ']' || s_[j + 1] != ':' || PortAt(j + 2, port) == 0) return i + 1;
    Found f;
    f.ipv6 = true;
    f.port = port;
    sink_.Take(f);
    return PortAt(j + 2, port);
  }

  void Complete(Found& f) {
    if (f.scheme == Scheme::None) f.scheme = d_.scheme;
    if (!f.credentials && d_.credentials) {
      f.credentials = true;
      f.user = d_.user;
      f.password = d_.password;
      f.urlEncoded = false;
    }
    f.country = d_.country;
    sink_.Take(f);
  }

  std::string_view s_;
  std::size_t n_;
  const Defaults& d_;
  FoundSink& sink_;
};

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;
}

}  // namespace

const char* SchemeName(Scheme scheme) {
  for (const SchemeInfo& s : kSchemes)
    if (s.scheme == scheme) return s.name;
  return "";
}

const char* TypeCell(Scheme scheme) {
  for (const SchemeInfo& s : kSchemes)
    if (s.scheme == scheme) return s.cell;
  return "";
}

std::optional<Scheme> SchemeFromName(std::string_view name) {
  if (name.size() > 7) return std::nullopt;
  const std::string lower = AsciiLower(name);
  for (const SchemeInfo& s : kSchemes)
    if (lower == s.name) return s.scheme;
  return std::nullopt;
}

std::size_t ScanText(std::string_view text, const Defaults& defaults, FoundSink& sink, std::size_t startLimit) {
  return Scanner(text, defaults, sink).Run(startLimit);
}

std::optional<std::uint32_t> Ipv4Of(std::string_view text) {
  struct None final : FoundSink {
    void Take(const Found&) override {}
  } none;
  return Scanner(text, {}, none).WholeAddress();
}

std::optional<Proxy> FirstProxy(std::string_view text) {
  struct First final : FoundSink {
    std::optional<Proxy> proxy;
    void Take(const Found& f) override {
      if (proxy || f.ipv6) return;
      proxy = Proxy{f.address, f.port, f.scheme, f.credentials, std::string(f.user), std::string(f.password)};
      if (f.urlEncoded) {
        proxy->user = PercentDecoded(f.user);
        proxy->password = PercentDecoded(f.password);
      }
    }
  } first;
  ScanText(text, {}, first);
  return first.proxy;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && IsHex(text[i + 1]) && IsHex(text[i + 2])) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string PercentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      const auto u = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

}  // namespace mivo::importer
