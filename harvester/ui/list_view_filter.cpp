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
  invalidateRowsFilter();
}

void ListViewFilter::SetQuick(int choice) {
  if (choice < 0 || choice >= static_cast<int>(kQuickChoices.size()) || choice == quick_) return;
  quick_ = choice;
  invalidateRowsFilter();
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
  if (column >= 0 && column < kShownColumns && rows_.Count() > 0 &&
      ProxyListModel::NumberKey(ShownColumn(column), {})) {
    const ProxyColumn shown = ShownColumn(column);
    keys_.resize(static_cast<std::size_t>(rows_.Count()));
    for (int n = 1; n <= rows_.Count(); ++n)
      keys_[static_cast<std::size_t>(n - 1)] = *ProxyListModel::NumberKey(shown, rows_.Text(n, shown));
  }
  QSortFilterProxyModel::sort(column, order);
  keys_.clear();
  keys_.shrink_to_fit();
}

std::optional<double> ListViewFilter::Key(int sourceRow, ProxyColumn column) const {
  if (static_cast<std::size_t>(sourceRow) < keys_.size()) return keys_[static_cast<std::size_t>(sourceRow)];
  return ProxyListModel::NumberKey(column, rows_.Text(sourceRow + 1, column));
}

bool ListViewFilter::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const ProxyColumn column = ShownColumn(left.column());
  if (const std::optional<double> a = Key(left.row(), column)) return *a < *Key(right.row(), column);
  // UTF-8 bytes order as the characters' code points.
  return rows_.Text(left.row() + 1, column) < rows_.Text(right.row() + 1, column);
}

bool ListViewFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const { return Shows(sourceRow + 1); }

}  // namespace mivo
