// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// One row's verification: a state machine over one tunnel socket and one
// handshake context of its own, driven by the socket's events and by the
// deadlines its host keeps.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_session.h"
#include "verify/judge.h"
#include "verify/result.h"
#include "verify/tls_channel.h"

namespace mivo::verify {

using Clock = std::chrono::steady_clock;

// What a row asks for through its proxy once the tunnel is open: a judge's
// page or the user's URL.
struct FarSide {
  JudgeUrl url;
  std::string address;  // the dotted IPv4 address the tunnel leads to
};

// What every row of a run shares, made once.
struct Plan {
  // --target: where the tunnels lead when there is no far side.
  std::string targetHost;  // dotted IPv4, as the engine is given it
  std::string targetPort;
  bool credentials = false;
  std::string user, password;
  // Rows are spread over these in turn; empty: the tunnel opening is the pass.
  std::vector<FarSide> far;
  bool judges = false;                    // the far sides are judges
  std::vector<std::string> ownAddresses;  // the user's, as the judges see it
  std::string expect;                     // a page's body must hold this
  std::shared_ptr<TlsContext> tls;        // for an https far side
  Clock::duration timeout{};
};

// The run a row belongs to, as the row sees it.
class RowHost {
 public:
  // Wake the row with TimedOut(serial) at `when`; returns the serial.
  virtual std::uint32_t Deadline(int row, Clock::time_point when) = 0;
  // The row has ended: its result is written, or it gave back its turn for
  // want of a socket (PutBack()). Called from inside the row's own events:
  // the row must outlive the call.
  virtual void RowEnded(int row) = 0;
  // The row's one socket.
  virtual std::unique_ptr<TunnelSocket> NewSocket() = 0;

 protected:
  ~RowHost() = default;
};

class RowCheck {
 public:
  RowCheck(int index, const Row& row, const Plan& plan, Result& result, RowHost& host);
  RowCheck(const RowCheck&) = delete;
  RowCheck& operator=(const RowCheck&) = delete;

  void Start();
  void TimedOut(std::uint32_t serial);
  // Ended without a result: the process had no socket to give it.
  bool PutBack() const { return putBack_; }

 private:
  enum class Step : std::uint8_t {
    Idle,
    NextAttempt,    // a fresh connection for the next protocol, or the end
    Connecting,     // waiting for the proxy to accept
    Handshaking,    // the engine talks to the proxy
    FarConnecting,  // HTTP: a fresh connection for the absolute-form GET
    Asking,         // the GET is out; the answer comes in
    Done,
  };
  enum class Event : std::uint8_t { Entered, Connected, Data, Closed, SocketError, TimedOut };

  // The tunnel window's operations, headless: what the engine shows becomes the verdict.
  class View final : public TunnelView {
   public:
    explicit View(RowCheck& row) : row_(row) {}
    void SetStatus(const std::string&) override {}
    void ShowMessageBox(const std::string& text, const std::optional<std::string>&, MsgIcon) override;
    int AuthTicked() const override { return auth ? 1 : 0; }
    std::string TargetHostText() const override { return row_.targetHost_; }
    std::string TargetPortText() const override { return row_.targetPort_; }
    std::string UserText() const override { return *row_.user_; }
    std::string PasswordText() const override { return *row_.password_; }
    void SendBytes(const Bytes& bytes) override { row_.socket_->SendBytes(bytes); }
    void SendText(const std::string& text) override { row_.socket_->SendText(text); }
    void Close() override { row_.socket_->CloseSck(); }

    bool auth = false;
    std::optional<std::string> refusal;  // the engine failed the handshake with this text

   private:
    RowCheck& row_;
  };

  void Post(Event e);
  void Run(Event e);
  // The one place the step changes.
  void Enter(Step next);
  Step DoNextAttempt();
  Step DoConnecting(Event e);
  Step DoHandshaking(Event e);
  Step DoFarConnecting(Event e);
  Step DoAsking(Event e);
  Step AttemptFailed(Reason why);
  Step TunnelOpened();
  Step Answered(bool complete);
  Step End(Reason reason);
  // The far side's bytes that arrived, decrypted when TLS rides the tunnel.
  std::string TakeAnswer();
  void FlushTls();
  bool ConnectStarted() const { return socket_->State() != SocketState::Closed; }
  // Ends the row without a result, to be run again when a socket is free.
  Step GiveBack();
  ProxyType Current() const { return order_[attempt_]; }
  // Why the engine refused, from its message and the proxy's bytes.
  Reason RefusalReason() const;
  std::int32_t MsSince(Clock::time_point t) const;
  static const char* StepName(Step s);

  const int index_;
  const Row& row_;
  const Plan& plan_;
  Result& result_;
  RowHost& host_;
  const FarSide* far_;  // nullptr: --target alone
  bool credentials_;
  const std::string* user_;
  const std::string* password_;
  std::string targetHost_, targetPort_;

  Moduleproxy m_;
  std::unique_ptr<TunnelSocket> socket_;
  View view_;
  TunnelSession session_;
  ReplyGatherer reply_;
  std::unique_ptr<TlsSession> tls_;  // between the tunnel and the far side's request and answer
  std::string handshakeBytes_;       // this attempt's replies from the proxy, the first few

  std::array<ProxyType, 3> order_;
  std::uint8_t attempt_ = 0;
  bool withoutAuth_ = false;  // SOCKS5 again, credentials left out
  bool dispatching_ = false;
  bool putBack_ = false;
  Step step_ = Step::Idle;
  Reason failure_ = Reason::Pending;  // the most telling failure of the attempts so far
  std::optional<Event> queued_;
  std::int16_t lastError_ = 0;
  std::uint32_t serial_ = 0;
  Clock::time_point rowDeadline_;
  Clock::time_point attemptStart_;
  Clock::time_point stageStart_;
};

}  // namespace mivo::verify
