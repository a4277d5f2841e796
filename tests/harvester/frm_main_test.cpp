// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "harvester/ui/frm_main.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include "common/gbk.h"
#include "common/ui/widgets.h"
#include "harvester/list_export.h"
#include "harvester/page_parser.h"
#include "socket/sockets_layer.h"

namespace mivo {
namespace {

QString Q(const char* s) { return QString::fromUtf8(s); }

std::vector<std::pair<QString, QString>> MenuItems(QMenu* menu) {
  std::vector<std::pair<QString, QString>> items;
  for (QAction* a : menu->actions()) items.emplace_back(a->objectName(), a->isSeparator() ? "-" : a->text());
  return items;
}

class FrmMainTest : public ::testing::Test {
 protected:
  FrmMainTest() { window.show(); }
  QTableView* List() { return window.findChild<QTableView*>("Lw1"); }
  QWidget* Settings() { return window.findChild<QWidget*>("F1"); }
  void Trigger(const char* name) { window.findChild<QAction*>(name)->trigger(); }

  RecordingPresenter shown;
  frmMain window;
};

TEST_F(FrmMainTest, LoadShowsTheEmptyListAndLoadedText) {
  EXPECT_EQ(window.windowTitle(), Q("Mivo proxy ver1.0"));
  EXPECT_EQ(window.windowIcon().availableSizes().size(), 4);
  EXPECT_EQ(window.Panel(kListPanel), "载入完成!");
  EXPECT_EQ(window.Panel(kStatusPanel), "");
  EXPECT_TRUE(List()->isVisible());
  EXPECT_FALSE(Settings()->isVisible());
  EXPECT_EQ(window.Rows().Count(), 0);
  EXPECT_TRUE(shown.shown.empty());
  EXPECT_EQ(window.findChild<QStatusBar*>("Stb1"), window.statusBar());
  EXPECT_EQ(window.findChild<QLabel*>("Stb1Panel1")->width(), Twips(2540));
}

TEST_F(FrmMainTest, SevenColumnsWithCaptionsAndWidths) {
  const char* captions[] = {"IP地址", "端口", "类型", "地址", "速度", "连接测试", "Time"};
  const int widths[] = {2540, 1411, 1764, 3881, 2540, 2117, 2119};
  // The verification's columns follow the seven.
  ASSERT_EQ(List()->model()->columnCount(), 13);
  EXPECT_EQ(List()->model()->headerData(7, Qt::Horizontal).toString(), Q("协议"));
  EXPECT_EQ(List()->model()->headerData(12, Qt::Horizontal).toString(), Q("原因"));
  for (int c = 0; c < 7; ++c) {
    EXPECT_EQ(List()->model()->headerData(c, Qt::Horizontal).toString(), Q(captions[c]));
    EXPECT_EQ(List()->columnWidth(c), Twips(widths[c]));
  }
  EXPECT_TRUE(List()->isSortingEnabled());
}

TEST_F(FrmMainTest, MenusInOrder) {
  QList<QAction*> top = window.menuBar()->actions();
  ASSERT_EQ(top.size(), 3);
  EXPECT_EQ(top[0]->text(), Q("获取地址"));
  EXPECT_EQ(top[1]->text(), Q("设置代理"));
  EXPECT_EQ(top[2]->text(), Q("程序设置"));
  using Items = std::vector<std::pair<QString, QString>>;
  Items get;
  for (int i = 1; i <= 10; ++i) get.emplace_back(QString("http%1").arg(i), QString::fromUtf8("Http代理 %1").arg(i));
  get.emplace_back("Fgx0", "-");
  get.emplace_back("jywdl1", Q("教育网代理1"));
  get.emplace_back("jywdl2", Q("教育网代理1"));
  // Lists of any format, after the twelve pages.
  get.emplace_back("Fgx3", "-");
  get.emplace_back("importList", Q("导入列表..."));
  get.emplace_back("importAll", Q("获取所有列表源"));
  EXPECT_EQ(MenuItems(window.findChild<QMenu*>("Getaddress")), get);
  EXPECT_EQ(MenuItems(window.findChild<QMenu*>("setpromenu")), (Items{{"setPro", Q("设为代理")},
                                                                      {"closePro", Q("关闭代理")},
                                                                      {"Fgx1", "-"},
                                                                      {"Ptst", Q("代理测试")},
                                                                      {"conTest", Q("测试选中")},
                                                                      {"testall", Q("测试所有")},
                                                                      {"verifyAll", Q("验证所有")},
                                                                      {"verifySelected", Q("验证选中")},
                                                                      {"stopTest", Q("停止")},
                                                                      {"Fgx2", "-"},
                                                                      {"uploadlst", Q("导出列表")}}));
  EXPECT_EQ(MenuItems(window.findChild<QMenu*>("Setmenu")),
            (Items{{"Meset1", Q("程序设置")}, {"prolist", Q("代理列表")}}));
}

TEST_F(FrmMainTest, SettingsPanelHoldsAddressesAndExportSettings) {
  for (int k = 0; k < 12; ++k) {
    auto* box = window.findChild<QLineEdit*>(QString("Text1_%1").arg(k));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text().toStdString(), window.AddressText(k));
  }
  EXPECT_EQ(window.AddressText(0), "http://127.0.0.1:8086/proxy1.html");
  EXPECT_EQ(window.AddressText(1), window.AddressText(2));
  EXPECT_EQ(window.AddressText(11), "http://127.0.0.1:8086/proxyedu2.html");
  EXPECT_EQ(window.findChild<QLabel*>("Label1_10")->text(), Q("教育网1:"));
  EXPECT_TRUE(window.ExportTicked(2));
  EXPECT_FALSE(window.ExportTicked(3));
  EXPECT_FALSE(window.ExportTicked(4));
  // The verification's columns: unticked, named as the list names them.
  for (int ck = 5; ck < kExportBoxes; ++ck) {
    EXPECT_FALSE(window.ExportTicked(ck)) << ck;
    EXPECT_EQ(window.findChild<QCheckBox*>(QString("Ck%1").arg(ck))->text(),
              List()->model()->headerData(ck + 2, Qt::Horizontal).toString());
  }
  EXPECT_TRUE(window.findChild<QCheckBox*>("Ck1")->isChecked());
  auto* combo = window.findChild<QComboBox*>("Combo1");
  ASSERT_EQ(combo->count(), 6);
  EXPECT_EQ(combo->itemText(4), ":");
  EXPECT_EQ(window.Separator(), "--");
  EXPECT_EQ(window.findChild<QLabel*>("Label3")->text(), Q("127.0.0.1--80--中国--0"));
  combo->setEditText("##");
  EXPECT_EQ(window.Separator(), "##");
}

TEST_F(FrmMainTest, RightClickPopsUpTheProxyMenuLeftClickDoesNot) {
  auto* menu = window.findChild<QMenu*>("setpromenu");
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_FALSE(menu->isVisible());
  QTest::mouseClick(List()->viewport(), Qt::RightButton, {}, QPoint(20, 20));
  EXPECT_TRUE(menu->isVisible());
  menu->hide();
}

TEST_F(FrmMainTest, SwitchingViewsKeepsRowsAndTexts) {
  window.Rows().Append("1.2.3.4");
  window.SetPanel(kStatusPanel, "x");
  Trigger("Meset1");
  EXPECT_TRUE(Settings()->isVisible());
  EXPECT_FALSE(List()->isVisible());
  Trigger("Meset1");
  EXPECT_TRUE(Settings()->isVisible());
  Trigger("prolist");
  EXPECT_TRUE(List()->isVisible());
  EXPECT_FALSE(Settings()->isVisible());
  EXPECT_EQ(window.Rows().Count(), 1);
  EXPECT_EQ(window.Panel(kStatusPanel), "x");
  EXPECT_EQ(window.Panel(kListPanel), "载入完成!");
}

TEST_F(FrmMainTest, ParsedPageFillsTheListAndSelectionIsSeen) {
  std::string page;
  for (int i = 1; i <= 3; ++i)
    page += "<tr><td>127.0.0." + std::to_string(i) +
            "<SCRIPT type=text/javascript>document.write(\":\"+r+d)\r\n"
            "</SCRIPT></td><td>HTTP</td><td>0.5</td><td>上海</td></tr>\r\n";
  window.SetPageText(FromGbk(ToGbk(page)));
  ParseSource(window);
  EXPECT_EQ(List()->model()->rowCount(), 3);
  EXPECT_EQ(List()->model()->data(List()->model()->index(2, ColumnIndex(ProxyColumn::Location))).toString(), Q("上海"));
  EXPECT_EQ(window.Panel(kStatusPanel), "源码分析完成....");
  EXPECT_EQ(window.Panel(kListPanel), "共: 3 行");
  EXPECT_EQ(window.SelectedRow(), 0);
  List()->selectRow(1);
  EXPECT_EQ(window.SelectedRow(), 2);
}

TEST_F(FrmMainTest, ResizingCarriesListAndSettingsAlong) {
  window.resize(window.width() + 200, window.height() + 100);
  QTest::qWait(0);
  EXPECT_EQ(List()->width(), window.centralWidget()->width());
  EXPECT_EQ(List()->height() + window.findChild<QWidget*>("filterBar")->height(), window.centralWidget()->height());
  EXPECT_EQ(Settings()->width(), window.centralWidget()->width());
}

// Rows in an order no column is sorted in, to be sorted and narrowed.
class FrmMainListViewTest : public FrmMainTest {
 protected:
  FrmMainListViewTest() {
    const char* rows[][4] = {{"127.0.0.10", "8080", "HTTP", ""},
                             {"127.0.0.9", "80", "SOCKS5", "★ 成功"},
                             {"127.0.0.100", "1080", "socks4", "☆ 失败"},
                             {"localhost", "443", "HTTP", "★ 成功"}};
    for (const auto& r : rows) {
      window.Rows().Append(r[0]);
      const int n = window.Rows().Count();
      window.Rows().SetText(n, ProxyColumn::Port, r[1]);
      window.Rows().SetText(n, ProxyColumn::Type, r[2]);
      window.Rows().SetText(n, ProxyColumn::Result, r[3]);
    }
  }
  // The shown rows' cells in `column`, top to bottom.
  std::vector<std::string> Shown(ProxyColumn column) {
    std::vector<std::string> cells;
    QAbstractItemModel* m = List()->model();
    for (int r = 0; r < m->rowCount(); ++r) cells.push_back(Utf8(m->data(m->index(r, ColumnIndex(column))).toString()));
    return cells;
  }
  void ClickHeader(ProxyColumn column) {
    QHeaderView* header = List()->horizontalHeader();
    const int c = ColumnIndex(column);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(c) + header->sectionSize(c) / 2, header->height() / 2));
  }
};

TEST_F(FrmMainListViewTest, HeaderClicksSortByValueThenReverse) {
  using Cells = std::vector<std::string>;
  struct Case {
    ProxyColumn column;
    Cells ascending;
  };
  const Case cases[] = {
      {ProxyColumn::Port, {"80", "443", "1080", "8080"}},
      {ProxyColumn::Address, {"127.0.0.9", "127.0.0.10", "127.0.0.100", "localhost"}},
  };
  for (const Case& c : cases) {
    ClickHeader(c.column);
    EXPECT_EQ(Shown(c.column), c.ascending);
    ClickHeader(c.column);
    EXPECT_EQ(Shown(c.column), Cells(c.ascending.rbegin(), c.ascending.rend()));
  }
  EXPECT_EQ(window.Rows().Text(1, ProxyColumn::Address), "127.0.0.10") << "the list model keeps its order";
}

TEST_F(FrmMainListViewTest, FilterNarrowsByTextAndQuickChoiceAndExportsTheRowsShown) {
  using Cells = std::vector<std::string>;
  struct Case {
    const char* text;
    const char* quick;
    Cells shown;
  };
  const Case cases[] = {
      {"", "全部", {"127.0.0.10", "127.0.0.9", "127.0.0.100", "localhost"}},
      {"0.10", "全部", {"127.0.0.10", "127.0.0.100"}},
      {"Socks", "全部", {"127.0.0.9", "127.0.0.100"}},
      {"", "★ 成功", {"127.0.0.9", "localhost"}},
      {"", "SOCKS4", {"127.0.0.100"}},
      {"443", "HTTP", {"localhost"}},
      {"0.9", "HTTP", {}},
  };
  auto* box = window.findChild<QLineEdit*>("filterBox");
  auto* quick = window.findChild<QComboBox*>("filterQuick");
  EXPECT_EQ(box->placeholderText(), Q("筛选"));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.quick);
    box->setText(Q(c.text));
    quick->setCurrentIndex(quick->findText(Q(c.quick)));
    ASSERT_GE(quick->currentIndex(), 0);
    EXPECT_EQ(Shown(ProxyColumn::Address), c.shown);
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    ASSERT_TRUE(WriteExport(file, window));
    // Each line starts with the address, then the separator.
    Cells exported;
    for (const QByteArray& line : file.data().split('\n'))
      if (!line.isEmpty()) exported.push_back(line.left(line.indexOf("--")).toStdString());
    EXPECT_EQ(exported, c.shown);
  }
}

TEST_F(FrmMainTest, ClosingCleansTheSocketsLayerUpOnce) {
  const int started = PosixSockets().StartCount();
  ASSERT_GE(started, 1) << "the window's load starts the layer";
  window.close();
  EXPECT_EQ(PosixSockets().StartCount(), started - 1);
  EXPECT_TRUE(shown.shown.empty());
}

}  // namespace
}  // namespace mivo
