// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "list_rows.h"

#include "harvester/proxy_list_model.h"

namespace mivo::importer {

std::string RowCell(const ListImporter& from, const Row& row, ProxyColumn column) {
  const std::optional<Extra> extra = from.ExtraOf(row);
  switch (column) {
    case ProxyColumn::Address: return DottedQuad(row.address);
    case ProxyColumn::Port: return std::to_string(row.port);
    case ProxyColumn::Type: return TypeCell(row.scheme);
    case ProxyColumn::Location: return extra ? std::string(extra->country) : std::string();
    case ProxyColumn::User: return extra ? std::string(extra->user) : std::string();
    case ProxyColumn::Password: return extra ? std::string(extra->password) : std::string();
    case ProxyColumn::Speed:
    case ProxyColumn::Result:
    case ProxyColumn::Time:
    case ProxyColumn::Protocol:
    case ProxyColumn::Anonymity:
    case ProxyColumn::Exit:
    case ProxyColumn::Country:
    case ProxyColumn::HandshakeMs:
    case ProxyColumn::Reason: break;
  }
  return {};
}

void AppendRows(const ListImporter& from, std::size_t first, std::size_t last, ProxyListModel& list) {
  ProxyListModel::Batch batch(list);
  for (std::size_t i = first; i < last && i < from.Rows().size(); ++i) {
    const Row& row = from.Rows()[i];
    list.Append(DottedQuad(row.address));
    const int n = list.Count();
    for (const ProxyColumn c :
         {ProxyColumn::Port, ProxyColumn::Type, ProxyColumn::Location, ProxyColumn::User, ProxyColumn::Password})
      if (std::string cell = RowCell(from, row, c); !cell.empty()) list.SetText(n, c, cell);
  }
}

std::string ProxyUrl(const ListImporter& from, const Row& row) {
  std::string url = row.scheme == Scheme::None ? "http" : SchemeName(row.scheme);
  url += "://";
  if (const std::optional<Extra> e = from.ExtraOf(row); e && e->credentials)
    url += PercentEncoded(e->user) + ":" + PercentEncoded(e->password) + "@";
  return url + DottedQuad(row.address) + ":" + std::to_string(row.port);
}

}  // namespace mivo::importer
