#include "proxy_list_model.h"

namespace mivo {

std::string& ProxyEntry::Field(int k) {
  switch (k) {
    case 0: return ipAddress;
    case 1: return port;
    case 2: return proxyType;
    case 3: return location;
    case 4: return speed;
    case 5: return testResult;
    default: return echoTime;
  }
}

const std::string& ProxyEntry::Field(int k) const { return const_cast<ProxyEntry*>(this)->Field(k); }

void ProxyListModel::Clear() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  published_ = 0;
  endResetModel();
}

void ProxyListModel::Append(std::string address) {
  rows_.emplace_back().ipAddress = std::move(address);
  if (batchDepth_ == 0) Publish();
}

const std::string& ProxyListModel::Text(int n, int k) const {
  static const std::string empty;
  return Exists(n) && k >= 0 && k < kProxyColumns ? Row(n).Field(k) : empty;
}

bool ProxyListModel::SetText(int n, int k, std::string_view text) {
  if (!Exists(n) || k < 0 || k >= kProxyColumns) return false;
  rows_[static_cast<std::size_t>(n - 1)].Field(k).assign(text);
  if (n <= published_) {
    const QModelIndex cell = index(n - 1, k);
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

int ProxyListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kProxyColumns; }

QVariant ProxyListModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= published_) return {};
  return QString::fromStdString(Row(index.row() + 1).Field(index.column()));
}

QVariant ProxyListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= kProxyColumns) return {};
  return QString::fromUtf8(kProxyColumnSpecs[static_cast<std::size_t>(section)].caption);
}

}  // namespace mivo
