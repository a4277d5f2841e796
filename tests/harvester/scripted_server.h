// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <string>
#include <vector>

namespace mivo::test {

// A loopback HTTP peer that answers every request the way a test scripts it.
class ScriptedServer : public QObject {
 public:
  enum class Mode {
    Silent,   // accepts, reads, never answers
    Reply,    // answers with `response` and closes
    Trickle,  // answers with `response` in small pieces, one per timer tick
    Held,     // answers with `response` when Release() is called
    Endless,  // sends a header and then body bytes until the client goes
  };

  explicit ScriptedServer(Mode mode, QByteArray response = {}) : mode_(mode), response_(std::move(response)) {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
  }

  std::string Url(const std::string& path = "/list.html") const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
  }
  int Requests() const { return requests_; }
  // Connections still open from the client's side.
  int OpenConnections() const {
    int open = 0;
    for (const QPointer<QTcpSocket>& s : sockets_)
      if (s && s->state() == QAbstractSocket::ConnectedState) ++open;
    return open;
  }
  qint64 BytesSent() const { return sent_; }

  void Release() {
    released_ = true;
    for (const QPointer<QTcpSocket>& s : sockets_)
      if (s && s->property("asked").toBool()) Answer(s);
  }

  static QByteArray Page(int status, const QByteArray& body, const QByteArray& extraHeaders = {}) {
    return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
  }

 private:
  void Accept() {
    while (QTcpSocket* s = server_.nextPendingConnection()) {
      s->setParent(this);
      sockets_.emplace_back(s);
      connect(s, &QTcpSocket::readyRead, this, [this, s] { Read(s); });
    }
  }

  void Read(QTcpSocket* s) {
    const QByteArray head = s->property("head").toByteArray() + s->readAll();
    s->setProperty("head", head);
    if (s->property("asked").toBool() || !head.contains("\r\n\r\n")) return;
    s->setProperty("asked", true);
    ++requests_;
    if (mode_ == Mode::Held && !released_) return;
    Answer(s);
  }

  void Answer(QTcpSocket* s) {
    switch (mode_) {
      case Mode::Silent: return;
      case Mode::Reply:
      case Mode::Held:
        Send(s, response_);
        s->disconnectFromHost();
        return;
      case Mode::Trickle: TrickleNext(s, 0); return;
      case Mode::Endless:
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
        connect(s, &QTcpSocket::bytesWritten, this, [this, s] { Flood(s); });
        Flood(s);
        return;
    }
  }

  void TrickleNext(QTcpSocket* s, qsizetype from) {
    constexpr qsizetype kPiece = 64;
    if (from >= response_.size()) {
      s->disconnectFromHost();
      return;
    }
    Send(s, response_.mid(from, kPiece));
    QTimer::singleShot(20, s, [this, s, from] { TrickleNext(s, from + kPiece); });
  }

  void Flood(QTcpSocket* s) {
    if (s->state() != QAbstractSocket::ConnectedState || s->bytesToWrite() > (1 << 20)) return;
    Send(s, QByteArray(256 * 1024, 'x'));
  }

  void Send(QTcpSocket* s, const QByteArray& bytes) { sent_ += s->write(bytes); }

  Mode mode_;
  QByteArray response_;
  QTcpServer server_;
  std::vector<QPointer<QTcpSocket>> sockets_;
  int requests_ = 0;
  bool released_ = false;
  qint64 sent_ = 0;
};

}  // namespace mivo::test
