// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tools/tls_peer.h"

#include <QTcpServer>
#include <QTcpSocket>

#include "tools/proxy_handshakes.h"

namespace mivo::sample {
namespace {

constexpr int kMaxConnections = 1024;
constexpr qint64 kReadChunk = 64 * 1024;

}  // namespace

std::optional<std::string_view> CompleteHead(const std::string& held) {
  const std::size_t end = held.find("\r\n\r\n");
  if (end == std::string::npos) return std::nullopt;
  return std::string_view(held).substr(0, end);
}

// ----- TlsPeerConnection -----

TlsPeerConnection::TlsPeerConnection(TlsPeerServer& server, QTcpSocket* socket, bool tls)
    : QObject(&server), server_(server), socket_(socket) {
  socket_->setParent(this);
  socket_->setReadBufferSize(kReadChunk);
  connect(socket_, &QTcpSocket::readyRead, this, &TlsPeerConnection::Read);
  connect(socket_, &QTcpSocket::disconnected, this, [this] {
    --server_.connections_;
    deleteLater();
  });
  if (tls) StartTls();
}

TlsPeerConnection::~TlsPeerConnection() = default;

QHostAddress TlsPeerConnection::PeerAddress() const { return socket_->peerAddress(); }
quint16 TlsPeerConnection::PeerPort() const { return socket_->peerPort(); }

void TlsPeerConnection::StartTls(std::string_view early) {
  if (tls_) return;
  tls_ = std::make_unique<verify::TlsSession>(*server_.context_, std::string());
  tls_->Start();
  if (!early.empty()) tls_->Feed(early);
  Flush();
}

void TlsPeerConnection::Send(std::string_view bytes) {
  if (!tls_) {
    socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    return;
  }
  tls_->Write(bytes);
  Flush();
}

void TlsPeerConnection::Close() {
  if (closing_) return;
  closing_ = true;
  if (tls_) {
    tls_->Close();
    Flush();
  }
  socket_->disconnectFromHost();
}

void TlsPeerConnection::Read() {
  const QByteArray bytes = socket_->readAll();
  if (closing_) return;
  const std::string_view received(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  if (!tls_) return server_.handler_(*this, received);
  tls_->Feed(received);
  Flush();
  if (tls_->state() == verify::TlsSession::State::Failed) {
    server_.lastTlsError_ = tls_->error();
    socket_->abort();
    return;
  }
  if (!opened_ && tls_->state() != verify::TlsSession::State::Handshaking) {
    opened_ = true;
    ++server_.handshakes_;
  }
  const std::string plaintext = tls_->TakePlaintext();
  if (!plaintext.empty()) server_.handler_(*this, plaintext);
  if (tls_ && tls_->state() == verify::TlsSession::State::Closed) socket_->disconnectFromHost();
}

void TlsPeerConnection::Flush() {
  const std::string out = tls_->TakeOutgoing();
  if (!out.empty()) socket_->write(out.data(), static_cast<qint64>(out.size()));
}

// ----- TlsPeerServer -----

TlsPeerServer::TlsPeerServer(std::unique_ptr<verify::TlsContext> context, bool tlsFromStart, PeerHandler handler,
                             QObject* parent)
    : QObject(parent),
      context_(std::move(context)),
      tlsFromStart_(tlsFromStart),
      handler_(std::move(handler)),
      server_(new QTcpServer(this)) {
  connect(server_, &QTcpServer::newConnection, this, &TlsPeerServer::Accept);
}

TlsPeerServer::~TlsPeerServer() = default;

bool TlsPeerServer::Listen(const QHostAddress& address, quint16 port, std::string* error) {
  if (!IsLoopback(address)) {
    if (error) *error = "TLS peers listen on loopback addresses only";
    return false;
  }
  if (server_->listen(address, port)) return true;
  if (error) *error = server_->errorString().toStdString();
  return false;
}

std::unique_ptr<TlsPeerServer> TlsPeerServer::Make(const CertifiedKey& certificate, bool tlsFromStart,
                                                   PeerHandler handler, std::string* error) {
  std::string why;
  std::unique_ptr<verify::TlsContext> context =
      verify::TlsContext::MakeServer(certificate.certPem, certificate.keyPem, why);
  if (!context) {
    if (error) *error = why;
    return nullptr;
  }
  return std::make_unique<TlsPeerServer>(std::move(context), tlsFromStart, std::move(handler));
}

quint16 TlsPeerServer::Port() const { return server_->serverPort(); }

void TlsPeerServer::Accept() {
  while (QTcpSocket* socket = server_->nextPendingConnection()) {
    if (connections_ >= kMaxConnections) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    ++connections_;
    new TlsPeerConnection(*this, socket, tlsFromStart_);
  }
}

// ----- the intercepting proxy -----

std::unique_ptr<TlsPeerServer> MakeInterceptingProxy(const CertifiedKey& certificate, std::string* error) {
  auto handler = [](TlsPeerConnection& c, std::string_view received) {
    c.held.append(received);
    const std::optional<std::string_view> head = CompleteHead(c.held);
    if (!head) {
      if (c.held.size() > kMaxRequestHead) c.Close();
      return;
    }
    if (c.Tls()) {
      c.held.clear();
      c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
             std::to_string(kInterceptedPage.size()) + "\r\nConnection: close\r\n\r\n" + std::string(kInterceptedPage));
      return c.Close();
    }
    if (!head->starts_with("CONNECT ")) {
      c.Send("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return c.Close();
    }
    const std::string early = c.held.substr(head->size() + 4);
    c.held.clear();
    c.Send("HTTP/1.1 200 Connection established\r\n\r\n");
    c.StartTls(early);
  };
  return TlsPeerServer::Make(certificate, false, handler, error);
}

}  // namespace mivo::sample
