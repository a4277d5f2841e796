// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Arbitrary list bytes through the importer, whole and in two pieces cut
// where the first byte says: both must keep the same rows, and every row
// kept must be one the list can use.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "import/importer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cut = data[0] % size;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  using mivo::importer::ListImporter;
  ListImporter whole;
  whole.Import("whole", bytes);
  ListImporter pieces({true});
  pieces.Begin("pieces");
  pieces.Feed(bytes.substr(0, cut));
  pieces.Feed(bytes.substr(cut));
  pieces.End();

  if (static_cast<std::size_t>(whole.Total().kept) != whole.Rows().size()) __builtin_trap();
  for (const mivo::importer::Row& row : whole.Rows()) {
    if (row.port == 0 || row.address >> 24 == 0 || row.address >> 24 >= 224) __builtin_trap();
    if (const std::optional<mivo::importer::Extra> e = whole.ExtraOf(row))
      for (char c : std::string(e->user) + std::string(e->password))
        if (static_cast<unsigned char>(c) < 0x20) __builtin_trap();
  }
  // The public-only run keeps a subset, in the same order.
  std::size_t k = 0;
  for (const mivo::importer::Row& row : pieces.Rows()) {
    while (k < whole.Rows().size() && (whole.Rows()[k].address != row.address || whole.Rows()[k].port != row.port ||
                                       whole.Rows()[k].scheme != row.scheme))
      ++k;
    if (k == whole.Rows().size()) __builtin_trap();
  }
  return 0;
}
