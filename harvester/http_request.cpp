// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "http_request.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <vector>

namespace mivo {
namespace {

// A request a download gave up on keeps running on its own, as the download
// leaves it, but not for ever: it ends when the server stays silent this
// long, or at the latest after the lifetime below.
constexpr int kIdleLimitMs = 30'000;
constexpr int kAbandonedLifetimeMs = 60'000;
// How far the network side may read ahead of us; beyond it the transfer
// waits, so a flood cannot pile up in buffers between two reads.
constexpr qint64 kReadAheadBytes = 1 << 20;

bool UsableUrl(const QUrl& url) {
  if (!url.isValid() || url.host().isEmpty()) return false;
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QUrl PageUrl(const std::string& address) { return QUrl(QString::fromStdString(address)); }

// An error status still comes with the server's page, which is kept; a
// failure of the transfer itself (refused, reset, cut short, too many
// redirects) leaves a body that cannot be trusted.
bool BodyIsUsable(const QNetworkReply& reply) {
  if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) return false;
  const int error = reply.error();
  if (error == QNetworkReply::NoError) return true;
  return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
         (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

struct AbandonedRequest {
  QPointer<QNetworkAccessManager> manager;
  QPointer<QNetworkReply> reply;
};

std::vector<AbandonedRequest>& Abandoned() {
  static std::vector<AbandonedRequest> requests;
  return requests;
}

class NetworkHttpRequest final : public HttpRequest {
 public:
  NetworkHttpRequest() : manager_(std::make_unique<QNetworkAccessManager>()), context_(std::make_unique<QObject>()) {}

  ~NetworkHttpRequest() override {
    context_.reset();  // no more calls into this object
    if (reply_ && !reply_->isFinished()) Abandon();
  }

  bool Open(const std::string& method, const std::string& address, bool async) override {
    if (state_ != kHttpUninitialized || !async || method.empty()) return false;
    const QUrl url = PageUrl(address);
    if (!UsableUrl(url)) return false;
    request_ = QNetworkRequest(url);
    request_.setTransferTimeout(kIdleLimitMs);
    method_ = QByteArray::fromStdString(method);
    state_ = kHttpOpen;
    return true;
  }

  void send() override {
    if (state_ != kHttpOpen) return;
    state_ = kHttpSent;
    reply_ = method_ == "GET" ? manager_->get(request_) : manager_->sendCustomRequest(request_, method_);
    reply_->setReadBufferSize(kReadAheadBytes);
    QObject::connect(reply_, &QNetworkReply::metaDataChanged, context_.get(), [this] { Receiving(); });
    QObject::connect(reply_, &QNetworkReply::readyRead, context_.get(), [this] { Read(); });
    QObject::connect(reply_, &QNetworkReply::finished, context_.get(), [this] { Finished(); });
  }

  int ReadyState() const override { return state_; }

  std::string_view ResponseBody() const override {
    return state_ == kHttpComplete ? std::string_view(body_.constData(), static_cast<std::size_t>(body_.size()))
                                   : std::string_view();
  }
  bool TooLarge() const override { return overflow_; }
  std::size_t BytesArrived() const override { return static_cast<std::size_t>(body_.size()); }
  std::size_t BytesAnnounced() const override { return announced_; }

 private:
  void Receiving() {
    if (state_ != kHttpSent) return;
    state_ = kHttpReceiving;
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid()) announced_ = static_cast<std::size_t>(std::max<qlonglong>(0, length.toLongLong()));
  }

  void Read() {
    Receiving();
    if (overflow_) return;
    body_.append(reply_->readAll());
    if (static_cast<std::size_t>(body_.size()) > kMaxResponseBody) {
      overflow_ = true;
      body_.clear();
      reply_->abort();  // finishes the request
    }
  }

  void Finished() {
    if (state_ == kHttpComplete) return;
    if (!overflow_) body_.append(reply_->readAll());
    if (static_cast<std::size_t>(body_.size()) > kMaxResponseBody) overflow_ = true;
    if (overflow_ || !BodyIsUsable(*reply_)) body_.clear();
    state_ = kHttpComplete;
  }

  // Hands the running request over to itself: the manager lives until the
  // request ends and then goes, and what still arrives is thrown away.
  void Abandon() {
    QNetworkAccessManager* manager = manager_.release();
    manager->setParent(QCoreApplication::instance());  // gone at exit at the latest
    QNetworkReply* reply = reply_;
    QObject::connect(reply, &QNetworkReply::readyRead, manager, [reply] { reply->skip(reply->bytesAvailable()); });
    QObject::connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
    QTimer::singleShot(kAbandonedLifetimeMs, manager, [reply = QPointer<QNetworkReply>(reply)] {
      if (reply) reply->abort();
    });
    if (reply->bytesAvailable() > 0) reply->skip(reply->bytesAvailable());
    std::erase_if(Abandoned(), [](const AbandonedRequest& r) { return !r.manager; });
    Abandoned().push_back({manager, reply});
  }

  std::unique_ptr<QNetworkAccessManager> manager_;
  std::unique_ptr<QObject> context_;  // receiver of the reply's signals
  QNetworkRequest request_;
  QByteArray method_;
  QPointer<QNetworkReply> reply_;
  QByteArray body_;
  std::size_t announced_ = 0;
  bool overflow_ = false;
  int state_ = kHttpUninitialized;
};

HttpRequestFactory& Factory() {
  static HttpRequestFactory factory;
  return factory;
}

}  // namespace

bool IsUsablePageAddress(const std::string& address) { return UsableUrl(PageUrl(address)); }

std::unique_ptr<HttpRequest> CreateNetworkHttpRequest() {
  if (!QCoreApplication::instance()) return nullptr;
  return std::make_unique<NetworkHttpRequest>();
}

std::unique_ptr<HttpRequest> CreateHttpRequest() { return Factory() ? Factory()() : CreateNetworkHttpRequest(); }

int AbandonedHttpRequests() {
  int running = 0;
  for (const AbandonedRequest& r : Abandoned())
    if (r.manager && r.reply && !r.reply->isFinished()) ++running;
  return running;
}

void EndAbandonedHttpRequests() {
  std::vector<AbandonedRequest> requests = std::move(Abandoned());
  Abandoned().clear();
  for (AbandonedRequest& r : requests) delete r.manager.data();
}

HttpRequestFactory SetHttpRequestFactory(HttpRequestFactory factory) {
  HttpRequestFactory previous = std::move(Factory());
  Factory() = std::move(factory);
  return previous;
}

}  // namespace mivo
