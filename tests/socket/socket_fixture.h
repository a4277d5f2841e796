// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What the socket control tests share: a fixture that checks each test
// leaves no socket behind, and a control connected to a plain peer.

#include <gtest/gtest.h>

#include "common/presenter.h"
#include "socket/sockets_layer.h"
#include "tests/socket/loopback.h"
#include "tests/support/wait.h"

namespace mivo::test {

// Every test leaves no socket open and none registered. Message boxes are
// recorded, not shown.
class SocketTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(PosixSockets().OpenSockets(), openBefore_);
    EXPECT_EQ(PosixSockets().Registered(), 0u);
  }
  RecordingPresenter shown;

 private:
  std::size_t openBefore_ = PosixSockets().OpenSockets();
};

// Logs the events of `w` in `log`, connects it to the listener and waits for
// Connect; returns the listener's end, invalid when the connection did not come.
inline Fd ConnectLogged(WinSock& w, EventLog& log, RawListener& listener) {
  log.Attach(w);
  w.Connect("127.0.0.1", listener.port());
  if (!WaitUntil([&] { return log.connects == 1; })) return Fd();
  return listener.Accept();
}

}  // namespace mivo::test
