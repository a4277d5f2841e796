// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace mivo::test {

// Runs `body` on a thread of its own inside a fresh network namespace that
// has only its loopback interface (up), with the given ipv4 settings, e.g.
// {"ping_group_range", "0 0"}. The namespace goes away with the thread, so
// nothing of the host's network is touched. Returns false, without running
// `body`, when the namespace cannot be made (needs root or CAP_SYS_ADMIN).
inline bool RunInOwnNetwork(const std::vector<std::pair<std::string, std::string>>& ipv4Settings,
                            const std::function<void()>& body) {
  bool ran = false;
  std::thread t([&] {
    if (unshare(CLONE_NEWNET) != 0) return;
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
    close(s);
    if (!up) return;
    for (const auto& [name, value] : ipv4Settings) {
      std::ofstream f("/proc/sys/net/ipv4/" + name);
      f << value;
      f.flush();
      if (!f) return;
    }
    ran = true;
    body();
  });
  t.join();
  return ran;
}

}  // namespace mivo::test
