// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The server side of the listed proxies' protocols: bytes from the client in,
// bytes for the client out. No socket here; the site's relay owns those.

#include <QHostAddress>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/sample_pages.h"

namespace mivo::sample {

inline constexpr const char* kSampleUser = "mivo";
inline constexpr const char* kSamplePassword = "proxy";

// Handshake bytes a client may send before its request is complete; more is
// refused. Bytes sent ahead of the tunnel are held up to the same size.
inline constexpr std::size_t kMaxHandshakeBytes = 8 * 1024;
inline constexpr std::size_t kMaxEarlyBytes = 64 * 1024;

struct RelayTarget {
  QHostAddress address;
  quint16 port = 0;
};

// What one step asks of the relay, applied in this order.
struct HandshakeTurn {
  std::string reply;                // to the client
  std::string toTarget;             // to the target, once the tunnel is open
  std::optional<RelayTarget> open;  // connect to this target, then report back
  bool close = false;               // close the client once `reply` is out
};

// The steps of the listed proxies' handshakes; each protocol reads its
// request in the steps it needs and shares the rest.
enum class ServerStep {
  Greeting,     // SOCKS5: the methods offered
  Credentials,  // SOCKS5: user name and password
  Request,      // SOCKS4, SOCKS5: CONNECT
  Head,         // HTTP: the request's head
  Connecting,   // waiting for the target; bytes that come early are held
  Relaying,
  Closed,
};

// One machine for every protocol: bytes come in, each step runs until it
// waits for more, and the step changes in one place.
class ProxyHandshake {
 public:
  using Step = ServerStep;

  virtual ~ProxyHandshake() = default;
  HandshakeTurn Received(std::string_view bytes);
  // The outcome of the connection asked for by `open`.
  HandshakeTurn TargetConnected(bool ok);
  bool Relaying() const { return step_ == Step::Relaying; }
  bool Closed() const { return step_ == Step::Closed; }
  Step Current() const { return step_; }
  // The address the client connects from, for a proxy that passes it on.
  virtual void ClientIs(const std::string& address) { (void)address; }

 protected:
  explicit ProxyHandshake(Step first) : step_(first) {}
  // The protocol's own step over `in_`: the step to go to, or the current one
  // while its bytes are not all in.
  virtual Step Advance(HandshakeTurn& turn) = 0;
  // The reply that tells the client how the connection to the target went.
  virtual std::string Answer(bool ok) const = 0;

  std::string in_;  // bytes received and not yet used

 private:
  void Run(HandshakeTurn& turn);
  // The one place the step changes.
  void Enter(Step next, HandshakeTurn& turn);

  Step step_;
};

// SOCKS4 CONNECT to an IPv4 target; the user id is read and ignored.
class Socks4Handshake final : public ProxyHandshake {
 public:
  Socks4Handshake() : ProxyHandshake(Step::Request) {}

 private:
  Step Advance(HandshakeTurn& turn) override;
  std::string Answer(bool ok) const override;

  RelayTarget target_;
};

// SOCKS5 CONNECT; with `credentials` only user name / password (method 02)
// is accepted, otherwise only no authentication (method 00).
class Socks5Handshake final : public ProxyHandshake {
 public:
  explicit Socks5Handshake(bool credentials) : ProxyHandshake(Step::Greeting), credentials_(credentials) {}

 private:
  Step Advance(HandshakeTurn& turn) override;
  std::string Answer(bool ok) const override;
  Step DoGreeting(HandshakeTurn& turn);
  Step DoCredentials(HandshakeTurn& turn);
  Step DoRequest(HandshakeTurn& turn);

  bool credentials_;
};

// HTTP CONNECT, and GET in absolute form ("GET http://host:port/path"),
// which is passed on to the target with its path alone, then relayed; with
// `credentials` a Proxy-Authorization header carrying the sample user and
// password in Basic form is required (407 otherwise). `disclosure` says what
// a passed-on GET gains.
class HttpConnectHandshake final : public ProxyHandshake {
 public:
  explicit HttpConnectHandshake(bool credentials, Disclosure disclosure = Disclosure::None)
      : ProxyHandshake(Step::Head), credentials_(credentials), disclosure_(disclosure) {}
  void ClientIs(const std::string& address) override { client_ = address; }

 private:
  Step Advance(HandshakeTurn& turn) override;
  std::string Answer(bool ok) const override;
  // The head of a GET as the target gets it.
  std::string ForwardedHead(std::string_view head, std::string_view path, std::string_view version) const;

  bool credentials_;
  Disclosure disclosure_;
  bool forwarding_ = false;  // a GET is being passed on, not a tunnel opened
  std::string client_;
};

// Whether `address` is a loopback address (127.0.0.0/8 or ::1): the only
// addresses the site ever connects to.
bool IsLoopback(const QHostAddress& address);

// The handshake a listed proxy speaks.
std::unique_ptr<ProxyHandshake> HandshakeFor(const SampleProxy& proxy);

}  // namespace mivo::sample
