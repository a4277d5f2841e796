// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "tests/support/wait.h"
#include "tests/tunnel/tunnel_fakes.h"
#include "tunnel/tunnel_texts.h"
#include "tunnel/winsock1.h"

namespace mivo::test {

// One press of the tunnel window's connect button against a proxy on
// loopback: the engine `m` (which may outlive the run), `view` and a real
// Winsock1, wired as the window wires them.
class TunnelRun {
 public:
  explicit TunnelRun(Moduleproxy& m) : m_(m) {
    view.socket = socket_.get();
    socket_->onConnect = [this] { session_.OnConnect(); };
    socket_->onDataArrival = [this] {
      const bool open = m_.HandshakeState == HandshakeStep::TunnelOpen;
      session_.OnDataArrival();
      if (open) echoed_ += m_.ReplyData;
    };
  }

  // Connects with the view's boxes; waits until this run's tunnel opens or a box shows.
  ::testing::AssertionResult Connect(const std::string& proxyHost, int proxyPort) {
    if (!session_.ConnectClicked(
            {proxyHost, std::to_string(proxyPort), view.user, view.password, view.targetHost, view.targetPort}))
      return ::testing::AssertionFailure() << "the boxes were refused";
    if (WaitUntil([&] { return view.status == kTextTargetConnected || view.Count(ViewEvent::Box) > 0; }, 15000))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "state " << m_.HandshakeState << ", status " << view.status;
  }

  // Opened: the status `text` and no box. Failed: one box, with `text`, and the engine idle.
  void ExpectOutcome(const std::string& text, bool opened) const {
    if (opened) {
      EXPECT_EQ(view.status, text);
      EXPECT_EQ(view.Count(ViewEvent::Box), 0);
      return;
    }
    ASSERT_EQ(view.Count(ViewEvent::Box), 1);
    const auto box = std::find_if(view.events.begin(), view.events.end(),
                                  [](const ViewEvent& e) { return e.kind == ViewEvent::Box; });
    EXPECT_EQ(box->data, text);
    EXPECT_EQ(m_.HandshakeState, HandshakeStep::Idle);
  }

  // What comes back through the open tunnel by the time as many bytes have (or the deadline).
  std::string RoundTrip(const Bytes& bytes) {
    socket_->SendBytes(bytes);
    return Echoed(bytes.size());
  }
  std::string RoundTrip(const std::string& text) {
    socket_->SendText(text);
    return Echoed(text.size());
  }
  void Disconnect() { session_.DisconnectClicked(); }

  FakeView view;

 private:
  std::string Echoed(std::size_t size) {
    WaitUntil([&] { return echoed_.size() >= size; }, 10000);
    return std::exchange(echoed_, {});
  }

  Moduleproxy& m_;
  std::unique_ptr<TunnelSocket> socket_ = NewWinsock1();
  TunnelSession session_{m_, view, *socket_};
  std::string echoed_;
};

}  // namespace mivo::test
