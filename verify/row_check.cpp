// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "row_check.h"

#include <QLoggingCategory>

#include "socket/wsa_errors.h"
#include "tunnel/tunnel_texts.h"

Q_LOGGING_CATEGORY(lcVerify, "mivo.verify", QtWarningMsg)

namespace mivo::verify {
namespace {

ProxyType EngineKind(Protocol p) {
  switch (p) {
    case Protocol::Socks4: return ProxyType::Socks4;
    case Protocol::Socks5: return ProxyType::Socks5;
    case Protocol::Http:
    case Protocol::None: break;
  }
  return ProxyType::Http11;
}

}  // namespace

void RowCheck::View::ShowMessageBox(const std::string& text, const std::optional<std::string>&, MsgIcon) {
  refused = true;
  methodRefused = text == kTextProxyFailed;
}

RowCheck::RowCheck(int index, const Row& row, const Plan& plan, Result& result, RowHost& host)
    : index_(index),
      row_(row),
      plan_(plan),
      result_(result),
      host_(host),
      view_(plan, socket_),
      session_(m_, view_, socket_),
      order_(AttemptOrder(PreferredProtocol(row.type))) {
  socket_.onConnect = [this] { Post(Event::Connected); };
  socket_.onDataArrival = [this] { Post(Event::Data); };
  socket_.Control().events.CloseSck = [this] { Post(Event::Closed); };
  socket_.Control().events.Error = [this](std::int16_t number, std::string&, std::int32_t, std::string, std::string,
                                          std::int32_t, bool&) {
    lastError_ = number;
    Post(Event::SocketError);
  };
}

void RowCheck::Start() {
  result_ = Result{};
  rowDeadline_ = Clock::now() + plan_.timeout;
  Enter(Step::NextAttempt);
  Run(Event::Entered);
}

void RowCheck::TimedOut(std::uint32_t serial) {
  if (serial == serial_) Post(Event::TimedOut);
}

// An event raised from inside a step (a connect refused at once, a failed
// send) waits until that step has chosen where to go.
void RowCheck::Post(Event e) {
  if (dispatching_) {
    if (!queued_ || e == Event::SocketError) queued_ = e;
    return;
  }
  Run(e);
}

void RowCheck::Run(Event e) {
  dispatching_ = true;
  for (;;) {
    Step next = step_;
    switch (step_) {
      case Step::NextAttempt: next = DoNextAttempt(); break;
      case Step::Connecting: next = DoConnecting(e); break;
      case Step::Handshaking: next = DoHandshaking(e); break;
      case Step::JudgeConnecting: next = DoJudgeConnecting(e); break;
      case Step::AskingJudge: next = DoAskingJudge(e); break;
      case Step::Idle:
      case Step::Done: break;
    }
    if (next != step_) {
      Enter(next);
      e = Event::Entered;
      continue;
    }
    if (!queued_ || step_ == Step::Done) break;
    e = *queued_;
    queued_.reset();
  }
  queued_.reset();
  dispatching_ = false;
}

void RowCheck::Enter(Step next) {
  qCDebug(lcVerify).nospace() << "row " << index_ + 1 << ": " << StepName(step_) << " => " << StepName(next);
  step_ = next;
  if (step_ != Step::Done) return;
  socket_.CloseSck();
  reply_ = ReplyGatherer();
  host_.RowEnded(index_);
}

RowCheck::Step RowCheck::DoNextAttempt() {
  if (attempt_ >= order_.size()) return End(lastFailure_);
  const Clock::time_point now = Clock::now();
  if (now >= rowDeadline_) return End(Ending::TimedOut);
  // Each protocol may use an equal share of the time left, the last all of
  // it: a proxy that keeps silent to one protocol is still tried with the
  // others. SOCKS5 again without credentials stays within its share.
  if (!withoutAuth_) serial_ = host_.Deadline(index_, now + (rowDeadline_ - now) / (order_.size() - attempt_));
  const Protocol p = Current();
  m_.ProxyKind = EngineKind(p);
  SetHandshakeState(m_, HandshakeStep::Idle);
  view_.auth = plan_.credentials && p != Protocol::Socks4 && !withoutAuth_;
  view_.refused = view_.methodRefused = false;
  lastError_ = 0;
  attemptStart_ = now;
  // The input was checked before the run; what the engine still refuses it refuses for every protocol.
  if (!session_.ConnectClicked(
          {row_.address, row_.port, plan_.user, plan_.password, plan_.targetHost, plan_.targetPort}))
    return End(Ending::Refused);
  return ConnectStarted() ? Step::Connecting : GiveBack();
}

RowCheck::Step RowCheck::DoConnecting(Event e) {
  switch (e) {
    case Event::Connected:
      session_.OnConnect();
      if (view_.refused) return AttemptFailed(Ending::Refused);
      return Step::Handshaking;
    case Event::SocketError:
      if (OutOfDescriptors(lastError_)) return GiveBack();
      // Refused or unreachable: no other protocol can do better.
      return End(Ending::Unreachable);
    case Event::TimedOut: return AttemptFailed(Ending::TimedOut);
    default: return Step::Connecting;
  }
}

RowCheck::Step RowCheck::DoHandshaking(Event e) {
  switch (e) {
    case Event::Data:
      session_.OnDataArrival();
      if (m_.HandshakeState == HandshakeStep::TunnelOpen) return TunnelOpened();
      if (!view_.refused) return Step::Handshaking;
      // A proxy that wants no credentials refuses a greeting that offers only them.
      if (view_.methodRefused && view_.auth && Current() == Protocol::Socks5) {
        withoutAuth_ = true;
        return Step::NextAttempt;
      }
      return AttemptFailed(Ending::Refused);
    case Event::Closed:
    case Event::SocketError: return AttemptFailed(Ending::Refused);
    case Event::TimedOut: return AttemptFailed(Ending::TimedOut);
    default: return Step::Handshaking;
  }
}

RowCheck::Step RowCheck::DoJudgeConnecting(Event e) {
  switch (e) {
    case Event::Entered:
      // An HTTP proxy adds its headers to requests it passes on, not to tunnels.
      socket_.CloseSck();
      lastError_ = 0;
      socket_.Connect();
      return ConnectStarted() ? Step::JudgeConnecting : GiveBack();
    case Event::Connected: socket_.SendBytes(plan_.judgeToProxy); return Step::AskingJudge;
    case Event::SocketError:
      if (OutOfDescriptors(lastError_)) return GiveBack();
      return JudgeAnswered(false);
    case Event::TimedOut: return JudgeAnswered(false);
    default: return Step::JudgeConnecting;
  }
}

RowCheck::Step RowCheck::DoAskingJudge(Event e) {
  switch (e) {
    case Event::Data:
      if (!reply_.Add(socket_.GetAll())) return JudgeAnswered(true);
      return Step::AskingJudge;
    case Event::Closed:
    case Event::SocketError: return JudgeAnswered(true);
    case Event::TimedOut: return JudgeAnswered(false);
    default: return Step::AskingJudge;
  }
}

RowCheck::Step RowCheck::AttemptFailed(Ending why) {
  lastFailure_ = why;
  withoutAuth_ = false;
  ++attempt_;
  socket_.CloseSck();
  return Step::NextAttempt;
}

RowCheck::Step RowCheck::TunnelOpened() {
  result_.protocol = Current();
  result_.handshakeMs = static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - attemptStart_).count());
  if (!plan_.judge) return End(Ending::TunnelOpen);
  // The judge may use what is left of the row's time.
  serial_ = host_.Deadline(index_, rowDeadline_);
  if (Current() == Protocol::Http) return Step::JudgeConnecting;
  socket_.SendBytes(plan_.judgeThroughTunnel);
  return Step::AskingJudge;
}

RowCheck::Step RowCheck::JudgeAnswered(bool answered) {
  if (answered) {
    const JudgeReply reply = ParseJudgeReply(reply_.Text());
    result_.anonymity = Classify(reply, plan_.ownAddress);
    if (result_.anonymity != Anonymity::Unknown) result_.exitAddress = reply.RemoteAddr();
  }
  return End(Ending::TunnelOpen);
}

// The control fails a bind or a registration silently and stays closed:
// the process has no port or notification slot left for it.
bool RowCheck::ConnectStarted() { return socket_.Control().State() != SocketState::Closed; }

RowCheck::Step RowCheck::GiveBack() {
  putBack_ = true;
  return Step::Done;
}

RowCheck::Step RowCheck::End(Ending ending) {
  result_.ending = ending;
  return Step::Done;
}

const char* RowCheck::StepName(Step s) {
  switch (s) {
    case Step::Idle: return "Idle";
    case Step::NextAttempt: return "NextAttempt";
    case Step::Connecting: return "Connecting";
    case Step::Handshaking: return "Handshaking";
    case Step::JudgeConnecting: return "JudgeConnecting";
    case Step::AskingJudge: return "AskingJudge";
    case Step::Done: return "Done";
  }
  return "?";
}

}  // namespace mivo::verify
