// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace mivo {

// Type numbers of the values the socket control sends and receives.
enum VarType : std::int32_t {
  vtEmpty = 0,
  vtNull = 1,
  vtInt16 = 2,
  vtInt32 = 3,
  vtFloat = 4,
  vtDouble = 5,
  vtCurrency = 6,
  vtDate = 7,
  vtText = 8,
  vtBoolean = 11,
  vtByte = 17,
  vtByteArray = 8209,
};

using Bytes = std::vector<std::uint8_t>;

// A value together with its type number. Empty is "holds no value"; text is
// UTF-8 inside the program and GBK on the wire.
class Variant {
 public:
  struct Currency {
    std::int64_t tenThousandths = 0;
    bool operator==(const Currency&) const = default;
  };
  struct Date {
    double days = 0;  // since 1899-12-30
    bool operator==(const Date&) const = default;
  };
  struct NullValue {
    bool operator==(const NullValue&) const = default;
  };

  Variant() = default;
  Variant(std::int16_t v) : v_(v) {}
  Variant(std::int32_t v) : v_(v) {}
  // Wider integers keep their value: as a 32-bit integer when it fits, else as a double.
  Variant(long v) : Variant(static_cast<long long>(v)) {}
  Variant(long long v);
  Variant(float v) : v_(v) {}
  Variant(double v) : v_(v) {}
  Variant(bool v) : v_(Bool{v}) {}
  Variant(std::uint8_t v) : v_(v) {}
  Variant(Currency v) : v_(v) {}
  Variant(Date v) : v_(v) {}
  Variant(NullValue v) : v_(v) {}
  Variant(const char* text) : v_(std::string(text)) {}
  Variant(std::string text) : v_(std::move(text)) {}
  Variant(Bytes bytes) : v_(std::move(bytes)) {}

  static Variant Null() { return Variant(NullValue{}); }

  // The type number (VarType).
  std::int32_t Type() const;
  bool IsEmpty() const { return v_.index() == 0; }

  // Accessors; each returns its type's zero when the value is of another type.
  std::int16_t Int16() const;
  std::int32_t Int32() const;
  float Float() const;
  double Double() const;
  Currency Cur() const;
  Date DateValue() const;
  bool Boolean() const;
  std::uint8_t Byte() const;
  const std::string& Text() const;
  const Bytes& ByteArray() const;

  // Whether the value reads as a number (numbers, or text that parses as one).
  bool IsNumeric() const;
  // The value as a number, when it reads as one.
  std::optional<double> Number() const;
  // The number rounded to a whole one, when it reads as one that a 32-bit integer holds.
  std::optional<std::int32_t> WholeNumber() const;
  // The value as text: text itself, numbers in decimal, byte arrays as GBK.
  std::string AsText() const;

  bool operator==(const Variant&) const = default;

 private:
  struct Bool {
    bool v = false;
    bool operator==(const Bool&) const = default;
  };
  std::variant<std::monostate, NullValue, std::int16_t, std::int32_t, float, double, Currency, Date, std::string, Bool,
               std::uint8_t, Bytes>
      v_;
};

// Size on the wire of a fixed-size type; 0 for text, arrays and unknown numbers.
std::size_t FixedSizeOf(std::int32_t varType);
// The wire bytes of a value (text in GBK); nothing for empty, null and unknown types.
Bytes ToWireBytes(const Variant& value);
// A fixed-size value of `varType` from exactly FixedSizeOf(varType) bytes.
Variant FixedFromWire(std::int32_t varType, const std::uint8_t* bytes);

}  // namespace mivo
