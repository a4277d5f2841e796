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
  for (const QStringList& args :
       {QStringList{"parse", "/nonexistent/page.html"}, QStringList{"parse", "/"}, QStringList{"parse"},
        QStringList{"no-such-command"}, QStringList{"check", "extra"}}) {
    const auto r = test::RunCli(args);
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
    EXPECT_FALSE(r.err.isEmpty()) << args.join(' ').toStdString();
  }
}

}  // namespace
}  // namespace mivo
