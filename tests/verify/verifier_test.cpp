// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Whole lists verified at once: the sample site's proxies of every kind,
// real proxy servers, and proxies that misbehave; every row's verdict, no
// row past its time, no socket left open.

#include "verify/verifier.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "socket/faulty_sockets_layer.h"
#include "tests/support/wait.h"
#include "tests/tools/listed_proxy.h"
#include "tests/tunnel/proxy_peers.h"
#include "tests/tunnel/tunnel_fakes.h"
#include "tools/sample_site.h"
#include "tools/test_certificates.h"
#include "tools/tls_peer.h"
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
  const std::optional<JudgeUrl> judge = ParseJudgeUrl(site.Origin() + path, error);
  EXPECT_TRUE(judge) << error;
  if (!judge) return o;
  o.judges.push_back({*judge, judge->host});
  o.ownAddresses.push_back(OwnAddress(judge->host, *judge));
  return o;
}

// ----- one row's machine over a scripted socket -----

// What the test does to the row's socket, in order.
struct Act {
  enum Kind { Connect, Data, Close, Error, Timeout } kind;
  std::string bytes;  // Data
  std::int16_t error = 0;
};
Act Accepts() { return {Act::Connect, {}}; }
Act Says(std::string bytes) { return {Act::Data, std::move(bytes)}; }
Act HangsUp() { return {Act::Close, {}}; }
Act Fails(std::int16_t number) { return {Act::Error, {}, number}; }
Act TimesOut() { return {Act::Timeout, {}}; }

class ScriptedHost final : public RowHost {
 public:
  std::uint32_t Deadline(int, Clock::time_point) override { return ++serial; }
  void RowEnded(int) override { ++ended; }
  std::unique_ptr<TunnelSocket> NewSocket() override {
    auto s = std::make_unique<test::FakeSocket>();
    socket = s.get();
    return s;
  }
  std::uint32_t serial = 0;
  int ended = 0;
  test::FakeSocket* socket = nullptr;
};

enum class Far { None, Judge, Page };

struct MachineCase {
  const char* name;
  const char* typeCell;
  bool credentials;
  Far far;
  std::vector<Act> script;
  Reason reason;  // Pending: given back for want of a socket
  std::optional<ProxyType> protocol;
  const char* sent;       // bytes the row must have sent, or nullptr
  bool rowLogin = false;  // the row carries credentials of its own
};

void PrintTo(const MachineCase& c, std::ostream* os) { *os << c.name; }

const std::string kGreetingOk = test::Hex({0x05, 0x00});
const std::string kSocks5Granted = test::Hex({0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1, 0x1F, 0x90});
const std::string kJudgeAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 24\r\n\r\nREMOTE_ADDR = 127.0.0.9\n";

class RowMachine : public ::testing::TestWithParam<MachineCase> {};

TEST_P(RowMachine, EndsWithItsReason) {
  const MachineCase& c = GetParam();
  Plan plan;
  plan.targetHost = "127.0.0.1";
  plan.targetPort = "7";
  plan.credentials = c.credentials;
  plan.user = "u";
  plan.password = "p";
  std::string error;
  if (c.far != Far::None) plan.far.push_back({*ParseJudgeUrl("http://127.0.0.1:8086/judge", error), "127.0.0.1"});
  plan.judges = c.far == Far::Judge;
  plan.ownAddresses = {"127.0.0.1"};
  plan.expect = c.far == Far::Page ? "REMOTE_ADDR = 127.0.0.8" : "";
  plan.timeout = std::chrono::seconds(30);
  const Row row{"127.0.0.2", "1080", c.typeCell, c.rowLogin ? "ru" : "", c.rowLogin ? "rp" : ""};
  Result result;
  ScriptedHost host;
  RowCheck check(0, row, plan, result, host);
  check.Start();
  for (const Act& act : c.script) {
    ASSERT_EQ(host.ended, 0) << "the row ended before the script did";
    test::FakeSocket& s = *host.socket;
    switch (act.kind) {
      case Act::Connect: s.onConnect(); break;
      case Act::Data:
        s.waiting = act.bytes;
        s.onDataArrival();
        break;
      case Act::Close: s.onClose(); break;
      case Act::Error: s.onError(act.error); break;
      case Act::Timeout: check.TimedOut(host.serial); break;
    }
  }
  EXPECT_EQ(host.ended, 1);
  EXPECT_EQ(check.PutBack(), c.reason == Reason::Pending);
  EXPECT_STREQ(ReasonText(result.reason), ReasonText(c.reason));
  EXPECT_EQ(result.protocol, c.protocol);
  if (c.sent) {
    EXPECT_NE(host.socket->wire.find(c.sent), std::string::npos) << host.socket->wire;
  }
  EXPECT_FALSE(host.socket->open);
}

const MachineCase kMachineCases[] = {
    {"TunnelIsThePassWithATargetAlone",
     "SOCKS5",
     false,
     Far::None,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted)},
     Reason::Passed,
     ProxyType::Socks5,
     nullptr},
    {"RefusedConnection", "", false, Far::None, {Fails(10061)}, Reason::Refused, std::nullopt, nullptr},
    {"NoRoute", "", false, Far::None, {Fails(10065)}, Reason::Unreachable, std::nullopt, nullptr},
    {"ConnectTimedOutByTheControl",
     "",
     false,
     Far::None,
     {Fails(10060)},
     Reason::ConnectTimeout,
     std::nullopt,
     nullptr},
    {"ConnectTimedOutByTheRow",
     "",
     false,
     Far::None,
     {TimesOut(), TimesOut(), TimesOut()},
     Reason::ConnectTimeout,
     std::nullopt,
     nullptr},
    {"OutOfDescriptorsGivesTheTurnBack", "", false, Far::None, {Fails(10024)}, Reason::Pending, std::nullopt, nullptr},
    {"OutOfLocalPortsGivesTheTurnBack", "", false, Far::None, {Fails(10049)}, Reason::Pending, std::nullopt, nullptr},
    {"Socks4Rejected",
     "SOCKS4",
     false,
     Far::None,
     {Accepts(), Says(test::Hex({0x00, 0x5B})), Accepts(), TimesOut(), Accepts(), HangsUp()},
     Reason::ProxyRefused,
     std::nullopt,
     nullptr},
    {"Socks4Garbage",
     "SOCKS4",
     false,
     Far::None,
     {Accepts(), Says("xx"), Accepts(), Says("xx"), Accepts(), Says("xx")},
     Reason::BadReply,
     std::nullopt,
     nullptr},
    {"Socks5WantsCredentials",
     "SOCKS5",
     false,
     Far::None,
     {Accepts(), Says(test::Hex({0x05, 0xFF})), Accepts(), HangsUp(), Accepts(), HangsUp()},
     Reason::AuthRequired,
     std::nullopt,
     nullptr},
    {"Socks5RejectsTheCredentials",
     "SOCKS5",
     true,
     Far::None,
     {Accepts(), Says(test::Hex({0x05, 0x02})), Says(test::Hex({0x01, 0x01})), Accepts(), HangsUp(), Accepts(),
      HangsUp()},
     Reason::AuthFailed,
     std::nullopt,
     "\x01\x01u\x01p"},
    {"RowsOwnCredentialsBeforeTheRuns",
     "SOCKS5",
     true,
     Far::None,
     {Accepts(), Says(test::Hex({0x05, 0x02})), Says(test::Hex({0x01, 0x00})), Says(kSocks5Granted)},
     Reason::Passed,
     ProxyType::Socks5,
     "\x01\x02ru\x02rp",
     true},
    {"Socks5RefusesTheTarget",
     "SOCKS5",
     false,
     Far::None,
     {Accepts(), Says(kGreetingOk), Says(test::Hex({0x05, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0})), Accepts(), HangsUp(),
      Accepts(), HangsUp()},
     Reason::ProxyRefused,
     std::nullopt,
     nullptr},
    {"HttpWantsCredentials",
     "HTTP",
     false,
     Far::None,
     {Accepts(), Says("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"), Accepts(), HangsUp(), Accepts(),
      HangsUp()},
     Reason::AuthRequired,
     std::nullopt,
     "CONNECT 127.0.0.1:7 HTTP/1.1"},
    {"JudgeAnswersThroughSocks5",
     "SOCKS5",
     false,
     Far::Judge,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), Says(kJudgeAnswer)},
     Reason::Passed,
     ProxyType::Socks5,
     "GET /judge HTTP/1.1\r\nHost: 127.0.0.1:8086\r\n"},
    {"JudgeAnswersThroughAnHttpProxysGet",
     "HTTP",
     false,
     Far::Judge,
     {Accepts(), Says("HTTP/1.1 200 Connection established\r\n\r\n"), Accepts(), Says(kJudgeAnswer)},
     Reason::Passed,
     ProxyType::Http11,
     "GET http://127.0.0.1:8086/judge HTTP/1.1"},
    {"TunnelThenSilence",
     "SOCKS5",
     false,
     Far::Judge,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), TimesOut()},
     Reason::NoAnswer,
     ProxyType::Socks5,
     nullptr},
    {"TunnelThenHangUp",
     "SOCKS5",
     false,
     Far::Judge,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), HangsUp()},
     Reason::NoAnswer,
     ProxyType::Socks5,
     nullptr},
    {"AnswerCutShort",
     "SOCKS5",
     false,
     Far::Judge,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), Says(kJudgeAnswer.substr(0, 50)), TimesOut()},
     Reason::NoAnswer,
     ProxyType::Socks5,
     nullptr},
    {"AnswerNotHttp",
     "SOCKS5",
     false,
     Far::Judge,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), Says("SSH-2.0-x\r\n"), HangsUp()},
     Reason::BadReply,
     ProxyType::Socks5,
     nullptr},
    {"AnswerWithoutSuccess",
     "SOCKS5",
     false,
     Far::Judge,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), Says("HTTP/1.1 503 Busy\r\n\r\n"), HangsUp()},
     Reason::BadStatus,
     ProxyType::Socks5,
     nullptr},
    {"AnswerNotTheJudges",
     "SOCKS5",
     false,
     Far::Judge,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), Says("HTTP/1.1 200 OK\r\n\r\nhello"), HangsUp()},
     Reason::WrongContent,
     ProxyType::Socks5,
     nullptr},
    {"PageWithoutTheTextExpected",
     "SOCKS5",
     false,
     Far::Page,
     {Accepts(), Says(kGreetingOk), Says(kSocks5Granted), Says(kJudgeAnswer)},
     Reason::WrongContent,
     ProxyType::Socks5,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Scripts, RowMachine, ::testing::ValuesIn(kMachineCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- the sample site's proxies -----

struct SiteCase {
  const char* name;
  ProxyKind kind;
  bool credentials;  // the listed proxy asks for them
  Disclosure disclosure;
  bool listening;
  const char* typeCell;               // nullptr: the page's own
  bool login;                         // the user gives the sample credentials
  std::optional<ProxyType> protocol;  // none: the row fails
  Anonymity anonymity;
  Reason reason;
};

const SiteCase kSiteCases[] = {
    {"Socks4", ProxyKind::Socks4, false, Disclosure::None, true, nullptr, false, ProxyType::Socks4, Anonymity::Elite,
     Reason::Passed},
    {"Socks4WithLogin", ProxyKind::Socks4, false, Disclosure::None, true, nullptr, true, ProxyType::Socks4,
     Anonymity::Elite, Reason::Passed},
    {"Socks5", ProxyKind::Socks5, false, Disclosure::None, true, nullptr, false, ProxyType::Socks5, Anonymity::Elite,
     Reason::Passed},
    {"Socks5Login", ProxyKind::Socks5, true, Disclosure::None, true, nullptr, true, ProxyType::Socks5, Anonymity::Elite,
     Reason::Passed},
    // Offered only user name / password, it refuses; asked again without, it opens.
    {"Socks5WantingNoLoginGivenOne", ProxyKind::Socks5, false, Disclosure::None, true, nullptr, true, ProxyType::Socks5,
     Anonymity::Elite, Reason::Passed},
    {"Socks5LoginNotGiven", ProxyKind::Socks5, true, Disclosure::None, true, nullptr, false, std::nullopt,
     Anonymity::Unknown, Reason::AuthRequired},
    // A wrong type cell costs an attempt, not the verdict.
    {"Socks5ListedAsHttp", ProxyKind::Socks5, false, Disclosure::None, true, "HTTP", false, ProxyType::Socks5,
     Anonymity::Elite, Reason::Passed},
    {"HttpViaAndForwardedFor", ProxyKind::Http11, false, Disclosure::ViaAndForwardedFor, true, nullptr, false,
     ProxyType::Http11, Anonymity::Transparent, Reason::Passed},
    {"HttpVia", ProxyKind::Http11, false, Disclosure::Via, true, nullptr, false, ProxyType::Http11,
     Anonymity::Anonymous, Reason::Passed},
    {"HttpPlain", ProxyKind::Http11, false, Disclosure::None, true, nullptr, false, ProxyType::Http11, Anonymity::Elite,
     Reason::Passed},
    {"HttpBasicVia", ProxyKind::Http11, true, Disclosure::Via, true, nullptr, true, ProxyType::Http11,
     Anonymity::Anonymous, Reason::Passed},
    // 407 in HTTP; the SOCKS requests it waits on for more, until the row's time is out: the 407 tells most.
    {"HttpBasicNotGiven", ProxyKind::Http11, true, Disclosure::ViaAndForwardedFor, true, nullptr, false, std::nullopt,
     Anonymity::Unknown, Reason::AuthRequired},
    {"Dead", ProxyKind::Socks5, false, Disclosure::None, false, nullptr, false, std::nullopt, Anonymity::Unknown,
     Reason::Refused},
    {"DeadWithLogin", ProxyKind::Http11, true, Disclosure::None, false, nullptr, true, std::nullopt, Anonymity::Unknown,
     Reason::Refused},
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
  EXPECT_EQ(judged.ownAddresses, std::vector<std::string>{"127.0.0.1"});

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
      rows.push_back(
          {p->address, std::to_string(p->port), c.typeCell ? c.typeCell : sample::TypeText(p->kind), {}, {}});
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
      EXPECT_EQ(r.reason, c.reason);
      EXPECT_EQ(r.protocol, c.protocol);
      EXPECT_EQ(r.anonymity, c.anonymity);
      // The listed proxies connect out from their own address.
      EXPECT_EQ(r.exitAddress, r.Ok() ? proxies[i]->address : "");
      EXPECT_EQ(r.handshakeMs >= 0, r.Ok());
      EXPECT_EQ(r.answerMs >= 0, r.Ok());
      EXPECT_EQ(r.connectMs >= 0, c.listening);
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
  ProxyType protocol;
  Anonymity anonymity;
  bool https;  // a page over TLS through the tunnel instead of the judge
};

// The test CA in a file, as --ca-file takes it, and the trust made from it.
std::shared_ptr<TlsContext> TrustingTheTestCa(const QTemporaryDir& dir) {
  std::string error;
  const sample::TestPki* pki = sample::TestCertificates(&error);
  EXPECT_TRUE(pki) << error;
  if (!pki) return nullptr;
  const std::string path = dir.filePath("ca.pem").toStdString();
  EXPECT_TRUE(sample::WritePemFile(path, pki->ca.certPem, &error)) << error;
  std::shared_ptr<TlsContext> tls = TlsContext::Make(path, error);
  EXPECT_TRUE(tls) << error;
  return tls;
}

// The site's HTTPS page, asked for through each proxy.
void AskTheHttpsPage(const sample::SampleSite& site, const QTemporaryDir& dir, Options& o) {
  std::string error;
  const std::optional<JudgeUrl> url =
      ParseJudgeUrl("https://127.0.0.1:" + std::to_string(site.HttpsPort()) + "/page", error, "--url");
  ASSERT_TRUE(url) << error;
  o.page = FarSide{*url, url->host};
  o.expect = std::string(sample::kHttpsPageText);
  o.tls = TrustingTheTestCa(dir);
}

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class VerifyRealProxy : public ::testing::TestWithParam<PeerCase> {};

// The proxy connects out from 127.0.0.7, so the judge tells it from the user.
TEST_P(VerifyRealProxy, ProtocolTunnelAndAnonymity) {
  const PeerCase& c = GetParam();
  sample::SampleSite judge;
  sample::SampleSiteOptions so = sample::SampleSiteOptions::AnyFreePorts();
  so.proxies = false;
  so.httpsPort = 0;
  std::string error;
  ASSERT_TRUE(judge.Start(so, &error)) << error;
  Options o = JudgedBy(judge);
  QTemporaryDir dir;
  if (c.https) {
    o.judges.clear();
    AskTheHttpsPage(judge, dir, o);
  }
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
      socks ? test::StartMicrosocks(proxy, outgoing)
            : test::StartTinyproxy(proxy, c.https ? judge.HttpsPort() : judge.Port(), outgoing);
  ASSERT_TRUE(process) << "the proxy starts";

  const std::optional<std::vector<Result>> results =
      Verify({{"127.0.0.1", std::to_string(proxy.port), c.typeCell, {}, {}}}, o, 30000);
  ASSERT_TRUE(results);
  const Result& r = results->front();
  EXPECT_EQ(r.reason, Reason::Passed);
  EXPECT_EQ(r.protocol, c.protocol);
  EXPECT_EQ(r.anonymity, c.https ? Anonymity::Unknown : c.anonymity);
  EXPECT_EQ(r.exitAddress, c.https ? "" : outgoing);
  EXPECT_GE(r.answerMs, 0);
}

const PeerCase kPeerCases[] = {
    {"Microsocks", Peer::Microsocks, "SOCKS5", ProxyType::Socks5, Anonymity::Elite, false},
    // No type cell: SOCKS5 is tried first.
    {"MicrosocksLogin", Peer::MicrosocksLogin, "", ProxyType::Socks5, Anonymity::Elite, false},
    // tinyproxy names itself in a Via header.
    {"Tinyproxy", Peer::Tinyproxy, "HTTP", ProxyType::Http11, Anonymity::Anonymous, false},
    {"TinyproxyBasic", Peer::TinyproxyBasic, "HTTPS", ProxyType::Http11, Anonymity::Anonymous, false},
    {"MicrosocksHttps", Peer::Microsocks, "SOCKS5", ProxyType::Socks5, Anonymity::Unknown, true},
    // TLS after CONNECT.
    {"TinyproxyHttps", Peer::Tinyproxy, "HTTP", ProxyType::Http11, Anonymity::Unknown, true},
};

INSTANTIATE_TEST_SUITE_P(Loopback, VerifyRealProxy, ::testing::ValuesIn(kPeerCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- proxies that misbehave -----

enum class Misbehaviour {
  Garbage,
  OneByte,
  Silent,
  RefusalMentioning200,
  ClosesAtOnce,
  GrantsThenSilent,   // SOCKS5: the tunnel opens, nothing comes through it
  GrantsThenGarbage,  // SOCKS5: the tunnel opens, bytes that are not HTTP come through it
  OwnPage,            // HTTP: every request, CONNECT and GET alike, gets a page of its own
  Intercepts,         // HTTP: CONNECT granted, then TLS with a certificate of its own
};

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
        QObject::connect(c, &QTcpSocket::readyRead, c, [this, c] { Answer(*c, c->readAll()); });
      }
    });
  }
  int Port() const { return server_.serverPort(); }

 private:
  void Answer(QTcpSocket& c, const QByteArray& in) {
    const int turn = c.property("turn").toInt();
    c.setProperty("turn", turn + 1);
    switch (how_) {
      case Misbehaviour::Garbage: c.write(QByteArray("\x13\x37garbage\xFE\xFF\r\n", 13)); break;
      case Misbehaviour::OneByte: c.write("H"); break;
      case Misbehaviour::RefusalMentioning200:
        c.write(
            "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 27\r\n\r\n"
            "<p>status 200 expected</p>\n");
        break;
      case Misbehaviour::GrantsThenSilent:
      case Misbehaviour::GrantsThenGarbage:
        // A SOCKS5 greeting, then CONNECT, then what should be relayed.
        if (turn == 0 && in.startsWith('\x05')) c.write(QByteArray("\x05\x00", 2));
        if (turn == 1) c.write(QByteArray("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
        if (turn == 2 && how_ == Misbehaviour::GrantsThenGarbage) c.write("\x16\x03garbage\r\n\r\n");
        break;
      case Misbehaviour::OwnPage:
        c.write("HTTP/1.1 200 OK\r\nContent-Length: 22\r\n\r\n<html>welcome!</html>\n");
        break;
      case Misbehaviour::Silent:
      case Misbehaviour::ClosesAtOnce:
      case Misbehaviour::Intercepts: break;
    }
  }

  Misbehaviour how_;
  QTcpServer server_;
};

struct BadCase {
  const char* name;
  Misbehaviour how;
  const char* typeCell;
  Reason reason;
  bool tunnel;  // the tunnel opened before the row failed
  bool https = false;
};

const BadCase kBadCases[] = {
    {"Garbage", Misbehaviour::Garbage, "SOCKS5", Reason::BadReply, false},
    {"OneByte", Misbehaviour::OneByte, "", Reason::BadReply, false},
    {"Silent", Misbehaviour::Silent, "SOCKS4", Reason::NoAnswer, false},
    {"RefusalMentioning200", Misbehaviour::RefusalMentioning200, "HTTP", Reason::AuthRequired, false},
    {"ClosesAtOnce", Misbehaviour::ClosesAtOnce, "", Reason::ProxyRefused, false},
    {"GrantsThenSilent", Misbehaviour::GrantsThenSilent, "SOCKS5", Reason::NoAnswer, true},
    {"GrantsThenGarbage", Misbehaviour::GrantsThenGarbage, "SOCKS5", Reason::BadReply, true},
    {"OwnPage", Misbehaviour::OwnPage, "HTTP", Reason::WrongContent, true},
    {"Intercepts", Misbehaviour::Intercepts, "HTTP", Reason::Tls, true, true},
};

// The page is asked for through each proxy; none of them passes the request on,
// so nothing listens behind the URL.
TEST(VerifyBadProxies, EveryRowFailsWithItsReasonWithinItsTimeAndLeavesNoSocket) {
  std::string error;
  const sample::TestPki* pki = sample::TestCertificates(&error);
  ASSERT_TRUE(pki) << error;
  QTemporaryDir dir;
  const std::size_t openBefore = PosixSockets().OpenSockets();
  for (bool https : {false, true}) {
    std::vector<std::unique_ptr<BadProxy>> proxies;
    std::unique_ptr<sample::TlsPeerServer> interceptor;
    std::vector<const BadCase*> cases;
    std::vector<Row> rows;
    for (const BadCase& c : kBadCases) {
      if (c.https != https) continue;
      int port = 0;
      if (c.how == Misbehaviour::Intercepts) {
        interceptor = sample::MakeInterceptingProxy(pki->interceptor, &error);
        ASSERT_TRUE(interceptor && interceptor->Listen(QHostAddress::LocalHost, 0, &error)) << error;
        port = interceptor->Port();
      } else {
        proxies.push_back(std::make_unique<BadProxy>(c.how));
        port = proxies.back()->Port();
      }
      cases.push_back(&c);
      rows.push_back({"127.0.0.1", std::to_string(port), c.typeCell, {}, {}});
    }
    Options o;
    const std::optional<JudgeUrl> url = ParseJudgeUrl(
        std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()) + "/page",
        error);
    ASSERT_TRUE(url) << error;
    o.page = FarSide{*url, url->host};
    o.expect = "the page's own words";
    if (https) o.tls = TrustingTheTestCa(dir);
    o.timeout = std::chrono::milliseconds(900);
    // Every row ends by its own time, whatever the proxy does; the margin is for a loaded machine.
    const std::optional<std::vector<Result>> results = Verify(rows, o, 900 + 5000);
    ASSERT_TRUE(results) << "a row hung past its time";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE(cases[i]->name);
      const Result& r = (*results)[i];
      EXPECT_STREQ(ReasonText(r.reason), ReasonText(cases[i]->reason));
      EXPECT_EQ(r.protocol.has_value(), cases[i]->tunnel);
      EXPECT_EQ(r.handshakeMs >= 0, cases[i]->tunnel);
      EXPECT_GE(r.connectMs, 0);
    }
  }
  EXPECT_EQ(PosixSockets().OpenSockets(), openBefore);
}

// A row that finds the process out of descriptors waits for one; it is never failed for that.
TEST(VerifyOutOfSockets, RowsWaitForASocketInsteadOfFailing) {
  test::EchoServer target;
  SampleProxy listed;
  listed.kind = ProxyKind::Socks4;
  sample::ProxyListener proxy(listed, sample::SpeakingConversation);
  ASSERT_TRUE(proxy.Listen(QHostAddress::LocalHost, 0, nullptr));
  std::vector<Row> rows(4, Row{"127.0.0.1", std::to_string(proxy.Port()), "SOCKS4", {}, {}});
  Options o;
  o.targetHost = "127.0.0.1";
  o.targetPort = target.Port();
  FaultySocketsLayer layer;
  layer.FailNext(SockCall::socket, WSAEMFILE, 3);
  const std::optional<std::vector<Result>> results = Verify(rows, o, 10000);
  ASSERT_TRUE(results);
  for (const Result& r : *results) EXPECT_EQ(r.reason, Reason::Passed);
  EXPECT_EQ(layer.Calls(SockCall::socket), 3 + 4);
}

}  // namespace
}  // namespace mivo::verify
