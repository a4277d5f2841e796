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
  if (!store_) store_ = std::make_unique<Store>();
  Store& q = *store_;
  if (q.spare.capacity() >= n) {
    q.spare.assign(data, data + n);
    q.chunks.push_back(std::move(q.spare));
    q.spare = {};
  } else {
    q.chunks.emplace_back(data, data + n);
  }
  size_ += n;
}

void ByteQueue::Append(std::vector<std::uint8_t>&& chunk) {
  if (chunk.empty()) return;
  if (!store_) store_ = std::make_unique<Store>();
  size_ += chunk.size();
  store_->chunks.push_back(std::move(chunk));
}

std::size_t ByteQueue::Peek(std::uint8_t* out, std::size_t n) const {
  if (size_ == 0) return 0;
  const Store& q = *store_;
  std::size_t copied = 0;
  std::size_t skip = q.head;
  for (std::size_t i = q.first; i < q.chunks.size() && copied < n; ++i) {
    const auto& c = q.chunks[i];
    const std::size_t k = std::min(c.size() - skip, n - copied);
    std::memcpy(out + copied, c.data() + skip, k);
    copied += k;
    skip = 0;
  }
  return copied;
}

void ByteQueue::Drop(std::size_t n) {
  if (!store_) return;
  Store& q = *store_;
  n = std::min(n, size_);
  size_ -= n;
  while (n > 0) {
    auto& c = q.chunks[q.first];
    const std::size_t left = c.size() - q.head;
    if (n < left) {
      q.head += n;
      return;
    }
    n -= left;
    if (c.capacity() > q.spare.capacity() && c.capacity() <= kLargestSpare) q.spare.swap(c);
    std::vector<std::uint8_t>().swap(c);
    ++q.first;
    q.head = 0;
  }
  if (q.first == q.chunks.size()) {
    q.chunks.clear();
    q.first = 0;
  } else if (q.first * 2 >= q.chunks.size()) {
    q.chunks.erase(q.chunks.begin(), q.chunks.begin() + static_cast<std::ptrdiff_t>(q.first));
    q.first = 0;
  }
}

std::vector<std::uint8_t> ByteQueue::Take(std::size_t n) {
  n = std::min(n, size_);
  std::vector<std::uint8_t> out;
  if (n == 0) return out;
  Store& q = *store_;
  // Taking exactly the whole front chunk hands it over without a copy.
  if (q.head == 0 && q.chunks[q.first].size() == n) {
    out.swap(q.chunks[q.first]);
    q.chunks[q.first].clear();
    size_ -= n;
    ++q.first;
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
  const Store& q = *store_;
  const auto& c = q.chunks[q.first];
  length = c.size() - q.head;
  return c.data() + q.head;
}

void ByteQueue::Clear() {
  store_.reset();
  size_ = 0;
}

}  // namespace mivo
