// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "row_check.h"

#include <QLoggingCategory>

#include "socket/wsa_errors.h"
#include "tunnel/tunnel_texts.h"

Q_LOGGING_CATEGORY(lcVerify, "mivo.verify", QtWarningMsg)

namespace mivo::verify {
namespace {

// Replies of one attempt kept to tell a refusal from bytes of another protocol.
constexpr std::size_t kKeptHandshakeBytes = 512;

// How much a failed attempt says about the proxy: the row reports its most
// telling one, so that a proxy refusing the credentials is not reported as
// merely silent to a protocol it does not speak.
int Telling(Reason r) {
  switch (r) {
    case Reason::ConnectTimeout: return 1;
    case Reason::NoAnswer: return 2;
    case Reason::BadReply: return 3;
    case Reason::ProxyRefused: return 4;
    case Reason::AuthRequired: return 5;
    case Reason::AuthFailed: return 6;
    default: return 0;
  }
}

std::uint8_t ByteAt(const std::string& s, std::size_t i) {
  return i < s.size() ? static_cast<std::uint8_t>(s[i]) : std::uint8_t{0xFF};
}

Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

void RowCheck::View::ShowMessageBox(const std::string& text, const std::optional<std::string>&, MsgIcon) {
  refusal = text;
}

RowCheck::RowCheck(int index, const Row& row, const Plan& plan, Result& result, RowHost& host)
    : index_(index),
      row_(row),
      plan_(plan),
      result_(result),
      host_(host),
      far_(plan.far.empty() ? nullptr : &plan.far[static_cast<std::size_t>(index) % plan.far.size()]),
      credentials_(!row.user.empty() || !row.password.empty() || plan.credentials),
      user_(!row.user.empty() || !row.password.empty() ? &row.user : &plan.user),
      password_(!row.user.empty() || !row.password.empty() ? &row.password : &plan.password),
      targetHost_(far_ ? far_->address : plan.targetHost),
      targetPort_(far_ ? std::to_string(far_->url.port) : plan.targetPort),
      socket_(host.NewSocket()),
      view_(*this),
      session_(m_, view_, *socket_),
      reply_(plan.judges ? kMaxJudgeReply : kMaxPageReply),
      order_(AttemptOrder(PreferredProtocol(row.type))) {
  socket_->onConnect = [this] { Post(Event::Connected); };
  socket_->onDataArrival = [this] { Post(Event::Data); };
  socket_->onClose = [this] { Post(Event::Closed); };
  socket_->onError = [this](std::int16_t number) {
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
      case Step::FarConnecting: next = DoFarConnecting(e); break;
      case Step::Asking: next = DoAsking(e); break;
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
  socket_->CloseSck();
  reply_.Clear();
  tls_.reset();
  host_.RowEnded(index_);
}

RowCheck::Step RowCheck::DoNextAttempt() {
  if (attempt_ >= order_.size()) return End(failure_);
  const Clock::time_point now = Clock::now();
  if (now >= rowDeadline_) return End(failure_ == Reason::Pending ? Reason::NoAnswer : failure_);
  // Each protocol may use an equal share of the time left, the last all of
  // it: a proxy that keeps silent to one protocol is still tried with the
  // others. SOCKS5 again without credentials stays within its share.
  if (!withoutAuth_) serial_ = host_.Deadline(index_, now + (rowDeadline_ - now) / (order_.size() - attempt_));
  const ProxyType p = Current();
  m_.ProxyKind = p;
  SetHandshakeState(m_, HandshakeStep::Idle);
  view_.auth = credentials_ && p != ProxyType::Socks4 && !withoutAuth_;
  view_.refusal.reset();
  handshakeBytes_.clear();
  lastError_ = 0;
  attemptStart_ = now;
  // The input was checked before the run; what the engine still refuses it refuses for every protocol.
  if (!session_.ConnectClicked({row_.address, row_.port, *user_, *password_, targetHost_, targetPort_}))
    return End(Reason::BadRow);
  return ConnectStarted() ? Step::Connecting : GiveBack();
}

RowCheck::Step RowCheck::DoConnecting(Event e) {
  switch (e) {
    case Event::Connected:
      result_.connectMs = MsSince(attemptStart_);
      stageStart_ = Clock::now();
      session_.OnConnect();
      if (view_.refusal) return AttemptFailed(Reason::BadRow);
      return Step::Handshaking;
    case Event::SocketError:
      // Out of descriptors or local ports: this process's want, not the proxy's fault.
      if (OutOfDescriptors(lastError_) || lastError_ == WSAEADDRNOTAVAIL) return GiveBack();
      // No other protocol can do better.
      if (lastError_ == WSAECONNREFUSED) return End(Reason::Refused);
      if (lastError_ == WSAETIMEDOUT) return End(Reason::ConnectTimeout);
      return End(Reason::Unreachable);
    case Event::TimedOut: return AttemptFailed(Reason::ConnectTimeout);
    default: return Step::Connecting;
  }
}

RowCheck::Step RowCheck::DoHandshaking(Event e) {
  switch (e) {
    case Event::Data: {
      session_.OnDataArrival();
      if (handshakeBytes_.size() < kKeptHandshakeBytes)
        handshakeBytes_.append(m_.ReplyData.substr(0, kKeptHandshakeBytes - handshakeBytes_.size()));
      if (m_.HandshakeState == HandshakeStep::TunnelOpen) return TunnelOpened();
      if (view_.refusal) {
        // A proxy that wants no credentials refuses a greeting that offers only them.
        if (*view_.refusal == kTextProxyFailed && view_.auth && Current() == ProxyType::Socks5) {
          withoutAuth_ = true;
          return Step::NextAttempt;
        }
        return AttemptFailed(RefusalReason());
      }
      // The engine waits on a SOCKS5 method reply of another version; it will not come.
      if (Current() == ProxyType::Socks5 && m_.HandshakeState == HandshakeStep::FirstReply &&
          handshakeBytes_.size() >= 2 && ByteAt(handshakeBytes_, 0) != 5)
        return AttemptFailed(Reason::BadReply);
      return Step::Handshaking;
    }
    // Hung up on: the proxy would not go on.
    case Event::Closed:
    case Event::SocketError: return AttemptFailed(Reason::ProxyRefused);
    case Event::TimedOut: return AttemptFailed(handshakeBytes_.empty() ? Reason::NoAnswer : Reason::BadReply);
    default: return Step::Handshaking;
  }
}

Reason RowCheck::RefusalReason() const {
  const std::string& text = *view_.refusal;
  const std::string& reply = handshakeBytes_;
  // SOCKS5 0xFF: no method offered is acceptable, not even none (offering
  // only credentials was tried again without them before this).
  if (text == kTextProxyFailed) return Reason::AuthRequired;
  if (text == kTextAuthRejected) return Reason::AuthFailed;
  if (text == kTextSocks4Failed) {
    const std::uint8_t code = ByteAt(reply, 1);
    return ByteAt(reply, 0) == 0 && code >= 0x5B && code <= 0x5D ? Reason::ProxyRefused : Reason::BadReply;
  }
  // SOCKS5's CONNECT reply follows the method reply, and the credentials' reply when there was one.
  if (text == kTextTargetFailed) return ByteAt(reply, 2) == 5 ? Reason::ProxyRefused : Reason::BadReply;
  if (text == kTextSocks5TargetFailed) return ByteAt(reply, 4) == 5 ? Reason::ProxyRefused : Reason::BadReply;
  if (text == kTextHttpFailed) {
    const std::optional<int> status = ResponseStatus(reply);
    if (!status) return Reason::BadReply;
    if (*status == 407) return view_.auth ? Reason::AuthFailed : Reason::AuthRequired;
    return Reason::ProxyRefused;
  }
  return Reason::ProxyRefused;
}

RowCheck::Step RowCheck::DoFarConnecting(Event e) {
  switch (e) {
    case Event::Entered:
      // An HTTP proxy adds its headers to requests it passes on, not to tunnels.
      socket_->CloseSck();
      lastError_ = 0;
      socket_->Connect();
      return ConnectStarted() ? Step::FarConnecting : GiveBack();
    case Event::Connected: {
      const std::string basic = credentials_ ? Base64Encode(*user_ + ":" + *password_) : std::string();
      socket_->SendBytes(AsBytes(JudgeRequest(far_->url, true, basic)));
      return Step::Asking;
    }
    case Event::SocketError:
      if (OutOfDescriptors(lastError_) || lastError_ == WSAEADDRNOTAVAIL) return GiveBack();
      return Answered(false);
    case Event::Closed:
    case Event::TimedOut: return Answered(false);
    default: return Step::FarConnecting;
  }
}

RowCheck::Step RowCheck::DoAsking(Event e) {
  switch (e) {
    case Event::Data: {
      const std::string bytes = TakeAnswer();
      if (tls_ && tls_->state() == TlsSession::State::Failed) return End(Reason::Tls);
      if (result_.answerMs < 0 && !bytes.empty()) result_.answerMs = MsSince(stageStart_);
      if (!reply_.Add(bytes)) return Answered(true);
      return Step::Asking;
    }
    // A reply without a length ends where the peer closes.
    case Event::Closed:
    case Event::SocketError: return Answered(true);
    case Event::TimedOut: return Answered(false);
    default: return Step::Asking;
  }
}

RowCheck::Step RowCheck::AttemptFailed(Reason why) {
  if (Telling(why) > Telling(failure_)) failure_ = why;
  withoutAuth_ = false;
  ++attempt_;
  socket_->CloseSck();
  return Step::NextAttempt;
}

RowCheck::Step RowCheck::TunnelOpened() {
  result_.protocol = Current();
  result_.handshakeMs = MsSince(stageStart_);
  if (!far_) return End(Reason::Passed);
  // The far side may use what is left of the row's time.
  serial_ = host_.Deadline(index_, rowDeadline_);
  stageStart_ = Clock::now();
  if (Current() == ProxyType::Http11 && !far_->url.https) return Step::FarConnecting;
  const std::string request = JudgeRequest(far_->url, false);
  if (!far_->url.https) {
    socket_->SendBytes(AsBytes(request));
    return Step::Asking;
  }
  // Held by the session until its handshake is done.
  tls_ = std::make_unique<TlsSession>(*plan_.tls, far_->url.host, static_cast<std::uint16_t>(far_->url.port));
  tls_->Start();
  tls_->Write(request);
  FlushTls();
  return Step::Asking;
}

std::string RowCheck::TakeAnswer() {
  std::string bytes = socket_->GetAll();
  if (!tls_) return bytes;
  tls_->Feed(bytes);
  FlushTls();
  return tls_->TakePlaintext();
}

void RowCheck::FlushTls() {
  const std::string out = tls_->TakeOutgoing();
  if (!out.empty()) socket_->SendBytes(AsBytes(out));
}

// What came back through the proxy: `complete` when it ended (its length, its
// last chunk, or the peer's close) rather than the row's time.
RowCheck::Step RowCheck::Answered(bool complete) {
  const std::string& reply = reply_.Text();
  if (reply.empty()) return End(Reason::NoAnswer);
  const std::optional<int> status = ResponseStatus(reply);
  if (!status) return End(reply.find('\n') == std::string::npos && !complete ? Reason::NoAnswer : Reason::BadReply);
  if (!complete) return End(Reason::NoAnswer);
  if (*status < 200 || *status > 299) return End(Reason::BadStatus);
  if (plan_.judges) {
    const JudgeReply judged = ParseJudgeReply(reply);
    result_.anonymity = Classify(judged, plan_.ownAddresses);
    if (result_.anonymity == Anonymity::Unknown) return End(Reason::WrongContent);
    result_.exitAddress = judged.RemoteAddr();
  }
  if (!plan_.expect.empty() && ResponseBody(reply).find(plan_.expect) == std::string::npos)
    return End(Reason::WrongContent);
  return End(Reason::Passed);
}

RowCheck::Step RowCheck::GiveBack() {
  putBack_ = true;
  return Step::Done;
}

RowCheck::Step RowCheck::End(Reason reason) {
  result_.reason = reason;
  return Step::Done;
}

std::int32_t RowCheck::MsSince(Clock::time_point t) const {
  return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

const char* RowCheck::StepName(Step s) {
  switch (s) {
    case Step::Idle: return "Idle";
    case Step::NextAttempt: return "NextAttempt";
    case Step::Connecting: return "Connecting";
    case Step::Handshaking: return "Handshaking";
    case Step::FarConnecting: return "FarConnecting";
    case Step::Asking: return "Asking";
    case Step::Done: return "Done";
  }
  return "?";
}

}  // namespace mivo::verify
