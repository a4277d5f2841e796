// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Downloads over real HTTP on loopback: the sample site, and test peers that
// stay silent, answer slowly or answer badly.
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>

#include "common/gbk.h"
#include "harvester/http_request.h"
#include "harvester/main_window_ops.h"
#include "harvester/page_download.h"
#include "harvester/status_texts.h"
#include "tests/harvester/scripted_clock.h"
#include "tests/harvester/scripted_server.h"
#include "tests/support/wait.h"
#include "tools/sample_site.h"

namespace mivo {
namespace {

using test::ScriptedServer;

// Requests left running by one case end before the process does.
class EndAbandoned : public ::testing::Environment {
 public:
  void TearDown() override { EndAbandonedHttpRequests(); }
};
const auto* const kEndAbandoned = ::testing::AddGlobalTestEnvironment(new EndAbandoned);
using Mode = ScriptedServer::Mode;

const std::vector<std::string> kParsed{kTextFetching, kTextAnalysing, kTextAnalysisDone};
const std::vector<std::string> kFailed{kTextFetching, kTextFetchFailed};
const std::vector<std::string> kTooLarge{kTextFetching, "获取失败: 页面超过 64 MiB 上限"};

std::int64_t WallSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void ExpectRowsOf(const ProxyListModel& rows, const std::vector<sample::SampleProxy>& proxies) {
  ASSERT_EQ(rows.Count(), static_cast<int>(proxies.size()));
  for (int n = 1; n <= rows.Count(); ++n) {
    const sample::SampleProxy& p = proxies[static_cast<std::size_t>(n - 1)];
    EXPECT_EQ(rows.Text(n, ProxyColumn::Address), p.address);
    EXPECT_EQ(rows.Text(n, ProxyColumn::Port), std::to_string(p.port));
    EXPECT_EQ(rows.Text(n, ProxyColumn::Type), sample::TypeText(p.kind));
    EXPECT_EQ(rows.Text(n, ProxyColumn::Location), p.location);
    EXPECT_EQ(rows.Text(n, ProxyColumn::Speed), p.speed);
  }
}

// A page body with the given proxies, in GBK.
QByteArray ListBody(const std::vector<sample::SampleProxy>& proxies) {
  return QByteArray::fromStdString(ToGbk(sample::ListPageText("t", proxies)));
}

class Download : public ::testing::Test {
 protected:
  Download() {
    sample::SampleSiteOptions options;
    options.port = 0;
    options.proxies = false;
    std::string error;
    started = site.Start(options, &error);
    EXPECT_TRUE(started) << error;
  }

  // Runs the command of box 0 pointed at `address`, with one earlier row in the list.
  void Fetch(const std::string& address) {
    ops.Rows().Append("earlier");
    ops.SetPanel(kListPanel, "共: 1 行");
    ops.statusHistory.clear();
    ops.addresses[0] = address;
    ListPageCommand(ops, 0);
  }
  void ExpectEarlierRowKept() {
    ASSERT_EQ(ops.Rows().Count(), 1);
    EXPECT_EQ(ops.Rows().Text(1, ProxyColumn::Address), "earlier");
    EXPECT_EQ(ops.panel1, "共: 1 行");
    EXPECT_EQ(ops.PageText(), "");
  }

  sample::SampleSite site;
  bool started = false;
  HeadlessMainOps ops;
};

class SitePage : public Download, public ::testing::WithParamInterface<int> {};

TEST_P(SitePage, IsFetchedAndParsedIntoCompleteRows) {
  const sample::SamplePage& page = site.Pages()[static_cast<std::size_t>(GetParam())];
  Fetch(site.Origin() + page.path);
  EXPECT_EQ(ops.statusHistory, kParsed);
  ExpectRowsOf(ops.Rows(), page.proxies);
  EXPECT_EQ(ops.panel1, "共: " + std::to_string(page.proxies.size()) + " 行");
  EXPECT_EQ(site.Requests(), std::vector<std::string>{page.path});
}

INSTANTIATE_TEST_SUITE_P(TwelvePages, SitePage, ::testing::Range(0, 12));

TEST_F(Download, SecondAndThirdBoxFetchTheSameDefaultPage) {
  for (int k : {1, 2}) {
    QUrl address(QString::fromStdString(DefaultPageAddress(k)));
    address.setPort(site.Port());  // the default site, wherever this one listens
    ops.addresses[static_cast<std::size_t>(k)] = address.toString().toStdString();
  }
  ListPageCommand(ops, 1);
  std::vector<ProxyEntry> first;
  for (int n = 1; n <= ops.Rows().Count(); ++n) first.push_back(ops.Rows().Row(n));
  ListPageCommand(ops, 2);
  EXPECT_EQ(site.Requests(), (std::vector<std::string>{"/proxy3.html", "/proxy3.html"}));
  ASSERT_GT(ops.Rows().Count(), 0);
  ASSERT_EQ(static_cast<int>(first.size()), ops.Rows().Count());
  for (int n = 1; n <= ops.Rows().Count(); ++n) {
    EXPECT_EQ(first[static_cast<std::size_t>(n - 1)].Field(ProxyColumn::Address),
              ops.Rows().Row(n).Field(ProxyColumn::Address));
    EXPECT_EQ(first[static_cast<std::size_t>(n - 1)].Field(ProxyColumn::Port),
              ops.Rows().Row(n).Field(ProxyColumn::Port));
  }
}

TEST_F(Download, GeneratedPageOfManyRows) {
  Fetch(site.Origin() + "/generated?rows=5000");
  EXPECT_EQ(ops.statusHistory, kParsed);
  ExpectRowsOf(ops.Rows(), sample::GeneratedProxies(5000));
}

TEST_F(Download, SilentServerGivesUpAfterThreeToFourSecondsKeepingTheRows) {
  auto silent = std::make_unique<ScriptedServer>(Mode::Silent);
  std::vector<std::pair<std::string, std::string>> shown;  // (status text, panel 1) as each appeared
  ops.onPanel = [&](int panel, const std::string& text) {
    if (panel == kStatusPanel) shown.emplace_back(text, ops.panel1);
  };
  const std::int64_t startSecond = WallSeconds();
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ProcessCpuSeconds();
  Fetch(silent->Url());
  const double cpu = ProcessCpuSeconds() - cpuStart;
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ops.statusHistory, kFailed);
  ExpectEarlierRowKept();
  EXPECT_EQ(silent->Requests(), 1);
  // Never before the clock's seconds have advanced by four, which is more
  // than three seconds of waiting.
  EXPECT_GE(WallSeconds() - startSecond, 4);
  EXPECT_GT(waited, std::chrono::seconds(3));
  // The wait sleeps in the event loop: the whole process spends a small
  // part of the wait on the processor (a spinning wait would spend all of it).
  EXPECT_LT(cpu, 0.75) << "process CPU seconds during the wait";
  // The request given up on is left running, not aborted, until the
  // server goes.
  EXPECT_EQ(silent->OpenConnections(), 1);
  EXPECT_EQ(AbandonedHttpRequests(), 1);
  silent.reset();
  EXPECT_TRUE(test::WaitUntil([] { return AbandonedHttpRequests() == 0; }));
}

TEST_F(Download, SlowAnswerWithinTheTimeIsParsed) {
  const std::vector<sample::SampleProxy> proxies = sample::GeneratedProxies(4);
  ScriptedServer slow(Mode::Trickle, ScriptedServer::Page(200, ListBody(proxies)));
  test::ScriptedClock clock;  // within the time, however slow the machine
  Fetch(slow.Url());
  EXPECT_EQ(ops.statusHistory, kParsed);
  ExpectRowsOf(ops.Rows(), proxies);
}

enum class Outcome { Parsed, Failed, TooLarge };

struct ResponseCase {
  const char* name;
  QByteArray (*response)();  // made when the case runs: some are large
  Outcome outcome;
};

void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class OddResponse : public Download, public ::testing::WithParamInterface<ResponseCase> {};

TEST_P(OddResponse, EndsInItsOutcome) {
  ScriptedServer server(Mode::Reply, GetParam().response());
  test::ScriptedClock clock;  // every case must end by itself, none by the time-out
  Fetch(server.Url("/loop"));
  if (GetParam().outcome == Outcome::Parsed) {
    EXPECT_EQ(ops.statusHistory, kParsed);
    ExpectRowsOf(ops.Rows(), sample::GeneratedProxies(3));
  } else {
    EXPECT_EQ(ops.statusHistory, GetParam().outcome == Outcome::Failed ? kFailed : kTooLarge);
    ExpectEarlierRowKept();
  }
}

QByteArray List() { return ListBody(sample::GeneratedProxies(3)); }
// A zlib stream, as a server sends it with "Content-Encoding: deflate".
QByteArray Deflated(const QByteArray& bytes) { return qCompress(bytes).mid(4); }
const QByteArray kDeflate = "Content-Encoding: deflate\r\n";

INSTANTIATE_TEST_SUITE_P(
    Responses, OddResponse,
    ::testing::Values(
        ResponseCase{"NotFoundPageIsAPage", [] { return ScriptedServer::Page(404, List()); }, Outcome::Parsed},
        ResponseCase{"ServerErrorPageIsAPage", [] { return ScriptedServer::Page(500, List()); }, Outcome::Parsed},
        ResponseCase{"ServerCharsetIsIgnored",
                     [] { return ScriptedServer::Page(200, List(), "Content-Type: text/html; charset=utf-8\r\n"); },
                     Outcome::Parsed},
        ResponseCase{"BodyEndedByClose", [] { return "HTTP/1.0 200 OK\r\n\r\n" + List(); }, Outcome::Parsed},
        ResponseCase{"PageOverThirtyTwoMiB",
                     [] { return ScriptedServer::Page(200, List() + QByteArray(33 << 20, ' ')); }, Outcome::Parsed},
        ResponseCase{"DeflatedPage", [] { return ScriptedServer::Page(200, Deflated(List()), kDeflate); },
                     Outcome::Parsed},
        ResponseCase{"EmptyBody", [] { return ScriptedServer::Page(200, {}); }, Outcome::Failed},
        ResponseCase{"NoContent", [] { return QByteArray("HTTP/1.1 204 No Content\r\n\r\n"); }, Outcome::Failed},
        ResponseCase{"ClosedWithoutAWord", [] { return QByteArray(); }, Outcome::Failed},
        ResponseCase{"NotHttp", [] { return QByteArray("SSH-2.0-OpenSSH\r\n\r\n"); }, Outcome::Failed},
        ResponseCase{"BodyCutShort", [] { return "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + List(); },
                     Outcome::Failed},
        ResponseCase{"RedirectLoop",
                     [] { return QByteArray("HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n"); },
                     Outcome::Failed},
        ResponseCase{"BrokenChunks",
                     [] { return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" + List(); },
                     Outcome::Failed},
        ResponseCase{"BrokenDeflate", [] { return ScriptedServer::Page(200, "\x78\x9c" + List(), kDeflate); },
                     Outcome::Failed},
        ResponseCase{"DeflateBomb",
                     [] {
                       const QByteArray spaces(static_cast<qsizetype>(kMaxResponseBody) + 1024, ' ');
                       return ScriptedServer::Page(200, Deflated(spaces), kDeflate);
                     },
                     Outcome::Failed}),
    [](const ::testing::TestParamInfo<ResponseCase>& info) { return std::string(info.param.name); });

TEST_F(Download, PageInAnotherCharsetIsReadAsGbkWithoutHarm) {
  // UTF-8 bytes read as GBK: addresses and ports survive, the Chinese
  // locations come out garbled.
  const std::vector<sample::SampleProxy> proxies = sample::GeneratedProxies(3);
  ScriptedServer server(Mode::Reply,
                        ScriptedServer::Page(200, QByteArray::fromStdString(sample::ListPageText("t", proxies))));
  Fetch(server.Url());
  EXPECT_EQ(ops.statusHistory, kParsed);
  ASSERT_EQ(ops.Rows().Count(), 3);
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Address), proxies[static_cast<std::size_t>(n - 1)].address);
    EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Port), std::to_string(proxies[static_cast<std::size_t>(n - 1)].port));
    EXPECT_NE(ops.Rows().Text(n, ProxyColumn::Location), proxies[static_cast<std::size_t>(n - 1)].location);
  }
}

TEST_F(Download, EndlessBodyIsCutOffAndSaysSo) {
  ScriptedServer endless(Mode::Endless);
  test::ScriptedClock clock;  // only the size limit can end this download
  Fetch(endless.Url());
  EXPECT_EQ(ops.statusHistory, kTooLarge);
  ExpectEarlierRowKept();
  // Cut off at the size limit, the request ends and lets the connection go;
  // a request given up at the time-out would have been left running.
  EXPECT_GT(endless.BytesSent(), static_cast<qint64>(kMaxResponseBody));
  EXPECT_TRUE(test::WaitUntil([&] { return endless.OpenConnections() == 0; }));
}

TEST_F(Download, RefusedConnectionFails) {
  quint16 freed = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    freed = probe.serverPort();
  }
  test::ScriptedClock clock;
  Fetch("http://127.0.0.1:" + std::to_string(freed) + "/proxy1.html");
  EXPECT_EQ(ops.statusHistory, kFailed);
  ExpectEarlierRowKept();
}

class UnusableAddress : public ::testing::TestWithParam<const char*> {};

TEST_P(UnusableAddress, IsRejectedByTheRequestAndEndsLikeATimeOut) {
  std::unique_ptr<HttpRequest> http = CreateHttpRequest();
  ASSERT_TRUE(http);
  EXPECT_FALSE(http->Open("GET", GetParam(), true));
  EXPECT_EQ(http->ReadyState(), kHttpUninitialized);
  http->send();  // harmless after a refusal
  EXPECT_EQ(http->ReadyState(), kHttpUninitialized);

  HeadlessMainOps ops;
  ops.Rows().Append("kept");
  ops.addresses[0] = GetParam();
  ListPageCommand(ops, 0);
  EXPECT_EQ(ops.statusHistory, kFailed);
  EXPECT_EQ(ops.Rows().Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Addresses, UnusableAddress,
                         ::testing::Values("", "   ", "127.0.0.1:8086/proxy1.html", "www.example/proxy1.html",
                                           "http://", "http:///proxy1.html", "http://[::1/x",
                                           "ftp://127.0.0.1/proxy1.html", "file:///etc/hostname",
                                           "data:text/html,hello", "javascript:alert(1)"));

TEST(HttpRequestObject, AcceptsHttpAndHttpsAnyCaseAndOnlyAsynchronous) {
  for (const char* address : {"http://127.0.0.1:1/", "HTTP://127.0.0.1:1/x", "https://127.0.0.1:1/"}) {
    std::unique_ptr<HttpRequest> http = CreateHttpRequest();
    EXPECT_TRUE(http->Open("GET", address, true)) << address;
    EXPECT_EQ(http->ReadyState(), kHttpOpen);
    EXPECT_FALSE(http->Open("GET", address, true)) << "opened twice";
  }
  EXPECT_FALSE(CreateHttpRequest()->Open("GET", "http://127.0.0.1:1/", false));
}

TEST(HttpRequestObject, StatesFromOpenToComplete) {
  ScriptedServer server(Mode::Held, ScriptedServer::Page(200, "body bytes"));
  std::unique_ptr<HttpRequest> http = CreateHttpRequest();
  ASSERT_TRUE(http->Open("GET", server.Url(), true));
  http->send();
  EXPECT_EQ(http->ReadyState(), kHttpSent);
  EXPECT_EQ(http->ResponseBody(), "");
  ASSERT_TRUE(test::WaitUntil([&] { return server.Requests() == 1; }));
  EXPECT_EQ(http->ReadyState(), kHttpSent);
  server.Release();
  ASSERT_TRUE(test::WaitUntil([&] { return http->ReadyState() == kHttpComplete; }));
  EXPECT_EQ(http->ResponseBody(), "body bytes");
}

TEST_F(Download, SecondCommandDuringTheWaitRunsToItsEndThenTheFirstReplacesItsRows) {
  const std::vector<sample::SampleProxy> firstRows = sample::GeneratedProxies(2);
  ScriptedServer held(Mode::Held, ScriptedServer::Page(200, ListBody(firstRows)));
  const sample::SamplePage& secondPage = site.Pages()[3];
  ops.addresses[0] = held.Url();
  ops.addresses[4] = site.Origin() + secondPage.path;

  test::ScriptedClock clock;
  bool nestedRan = false;
  std::vector<std::string> rowsAfterNested;
  QTimer::singleShot(0, [&] {
    // Chosen from the menu while the first command waits.
    ListPageCommand(ops, 4);
    nestedRan = true;
    for (int n = 1; n <= ops.Rows().Count(); ++n) rowsAfterNested.push_back(ops.Rows().Text(n, ProxyColumn::Address));
    held.Release();
  });
  ListPageCommand(ops, 0);

  ASSERT_TRUE(nestedRan);
  ASSERT_EQ(rowsAfterNested.size(), secondPage.proxies.size());
  for (std::size_t i = 0; i < rowsAfterNested.size(); ++i) EXPECT_EQ(rowsAfterNested[i], secondPage.proxies[i].address);
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{kTextFetching, kTextFetching, kTextAnalysing,
                                                         kTextAnalysisDone, kTextAnalysing, kTextAnalysisDone}));
  ExpectRowsOf(ops.Rows(), firstRows);
  EXPECT_EQ(ops.panel1, "共: 2 行");
}

TEST_F(Download, FirstCommandThatTimesOutLeavesTheSecondOnesRows) {
  ScriptedServer silent(Mode::Silent);
  const sample::SamplePage& secondPage = site.Pages()[5];
  ops.addresses[0] = silent.Url();
  ops.addresses[5] = site.Origin() + secondPage.path;
  test::ScriptedClock clock;
  QTimer::singleShot(0, [&] {
    ListPageCommand(ops, 5);
    clock.Advance(kSourceTimeoutSeconds + 1);  // the first command's time runs out meanwhile
  });
  ListPageCommand(ops, 0);
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{kTextFetching, kTextFetching, kTextAnalysing,
                                                         kTextAnalysisDone, kTextFetchFailed}));
  ExpectRowsOf(ops.Rows(), secondPage.proxies);
}

}  // namespace
}  // namespace mivo
