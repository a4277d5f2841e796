// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace mivo::fuzz {

// Reads a fuzz input front to back, so that seeds can be written by hand:
// a choice is one byte, a string is a length byte and that many bytes.
// Past the end every read gives zeros and empty strings.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}

  bool empty() const { return left_ == 0; }

  std::uint8_t Byte() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  bool Bool() { return (Byte() & 1) != 0; }
  // 0..n-1.
  int Below(int n) { return Byte() % n; }
  template <typename T>
  T Raw() {
    std::uint8_t b[sizeof(T)] = {};
    for (std::uint8_t& x : b) x = Byte();
    T v;
    std::memcpy(&v, b, sizeof v);
    return v;
  }
  // A length byte (cut to `most`), then the bytes.
  std::string String(std::size_t most = 255) {
    std::size_t n = Byte();
    if (n > most) n = most;
    if (n > left_) n = left_;
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return s;
  }

  // Everything not read yet.
  std::string Rest() {
    std::string s(reinterpret_cast<const char*>(p_), left_);
    p_ += left_;
    left_ = 0;
    return s;
  }

 private:
  const std::uint8_t* p_;
  std::size_t left_;
};

}  // namespace mivo::fuzz
