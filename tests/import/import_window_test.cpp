// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The window's import commands: text dropped onto the list, the list sources
// of the settings panel kept between runs and imported at once.

#include <QAction>
#include <QDropEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTableView>

#include <gtest/gtest.h>

#include "harvester/ui/frm_main.h"
#include "harvester/ui/import_commands.h"
#include "tests/support/wait.h"
#include "tools/sample_site.h"

namespace mivo {
namespace {

void Drop(QWidget& target, const QString& text) {
  QMimeData data;
  data.setText(text);
  // A drop goes where the drag's entry was accepted.
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&target, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&target, &drop);
}

TEST(ImportWindow, DroppedTextReplacesOrFollowsTheListAsTheUserChooses) {
  frmMain window;
  auto* commands = window.findChild<ImportCommands*>();
  ASSERT_NE(commands, nullptr);
  std::optional<importer::ListMerge> answer;
  int asked = 0;
  commands->askMerge = [&] {
    ++asked;
    return answer;
  };
  QWidget* viewport = window.findChild<QTableView*>("Lw1")->viewport();

  // An empty list takes the rows without a question.
  Drop(*viewport, "socks5://u:p@ss@1.2.3.4:1080\n5.6.7.8:80 http\n[::1]:80\n");
  ASSERT_TRUE(test::WaitUntil([&] { return window.Rows().Count() == 2; }, 5000));
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(window.Rows().Text(1, ProxyColumn::Password), "p@ss");
  EXPECT_EQ(window.Rows().Text(2, ProxyColumn::Type), "HTTP");
  EXPECT_EQ(window.Panel(kStatusPanel), "导入完成: 行 3, 保留 2, 重复 0, 跳过 1");
  EXPECT_EQ(window.Panel(kListPanel), "共: 2 行");

  answer = importer::ListMerge::Append;
  Drop(*viewport, "9.9.9.9:99");
  ASSERT_TRUE(test::WaitUntil([&] { return window.Rows().Count() == 3; }, 5000));
  answer = std::nullopt;  // cancelled: the list stays
  Drop(*viewport, "8.8.8.8:88");
  ASSERT_TRUE(test::WaitUntil([&] { return asked == 2; }, 5000));
  EXPECT_EQ(window.Rows().Count(), 3);
  answer = importer::ListMerge::Replace;
  Drop(*viewport, "7.7.7.7:77");
  ASSERT_TRUE(test::WaitUntil([&] { return asked == 3 && window.Rows().Count() == 1; }, 5000));
  EXPECT_EQ(window.Rows().Text(1, ProxyColumn::Address), "7.7.7.7");
}

TEST(ImportWindow, ListSourcesAreKeptAndImportedAllAtOnce) {
  sample::SampleSite site;
  std::string error;
  ASSERT_TRUE(site.Start(sample::SampleSiteOptions::AnyFreePorts(), &error)) << error;
  const QString sources =
      QString::fromStdString(site.Origin() + "/list-urls.txt\n" + site.Origin() + "/list.csv\n/nonexistent/list.txt\n");
  {
    frmMain window;
    window.findChild<QPlainTextEdit*>("listSources")->setPlainText(sources);
  }
  frmMain window;
  EXPECT_EQ(window.findChild<QPlainTextEdit*>("listSources")->toPlainText() + "\n", sources);
  window.findChild<QAction*>("importAll")->trigger();
  std::size_t listed = 0;
  for (const sample::SamplePage& page : site.Pages()) listed += page.proxies.size();
  EXPECT_GT(window.Rows().Count(), 0);
  EXPECT_LE(static_cast<std::size_t>(window.Rows().Count()), listed);
  EXPECT_NE(window.Panel(kStatusPanel).find("1 个源读取失败: cannot read /nonexistent/list.txt"), std::string::npos)
      << window.Panel(kStatusPanel);
}

}  // namespace
}  // namespace mivo
