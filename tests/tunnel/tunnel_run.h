#pragma once

// One press of the tunnel window's connect button against a proxy on
// loopback, over a real Winsock1: what the tests that tunnel through real
// proxies share.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/wait.h"
#include "tests/tunnel/tunnel_fakes.h"
#include "tunnel/tunnel_texts.h"
#include "tunnel/winsock1.h"

namespace mivo::test {

// The engine `m` (which may outlive the run), `view` and a Winsock1, wired as
// the window wires them; what comes back through the open tunnel is kept.
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

  // Connects with the view's boxes, then waits until this run's tunnel opens
  // or a box is shown.
  ::testing::AssertionResult Connect(const std::string& proxyHost, int proxyPort) {
    if (!session_.ConnectClicked(
            {proxyHost, std::to_string(proxyPort), view.user, view.password, view.targetHost, view.targetPort}))
      return ::testing::AssertionFailure() << "the boxes were refused";
    if (WaitUntil([&] { return view.status == kTextTargetConnected || view.Count(ViewEvent::Box) > 0; }, 15000))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "state " << m_.HandshakeState << ", status " << view.status;
  }

  // Opened: the status `text` and no box. Failed: one box, with `text`, and
  // the engine idle.
  void ExpectOutcome(const std::string& text, bool opened) const {
    if (!opened) {
      ASSERT_EQ(view.Count(ViewEvent::Box), 1);
      for (const ViewEvent& e : view.events) {
        if (e.kind == ViewEvent::Box) {
          EXPECT_EQ(e.data, text);
        }
      }
      EXPECT_EQ(m_.HandshakeState, HandshakeStep::Idle);
      return;
    }
    EXPECT_EQ(view.status, text);
    EXPECT_EQ(view.Count(ViewEvent::Box), 0);
  }

  // Sends through the open tunnel; what came back by the time as many bytes
  // have, or by the deadline.
  std::string RoundTrip(const Bytes& bytes) {
    return RoundTrip(bytes.size(), [&] { socket_->SendBytes(bytes); });
  }
  std::string RoundTrip(const std::string& text) {
    return RoundTrip(text.size(), [&] { socket_->SendText(text); });
  }

  void Disconnect() { session_.DisconnectClicked(); }

  FakeView view;

 private:
  template <typename Send>
  std::string RoundTrip(std::size_t size, Send send) {
    echoed_.clear();
    send();
    WaitUntil([&] { return echoed_.size() >= size; }, 10000);
    return echoed_;
  }

  Moduleproxy& m_;
  std::unique_ptr<TunnelSocket> socket_ = NewWinsock1();
  TunnelSession session_{m_, view, *socket_};
  std::string echoed_;
};

}  // namespace mivo::test
