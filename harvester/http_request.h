// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace mivo {

// ReadyState values of the request object.
enum HttpReadyState : int {
  kHttpUninitialized = 0,
  kHttpOpen = 1,
  kHttpSent = 2,
  kHttpReceiving = 3,
  kHttpComplete = 4,
};

// A body larger than this is not kept: the request ends complete with an
// empty body, so an endless or runaway response cannot eat the memory. A
// list page of 300,000 rows is about 46 MB.
inline constexpr std::size_t kMaxResponseBody = 64u << 20;

// The HTTP request object a page download uses, one per download.
class HttpRequest {
 public:
  virtual ~HttpRequest() = default;

  // Prepares a request; false when the address cannot be used (empty, no
  // http or https scheme, no host, unparseable) or the call is synchronous.
  virtual bool Open(const std::string& method, const std::string& address, bool async) = 0;
  // Starts the prepared request and returns at once.
  virtual void send() = 0;
  virtual int ReadyState() const = 0;
  // The body bytes once complete; empty when nothing usable arrived. Valid
  // while the request lives: a page of many megabytes is not copied.
  virtual std::string_view ResponseBody() const = 0;
  // Whether the body was dropped for being over kMaxResponseBody.
  virtual bool TooLarge() const { return false; }
  // Body bytes arrived so far, and how many the answer announced (0 when
  // it announced none): what a progress bar shows while the page comes.
  virtual std::size_t BytesArrived() const { return 0; }
  virtual std::size_t BytesAnnounced() const { return 0; }
};

// Whether a page address can be requested at all: an http or https address
// with a host, as Open accepts it.
bool IsUsablePageAddress(const std::string& address);

using HttpRequestFactory = std::function<std::unique_ptr<HttpRequest>()>;

// A new request object, or nullptr when none can be made (no event loop).
std::unique_ptr<HttpRequest> CreateHttpRequest();
// Installs the maker CreateHttpRequest uses; an empty one restores the
// network one. Returns the previous maker.
HttpRequestFactory SetHttpRequestFactory(HttpRequestFactory factory);

// The request object over QNetworkAccessManager.
std::unique_ptr<HttpRequest> CreateNetworkHttpRequest();

// Requests whose object was released before they completed keep running by
// themselves until the server finishes or goes quiet. How many still run:
int AbandonedHttpRequests();
// Ends them all now; for a process about to end, so that nothing of them is
// left to the network thread's shutdown.
void EndAbandonedHttpRequests();

}  // namespace mivo
