// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Whole lists verified at once: the sample site's proxies of every kind,
// real proxy servers, and proxies that misbehave; every row's verdict, no
// row past its time, no socket left open.

#include "verify/verifier.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include "socket/faulty_sockets_layer.h"
#include "tests/support/wait.h"
#include "tests/tools/listed_proxy.h"
#include "tests/tunnel/proxy_peers.h"
#include "tools/sample_site.h"
#include "verify/judge_ask.h"

namespace mivo::verify {
namespace {

using sample::Disclosure;
using sample::ProxyKind;
using sample::SampleProxy;

// Runs a verification to its end; the results, or none when it did not end within `waitMs`.
std::optional<std::vector<Result>> Verify(std::vector<Row> rows, const Options& options, int waitMs) {
  Verifier v(std::move(rows), options);
  bool finished = false;
  v.onFinished = [&] { finished = true; };
  v.Start();
  if (!test::WaitUntil([&] { return finished; }, waitMs)) return std::nullopt;
  EXPECT_EQ(v.InFlight(), 0u);
  return v.Results();
}

// The user's address as a judge sees it without a proxy.
std::string OwnAddress(const std::string& judgeAddress, const JudgeUrl& judge) {
  DirectJudgeAsk ask(judgeAddress, judge);
  ask.Start();
  EXPECT_TRUE(test::WaitUntil([&] { return ask.Done(); }));
  EXPECT_EQ(ask.Error(), "");
  return ask.OwnAddress();
}

Options JudgedBy(const sample::SampleSite& site, const std::string& path = "/judge") {
  Options o;
  std::string error;
  o.judge = ParseJudgeUrl(site.Origin() + path, error);
  EXPECT_TRUE(o.judge) << error;
  o.targetHost = o.judge->host;
  o.targetPort = o.judge->port;
  o.ownAddress = OwnAddress(o.judge->host, *o.judge);
  return o;
}

// ----- the sample site's proxies -----

struct SiteCase {
  const char* name;
  ProxyKind kind;
  bool credentials;  // the listed proxy asks for them
  Disclosure disclosure;
  bool listening;
  const char* typeCell;  // nullptr: the page's own
  bool login;            // the user gives the sample credentials
  Protocol protocol;     // None: the row fails
  Anonymity anonymity;
  Ending ending;
};

const SiteCase kSiteCases[] = {
    {"Socks4", ProxyKind::Socks4, false, Disclosure::None, true, nullptr, false, Protocol::Socks4, Anonymity::Elite,
     Ending::TunnelOpen},
    {"Socks4WithLogin", ProxyKind::Socks4, false, Disclosure::None, true, nullptr, true, Protocol::Socks4,
     Anonymity::Elite, Ending::TunnelOpen},
    {"Socks5", ProxyKind::Socks5, false, Disclosure::None, true, nullptr, false, Protocol::Socks5, Anonymity::Elite,
     Ending::TunnelOpen},
    {"Socks5Login", ProxyKind::Socks5, true, Disclosure::None, true, nullptr, true, Protocol::Socks5, Anonymity::Elite,
     Ending::TunnelOpen},
    // Offered only user name / password, it refuses; asked again without, it opens.
    {"Socks5WantingNoLoginGivenOne", ProxyKind::Socks5, false, Disclosure::None, true, nullptr, true, Protocol::Socks5,
     Anonymity::Elite, Ending::TunnelOpen},
    {"Socks5LoginNotGiven", ProxyKind::Socks5, true, Disclosure::None, true, nullptr, false, Protocol::None,
     Anonymity::Unknown, Ending::Refused},
    // A wrong type cell costs an attempt, not the verdict.
    {"Socks5ListedAsHttp", ProxyKind::Socks5, false, Disclosure::None, true, "HTTP", false, Protocol::Socks5,
     Anonymity::Elite, Ending::TunnelOpen},
    {"HttpViaAndForwardedFor", ProxyKind::Http11, false, Disclosure::ViaAndForwardedFor, true, nullptr, false,
     Protocol::Http, Anonymity::Transparent, Ending::TunnelOpen},
    {"HttpVia", ProxyKind::Http11, false, Disclosure::Via, true, nullptr, false, Protocol::Http, Anonymity::Anonymous,
     Ending::TunnelOpen},
    {"HttpPlain", ProxyKind::Http11, false, Disclosure::None, true, nullptr, false, Protocol::Http, Anonymity::Elite,
     Ending::TunnelOpen},
    {"HttpBasicVia", ProxyKind::Http11, true, Disclosure::Via, true, nullptr, true, Protocol::Http, Anonymity::Anonymous,
     Ending::TunnelOpen},
    // Refused at once in HTTP; the SOCKS requests it waits on for more, until the row's time is out.
    {"HttpBasicNotGiven", ProxyKind::Http11, true, Disclosure::ViaAndForwardedFor, true, nullptr, false, Protocol::None,
     Anonymity::Unknown, Ending::TimedOut},
    {"Dead", ProxyKind::Socks5, false, Disclosure::None, false, nullptr, false, Protocol::None, Anonymity::Unknown,
     Ending::Unreachable},
    {"DeadWithLogin", ProxyKind::Http11, true, Disclosure::None, false, nullptr, true, Protocol::None, Anonymity::Unknown,
     Ending::Unreachable},
};

const SampleProxy* Listed(const sample::SampleSite& site, const SiteCase& c) {
  return sample::FindListed(site, [&](const SampleProxy& p) {
    return p.listening == c.listening && p.kind == c.kind &&
           (!c.listening || (p.credentials == c.credentials && p.disclosure == c.disclosure));
  });
}

TEST(VerifySampleSite, EveryKindOfListedProxyGetsItsVerdict) {
  sample::SampleSite site;
  std::string error;
  ASSERT_TRUE(site.Start(sample::SampleSiteOptions::AnyFreePorts(), &error)) << error;
  ASSERT_TRUE(site.Warnings().empty());
  const std::size_t openBefore = PosixSockets().OpenSockets();
  const Options judged = JudgedBy(site);
  EXPECT_EQ(judged.ownAddress, "127.0.0.1");

  for (bool login : {false, true}) {
    std::vector<const SiteCase*> cases;
    std::vector<const SampleProxy*> proxies;
    std::vector<Row> rows;
    for (const SiteCase& c : kSiteCases) {
      if (c.login != login) continue;
      const SampleProxy* p = Listed(site, c);
      ASSERT_NE(p, nullptr) << c.name << ": the pages list such a proxy";
      cases.push_back(&c);
      proxies.push_back(p);
      rows.push_back({p->address, std::to_string(p->port), c.typeCell ? c.typeCell : sample::TypeText(p->kind)});
    }
    Options o = judged;
    o.timeout = std::chrono::milliseconds(3000);
    o.credentials = login;
    o.user = sample::kSampleUser;
    o.password = sample::kSamplePassword;
    const std::optional<std::vector<Result>> results = Verify(rows, o, 30000);
    ASSERT_TRUE(results);
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const SiteCase& c = *cases[i];
      const Result& r = (*results)[i];
      SCOPED_TRACE(c.name);
      EXPECT_EQ(r.ending, c.ending);
      EXPECT_EQ(r.protocol, c.protocol);
      EXPECT_EQ(r.anonymity, c.anonymity);
      // The listed proxies connect out from their own address.
      EXPECT_EQ(r.exitAddress, r.Ok() ? proxies[i]->address : "");
      EXPECT_EQ(r.handshakeMs >= 0, r.Ok());
    }
  }
  EXPECT_EQ(PosixSockets().OpenSockets(), openBefore);
}

// ----- real proxy servers -----

enum class Peer { Microsocks, MicrosocksLogin, Tinyproxy, TinyproxyBasic };

struct PeerCase {
  const char* name;
  Peer peer;
  const char* typeCell;
  Protocol protocol;
  Anonymity anonymity;
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class VerifyRealProxy : public ::testing::TestWithParam<PeerCase> {};

// The proxy connects out from 127.0.0.7, so the judge tells it from the user.
TEST_P(VerifyRealProxy, ProtocolTunnelAndAnonymity) {
  const PeerCase& c = GetParam();
  sample::SampleSite judge;
  sample::SampleSiteOptions so = sample::SampleSiteOptions::AnyFreePorts();
  so.proxies = false;
  std::string error;
  ASSERT_TRUE(judge.Start(so, &error)) << error;
  Options o = JudgedBy(judge);
  const std::string outgoing = "127.0.0.7";
  test::Endpoint proxy;
  if (c.peer == Peer::MicrosocksLogin || c.peer == Peer::TinyproxyBasic) {
    proxy.user = "verify";
    proxy.password = "s3cret";
    o.credentials = true;
    o.user = proxy.user;
    o.password = proxy.password;
  }
  const bool socks = c.peer == Peer::Microsocks || c.peer == Peer::MicrosocksLogin;
  std::unique_ptr<test::ProxyProcess> process =
      socks ? test::StartMicrosocks(proxy, outgoing) : test::StartTinyproxy(proxy, o.judge->port, outgoing);
  ASSERT_TRUE(process) << "the proxy starts";

  const std::optional<std::vector<Result>> results =
      Verify({{"127.0.0.1", std::to_string(proxy.port), c.typeCell}}, o, 30000);
  ASSERT_TRUE(results);
  const Result& r = results->front();
  EXPECT_EQ(r.ending, Ending::TunnelOpen);
  EXPECT_EQ(r.protocol, c.protocol);
  EXPECT_EQ(r.anonymity, c.anonymity);
  EXPECT_EQ(r.exitAddress, outgoing);
}

const PeerCase kPeerCases[] = {
    {"Microsocks", Peer::Microsocks, "SOCKS5", Protocol::Socks5, Anonymity::Elite},
    // No type cell: SOCKS5 is tried first.
    {"MicrosocksLogin", Peer::MicrosocksLogin, "", Protocol::Socks5, Anonymity::Elite},
    // tinyproxy names itself in a Via header.
    {"Tinyproxy", Peer::Tinyproxy, "HTTP", Protocol::Http, Anonymity::Anonymous},
    {"TinyproxyBasic", Peer::TinyproxyBasic, "HTTPS", Protocol::Http, Anonymity::Anonymous},
};

INSTANTIATE_TEST_SUITE_P(Loopback, VerifyRealProxy, ::testing::ValuesIn(kPeerCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- proxies that misbehave -----

enum class Misbehaviour { Garbage, OneByte, Silent, RefusalMentioning200, ClosesAtOnce };

// Accepts on loopback and answers every connection the same wrong way.
class BadProxy {
 public:
  explicit BadProxy(Misbehaviour how) : how_(how) {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* c = server_.nextPendingConnection()) {
        QObject::connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
        if (how_ == Misbehaviour::ClosesAtOnce) {
          c->disconnectFromHost();
          continue;
        }
        QObject::connect(c, &QTcpSocket::readyRead, c, [this, c] {
          c->readAll();
          switch (how_) {
            case Misbehaviour::Garbage: c->write(QByteArray("\x13\x37garbage\xFE\xFF\r\n", 13)); break;
            case Misbehaviour::OneByte: c->write("H"); break;
            case Misbehaviour::RefusalMentioning200:
              c->write(
                  "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 27\r\n\r\n"
                  "<p>status 200 expected</p>\n");
              break;
            case Misbehaviour::Silent:
            case Misbehaviour::ClosesAtOnce: break;
          }
        });
      }
    });
  }
  int Port() const { return server_.serverPort(); }

 private:
  Misbehaviour how_;
  QTcpServer server_;
};

struct BadCase {
  const char* name;
  Misbehaviour how;
  const char* typeCell;
  Ending ending;
};

const BadCase kBadCases[] = {
    // SOCKS5 waits out its share for a reply it can read; the others refuse what came.
    {"Garbage", Misbehaviour::Garbage, "SOCKS5", Ending::Refused},
    {"OneByte", Misbehaviour::OneByte, "", Ending::TimedOut},
    {"Silent", Misbehaviour::Silent, "SOCKS4", Ending::TimedOut},
    {"RefusalMentioning200", Misbehaviour::RefusalMentioning200, "HTTP", Ending::Refused},
    {"ClosesAtOnce", Misbehaviour::ClosesAtOnce, "", Ending::Refused},
};

TEST(VerifyBadProxies, EveryRowFailsWithinItsTimeAndLeavesNoSocket) {
  std::vector<std::unique_ptr<BadProxy>> proxies;
  std::vector<Row> rows;
  for (const BadCase& c : kBadCases) {
    proxies.push_back(std::make_unique<BadProxy>(c.how));
    rows.push_back({"127.0.0.1", std::to_string(proxies.back()->Port()), c.typeCell});
  }
  test::EchoServer target;
  Options o;
  o.targetHost = "127.0.0.1";
  o.targetPort = target.Port();
  o.timeout = std::chrono::milliseconds(900);
  const std::size_t openBefore = PosixSockets().OpenSockets();
  // Every row ends by its own time, whatever the proxy does; the margin is for a loaded machine.
  const std::optional<std::vector<Result>> results = Verify(rows, o, 900 + 5000);
  ASSERT_TRUE(results) << "a row hung past its time";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(kBadCases[i].name);
    EXPECT_EQ((*results)[i].ending, kBadCases[i].ending);
    EXPECT_EQ((*results)[i].protocol, Protocol::None);
    EXPECT_EQ((*results)[i].handshakeMs, -1);
  }
  EXPECT_EQ(target.accepted, 0);
  EXPECT_EQ(PosixSockets().OpenSockets(), openBefore);
}

// A row that finds the process out of descriptors waits for one; it is never failed for that.
TEST(VerifyOutOfSockets, RowsWaitForASocketInsteadOfFailing) {
  test::EchoServer target;
  SampleProxy listed;
  listed.kind = ProxyKind::Socks4;
  sample::ProxyListener proxy(listed, sample::SpeakingConversation);
  ASSERT_TRUE(proxy.Listen(QHostAddress::LocalHost, 0, nullptr));
  std::vector<Row> rows(4, Row{"127.0.0.1", std::to_string(proxy.Port()), "SOCKS4"});
  Options o;
  o.targetHost = "127.0.0.1";
  o.targetPort = target.Port();
  FaultySocketsLayer layer;
  layer.FailNext(SockCall::socket, WSAEMFILE, 3);
  const std::optional<std::vector<Result>> results = Verify(rows, o, 10000);
  ASSERT_TRUE(results);
  for (const Result& r : *results) EXPECT_EQ(r.ending, Ending::TunnelOpen);
  EXPECT_EQ(layer.Calls(SockCall::socket), 3 + 4);
}

}  // namespace
}  // namespace mivo::verify
