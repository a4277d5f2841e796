// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "list_view_filter.h"

#include <algorithm>
#include <string_view>

namespace mivo {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Folding ASCII only leaves UTF-8 sequences whole, so no cell is copied.
bool ContainsFolded(std::string_view cell, std::string_view lowered) {
  return std::search(cell.begin(), cell.end(), lowered.begin(), lowered.end(),
                     [](char a, char b) { return Lower(a) == b; }) != cell.end();
}

bool EqualsFolded(std::string_view cell, std::string_view text) {
  return std::equal(cell.begin(), cell.end(), text.begin(), text.end(),
                    [](char a, char b) { return Lower(a) == Lower(b); });
}

}  // namespace

ListViewFilter::ListViewFilter(ProxyListModel& rows, QObject* parent) : QSortFilterProxyModel(parent), rows_(rows) {
  setSourceModel(&rows);
  setSortRole(kSortRole);
}

void ListViewFilter::SetText(const std::string& text) {
  std::string lowered(text.size(), '\0');
  std::transform(text.begin(), text.end(), lowered.begin(), Lower);
  if (lowered == text_) return;
  text_ = std::move(lowered);
  Prepare(sortColumn(), true);
  invalidateRowsFilter();
  Unprepare();
}

void ListViewFilter::SetQuick(int choice) {
  if (choice < 0 || choice >= static_cast<int>(kQuickChoices.size()) || choice == quick_) return;
  quick_ = choice;
  Prepare(sortColumn(), true);
  invalidateRowsFilter();
  Unprepare();
}

bool ListViewFilter::Shows(int n) const {
  if (!rows_.Exists(n)) return false;
  const ProxyEntry& row = rows_.Row(n);
  const QuickChoice& quick = kQuickChoices[static_cast<std::size_t>(quick_)];
  if (quick.column && !EqualsFolded(row.Field(*quick.column), quick.text)) return false;
  if (text_.empty()) return true;
  for (int c = 0; c < kShownColumns; ++c)
    if (ContainsFolded(row.Field(ShownColumn(c)), text_)) return true;
  return false;
}

void ListViewFilter::sort(int column, Qt::SortOrder order) {
  // Already in that order: Qt keeps it so as rows change.
  if (column == sortColumn() && order == sortOrder() && dynamicSortFilter()) return;
  Prepare(column, false);
  QSortFilterProxyModel::sort(column, order);
  Unprepare();
}

void ListViewFilter::Prepare(int column, bool filtering) {
  const int count = rows_.Count();
  if (filtering) {
    accepted_.resize(static_cast<std::size_t>(count));
    for (int n = 1; n <= count; ++n) accepted_[static_cast<std::size_t>(n - 1)] = Shows(n);
  }
  if (column < 0 || column >= kShownColumns) return;
  const ProxyColumn shown = ShownColumn(column);
  if (ProxyListModel::NumberKey(shown, {})) {
    keys_.resize(static_cast<std::size_t>(count));
    for (int n = 1; n <= count; ++n)
      keys_[static_cast<std::size_t>(n - 1)] = *ProxyListModel::NumberKey(shown, rows_.Text(n, shown));
  } else {
    texts_.resize(static_cast<std::size_t>(count));
    for (int n = 1; n <= count; ++n) texts_[static_cast<std::size_t>(n - 1)] = rows_.Text(n, shown);
  }
}

void ListViewFilter::Unprepare() {
  keys_ = {};
  texts_ = {};
  accepted_ = {};
}

std::optional<double> ListViewFilter::Key(int sourceRow, ProxyColumn column) const {
  if (static_cast<std::size_t>(sourceRow) < keys_.size()) return keys_[static_cast<std::size_t>(sourceRow)];
  return ProxyListModel::NumberKey(column, rows_.Text(sourceRow + 1, column));
}

const std::string& ListViewFilter::SortText(int sourceRow, ProxyColumn column) const {
  if (static_cast<std::size_t>(sourceRow) < texts_.size()) return texts_[static_cast<std::size_t>(sourceRow)];
  return rows_.Text(sourceRow + 1, column);
}

bool ListViewFilter::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const ProxyColumn column = ShownColumn(left.column());
  if (const std::optional<double> a = Key(left.row(), column)) return *a < *Key(right.row(), column);
  // UTF-8 bytes order as the characters' code points.
  return SortText(left.row(), column) < SortText(right.row(), column);
}

bool ListViewFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  if (static_cast<std::size_t>(sourceRow) < accepted_.size()) return accepted_[static_cast<std::size_t>(sourceRow)];
  return Shows(sourceRow + 1);
}

}  // namespace mivo
