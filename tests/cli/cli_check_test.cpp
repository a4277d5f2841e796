// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QProcess>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "tests/harvester/loopback_peers.h"
#include "tests/support/cli.h"

namespace mivo {
namespace {

using test::LoopbackPort;

QString CliPath() { return test::BuiltProgram("cli/mivoproxy-cli"); }

struct CheckRun {
  int exitCode = -1;
  std::vector<std::vector<std::string>> lines;  // tab-separated fields
};

// Runs `mivoproxy-cli check` with `input` on standard input, under the
// open-file limit a desktop session usually starts programs with.
CheckRun Check(const std::string& input, rlim_t openFiles = 1024) {
  QProcess p;
  p.setChildProcessModifier([openFiles] {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = openFiles;
    // The program raises its soft limit to the hard one at start.
    if (openFiles < 1024) lim.rlim_max = openFiles;
    setrlimit(RLIMIT_NOFILE, &lim);
  });
  p.start(CliPath(), {"check"});
  CheckRun run;
  if (!p.waitForStarted(10000)) {
    ADD_FAILURE() << "cannot start " << CliPath().toStdString() << ": " << p.errorString().toStdString();
    return run;
  }
  p.write(input.data(), static_cast<qint64>(input.size()));
  p.closeWriteChannel();
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    return run;
  }
  run.exitCode = p.exitCode();
  const std::string out = p.readAllStandardOutput().toStdString();
  for (std::string_view line : Split(out, "\n")) {
    if (line.empty()) continue;
    std::vector<std::string> fields;
    for (std::string_view f : Split(line, "\t")) fields.emplace_back(f);
    run.lines.push_back(std::move(fields));
  }
  return run;
}

bool IsTimeText(const std::string& s) { return s.size() > 3 && s.ends_with(" ms") && s[0] >= '0' && s[0] <= '9'; }

TEST(CliCheck, ReadsBothRowFormsAndPrintsOneLinePerRowInOrder) {
  LoopbackPort proxy("127.0.0.2"), refused("127.0.0.3");
  ASSERT_TRUE(proxy.Listen());
  // After a byte-order mark; a NUL inside a cell, and a line past the limit, still give whole rows.
  const std::string input =
      "\xEF\xBB\xBF"
      "127.0.0.2 " +
      proxy.PortText() + "\n" +                                                                      //
      "127.0.0.3:" + refused.PortText() + "\r\n" +                                                   //
      "\n" +                                                                                         //
      std::string("127.0.0.2\0x ", 12) + proxy.PortText() + "\n" + std::string(70000, 'a') + "\n" +  //
      "  127.0.0.2:" + proxy.PortText() + "  \n";
  const CheckRun run = Check(input);
  EXPECT_EQ(run.exitCode, 0);
  const std::vector<std::vector<std::string>> expected{
      {"127.0.0.2", proxy.PortText(), "★ 成功"},       {"127.0.0.3", refused.PortText(), "☆ 失败"},
      {"127.0.0.2\\x00x", proxy.PortText(), "☆ 失败"}, {std::string(80, 'a') + "…", "", "☆ 失败"},
      {"127.0.0.2", proxy.PortText(), "★ 成功"},
  };
  ASSERT_EQ(run.lines.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(run.lines[i].size(), 4u) << i;
    EXPECT_EQ(std::vector<std::string>(run.lines[i].begin(), run.lines[i].begin() + 3), expected[i]);
    // The line past the limit is not tried: it has no echo time.
    EXPECT_EQ(IsTimeText(run.lines[i][3]), i != 3) << run.lines[i][3];
  }
}

TEST(CliCheck, TakesTheRowsFetchPrints) {
  // fetch prints address, port, type, location and speed: only the first two count.
  LoopbackPort proxy("127.0.0.2");
  ASSERT_TRUE(proxy.Listen());
  // A page row without a port comes out with empty cells; it is checked all the same.
  const CheckRun run =
      Check("127.0.0.2\t" + proxy.PortText() + "\tHTTP\t北京市 电信\t0.35\n" + "127.0.0.2\t\tHTTP\t\t\n");
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_EQ(run.lines.size(), 2u);
  ASSERT_EQ(run.lines[0].size(), 4u);
  EXPECT_EQ(run.lines[0][1], proxy.PortText());
  EXPECT_EQ(run.lines[0][2], "★ 成功");
  ASSERT_EQ(run.lines[1].size(), 4u);
  EXPECT_EQ(run.lines[1][1], "");
  EXPECT_EQ(run.lines[1][2], "☆ 失败");
}

class CliCheckLimit : public ::testing::TestWithParam<std::pair<int, rlim_t>> {};

// More rows than descriptors: the rest wait for the first to end, and none
// is marked failed for want of a descriptor.
TEST_P(CliCheckLimit, EveryRowGetsItsOwnOutcome) {
  const auto [rows, openFiles] = GetParam();
  LoopbackPort proxy("127.0.0.2"), refused("127.0.0.3");
  ASSERT_TRUE(proxy.Listen(4096));
  std::string input;
  for (int i = 0; i < rows; ++i)
    input += i % 2 ? "127.0.0.3 " + refused.PortText() + "\n" : "127.0.0.2 " + proxy.PortText() + "\n";
  const CheckRun run = Check(input, openFiles);
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_EQ(run.lines.size(), static_cast<std::size_t>(rows));
  int wrong = 0;
  for (std::size_t i = 0; i < run.lines.size(); ++i)
    if (run.lines[i].size() != 4 || run.lines[i][2] != (i % 2 ? "☆ 失败" : "★ 成功")) ++wrong;
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(RowsAndOpenFiles, CliCheckLimit,
                         ::testing::Values(std::pair<int, rlim_t>{2000, 1024}, std::pair<int, rlim_t>{600, 150}));

struct UnreadableInput {
  const char* name;
  QStringList args;
  bool folder;  // standard input is a folder; else it is closed
};

void PrintTo(const UnreadableInput& c, std::ostream* os) { *os << c.name; }

class CliUnreadableInput : public ::testing::TestWithParam<UnreadableInput> {};

TEST_P(CliUnreadableInput, IsAUsageErrorThatSaysSo) {
  QProcess p;
  const bool folder = GetParam().folder;
  p.setChildProcessModifier([folder] {
    ::close(STDIN_FILENO);
    if (folder) ::open("/", O_RDONLY);  // takes the lowest number: 0
  });
  p.start(CliPath(), GetParam().args);
  ASSERT_TRUE(p.waitForStarted(10000));
  ASSERT_TRUE(test::WaitUntil([&] { return p.state() == QProcess::NotRunning; }, 30000));
  EXPECT_EQ(p.exitCode(), 2);
  EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
  const std::string err = p.readAllStandardError().toStdString();
  EXPECT_NE(err.find(std::string("cannot read standard input: ") + (folder ? "" : "it is closed")), std::string::npos)
      << err;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliUnreadableInput,
    ::testing::Values(UnreadableInput{"CheckFromAFolder", {"check"}, true},
                      UnreadableInput{"CheckClosed", {"check"}, false},
                      UnreadableInput{"VerifyFromAFolder", {"verify", "--target", "127.0.0.1:7007"}, true},
                      UnreadableInput{"VerifyClosed", {"verify", "--target", "127.0.0.1:7007"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo
