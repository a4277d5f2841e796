// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "harvester/proxy_list_model.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace mivo {
namespace {

TEST(ProxyListModel, RowsAreNumberedFromOneAndMissingRowsRefuseWrites) {
  ProxyListModel rows;
  QAbstractItemModelTester tester(&rows, QAbstractItemModelTester::FailureReportingMode::Fatal);
  rows.Append("1.1.1.1");
  rows.Append("");
  EXPECT_EQ(rows.Count(), 2);
  EXPECT_TRUE(rows.SetText(2, ProxyColumn::Time, "3 ms"));
  EXPECT_EQ(rows.Text(2, ProxyColumn::Time), "3 ms");
  EXPECT_EQ(rows.Text(1, ProxyColumn::Address), "1.1.1.1");
  EXPECT_FALSE(rows.SetText(0, ProxyColumn::Port, "x"));
  EXPECT_FALSE(rows.SetText(3, ProxyColumn::Port, "x"));
  EXPECT_EQ(rows.Text(3, ProxyColumn::Port), "");
  EXPECT_EQ(rows.data(rows.index(1, ColumnIndex(ProxyColumn::Time))).toString(), QString("3 ms"));
  EXPECT_EQ(rows.headerData(5, Qt::Horizontal).toString(), QString::fromUtf8("连接测试"));
}

TEST(ProxyListModel, BatchAnnouncesItsRowsInOneInsertion) {
  ProxyListModel rows;
  QAbstractItemModelTester tester(&rows, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QSignalSpy inserted(&rows, &QAbstractItemModel::rowsInserted);
  QSignalSpy changed(&rows, &QAbstractItemModel::dataChanged);
  {
    ProxyListModel::Batch batch(rows);
    for (int i = 0; i < 1000; ++i) {
      rows.Append(std::to_string(i));
      rows.SetText(i + 1, ProxyColumn::Port, "80");
    }
    EXPECT_EQ(rows.rowCount(), 0);  // views see nothing until the batch closes
    EXPECT_EQ(rows.Count(), 1000);
  }
  EXPECT_EQ(inserted.count(), 1);
  EXPECT_EQ(changed.count(), 0);
  EXPECT_EQ(rows.rowCount(), 1000);
  EXPECT_EQ(rows.data(rows.index(999, ColumnIndex(ProxyColumn::Port))).toString(), QString("80"));
  rows.SetText(5, ProxyColumn::Result, "★ 成功");
  EXPECT_EQ(changed.count(), 1);
  rows.Clear();
  EXPECT_EQ(rows.rowCount(), 0);
}

}  // namespace
}  // namespace mivo
