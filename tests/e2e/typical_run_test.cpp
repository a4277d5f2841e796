// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The typical run, as a user makes it, against the sample list site: fill
// the list, test every row, make a row the desktop proxy, export the list,
// and tunnel through one of the listed proxies.
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include "common/gbk.h"
#include "harvester/connection_tester.h"
#include "harvester/list_export.h"
#include "harvester/ui/frm_main.h"
#include "tests/harvester/isolated_desktop.h"
#include "tests/support/wait.h"
#include "tools/sample_site.h"
#include "tunnel/tunnel_texts.h"
#include "tunnel/ui/p_test.h"

namespace mivo {
namespace {

QString Q(const char* s) { return QString::fromUtf8(s); }

class TypicalRun : public ::testing::Test {
 protected:
  void SetUp() override {
    sample::SampleSiteOptions options = sample::SampleSiteOptions::AnyFreePorts();
    std::string error;
    ASSERT_TRUE(site.Start(options, &error)) << error;
    window.show();
  }
  void TearDown() override { QFile::remove(ExportFile()); }

  void Choose(const char* action) { window.findChild<QAction*>(action)->trigger(); }
  static QString ExportFile() {
    return QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromUtf8(kExportFileName));
  }
  const std::vector<sample::SampleProxy>& FirstPage() { return site.Pages().front().proxies; }

  RecordingPresenter shown;
  sample::SampleSite site;
  frmMain window;
};

TEST_F(TypicalRun, FromListToTunnel) {
  // 1. "Http代理 1" fills the list from the first page.
  window.findChild<QLineEdit*>("Text1_0")->setText(QString::fromStdString(site.Origin() + "/proxy1.html"));
  Choose("http1");
  const auto& listed = FirstPage();
  ASSERT_EQ(window.Rows().Count(), static_cast<int>(listed.size()));
  EXPECT_EQ(window.Panel(kListPanel), "共: " + std::to_string(listed.size()) + " 行");
  for (int n = 1; n <= window.Rows().Count(); ++n) {
    const sample::SampleProxy& p = listed[static_cast<std::size_t>(n - 1)];
    EXPECT_EQ(window.Rows().Text(n, ProxyColumn::Address), p.address);
    EXPECT_EQ(window.Rows().Text(n, ProxyColumn::Port), std::to_string(p.port));
    EXPECT_EQ(window.Rows().Text(n, ProxyColumn::Type), sample::TypeText(p.kind));
    EXPECT_EQ(window.Rows().Text(n, ProxyColumn::Location), p.location);
  }

  // 2. "测试所有" marks every row: listening proxies succeed, the rest fail.
  Choose("testall");
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        for (int n = 1; n <= window.Rows().Count(); ++n)
          if (window.Rows().Text(n, ProxyColumn::Result).empty()) return false;
        return true;
      },
      30000));
  for (int n = 1; n <= window.Rows().Count(); ++n) {
    EXPECT_EQ(window.Rows().Text(n, ProxyColumn::Result),
              listed[static_cast<std::size_t>(n - 1)].listening ? kMarkSuccess : kMarkFailure)
        << "row " << n;
    EXPECT_NE(window.Rows().Text(n, ProxyColumn::Time).find(" ms"), std::string::npos) << "row " << n;
  }

  // 3. "设为代理" on the first SOCKS5 row without credentials writes the store.
  int socks5 = 0;
  for (int n = 1; n <= window.Rows().Count() && socks5 == 0; ++n) {
    const sample::SampleProxy& p = listed[static_cast<std::size_t>(n - 1)];
    if (p.kind == sample::ProxyKind::Socks5 && p.listening && !p.credentials) socks5 = n;
  }
  ASSERT_NE(socks5, 0) << "the first page lists a live SOCKS5 proxy without credentials";
  const sample::SampleProxy& proxy = listed[static_cast<std::size_t>(socks5 - 1)];
  window.findChild<QTableView*>("Lw1")->selectRow(socks5 - 1);
  Choose("setPro");
  EXPECT_EQ(window.Panel(kStatusPanel),
            "地址: " + proxy.address + " ,端口: " + std::to_string(proxy.port) + " 代理成功!");
  // A SOCKS row goes into the desktop's SOCKS setting.
  const test::GnomeProxy store = test::ReadGnomeProxy();
  EXPECT_EQ(store.mode, "manual");
  EXPECT_EQ(store.httpHost, "");
  EXPECT_EQ(test::GnomeKey(".socks", "host"), "'" + proxy.address + "'");
  EXPECT_EQ(test::GnomeKey(".socks", "port"), std::to_string(proxy.port));

  // 4. "导出列表" writes every row, address and port joined by the separator.
  Choose("uploadlst");
  QFile exported(ExportFile());
  ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
  std::string expected;
  for (const sample::SampleProxy& p : listed) expected += p.address + "--" + std::to_string(p.port) + "\r\n";
  EXPECT_EQ(exported.readAll().toStdString(), ToGbk(expected));

  // 5. "代理测试" opens the tunnel window on the selected row; "连接" tunnels
  // through the proxy to the site's echo server.
  Choose("Ptst");
  pTest* tunnel = window.findChild<pTest*>("pTest");
  ASSERT_NE(tunnel, nullptr);
  EXPECT_EQ(tunnel->findChild<QLineEdit*>("Text1")->text().toStdString(), proxy.address);
  EXPECT_EQ(tunnel->findChild<QLineEdit*>("Text2")->text().toStdString(), std::to_string(proxy.port));
  tunnel->findChild<QComboBox*>("Combo1")->setCurrentText(Q("Sock5代理"));
  tunnel->findChild<QLineEdit*>("Text5")->setText("127.0.0.1");
  tunnel->findChild<QLineEdit*>("Text6")->setText(QString::number(site.EchoPort()));
  QTest::mouseClick(tunnel->findChild<QPushButton*>("Command1"), Qt::LeftButton);
  ASSERT_TRUE(test::WaitUntil([&] { return tunnel->Status() == kTextTargetConnected || !shown.shown.empty(); }, 15000))
      << tunnel->Status();
  EXPECT_EQ(tunnel->Status(), kTextTargetConnected);
  EXPECT_TRUE(shown.shown.empty());
}

}  // namespace
}  // namespace mivo
