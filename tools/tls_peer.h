// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Loopback servers that speak TLS through the verifier's own TLS session
// (server side), for tests, the benchmark and the sample site.

#include <QHostAddress>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/test_certificates.h"
#include "verify/tls_channel.h"

class QTcpServer;
class QTcpSocket;

namespace mivo::sample {

class TlsPeerServer;

// One accepted connection: plain bytes until StartTls(), then TLS with the
// server's certificate.
class TlsPeerConnection : public QObject {
  Q_OBJECT

 public:
  TlsPeerConnection(TlsPeerServer& server, QTcpSocket* socket, bool tls);
  ~TlsPeerConnection() override;

  void Send(std::string_view bytes);  // encrypted once TLS is on
  // What follows is TLS; `early`: bytes of it that came with the last read.
  void StartTls(std::string_view early = {});
  // close_notify when TLS is on, then the connection; what arrives after is ignored.
  void Close();
  bool Tls() const { return tls_ != nullptr; }
  QHostAddress PeerAddress() const;
  quint16 PeerPort() const;

  std::string held;  // what the handler keeps between reads

 private:
  void Read();
  void Flush();

  TlsPeerServer& server_;
  QTcpSocket* socket_;
  std::unique_ptr<verify::TlsSession> tls_;
  bool opened_ = false;
  bool closing_ = false;
};

// Bytes that arrived (plaintext once TLS is on), for the connection to answer.
using PeerHandler = std::function<void(TlsPeerConnection&, std::string_view received)>;

class TlsPeerServer : public QObject {
  Q_OBJECT

 public:
  // `tlsFromStart`: every connection starts with the TLS handshake; else the
  // handler calls StartTls() when its protocol says so.
  TlsPeerServer(std::unique_ptr<verify::TlsContext> context, bool tlsFromStart, PeerHandler handler,
                QObject* parent = nullptr);
  ~TlsPeerServer() override;
  // A server presenting `certificate`; nothing, with `error` set, when it
  // cannot be used.
  static std::unique_ptr<TlsPeerServer> Make(const CertifiedKey& certificate, bool tlsFromStart, PeerHandler handler,
                                             std::string* error);

  // Loopback addresses only.
  bool Listen(const QHostAddress& address, quint16 port, std::string* error);
  quint16 Port() const;
  // TLS handshakes completed, and the last that failed with its reason.
  int Handshakes() const { return handshakes_; }
  const std::string& LastTlsError() const { return lastTlsError_; }

 private:
  friend class TlsPeerConnection;
  void Accept();

  std::unique_ptr<verify::TlsContext> context_;
  bool tlsFromStart_;
  PeerHandler handler_;
  QTcpServer* server_;
  int connections_ = 0;
  int handshakes_ = 0;
  std::string lastTlsError_;
};

// A TLS-intercepting HTTP CONNECT proxy: answers CONNECT with 200, then
// speaks TLS itself with `certificate` (as a man in the middle would) and
// answers any request inside with a page of its own. Nothing, with `error`
// set, when the certificate cannot be used.
std::unique_ptr<TlsPeerServer> MakeInterceptingProxy(const CertifiedKey& certificate, std::string* error);

// The page the intercepting proxy answers with.
inline constexpr std::string_view kInterceptedPage = "intercepted by the proxy";

// The request head (without its blank line) once `held` holds all of it;
// nothing while it does not.
std::optional<std::string_view> CompleteHead(const std::string& held);

// Request heads larger than this are refused.
inline constexpr std::size_t kMaxRequestHead = 16 * 1024;

}  // namespace mivo::sample
