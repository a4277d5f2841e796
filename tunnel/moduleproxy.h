// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/presenter.h"
#include "common/proxy_type.h"
#include "socket/variant.h"

namespace mivo {

// Values of Moduleproxy::HandshakeState.
enum class HandshakeStep : std::int16_t {
  Idle = 0,          // idle, or the last handshake failed; arrivals change nothing
  Connected = 1,     // never stored: the step the Connect event calls with
  FirstReply = 2,    // first request sent
  SecondReply = 3,   // SOCKS5: user name / password, or (no authentication) CONNECT sent
  ConnectReply = 4,  // SOCKS5: authenticated, CONNECT sent
  TunnelOpen = -1,   // target connection confirmed
};

// "SOCKS5", "FirstReply": for traces and test output; a value without a name
// gives its number.
std::string KindName(ProxyType kind);
std::string StepName(HandshakeStep step);
std::ostream& operator<<(std::ostream& os, ProxyType kind);
std::ostream& operator<<(std::ostream& os, HandshakeStep step);

// SOCKS5 methods (RFC 1928).
inline constexpr std::uint8_t kMethodNone = 0x00;
inline constexpr std::uint8_t kMethodUserPass = 0x02;

// The handshake context: one per process, outliving the tunnel window.
struct Moduleproxy {
  ProxyType ProxyKind = ProxyType::Socks4;
  // Changed only through SetHandshakeState.
  HandshakeStep HandshakeState = HandshakeStep::Idle;
  std::string ReplyData;  // the bytes of the latest arrival, unchanged
  std::string AuthUser;
  std::string AuthPass;
  std::string HttpRequest;
  std::string TargetHost;
  std::int32_t TargetPort = 0;

  // The reply of the step being waited on, gathered over as many arrivals as
  // it takes to hold the bytes the step examines.
  std::string PendingReply;
  // The method the proxy chose at SOCKS5 step 2; step 3 reads its reply by it.
  std::uint8_t Socks5Method = kMethodNone;
};

Moduleproxy& ProxyModule();

// The one way HandshakeState changes; each change is traced as
// "SOCKS5 handshake: FirstReply => SecondReply" under mivo.tunnel.
void SetHandshakeState(Moduleproxy& m, HandshakeStep next);

// The tunnel window as the engine sees it.
class TunnelView {
 public:
  virtual ~TunnelView() = default;

  virtual void SetStatus(const std::string& text) = 0;
  // No title: the box carries the application's own title.
  virtual void ShowMessageBox(const std::string& text, const std::optional<std::string>& title, MsgIcon icon) = 0;
  // 0 unticked, 1 ticked.
  virtual int AuthTicked() const = 0;
  virtual std::string TargetHostText() const = 0;
  virtual std::string TargetPortText() const = 0;
  virtual std::string UserText() const = 0;
  virtual std::string PasswordText() const = 0;
  virtual void SendBytes(const Bytes& bytes) = 0;
  // UTF-8 text; the socket turns it into GBK.
  virtual void SendText(const std::string& text) = 0;
  virtual void Close() = 0;
};

// One step of the handshake of `kind`: Connected from the Connect event, the
// current HandshakeState from DataArrival (which has put the arrival in
// ReplyData). A kind and step that match no row, named or not, do nothing.
void ProxyHandshake(Moduleproxy& m, TunnelView& view, ProxyType kind, HandshakeStep step);

// The n-th (1..4) dot-separated decimal number of `address`; 0 when the text
// has no such number or it is not a decimal number in 0..255.
std::uint8_t TargetOctet(int n, std::string_view address);

// RFC 4648 Base64 of the text's GBK bytes.
std::string Base64Encode(std::string_view text);
// The Base64 digits of `bytes`, without padding.
std::string Base64Groups(std::string_view bytes);
// The alphabet character for 0..63; empty for any other value.
std::string Base64Digit(int value);

// The messages, from the module state and the window's boxes.
Bytes Socks4Request(const Moduleproxy& m);
Bytes Socks5Greeting(int ticked);
// Empty when a name or password is longer than one length byte can say.
std::optional<Bytes> Socks5UserPass(const Moduleproxy& m);
Bytes Socks5Connect(const Moduleproxy& m);
std::string HttpConnectRequest(const std::string& host, const std::string& port, int ticked, const std::string& user,
                               const std::string& password);

}  // namespace mivo
