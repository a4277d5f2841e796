// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

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

// A page of one row, and that row as parse prints it.
const std::string kPage = ToGbk(
    "<table>header line that is long enough to be ignored entirely</table>\r\n"
    "<tr><td>127.0.0.9<SCRIPT type=text/javascript>document.write(\":\"+r+d+r+d)\r\n"
    "</SCRIPT></td><td>SOCKS5</td><td>0.95</td><td>浙江省杭州市</td></tr>\r\n");
constexpr const char* kPageRow = "127.0.0.9\t8080\tSOCKS5\t浙江省杭州市\t0.95\n";

TEST(CliParse, PrintsRowsFromAGbkPageAndPanelsToStderr) {
  QTemporaryFile file;
  const auto r = test::RunCli({"parse", WritePage(file, kPage)});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.toStdString(), kPageRow);
  EXPECT_EQ(r.err.toStdString(), "正在分析....\n源码分析完成....\n共: 1 行\n");
}

TEST(CliParse, EmptyFileSaysItIsEmpty) {
  QTemporaryFile file;
  const QString name = WritePage(file, "");
  const auto r = test::RunCli({"parse", name});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.isEmpty());
  EXPECT_EQ(r.err.toStdString(), "mivoproxy-cli parse: " + name.toStdString() + " is empty\n");
}

TEST(CliParse, OpensAFileNamedInAnotherEncoding) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // "中" in GBK: not UTF-8, so no QString names it; the shell passes the bytes on.
  const std::string name = QFile::encodeName(dir.path()).toStdString() + "/\xD6\xD0.html";
  const std::string& page = kPage;
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, page.data(), page.size()), static_cast<ssize_t>(page.size()));
  ::close(fd);
  QProcess p;
  p.start("/bin/sh", {"-c", "exec \"$0\" parse \"$1/$(printf '\\326\\320').html\"",
                      test::BuiltProgram("cli/mivoproxy-cli"), dir.path()});
  ASSERT_TRUE(test::WaitUntil([&] { return p.state() == QProcess::NotRunning; }, 30000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_EQ(p.readAllStandardOutput().toStdString(), kPageRow);
}

TEST(CliParse, AnUnusableArgumentIsAUsageErrorWithAMessage) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString fifo = dir.filePath("page.html");
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);  // no writer: opening it would wait
  for (const auto& [args, message] :
       std::initializer_list<std::pair<QStringList, const char*>>{{{"parse", "/nonexistent/page.html"}, "No such file"},
                                                                  {{"parse", "/"}, "cannot read /"},
                                                                  {{"parse", fifo}, "not a regular file"},
                                                                  {{"parse"}, "missing FILE"},
                                                                  {{"no-such-command"}, "unknown command"},
                                                                  {{"check", "extra"}, "unexpected argument"}}) {
    const auto r = test::RunCli(args);
    const QList<QByteArray> lines = r.err.split('\n');
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
    ASSERT_GE(lines.size(), 2) << args.join(' ').toStdString();
    // The message names the program and what is wrong; the usage follows.
    EXPECT_TRUE(lines[0].startsWith("mivoproxy-cli") && lines[0].contains(message)) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("usage: mivoproxy-cli")) << lines[1].toStdString();
  }
}

// Output that cannot be written is no success, whatever the command.
TEST(CliOutput, AFullDiskIsAnErrorWithAMessage) {
  QTemporaryFile file;
  const QString page = WritePage(file, kPage);
  for (const QStringList& args :
       {QStringList{"--help"}, QStringList{"parse", "--help"}, QStringList{"--version"}, QStringList{"parse", page},
        QStringList{"verify", "--target", "127.0.0.1:7", "--format", "json"}}) {
    QProcess p;
    p.setStandardOutputFile("/dev/full");
    p.start(test::BuiltProgram("cli/mivoproxy-cli"), args);
    p.closeWriteChannel();
    ASSERT_TRUE(test::WaitUntil([&] { return p.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(p.exitCode(), 4) << args.join(' ').toStdString();
    EXPECT_TRUE(p.readAllStandardError().contains("cannot write standard output")) << args.join(' ').toStdString();
  }
}

}  // namespace
}  // namespace mivo
