// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Small location databases in libloc's format, for tests, benchmarks and the
// sample site: loopback ranges mapped to made-up countries and networks.

#include <cstdint>
#include <string>
#include <vector>

namespace mivo::sample {

struct LocationRange {
  std::string network;  // e.g. "127.0.0.0/25"
  std::string country;  // two letters; empty: none
  std::uint32_t asn = 0;
  std::string asName;  // written when asn is not 0
};

// Made-up countries from ISO 3166's user-assigned codes (libloc reserves
// the X. codes for its own flags): 127.0.0.0/26 -> QM, AS64500 "Test Net A";
// 127.0.0.64/26 -> QN, AS64501 "Test Net B"; the rest of 127.0.0.0/8 in
// none. The sample site's listed proxies (127.0.0.10 and up) fall in both.
const std::vector<LocationRange>& LoopbackLocations();

// Writes an unsigned database holding `ranges` to `path` (replacing it);
// false with `error` set on failure.
bool WriteLocationDb(const std::string& path, const std::vector<LocationRange>& ranges, std::string* error);

}  // namespace mivo::sample
