// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QAction>
#include <QHeaderView>
#include <QLineEdit>
#include <QProgressBar>
#include <QTableView>

#include <gtest/gtest.h>

#include <functional>

#include "common/presenter.h"
#include "harvester/ui/frm_main.h"
#include "tests/harvester/loopback_peers.h"
#include "tests/support/wait.h"

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
