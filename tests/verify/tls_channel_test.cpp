// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// TLS over bytes the test carries: the server side runs in-process over the
// same memory buffers, so every handshake outcome is reached without sockets.

#include "verify/tls_channel.h"

#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <optional>

#include "tests/support/wait.h"
#include "tools/sample_site.h"
#include "tools/test_certificates.h"
#include "tools/tls_peer.h"

namespace mivo::verify {
namespace {

using State = TlsSession::State;

const sample::TestPki& Pki() {
  std::string error;
  const sample::TestPki* pki = sample::TestCertificates(&error);
  if (!pki) ADD_FAILURE() << error;
  static const sample::TestPki none;
  return pki ? *pki : none;
}

enum class Presents { Server, ServerWithCa, Interceptor, Garbage };
enum class Trusts { TestCa, SystemStore };

struct TlsCase {
  const char* name;
  Presents presents;
  Trusts trusts;
  const char* serverName;
  int maxVersion;     // the server's highest TLS version
  std::size_t chunk;  // bytes per arrival, both ways
  State expected;
  const char* error;  // what the client's error begins with
  // A handshake for the same name with this server first, its session kept for resumption.
  std::optional<Presents> earlier = std::nullopt;
  bool resumed = false;
};

void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }

std::string CaFile(const QTemporaryDir& dir) {
  const std::string path = dir.filePath("ca.pem").toStdString();
  std::string error;
  EXPECT_TRUE(sample::WritePemFile(path, Pki().ca.certPem, &error)) << error;
  return path;
}

// Carries `from`'s outgoing bytes into `to`, `chunk` bytes per arrival.
bool Carry(TlsSession& from, TlsSession& to, std::size_t chunk) {
  const std::string bytes = from.TakeOutgoing();
  for (std::size_t i = 0; i < bytes.size(); i += chunk) to.Feed(std::string_view(bytes).substr(i, chunk));
  return !bytes.empty();
}

std::unique_ptr<TlsContext> ServerContext(Presents presents, int maxVersion) {
  const sample::CertifiedKey& leaf = presents == Presents::Interceptor ? Pki().interceptor : Pki().server;
  const std::string chain = leaf.certPem + (presents == Presents::ServerWithCa ? Pki().ca.certPem : "");
  std::string error;
  auto ctx = TlsContext::MakeServer(chain, leaf.keyPem, error);
  EXPECT_TRUE(ctx) << error;
  if (ctx) SSL_CTX_set_max_proto_version(ctx->Native(), maxVersion);
  return ctx;
}

// Carries flights both ways until the client's handshake ends; each pass
// moves at least one flight and a handshake takes a handful.
void Handshake(TlsSession& client, TlsSession& server, std::size_t chunk) {
  for (int pass = 0; pass < 10 && client.state() == State::Handshaking; ++pass) {
    const bool sent = Carry(client, server, chunk);
    const bool answered = Carry(server, client, chunk);
    if (!sent && !answered) break;
  }
}

class TlsOverBytes : public ::testing::TestWithParam<TlsCase> {};

TEST_P(TlsOverBytes, HandshakeAndRoundTrip) {
  const TlsCase& c = GetParam();
  QTemporaryDir dir;
  std::string error;
  auto clientCtx = TlsContext::Make(c.trusts == Trusts::TestCa ? CaFile(dir) : std::string(), error);
  ASSERT_TRUE(clientCtx) << error;
  std::unique_ptr<TlsContext> serverCtx = ServerContext(c.presents, c.maxVersion);
  ASSERT_TRUE(serverCtx);
  if (c.earlier) {
    std::unique_ptr<TlsContext> other = *c.earlier == c.presents ? nullptr : ServerContext(*c.earlier, c.maxVersion);
    TlsSession client(*clientCtx, c.serverName);
    TlsSession server(other ? *other : *serverCtx, "");
    client.Start();
    server.Start();
    Handshake(client, server, c.chunk);
    // A TLS 1.3 ticket comes after the handshake, with the first answer.
    Carry(client, server, c.chunk);
    server.Write("ok");
    Carry(server, client, c.chunk);
    client.TakePlaintext();
    EXPECT_EQ(clientCtx->CachedSessions(), *c.earlier == Presents::Server ? 1u : 0u) << client.error();
  }

  TlsSession client(*clientCtx, c.serverName);
  TlsSession server(*serverCtx, "");
  client.Write("GET / HTTP/1.1\r\n\r\n");  // before the handshake: held until Open
  client.Start();
  server.Start();
  if (c.presents == Presents::Garbage) client.Feed("HTTP/1.1 400 Bad Request\r\n\r\n");
  Handshake(client, server, c.chunk);
  EXPECT_EQ(client.state(), c.expected) << client.error();
  EXPECT_EQ(client.Resumed(), c.resumed);
  EXPECT_EQ(client.error().rfind(c.error, 0), 0u) << client.error();
  EXPECT_EQ(ERR_peek_error(), 0ul) << "an error left on the thread's queue";
  if (c.expected != State::Open) return;

  Carry(client, server, c.chunk);
  EXPECT_EQ(server.TakePlaintext(), "GET / HTTP/1.1\r\n\r\n");
  server.Write("HTTP/1.1 200 OK\r\n\r\nhello");
  server.Close();
  Carry(server, client, c.chunk);
  EXPECT_EQ(client.TakePlaintext(), "HTTP/1.1 200 OK\r\n\r\nhello");
  EXPECT_EQ(client.state(), State::Closed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsOverBytes,
    ::testing::Values(
        TlsCase{"GoodServerByIp13", Presents::Server, Trusts::TestCa, "127.0.0.1", TLS1_3_VERSION, 1 << 20, State::Open,
                ""},
        TlsCase{"GoodServerByName12", Presents::Server, Trusts::TestCa, "localhost", TLS1_2_VERSION, 1 << 20,
                State::Open, ""},
        TlsCase{"OneByteAtATime", Presents::Server, Trusts::TestCa, "localhost", TLS1_3_VERSION, 1, State::Open, ""},
        TlsCase{"OneByteAtATime12", Presents::Server, Trusts::TestCa, "127.0.0.1", TLS1_2_VERSION, 1, State::Open, ""},
        TlsCase{"AnotherCa", Presents::Interceptor, Trusts::TestCa, "127.0.0.1", TLS1_3_VERSION, 1 << 20, State::Failed,
                "certificate verify failed: unable to get local issuer certificate"},
        TlsCase{"SelfSignedCaNotTrusted", Presents::ServerWithCa, Trusts::SystemStore, "127.0.0.1", TLS1_3_VERSION,
                1 << 20, State::Failed, "certificate verify failed: self-signed certificate in certificate chain"},
        TlsCase{"WrongName", Presents::Server, Trusts::TestCa, "example.test", TLS1_3_VERSION, 1 << 20, State::Failed,
                "certificate verify failed: hostname mismatch"},
        TlsCase{"WrongIp", Presents::Server, Trusts::TestCa, "127.0.0.2", TLS1_2_VERSION, 1 << 20, State::Failed,
                "certificate verify failed: IP address mismatch"},
        TlsCase{"NotTls", Presents::Garbage, Trusts::TestCa, "127.0.0.1", TLS1_3_VERSION, 1 << 20, State::Failed,
                "handshake failed: "},
        TlsCase{"Resumed13", Presents::Server, Trusts::TestCa, "127.0.0.1", TLS1_3_VERSION, 1 << 20, State::Open, "",
                Presents::Server, true},
        TlsCase{"Resumed12ByteAtATime", Presents::Server, Trusts::TestCa, "localhost", TLS1_2_VERSION, 1, State::Open,
                "", Presents::Server, true},
        TlsCase{"InterceptorAfterGoodSession", Presents::Interceptor, Trusts::TestCa, "127.0.0.1", TLS1_3_VERSION,
                1 << 20, State::Failed, "certificate verify failed: unable to get local issuer certificate",
                Presents::Server, false},
        TlsCase{"InterceptorAfterGoodSession12", Presents::Interceptor, Trusts::TestCa, "127.0.0.1", TLS1_2_VERSION,
                1 << 20, State::Failed, "certificate verify failed: unable to get local issuer certificate",
                Presents::Server, false},
        TlsCase{"NothingKeptFromFailedHandshake", Presents::Server, Trusts::TestCa, "127.0.0.1", TLS1_3_VERSION,
                1 << 20, State::Open, "", Presents::Interceptor, false}));

struct CaFileCase {
  const char* name;
  const char* content;  // nullptr: no file
  const char* error;    // nullptr: the file is usable
};

void PrintTo(const CaFileCase& c, std::ostream* os) { *os << c.name; }

class CaFiles : public ::testing::TestWithParam<CaFileCase> {};

TEST_P(CaFiles, ReadOrRefused) {
  const CaFileCase& c = GetParam();
  QTemporaryDir dir;
  std::string path = dir.filePath("ca.pem").toStdString();
  if (c.content) {
    ASSERT_TRUE(sample::WritePemFile(path, *c.content ? c.content : Pki().ca.certPem, nullptr));
  }
  std::string error;
  const std::unique_ptr<TlsContext> ctx = TlsContext::Make(path, error);
  EXPECT_EQ(ctx != nullptr, c.error == nullptr) << error;
  if (c.error) {
    EXPECT_EQ(error, "cannot read CA file " + path + ": " + c.error);
  }
  EXPECT_EQ(ERR_peek_error(), 0ul);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CaFiles,
    ::testing::Values(CaFileCase{"TestCa", "", nullptr}, CaFileCase{"Missing", nullptr, "No such file or directory"},
                      CaFileCase{"NoCertificate", "not a certificate\n", "no certificate or crl found"}));

// The loopback peers over real sockets: the sample site's HTTPS judge, and
// the intercepting proxy that must be caught by its certificate even when a
// session with the judge is there to offer.
struct PeerCase {
  const char* name;
  bool throughInterceptor;
  State expected;
  const char* found;  // in the plaintext answer, or the start of the error
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class LoopbackPeers : public ::testing::TestWithParam<PeerCase> {};

TEST_P(LoopbackPeers, JudgeOverHttps) {
  const PeerCase& c = GetParam();
  sample::SampleSiteOptions options = sample::SampleSiteOptions::AnyFreePorts();
  options.proxies = false;
  options.httpsPort = 0;
  sample::SampleSite site;
  std::string error;
  ASSERT_TRUE(site.Start(options, &error)) << error;
  std::unique_ptr<sample::TlsPeerServer> interceptor = sample::MakeInterceptingProxy(Pki().interceptor, &error);
  ASSERT_TRUE(interceptor && interceptor->Listen(QHostAddress::LocalHost, 0, &error)) << error;

  QTemporaryDir dir;
  auto ctx = TlsContext::Make(CaFile(dir), error);
  ASSERT_TRUE(ctx) << error;
  // The site's judge first, straight: the case's route then offers that session.
  for (int round = 0; round < 2; ++round) {
    const bool throughInterceptor = round == 1 && c.throughInterceptor;
    TlsSession tls(*ctx, "127.0.0.1", site.HttpsPort());
    tls.Write("GET /judge HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QTcpSocket socket;
    std::string proxyReply, answer;
    bool tunnel = !throughInterceptor;
    auto send = [&] {
      const std::string out = tls.TakeOutgoing();
      socket.write(out.data(), static_cast<qint64>(out.size()));
    };
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
      const QByteArray bytes = socket.readAll();
      if (!tunnel) {
        proxyReply += bytes.toStdString();
        if (proxyReply.find("\r\n\r\n") == std::string::npos) return;
        tunnel = proxyReply.starts_with("HTTP/1.1 200 ");
        tls.Start();
        return send();
      }
      tls.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
      answer += tls.TakePlaintext();
      send();
    });
    if (throughInterceptor) {
      socket.connectToHost(QHostAddress::LocalHost, interceptor->Port());
      socket.write("CONNECT 127.0.0.1:" + QByteArray::number(site.HttpsPort()) + " HTTP/1.1\r\n\r\n");
    } else {
      socket.connectToHost(QHostAddress::LocalHost, site.HttpsPort());
      tls.Start();
      send();
    }
    EXPECT_TRUE(test::WaitUntil([&] { return tls.state() == State::Failed || tls.state() == State::Closed; }))
        << "state " << static_cast<int>(tls.state());
    if (round == 0) {
      EXPECT_EQ(tls.state(), State::Closed) << tls.error();
      EXPECT_EQ(ctx->CachedSessions(), 1u) << "the judge gave no session to resume";
      continue;
    }
    EXPECT_EQ(tls.state(), c.expected) << tls.error();
    EXPECT_EQ(tls.Resumed(), !c.throughInterceptor);
    if (c.expected != State::Failed) {
      EXPECT_NE(answer.find(c.found), std::string::npos) << answer;
      continue;
    }
    EXPECT_EQ(tls.error().rfind(c.found, 0), 0u) << tls.error();
    // The client's alert tells the interceptor why.
    EXPECT_TRUE(test::WaitUntil([&] { return !interceptor->LastTlsError().empty(); }));
    EXPECT_EQ(interceptor->LastTlsError(), "handshake failed: tlsv1 alert unknown ca");
    EXPECT_EQ(interceptor->Handshakes(), 0);
  }
  EXPECT_EQ(site.Requests().size(), 0u) << "the HTTPS judge answered, not the plain site";
}

INSTANTIATE_TEST_SUITE_P(Cases, LoopbackPeers,
                         ::testing::Values(PeerCase{"SiteJudge", false, State::Closed, "REMOTE_ADDR = 127.0.0.1\r\n"},
                                           PeerCase{"Interceptor", true, State::Failed,
                                                    "certificate verify failed: unable to get local issuer"}));

}  // namespace
}  // namespace mivo::verify
