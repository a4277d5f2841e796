// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The per-row costs a verification adds: a TLS handshake and exchange over
// memory buffers, and an exit address's location; each beside the same work
// done with the library's calls alone.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "tools/test_certificates.h"
#include "verify/exit_location.h"
#include "verify/tls_channel.h"

extern "C" {
#include <libloc/as.h>
#include <libloc/database.h>
#include <libloc/libloc.h>
#include <libloc/network.h>
}

namespace {

using mivo::verify::TlsContext;
using mivo::verify::TlsSession;

constexpr const char* kRequest = "GET /judge HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
constexpr const char* kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";

struct Contexts {
  QTemporaryDir dir;
  std::unique_ptr<TlsContext> client, server;
};

const Contexts& Tls() {
  static Contexts c;
  if (!c.client) {
    std::string error;
    const mivo::sample::TestPki* pki = mivo::sample::TestCertificates(&error);
    const std::string ca = c.dir.filePath("ca.pem").toStdString();
    if (pki && mivo::sample::WritePemFile(ca, pki->ca.certPem, &error)) {
      c.client = TlsContext::Make(ca, error);
      c.server = TlsContext::MakeServer(pki->server.certPem, pki->server.keyPem, error);
    }
    if (!c.client || !c.server) std::fprintf(stderr, "TLS set-up: %s\n", error.c_str());
  }
  return c;
}

// A handshake, a request and its answer, through the session's calls.
void BM_TlsSessionExchange(benchmark::State& state) {
  const Contexts& c = Tls();
  if (!c.client) return state.SkipWithError("no TLS contexts");
  std::uint16_t port = 0;
  for (auto _ : state) {
    // A port of its own each round: no session to resume, full handshakes as the plain side does.
    TlsSession client(*c.client, "127.0.0.1", ++port);
    TlsSession server(*c.server, "");
    client.Write(kRequest);
    client.Start();
    std::string answer;
    for (int pass = 0; pass < 8 && answer.size() < std::strlen(kAnswer); ++pass) {
      server.Feed(client.TakeOutgoing());
      if (server.TakePlaintext().size() == std::strlen(kRequest)) server.Write(kAnswer);
      client.Feed(server.TakeOutgoing());
      answer += client.TakePlaintext();
    }
    if (answer != kAnswer) return state.SkipWithError(("no answer: " + client.error()).c_str());
  }
}
BENCHMARK(BM_TlsSessionExchange)->Unit(benchmark::kMicrosecond);

// Moves what `from` wrote into `to`'s input buffer.
void Move(BIO* from, BIO* to) {
  char buf[16384];
  int n;
  while ((n = BIO_read(from, buf, sizeof buf)) > 0) BIO_write(to, buf, n);
}

// The same exchange with OpenSSL's calls alone.
void BM_OpenSslExchange(benchmark::State& state) {
  const Contexts& c = Tls();
  if (!c.client) return state.SkipWithError("no TLS contexts");
  for (auto _ : state) {
    SSL* cl = SSL_new(c.client->Native());
    SSL* sv = SSL_new(c.server->Native());
    BIO *cin = BIO_new(BIO_s_mem()), *cout = BIO_new(BIO_s_mem());
    BIO *sin = BIO_new(BIO_s_mem()), *sout = BIO_new(BIO_s_mem());
    for (BIO* b : {cin, cout, sin, sout}) BIO_set_mem_eof_return(b, -1);
    SSL_set_bio(cl, cin, cout);
    SSL_set_bio(sv, sin, sout);
    SSL_set_connect_state(cl);
    SSL_set_accept_state(sv);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(cl), "127.0.0.1");
    char buf[4096];
    std::string answer;
    bool sent = false, answered = false;
    for (int pass = 0; pass < 8 && answer.size() < std::strlen(kAnswer); ++pass) {
      if (SSL_do_handshake(cl) == 1 && !sent)
        sent = SSL_write(cl, kRequest, static_cast<int>(std::strlen(kRequest))) > 0;
      Move(cout, sin);
      if (SSL_do_handshake(sv) == 1 && SSL_read(sv, buf, sizeof buf) > 0 && !answered)
        answered = SSL_write(sv, kAnswer, static_cast<int>(std::strlen(kAnswer))) > 0;
      Move(sout, cin);
      int n;
      while ((n = SSL_read(cl, buf, sizeof buf)) > 0) answer.append(buf, static_cast<std::size_t>(n));
    }
    ERR_clear_error();
    SSL_free(cl);
    SSL_free(sv);
    if (answer != kAnswer) return state.SkipWithError("no answer");
  }
}
BENCHMARK(BM_OpenSslExchange)->Unit(benchmark::kMicrosecond);
MIVO_BENCH_RATIO("BM_TlsSessionExchange", "BM_OpenSslExchange", 1.2);

// Addresses spread over the whole IPv4 space, the same every run.
const std::vector<std::string>& Addresses() {
  static const std::vector<std::string> addresses = [] {
    std::vector<std::string> out;
    std::mt19937 random(19);
    char text[INET_ADDRSTRLEN];
    for (int i = 0; i < 100000; ++i) {
      const std::uint32_t a = htonl(static_cast<std::uint32_t>(random()));
      inet_ntop(AF_INET, &a, text, sizeof text);
      out.emplace_back(text);
    }
    return out;
  }();
  return addresses;
}

// 100,000 lookups in the database Debian ships, through LocationDb.
void BM_LocationLookup(benchmark::State& state) {
  std::string error;
  const auto db = mivo::verify::LocationDb::Open(mivo::verify::kDefaultLocationDb, error);
  if (!db) return state.SkipWithError(error.c_str());
  // The first pass pages the database in; the timed ones run warm.
  for (const std::string& a : Addresses()) benchmark::DoNotOptimize(db->Lookup(a));
  std::size_t found = 0;
  for (auto _ : state) {
    for (const std::string& a : Addresses()) found += db->Lookup(a).has_value();
  }
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(Addresses().size()));
}
BENCHMARK(BM_LocationLookup)->Unit(benchmark::kMillisecond);

// The same lookups with libloc's calls alone: network, then AS.
void BM_LibLocLookup(benchmark::State& state) {
  loc_ctx* ctx = nullptr;
  loc_database* db = nullptr;
  FILE* f = std::fopen(mivo::verify::kDefaultLocationDb, "r");
  if (!f || loc_new(&ctx) != 0 || loc_database_new(ctx, &db, f) != 0) {
    if (f) std::fclose(f);
    return state.SkipWithError("no location database");
  }
  std::fclose(f);
  auto lookAll = [db] {
    std::size_t found = 0;
    for (const std::string& a : Addresses()) {
      loc_network* n = nullptr;
      if (loc_database_lookup_from_string(db, a.c_str(), &n) != 0 || !n) continue;
      ++found;
      loc_as* as = nullptr;
      if (const std::uint32_t asn = loc_network_get_asn(n); asn && loc_database_get_as(db, &as, asn) == 0 && as)
        loc_as_unref(as);
      loc_network_unref(n);
    }
    return found;
  };
  lookAll();  // pages the database in
  std::size_t found = 0;
  for (auto _ : state) found += lookAll();
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(Addresses().size()));
  loc_database_unref(db);
  loc_unref(ctx);
}
BENCHMARK(BM_LibLocLookup)->Unit(benchmark::kMillisecond);
MIVO_BENCH_RATIO("BM_LocationLookup", "BM_LibLocLookup", 1.2);

}  // namespace
