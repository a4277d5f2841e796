// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tools/location_db_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

// libloc's headers other than libloc.h declare C functions without saying so.
extern "C" {
#include <libloc/as.h>
#include <libloc/country.h>
#include <libloc/libloc.h>
#include <libloc/network.h>
#include <libloc/writer.h>
}

namespace mivo::sample {

const std::vector<LocationRange>& LoopbackLocations() {
  static const std::vector<LocationRange> ranges{
      {"127.0.0.0/26", "QM", 64500, "Test Net A"},
      {"127.0.0.64/26", "QN", 64501, "Test Net B"},
  };
  return ranges;
}

bool WriteLocationDb(const std::string& path, const std::vector<LocationRange>& ranges, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "cannot write location database " + path + ": " + why;
    return false;
  };
  loc_ctx* ctx = nullptr;
  if (loc_new(&ctx) != 0) return fail("cannot set up libloc");
  loc_set_log_priority(ctx, 0);
  loc_writer* writer = nullptr;
  // No signing keys: the reader accepts an unsigned database.
  if (loc_writer_new(ctx, &writer, nullptr, nullptr) != 0) {
    loc_unref(ctx);
    return fail("cannot set up the writer");
  }
  std::string why;
  std::set<std::uint32_t> ases;
  for (const LocationRange& r : ranges) {
    loc_network* network = nullptr;
    if (loc_writer_add_network(writer, &network, r.network.c_str()) != 0 || !network) {
      why = "bad network " + r.network;
      break;
    }
    const bool ok = (r.country.empty() || loc_network_set_country_code(network, r.country.c_str()) == 0) &&
                    (r.asn == 0 || loc_network_set_asn(network, r.asn) == 0);
    loc_network_unref(network);
    if (!ok) {
      why = "bad country or AS for " + r.network;
      break;
    }
    if (r.asn == 0 || !ases.insert(r.asn).second) continue;
    loc_as* as = nullptr;
    if (loc_writer_add_as(writer, &as, r.asn) != 0 || !as) {
      why = "cannot add AS" + std::to_string(r.asn);
      break;
    }
    const int named = loc_as_set_name(as, r.asName.c_str());
    loc_as_unref(as);
    if (named != 0) {
      why = "cannot name AS" + std::to_string(r.asn);
      break;
    }
  }
  if (why.empty()) {
    FILE* f = std::fopen(path.c_str(), "we");
    if (!f) {
      why = std::strerror(errno);
    } else {
      if (loc_writer_write(writer, f, LOC_DATABASE_VERSION_LATEST) != 0) why = "libloc could not write it";
      if (std::fclose(f) != 0 && why.empty()) why = std::strerror(errno);
    }
  }
  loc_writer_unref(writer);
  loc_unref(ctx);
  return why.empty() || fail(why);
}

}  // namespace mivo::sample
