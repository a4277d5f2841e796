// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "proxy_list_model.h"

namespace mivo {

namespace {
bool IsColumn(ProxyColumn column) { return static_cast<int>(column) >= 0 && static_cast<int>(column) < kProxyCells; }
}  // namespace

void ProxyListModel::Clear() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  published_ = 0;
  endResetModel();
}

void ProxyListModel::Append(std::string address) {
  rows_.emplace_back().Field(ProxyColumn::Address) = std::move(address);
  if (batchDepth_ == 0) Publish();
}

const std::string& ProxyListModel::Text(int n, ProxyColumn column) const {
  static const std::string empty;
  return Exists(n) && IsColumn(column) ? Row(n).Field(column) : empty;
}

bool ProxyListModel::SetText(int n, ProxyColumn column, std::string_view text) {
  if (!Exists(n) || !IsColumn(column)) return false;
  rows_[static_cast<std::size_t>(n - 1)].Field(column).assign(text);
  if (n <= published_ && ColumnIndex(column) >= 0) {
    const QModelIndex cell = index(n - 1, ColumnIndex(column));
    emit dataChanged(cell, cell, {Qt::DisplayRole});
  }
  return true;
}

void ProxyListModel::EndBatch() {
  if (--batchDepth_ == 0) Publish();
}

void ProxyListModel::Publish() {
  const int total = Count();
  if (published_ >= total) return;
  beginInsertRows({}, published_, total - 1);
  published_ = total;
  endInsertRows();
}

int ProxyListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : published_; }

int ProxyListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kShownColumns; }

QVariant ProxyListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= published_) return {};
  const std::string& text = Row(index.row() + 1).Field(ShownColumn(index.column()));
  // The handshake's milliseconds sort as a number.
  if (role == Qt::UserRole && ShownColumn(index.column()) == ProxyColumn::HandshakeMs && !text.empty())
    return std::stoi(text);
  if (role != Qt::DisplayRole) return {};
  return QString::fromStdString(text);
}

QVariant ProxyListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= kShownColumns) return {};
  return QString::fromUtf8(ShownLayout(section).caption);
}

}  // namespace mivo
