#pragma once

#include <QAbstractTableModel>

#include <array>
#include <string>
#include <vector>

namespace mivo {

// One row of the proxy list: the row text (address) and its six sub-items.
struct ProxyEntry {
  std::string ipAddress;   // row text
  std::string port;        // sub-item 1
  std::string proxyType;   // sub-item 2
  std::string location;    // sub-item 3
  std::string speed;       // sub-item 4
  std::string testResult;  // sub-item 5
  std::string echoTime;    // sub-item 6

  // k = 0 is the row text, 1..6 the sub-items.
  std::string& Field(int k);
  const std::string& Field(int k) const;
};

inline constexpr int kProxyColumns = 7;

struct ColumnSpec {
  const char* caption;
  int widthTwips;
};

inline constexpr std::array<ColumnSpec, kProxyColumns> kProxyColumnSpecs{{
    {"IP地址", 2540},
    {"端口", 1411},
    {"类型", 1764},
    {"地址", 3881},
    {"速度", 2540},
    {"连接测试", 2117},
    {"Time", 2119},
}};

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
  const std::string& Text(int n, int k) const;
  // False, and nothing written, when row n does not exist.
  bool SetText(int n, int k, std::string_view text);
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

 private:
  void EndBatch();
  void Publish();

  std::vector<ProxyEntry> rows_;
  int published_ = 0;  // rows views have been told about
  int batchDepth_ = 0;
};

}  // namespace mivo
