// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "harvester/list_export.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "harvester/main_window_ops.h"

namespace mivo {
namespace {

struct Row {
  const char* address;
  const char* port;
  const char* type;
  const char* location;
};

void Fill(HeadlessMainOps& ops, std::initializer_list<Row> rows) {
  for (const Row& r : rows) {
    ops.rows.Append(r.address);
    const int n = ops.rows.Count();
    ops.rows.SetText(n, ProxyColumn::Port, r.port);
    ops.rows.SetText(n, ProxyColumn::Type, r.type);
    ops.rows.SetText(n, ProxyColumn::Location, r.location);
    // Never exported.
    ops.rows.SetText(n, ProxyColumn::Speed, "0.5");
    ops.rows.SetText(n, ProxyColumn::Result, "★ 成功");
    ops.rows.SetText(n, ProxyColumn::Time, "3 ms");
  }
}

void Tick(HeadlessMainOps& ops, bool port, bool type, bool location) {
  ops.exportTicked = {false, true, port, type, location};  // Ck1..Ck4 at 1..4
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  QString File() const { return dir.filePath("mivoProxyinfo.txt"); }
  std::string Exported() const {
    QFile f(File());
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll().toStdString();
  }
  void Export() { uploadlst(ops, dir.path()); }

  QTemporaryDir dir;
  HeadlessMainOps ops;
};

// ---- The eight column combinations, byte for byte.

struct Combination {
  bool port, type, location;
  const char* bytes;
};

void PrintTo(const Combination& c, std::ostream* os) {
  *os << "port " << c.port << " type " << c.type << " location " << c.location;
}

class ExportColumns : public ExportTest, public ::testing::WithParamInterface<Combination> {};

TEST_P(ExportColumns, LinesHoldTheAddressAndTheTickedColumnsInOrder) {
  const Combination& c = GetParam();
  Fill(ops, {{"127.0.0.2", "8080", "HTTP", "Lab"}, {"127.0.0.3", "1080", "SOCKS5", "Roof"}});
  Tick(ops, c.port, c.type, c.location);
  Export();
  EXPECT_EQ(Exported(), c.bytes);
  EXPECT_TRUE(ops.statusHistory.empty());
}

INSTANTIATE_TEST_SUITE_P(
    All, ExportColumns,
    ::testing::Values(Combination{false, false, false, "127.0.0.2\r\n127.0.0.3\r\n"},
                      Combination{true, false, false, "127.0.0.2--8080\r\n127.0.0.3--1080\r\n"},
                      Combination{false, true, false, "127.0.0.2--HTTP\r\n127.0.0.3--SOCKS5\r\n"},
                      Combination{false, false, true, "127.0.0.2--Lab\r\n127.0.0.3--Roof\r\n"},
                      Combination{true, true, false, "127.0.0.2--8080--HTTP\r\n127.0.0.3--1080--SOCKS5\r\n"},
                      Combination{true, false, true, "127.0.0.2--8080--Lab\r\n127.0.0.3--1080--Roof\r\n"},
                      Combination{false, true, true, "127.0.0.2--HTTP--Lab\r\n127.0.0.3--SOCKS5--Roof\r\n"},
                      Combination{true, true, true,
                                  "127.0.0.2--8080--HTTP--Lab\r\n127.0.0.3--1080--SOCKS5--Roof\r\n"}));

// ---- Cell texts and separators.

TEST_F(ExportTest, ChineseCellsAndSeparatorAreWrittenInGbk) {
  Fill(ops, {{"127.0.0.2", "80", "高匿", "中国 北京"}, {"127.0.0.3", "81", "HTTP", "上海电信"}});
  Tick(ops, true, true, true);
  ops.separator = "，";
  Export();
  EXPECT_EQ(Exported(),
            "127.0.0.2\xA3\xAC"
            "80\xA3\xAC\xB8\xDF\xC4\xE4\xA3\xAC\xD6\xD0\xB9\xFA \xB1\xB1\xBE\xA9\r\n"
            "127.0.0.3\xA3\xAC"
            "81\xA3\xAC"
            "HTTP\xA3\xAC\xC9\xCF\xBA\xA3\xB5\xE7\xD0\xC5\r\n");
}

TEST_F(ExportTest, UsualProxyListFormWithColon) {
  Fill(ops, {{"127.0.0.2", "8080", "HTTP", "Lab"}});
  Tick(ops, true, false, false);
  ops.separator = ":";
  Export();
  EXPECT_EQ(Exported(), "127.0.0.2:8080\r\n");
}

TEST_F(ExportTest, EmptySeparatorJoinsTheFieldsDirectly) {
  Fill(ops, {{"127.0.0.2", "8080", "HTTP", "Lab"}});
  Tick(ops, true, true, true);
  ops.separator = "";
  Export();
  EXPECT_EQ(Exported(), "127.0.0.28080HTTPLab\r\n");
}

TEST_F(ExportTest, EmptyCellsKeepTheirSeparators) {
  Fill(ops, {{"127.0.0.2", "8080", "", "Lab"}, {"127.0.0.3", "1080", "HTTP", ""}, {"", "", "", ""}});
  Tick(ops, true, true, true);
  ops.separator = "|";
  Export();
  EXPECT_EQ(Exported(), "127.0.0.2|8080||Lab\r\n127.0.0.3|1080|HTTP|\r\n|||\r\n");
}

TEST_F(ExportTest, SeparatorInsideACellIsLeftAlone) {
  Fill(ops, {{"127.0.0.2", "8080", "a--b", " Lab "}});
  Tick(ops, false, true, true);
  Export();
  EXPECT_EQ(Exported(), "127.0.0.2--a--b-- Lab \r\n");
}

TEST_F(ExportTest, SecondExportReplacesTheFirst) {
  Fill(ops, {{"127.0.0.2", "1", "", ""}, {"127.0.0.3", "2", "", ""}, {"127.0.0.4", "3", "", ""}});
  Tick(ops, true, false, false);
  Export();
  EXPECT_EQ(Exported(), "127.0.0.2--1\r\n127.0.0.3--2\r\n127.0.0.4--3\r\n");
  ops.rows.Clear();
  Fill(ops, {{"127.0.0.5", "4", "", ""}});
  Export();
  EXPECT_EQ(Exported(), "127.0.0.5--4\r\n");
}

TEST_F(ExportTest, EmptyListNeitherCreatesNorTouchesTheFile) {
  Export();
  EXPECT_FALSE(QFile::exists(File()));
  QFile earlier(File());
  ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
  earlier.write("kept\r\n");
  earlier.close();
  Export();
  EXPECT_EQ(Exported(), "kept\r\n");
  EXPECT_TRUE(ops.statusHistory.empty());
}

TEST_F(ExportTest, UnwritableFolderIsToldAndNothingIsWritten) {
  Fill(ops, {{"127.0.0.2", "8080", "HTTP", "Lab"}});
  QFile blocker(dir.filePath("not-a-folder"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.write("x");
  blocker.close();
  uploadlst(ops, dir.filePath("not-a-folder"));
  uploadlst(ops, dir.filePath("missing"));
  ASSERT_EQ(ops.statusHistory.size(), 2u);
  const std::string told[] = {"导出列表失败: " + dir.filePath("not-a-folder/mivoProxyinfo.txt").toStdString() + ": ",
                              "导出列表失败: " + dir.filePath("missing/mivoProxyinfo.txt").toStdString() + ": "};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ops.statusHistory[static_cast<std::size_t>(i)].rfind(told[i], 0), 0u) << ops.statusHistory[i];
    EXPECT_GT(ops.statusHistory[static_cast<std::size_t>(i)].size(), told[i].size());  // with the reason
  }
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"not-a-folder"});
}

TEST_F(ExportTest, MenuCommandWritesBesideTheProgram) {
  const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("mivoProxyinfo.txt");
  QFile::remove(beside);
  Fill(ops, {{"127.0.0.2", "8080", "HTTP", "Lab"}});
  uploadlst(ops);
  QFile f(beside);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll().toStdString(), "127.0.0.2--8080\r\n");
  f.close();
  QFile::remove(beside);
}

// ---- The program's folder refuses new files (an installed program).

enum class Lands { BesideProgram, InDocuments, Nowhere };

struct Folders {
  bool programReadOnly;
  bool documentsFull;  // holds one page: the export does not fit
  Lands lands;
};

void PrintTo(const Folders& f, std::ostream* os) {
  *os << "program read-only " << f.programReadOnly << " documents full " << f.documentsFull;
}

// Runs `body` on a thread of its own in a private mount namespace where
// `readOnly` (if given) is mounted read-only, which holds for root too, and
// `small` (if given) is a 4 KiB tmpfs. The mounts go with the thread.
// False, without running `body`, when the namespace cannot be made.
bool RunWithMounts(const QString& readOnly, const QString& small, const std::function<void()>& body) {
  bool ran = false;
  std::thread t([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    const QByteArray ro = readOnly.toLocal8Bit(), tmp = small.toLocal8Bit();
    if (!ro.isEmpty() && (mount(ro.data(), ro.data(), nullptr, MS_BIND, nullptr) != 0 ||
                          mount(nullptr, ro.data(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0))
      return;
    if (!tmp.isEmpty() && mount("tmpfs", tmp.data(), "tmpfs", 0, "size=4k") != 0) return;
    ran = true;
    body();
  });
  t.join();
  return ran;
}

class ExportFallback : public ExportTest, public ::testing::WithParamInterface<Folders> {};

TEST_P(ExportFallback, FileLandsWhereItCanAndThePanelSaysWhereOrWhyNot) {
  const Folders& f = GetParam();
  const QString program = dir.filePath("program"), documents = dir.filePath("documents");
  ASSERT_TRUE(QDir().mkpath(program) && QDir().mkpath(documents));
  std::string expected;
  for (int i = 0; i < 1200; ++i) {  // 20,400 bytes: more than the file's buffer
    Fill(ops, {{"127.0.0.2", "8080", "HTTP", "Lab"}});
    expected += "127.0.0.2--8080\r\n";
  }
  const bool ran = RunWithMounts(f.programReadOnly ? program : QString(), f.documentsFull ? documents : QString(), [&] {
    uploadlst(ops, program, documents);
    const auto read = [](const QString& folder) {
      QFile file(QDir(folder).filePath("mivoProxyinfo.txt"));
      return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
    };
    const auto entries = [](const QString& folder) {
      return QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    };
    const QString inDocuments = QDir(documents).filePath("mivoProxyinfo.txt");
    switch (f.lands) {
      case Lands::BesideProgram:
        EXPECT_EQ(read(program), expected);
        EXPECT_EQ(entries(documents), QStringList{});
        EXPECT_TRUE(ops.statusHistory.empty());
        break;
      case Lands::InDocuments:
        EXPECT_EQ(read(documents), expected);
        EXPECT_EQ(entries(program), QStringList{});
        EXPECT_EQ(ops.statusHistory, std::vector<std::string>{"列表已导出到: " + inDocuments.toStdString()});
        break;
      case Lands::Nowhere:  // not even a partial file
        EXPECT_EQ(entries(program), QStringList{});
        EXPECT_EQ(entries(documents), QStringList{});
        EXPECT_EQ(ops.statusHistory, std::vector<std::string>{"导出列表失败: " + inDocuments.toStdString() + ": " +
                                                              std::strerror(ENOSPC)});
        break;
    }
  });
  if (!ran) GTEST_SKIP() << "needs a mount namespace (root or CAP_SYS_ADMIN)";
}

INSTANTIATE_TEST_SUITE_P(All, ExportFallback,
                         ::testing::Values(Folders{false, false, Lands::BesideProgram},
                                           Folders{true, false, Lands::InDocuments},
                                           Folders{true, true, Lands::Nowhere}));

// ---- The writer on devices.

// Takes `accepted` writes, then refuses every further one.
class FailingDevice : public QIODevice {
 public:
  explicit FailingDevice(int accepted) : accepted_(accepted) { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }
  QByteArray written;
  int writes = 0;

 protected:
  qint64 readData(char*, qint64) override { return -1; }
  qint64 writeData(const char* data, qint64 len) override {
    if (writes++ >= accepted_) {
      setErrorString("device full");
      return -1;
    }
    written.append(data, len);
    return len;
  }

 private:
  int accepted_;
};

TEST(WriteExport, WritesToAnyDevice) {
  HeadlessMainOps ops;
  Fill(ops, {{"127.0.0.2", "8080", "HTTP", "北京"}, {"127.0.0.3", "1080", "SOCKS5", "Lab"}});
  Tick(ops, false, false, true);
  QBuffer buffer;
  ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
  const WriteResult r = WriteExport(buffer, ops);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(buffer.data().toStdString(), "127.0.0.2--\xB1\xB1\xBE\xA9\r\n127.0.0.3--Lab\r\n");
}

TEST(WriteExport, StopsAtTheFirstRefusedWriteAndSaysWhy) {
  HeadlessMainOps ops;
  Fill(ops, {{"127.0.0.2", "1", "", ""}, {"127.0.0.3", "2", "", ""}, {"127.0.0.4", "3", "", ""}});
  FailingDevice device(1);
  const WriteResult r = WriteExport(device, ops);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "device full");
  EXPECT_EQ(device.written.toStdString(), "127.0.0.2--1\r\n");
  EXPECT_EQ(device.writes, 2);  // no line after the lost one
}

TEST(WriteExport, DeviceNotOpenFails) {
  HeadlessMainOps ops;
  Fill(ops, {{"127.0.0.2", "1", "", ""}});
  QBuffer closed;
  EXPECT_FALSE(WriteExport(closed, ops).ok);
}

}  // namespace
}  // namespace mivo
