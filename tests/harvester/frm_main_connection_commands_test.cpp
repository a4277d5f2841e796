// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>
#include <QTableView>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "common/gbk.h"
#include "common/presenter.h"
#include "harvester/list_export.h"
#include "harvester/ui/frm_main.h"
#include "tests/harvester/loopback_peers.h"
#include "tests/support/wait.h"
#include "tools/sample_site.h"

namespace mivo {
namespace {

using test::LoopbackPort;
using test::WaitUntil;

class FrmMainConnectionTest : public testing::Test {
 protected:
  FrmMainConnectionTest() {
    window.show();
    EXPECT_TRUE(proxy.Listen());
    for (const LoopbackPort* p : {&proxy, &refused}) {
      window.Rows().Append(p->Address());
      window.Rows().SetText(window.Rows().Count(), ProxyColumn::Port, p->PortText());
    }
  }
  void Trigger(const char* name) { window.findChild<QAction*>(name)->trigger(); }
  QString Cell(int row, ProxyColumn column) {
    auto* model = window.findChild<QTableView*>("Lw1")->model();
    return model->data(model->index(row, ColumnIndex(column))).toString();
  }

  RecordingPresenter shown;
  LoopbackPort proxy{"127.0.0.2"};
  LoopbackPort refused{"127.0.0.3"};
  frmMain window;
};

TEST_F(FrmMainConnectionTest, TestAllMarksTheRowsTheListShowsAndSaysWhenItEnds) {
  QAction* stop = window.findChild<QAction*>("stopTest");
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop->text(), QString::fromUtf8("停止"));
  EXPECT_FALSE(stop->isEnabled());
  auto* progress = window.findChild<QProgressBar*>("progress");
  EXPECT_FALSE(progress->isVisibleTo(&window));
  Trigger("testall");
  EXPECT_TRUE(stop->isEnabled());
  EXPECT_TRUE(progress->isVisibleTo(&window));
  EXPECT_EQ(progress->maximum(), 2);
  ASSERT_TRUE(WaitUntil([&] { return !stop->isEnabled(); }));
  EXPECT_FALSE(progress->isVisibleTo(&window));
  EXPECT_EQ(window.Panel(kStatusPanel), "测试完成: 成功 1, 失败 1");
  EXPECT_EQ(Cell(0, ProxyColumn::Result), QString::fromUtf8("★ 成功"));
  EXPECT_EQ(Cell(1, ProxyColumn::Result), QString::fromUtf8("☆ 失败"));
  EXPECT_TRUE(Cell(0, ProxyColumn::Time).endsWith(" ms"));
  EXPECT_TRUE(shown.shown.empty());
}

TEST_F(FrmMainConnectionTest, TestSelectedUsesTheListSelection) {
  Trigger("conTest");
  EXPECT_EQ(window.Panel(kStatusPanel), "请先更新代理列表...");
  window.findChild<QTableView*>("Lw1")->selectRow(0);
  Trigger("conTest");
  const std::string done = "地址: 127.0.0.2:" + proxy.PortText() + " 连接成功...";
  ASSERT_TRUE(WaitUntil([&] { return window.Panel(kStatusPanel) == done; }));
  EXPECT_EQ(Cell(0, ProxyColumn::Result), QString::fromUtf8("★ 成功"));
  EXPECT_EQ(Cell(1, ProxyColumn::Result), QString());
  EXPECT_TRUE(shown.shown.empty());
}

// The window against the sample site: its judge, a SOCKS5 proxy that relays
// and a listed proxy that refuses.
class FrmMainVerifyTest : public FrmMainConnectionTest {
 protected:
  FrmMainVerifyTest() {
    std::string error;
    EXPECT_TRUE(site.Start(sample::SampleSiteOptions::AnyFreePorts(), &error)) << error;
    window.Rows().Clear();
    window.findChild<QPlainTextEdit*>("verifyJudges")->setPlainText(QString::fromStdString(site.Origin() + "/judge"));
    window.findChild<QSpinBox*>("verifyTimeout")->setValue(3);
  }
  // The first listed proxy of `kind` that listens or not, as a row of the list.
  const sample::SampleProxy* AddListed(ProxyType kind, bool listening) {
    for (const sample::SamplePage& page : site.Pages())
      for (const sample::SampleProxy& p : page.proxies)
        if (p.kind == kind && p.listening == listening && !p.credentials) {
          AddRow(p.address, std::to_string(p.port));
          return &p;
        }
    ADD_FAILURE() << "no such listed proxy";
    return nullptr;
  }
  void AddRow(const std::string& address, const std::string& port) {
    window.Rows().Append(address);
    window.Rows().SetText(window.Rows().Count(), ProxyColumn::Port, port);
  }
  QString Text(const char* s) { return QString::fromUtf8(s); }

  sample::SampleSite site;
};

TEST_F(FrmMainVerifyTest, VerifyAllFillsTheVerificationColumnsAndSaysWhenItEnds) {
  const sample::SampleProxy* socks = AddListed(ProxyType::Socks5, true);
  AddListed(ProxyType::Socks5, false);
  ASSERT_NE(socks, nullptr);
  QAction* stop = window.findChild<QAction*>("stopTest");
  Trigger("verifyAll");
  EXPECT_TRUE(stop->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !stop->isEnabled(); }));
  EXPECT_EQ(window.Panel(kStatusPanel), "验证完成: 成功 1, 失败 1");
  EXPECT_EQ(Cell(0, ProxyColumn::Protocol), "SOCKS5");
  EXPECT_EQ(Cell(0, ProxyColumn::Anonymity), Text("高匿"));
  EXPECT_EQ(Cell(0, ProxyColumn::Exit), QString::fromStdString(socks->address));
  bool number = false;
  EXPECT_GE(Cell(0, ProxyColumn::HandshakeMs).toInt(&number), 0);
  EXPECT_TRUE(number);
  EXPECT_EQ(Cell(0, ProxyColumn::Reason), Text("通过"));
  EXPECT_EQ(Cell(1, ProxyColumn::Protocol), QString());
  EXPECT_EQ(Cell(1, ProxyColumn::HandshakeMs), QString());
  EXPECT_EQ(Cell(1, ProxyColumn::Reason), Text("连接被拒绝"));
  // The seven columns' cells are the walk's.
  EXPECT_EQ(Cell(0, ProxyColumn::Result), QString());

  // Exported when ticked, after the seven's.
  window.findChild<QCheckBox*>("Ck10")->setChecked(true);
  QBuffer exported;
  exported.open(QIODevice::WriteOnly);
  ASSERT_TRUE(WriteExport(exported, window).ok);
  std::string expected;
  for (int n = 1; n <= 2; ++n)
    expected += ToGbk(window.Rows().Text(n, ProxyColumn::Address) + "--" + window.Rows().Text(n, ProxyColumn::Port) +
                      "--" + Cell(n - 1, ProxyColumn::Reason).toStdString()) +
                "\r\n";
  EXPECT_EQ(exported.data().toStdString(), expected);
}

TEST_F(FrmMainVerifyTest, StopEndsAVerificationAndRowsNotReachedKeepTheirCells) {
  AddListed(ProxyType::Socks5, false);
  test::LoopbackPort silent{"127.0.0.4"};
  ASSERT_TRUE(silent.ListenSilently());
  AddRow(silent.Address(), silent.PortText());
  window.findChild<QTableView*>("Lw1")->selectRow(0);
  Trigger("verifySelected");
  ASSERT_TRUE(WaitUntil([&] { return window.Panel(kStatusPanel) == "验证完成: 成功 0, 失败 1"; }));
  EXPECT_EQ(Cell(0, ProxyColumn::Reason), Text("连接被拒绝"));
  EXPECT_EQ(Cell(1, ProxyColumn::Reason), QString());

  window.findChild<QTableView*>("Lw1")->selectRow(1);
  window.findChild<QSpinBox*>("verifyTimeout")->setValue(600);
  Trigger("verifySelected");
  QAction* stop = window.findChild<QAction*>("stopTest");
  ASSERT_TRUE(stop->isEnabled());
  // The silent row is under way once the judge has answered: 0 of 1.
  auto* progress = window.findChild<QProgressBar*>("progress");
  ASSERT_TRUE(WaitUntil([&] { return progress->isVisibleTo(&window); }));
  EXPECT_EQ(progress->maximum(), 1);
  EXPECT_EQ(progress->value(), 0);
  stop->trigger();
  EXPECT_FALSE(stop->isEnabled());
  EXPECT_FALSE(progress->isVisibleTo(&window));
  EXPECT_EQ(window.Panel(kStatusPanel), "验证已停止: 成功 0, 失败 0");
  EXPECT_EQ(Cell(1, ProxyColumn::Reason), QString());
  EXPECT_EQ(Cell(0, ProxyColumn::Reason), Text("连接被拒绝"));
}

TEST_F(FrmMainVerifyTest, SettingsAreKeptForTheNextWindowThePasswordOnlyWithASecretStore) {
  window.findChild<QLineEdit*>("verifyUrl")->setText("http://127.0.0.1:1/page");
  window.findChild<QLineEdit*>("verifyExpect")->setText(Text("欢迎"));
  window.findChild<QLineEdit*>("verifyUser")->setText("u");
  auto* password = window.findChild<QLineEdit*>("verifyPassword");
  password->setText("secret");
  emit password->editingFinished();
  window.findChild<QSpinBox*>("verifyConcurrency")->setValue(7);
  // No secret service runs here: the panel says the password is for this run only.
  auto* note = window.findChild<QLabel*>("verifyPasswordNote");
  ASSERT_TRUE(WaitUntil([&] { return !note->text().isEmpty(); }));
  EXPECT_TRUE(note->text().startsWith(Text("密码仅本次运行有效")));

  auto next = std::make_unique<frmMain>();
  for (const char* name : {"verifyUrl", "verifyExpect", "verifyUser"})
    EXPECT_EQ(next->findChild<QLineEdit*>(name)->text(), window.findChild<QLineEdit*>(name)->text()) << name;
  EXPECT_EQ(next->findChild<QPlainTextEdit*>("verifyJudges")->toPlainText(),
            QString::fromStdString(site.Origin() + "/judge"));
  EXPECT_EQ(next->findChild<QSpinBox*>("verifyTimeout")->value(), 3);
  EXPECT_EQ(next->findChild<QSpinBox*>("verifyConcurrency")->value(), 7);
  EXPECT_EQ(next->findChild<QLineEdit*>("verifyPassword")->text(), QString());
  auto* nextNote = next->findChild<QLabel*>("verifyPasswordNote");
  ASSERT_TRUE(WaitUntil([&] { return !nextNote->text().isEmpty(); }));
}

// The view's first row, sorted or narrowed, is the row 测试选中 tests.
TEST_F(FrmMainConnectionTest, TestSelectedActsOnTheRowTheUserSees) {
  struct Case {
    const char* name;
    std::function<void(QTableView*)> arrange;
    int sourceRow;
  };
  const Case cases[] = {
      {"addresses descending", [](QTableView* list) { list->sortByColumn(0, Qt::DescendingOrder); }, 2},
      {"filtered to the refused row",
       [this](QTableView*) {
         window.findChild<QLineEdit*>("filterBox")->setText(QString::fromStdString(refused.Address()));
       },
       2},
      {"filtered to the listening row",
       [this](QTableView*) {
         window.findChild<QLineEdit*>("filterBox")->setText(QString::fromStdString(proxy.PortText()));
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* list = window.findChild<QTableView*>("Lw1");
    for (int n = 1; n <= 2; ++n) window.Rows().SetText(n, ProxyColumn::Result, "");
    window.findChild<QLineEdit*>("filterBox")->clear();
    list->sortByColumn(-1, Qt::AscendingOrder);
    c.arrange(list);
    list->selectRow(0);
    EXPECT_EQ(window.SelectedRow(), c.sourceRow);
    Trigger("conTest");
    ASSERT_TRUE(WaitUntil([&] { return !window.Rows().Text(c.sourceRow, ProxyColumn::Result).empty(); }));
    EXPECT_EQ(window.Rows().Text(3 - c.sourceRow, ProxyColumn::Result), "");
  }
  EXPECT_TRUE(shown.shown.empty());
}

}  // namespace
}  // namespace mivo
