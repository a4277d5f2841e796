// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "sockets_check.h"

#include <string>

#include "common/presenter.h"
#include "socket/sockets_layer.h"

namespace mivo {
namespace {
constexpr std::uint16_t kRequestedVersion = 0x0101;
constexpr int kMinSockets = 1;
}  // namespace

bool CheckSocketsLayer() {
  WSAData data;
  if (Sockets().WSAStartup(kRequestedVersion, data) != 0) {
    ShowMessage(std::string("Windows Sockets for 32 bit Windows ") + "environments is not successfully responding.");
    return false;
  }
  const int major = LowByteOf(data.wVersion);
  const int minor = HighByteOf(data.wVersion);
  if (major < 1 || (major == 1 && minor < 1)) {
    ShowMessage("Windows Sockets Version " + std::to_string(major) + "." + std::to_string(minor) +
                    " is not supported by Windows " + "Sockets for 32 bit Windows environments.",
                kAppTitle, MsgIcon::Exclamation);
    return false;
  }
  if (data.iMaxSockets < kMinSockets) {
    ShowMessage("This application requires a minimum of " + std::to_string(kMinSockets) + " supported sockets.",
                kAppTitle, MsgIcon::Exclamation);
    return false;
  }
  return true;
}

bool ReleaseSocketsLayer() {
  const int r = Sockets().WSACleanup();
  if (r != 0) {
    ShowMessage("Windows Sockets error " + std::to_string(r) + " occurred in Cleanup.", kAppTitle,
                MsgIcon::Exclamation);
    return false;
  }
  return true;
}

}  // namespace mivo
