// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "byte_queue.h"

#include <algorithm>
#include <cstring>

namespace mivo {

namespace {
constexpr std::size_t kLargestSpare = 4u << 20;
}  // namespace

void ByteQueue::Append(const std::uint8_t* data, std::size_t n) {
  if (n == 0) return;
  if (spare_.capacity() >= n) {
    spare_.assign(data, data + n);
    chunks_.push_back(std::move(spare_));
    spare_ = {};
  } else {
    chunks_.emplace_back(data, data + n);
  }
  size_ += n;
}

void ByteQueue::Append(std::vector<std::uint8_t>&& chunk) {
  if (chunk.empty()) return;
  size_ += chunk.size();
  chunks_.push_back(std::move(chunk));
}

std::size_t ByteQueue::Peek(std::uint8_t* out, std::size_t n) const {
  std::size_t copied = 0;
  std::size_t skip = head_;
  for (std::size_t i = first_; i < chunks_.size() && copied < n; ++i) {
    const auto& c = chunks_[i];
    const std::size_t k = std::min(c.size() - skip, n - copied);
    std::memcpy(out + copied, c.data() + skip, k);
    copied += k;
    skip = 0;
  }
  return copied;
}

void ByteQueue::Drop(std::size_t n) {
  n = std::min(n, size_);
  size_ -= n;
  while (n > 0) {
    auto& c = chunks_[first_];
    const std::size_t left = c.size() - head_;
    if (n < left) {
      head_ += n;
      return;
    }
    n -= left;
    if (c.capacity() > spare_.capacity() && c.capacity() <= kLargestSpare) spare_.swap(c);
    std::vector<std::uint8_t>().swap(c);
    ++first_;
    head_ = 0;
  }
  if (first_ == chunks_.size()) {
    chunks_.clear();
    first_ = 0;
  } else if (first_ * 2 >= chunks_.size()) {
    chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(first_));
    first_ = 0;
  }
}

std::vector<std::uint8_t> ByteQueue::Take(std::size_t n) {
  n = std::min(n, size_);
  std::vector<std::uint8_t> out;
  // Taking exactly the whole front chunk hands it over without a copy.
  if (head_ == 0 && first_ < chunks_.size() && chunks_[first_].size() == n) {
    out.swap(chunks_[first_]);
    chunks_[first_].clear();
    size_ -= n;
    ++first_;
    Drop(0);
    return out;
  }
  out.resize(n);
  Peek(out.data(), n);
  Drop(n);
  return out;
}

const std::uint8_t* ByteQueue::FrontRun(std::size_t& length) const {
  if (size_ == 0) {
    length = 0;
    return nullptr;
  }
  const auto& c = chunks_[first_];
  length = c.size() - head_;
  return c.data() + head_;
}

void ByteQueue::Clear() {
  std::vector<std::vector<std::uint8_t>>().swap(chunks_);
  std::vector<std::uint8_t>().swap(spare_);
  first_ = 0;
  head_ = 0;
  size_ = 0;
}

}  // namespace mivo
