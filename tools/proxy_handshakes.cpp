// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "proxy_handshakes.h"

#include <QByteArray>

#include <array>

#include "common/text.h"

namespace mivo::sample {
namespace {

std::uint8_t At(const std::string& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

std::string Bytes(std::initializer_list<std::uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

// ----- SOCKS4 -----

constexpr std::uint8_t kSocks4Granted = 90;
constexpr std::uint8_t kSocks4Rejected = 91;

std::string Socks4Reply(std::uint8_t code, const std::string& request) {
  std::string reply = Bytes({0x00, code});
  // The request's port and address, or zeros when it has none.
  reply += request.size() >= 8 ? request.substr(2, 6) : std::string(6, '\0');
  return reply;
}

// ----- SOCKS5 -----

constexpr std::uint8_t kSocks5NoAuth = 0x00;
constexpr std::uint8_t kSocks5UserPass = 0x02;
constexpr std::uint8_t kSocks5NoMethod = 0xFF;

enum Socks5Reply : std::uint8_t {
  kSucceeded = 0x00,
  kGeneralFailure = 0x01,
  kNotAllowed = 0x02,
  kRefused = 0x05,
  kCommandNotSupported = 0x07,
  kAddressTypeNotSupported = 0x08,
};

std::string Socks5Answer(std::uint8_t code) { return Bytes({0x05, code, 0x00, 0x01, 0, 0, 0, 0, 0, 0}); }

// ----- HTTP -----

std::string HttpStatus(int status, const char* reason, const std::string& headers = {}) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + headers +
         "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

bool HasSampleCredentials(std::string_view head) {
  const std::string expected =
      QByteArray((std::string(kSampleUser) + ":" + kSamplePassword).c_str()).toBase64().toStdString();
  for (std::string_view line : Split(head, "\r\n")) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (AsciiLower(TrimSpaces(line.substr(0, colon))) != "proxy-authorization") continue;
    const std::string value(TrimSpaces(line.substr(colon + 1)));
    const std::size_t space = value.find(' ');
    if (space == std::string::npos) continue;
    if (AsciiLower(value.substr(0, space)) == "basic" && TrimSpaces(value.substr(space + 1)) == expected) return true;
  }
  return false;
}

// "host:port" or "[v6]:port" of a CONNECT request; false when it is neither.
bool SplitAuthority(std::string_view authority, std::string& host, int& port) {
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == authority.size() || authority.size() - colon > 6) return false;
  host = std::string(authority.substr(0, colon));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  port = 0;
  for (char c : authority.substr(colon + 1)) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  return !host.empty() && port >= 1 && port <= 65535;
}

// "http://host[:port][/path]": host, port (80 when none is written) and path ("/" when none is).
bool SplitAbsoluteUrl(std::string_view url, std::string& host, int& port, std::string& path) {
  constexpr std::string_view kScheme = "http://";
  if (AsciiLower(url.substr(0, kScheme.size())) != kScheme) return false;
  url.remove_prefix(kScheme.size());
  const std::size_t slash = url.find('/');
  const std::string_view authority = url.substr(0, slash);
  path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos || authority.back() == ']') {
    host = std::string(authority);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    port = 80;
    return !host.empty();
  }
  return SplitAuthority(authority, host, port);
}

// Hop-by-hop headers meant for the proxy itself, never passed on.
bool ForProxyOnly(std::string_view line) {
  const std::string name = AsciiLower(TrimSpaces(line.substr(0, line.find(':'))));
  return name == "proxy-authorization" || name == "proxy-connection";
}

}  // namespace

bool IsLoopback(const QHostAddress& address) { return !address.isNull() && address.isLoopback(); }

// ----- the machine every protocol shares -----

HandshakeTurn ProxyHandshake::Received(std::string_view bytes) {
  HandshakeTurn turn;
  if (step_ == Step::Closed) return turn;
  if (step_ == Step::Relaying) {
    turn.toTarget.assign(bytes);
    return turn;
  }
  in_.append(bytes);
  Run(turn);
  return turn;
}

void ProxyHandshake::Run(HandshakeTurn& turn) {
  for (;;) {
    Step next = step_;
    switch (step_) {
      case Step::Greeting:
      case Step::Credentials:
      case Step::Request:
      case Step::Head: next = Advance(turn); break;
      case Step::Connecting:
        if (in_.size() > kMaxEarlyBytes) next = Step::Closed;
        break;
      case Step::Relaying:
      case Step::Closed: break;
    }
    // A step still waiting for its bytes keeps no more than a handshake's worth.
    if (next == step_ && step_ != Step::Connecting && in_.size() > kMaxHandshakeBytes) next = Step::Closed;
    if (next == step_) return;
    Enter(next, turn);
  }
}

// Closing ends the connection, relaying hands on the bytes that came early.
void ProxyHandshake::Enter(Step next, HandshakeTurn& turn) {
  step_ = next;
  if (step_ == Step::Closed) turn.close = true;
  if (step_ == Step::Relaying) turn.toTarget += in_;
  if (step_ == Step::Closed || step_ == Step::Relaying) in_.clear();
}

HandshakeTurn ProxyHandshake::TargetConnected(bool ok) {
  HandshakeTurn turn;
  if (step_ != Step::Connecting) return turn;
  turn.reply = Answer(ok);
  Enter(ok ? Step::Relaying : Step::Closed, turn);
  return turn;
}

// ----- Socks4Handshake -----

ServerStep Socks4Handshake::Advance(HandshakeTurn& turn) {
  if (in_.size() < 9) return Step::Request;
  const std::size_t end = in_.find('\0', 8);
  if (end == std::string::npos) {
    if (in_.size() <= kMaxHandshakeBytes) return Step::Request;
    turn.reply = Socks4Reply(kSocks4Rejected, in_);
    return Step::Closed;
  }
  const bool connect = At(in_, 0) == 4 && At(in_, 1) == 1;
  const quint32 ip =
      (quint32{At(in_, 4)} << 24) | (quint32{At(in_, 5)} << 16) | (quint32{At(in_, 6)} << 8) | At(in_, 7);
  // 0.0.0.x asks the proxy to look a name up; names are never looked up.
  const QHostAddress address(ip);
  if (!connect || ip < 256 || !IsLoopback(address)) {
    turn.reply = Socks4Reply(kSocks4Rejected, in_);
    return Step::Closed;
  }
  target_ = {address, static_cast<quint16>((At(in_, 2) << 8) | At(in_, 3))};
  turn.open = target_;
  in_.erase(0, end + 1);
  return Step::Connecting;
}

std::string Socks4Handshake::Answer(bool ok) const {
  std::string request = Bytes({4, 1});
  request += static_cast<char>(target_.port >> 8);
  request += static_cast<char>(target_.port & 0xFF);
  const quint32 ip = target_.address.toIPv4Address();
  for (int shift = 24; shift >= 0; shift -= 8) request += static_cast<char>((ip >> shift) & 0xFF);
  return Socks4Reply(ok ? kSocks4Granted : kSocks4Rejected, request);
}

// ----- Socks5Handshake -----

ServerStep Socks5Handshake::Advance(HandshakeTurn& turn) {
  switch (Current()) {
    case Step::Greeting: return DoGreeting(turn);
    case Step::Credentials: return DoCredentials(turn);
    case Step::Request: return DoRequest(turn);
    default: return Current();
  }
}

ServerStep Socks5Handshake::DoGreeting(HandshakeTurn& turn) {
  if (in_.size() < 2) return Step::Greeting;
  if (At(in_, 0) != 5) {
    turn.reply = Bytes({0x05, kSocks5NoMethod});
    return Step::Closed;
  }
  const std::size_t length = 2 + At(in_, 1);
  if (in_.size() < length) return Step::Greeting;
  const std::uint8_t wanted = credentials_ ? kSocks5UserPass : kSocks5NoAuth;
  const bool offered = in_.substr(2, length - 2).find(static_cast<char>(wanted)) != std::string::npos;
  in_.erase(0, length);
  if (!offered) {
    turn.reply = Bytes({0x05, kSocks5NoMethod});
    return Step::Closed;
  }
  turn.reply = Bytes({0x05, wanted});
  return credentials_ ? Step::Credentials : Step::Request;
}

ServerStep Socks5Handshake::DoCredentials(HandshakeTurn& turn) {
  if (in_.size() < 2) return Step::Credentials;
  if (At(in_, 0) != 1) {
    turn.reply = Bytes({0x01, 0x01});
    return Step::Closed;
  }
  const std::size_t userLength = At(in_, 1);
  if (in_.size() < 3 + userLength) return Step::Credentials;
  const std::size_t passwordLength = At(in_, 2 + userLength);
  const std::size_t length = 3 + userLength + passwordLength;
  if (in_.size() < length) return Step::Credentials;
  const bool right =
      in_.substr(2, userLength) == kSampleUser && in_.substr(3 + userLength, passwordLength) == kSamplePassword;
  in_.erase(0, length);
  turn.reply = Bytes({0x01, static_cast<std::uint8_t>(right ? 0x00 : 0x01)});
  return right ? Step::Request : Step::Closed;
}

ServerStep Socks5Handshake::DoRequest(HandshakeTurn& turn) {
  if (in_.size() < 5) return Step::Request;
  if (At(in_, 0) != 5) {
    turn.reply = Socks5Answer(kGeneralFailure);
    return Step::Closed;
  }
  std::size_t addressLength = 0;
  switch (At(in_, 3)) {
    case 0x01: addressLength = 4; break;
    case 0x03: addressLength = 1 + At(in_, 4); break;
    case 0x04: addressLength = 16; break;
    default: turn.reply = Socks5Answer(kAddressTypeNotSupported); return Step::Closed;
  }
  const std::size_t length = 4 + addressLength + 2;
  if (in_.size() < length) return Step::Request;
  if (At(in_, 1) != 0x01) {
    turn.reply = Socks5Answer(kCommandNotSupported);
    return Step::Closed;
  }
  QHostAddress address;  // stays null for a name: names are never looked up
  if (At(in_, 3) == 0x01) {
    address = QHostAddress((quint32{At(in_, 4)} << 24) | (quint32{At(in_, 5)} << 16) | (quint32{At(in_, 6)} << 8) |
                           At(in_, 7));
  } else if (At(in_, 3) == 0x04) {
    Q_IPV6ADDR v6;
    for (int i = 0; i < 16; ++i) v6[i] = At(in_, 4 + static_cast<std::size_t>(i));
    address = QHostAddress(v6);
  }
  if (!IsLoopback(address)) {
    turn.reply = Socks5Answer(kNotAllowed);
    return Step::Closed;
  }
  turn.open = RelayTarget{address, static_cast<quint16>((At(in_, length - 2) << 8) | At(in_, length - 1))};
  in_.erase(0, length);
  return Step::Connecting;
}

std::string Socks5Handshake::Answer(bool ok) const { return Socks5Answer(ok ? kSucceeded : kRefused); }

// ----- HttpConnectHandshake -----

ServerStep HttpConnectHandshake::Advance(HandshakeTurn& turn) {
  const std::size_t end = in_.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (in_.size() <= kMaxHandshakeBytes) return Step::Head;
    turn.reply = HttpStatus(431, "Request Header Fields Too Large");
    return Step::Closed;
  }
  const std::string head = in_.substr(0, end);
  in_.erase(0, end + 4);
  const std::string_view requestLine = std::string_view(head).substr(0, head.find("\r\n"));
  const std::vector<std::string_view> parts = Split(requestLine, " ");
  if (parts.size() != 3 || parts[2].substr(0, 7) != "HTTP/1.") {
    turn.reply = HttpStatus(400, "Bad Request");
    return Step::Closed;
  }
  forwarding_ = parts[0] == "GET";
  if (parts[0] != "CONNECT" && !forwarding_) {
    turn.reply = HttpStatus(405, "Method Not Allowed", "Allow: CONNECT, GET\r\n");
    return Step::Closed;
  }
  if (credentials_ && !HasSampleCredentials(head)) {
    turn.reply = HttpStatus(407, "Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"mivo\"\r\n");
    return Step::Closed;
  }
  std::string host;
  int port = 0;
  std::string path;
  if (forwarding_ ? !SplitAbsoluteUrl(parts[1], host, port, path) : !SplitAuthority(parts[1], host, port)) {
    turn.reply = HttpStatus(400, "Bad Request");
    return Step::Closed;
  }
  const QHostAddress address(QString::fromStdString(host));  // null for a name: names are never looked up
  if (!IsLoopback(address)) {
    turn.reply = HttpStatus(403, "Forbidden");
    return Step::Closed;
  }
  // The passed-on head goes first, ahead of anything the client sent after it.
  if (forwarding_) in_.insert(0, ForwardedHead(head, path, parts[2]));
  turn.open = RelayTarget{address, static_cast<quint16>(port)};
  return Step::Connecting;
}

std::string HttpConnectHandshake::ForwardedHead(std::string_view head, std::string_view path,
                                                std::string_view version) const {
  std::string out = "GET " + std::string(path) + " " + std::string(version) + "\r\n";
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd != std::string_view::npos) {
    for (std::string_view line : Split(head.substr(lineEnd + 2), "\r\n"))
      if (!ForProxyOnly(line)) out += std::string(line) + "\r\n";
  }
  if (disclosure_ != Disclosure::None) out += "Via: 1.1 mivo-sample\r\n";
  if (disclosure_ == Disclosure::ViaAndForwardedFor) out += "X-Forwarded-For: " + client_ + "\r\n";
  return out + "\r\n";
}

// A passed-on GET is answered by the target itself.
std::string HttpConnectHandshake::Answer(bool ok) const {
  if (!ok) return HttpStatus(502, "Bad Gateway");
  return forwarding_ ? std::string() : std::string("HTTP/1.1 200 Connection established\r\n\r\n");
}

std::unique_ptr<ProxyHandshake> HandshakeFor(const SampleProxy& proxy) {
  switch (proxy.kind) {
    case ProxyKind::Socks4: return std::make_unique<Socks4Handshake>();
    case ProxyKind::Socks5: return std::make_unique<Socks5Handshake>(proxy.credentials);
    case ProxyKind::Http11: return std::make_unique<HttpConnectHandshake>(proxy.credentials, proxy.disclosure);
  }
  return nullptr;
}

}  // namespace mivo::sample
