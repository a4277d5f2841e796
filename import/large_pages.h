// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace mivo::importer {

// Blocks of 2 MiB and more in the kernel's large pages where it has them: a
// million rows in 4 KiB pages cost more page faults than reading them.
template <typename T>
struct LargePageAllocator {
  using value_type = T;
  static constexpr std::size_t kLargePage = 2u << 20;

  LargePageAllocator() = default;
  template <typename U>
  LargePageAllocator(const LargePageAllocator<U>&) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargePage) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    void* p = std::aligned_alloc(kLargePage, rounded);
    if (!p) throw std::bad_alloc();
    ::madvise(p, rounded, MADV_HUGEPAGE);  // only advice: without it, small pages
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < kLargePage)
      ::operator delete(p);
    else
      std::free(p);
  }
  template <typename U>
  bool operator==(const LargePageAllocator<U>&) const {
    return true;
  }
};

}  // namespace mivo::importer
