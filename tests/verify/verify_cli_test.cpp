// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// mivoproxy-cli verify as a user runs it: rows on standard input, one line
// (or object, or record) per row on standard output, usage errors exit 2.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "common/text.h"
#include "tests/support/cli.h"
#include "tests/tunnel/proxy_peers.h"
#include "tools/location_db_writer.h"
#include "tools/sample_site.h"

namespace mivo {
namespace {

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

CliRun VerifyCli(const QStringList& args, const std::string& input = {}) {
  const test::CliResult r = test::RunCli(QStringList{"verify"} + args, QByteArray::fromStdString(input));
  return {r.exitCode, r.out.toStdString(), r.err.toStdString()};
}

enum class Format { Text, Json, Csv };

const char* FormatName(Format f) { return f == Format::Text ? "text" : f == Format::Json ? "json" : "csv"; }

constexpr const char* kNewColumns[] = {"reason", "connect_ms", "handshake_ms", "answer_ms", "country", "asn"};

// The thirteen columns of every row, whatever the format said them in.
std::vector<std::vector<std::string>> Rows(Format f, const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  if (f == Format::Json) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << out;
    for (const QJsonValue& v : doc.array()) {
      const QJsonObject o = v.toObject();
      EXPECT_EQ(o.size(), 13) << out;
      auto text = [&](const char* key) {
        if (o[key].isDouble()) return std::to_string(o[key].toInt());
        return o[key].isNull() ? std::string("-") : o[key].toString().toStdString();
      };
      rows.push_back({text("address"), text("port"), text("protocol"), text("outcome"),
                      o["time_ms"].isNull() ? "-" : std::to_string(o["time_ms"].toInt()) + " ms", text("anonymity"),
                      text("exit")});
      for (const char* key : kNewColumns) rows.back().push_back(text(key));
    }
    return rows;
  }
  std::vector<std::string_view> lines = Split(out, "\n");
  EXPECT_TRUE(!lines.empty() && lines.back().empty()) << "ends with a line break";
  if (!lines.empty()) lines.pop_back();
  if (f == Format::Csv) {
    EXPECT_TRUE(!lines.empty() && lines.front() ==
                                      "address,port,protocol,outcome,time,anonymity,exit,reason,connect_ms,"
                                      "handshake_ms,answer_ms,country,asn")
        << out;
    if (!lines.empty()) lines.erase(lines.begin());
  }
  for (std::string_view line : lines) {
    std::vector<std::string> fields;
    for (std::string_view field : Split(line, f == Format::Csv ? "," : "\t")) fields.emplace_back(field);
    EXPECT_EQ(fields.size(), 13u) << line;
    rows.push_back(std::move(fields));
  }
  return rows;
}

class VerifyCliFormat : public ::testing::TestWithParam<Format> {};

TEST_P(VerifyCliFormat, OneRecordPerRowInInputOrder) {
  sample::SampleSite site;
  std::string error;
  ASSERT_TRUE(site.Start(sample::SampleSiteOptions::AnyFreePorts(), &error)) << error;
  const std::vector<sample::SampleProxy>& listed = site.Pages()[0].proxies;
  // As fetch prints them after a byte-order mark, then rows that name no proxy.
  std::string input = "\xEF\xBB\xBF";
  for (const sample::SampleProxy& p : listed)
    input += p.address + "\t" + std::to_string(p.port) + "\t" + sample::TypeText(p.kind) + "\t" + p.location + "\t" +
             p.speed + "\n";
  input += "127.0.0.10\t99999\tHTTP\n127.0.0.300 80\n";
  // Cells as a hostile page or file may hold them, and a line without a sensible end.
  const std::string longAddress(200, 'b');
  input += std::string("127.0.0.28\0x\t42399\tSOCKS4\n", 26) + "\x1b]2;t\a\t=1+2\n" + "\xff\t80\n" + longAddress +
           " 80\n" + std::string(70000, 'a') + "\n";
  const bool json = GetParam() == Format::Json;
  const bool csv = GetParam() == Format::Csv;
  const std::vector<std::pair<std::string, std::string>> hostile{
      {json ? std::string("127.0.0.28\0x", 12) : "127.0.0.28\\x00x", "42399"},
      {json ? "\x1b]2;t\a" : "\\x1b]2;t\\x07", csv ? "'=1+2" : "=1+2"},
      {"\uFFFD", "80"},
      {longAddress, "80"},
      {std::string(80, 'a') + "…", ""},
  };

  // A second judge that nobody answers for is left out; the rows go to the first.
  const std::string deadJudge = "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()) + "/judge";
  QTemporaryDir dir;
  const QString db = dir.filePath("location.db");
  ASSERT_TRUE(sample::WriteLocationDb(db.toStdString(), sample::LoopbackLocations(), &error)) << error;
  const CliRun run = VerifyCli(
      {"--judge", QString::fromStdString(site.Origin() + "/judge"), "--judge", QString::fromStdString(deadJudge),
       "--format", FormatName(GetParam()), "--timeout", "5", "--location-db", db},
      input);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("the judge " + deadJudge + " is left out"), std::string::npos) << run.err;
  const std::vector<std::vector<std::string>> rows = Rows(GetParam(), run.out);
  ASSERT_EQ(rows.size(), listed.size() + 2 + hostile.size()) << run.out;
  EXPECT_EQ(QString::fromUtf8(run.out).toStdString(), run.out) << "strict UTF-8";
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(rows[i][0], listed[i].address);
    EXPECT_EQ(rows[i][1], std::to_string(listed[i].port));
    const bool ok = rows[i][3] == "★ 成功";
    EXPECT_EQ(ok, listed[i].listening) << rows[i][0];
    EXPECT_EQ(rows[i][2] == "-", !ok);
    EXPECT_EQ(rows[i][4].ends_with(" ms"), ok) << rows[i][4];
    EXPECT_EQ(rows[i][6], ok ? listed[i].address : "-");
    EXPECT_EQ(rows[i][7], ok ? "-" : "refused");
    EXPECT_EQ(rows[i][8] != "-", ok) << "connect_ms";
    EXPECT_EQ(rows[i][10] != "-", ok) << "answer_ms";
    // The listed proxies' exits lie in the database's first network.
    EXPECT_EQ(rows[i][11], ok ? "QM" : "-");
    EXPECT_EQ(rows[i][12], ok ? "AS64500 Test Net A" : "-");
  }
  // The first row lists an HTTP proxy that passes the user's address on.
  EXPECT_EQ(rows[0][2], "HTTP");
  EXPECT_EQ(rows[0][5], "transparent");
  const std::vector<std::string> bad1{"127.0.0.10", "99999", "-", "☆ 失败", "-", "-", "-",
                                      "bad-row",    "-",     "-", "-",      "-", "-"};
  const std::vector<std::string> bad2{"127.0.0.300", "80", "-", "☆ 失败", "-", "-", "-",
                                      "bad-row",     "-",  "-", "-",      "-", "-"};
  EXPECT_EQ(rows[listed.size()], bad1);
  EXPECT_EQ(rows[listed.size() + 1], bad2);
  const std::string row5 = "row " + std::to_string(listed.size() + 1) + ": the port is not a number from 0 to 65535";
  const std::string row6 = "row " + std::to_string(listed.size() + 2) + ": not an IPv4 address: 127.0.0.300";
  EXPECT_NE(run.err.find(row5), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(row6), std::string::npos) << run.err;
  for (std::size_t i = 0; i < hostile.size(); ++i) {
    const std::vector<std::string>& row = rows[listed.size() + 2 + i];
    EXPECT_EQ(row, (std::vector<std::string>{hostile[i].first, hostile[i].second, "-", "☆ 失败", "-", "-", "-",
                                             "bad-row", "-", "-", "-", "-", "-"}))
        << i;
  }
  // Reasons show cells escaped and quote no more than 80 characters of one.
  const auto reason = [&](std::size_t i, const std::string& text) {
    return "row " + std::to_string(listed.size() + 3 + i) + ": " + text + "\n";
  };
  for (const std::string& line : {reason(0, "not an IPv4 address: 127.0.0.28\\x00x"),
                                  reason(3, "not an IPv4 address: " + std::string(80, 'b') + "…"),
                                  reason(4, "the line is longer than 65536 bytes")})
    EXPECT_NE(run.err.find(line), std::string::npos) << line << run.err;
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Formats, VerifyCliFormat, ::testing::Values(Format::Text, Format::Json, Format::Csv),
                         [](const auto& info) { return std::string(FormatName(info.param)); });

struct UsageCase {
  const char* name;
  QStringList args;
  const char* message;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class VerifyCliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(VerifyCliUsage, ExitsTwoWithTheReason) {
  QStringList args = GetParam().args;
  // A judge whose port nobody listens on.
  args.replaceInStrings("CLOSED", QString::number(test::FreeLoopbackPort()));
  // A judge that is the sample site's other pages.
  sample::SampleSite site;
  if (args.join(' ').contains("SITE")) {
    sample::SampleSiteOptions so = sample::SampleSiteOptions::AnyFreePorts();
    so.proxies = false;
    std::string error;
    ASSERT_TRUE(site.Start(so, &error)) << error;
    args.replaceInStrings("SITE", QString::fromStdString(site.Origin()));
  }
  const CliRun run = VerifyCli(args, "127.0.0.1 1080\n");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, VerifyCliUsage,
    ::testing::Values(
        UsageCase{"NoTargetNorJudge", {"--format", "json"}, "--target, --judge or --url is required"},
        UsageCase{"BothTargetAndJudge", {"--target", "127.0.0.1:7007", "--judge", "http://127.0.0.1/"}, "exclude"},
        UsageCase{"TargetNotAnAddress", {"--target", "localhost:7007"}, "--target wants a dotted IPv4 address"},
        UsageCase{"TargetPortZero", {"--target", "127.0.0.1:0"}, "--target wants"},
        UsageCase{"JudgeOverTls", {"--judge", "https://127.0.0.1/judge"}, "must be an http:// address"},
        UsageCase{"JudgePortOutOfRange", {"--judge", "http://127.0.0.1:70000/"}, "port of the judge is out of range"},
        UsageCase{"UrlAndJudge", {"--url", "http://127.0.0.1/", "--judge", "http://127.0.0.1/"}, "exclude"},
        UsageCase{"ExpectWithoutUrl", {"--target", "127.0.0.1:7007", "--expect", "x"}, "--expect goes with --url"},
        UsageCase{"CaFileWithoutHttps", {"--url", "http://127.0.0.1/", "--ca-file", "/dev/null"}, "--ca-file goes"},
        UsageCase{"NoConcurrency", {"--target", "127.0.0.1:7007", "--concurrency", "0"}, "--concurrency wants"},
        UsageCase{"JudgeNotAnAddress", {"--judge", "judge page"}, "the judge is not an address"},
        UsageCase{"JudgeNobodyAnswers", {"--judge", "http://127.0.0.1:CLOSED/judge"}, "cannot be used"},
        UsageCase{"JudgeAnswerTooLong", {"--judge", "SITE/generated?rows=5000"}, "its answer was too long"},
        UsageCase{"UnknownFormat", {"--target", "127.0.0.1:7007", "--format", "xml"}, "--format wants"},
        UsageCase{"NoTimeout", {"--target", "127.0.0.1:7007", "--timeout", "0"}, "--timeout wants"},
        UsageCase{"UnknownArgument", {"--target", "127.0.0.1:7007", "--verbose", "1"}, "unknown argument"},
        UsageCase{"MissingValue", {"--target"}, "missing value after --target"},
        UsageCase{"UserWithoutPassword", {"--target", "127.0.0.1:7007", "--user", "u"}, "--user wants --password"},
        UsageCase{"PasswordWithoutUser", {"--target", "127.0.0.1:7007", "--password", "p"}, "--password wants --user"},
        UsageCase{
            "EmptyPassword", {"--target", "127.0.0.1:7007", "--user", "u", "--password", ""}, "may not be empty"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo
