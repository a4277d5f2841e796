// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "sample_site.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <cctype>
#include <charconv>

#include "common/gbk.h"
#include "common/text.h"
#include "tools/sample_lists.h"

namespace mivo::sample {
namespace {

constexpr int kMaxHeldConnections = 1024;
constexpr qint64 kReadChunk = 64 * 1024;

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
  }
  return "Error";
}

// On one long line, so that it holds nothing a list parser would take for a row.
std::string SmallPage(const std::string& title, const std::string& body) {
  return ToGbk("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\"><title>" + title +
               "</title></head><body>" + body + "</body></html>\r\n");
}

std::string HttpResponse(const SampleSite::Response& response, bool withBody) {
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + ' ' + Reason(response.status) + "\r\n";
  out += "Content-Type: text/html; charset=GBK\r\n";
  out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  out += "Connection: close\r\n\r\n";
  if (withBody) out += response.body;
  return out;
}

// A port nothing listens on right now, so that connections to it are refused.
quint16 FreedPort(const QHostAddress& address) {
  QTcpServer probe;
  if (!probe.listen(address, 0)) return 0;
  return probe.serverPort();
}

}  // namespace

// ----- RelayConversation -----

RelayConversation::RelayConversation(std::unique_ptr<ProxyHandshake> handshake, QHostAddress source)
    : handshake_(std::move(handshake)), source_(std::move(source)) {}

RelayConversation::~RelayConversation() {
  if (target_) {
    target_->disconnect(this);
    target_->abort();
  }
}

void RelayConversation::Received(QTcpSocket& socket, const QByteArray& bytes) {
  if (!client_) handshake_->ClientIs(socket.peerAddress().toString().toStdString());
  client_ = &socket;
  Apply(handshake_->Received(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))));
}

void RelayConversation::Apply(const HandshakeTurn& turn) {
  if (!client_) return;
  if (!turn.reply.empty()) client_->write(turn.reply.data(), static_cast<qint64>(turn.reply.size()));
  if (!turn.toTarget.empty() && target_) {
    target_->write(turn.toTarget.data(), static_cast<qint64>(turn.toTarget.size()));
    if (target_->bytesToWrite() > kMaxPendingWrite) return CloseClient();
  }
  if (turn.open) Open(*turn.open);
  if (turn.close) CloseClient();
}

void RelayConversation::Open(const RelayTarget& target) {
  // The handshakes refuse other addresses already; this is the last word.
  if (!IsLoopback(target.address) || target_) return Apply(handshake_->TargetConnected(false));
  target_ = new QTcpSocket(this);
  target_->setReadBufferSize(kReadChunk);
  connect(target_, &QTcpSocket::connected, this, [this] { Apply(handshake_->TargetConnected(true)); });
  connect(target_, &QTcpSocket::readyRead, this, &RelayConversation::FromTarget);
  connect(target_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
    if (handshake_->Relaying()) return CloseClient();
    Apply(handshake_->TargetConnected(false));
  });
  connect(target_, &QTcpSocket::disconnected, this, &RelayConversation::CloseClient);
  // A source that cannot be bound is an error reported like a refused target.
  if (!source_.isNull() && source_.protocol() == target.address.protocol() && !target_->bind(source_))
    return Apply(handshake_->TargetConnected(false));
  target_->connectToHost(target.address, target.port);
}

void RelayConversation::FromTarget() {
  if (!client_ || !handshake_->Relaying()) return;
  client_->write(target_->readAll());
  if (client_->bytesToWrite() > kMaxPendingWrite) CloseClient();
}

void RelayConversation::CloseClient() {
  // Queued: closing may end the connection, and with it this conversation.
  if (client_) {
    QMetaObject::invokeMethod(
        client_.data(),
        [client = client_] {
          if (client) client->disconnectFromHost();
        },
        Qt::QueuedConnection);
  }
  if (target_) target_->disconnectFromHost();
}

std::unique_ptr<ProxyConversation> SpeakingConversation(const SampleProxy& proxy) {
  return std::make_unique<RelayConversation>(HandshakeFor(proxy), QHostAddress(QString::fromStdString(proxy.address)));
}

// ----- EchoServer -----

EchoServer::EchoServer(QObject* parent) : QObject(parent), server_(new QTcpServer(this)) {
  connect(server_, &QTcpServer::newConnection, this, [this] {
    while (QTcpSocket* c = server_->nextPendingConnection()) {
      c->setParent(this);
      if (connections_ >= kMaxHeldConnections) {
        c->abort();
        c->deleteLater();
        continue;
      }
      ++connections_;
      c->setReadBufferSize(kReadChunk);
      connect(c, &QTcpSocket::readyRead, c, [c] {
        c->write(c->readAll());
        if (c->bytesToWrite() > kMaxPendingWrite) c->abort();
      });
      connect(c, &QTcpSocket::disconnected, this, [this, c] {
        --connections_;
        c->deleteLater();
      });
    }
  });
}

bool EchoServer::Listen(quint16 port, std::string* error) {
  if (server_->listen(QHostAddress::LocalHost, port)) return true;
  if (error) *error = server_->errorString().toStdString();
  return false;
}

quint16 EchoServer::Port() const { return server_->serverPort(); }

// ----- ProxyListener -----

struct ProxyListener::Connection {
  QTcpSocket* socket;
  std::unique_ptr<ProxyConversation> conversation;
};

ProxyListener::ProxyListener(SampleProxy proxy, ConversationFactory factory, QObject* parent)
    : QObject(parent), proxy_(std::move(proxy)), factory_(std::move(factory)), server_(new QTcpServer(this)) {
  connect(server_, &QTcpServer::newConnection, this, &ProxyListener::Accept);
}

ProxyListener::~ProxyListener() = default;

bool ProxyListener::Listen(const QHostAddress& address, quint16 port, std::string* error) {
  if (server_->listen(address, port)) return true;
  if (error) *error = server_->errorString().toStdString();
  return false;
}

quint16 ProxyListener::Port() const { return server_->serverPort(); }

void ProxyListener::Accept() {
  while (QTcpSocket* socket = server_->nextPendingConnection()) {
    socket->setParent(this);
    if (connections_.size() >= static_cast<std::size_t>(kMaxHeldConnections)) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    socket->setReadBufferSize(kReadChunk);
    std::unique_ptr<ProxyConversation> conversation = factory_ ? factory_(proxy_) : nullptr;
    if (!conversation) conversation = std::make_unique<SilentConversation>();
    connections_.push_back(std::make_unique<Connection>(Connection{socket, std::move(conversation)}));
    ProxyConversation* talk = connections_.back()->conversation.get();
    connect(socket, &QTcpSocket::readyRead, this, [socket, talk] { talk->Received(*socket, socket->readAll()); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
  }
}

void ProxyListener::Drop(QTcpSocket* socket) {
  std::erase_if(connections_, [socket](const std::unique_ptr<Connection>& c) { return c->socket == socket; });
  socket->deleteLater();
}

// ----- SampleSite -----

SampleSite::SampleSite(QObject* parent)
    : QObject(parent), server_(new QTcpServer(this)), pages_(SamplePages()), echo_(new EchoServer(this)) {
  connect(server_, &QTcpServer::newConnection, this, &SampleSite::Accept);
}

SampleSite::~SampleSite() = default;

bool SampleSite::Start(const SampleSiteOptions& options, std::string* error) {
  if (!IsLoopback(options.address)) {
    if (error) *error = "the site serves on loopback addresses only";
    return false;
  }
  if (!server_->listen(options.address, options.port)) {
    if (error) *error = server_->errorString().toStdString();
    return false;
  }
  if (options.proxies) {
    std::string why;
    echoing_ = echo_->Listen(options.echoPort, &why);
    if (!echoing_) warnings_.push_back("echo 127.0.0.1:" + std::to_string(options.echoPort) + ": " + why);
  }
  StartListeners(options);
  if (options.httpsPort) return StartHttps(options, error);
  return true;
}

bool SampleSite::StartHttps(const SampleSiteOptions& options, std::string* error) {
  std::string why;
  const TestPki* pki = TestCertificates(&why);
  // The site's own address is named too, for a site on another loopback address.
  const std::optional<CertifiedKey> certificate =
      pki ? MakeServerCertificate(pki->ca, {"localhost"}, {"127.0.0.1", options.address.toString().toStdString()}, &why)
          : std::nullopt;
  if (certificate) https_ = MakeHttpsJudge(*certificate, &why);
  if (https_ && https_->Listen(options.address, *options.httpsPort, &why)) return true;
  https_.reset();
  if (error) *error = "https: " + why;
  return false;
}

quint16 SampleSite::HttpsPort() const { return https_ ? https_->Port() : 0; }

quint16 SampleSite::EchoPort() const { return echoing_ ? echo_->Port() : 0; }

void SampleSite::StartListeners(const SampleSiteOptions& options) {
  for (SamplePage& page : pages_) {
    for (SampleProxy& proxy : page.proxies) {
      const QHostAddress address(QString::fromStdString(proxy.address));
      if (!proxy.listening) {
        if (!options.fixedProxyPorts) {
          if (const quint16 port = FreedPort(address)) proxy.port = port;
        }
        continue;
      }
      if (!options.proxies) continue;
      auto listener = std::make_unique<ProxyListener>(proxy, factory_);
      std::string why;
      const quint16 port = options.fixedProxyPorts ? static_cast<quint16>(proxy.port) : 0;
      if (!listener->Listen(address, port, &why)) {
        warnings_.push_back(proxy.address + ":" + std::to_string(proxy.port) + ": " + why);
        continue;
      }
      proxy.port = listener->Port();
      listeners_.push_back(std::move(listener));
    }
  }
}

quint16 SampleSite::Port() const { return server_->serverPort(); }

std::string SampleSite::Origin() const {
  return "http://" + server_->serverAddress().toString().toStdString() + ":" + std::to_string(Port());
}

SampleSite::Response SampleSite::Judge(const std::string& method, const QHostAddress& peer, quint16 peerPort,
                                       std::string_view head) {
  if (method != "GET" && method != "HEAD") return {405, SmallPage("405", "<h1>405 只接受 GET</h1>")};
  std::string lines = "REMOTE_ADDR = " + peer.toString().toStdString() + "\r\n";
  lines += "REMOTE_PORT = " + std::to_string(peerPort) + "\r\n";
  lines += "REQUEST_METHOD = " + method + "\r\n";
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd != std::string_view::npos) {
    for (std::string_view line : Split(head.substr(lineEnd + 2), "\r\n")) {
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0) continue;
      std::string name = "HTTP_";
      for (char c : TrimSpaces(line.substr(0, colon)))
        name += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      lines += name + " = " + std::string(TrimSpaces(line.substr(colon + 1))) + "\r\n";
    }
  }
  // Each item on a line of its own, as judge pages print them.
  return {200, ToGbk("<html><head><title>judge</title></head><body><pre>\r\n" + lines + "</pre></body></html>\r\n")};
}

SampleSite::Response SampleSite::Answer(const std::string& method, const std::string& target) const {
  if (method != "GET" && method != "HEAD") return {405, SmallPage("405", "<h1>405 只接受 GET</h1>")};
  const QUrl url(QString::fromStdString(target));
  const std::string path = url.path().toStdString();
  for (const SamplePage& page : pages_) {
    if (page.path == path) return {200, ToGbk(ListPageText("代理列表 " + page.path, page.proxies))};
  }
  if (std::optional<ListAnswer> list = ListFor(pages_, path, QUrlQuery(url).queryItemValue("rows").toStdString()))
    return {list->status, std::move(list->body)};
  if (path == "/generated") {
    const std::string rows = QUrlQuery(url).queryItemValue("rows").toStdString();
    int n = -1;
    const auto [end, ec] = std::from_chars(rows.data(), rows.data() + rows.size(), n);
    if (ec != std::errc() || end != rows.data() + rows.size() || n < 0 || n > kMaxGeneratedRows)
      return {400, SmallPage("400", "<h1>400 rows 应为 0 到 " + std::to_string(kMaxGeneratedRows) + "</h1>")};
    return {200, ToGbk(GeneratedPageText(n))};
  }
  if (path == "/") {
    std::string links;
    for (const SamplePage& page : pages_) links += "<p><a href=\"" + page.path + "\">" + page.path + "</a></p>";
    return {200, SmallPage("代理列表", links)};
  }
  return {404, SmallPage("404", "<h1>404 页面不存在</h1>")};
}

void SampleSite::Accept() {
  while (QTcpSocket* socket = server_->nextPendingConnection()) {
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Serve(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  }
}

std::optional<std::string> SampleSite::Respond(const std::string& held, const QHostAddress& peer, quint16 peerPort,
                                               const PageAnswer& pages, std::string* target) {
  const std::optional<std::string_view> head = CompleteHead(held);
  if (!head) {
    if (held.size() <= kMaxRequestHead) return std::nullopt;
    return HttpResponse({431, SmallPage("431", "<h1>431</h1>")}, true);
  }
  const std::string_view line = head->substr(0, head->find("\r\n"));
  const std::vector<std::string_view> parts = Split(line, " ");
  if (parts.size() != 3 || !parts[2].starts_with("HTTP/"))
    return HttpResponse({400, SmallPage("400", "<h1>400</h1>")}, true);
  const std::string method(parts[0]);
  const std::string path(parts[1]);
  if (target) *target = path;
  const Response response = QUrl(QString::fromStdString(path)).path() == "/judge" ? Judge(method, peer, peerPort, *head)
                                                                                  : pages(method, path);
  return HttpResponse(response, method != "HEAD");
}

void SampleSite::Serve(QTcpSocket* socket) {
  if (socket->property("answered").toBool()) {
    socket->readAll();
    return;
  }
  const std::string held = socket->property("head").toByteArray().toStdString() + socket->readAll().toStdString();
  std::string target;
  const std::optional<std::string> response = Respond(
      held, socket->peerAddress(), socket->peerPort(),
      [this](const std::string& method, const std::string& t) { return Answer(method, t); }, &target);
  if (!response) {
    socket->setProperty("head", QByteArray::fromStdString(held));
    return;
  }
  if (!target.empty()) requests_.push_back(target);
  socket->write(response->data(), static_cast<qint64>(response->size()));
  socket->setProperty("answered", true);
  socket->setProperty("head", QVariant());
  socket->disconnectFromHost();
}

// ----- the HTTPS judge -----

std::unique_ptr<TlsPeerServer> MakeHttpsJudge(const CertifiedKey& certificate, std::string* error) {
  auto handler = [](TlsPeerConnection& c, std::string_view received) {
    c.held.append(received);
    const std::optional<std::string> response =
        SampleSite::Respond(c.held, c.PeerAddress(), c.PeerPort(),
                            [](const std::string& method, const std::string&) -> SampleSite::Response {
                              if (method != "GET" && method != "HEAD")
                                return {405, SmallPage("405", "<h1>405 只接受 GET</h1>")};
                              return {200, SmallPage("https", std::string(kHttpsPageText))};
                            });
    if (!response) return;
    c.Send(*response);
    c.Close();
  };
  return TlsPeerServer::Make(certificate, true, handler, error);
}

}  // namespace mivo::sample
