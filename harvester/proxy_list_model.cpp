// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "proxy_list_model.h"

#include <arpa/inet.h>

#include <charconv>

namespace mivo {

namespace {
bool IsColumn(ProxyColumn column) { return static_cast<int>(column) >= 0 && static_cast<int>(column) < kProxyCells; }

// Cells without a leading number ("", "超时") sort before every number.
constexpr double kNoNumber = -1;
// Host names sort after every IPv4 address.
constexpr double kNoAddress = 4294967296.0;

double LeadingNumber(const std::string& text) {
  double value = kNoNumber;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end != text.data() ? value : kNoNumber;
}

double AddressValue(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : kNoAddress;
}
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
  if ((role != Qt::DisplayRole && role != kSortRole) || !index.isValid() || index.row() >= published_) return {};
  const ProxyColumn column = ShownColumn(index.column());
  const std::string& text = Row(index.row() + 1).Field(column);
  if (role == kSortRole)
    if (const std::optional<double> key = NumberKey(column, text)) return *key;
  return QString::fromStdString(text);
}

std::optional<double> ProxyListModel::NumberKey(ProxyColumn column, const std::string& text) {
  switch (column) {
    case ProxyColumn::Address: return AddressValue(text);
    case ProxyColumn::Port:
    case ProxyColumn::Speed:
    case ProxyColumn::Time:
    case ProxyColumn::HandshakeMs: return LeadingNumber(text);
    default: return std::nullopt;
  }
}

QVariant ProxyListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= kShownColumns) return {};
  return QString::fromUtf8(ShownLayout(section).caption);
}

}  // namespace mivo
