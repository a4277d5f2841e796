// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tools/sample_site.h"

#include <QProcess>
#include <QTcpSocket>
#include <QUrl>

#include <gtest/gtest.h>

#include <set>

#include "common/gbk.h"
#include "common/text.h"
#include "harvester/main_window_ops.h"
#include "harvester/page_parser.h"
#include "tests/support/cli.h"
#include "tests/support/wait.h"
#include "tests/tools/listed_proxy.h"

namespace mivo::sample {
namespace {

void ExpectParsedAs(const std::string& pageText, const std::vector<SampleProxy>& proxies) {
  HeadlessMainOps ops;
  ops.SetPageText(pageText);
  ParseSource(ops);
  ASSERT_EQ(ops.Rows().Count(), static_cast<int>(proxies.size()));
  for (int n = 1; n <= ops.Rows().Count(); ++n) {
    const SampleProxy& p = proxies[static_cast<std::size_t>(n - 1)];
    EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Address), p.address) << n;
    EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Port), std::to_string(p.port)) << n;
    EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Type), TypeText(p.kind)) << n;
    EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Location), p.location) << n;
    EXPECT_EQ(ops.Rows().Text(n, ProxyColumn::Speed), p.speed) << n;
  }
  EXPECT_EQ(ops.panel1, "共: " + std::to_string(proxies.size()) + " 行");
}

TEST(PortScript, EveryPortOfTwoDigitsOrMoreDecodesBack) {
  const std::string lead = "<tr><td>127.0.0.1<SCRIPT type=text/javascript>document.write";
  for (int port = 10; port <= 65535; ++port) {
    ASSERT_EQ(DecodePort(lead + PortScript(port)), std::to_string(port)) << PortScript(port);
  }
  EXPECT_EQ(PortScript(8080), "(\":\"+r+d+r+d)");
}

class GeneratedPage : public ::testing::TestWithParam<int> {};

TEST_P(GeneratedPage, ParsesIntoExactlyItsRows) {
  const int rows = GetParam();
  const std::vector<SampleProxy> proxies = GeneratedProxies(rows);
  ASSERT_EQ(static_cast<int>(proxies.size()), rows);
  ExpectParsedAs(GeneratedPageText(rows), proxies);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GeneratedPage, ::testing::Values(0, 1, 2, 9, 10, 11, 99, 100, 101, 1000, 70000));

TEST(GeneratedPage, AddressesAreDistinctLoopbackAndLinesFitTheLineBuffer) {
  const int rows = 70000;
  std::set<std::string> seen;
  for (const SampleProxy& p : GeneratedProxies(rows)) {
    EXPECT_TRUE(QHostAddress(QString::fromStdString(p.address)).isLoopback()) << p.address;
    EXPECT_LE(p.address.size(), 14u);
    seen.insert(p.address);
  }
  EXPECT_EQ(static_cast<int>(seen.size()), rows);
  const std::string page = GeneratedPageText(rows);
  for (std::string_view line : Split(page, "\r\n")) {
    if (line.find("<tr>") == 0 || line.find("</SCRIPT>") == 0) {
      ASSERT_LT(GbkLength(line), 256u) << line;
    }
  }
}

TEST(SamplePages, TwelvePagesOfLoopbackProxiesSomeListeningSomeRefusing) {
  const std::vector<SamplePage> pages = SamplePages();
  ASSERT_EQ(pages.size(), 12u);
  std::set<std::string> paths;
  std::set<std::string> addresses;
  for (const SamplePage& page : pages) {
    paths.insert(page.path);
    int listening = 0;
    for (const SampleProxy& p : page.proxies) {
      EXPECT_TRUE(QHostAddress(QString::fromStdString(p.address)).isLoopback()) << p.address;
      EXPECT_GT(GbkLength(p.location), Utf8Length(p.location)) << "Chinese location: " << p.location;
      listening += p.listening ? 1 : 0;
      addresses.insert(p.address);
    }
    EXPECT_GT(listening, 0) << page.path;
    EXPECT_LT(listening, static_cast<int>(page.proxies.size())) << page.path;
    ExpectParsedAs(ListPageText("t", page.proxies), page.proxies);
  }
  EXPECT_EQ(paths.size(), 12u);
  for (int k = 0; k < kPageAddressCount; ++k) {
    const std::string path = QUrl(QString::fromStdString(DefaultPageAddress(k))).path().toStdString();
    EXPECT_TRUE(paths.count(path)) << "default page " << path << " is served";
  }
  EXPECT_GT(addresses.size(), 40u);
}

class SiteTest : public ::testing::Test {
 protected:
  explicit SiteTest(bool proxies = false) {
    SampleSiteOptions options = SampleSiteOptions::AnyFreePorts();
    options.proxies = proxies;
    std::string error;
    EXPECT_TRUE(site.Start(options, &error)) << error;
  }

  // The raw bytes the site sends back for `request`, written in pieces.
  QByteArray Exchange(const QList<QByteArray>& pieces) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, site.Port());
    EXPECT_TRUE(test::WaitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
    QByteArray answer;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { answer += socket.readAll(); });
    for (const QByteArray& piece : pieces) {
      socket.write(piece);
      EXPECT_TRUE(test::WaitUntil([&] { return socket.bytesToWrite() == 0; }));
    }
    EXPECT_TRUE(test::WaitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }));
    answer += socket.readAll();
    return answer;
  }

  SampleSite site;
};

TEST_F(SiteTest, ServesEachPageInGbk) {
  for (const SamplePage& page : site.Pages()) {
    const SampleSite::Response r = site.Answer("GET", page.path);
    EXPECT_EQ(r.status, 200);
    const std::string location = page.proxies.front().location;
    EXPECT_NE(r.body.find(ToGbk(location)), std::string::npos) << "GBK bytes of " << location;
    EXPECT_EQ(r.body.find(location), std::string::npos) << "no UTF-8 bytes of " << location;
    ExpectParsedAs(FromGbk(r.body), page.proxies);
  }
}

struct AnswerCase {
  const char* method;
  const char* target;
  int status;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.method << ' ' << c.target; }

class SiteAnswer : public SiteTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(SiteAnswer, Status) {
  const SampleSite::Response r = site.Answer(GetParam().method, GetParam().target);
  EXPECT_EQ(r.status, GetParam().status);
  EXPECT_FALSE(r.body.empty());
  if (r.status != 200 || std::string(GetParam().target) == "/") {
    HeadlessMainOps ops;
    ops.SetPageText(FromGbk(r.body));
    ParseSource(ops);
    EXPECT_EQ(ops.Rows().Count(), 0) << "pages other than lists hold no rows";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, SiteAnswer,
    ::testing::Values(AnswerCase{"GET", "/", 200}, AnswerCase{"GET", "/proxy10.html?x=1", 200},
                      AnswerCase{"GET", "/generated?rows=0", 200}, AnswerCase{"GET", "/generated?rows=300000", 200},
                      AnswerCase{"GET", "/nothing.html", 404}, AnswerCase{"GET", "/PROXY1.HTML", 404},
                      AnswerCase{"GET", "/generated", 400}, AnswerCase{"GET", "/generated?rows=-1", 400},
                      AnswerCase{"GET", "/generated?rows=300001", 400}, AnswerCase{"GET", "/generated?rows=5x", 400},
                      AnswerCase{"POST", "/proxy1.html", 405}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) {
      std::string name =
          std::string(info.param.method) + "_" + std::to_string(info.param.status) + "_" + std::to_string(info.index);
      return name;
    });

TEST_F(SiteTest, AnswersOverHttpAndClosesEvenForRequestsInPieces) {
  const QByteArray answer = Exchange({"GET /proxy2.h", "tml HTTP/1.1\r\nHost: 127.0.0.1\r\n", "\r\n"});
  ASSERT_TRUE(answer.startsWith("HTTP/1.1 200 OK\r\n")) << answer.left(80).toStdString();
  const qsizetype split = answer.indexOf("\r\n\r\n");
  const std::string body = answer.mid(split + 4).toStdString();
  EXPECT_TRUE(
      answer.left(split).contains("Content-Length: " + QByteArray::number(static_cast<qsizetype>(body.size()))));
  ExpectParsedAs(FromGbk(body), site.Pages()[1].proxies);
  EXPECT_EQ(site.Requests(), std::vector<std::string>{"/proxy2.html"});
}

TEST_F(SiteTest, HeadHasNoBodyAndBadRequestsGetTheirStatus) {
  const QByteArray head = Exchange({"HEAD /proxy1.html HTTP/1.1\r\n\r\n"});
  EXPECT_TRUE(head.startsWith("HTTP/1.1 200 OK")) << head.toStdString();
  EXPECT_TRUE(head.endsWith("\r\n\r\n"));
  EXPECT_TRUE(Exchange({"nonsense\r\n\r\n"}).startsWith("HTTP/1.1 400 "));
  EXPECT_TRUE(Exchange({QByteArray(20000, 'a')}).startsWith("HTTP/1.1 431 "));
}

TEST(SampleSite, ServesOnLoopbackOnly) {
  SampleSite site;
  SampleSiteOptions options;
  options.address = QHostAddress::Any;
  options.port = 0;
  std::string error;
  EXPECT_FALSE(site.Start(options, &error));
  EXPECT_FALSE(error.empty());
}

// Answers every chunk with its own bytes; shows that a protocol plugs in.
class EchoConversation : public ProxyConversation {
 public:
  void Received(QTcpSocket& socket, const QByteArray& bytes) override { socket.write(bytes); }
};

class SiteListeners : public SiteTest {
 protected:
  SiteListeners() : SiteTest(true) {}
};

TEST_F(SiteListeners, ListedProxiesEitherAnswerInTheirProtocolOrRefuse) {
  int answered = 0;
  int refused = 0;
  std::vector<std::unique_ptr<QTcpSocket>> sockets;
  for (const SamplePage& page : site.Pages()) {
    for (const SampleProxy& p : page.proxies) {
      auto socket = std::make_unique<QTcpSocket>();
      bool failed = false;
      QObject::connect(socket.get(), &QTcpSocket::errorOccurred, [&failed](auto) { failed = true; });
      socket->connectToHost(QHostAddress(QString::fromStdString(p.address)), static_cast<quint16>(p.port));
      ASSERT_TRUE(test::WaitUntil([&] { return failed || socket->state() == QAbstractSocket::ConnectedState; }));
      if (!p.listening) {
        EXPECT_EQ(socket->error(), QAbstractSocket::ConnectionRefusedError) << p.address << ":" << p.port;
        ++refused;
        continue;
      }
      ASSERT_EQ(socket->state(), QAbstractSocket::ConnectedState) << p.address << ":" << p.port;
      // The first exchange of each protocol, and the answer the type cell promises.
      QByteArray expected;
      switch (p.kind) {
        case ProxyKind::Socks4: socket->write(QByteArray("\x04\x01\x00\x50\x7F\x00\x00\x01\x00", 9)); break;
        case ProxyKind::Socks5:
          socket->write(QByteArray("\x05\x02\x00\x02", 4));
          expected = p.credentials ? QByteArray("\x05\x02", 2) : QByteArray("\x05\x00", 2);
          break;
        case ProxyKind::Http11: socket->write("CONNECT 127.0.0.1:80 HTTP/1.1\r\n\r\n"); break;
      }
      QByteArray back;
      QObject::connect(socket.get(), &QTcpSocket::readyRead, [&back, s = socket.get()] { back += s->readAll(); });
      ASSERT_TRUE(test::WaitUntil([&] { return back.size() >= 2; })) << p.address;
      switch (p.kind) {
        case ProxyKind::Socks4: EXPECT_EQ(back.left(1), QByteArray(1, '\0')) << p.address; break;
        case ProxyKind::Socks5: EXPECT_EQ(back, expected) << p.address; break;
        case ProxyKind::Http11:
          ASSERT_TRUE(test::WaitUntil([&] { return back.contains("\r\n\r\n"); })) << p.address;
          EXPECT_TRUE(back.startsWith(p.credentials ? "HTTP/1.1 407 " : "HTTP/1.1 ")) << back.toStdString();
          break;
      }
      ++answered;
      socket->disconnect();
      sockets.push_back(std::move(socket));
    }
  }
  EXPECT_GT(answered, 0);
  EXPECT_GT(refused, 0);
  sockets.clear();  // the listeners let closed connections go
  EXPECT_TRUE(test::WaitUntil([&] {
    int left = 0;
    for (const auto& l : site.Listeners()) left += l->Connections();
    return left == 0;
  }));
}

TEST(SamplePages, EveryProtocolIsListedWithAndWithoutCredentials) {
  std::set<std::pair<ProxyKind, bool>> live;
  for (const SamplePage& page : SamplePages())
    for (const SampleProxy& p : page.proxies) {
      if (p.listening) live.insert({p.kind, p.credentials});
      EXPECT_FALSE(p.kind == ProxyKind::Socks4 && p.credentials) << p.address;
    }
  const std::set<std::pair<ProxyKind, bool>> all{{ProxyKind::Socks4, false},
                                                 {ProxyKind::Socks5, false},
                                                 {ProxyKind::Socks5, true},
                                                 {ProxyKind::Http11, false},
                                                 {ProxyKind::Http11, true}};
  EXPECT_EQ(live, all);
}

TEST(SampleSite, ConversationOfTheListenersKindTalksOnEachConnection) {
  SampleSite site;
  std::vector<ProxyKind> asked;
  site.SetConversationFactory([&](const SampleProxy& proxy) -> std::unique_ptr<ProxyConversation> {
    asked.push_back(proxy.kind);
    return std::make_unique<EchoConversation>();
  });
  SampleSiteOptions options = SampleSiteOptions::AnyFreePorts();
  std::string error;
  ASSERT_TRUE(site.Start(options, &error)) << error;
  const SampleProxy* socks5 =
      FindListed(site, [](const SampleProxy& p) { return p.listening && p.kind == ProxyKind::Socks5; });
  ASSERT_NE(socks5, nullptr);
  QTcpSocket socket;
  socket.connectToHost(QHostAddress(QString::fromStdString(socks5->address)), static_cast<quint16>(socks5->port));
  QByteArray back;
  QObject::connect(&socket, &QTcpSocket::readyRead, [&] { back += socket.readAll(); });
  socket.write(QByteArray("\x05\x01\x00", 3));
  ASSERT_TRUE(test::WaitUntil([&] { return back.size() == 3; }));
  EXPECT_EQ(back, QByteArray("\x05\x01\x00", 3));
  EXPECT_EQ(asked, std::vector<ProxyKind>{ProxyKind::Socks5});
}

// The two programs as a user runs them: the site, then the command-line fetch.
class Programs : public ::testing::Test {
 protected:
  static QString Binary(const char* path) { return test::BuiltProgram(path); }
  ~Programs() override {
    if (site.state() != QProcess::NotRunning) {
      site.kill();
      site.waitForFinished(5000);
    }
  }
  QProcess site;
};

TEST_F(Programs, SiteThenCliFetchPrintsCompleteRows) {
  site.start(Binary("tools/mivo-sample-site"),
             {"--port", "0", "--any-proxy-ports", "--no-proxies", "--echo-port", "0"});
  QByteArray banner;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        banner += site.readAllStandardOutput();
        return banner.contains('\n') || site.state() == QProcess::NotRunning;
      },
      10000));
  const qsizetype at = banner.indexOf("http://");
  ASSERT_GE(at, 0) << banner.toStdString();
  const QString origin = QString::fromUtf8(banner.mid(at, banner.indexOf('\n', at) - at).trimmed());

  QProcess fetch;
  fetch.start(Binary("cli/mivoproxy-cli"), {"fetch", origin + "proxy1.html"});
  ASSERT_TRUE(test::WaitUntil([&] { return fetch.state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(fetch.exitCode(), 0);
  const std::string out = fetch.readAllStandardOutput().toStdString();
  const std::vector<SampleProxy> expected = SamplePages()[0].proxies;
  std::vector<std::string_view> lines = Split(out, "\n");
  ASSERT_EQ(lines.size(), expected.size() + 1) << out;  // and the empty text after the last break
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::vector<std::string_view> fields = Split(lines[i], "\t");
    ASSERT_EQ(fields.size(), 5u) << lines[i];
    for (std::string_view f : fields) EXPECT_FALSE(f.empty()) << lines[i];
    EXPECT_EQ(fields[0], expected[i].address);
    EXPECT_EQ(fields[2], TypeText(expected[i].kind));
    EXPECT_EQ(fields[3], expected[i].location);
    EXPECT_EQ(fields[4], expected[i].speed);
  }
  const std::string err = fetch.readAllStandardError().toStdString();
  EXPECT_NE(err.find("正在获取源码...."), std::string::npos);
  EXPECT_NE(err.find("共: " + std::to_string(expected.size()) + " 行"), std::string::npos) << err;
}

TEST_F(Programs, RowsOptionWritesAGeneratedPageInGbk) {
  site.start(Binary("tools/mivo-sample-site"), {"--rows", "7"});
  ASSERT_TRUE(test::WaitUntil([&] { return site.state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(site.exitCode(), 0);
  ExpectParsedAs(FromGbk(site.readAllStandardOutput().toStdString()), GeneratedProxies(7));
}

TEST_F(Programs, SiteHelpIsItsOutput) {
  site.start(Binary("tools/mivo-sample-site"), {"--help"});
  ASSERT_TRUE(test::WaitUntil([&] { return site.state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(site.exitCode(), 0);
  EXPECT_TRUE(site.readAllStandardOutput().startsWith("usage: mivo-sample-site"));
  EXPECT_TRUE(site.readAllStandardError().isEmpty());
}

TEST_F(Programs, CliFetchOfAnUnusableAddressIsAUsageError) {
  site.start(Binary("cli/mivoproxy-cli"), {"fetch", "not an address"});
  ASSERT_TRUE(test::WaitUntil([&] { return site.state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(site.exitCode(), 2);
  EXPECT_NE(site.readAllStandardError().toStdString().find("not an http or https address"), std::string::npos);
}

}  // namespace
}  // namespace mivo::sample
