// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "harvester/http_request.h"
#include "harvester/main_window_ops.h"
#include "import/list_rows.h"
#include "import/sources.h"

namespace mivo::cli {
namespace {

using importer::ListImporter;
using importer::Row;

// Address, port, type, location and speed as fetch prints them, then user and password.
std::string RowsLine(const ListImporter& im, const Row& row) {
  std::string line;
  for (const ProxyColumn c : {ProxyColumn::Address, ProxyColumn::Port, ProxyColumn::Type, ProxyColumn::Location,
                              ProxyColumn::Speed, ProxyColumn::User, ProxyColumn::Password}) {
    if (c != ProxyColumn::Address) line += '\t';
    line += TextCell(importer::RowCell(im, row, c));
  }
  return line;
}

std::string JsonLine(const ListImporter& im, const Row& row) {
  QJsonObject o;
  o["address"] = QString::fromStdString(importer::DottedQuad(row.address));
  o["port"] = row.port;
  o["protocol"] = row.scheme == importer::Scheme::None ? QJsonValue() : QJsonValue(importer::SchemeName(row.scheme));
  if (const std::optional<importer::Extra> e = im.ExtraOf(row)) {
    const auto text = [](std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); };
    if (e->credentials) {
      o["user"] = text(e->user);
      o["password"] = text(e->password);
    }
    if (!e->country.empty()) o["country"] = text(e->country);
  }
  return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace

int Import(const ImportOptions& o) {
  HeadlessMainOps ops;
  ListImporter im({o.publicOnly});
  importer::ImportSources(im, ops, o.sources);
  EndAbandonedHttpRequests();

  bool read = false;
  for (const importer::SourceReport& s : im.Sources()) {
    if (s.Read())
      WriteErrLine(s.name + ": " + s.counts.Text());
    else
      WriteErrLine("mivoproxy-cli import: " + s.error);
    read |= s.Read();
  }

  std::string out;
  if (o.format == ImportFormat::Json) out = "[";
  bool first = true;
  for (const Row& row : im.Rows()) {
    switch (o.format) {
      case ImportFormat::Rows: out += RowsLine(im, row) + "\n"; break;
      case ImportFormat::Urls: out += TextCell(importer::ProxyUrl(im, row)) + "\n"; break;
      case ImportFormat::Json: out += (first ? "\n  " : ",\n  ") + JsonLine(im, row); break;
    }
    first = false;
    if (out.size() >= (1 << 16)) {
      WriteOut(out);
      out.clear();
    }
  }
  if (o.format == ImportFormat::Json) out += first ? "]\n" : "\n]\n";
  WriteOut(out);
  return read ? 0 : 1;
}

}  // namespace mivo::cli
