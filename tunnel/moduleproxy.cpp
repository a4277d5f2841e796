// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "moduleproxy.h"

#include <QLoggingCategory>

#include <algorithm>
#include <charconv>
#include <ostream>

#include "common/gbk.h"
#include "common/text.h"
#include "tunnel/tunnel_input.h"
#include "tunnel/tunnel_texts.h"

Q_LOGGING_CATEGORY(lcTunnel, "mivo.tunnel", QtWarningMsg)

namespace mivo {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kSocks4Granted = 0x5A;
constexpr std::uint8_t kNoAcceptableMethod = 0xFF;
// A proxy that has sent this much without ending its status line is not
// going to send one we can read.
constexpr std::size_t kMaxStatusLine = 8192;

struct Failure {
  std::string text;
  std::optional<std::string> title;
  MsgIcon icon;
};

// What one step decided; Apply carries it out.
struct Transition {
  HandshakeStep next = HandshakeStep::Idle;
  bool waitForMore = false;  // the reply is shorter than the bytes the step examines
  std::string status;
  std::optional<Bytes> bytes;
  std::optional<std::string> text;
  std::optional<Failure> failure;
};

Transition Wait(HandshakeStep step) {
  Transition t;
  t.next = step;
  t.waitForMore = true;
  return t;
}
Transition Stay(HandshakeStep step) {
  Transition t;
  t.next = step;
  return t;
}
Transition SendAndWait(HandshakeStep next, Bytes bytes, std::string status = {}) {
  Transition t;
  t.next = next;
  t.status = std::move(status);
  t.bytes = std::move(bytes);
  return t;
}
Transition TunnelOpen() {
  Transition t;
  t.next = HandshakeStep::TunnelOpen;
  t.status = kTextTargetConnected;
  return t;
}
Transition Fail(const char* text, std::optional<std::string> title, MsgIcon icon) {
  Transition t;
  t.next = HandshakeStep::Idle;
  t.failure = Failure{text, std::move(title), icon};
  return t;
}
Transition FailWithError(const char* text) { return Fail(text, kTitleError, MsgIcon::Exclamation); }

// Byte k (1-based) of a reply that holds at least k bytes.
std::uint8_t ReplyByte(const std::string& reply, std::size_t k) { return static_cast<std::uint8_t>(reply[k - 1]); }

std::uint8_t PortHigh(std::int32_t port) { return static_cast<std::uint8_t>((port >> 8) & 0xFF); }
std::uint8_t PortLow(std::int32_t port) { return static_cast<std::uint8_t>(port & 0xFF); }

// --- SOCKS4 -----------------------------------------------------------------

Transition Socks4Connected(const Moduleproxy& m) { return SendAndWait(HandshakeStep::FirstReply, Socks4Request(m)); }

Transition Socks4Reply(const std::string& reply) {
  if (reply.size() < 2) return Wait(HandshakeStep::FirstReply);
  if (ReplyByte(reply, 2) != kSocks4Granted) return FailWithError(kTextSocks4Failed);
  return TunnelOpen();
}

// --- SOCKS5 -----------------------------------------------------------------

Transition Socks5Connected(const TunnelView& view) {
  return SendAndWait(HandshakeStep::FirstReply, Socks5Greeting(view.AuthTicked()));
}

Transition Socks5MethodReply(Moduleproxy& m, const std::string& reply) {
  if (reply.size() < 2) return Wait(HandshakeStep::FirstReply);
  const std::uint8_t version = ReplyByte(reply, 1);
  const std::uint8_t method = ReplyByte(reply, 2);
  if (method == kNoAcceptableMethod) return Fail(kTextProxyFailed, std::nullopt, MsgIcon::Information);
  if (version == 5 && method == kMethodNone) {
    m.Socks5Method = method;
    return SendAndWait(HandshakeStep::SecondReply, Socks5Connect(m), kTextNoAuth);
  }
  if (version == 5 && method == kMethodUserPass) {
    m.Socks5Method = method;
    if (GbkLength(m.AuthUser) > 255) return FailWithError(kTextUserTooLong);
    if (GbkLength(m.AuthPass) > 255) return FailWithError(kTextPassTooLong);
    return SendAndWait(HandshakeStep::SecondReply, *Socks5UserPass(m), kTextWithAuth);
  }
  return Stay(HandshakeStep::FirstReply);
}

// The reply is read as what was sent at step 2: the method the proxy chose
// decides, so a proxy that waived authentication is not sent CONNECT twice.
Transition Socks5SecondReply(const Moduleproxy& m, const std::string& reply) {
  if (reply.size() < 2) return Wait(HandshakeStep::SecondReply);
  const bool accepted = ReplyByte(reply, 2) == 0;
  if (m.Socks5Method == kMethodUserPass) {
    if (!accepted) return FailWithError(kTextAuthRejected);
    return SendAndWait(HandshakeStep::ConnectReply, Socks5Connect(m), kTextAuthenticated);
  }
  if (!accepted) return FailWithError(kTextTargetFailed);
  return TunnelOpen();
}

Transition Socks5ConnectReply(const std::string& reply) {
  if (reply.size() < 2) return Wait(HandshakeStep::ConnectReply);
  if (ReplyByte(reply, 2) != 0) return FailWithError(kTextSocks5TargetFailed);
  return TunnelOpen();
}

// --- HTTP 1.1 ---------------------------------------------------------------

Transition HttpConnected(Moduleproxy& m, const TunnelView& view) {
  const std::string host = view.TargetHostText();
  const std::optional<std::int32_t> port = PortNumber(view.TargetPortText());
  if (!IsHttpHost(host)) return FailWithError(kTextBadHttpTarget);
  if (!port) return FailWithError(kTextBadTargetPort);
  m.HttpRequest =
      HttpConnectRequest(host, std::to_string(*port), view.AuthTicked(), view.UserText(), view.PasswordText());
  Transition t = Stay(HandshakeStep::FirstReply);
  t.text = m.HttpRequest;
  return t;
}

// Success only when the status line's code is 200: a 407 page that happens
// to mention " 200 " is still a refusal.
Transition HttpReply(const std::string& reply) {
  constexpr std::string_view kPrefix = "http";
  const std::size_t head = std::min(reply.size(), kPrefix.size());
  if (AsciiLower(std::string_view(reply).substr(0, head)) != kPrefix.substr(0, head))
    return FailWithError(kTextHttpFailed);
  const std::size_t lineEnd = reply.find('\n');
  if (lineEnd == std::string::npos) {
    if (reply.size() > kMaxStatusLine) return FailWithError(kTextHttpFailed);
    return Wait(HandshakeStep::FirstReply);
  }
  std::string_view line = std::string_view(reply).substr(0, lineEnd);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return FailWithError(kTextHttpFailed);
  std::string_view code = line.substr(space + 1);
  code = code.substr(0, code.find(' '));
  if (code != "200") return FailWithError(kTextHttpFailed);
  return TunnelOpen();
}

// --- dispatch ---------------------------------------------------------------

bool KnownKind(ProxyType kind) {
  return kind == ProxyType::Socks4 || kind == ProxyType::Socks5 || kind == ProxyType::Http11;
}

bool ReadsReply(ProxyType kind, HandshakeStep step) {
  if (step == HandshakeStep::FirstReply) return KnownKind(kind);
  return kind == ProxyType::Socks5 && (step == HandshakeStep::SecondReply || step == HandshakeStep::ConnectReply);
}

std::optional<Transition> Dispatch(Moduleproxy& m, const TunnelView& view, ProxyType kind, HandshakeStep step) {
  const std::string& reply = m.PendingReply;
  switch (kind) {
    case ProxyType::Socks4:
      if (step == HandshakeStep::Connected) return Socks4Connected(m);
      if (step == HandshakeStep::FirstReply) return Socks4Reply(reply);
      break;
    case ProxyType::Socks5:
      if (step == HandshakeStep::Connected) return Socks5Connected(view);
      if (step == HandshakeStep::FirstReply) return Socks5MethodReply(m, reply);
      if (step == HandshakeStep::SecondReply) return Socks5SecondReply(m, reply);
      if (step == HandshakeStep::ConnectReply) return Socks5ConnectReply(reply);
      break;
    case ProxyType::Http11:
      if (step == HandshakeStep::Connected) return HttpConnected(m, view);
      if (step == HandshakeStep::FirstReply) return HttpReply(reply);
      break;
    default: break;
  }
  return std::nullopt;
}

// The new state is stored before anything is shown, so that events which
// arrive while a message box is open find the handshake already over.
void Apply(Moduleproxy& m, TunnelView& view, const Transition& t) {
  SetHandshakeState(m, t.next);
  if (t.waitForMore) return;
  m.PendingReply.clear();
  if (!t.status.empty()) view.SetStatus(t.status);
  if (t.bytes) view.SendBytes(*t.bytes);
  if (t.text) view.SendText(*t.text);
  if (t.failure) {
    view.ShowMessageBox(t.failure->text, t.failure->title, t.failure->icon);
    view.Close();
  }
}

}  // namespace

Moduleproxy& ProxyModule() {
  static Moduleproxy state;
  return state;
}

std::string KindName(ProxyType kind) {
  if (const char* name = ProxyTypeName(kind)) return name;
  return std::to_string(static_cast<int>(kind));
}

std::string StepName(HandshakeStep step) {
  switch (step) {
    case HandshakeStep::Idle: return "Idle";
    case HandshakeStep::Connected: return "Connected";
    case HandshakeStep::FirstReply: return "FirstReply";
    case HandshakeStep::SecondReply: return "SecondReply";
    case HandshakeStep::ConnectReply: return "ConnectReply";
    case HandshakeStep::TunnelOpen: return "TunnelOpen";
  }
  return std::to_string(static_cast<int>(step));
}

std::ostream& operator<<(std::ostream& os, ProxyType kind) { return os << KindName(kind); }
std::ostream& operator<<(std::ostream& os, HandshakeStep step) { return os << StepName(step); }

void SetHandshakeState(Moduleproxy& m, HandshakeStep next) {
  if (next == m.HandshakeState) return;
  qCDebug(lcTunnel, "%s handshake: %s => %s", KindName(m.ProxyKind).c_str(), StepName(m.HandshakeState).c_str(),
          StepName(next).c_str());
  m.HandshakeState = next;
}

void ProxyHandshake(Moduleproxy& m, TunnelView& view, ProxyType kind, HandshakeStep step) {
  if (step == HandshakeStep::Connected && KnownKind(kind)) m.PendingReply.clear();
  if (ReadsReply(kind, step)) m.PendingReply += m.ReplyData;
  std::optional<Transition> t = Dispatch(m, view, kind, step);
  if (t) Apply(m, view, *t);
}

std::uint8_t TargetOctet(int n, std::string_view address) {
  if (n < 1 || n > 4) return 0;
  const std::vector<std::string_view> parts = Split(address, ".");
  if (parts.size() < static_cast<std::size_t>(n)) return 0;
  const std::string_view part = parts[static_cast<std::size_t>(n - 1)];
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
  if (ec != std::errc() || end != part.data() + part.size() || value > 255) return 0;
  return static_cast<std::uint8_t>(value);
}

std::string Base64Digit(int value) {
  if (value < 0 || value >= static_cast<int>(kAlphabet.size())) return {};
  return std::string(1, kAlphabet[static_cast<std::size_t>(value)]);
}

std::string Base64Groups(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t have = std::min<std::size_t>(3, bytes.size() - i);
    const unsigned c1 = static_cast<unsigned char>(bytes[i]);
    const unsigned c2 = have > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    const unsigned c3 = have > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    out += Base64Digit(static_cast<int>(c1 / 4));
    out += Base64Digit(static_cast<int>((c1 & 3) * 16 + c2 / 16));
    if (have > 1) out += Base64Digit(static_cast<int>((c2 & 15) * 4 + c3 / 64));
    if (have > 2) out += Base64Digit(static_cast<int>(c3 & 63));
  }
  return out;
}

std::string Base64Encode(std::string_view text) {
  std::string out = Base64Groups(ToGbk(text));
  if (out.size() % 4 == 3) out += "=";
  if (out.size() % 4 == 2) out += "==";
  return out;
}

Bytes Socks4Request(const Moduleproxy& m) {
  const std::string& a = m.TargetHost;
  return {0x04,
          0x01,
          PortHigh(m.TargetPort),
          PortLow(m.TargetPort),
          TargetOctet(1, a),
          TargetOctet(2, a),
          TargetOctet(3, a),
          TargetOctet(4, a),
          0x00};
}

Bytes Socks5Greeting(int ticked) { return {0x05, 0x01, ticked == 1 ? kMethodUserPass : kMethodNone}; }

std::optional<Bytes> Socks5UserPass(const Moduleproxy& m) {
  const std::string user = ToGbk(m.AuthUser);
  const std::string pass = ToGbk(m.AuthPass);
  if (user.size() > 255 || pass.size() > 255) return std::nullopt;
  Bytes out;
  out.reserve(user.size() + pass.size() + 3);
  out.push_back(0x01);
  out.push_back(static_cast<std::uint8_t>(user.size()));
  out.insert(out.end(), user.begin(), user.end());
  out.push_back(static_cast<std::uint8_t>(pass.size()));
  out.insert(out.end(), pass.begin(), pass.end());
  return out;
}

Bytes Socks5Connect(const Moduleproxy& m) {
  const std::string& a = m.TargetHost;
  return {0x05,
          0x01,
          0x00,
          0x01,
          TargetOctet(1, a),
          TargetOctet(2, a),
          TargetOctet(3, a),
          TargetOctet(4, a),
          PortHigh(m.TargetPort),
          PortLow(m.TargetPort)};
}

std::string HttpConnectRequest(const std::string& host, const std::string& port, int ticked, const std::string& user,
                               const std::string& password) {
  const std::string target = host + ":" + port;
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (ticked == 1) {
    const std::string credentials = Base64Encode(user + ":" + password);
    request += "Authorization: Basic " + credentials + "\r\n";
    request += "Proxy-Authorization: Basic " + credentials + "\r\n";
  }
  return request + "\r\n";
}

}  // namespace mivo
