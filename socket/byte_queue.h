// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mivo {

// A FIFO of bytes kept as the chunks that were appended; taking from the
// front costs only what is taken, however much has passed through.
class ByteQueue {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  void Append(const std::uint8_t* data, std::size_t n);
  void Append(std::vector<std::uint8_t>&& chunk);
  // Copies up to `n` bytes from the front into `out` without removing them.
  std::size_t Peek(std::uint8_t* out, std::size_t n) const;
  // Removes up to `n` bytes from the front.
  void Drop(std::size_t n);
  // Copies and removes up to `n` bytes from the front.
  std::vector<std::uint8_t> Take(std::size_t n);
  // The longest contiguous run at the front (for handing to send without a copy).
  const std::uint8_t* FrontRun(std::size_t& length) const;
  // Empties the queue and gives back all its storage.
  void Clear();

 private:
  // chunks[first] is the front chunk; spent chunks before it are dropped
  // in one move once they make up half the vector.
  struct Store {
    std::vector<std::vector<std::uint8_t>> chunks;
    std::size_t first = 0;
    std::size_t head = 0;  // bytes already taken from chunks[first]
    // Storage of a chunk that has gone out, kept for the next copy in: a
    // stream through the queue then reuses memory instead of touching fresh pages.
    std::vector<std::uint8_t> spare;
  };
  // Made by the first append: a queue that never holds a byte (as most of
  // a walk's many controls) costs two words.
  std::unique_ptr<Store> store_;
  std::size_t size_ = 0;
};

}  // namespace mivo
