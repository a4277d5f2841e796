// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "verify/exit_location.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// libloc's headers other than libloc.h declare C functions without saying so.
extern "C" {
#include <libloc/as.h>
#include <libloc/database.h>
#include <libloc/libloc.h>
#include <libloc/network.h>
}

namespace mivo::verify {

std::unique_ptr<LocationDb> LocationDb::Open(const std::string& path, std::string& error) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) {
    error = "cannot open location database " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  loc_ctx* ctx = nullptr;
  if (loc_new(&ctx) != 0) {
    std::fclose(f);
    error = "cannot open location database " + path + ": cannot set up libloc";
    return nullptr;
  }
  // libloc logs to standard error by default; the caller reports instead.
  loc_set_log_priority(ctx, 0);
  loc_database* db = nullptr;
  errno = 0;
  const int r = loc_database_new(ctx, &db, f);
  const int why = errno;
  // libloc says ENOMSG (or nothing) for a file that is not in its format.
  const bool format = why == 0 || why == ENOMSG || why == EINVAL || why == EBADMSG;
  std::fclose(f);  // the database has mapped what it needs
  if (r != 0 || !db) {
    loc_unref(ctx);
    error = "cannot open location database " + path + ": " + (format ? "not a location database" : std::strerror(why));
    return nullptr;
  }
  return std::unique_ptr<LocationDb>(new LocationDb(ctx, db));
}

LocationDb::~LocationDb() {
  loc_database_unref(db_);
  loc_unref(ctx_);
}

std::optional<ExitLocation> LocationDb::Lookup(std::string_view ipv4) const {
  // The database holds IPv4 as IPv4-mapped IPv6 addresses.
  char text[INET_ADDRSTRLEN];
  if (ipv4.empty() || ipv4.size() >= sizeof text) return std::nullopt;
  std::memcpy(text, ipv4.data(), ipv4.size());
  text[ipv4.size()] = '\0';
  in_addr v4{};
  if (inet_pton(AF_INET, text, &v4) != 1) return std::nullopt;
  in6_addr mapped{};
  mapped.s6_addr[10] = 0xff;
  mapped.s6_addr[11] = 0xff;
  std::memcpy(&mapped.s6_addr[12], &v4, sizeof v4);

  loc_network* network = nullptr;
  if (loc_database_lookup(db_, &mapped, &network) != 0 || !network) return std::nullopt;
  ExitLocation where;
  if (const char* cc = loc_network_get_country_code(network)) where.country = cc;
  where.asn = loc_network_get_asn(network);
  loc_network_unref(network);
  if (where.asn != 0) {
    loc_as* as = nullptr;
    if (loc_database_get_as(db_, &as, where.asn) == 0 && as) {
      if (const char* name = loc_as_get_name(as)) where.asName = name;
      loc_as_unref(as);
    }
  }
  if (where.country.empty() && where.asn == 0) return std::nullopt;
  return where;
}

}  // namespace mivo::verify
