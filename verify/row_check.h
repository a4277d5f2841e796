// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// One row's verification: a state machine over one socket control and one
// handshake context of its own, driven by the control's events and by the
// deadlines its host keeps.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_session.h"
#include "tunnel/winsock1.h"
#include "verify/judge.h"
#include "verify/result.h"

namespace mivo::verify {

using Clock = std::chrono::steady_clock;

// What every row of a run shares, made once.
struct Plan {
  std::string targetHost;  // dotted IPv4, as the engine is given it
  std::string targetPort;
  bool credentials = false;
  std::string user, password;
  std::optional<JudgeUrl> judge;
  std::string ownAddress;    // the user's address as the judge sees it
  Bytes judgeThroughTunnel;  // the request sent through a SOCKS tunnel
  Bytes judgeToProxy;        // the absolute-form request sent to an HTTP proxy
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
    NextAttempt,      // a fresh connection for the next protocol, or the end
    Connecting,       // waiting for the proxy to accept
    Handshaking,      // the engine talks to the proxy
    JudgeConnecting,  // HTTP: a fresh connection for the judge's GET
    AskingJudge,      // the judge's request is out; its reply comes in
    Done,
  };
  enum class Event : std::uint8_t { Entered, Connected, Data, Closed, SocketError, TimedOut };

  // The tunnel window's operations, headless: what the engine shows becomes the verdict.
  class View final : public TunnelView {
   public:
    View(const Plan& plan, TunnelSocket& socket) : plan_(plan), socket_(socket) {}
    void SetStatus(const std::string&) override {}
    void ShowMessageBox(const std::string& text, const std::optional<std::string>&, MsgIcon) override;
    int AuthTicked() const override { return auth ? 1 : 0; }
    std::string TargetHostText() const override { return plan_.targetHost; }
    std::string TargetPortText() const override { return plan_.targetPort; }
    std::string UserText() const override { return plan_.user; }
    std::string PasswordText() const override { return plan_.password; }
    void SendBytes(const Bytes& bytes) override { socket_.SendBytes(bytes); }
    void SendText(const std::string& text) override { socket_.SendText(text); }
    void Close() override { socket_.CloseSck(); }

    bool auth = false;
    bool refused = false;        // the engine failed the handshake
    bool methodRefused = false;  // SOCKS5: the proxy accepts no method offered

   private:
    const Plan& plan_;
    TunnelSocket& socket_;
  };

  void Post(Event e);
  void Run(Event e);
  // The one place the step changes.
  void Enter(Step next);
  Step DoNextAttempt();
  Step DoConnecting(Event e);
  Step DoHandshaking(Event e);
  Step DoJudgeConnecting(Event e);
  Step DoAskingJudge(Event e);
  Step AttemptFailed(Ending why);
  Step TunnelOpened();
  Step JudgeAnswered(bool answered);
  Step End(Ending ending);
  bool ConnectStarted();
  // Ends the row without a result, to be run again when a socket is free.
  Step GiveBack();
  Protocol Current() const { return order_[attempt_]; }
  static const char* StepName(Step s);

  const int index_;
  const Row& row_;
  const Plan& plan_;
  Result& result_;
  RowHost& host_;

  Moduleproxy m_;
  Winsock1Socket socket_;
  View view_;
  TunnelSession session_;
  ReplyGatherer reply_;

  std::array<Protocol, 3> order_;
  std::uint8_t attempt_ = 0;
  bool withoutAuth_ = false;  // SOCKS5 again, credentials left out
  bool dispatching_ = false;
  bool putBack_ = false;
  Step step_ = Step::Idle;
  Ending lastFailure_ = Ending::Refused;
  std::optional<Event> queued_;
  std::int16_t lastError_ = 0;
  std::uint32_t serial_ = 0;
  Clock::time_point rowDeadline_;
  Clock::time_point attemptStart_;
};

}  // namespace mivo::verify
