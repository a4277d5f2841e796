// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "importer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

#include "common/gbk.h"
#include "common/text.h"

namespace mivo::importer {
namespace {

// The format of a source is chosen from its first line, or from this much.
constexpr std::size_t kHeadLimit = 64 * 1024;
// Text is scanned up to a line end at least this far before the end of what
// has come, so that an entry near the cut sees all it may reach into.
constexpr std::size_t kLookahead = 4096;
// A text line longer than this is scanned in parts, cut between tokens.
constexpr std::size_t kLongLine = 1 << 20;
// JSON larger than this is read as text: the document would take several
// times its size in memory, and the text scan finds its "ip"/"port" pairs.
constexpr std::size_t kMaxJsonBytes = 64u << 20;

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Valid UTF-8, a character cut off at the end allowed.
bool IsUtf8(std::string_view s) {
  if (IsAscii(s)) return true;
  QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  const QString text = decoder.decode(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())));
  static_cast<void>(text);
  return !decoder.hasError();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

enum class Key : std::uint8_t { Other, Address, Port, Protocol, User, Password, Country };

Key KeyOf(std::string_view name) {
  struct Name {
    const char* text;
    Key key;
  };
  static constexpr Name kNames[] = {
      {"ip", Key::Address},         {"host", Key::Address},    {"address", Key::Address},   {"addr", Key::Address},
      {"proxy", Key::Address},      {"port", Key::Port},       {"protocol", Key::Protocol}, {"type", Key::Protocol},
      {"protocols", Key::Protocol}, {"username", Key::User},   {"user", Key::User},         {"password", Key::Password},
      {"pass", Key::Password},      {"country", Key::Country},
  };
  const std::string lower = AsciiLower(Trim(name));
  for (const Name& n : kNames)
    if (lower == n.text) return n.key;
  return Key::Other;
}

// The fields of a CSV line, quotes taken off; enough to read a header.
std::vector<std::string_view> HeaderFields(std::string_view line, char delimiter) {
  std::vector<std::string_view> out;
  for (std::string_view f : Split(line, std::string_view(&delimiter, 1))) {
    f = Trim(f);
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"') f = f.substr(1, f.size() - 2);
    out.push_back(f);
  }
  return out;
}

// A header line naming an address column, and a port unless the address
// column is "proxy" (host:port); its delimiter, or 0.
char CsvDelimiter(std::string_view line) {
  for (const char delimiter : {',', ';', '\t'}) {
    if (line.find(delimiter) == std::string_view::npos) continue;
    bool address = false, port = false, hostPort = false;
    for (std::string_view f : HeaderFields(line, delimiter)) {
      const Key key = KeyOf(f);
      address |= key == Key::Address;
      port |= key == Key::Port;
      hostPort |= AsciiLower(f) == "proxy";
    }
    if (address && (port || hostPort)) return delimiter;
  }
  return 0;
}

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::uint64_t TableKey(std::uint32_t address, std::uint32_t port, Scheme scheme) {
  return static_cast<std::uint64_t>(address) << 32 | port << 8 | static_cast<std::uint32_t>(scheme);
}

bool IsPublic(std::uint32_t a) {
  struct Range {
    std::uint32_t net;
    int bits;
  };
  static constexpr Range kNotPublic[] = {
      {0x0a000000, 8},  {0x7f000000, 8},  {0xa9fe0000, 16}, {0xac100000, 12}, {0xc0a80000, 16},
      {0x64400000, 10}, {0xc0000200, 24}, {0xc6336400, 24}, {0xcb007100, 24},
  };
  for (const Range& r : kNotPublic)
    if ((a >> (32 - r.bits)) == (r.net >> (32 - r.bits))) return false;
  return true;
}

}  // namespace

const char* SkipText(Skip reason) {
  switch (reason) {
    case Skip::Ipv6: return "IPv6";
    case Skip::NotIpv4: return "not an IPv4 address";
    case Skip::Unusable: return "unusable address";
    case Skip::NotPublic: return "not public";
    case Skip::BadPort: return "port out of range";
    case Skip::BadCredentials: break;
  }
  return "control characters in credentials";
}

std::int64_t Counts::Skipped() const {
  std::int64_t n = 0;
  for (const std::int64_t s : skipped) n += s;
  return n;
}

std::string Counts::Text() const {
  std::string t = "lines " + std::to_string(lines) + ", kept " + std::to_string(kept) + ", duplicates " +
                  std::to_string(duplicates) + ", skipped " + std::to_string(Skipped());
  std::string why;
  for (std::size_t r = 0; r < kSkipReasons; ++r) {
    if (skipped[r] == 0) continue;
    why += (why.empty() ? " (" : ", ") + std::string(SkipText(static_cast<Skip>(r))) + " " + std::to_string(skipped[r]);
  }
  return t + (why.empty() ? "" : why + ")");
}

std::string DottedQuad(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) + "." +
         std::to_string(a & 255);
}

class ListImporter::Sink final : public FoundSink {
 public:
  explicit Sink(ListImporter& owner) : owner_(owner) {}
  void Take(const Found& found) override { owner_.Keep(found); }

 private:
  ListImporter& owner_;
};

// RFC 4180 records, read a byte at a time so that quoted fields may span
// pieces and lines.
struct ListImporter::Csv {
  enum class State : std::uint8_t { FieldStart, Plain, Quoted, QuoteInQuoted };
  char delimiter = ',';
  State state = State::FieldStart;
  bool header = true;
  std::vector<std::string> keys, record;
  std::string field;
};

ListImporter::ListImporter(Options options) : options_(options), table_(std::size_t{1} << tableBits_, 0) { Intern({}); }

ListImporter::~ListImporter() = default;

std::optional<Extra> ListImporter::ExtraOf(const Row& row) const {
  if (row.extra == Row::kNoExtra) return std::nullopt;
  const StoredExtra& e = extras_[row.extra];
  return Extra{textById_[e.user], textById_[e.password], textById_[e.country], e.credentials};
}

std::uint32_t ListImporter::Intern(std::string_view text, std::size_t field) {
  if (textById_[lastText_[field]] == text) return lastText_[field];
  const std::uint32_t id = Intern(text);
  lastText_[field] = id;
  return id;
}

std::uint32_t ListImporter::Intern(std::string_view text) {
  if (const auto it = textIds_.find(text); it != textIds_.end()) return it->second;
  const std::string_view kept = texts_.emplace_back(text);
  const auto id = static_cast<std::uint32_t>(textById_.size());
  textById_.push_back(kept);
  textIds_.emplace(kept, id);
  return id;
}

Counts ListImporter::Total() const {
  Counts total;
  for (const SourceReport& s : sources_) {
    total.lines += s.counts.lines;
    total.kept += s.counts.kept;
    total.duplicates += s.counts.duplicates;
    for (std::size_t r = 0; r < kSkipReasons; ++r) total.skipped[r] += s.counts.skipped[r];
  }
  return total;
}

void ListImporter::Import(std::string name, std::string_view bytes) {
  Begin(std::move(name));
  Feed(bytes);
  End();
}

void ListImporter::Begin(std::string name) {
  if (open_) End();
  sources_.push_back({std::move(name), {}, {}});
  open_ = true;
  bomChecked_ = false;
  gbk_ = false;
  format_ = Format::Undecided;
  utf16_.reset();
  head_.clear();
  pending_.clear();
  last_ = '\n';
  csv_.reset();
}

void ListImporter::Feed(std::string_view bytes) {
  if (!open_ || bytes.empty()) return;
  if (!bomChecked_) {
    head_.append(bytes);
    if (head_.size() < 3) return;
    bomChecked_ = true;
    std::string head = std::move(head_);
    head_.clear();
    std::string_view rest = head;
    if (rest.starts_with("\xef\xbb\xbf")) {
      rest.remove_prefix(3);
    } else if (rest.starts_with("\xff\xfe") || rest.starts_with("\xfe\xff")) {
      utf16_.emplace(rest[0] == '\xff' ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
      rest.remove_prefix(2);
    }
    return Feed(rest);
  }
  if (utf16_) {
    const QString text = utf16_->decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    const QByteArray utf8 = text.toUtf8();
    return Decoded(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
  }
  Decoded(bytes);
}

void ListImporter::Lines(std::string_view s) {
  if (s.empty()) return;
  Counts& c = Current();
  c.lines += std::count(s.begin(), s.end(), '\n');
  // A CR ends a line unless an LF follows; one at the end waits for the next piece.
  if (last_ == '\r' && s.front() != '\n') ++c.lines;
  for (const char* p = s.data(); (p = static_cast<const char*>(std::memchr(p, '\r', s.data() + s.size() - p)));) {
    ++p;
    if (p < s.data() + s.size() && *p != '\n') ++c.lines;
  }
  last_ = s.back();
}

void ListImporter::Decoded(std::string_view utf8) {
  Lines(utf8);
  switch (format_) {
    case Format::Undecided:
      head_.append(utf8);
      if (head_.size() >= kHeadLimit || Trim(head_).find_first_of("\r\n") != std::string_view::npos) Decide();
      return;
    case Format::Text: pending_.append(utf8); return ScanTextPart(false);
    case Format::Json:
      pending_.append(utf8);
      if (pending_.size() > kMaxJsonBytes) {
        format_ = Format::Text;
        ScanTextPart(false);
      }
      return;
    case Format::Csv: return CsvBytes(utf8, false);
  }
}

void ListImporter::Decide() {
  gbk_ = !IsUtf8(head_);
  const std::string_view t = Trim(head_);
  const std::string_view afterBracket = t.starts_with('[') ? Trim(t.substr(1)) : std::string_view();
  const std::string_view firstLine = t.substr(0, t.find_first_of("\r\n"));
  char delimiter = 0;
  if (t.starts_with('{') ||
      (t.starts_with('[') &&
       (afterBracket.empty() || std::string_view("{[\"]").find(afterBracket.front()) != std::string_view::npos)))
    format_ = Format::Json;
  else if ((delimiter = CsvDelimiter(firstLine)) != 0)
    format_ = Format::Csv;
  else
    format_ = Format::Text;
  std::string head = std::move(head_);
  head_.clear();
  if (format_ == Format::Csv) {
    csv_ = std::make_unique<Csv>();
    csv_->delimiter = delimiter;
    return CsvBytes(head, false);
  }
  pending_ = std::move(head);
  if (format_ == Format::Text) ScanTextPart(false);
}

std::size_t ListImporter::ScanText(std::string_view text, const Defaults& defaults, std::size_t startLimit) {
  Sink sink(*this);
  return importer::ScanText(text, defaults, sink, startLimit);
}

void ListImporter::ScanTextPart(bool final) {
  if (final) {
    ScanText(pending_, {});
    pending_.clear();
    return;
  }
  if (pending_.size() < 2 * kLookahead) return;
  const std::size_t before = pending_.size() - kLookahead;
  std::size_t cut = pending_.find_last_of("\r\n", before);
  if (cut == std::string::npos) {
    if (pending_.size() < kLongLine) return;
    cut = pending_.find_last_of(" \t>\"'", before);
    if (cut == std::string::npos) cut = before;
  }
  pending_.erase(0, ScanText(pending_, {}, cut + 1));
}

void ListImporter::EndJson() {
  // The whole document decides, not only its first line.
  if (gbk_ || !IsUtf8(pending_)) {
    pending_ = FromGbk(pending_);
    gbk_ = false;
  }
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(
      QByteArray::fromRawData(pending_.data(), static_cast<qsizetype>(pending_.size())), &error);
  if (error.error != QJsonParseError::NoError) return ScanTextPart(true);
  std::vector<std::string> keys, values;
  std::vector<std::string_view> keyViews, valueViews;
  std::function<void(const QJsonValue&)> walk = [&](const QJsonValue& v) {
    if (v.isArray()) {
      for (const QJsonValue& item : v.toArray()) walk(item);
    } else if (v.isString()) {
      const QByteArray text = v.toString().toUtf8();
      ScanText(std::string_view(text.constData(), static_cast<std::size_t>(text.size())), {});
    } else if (v.isObject()) {
      const QJsonObject o = v.toObject();
      bool row = false;
      keys.clear();
      values.clear();
      for (auto it = o.begin(); it != o.end(); ++it) {
        const Key key = KeyOf(it.key().toStdString());
        if (key == Key::Other) continue;
        row |= key == Key::Address;
        keys.push_back(it.key().toStdString());
        const QJsonValue value = it.value();
        if (value.isDouble())
          values.push_back(std::to_string(value.toInteger()));
        else if (value.isArray())
          values.push_back(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact).toStdString());
        else
          values.push_back(value.toString().toStdString());
      }
      if (row) {
        keyViews.assign(keys.begin(), keys.end());
        valueViews.assign(values.begin(), values.end());
        return Record(keyViews, valueViews);
      }
      for (auto it = o.begin(); it != o.end(); ++it) walk(it.value());
    }
  };
  walk(doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object()));
}

void ListImporter::CsvBytes(std::string_view bytes, bool final) {
  Csv& c = *csv_;
  using State = Csv::State;
  const auto endField = [&c] {
    c.record.push_back(std::move(c.field));
    c.field.clear();
    c.state = State::FieldStart;
  };
  const auto endRecord = [&] {
    const bool blank = c.record.empty() && c.field.empty() && c.state == State::FieldStart;
    endField();
    if (!blank) {
      if (c.header) {
        c.keys = std::move(c.record);
        c.header = false;
      } else {
        std::vector<std::string_view> keys(c.keys.begin(), c.keys.end());
        std::vector<std::string_view> values(c.record.begin(), c.record.end());
        values.resize(keys.size());
        Record(keys, values);
      }
    }
    c.record.clear();
  };
  for (const char ch : bytes) {
    switch (c.state) {
      case State::FieldStart:
        if (ch == '"') {
          c.state = State::Quoted;
          continue;
        }
        [[fallthrough]];
      case State::Plain:
        if (ch == c.delimiter)
          endField();
        else if (ch == '\n' || ch == '\r')
          endRecord();
        else {
          c.field += ch;
          c.state = State::Plain;
        }
        continue;
      case State::Quoted:
        if (ch == '"')
          c.state = State::QuoteInQuoted;
        else
          c.field += ch;
        continue;
      case State::QuoteInQuoted:
        if (ch == '"') {
          c.field += '"';
          c.state = State::Quoted;
        } else if (ch == c.delimiter) {
          endField();
        } else if (ch == '\n' || ch == '\r') {
          endRecord();
        } else {
          c.field += ch;
          c.state = State::Plain;
        }
        continue;
    }
  }
  if (final) endRecord();
}

void ListImporter::Record(const std::vector<std::string_view>& keys, const std::vector<std::string_view>& values) {
  std::string_view address, port, protocol, user, password, country;
  bool hasUser = false;
  for (std::size_t k = 0; k < keys.size() && k < values.size(); ++k) {
    const std::string_view v = Trim(values[k]);
    switch (KeyOf(keys[k])) {
      case Key::Address: address = v; break;
      case Key::Port: port = v; break;
      case Key::Protocol: protocol = v; break;
      case Key::User:
        user = v;
        hasUser = !v.empty();
        break;
      case Key::Password: password = values[k]; break;
      case Key::Country: country = v; break;
      case Key::Other: break;
    }
  }
  if (address.empty()) return;
  // Every scheme the protocol field names ("socks4,socks5"), or none.
  std::vector<Scheme> schemes;
  std::string_view rest = protocol;
  while (!rest.empty()) {
    std::size_t w = 0;
    while (w < rest.size() && std::isalnum(static_cast<unsigned char>(rest[w]))) ++w;
    if (const std::optional<Scheme> s = SchemeFromName(rest.substr(0, w));
        s && std::find(schemes.begin(), schemes.end(), *s) == schemes.end())
      schemes.push_back(*s);
    rest.remove_prefix(std::max<std::size_t>(w, 1));
  }
  if (schemes.empty()) schemes.push_back(Scheme::None);

  for (const Scheme scheme : schemes) {
    const Defaults d{scheme, hasUser, user, password, country};
    if (address.find_first_of(":/") != std::string_view::npos) {
      // "host:port", a proxy URL or an IPv6 address in the address field.
      const std::int64_t before = entries_;
      ScanText(address, d);
      if (entries_ == before)
        Skipped(std::count(address.begin(), address.end(), ':') >= 2 ? Skip::Ipv6 : Skip::NotIpv4);
      continue;
    }
    const std::optional<std::uint32_t> ip = Ipv4Of(address);
    if (!ip) {
      Skipped(Skip::NotIpv4);
      continue;
    }
    Found f;
    f.address = *ip;
    f.port = 0;
    if (port.empty() || port.size() > 7 || port.find_first_not_of("0123456789") != std::string_view::npos) {
      Skipped(Skip::BadPort);
      continue;
    }
    for (const char ch : port) f.port = f.port * 10 + static_cast<std::uint32_t>(ch - '0');
    f.scheme = scheme;
    f.credentials = hasUser;
    f.user = user;
    f.password = password;
    f.country = country;
    Keep(f);
  }
}

std::string ListImporter::Field(std::string_view bytes) const {
  if (IsAscii(bytes)) return std::string(bytes);
  return !gbk_ && IsUtf8(bytes) ? std::string(bytes) : FromGbk(bytes);
}

void ListImporter::Expect(std::size_t bytes) {
  // The shortest entry with its line end, "1.2.3.4:5\n", takes ten bytes; a
  // usual list thirty to forty.
  const std::size_t rows = rows_.size() + bytes / 32;
  rows_.reserve(rows);
  int bits = tableBits_;
  while ((std::size_t{1} << bits) * 3 < rows * 4) ++bits;
  if (bits == tableBits_) return;
  tableBits_ = bits;
  LargeVector<std::uint64_t>(std::size_t{1} << bits, 0).swap(table_);
  used_ = 0;
  for (const Row& r : rows_) Insert(TableKey(r.address, r.port, r.scheme));
}

bool ListImporter::Insert(std::uint64_t key) {
  if ((used_ + 1) * 4 > table_.size() * 3) {
    LargeVector<std::uint64_t> old(table_.size() * 2, 0);
    old.swap(table_);
    ++tableBits_;
    used_ = 0;
    for (const std::uint64_t k : old)
      if (k != 0) Insert(k);
  }
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = Slot(key);; i = (i + 1) & mask) {
    if (table_[i] == key) return false;
    if (table_[i] == 0) {
      table_[i] = key;
      ++used_;
      return true;
    }
  }
}

void ListImporter::Keep(const Found& f) {
  ++entries_;
  if (f.ipv6) return Skipped(Skip::Ipv6);
  if (f.port == 0 || f.port > 65535) return Skipped(Skip::BadPort);
  const std::uint32_t first = f.address >> 24;
  if (first == 0 || first >= 224) return Skipped(Skip::Unusable);
  if (options_.publicOnly && !IsPublic(f.address)) return Skipped(Skip::NotPublic);
  // Judged as stored: in a URL "%0A" is as much a line break as the byte.
  const auto unsafe = [&](std::string_view s) {
    return HasControl(s) || (f.urlEncoded && s.find('%') != std::string_view::npos && HasControl(PercentDecoded(s)));
  };
  if (f.credentials && (unsafe(f.user) || unsafe(f.password))) return Skipped(Skip::BadCredentials);
  if (waitingCount_ == kWaiting) Settle();
  Waiting& w = waiting_[(waitingFirst_ + waitingCount_++) % kWaiting];
  w.key = TableKey(f.address, f.port, f.scheme);
  w.row = Row{f.address, static_cast<std::uint16_t>(f.port), f.scheme, Row::kNoExtra};
  __builtin_prefetch(&table_[Slot(w.key)]);
  // A location with control characters would break the rows it is printed in.
  const std::string_view country = HasControl(f.country) ? std::string_view() : f.country;
  if (f.credentials || !country.empty()) {
    w.row.extra = 0;
    const auto text = [&](std::string_view bytes, bool url, std::size_t field) {
      const bool plain = (!url || bytes.find('%') == std::string_view::npos) && IsAscii(bytes);
      return Intern(plain ? bytes : Field(url ? PercentDecoded(bytes) : std::string(bytes)), field);
    };
    w.extra = {text(f.user, f.urlEncoded, 0), text(f.password, f.urlEncoded, 1), text(country, false, 2),
               f.credentials};
  }
}

// The oldest waiting row: kept, or counted as a duplicate.
void ListImporter::Settle() {
  Waiting& w = waiting_[waitingFirst_];
  waitingFirst_ = (waitingFirst_ + 1) % kWaiting;
  --waitingCount_;
  if (!Insert(w.key)) {
    ++Current().duplicates;
    return;
  }
  if (w.row.extra != Row::kNoExtra) {
    w.row.extra = static_cast<std::uint32_t>(extras_.size());
    extras_.push_back(w.extra);
  }
  rows_.push_back(w.row);
  ++Current().kept;
}

void ListImporter::End() {
  if (!open_) return;
  if (!bomChecked_) {
    bomChecked_ = true;
    std::string head = std::move(head_);
    head_.clear();
    Decoded(head);
  }
  if (format_ == Format::Undecided) Decide();
  switch (format_) {
    case Format::Undecided:
    case Format::Text: ScanTextPart(true); break;
    case Format::Json: EndJson(); break;
    case Format::Csv: CsvBytes({}, true); break;
  }
  while (waitingCount_ > 0) Settle();
  // A last line without its line end.
  if (last_ != '\n' && last_ != '\r') ++Current().lines;
  if (last_ == '\r') ++Current().lines;
  pending_.clear();
  pending_.shrink_to_fit();
  csv_.reset();
  utf16_.reset();
  open_ = false;
}

void ListImporter::Fail(std::string error) {
  End();
  if (!sources_.empty()) sources_.back().error = std::move(error);
}

void ListImporter::Failed(std::string name, std::string error) {
  Begin(std::move(name));
  End();
  sources_.back().error = std::move(error);
}

}  // namespace mivo::importer
