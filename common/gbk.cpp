// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "gbk.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace mivo {
namespace {

// One iconv descriptor per direction and thread; opened on first use.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1))
      throw std::runtime_error(std::string("iconv_open failed: ") + from + " -> " + to);
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts `in`; on an unconvertible or malformed sequence it appends
  // `replacement` and skips `skip(in)` input bytes.
  template <typename Skip>
  std::string Run(std::string_view in, std::string_view replacement, Skip skip) {
    std::string out;
    out.reserve(in.size() + in.size() / 2 + 4);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    char buf[4096];
    while (left > 0) {
      char* dst = buf;
      std::size_t room = sizeof buf;
      std::size_t r = iconv(cd_, &src, &left, &dst, &room);
      out.append(buf, static_cast<std::size_t>(dst - buf));
      if (r != static_cast<std::size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      if (errno == EINVAL) break;  // incomplete sequence at the end: dropped
      // EILSEQ
      out.append(replacement);
      std::size_t n = skip(std::string_view(src, left));
      src += n;
      left -= n;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

std::size_t Utf8SeqLength(std::string_view s) {
  auto c = static_cast<unsigned char>(s[0]);
  std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
  if (n > s.size()) return 1;
  for (std::size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace

std::string ToGbk(std::string_view utf8) {
  thread_local Converter conv("CP936", "UTF-8");
  return conv.Run(utf8, "?", Utf8SeqLength);
}

std::string FromGbk(std::string_view gbk) {
  thread_local Converter conv("UTF-8", "CP936");
  return conv.Run(gbk, "\xEF\xBF\xBD", [](std::string_view) -> std::size_t { return 1; });
}

std::size_t GbkLength(std::string_view utf8) { return ToGbk(utf8).size(); }

std::size_t Utf8Length(std::string_view utf8) {
  // Every byte but a continuation byte (10xxxxxx) starts a character; count
  // continuation bytes eight at a time.
  constexpr std::uint64_t kLowBits = 0x0101010101010101ULL;
  std::size_t continuation = 0;
  std::size_t i = 0;
  for (; i + 8 <= utf8.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, utf8.data() + i, 8);
    const std::uint64_t flags = (word >> 7) & ~(word >> 6) & kLowBits;  // 1 in each continuation byte
    continuation += static_cast<std::size_t>((flags * kLowBits) >> 56);
  }
  for (; i < utf8.size(); ++i) continuation += (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80;
  return utf8.size() - continuation;
}

}  // namespace mivo
