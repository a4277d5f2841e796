// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Real proxy servers and a target server on loopback, started by the tests.

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "tests/support/wait.h"

namespace mivo::test {

struct Endpoint {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string user;
  std::string password;
};

// "host:port" or "host:port:user:password" from the environment, when set.
inline std::optional<Endpoint> EndpointFromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  const std::vector<std::string_view> parts = Split(value, ":");
  if (parts.size() != 2 && parts.size() != 4) return std::nullopt;
  Endpoint e;
  e.host = std::string(parts[0]);
  e.port = std::atoi(std::string(parts[1]).c_str());
  if (parts.size() == 4) {
    e.user = std::string(parts[2]);
    e.password = std::string(parts[3]);
  }
  return e;
}

// A port nobody listens on right now.
inline int FreeLoopbackPort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
  return probe.serverPort();
}

inline bool AcceptsConnections(int port) {
  QTcpSocket s;
  s.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
  const bool up =
      WaitUntil(
          [&] {
            return s.state() == QAbstractSocket::ConnectedState || s.state() == QAbstractSocket::UnconnectedState;
          },
          2000) &&
      s.state() == QAbstractSocket::ConnectedState;
  s.abort();
  return up;
}

// Sends back every byte it receives, on as many connections as come.
class EchoServer {
 public:
  EchoServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* c = server_.nextPendingConnection()) {
        ++accepted;
        ++open;
        QObject::connect(c, &QTcpSocket::readyRead, c, [c] { c->write(c->readAll()); });
        QObject::connect(c, &QTcpSocket::disconnected, c, [this, c] {
          --open;
          c->deleteLater();
        });
      }
    });
  }
  int Port() const { return server_.serverPort(); }
  int accepted = 0;
  int open = 0;  // connections whose peer has not closed yet

 private:
  QTcpServer server_;
};

// A proxy process that lives as long as this object.
class ProxyProcess {
 public:
  ~ProxyProcess() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }

  // Starts `program` and waits until it accepts connections on `port`.
  bool Start(const QString& program, const QStringList& args, int port) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, args);
    if (!process_.waitForStarted(5000)) return false;
    return WaitUntil([&] { return process_.state() != QProcess::Running || AcceptsConnections(port); }, 10000) &&
           process_.state() == QProcess::Running;
  }
  const QTemporaryDir& Dir() const { return dir_; }

 private:
  QProcess process_;
  QTemporaryDir dir_;
};

// microsocks on a free loopback port, with or without user / password;
// connecting out from `outgoing` when it is given.
inline std::unique_ptr<ProxyProcess> StartMicrosocks(Endpoint& e, const std::string& outgoing = {}) {
  e.port = FreeLoopbackPort();
  QStringList args{"-i", "127.0.0.1", "-p", QString::number(e.port)};
  if (!e.user.empty()) args << "-u" << QString::fromStdString(e.user) << "-P" << QString::fromStdString(e.password);
  if (!outgoing.empty()) args << "-b" << QString::fromStdString(outgoing);
  auto p = std::make_unique<ProxyProcess>();
  if (!p->Start("microsocks", args, e.port)) return nullptr;
  return p;
}

// tinyproxy in the foreground on a free loopback port, letting CONNECT reach
// only `targetPort`, with Basic credentials when `e` has a user; connecting
// out from `outgoing` when it is given.
inline std::unique_ptr<ProxyProcess> StartTinyproxy(Endpoint& e, int targetPort, const std::string& outgoing = {}) {
  e.port = FreeLoopbackPort();
  auto p = std::make_unique<ProxyProcess>();
  const QString conf = p->Dir().filePath("tinyproxy.conf");
  QFile f(conf);
  if (!f.open(QIODevice::WriteOnly)) return nullptr;
  QString text = QString(
                     "Port %1\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nConnectPort %2\nMaxClients 20\n"
                     "LogLevel Info\nLogFile \"%3\"\n")
                     .arg(e.port)
                     .arg(targetPort)
                     .arg(p->Dir().filePath("tinyproxy.log"));
  if (!e.user.empty())
    text += QString("BasicAuth %1 %2\n").arg(QString::fromStdString(e.user), QString::fromStdString(e.password));
  if (!outgoing.empty()) text += QString("Bind %1\n").arg(QString::fromStdString(outgoing));
  f.write(text.toUtf8());
  f.close();
  if (!p->Start("tinyproxy", {"-d", "-c", conf}, e.port)) return nullptr;
  return p;
}

}  // namespace mivo::test
