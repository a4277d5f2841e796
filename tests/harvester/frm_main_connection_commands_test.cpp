// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QAction>
#include <QTableView>

#include <gtest/gtest.h>

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
  Trigger("testall");
  EXPECT_TRUE(stop->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !stop->isEnabled(); }));
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

}  // namespace
}  // namespace mivo
