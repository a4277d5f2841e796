// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The list-page menu items of the main window against the sample site.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>

#include <gtest/gtest.h>

#include "common/presenter.h"
#include "harvester/status_texts.h"
#include "harvester/ui/frm_main.h"
#include "tests/harvester/scripted_clock.h"
#include "tests/harvester/scripted_server.h"
#include "tools/sample_site.h"

namespace mivo {
namespace {

class WindowDownload : public ::testing::Test {
 protected:
  WindowDownload() {
    sample::SampleSiteOptions options;
    options.port = 0;
    options.proxies = false;
    std::string error;
    EXPECT_TRUE(site.Start(options, &error)) << error;
    window.show();
  }
  void SetBox(int k, const std::string& address) {
    window.findChild<QLineEdit*>(QString("Text1_%1").arg(k))->setText(QString::fromStdString(address));
  }
  void Trigger(const char* name) { window.findChild<QAction*>(name)->trigger(); }
  QString Shown(int row, int column) {
    QAbstractItemModel* model = window.findChild<QTableView*>("Lw1")->model();
    return model->data(model->index(row, column)).toString();
  }

  RecordingPresenter shown;
  sample::SampleSite site;
  frmMain window;
};

TEST_F(WindowDownload, EducationPagesFillTheListFromTheirOwnBoxes) {
  SetBox(10, site.Origin() + "/proxyedu1.html");
  SetBox(11, site.Origin() + "/proxyedu2.html");
  for (const auto& [item, page] : {std::pair{"jywdl1", 10}, std::pair{"jywdl2", 11}}) {
    Trigger(item);
    const sample::SamplePage& expected = site.Pages()[static_cast<std::size_t>(page)];
    ASSERT_EQ(window.findChild<QTableView*>("Lw1")->model()->rowCount(), static_cast<int>(expected.proxies.size()));
    EXPECT_EQ(Shown(0, 0).toStdString(), expected.proxies[0].address);
    EXPECT_EQ(Shown(0, 3).toStdString(), expected.proxies[0].location);
    EXPECT_EQ(window.Panel(kStatusPanel), kTextAnalysisDone);
    EXPECT_EQ(window.findChild<QLabel*>("Stb1Panel1")->text().toStdString(),
              "共: " + std::to_string(expected.proxies.size()) + " 行");
  }
  EXPECT_EQ(site.Requests(), (std::vector<std::string>{"/proxyedu1.html", "/proxyedu2.html"}));
}

TEST_F(WindowDownload, MenuItemChosenDuringAWaitRunsInsideIt) {
  test::ScriptedServer held(
      test::ScriptedServer::Mode::Held,
      test::ScriptedServer::Page(404, "<html><body>the page you asked for is not here</body></html>"));
  SetBox(0, held.Url());
  SetBox(6, site.Origin() + "/proxy7.html");
  test::ScriptedClock clock;
  int rowsSeenByTheNestedCommand = -1;
  QTimer::singleShot(0, &window, [&] {
    Trigger("http7");
    rowsSeenByTheNestedCommand = window.Rows().Count();
    held.Release();
  });
  Trigger("http1");
  EXPECT_EQ(rowsSeenByTheNestedCommand, static_cast<int>(site.Pages()[6].proxies.size()));
  // The first command's error page has no rows: it empties the list.
  EXPECT_EQ(window.Rows().Count(), 0);
  EXPECT_EQ(window.Panel(kListPanel), "共: 0 行");
}

}  // namespace
}  // namespace mivo
