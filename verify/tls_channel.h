// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// TLS over bytes that someone else carries: no socket here. The row machine
// feeds what arrives from the proxy's tunnel and sends what the session hands
// out, so TLS rides on the tunnel's own control rather than a second stack.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;
struct ssl_session_st;

namespace mivo::verify {

// Ciphertext or plaintext a session holds for its owner before it fails the
// session: the owner takes both after each Feed/Write.
inline constexpr std::size_t kMaxTlsPending = 1024 * 1024;

// Servers whose last session a client context keeps for resumption.
inline constexpr std::size_t kMaxCachedTlsSessions = 256;

// What sessions share: the trust store, the OpenSSL context and, for a
// client, the sessions to resume. One per run, used from one thread.
class TlsContext {
 public:
  // A client context. `caFile` empty: the system's trust store; otherwise
  // only the certificates of that PEM file are trusted. nullptr with `error`
  // set when the file cannot be read or holds no certificate.
  static std::unique_ptr<TlsContext> Make(const std::string& caFile, std::string& error);
  // A server context presenting `certChainPem` (leaf first) with `keyPem`:
  // the other end in tests and the sample site. nullptr with `error` set when
  // the PEM cannot be used.
  static std::unique_ptr<TlsContext> MakeServer(const std::string& certChainPem, const std::string& keyPem,
                                                std::string& error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  bool IsServer() const { return server_; }
  ssl_ctx_st* Native() const { return ctx_; }
  // Servers with a session kept for resumption.
  std::size_t CachedSessions() const { return sessions_.size(); }

 private:
  friend class TlsSession;
  TlsContext(ssl_ctx_st* ctx, bool server);
  // OpenSSL hands over a session once its handshake is done (TLS 1.3: once
  // a ticket arrived); a copy is kept.
  static int OnNewSession(ssl_st* ssl, ssl_session_st* session);
  void Keep(const std::string& key, ssl_session_st* session);
  ssl_session_st* Cached(const std::string& key) const;

  ssl_ctx_st* ctx_;
  bool server_;
  // By "name port"; the oldest server goes first when full.
  std::unordered_map<std::string, ssl_session_st*> sessions_;
  std::deque<std::string> order_;
};

// One connection's TLS over memory buffers, TLS 1.2 or 1.3. For a client
// context: SNI is `serverName` unless it is an IP literal (IPv6 without
// brackets), and the certificate must chain to the trust store and name
// `serverName` (a DNS name or an IP address). A session verified for
// `serverName` and `port` earlier is offered for resumption; a server without
// its keys (another host, an interceptor) cannot accept it, so a certificate
// is always verified for that name once. For a server context `serverName`
// is unused and the session answers the peer's handshake.
//
// Use: Start(); then send TakeOutgoing() down the tunnel, Feed() what comes
// back, read TakePlaintext(), until Closed or Failed (a Failed session may
// still hand out an alert for the peer). Write() may be called
// at any time before the end; it is sent once the handshake is done. The
// session never learns that the tunnel closed: a peer that ends without
// close_notify leaves it Open, and the owner judges what it has read.
class TlsSession {
 public:
  enum class State { Handshaking, Open, Closed, Failed };

  TlsSession(TlsContext& ctx, const std::string& serverName, std::uint16_t port = 0);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  void Start();                            // a client's ClientHello into the outgoing bytes
  void Feed(std::string_view fromTunnel);  // ciphertext that arrived
  void Write(std::string_view plaintext);  // held until Open, then encrypted
  void Close();                            // close_notify into the outgoing bytes; Closed
  std::string TakeOutgoing();              // ciphertext to send down the tunnel now
  std::string TakePlaintext();             // decrypted bytes received so far

  State state() const { return state_; }
  // Why the session Failed, e.g. "certificate verify failed: self-signed
  // certificate in certificate chain"; empty otherwise.
  const std::string& error() const { return error_; }
  // Whether the handshake resumed an earlier session instead of checking a certificate.
  bool Resumed() const;

 private:
  friend class TlsContext;
  // Runs the handshake or moves data, as far as the bytes in hand allow.
  void Pump();
  void DoHandshake();
  void DoTransfer();
  // Reads OpenSSL's reason for `result` of the last call and fails with it.
  void Fail(int result);
  void FailWith(std::string why);
  // The one place the state changes.
  void Enter(State next);

  ssl_st* ssl_ = nullptr;
  bio_st* in_ = nullptr;   // ciphertext fed, for OpenSSL to read
  bio_st* out_ = nullptr;  // ciphertext OpenSSL wrote, for the owner to take
  State state_ = State::Handshaking;
  std::string toSend_;     // plaintext written before Open
  std::string plaintext_;  // decrypted, not yet taken
  std::string error_;
  std::string cacheKey_;  // empty: nothing to keep (a server, or a failed start)
};

}  // namespace mivo::verify
