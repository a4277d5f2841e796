#include "sample_site.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <charconv>

#include "common/gbk.h"

namespace mivo::sample {
namespace {

constexpr qsizetype kMaxRequestHead = 16 * 1024;
constexpr int kMaxHeldConnections = 1024;

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

QByteArray HttpResponse(const SampleSite::Response& response, bool withBody) {
  QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + Reason(response.status) + "\r\n";
  out += "Content-Type: text/html; charset=GBK\r\n";
  out += "Content-Length: " + QByteArray::number(static_cast<qulonglong>(response.body.size())) + "\r\n";
  out += "Connection: close\r\n\r\n";
  if (withBody) out += QByteArray::fromStdString(response.body);
  return out;
}

// A port nothing listens on right now, so that connections to it are refused.
quint16 FreedPort(const QHostAddress& address) {
  QTcpServer probe;
  if (!probe.listen(address, 0)) return 0;
  return probe.serverPort();
}

}  // namespace

bool IsLoopback(const QHostAddress& address) { return address.isLoopback(); }

// ----- ProxyListener -----

struct ProxyListener::Connection {
  QTcpSocket* socket;
  std::unique_ptr<ProxyConversation> conversation;
};

ProxyListener::ProxyListener(ProxyKind kind, ConversationFactory factory, QObject* parent)
    : QObject(parent), kind_(kind), factory_(std::move(factory)), server_(new QTcpServer(this)) {
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
    std::unique_ptr<ProxyConversation> conversation = factory_ ? factory_(kind_) : nullptr;
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

SampleSite::SampleSite(QObject* parent) : QObject(parent), server_(new QTcpServer(this)), pages_(SamplePages()) {
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
  StartListeners(options);
  return true;
}

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
      auto listener = std::make_unique<ProxyListener>(proxy.kind, factory_);
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

SampleSite::Response SampleSite::Answer(const std::string& method, const std::string& target) const {
  if (method != "GET" && method != "HEAD") return {405, SmallPage("405", "<h1>405 只接受 GET</h1>")};
  const QUrl url(QString::fromStdString(target));
  const std::string path = url.path().toStdString();
  for (const SamplePage& page : pages_) {
    if (page.path == path) return {200, ToGbk(ListPageText("代理列表 " + page.path, page.proxies))};
  }
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

void SampleSite::Serve(QTcpSocket* socket) {
  if (socket->property("answered").toBool()) {
    socket->readAll();
    return;
  }
  QByteArray head = socket->property("head").toByteArray() + socket->readAll();
  const qsizetype end = head.indexOf("\r\n\r\n");
  if (end < 0) {
    if (head.size() <= kMaxRequestHead) {
      socket->setProperty("head", head);
      return;
    }
    socket->write(HttpResponse({431, SmallPage("431", "<h1>431</h1>")}, true));
  } else {
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    Response response{400, SmallPage("400", "<h1>400</h1>")};
    std::string method;
    if (requestLine.size() == 3 && requestLine[2].startsWith("HTTP/")) {
      method = requestLine[0].toStdString();
      requests_.push_back(requestLine[1].toStdString());
      response = Answer(method, requestLine[1].toStdString());
    }
    socket->write(HttpResponse(response, method != "HEAD"));
  }
  socket->setProperty("answered", true);
  socket->setProperty("head", QVariant());
  socket->disconnectFromHost();
}

}  // namespace mivo::sample
