// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QAbstractTableModel>

#include <array>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace mivo {

// The list's seven columns in order: the row text, then sub-items 1 to 6;
// then the credentials a row may have come with, which no view or export
// shows; then what a verification found, shown after the seven.
enum class ProxyColumn {
  Address,
  Port,
  Type,
  Location,
  Speed,
  Result,
  Time,
  User,
  Password,
  Protocol,
  Anonymity,
  Exit,
  Country,
  HandshakeMs,
  Reason,
};
inline constexpr int kProxyColumns = 7;
inline constexpr int kProxyCells = 15;
inline constexpr int kHiddenCells = 2;  // the credentials
// Columns a view shows: the seven, then the verification's.
inline constexpr int kShownColumns = kProxyCells - kHiddenCells;

// The role whose value orders a column: numbers for ports, speed, times and
// the handshake's milliseconds, an IPv4 address by value, text otherwise.
inline constexpr int kSortRole = Qt::UserRole;

// Qt's number for the column; -1 for the credentials, which no view shows.
constexpr int ColumnIndex(ProxyColumn column) {
  const int c = static_cast<int>(column);
  return c < kProxyColumns ? c : c < kProxyColumns + kHiddenCells ? -1 : c - kHiddenCells;
}
// The column Qt's number `index` shows.
constexpr ProxyColumn ShownColumn(int index) {
  return static_cast<ProxyColumn>(index < kProxyColumns ? index : index + kHiddenCells);
}

// One row of the proxy list: the row text (address), its six sub-items, the
// credentials and the verification's cells, by ProxyColumn.
struct ProxyEntry {
  std::array<std::string, kProxyCells> cells;

  std::string& Field(ProxyColumn column) { return cells[static_cast<std::size_t>(column)]; }
  const std::string& Field(ProxyColumn column) const { return cells[static_cast<std::size_t>(column)]; }
};

// How a column is shown: its header and starting width.
struct ColumnLayout {
  const char* caption;
  int widthTwips;
};

// By ProxyColumn.
inline constexpr std::array<ColumnLayout, kProxyColumns> kProxyColumnLayouts{{
    {"IP地址", 2540},
    {"端口", 1411},
    {"类型", 1764},
    {"地址", 3881},
    {"速度", 2540},
    {"连接测试", 2117},
    {"Time", 2119},
}};

// The verification's columns, by ProxyColumn from Protocol on.
inline constexpr std::array<ColumnLayout, kShownColumns - kProxyColumns> kVerifyColumnLayouts{{
    {"协议", 1100},
    {"匿名度", 1300},
    {"出口地址", 2100},
    {"国家", 900},
    {"握手 ms", 1200},
    {"原因", 2400},
}};

// How shown column `index` is laid out.
constexpr const ColumnLayout& ShownLayout(int index) {
  return index < kProxyColumns ? kProxyColumnLayouts[static_cast<std::size_t>(index)]
                               : kVerifyColumnLayouts[static_cast<std::size_t>(index - kProxyColumns)];
}

// The rows of the list. Rows are numbered from 1 in the operations below,
// as the commands count them; Qt's own interface counts from 0.
class ProxyListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  int Count() const { return static_cast<int>(rows_.size()); }
  void Clear();
  void Append(std::string address);
  bool Exists(int n) const { return n >= 1 && n <= Count(); }
  // Empty text for a row that does not exist.
  const std::string& Text(int n, ProxyColumn column) const;
  // False, and nothing written, when row n does not exist.
  bool SetText(int n, ProxyColumn column, std::string_view text);
  const ProxyEntry& Row(int n) const { return rows_[static_cast<std::size_t>(n - 1)]; }

  // While a batch is open, appended rows and their writes are not announced
  // to views; closing it announces them in one insertion.
  class Batch {
   public:
    explicit Batch(ProxyListModel& m) : m_(m) { ++m_.batchDepth_; }
    ~Batch() { m_.EndBatch(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    ProxyListModel& m_;
  };

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  // How a numeric column's cell (ports, speed, times, addresses by value)
  // orders; nothing for a column that orders by its text.
  static std::optional<double> NumberKey(ProxyColumn column, const std::string& text);

 private:
  void EndBatch();
  void Publish();

  // Rows never move: a long list grows without copying what it holds.
  std::deque<ProxyEntry> rows_;
  int published_ = 0;  // rows views have been told about
  int batchDepth_ = 0;
};

}  // namespace mivo
