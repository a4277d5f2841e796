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

class ProxyHandshake {
 public:
  virtual ~ProxyHandshake() = default;
  virtual HandshakeTurn Received(std::string_view bytes) = 0;
  // The outcome of the connection asked for by `open`.
  virtual HandshakeTurn TargetConnected(bool ok) = 0;
  virtual bool Relaying() const = 0;
  virtual bool Closed() const = 0;
  // The address the client connects from, for a proxy that passes it on.
  virtual void ClientIs(const std::string& address) { (void)address; }
};

// SOCKS4 CONNECT to an IPv4 target; the user id is read and ignored.
class Socks4Handshake final : public ProxyHandshake {
 public:
  enum class Step { Request, Connecting, Relaying, Closed };

  HandshakeTurn Received(std::string_view bytes) override;
  HandshakeTurn TargetConnected(bool ok) override;
  bool Relaying() const override { return step_ == Step::Relaying; }
  bool Closed() const override { return step_ == Step::Closed; }
  Step Current() const { return step_; }

 private:
  Step DoRequest(HandshakeTurn& turn);
  // The one place the step changes.
  void Enter(Step next, HandshakeTurn& turn);
  void Run(HandshakeTurn& turn);

  Step step_ = Step::Request;
  std::string in_;
  RelayTarget target_;
};

// SOCKS5 CONNECT; with `credentials` only user name / password (method 02)
// is accepted, otherwise only no authentication (method 00).
class Socks5Handshake final : public ProxyHandshake {
 public:
  enum class Step { Greeting, Credentials, Request, Connecting, Relaying, Closed };

  explicit Socks5Handshake(bool credentials) : credentials_(credentials) {}
  HandshakeTurn Received(std::string_view bytes) override;
  HandshakeTurn TargetConnected(bool ok) override;
  bool Relaying() const override { return step_ == Step::Relaying; }
  bool Closed() const override { return step_ == Step::Closed; }
  Step Current() const { return step_; }

 private:
  Step DoGreeting(HandshakeTurn& turn);
  Step DoCredentials(HandshakeTurn& turn);
  Step DoRequest(HandshakeTurn& turn);
  // The one place the step changes.
  void Enter(Step next, HandshakeTurn& turn);
  void Run(HandshakeTurn& turn);

  bool credentials_;
  Step step_ = Step::Greeting;
  std::string in_;
};

// HTTP CONNECT, and GET in absolute form ("GET http://host:port/path"),
// which is passed on to the target with its path alone, then relayed; with
// `credentials` a Proxy-Authorization header carrying the sample user and
// password in Basic form is required (407 otherwise). `disclosure` says what
// a passed-on GET gains.
class HttpConnectHandshake final : public ProxyHandshake {
 public:
  enum class Step { Head, Connecting, Relaying, Closed };

  explicit HttpConnectHandshake(bool credentials, Disclosure disclosure = Disclosure::None)
      : credentials_(credentials), disclosure_(disclosure) {}
  HandshakeTurn Received(std::string_view bytes) override;
  HandshakeTurn TargetConnected(bool ok) override;
  bool Relaying() const override { return step_ == Step::Relaying; }
  bool Closed() const override { return step_ == Step::Closed; }
  void ClientIs(const std::string& address) override { client_ = address; }
  Step Current() const { return step_; }

 private:
  Step DoHead(HandshakeTurn& turn);
  // The one place the step changes.
  void Enter(Step next, HandshakeTurn& turn);
  void Run(HandshakeTurn& turn);
  // The head of a GET as the target gets it.
  std::string ForwardedHead(std::string_view head, std::string_view path, std::string_view version) const;

  bool credentials_;
  Disclosure disclosure_;
  bool forwarding_ = false;  // a GET is being passed on, not a tunnel opened
  std::string client_;
  Step step_ = Step::Head;
  std::string in_;
};

// Whether `address` is a loopback address (127.0.0.0/8 or ::1): the only
// addresses the site ever connects to.
bool IsLoopback(const QHostAddress& address);

// The handshake a listed proxy speaks.
std::unique_ptr<ProxyHandshake> HandshakeFor(const SampleProxy& proxy);

}  // namespace mivo::sample
