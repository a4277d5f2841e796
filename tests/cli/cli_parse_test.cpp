// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QTemporaryFile>

#include <gtest/gtest.h>

#include "common/gbk.h"
#include "tests/support/cli.h"

namespace mivo {
namespace {

QString WritePage(QTemporaryFile& file, const std::string& bytes) {
  EXPECT_TRUE(file.open());
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
  file.close();
  return file.fileName();
}

TEST(CliParse, PrintsRowsFromAGbkPageAndPanelsToStderr) {
  const std::string page = ToGbk(
      "<table>header line that is long enough to be ignored entirely</table>\r\n"
      "<tr><td>127.0.0.9<SCRIPT type=text/javascript>document.write(\":\"+r+d+r+d)\r\n"
      "</SCRIPT></td><td>SOCKS5</td><td>0.95</td><td>浙江省杭州市</td></tr>\r\n");
  QTemporaryFile file;
  const auto r = test::RunCli({"parse", WritePage(file, page)});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.toStdString(), "127.0.0.9\t8080\tSOCKS5\t浙江省杭州市\t0.95\n");
  EXPECT_EQ(r.err.toStdString(), "正在分析....\n源码分析完成....\n共: 1 行\n");
}

TEST(CliParse, EmptyFileFailsWithTheFetchText) {
  QTemporaryFile file;
  const auto r = test::RunCli({"parse", WritePage(file, "")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.isEmpty());
  EXPECT_EQ(r.err.toStdString(), "获取失败,请检查网络!\n");
}

TEST(CliParse, AnUnusableArgumentIsAUsageErrorWithAMessage) {
  // The message names the program's part and what is wrong; the usage follows.
  const struct {
    QStringList args;
    const char* said;
  } cases[] = {{{"parse", "/nonexistent/page.html"}, "mivoproxy-cli parse: cannot read /nonexistent/page.html"},
               {{"parse", "/"}, "mivoproxy-cli parse: "},
               {{"parse"}, "mivoproxy-cli parse: missing FILE"},
               {{"no-such-command"}, "mivoproxy-cli: unknown command: no-such-command"},
               {{"check", "extra"}, "mivoproxy-cli check: unexpected argument: extra"}};
  for (const auto& c : cases) {
    const auto r = test::RunCli(c.args);
    const QList<QByteArray> lines = r.err.split('\n');
    EXPECT_EQ(r.exitCode, 2) << c.args.join(' ').toStdString();
    ASSERT_GE(lines.size(), 2) << c.args.join(' ').toStdString();
    EXPECT_TRUE(lines[0].startsWith(c.said)) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("usage: mivoproxy-cli")) << lines[1].toStdString();
  }
}

}  // namespace
}  // namespace mivo
