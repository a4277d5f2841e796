// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/proxy_handshakes.h"
#include "tools/sample_pages.h"
#include "tools/tls_peer.h"

class QTcpServer;

namespace mivo::sample {

// Talks on one connection accepted by a listed proxy's listener.
class ProxyConversation {
 public:
  virtual ~ProxyConversation() = default;
  virtual void Received(QTcpSocket& socket, const QByteArray& bytes) = 0;
};

// Accepts and holds: reads what the client sends and never answers.
class SilentConversation final : public ProxyConversation {
 public:
  void Received(QTcpSocket&, const QByteArray&) override {}
};

// Speaks the listed proxy's handshake, then relays between the client and
// the loopback target it asked for, in both directions. Connections to the
// target go out from `source` when it is given (the listed proxy's own
// address), so that the target sees the proxy, not the client.
class RelayConversation final : public QObject, public ProxyConversation {
  Q_OBJECT

 public:
  explicit RelayConversation(std::unique_ptr<ProxyHandshake> handshake, QHostAddress source = {});
  ~RelayConversation() override;
  void Received(QTcpSocket& socket, const QByteArray& bytes) override;

 private:
  void Apply(const HandshakeTurn& turn);
  void Open(const RelayTarget& target);
  void FromTarget();
  void CloseClient();

  std::unique_ptr<ProxyHandshake> handshake_;
  QHostAddress source_;
  QPointer<QTcpSocket> client_;
  QTcpSocket* target_ = nullptr;
};

// A peer that leaves more than this unread behind a relay or the echo
// server is cut off.
inline constexpr qint64 kMaxPendingWrite = 1024 * 1024;

using ConversationFactory = std::function<std::unique_ptr<ProxyConversation>(const SampleProxy&)>;

// The conversation a listed proxy holds: its protocol, relayed.
std::unique_ptr<ProxyConversation> SpeakingConversation(const SampleProxy& proxy);

// Listens for one listed proxy and gives each connection its conversation.
class ProxyListener : public QObject {
  Q_OBJECT

 public:
  ProxyListener(SampleProxy proxy, ConversationFactory factory, QObject* parent = nullptr);
  ~ProxyListener() override;

  bool Listen(const QHostAddress& address, quint16 port, std::string* error);
  quint16 Port() const;
  int Connections() const { return static_cast<int>(connections_.size()); }

 private:
  struct Connection;
  void Accept();
  void Drop(QTcpSocket* socket);

  SampleProxy proxy_;
  ConversationFactory factory_;
  QTcpServer* server_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

struct SampleSiteOptions {
  QHostAddress address{QHostAddress::LocalHost};
  quint16 port = 8086;  // 0: any free port
  bool proxies = true;  // run the listeners of the listed proxies
  // false: the listeners take any free port (and the refusing entries a port
  // just freed), and the pages list the ports in use; for running beside
  // another copy of the site.
  bool fixedProxyPorts = true;
  // The echo server the proxies' tunnels lead to, on 127.0.0.1; 0: any free port.
  quint16 echoPort = 7007;
  // The HTTPS judge on `address` with a certificate from the process's test
  // CA (TestCertificates()); nothing: off, 0: any free port.
  std::optional<quint16> httpsPort;

  // Every port free-chosen: for a site that runs beside other copies, as in tests.
  static SampleSiteOptions AnyFreePorts() {
    SampleSiteOptions o;
    o.port = 0;
    o.fixedProxyPorts = false;
    o.echoPort = 0;
    return o;
  }
};

// Sends back every byte it receives; the target the sample proxies reach.
class EchoServer : public QObject {
  Q_OBJECT

 public:
  explicit EchoServer(QObject* parent = nullptr);
  bool Listen(quint16 port, std::string* error);
  quint16 Port() const;

 private:
  QTcpServer* server_;
  int connections_ = 0;
};

// The sample list site: the twelve list pages, generated pages of N rows
// (/generated?rows=N), an index at / and a 404 page for everything else,
// all in GBK; and the loopback listeners of the proxies the pages list.
class SampleSite : public QObject {
  Q_OBJECT

 public:
  explicit SampleSite(QObject* parent = nullptr);
  ~SampleSite() override;

  // False, with the reason in `error`, when the site cannot listen. A listed
  // proxy whose listener cannot bind is only reported in `warnings`.
  bool Start(const SampleSiteOptions& options, std::string* error);
  quint16 Port() const;
  std::string Origin() const;  // http://address:port
  quint16 HttpsPort() const;   // 0 when off

  // The pages as served, with the ports in use.
  const std::vector<SamplePage>& Pages() const { return pages_; }
  const std::vector<std::string>& Warnings() const { return warnings_; }
  // Request targets in the order they arrived.
  const std::vector<std::string>& Requests() const { return requests_; }
  const std::vector<std::unique_ptr<ProxyListener>>& Listeners() const { return listeners_; }
  // 0 when the echo server could not listen (see Warnings).
  quint16 EchoPort() const;

  void SetConversationFactory(ConversationFactory factory) { factory_ = std::move(factory); }

  struct Response {
    int status = 200;
    std::string body;  // GBK
  };
  // What the site answers for a request target such as /proxy1.html.
  Response Answer(const std::string& method, const std::string& target) const;
  // The proxy judge at /judge: the request as it arrived, one "NAME = value"
  // line per item: REMOTE_ADDR, REMOTE_PORT, REQUEST_METHOD, then HTTP_<NAME>
  // for each header of `head` (the request without its blank line).
  static Response Judge(const std::string& method, const QHostAddress& peer, quint16 peerPort, std::string_view head);

  using PageAnswer = std::function<Response(const std::string& method, const std::string& target)>;
  // The site's answer to one request of which `held` has arrived: nothing
  // while its head is incomplete, else the response as sent (Connection:
  // close), the judge at /judge and `pages` for other targets. `target` gets
  // the request target when the request line could be read.
  static std::optional<std::string> Respond(const std::string& held, const QHostAddress& peer, quint16 peerPort,
                                            const PageAnswer& pages, std::string* target = nullptr);

 private:
  struct Client;
  void Accept();
  void Serve(QTcpSocket* socket);
  void StartListeners(const SampleSiteOptions& options);
  bool StartHttps(const SampleSiteOptions& options, std::string* error);

  QTcpServer* server_;
  std::vector<SamplePage> pages_;
  std::vector<std::string> warnings_;
  std::vector<std::string> requests_;
  std::vector<std::unique_ptr<ProxyListener>> listeners_;
  ConversationFactory factory_ = SpeakingConversation;
  EchoServer* echo_;
  bool echoing_ = false;
  std::unique_ptr<TlsPeerServer> https_;
};

// The body text of the HTTPS judge's pages other than /judge.
inline constexpr std::string_view kHttpsPageText = "mivoproxy https sample";

// An HTTPS server presenting `certificate`: /judge answered as the site's
// judge, any other GET with a small 200 page. Nothing, with `error` set, when
// the certificate cannot be used.
std::unique_ptr<TlsPeerServer> MakeHttpsJudge(const CertifiedKey& certificate, std::string* error);

}  // namespace mivo::sample
