// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "verify/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <utility>

namespace mivo::verify {
namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
// TLS 1.2 session ids a server keeps for clients that take no tickets.
constexpr long kServerSessionCache = 4096;

// OpenSSL's reason for the oldest error on the thread's queue, which is then
// emptied so that the next session starts clean.
std::string TakeSslError(const char* fallback) {
  std::string why;
  if (const unsigned long e = ERR_peek_error()) {
    const char* reason = ERR_SYSTEM_ERROR(e) ? std::strerror(ERR_GET_REASON(e)) : ERR_reason_error_string(e);
    why = reason ? reason : "error " + std::to_string(ERR_GET_REASON(e));
  } else {
    why = fallback;
  }
  ERR_clear_error();
  return why;
}

bool IsIpLiteral(const std::string& name) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Idle sessions give their buffers back: a run holds hundreds at once.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  return ctx;
}

}  // namespace

// ----- TlsContext -----

std::unique_ptr<TlsContext> TlsContext::Make(const std::string& caFile, std::string& error) {
  ERR_clear_error();
  SSL_CTX* ctx = NewContext(TLS_client_method());
  if (!ctx) {
    error = "cannot set up TLS: " + TakeSslError("out of memory");
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // Sessions are kept by server name and port in TlsContext, not by OpenSSL's own cache.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, &TlsContext::OnNewSession);
  const bool loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                     : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) == 1;
  if (!loaded) {
    error = (caFile.empty() ? std::string("cannot load the system's trust store") : "cannot read CA file " + caFile) +
            ": " + TakeSslError("no certificate found");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  ERR_clear_error();
  return std::unique_ptr<TlsContext>(new TlsContext(ctx, false));
}

std::unique_ptr<TlsContext> TlsContext::MakeServer(const std::string& certChainPem, const std::string& keyPem,
                                                   std::string& error) {
  ERR_clear_error();
  SSL_CTX* ctx = NewContext(TLS_server_method());
  bool ok = ctx != nullptr;
  // The leaf, then any intermediates after it.
  BIO* certs = BIO_new_mem_buf(certChainPem.data(), static_cast<int>(certChainPem.size()));
  X509* leaf = ok && certs ? PEM_read_bio_X509(certs, nullptr, nullptr, nullptr) : nullptr;
  ok = ok && leaf && SSL_CTX_use_certificate(ctx, leaf) == 1;
  while (ok) {
    X509* extra = PEM_read_bio_X509(certs, nullptr, nullptr, nullptr);
    if (!extra) break;
    if (SSL_CTX_add0_chain_cert(ctx, extra) != 1) {
      X509_free(extra);
      ok = false;
    }
  }
  X509_free(leaf);
  BIO_free(certs);
  BIO* keyBio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
  EVP_PKEY* key = ok && keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
  ok = ok && key && SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
  if (ok) {
    // Returning clients resume (TLS 1.3 tickets, TLS 1.2 tickets or session
    // ids) instead of a full handshake; one ticket is all a client keeps.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_sess_set_cache_size(ctx, kServerSessionCache);
    ok = SSL_CTX_set_num_tickets(ctx, 1) == 1;
  }
  EVP_PKEY_free(key);
  BIO_free(keyBio);
  if (!ok) {
    // The end of the chain's PEM reads as "no start line"; the first error says why.
    error = "cannot use the server certificate: " + TakeSslError("no certificate");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  ERR_clear_error();
  return std::unique_ptr<TlsContext>(new TlsContext(ctx, true));
}

TlsContext::TlsContext(SSL_CTX* ctx, bool server) : ctx_(ctx), server_(server) { SSL_CTX_set_app_data(ctx_, this); }

TlsContext::~TlsContext() {
  for (auto& [key, session] : sessions_) SSL_SESSION_free(session);
  SSL_CTX_free(ctx_);
}

int TlsContext::OnNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* context = static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  const auto* owner = static_cast<const TlsSession*>(SSL_get_app_data(ssl));
  // Only a session whose certificate was verified for its name may stand in for that check later.
  if (!context || !owner || owner->cacheKey_.empty() || SSL_get_verify_result(ssl) != X509_V_OK ||
      SSL_SESSION_is_resumable(session) != 1)
    return 0;
  // A copy: OpenSSL marks the connection's own session unusable when the
  // connection ends without close_notify, as rows through a proxy usually do.
  if (SSL_SESSION* copy = SSL_SESSION_dup(session)) context->Keep(owner->cacheKey_, copy);
  return 0;
}

void TlsContext::Keep(const std::string& key, SSL_SESSION* session) {
  auto [it, added] = sessions_.try_emplace(key, session);
  if (!added) {
    SSL_SESSION_free(it->second);
    it->second = session;
    return;
  }
  order_.push_back(key);
  if (order_.size() <= kMaxCachedTlsSessions) return;
  const auto oldest = sessions_.find(order_.front());
  SSL_SESSION_free(oldest->second);
  sessions_.erase(oldest);
  order_.pop_front();
}

SSL_SESSION* TlsContext::Cached(const std::string& key) const {
  const auto it = sessions_.find(key);
  return it == sessions_.end() ? nullptr : it->second;
}

// ----- TlsSession -----

TlsSession::TlsSession(TlsContext& ctx, const std::string& serverName, std::uint16_t port) {
  ssl_ = SSL_new(ctx.Native());
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  if (!ssl_ || !in_ || !out_) {
    BIO_free(in_);
    BIO_free(out_);
    in_ = out_ = nullptr;
    FailWith("cannot set up TLS: " + TakeSslError("out of memory"));
    return;
  }
  // An empty input buffer means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(in_, -1);
  BIO_set_mem_eof_return(out_, -1);
  SSL_set_bio(ssl_, in_, out_);
  if (ctx.IsServer()) {
    SSL_set_accept_state(ssl_);
    return;
  }
  SSL_set_connect_state(ssl_);
  if (serverName.empty()) {
    FailWith("no server name to check the certificate against");
    return;
  }
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
  bool named = false;
  if (IsIpLiteral(serverName)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str()) == 1;
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set_tlsext_host_name(ssl_, serverName.c_str()) == 1 &&
            X509_VERIFY_PARAM_set1_host(param, serverName.c_str(), 0) == 1;
  }
  if (!named) {
    FailWith("cannot use server name " + serverName + ": " + TakeSslError("invalid name"));
    return;
  }
  cacheKey_ = serverName + ' ' + std::to_string(port);
  SSL_set_app_data(ssl_, this);
  // A failed offer costs nothing: the server answers with a full handshake.
  SSL_SESSION* earlier = ctx.Cached(cacheKey_);
  if (earlier && SSL_SESSION_is_resumable(earlier) == 1 && SSL_set_session(ssl_, earlier) != 1) ERR_clear_error();
}

TlsSession::~TlsSession() {
  SSL_free(ssl_);  // frees both buffers
}

void TlsSession::Start() { Pump(); }

bool TlsSession::Resumed() const { return ssl_ && SSL_session_reused(ssl_) == 1; }

void TlsSession::Feed(std::string_view fromTunnel) {
  if (state_ == State::Failed || state_ == State::Closed || fromTunnel.empty()) return;
  if (BIO_write(in_, fromTunnel.data(), static_cast<int>(fromTunnel.size())) != static_cast<int>(fromTunnel.size()))
    return FailWith("cannot buffer " + std::to_string(fromTunnel.size()) + " bytes");
  Pump();
}

void TlsSession::Write(std::string_view plaintext) {
  if (state_ == State::Failed || state_ == State::Closed) return;
  toSend_.append(plaintext);
  if (toSend_.size() > kMaxTlsPending)
    return FailWith("more than " + std::to_string(kMaxTlsPending) + " bytes to send");
  if (state_ == State::Open) Pump();
}

void TlsSession::Close() {
  if (state_ == State::Failed || state_ == State::Closed) return;
  if (state_ == State::Open) {
    Pump();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
  Enter(State::Closed);
}

std::string TlsSession::TakeOutgoing() {
  std::string out;
  if (!out_) return out;
  const std::size_t pending = BIO_ctrl_pending(out_);
  if (pending == 0) return out;
  out.resize(pending);
  const int n = BIO_read(out_, out.data(), static_cast<int>(pending));
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

std::string TlsSession::TakePlaintext() { return std::exchange(plaintext_, {}); }

void TlsSession::Pump() {
  if (state_ == State::Handshaking) DoHandshake();
  if (state_ == State::Open) DoTransfer();
  if (state_ == State::Failed) return;
  if (BIO_ctrl_pending(out_) > kMaxTlsPending)
    return FailWith("more than " + std::to_string(kMaxTlsPending) + " bytes not taken");
  // The record buffers (about 34 KiB) go back while the session waits for
  // the tunnel; OpenSSL keeps them when something is half read.
  SSL_free_buffers(ssl_);
}

void TlsSession::DoHandshake() {
  const int r = SSL_do_handshake(ssl_);
  if (r == 1) return Enter(State::Open);
  const int e = SSL_get_error(ssl_, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
  Fail(r);
}

void TlsSession::DoTransfer() {
  while (!toSend_.empty()) {
    std::size_t written = 0;
    const int r = SSL_write_ex(ssl_, toSend_.data(), toSend_.size(), &written);
    if (r == 1) {
      toSend_.erase(0, written);
      continue;
    }
    // A key update or renegotiation waits for the peer; the rest goes after it.
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
    return Fail(r);
  }
  char buf[kReadChunk];
  for (;;) {
    std::size_t n = 0;
    const int r = SSL_read_ex(ssl_, buf, sizeof buf, &n);
    if (r == 1) {
      plaintext_.append(buf, n);
      if (plaintext_.size() > kMaxTlsPending)
        return FailWith("more than " + std::to_string(kMaxTlsPending) + " bytes not read");
      continue;
    }
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
    if (e == SSL_ERROR_ZERO_RETURN) {
      // The peer's close_notify: answer it, and what came before stays readable.
      SSL_shutdown(ssl_);
      ERR_clear_error();
      return Enter(State::Closed);
    }
    return Fail(r);
  }
}

void TlsSession::Fail(int result) {
  const long verify = SSL_get_verify_result(ssl_);
  if (verify != X509_V_OK && state_ == State::Handshaking && !SSL_is_server(ssl_)) {
    ERR_clear_error();
    return FailWith(std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify));
  }
  const int e = SSL_get_error(ssl_, result);
  FailWith((state_ == State::Handshaking ? "handshake failed: " : "TLS failed: ") +
           TakeSslError(e == SSL_ERROR_SYSCALL ? "unexpected end of stream" : "protocol error"));
}

void TlsSession::FailWith(std::string why) {
  ERR_clear_error();
  error_ = std::move(why);
  Enter(State::Failed);
}

void TlsSession::Enter(State next) { state_ = next; }

}  // namespace mivo::verify
