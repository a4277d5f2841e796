// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "fdlimit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>

namespace mivo {
namespace {

// Descriptors open in this process, the listing's own included.
std::size_t OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return 0;
  std::size_t n = 0;
  while (const dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n;
}

}  // namespace

long RaiseOpenFileLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  if (lim.rlim_cur < lim.rlim_max) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  return lim.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(lim.rlim_cur);
}

std::size_t SocketAllowance() {
  // Without a readable limit, no more than the kernel's usual ceiling.
  constexpr std::size_t kCeiling = 1u << 20;
  rlimit lim{};
  std::size_t limit = kCeiling;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    limit = std::min<std::size_t>(lim.rlim_cur, kCeiling);
  const std::size_t used = OpenDescriptors() + kDescriptorReserve;
  return limit > used ? limit - used : 1;
}

}  // namespace mivo
