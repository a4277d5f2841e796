// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QStringDecoder>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

struct Extra {
  std::string user, password, country;  // UTF-8
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

  const std::vector<Row>& Rows() const { return rows_; }
  const Extra* ExtraOf(const Row& row) const;
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
  void Skipped(Skip reason) { ++Current().skipped[static_cast<std::size_t>(reason)]; }
  bool Insert(std::uint64_t key);
  std::string Field(std::string_view bytes) const;
  Counts& Current() { return sources_.back().counts; }

  Options options_;
  std::vector<Row> rows_;
  std::vector<Extra> extras_;
  std::vector<std::uint64_t> table_;  // open addressing; 0 = free
  std::size_t used_ = 0;
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
