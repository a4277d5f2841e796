// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QStringDecoder>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "import/large_pages.h"
#include "import/text_scan.h"

// Lists of proxies in the formats found in the wild turned into list rows:
// plain text and HTML (see text_scan.h), JSON and CSV with a header. Bytes
// come in pieces of any size; each source is read in one pass.
namespace mivo::importer {

// Why an entry was not kept.
enum class Skip : std::uint8_t {
  Ipv6,            // the socket control speaks IPv4 only
  NotIpv4,         // an address field that is no dotted IPv4 address (a host name)
  Unusable,        // 0.0.0.0/8, 224.0.0.0/3: no proxy can have it
  NotPublic,       // with Options::publicOnly: private, loopback, link-local, shared, documentation
  BadPort,         // 0 or above 65535
  BadCredentials,  // control characters in a user name or password
};
inline constexpr std::size_t kSkipReasons = 6;
// "IPv6", "host name", ... for the counts line.
const char* SkipText(Skip reason);

struct Counts {
  std::int64_t lines = 0;
  std::int64_t kept = 0;
  std::int64_t duplicates = 0;
  std::array<std::int64_t, kSkipReasons> skipped{};

  std::int64_t Skipped() const;
  // "lines 12, kept 9, duplicates 1, skipped 2 (IPv6 1, unusable address 1)"
  std::string Text() const;
};

struct SourceReport {
  std::string name;
  Counts counts;
  std::string error;  // why the source could not be read; empty when it was
  bool Read() const { return error.empty(); }
};

struct Options {
  bool publicOnly = false;
};

// One kept row, small because a list may have millions: the address and
// port as numbers, the rest in `Extra` when the row has any.
struct Row {
  std::uint32_t address = 0;  // host order
  std::uint16_t port = 0;
  Scheme scheme = Scheme::None;
  std::uint32_t extra = kNoExtra;
  static constexpr std::uint32_t kNoExtra = 0xffffffff;
};

// What a row has beyond address, port and scheme; UTF-8.
struct Extra {
  std::string_view user, password, country;
  bool credentials = false;
};

std::string DottedQuad(std::uint32_t address);

class ListImporter {
 public:
  explicit ListImporter(Options options = {});
  ~ListImporter();
  ListImporter(const ListImporter&) = delete;
  ListImporter& operator=(const ListImporter&) = delete;

  // Sources are read one after the other; rows are kept once over all of them.
  void Begin(std::string name);
  void Feed(std::string_view bytes);
  void End();
  // Ends the current source as one that could not be read; rows it gave stay.
  void Fail(std::string error);
  // A source that could not be read at all.
  void Failed(std::string name, std::string error);

  // A whole source at once.
  void Import(std::string name, std::string_view bytes);

  // A hint: the size of what is about to be read, so that room is made once.
  void Expect(std::size_t bytes);

  std::span<const Row> Rows() const { return rows_; }
  // Nothing for a row with neither credentials nor a country. The views
  // live as long as the importer.
  std::optional<Extra> ExtraOf(const Row& row) const;
  const std::vector<SourceReport>& Sources() const { return sources_; }
  Counts Total() const;

 private:
  enum class Format : std::uint8_t { Undecided, Text, Json, Csv };
  class Sink;
  struct Csv;

  void Decoded(std::string_view utf8);
  void Decide();
  void Lines(std::string_view utf8);
  std::size_t ScanText(std::string_view text, const Defaults& defaults,
                       std::size_t startLimit = std::string_view::npos);
  void ScanTextPart(bool final);
  void EndJson();
  void CsvBytes(std::string_view bytes, bool final);
  void Record(const std::vector<std::string_view>& keys, const std::vector<std::string_view>& values);
  void Keep(const Found& found);
  void Settle();
  void Skipped(Skip reason) { ++Current().skipped[static_cast<std::size_t>(reason)]; }
  bool Insert(std::uint64_t key);
  std::size_t Slot(std::uint64_t key) const { return (key * 0x9e3779b97f4a7c15ull) >> (64 - tableBits_); }
  std::string Field(std::string_view bytes) const;
  std::uint32_t Intern(std::string_view text);
  std::uint32_t Intern(std::string_view text, std::size_t field);
  Counts& Current() { return sources_.back().counts; }

  Options options_;
  template <typename T>
  using LargeVector = std::vector<T, LargePageAllocator<T>>;
  LargeVector<Row> rows_;
  // Extras as numbers of texts kept once each: lists repeat a few user
  // names, passwords and countries over many rows.
  struct StoredExtra {
    std::uint32_t user, password, country;
    bool credentials;
  };
  LargeVector<StoredExtra> extras_;
  std::deque<std::string> texts_;
  std::vector<std::string_view> textById_;
  std::unordered_map<std::string_view, std::uint32_t> textIds_;
  std::array<std::uint32_t, 3> lastText_{};  // by field: rows in a row tend to repeat them
  int tableBits_ = 10;
  LargeVector<std::uint64_t> table_;  // open addressing; 0 = free
  std::size_t used_ = 0;
  // Rows wait here a few entries before their look-up in the table, so that
  // the table's memory is fetched meanwhile instead of waited for.
  struct Waiting {
    std::uint64_t key;
    Row row;
    StoredExtra extra;
  };
  static constexpr std::size_t kWaiting = 16;
  std::array<Waiting, kWaiting> waiting_{};
  std::size_t waitingFirst_ = 0, waitingCount_ = 0;
  std::int64_t entries_ = 0;  // entries found so far, kept or not
  std::vector<SourceReport> sources_;

  // The source being read.
  bool open_ = false;
  bool bomChecked_ = false;
  bool gbk_ = false;  // its bytes are GBK, not UTF-8
  Format format_ = Format::Undecided;
  std::optional<QStringDecoder> utf16_;
  std::string head_;     // bytes before the format is known
  std::string pending_;  // text or JSON not read yet
  char last_ = '\n';     // last byte seen, for the line count
  std::unique_ptr<Csv> csv_;
};

}  // namespace mivo::importer
