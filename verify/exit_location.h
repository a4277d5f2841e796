// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Where an exit address is, from the offline location database Debian ships
// (libloc's format): country code and autonomous system.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct loc_ctx;
struct loc_database;

namespace mivo::verify {

struct ExitLocation {
  std::string country;    // two letters; empty when the network has none
  std::uint32_t asn = 0;  // 0: no autonomous system known
  std::string asName;     // empty when the database names none
};

inline constexpr const char* kDefaultLocationDb = "/var/lib/location/database.db";

// An opened database. Lookups are cheap (a walk down the database's network
// tree, no allocation beyond libloc's own small objects); not thread-safe.
class LocationDb {
 public:
  // nullptr with `error` set when the file cannot be opened or is not a
  // location database.
  static std::unique_ptr<LocationDb> Open(const std::string& path, std::string& error);
  ~LocationDb();
  LocationDb(const LocationDb&) = delete;
  LocationDb& operator=(const LocationDb&) = delete;

  // `ipv4`: a dotted IPv4 address. Nothing when it is not one or no network
  // of the database holds it.
  std::optional<ExitLocation> Lookup(std::string_view ipv4) const;

 private:
  LocationDb(loc_ctx* ctx, loc_database* db) : ctx_(ctx), db_(db) {}
  loc_ctx* ctx_;
  loc_database* db_;
};

}  // namespace mivo::verify
