// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "variant.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/gbk.h"
#include "common/text.h"

namespace mivo {
namespace {

template <typename T>
void PutLe(Bytes& out, T v) {
  std::uint8_t b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + sizeof(T));
  out.insert(out.end(), b, b + sizeof(T));
}

template <typename T>
T GetLe(const std::uint8_t* p) {
  std::uint8_t b[sizeof(T)];
  std::memcpy(b, p, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + sizeof(T));
  T v;
  std::memcpy(&v, b, sizeof(T));
  return v;
}

template <typename T, typename V>
T Get(const V& v) {
  if (const T* p = std::get_if<T>(&v)) return *p;
  return T{};
}

std::string Decimal(double d, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*g", digits, d);
  return buf;
}

}  // namespace

Variant::Variant(long long v) {
  if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max())
    v_ = static_cast<std::int32_t>(v);
  else
    v_ = static_cast<double>(v);
}

std::int32_t Variant::Type() const {
  switch (v_.index()) {
    case 0: return vtEmpty;
    case 1: return vtNull;
    case 2: return vtInt16;
    case 3: return vtInt32;
    case 4: return vtFloat;
    case 5: return vtDouble;
    case 6: return vtCurrency;
    case 7: return vtDate;
    case 8: return vtText;
    case 9: return vtBoolean;
    case 10: return vtByte;
    default: return vtByteArray;
  }
}

std::int16_t Variant::Int16() const { return Get<std::int16_t>(v_); }
std::int32_t Variant::Int32() const { return Get<std::int32_t>(v_); }
float Variant::Float() const { return Get<float>(v_); }
double Variant::Double() const { return Get<double>(v_); }
Variant::Currency Variant::Cur() const { return Get<Currency>(v_); }
Variant::Date Variant::DateValue() const { return Get<Date>(v_); }
bool Variant::Boolean() const { return Get<Bool>(v_).v; }
std::uint8_t Variant::Byte() const { return Get<std::uint8_t>(v_); }

const std::string& Variant::Text() const {
  static const std::string kNone;
  const auto* p = std::get_if<std::string>(&v_);
  return p ? *p : kNone;
}

const Bytes& Variant::ByteArray() const {
  static const Bytes kNone;
  const auto* p = std::get_if<Bytes>(&v_);
  return p ? *p : kNone;
}

std::optional<double> Variant::Number() const {
  switch (Type()) {
    case vtEmpty: return 0.0;
    case vtInt16: return Int16();
    case vtInt32: return Int32();
    case vtFloat: return Float();
    case vtDouble: return Double();
    case vtCurrency: return static_cast<double>(Cur().tenThousandths) / 10000.0;
    case vtDate: return DateValue().days;
    case vtBoolean: return Boolean() ? -1.0 : 0.0;
    case vtByte: return Byte();
    case vtText: {
      const std::string t(TrimSpaces(Text()));
      if (t.empty()) return std::nullopt;
      char* end = nullptr;
      const double d = std::strtod(t.c_str(), &end);
      if (end != t.c_str() + t.size() || !std::isfinite(d)) return std::nullopt;
      return d;
    }
    default: return std::nullopt;
  }
}

bool Variant::IsNumeric() const { return Number().has_value(); }

std::optional<std::int32_t> Variant::WholeNumber() const {
  const std::optional<double> d = Number();
  if (!d) return std::nullopt;
  const double r = std::nearbyint(*d);
  // Written so that NaN fails too: converting it to an integer is undefined.
  if (!(r >= std::numeric_limits<std::int32_t>::min() && r <= std::numeric_limits<std::int32_t>::max()))
    return std::nullopt;
  return static_cast<std::int32_t>(r);
}

std::string Variant::AsText() const {
  switch (Type()) {
    case vtText: return Text();
    case vtInt16: return std::to_string(Int16());
    case vtInt32: return std::to_string(Int32());
    case vtFloat: return Decimal(Float(), 7);
    case vtDouble: return Decimal(Double(), 15);
    case vtCurrency: return Decimal(static_cast<double>(Cur().tenThousandths) / 10000.0, 19);
    case vtDate: return Decimal(DateValue().days, 15);
    case vtBoolean: return Boolean() ? "True" : "False";
    case vtByte: return std::to_string(Byte());
    case vtByteArray: {
      const Bytes& b = ByteArray();
      return FromGbk(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    default: return {};
  }
}

std::size_t FixedSizeOf(std::int32_t varType) {
  switch (varType) {
    case vtInt16: return 2;
    case vtInt32: return 4;
    case vtFloat: return 4;
    case vtDouble: return 8;
    case vtCurrency: return 8;
    case vtDate: return 8;
    case vtBoolean: return 2;
    case vtByte: return 1;
    default: return 0;
  }
}

Bytes ToWireBytes(const Variant& value) {
  Bytes out;
  switch (value.Type()) {
    case vtInt16: PutLe(out, value.Int16()); break;
    case vtInt32: PutLe(out, value.Int32()); break;
    case vtFloat: PutLe(out, value.Float()); break;
    case vtDouble: PutLe(out, value.Double()); break;
    case vtCurrency: PutLe(out, value.Cur().tenThousandths); break;
    case vtDate: PutLe(out, value.DateValue().days); break;
    case vtBoolean: PutLe(out, static_cast<std::int16_t>(value.Boolean() ? -1 : 0)); break;
    case vtByte: out.push_back(value.Byte()); break;
    case vtText: {
      const std::string gbk = ToGbk(value.Text());
      out.assign(gbk.begin(), gbk.end());
      break;
    }
    case vtByteArray: out = value.ByteArray(); break;
    default: break;
  }
  return out;
}

Variant FixedFromWire(std::int32_t varType, const std::uint8_t* bytes) {
  switch (varType) {
    case vtInt16: return GetLe<std::int16_t>(bytes);
    case vtInt32: return GetLe<std::int32_t>(bytes);
    case vtFloat: return GetLe<float>(bytes);
    case vtDouble: return GetLe<double>(bytes);
    case vtCurrency: return Variant::Currency{GetLe<std::int64_t>(bytes)};
    case vtDate: return Variant::Date{GetLe<double>(bytes)};
    case vtBoolean: return GetLe<std::int16_t>(bytes) != 0;
    case vtByte: return bytes[0];
    default: return {};
  }
}

}  // namespace mivo
