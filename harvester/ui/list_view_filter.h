// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QSortFilterProxyModel>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "harvester/proxy_list_model.h"

namespace mivo {

// A quick choice of the filter: the rows whose `column` reads `text`
// (ASCII letters in any case); no column for all rows.
struct QuickChoice {
  const char* caption;
  std::optional<ProxyColumn> column;
  const char* text;
};

// In the order the window offers them; a column's choices are one row each.
inline constexpr std::array<QuickChoice, 8> kQuickChoices{{
    {"全部", std::nullopt, ""},
    {"★ 成功", ProxyColumn::Result, "★ 成功"},
    {"SOCKS4", ProxyColumn::Type, "SOCKS4"},
    {"SOCKS5", ProxyColumn::Type, "SOCKS5"},
    {"HTTP", ProxyColumn::Type, "HTTP"},
    {"高匿", ProxyColumn::Anonymity, "高匿"},
    {"匿名", ProxyColumn::Anonymity, "匿名"},
    {"透明", ProxyColumn::Anonymity, "透明"},
}};

// The list as the user sees it: sorted by kSortRole and narrowed by a text
// found in any shown column and by a quick choice. The list model stays the
// one source of rows; this only maps them.
class ListViewFilter : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit ListViewFilter(ProxyListModel& rows, QObject* parent = nullptr);

  void SetText(const std::string& text);
  // An index into kQuickChoices.
  void SetQuick(int choice);
  bool Narrowed() const { return !text_.empty() || quick_ != 0; }
  // Whether source row n (from 1) passes the filter.
  bool Shows(int n) const;

  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

 private:
  // Qt visits rows in the order they are shown, which over a long sorted
  // list is a walk through memory at random, and asks for a key twice a
  // comparison: what a sort by `column` and, when `filtering`, the filter
  // will ask for is read in list order first, and dropped by Unprepare().
  void Prepare(int column, bool filtering);
  void Unprepare();
  std::optional<double> Key(int sourceRow, ProxyColumn column) const;
  const std::string& SortText(int sourceRow, ProxyColumn column) const;

  // By source row, while prepared: the sort column's keys (numeric) or texts.
  std::vector<double> keys_;
  std::vector<std::string> texts_;
  std::vector<char> accepted_;  // Shows()
  ProxyListModel& rows_;
  std::string text_;  // ASCII letters lowered
  int quick_ = 0;
};

}  // namespace mivo
