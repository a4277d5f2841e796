// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Arbitrary page bytes through the whole parse, as a download delivers them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/gbk.h"
#include "harvester/main_window_ops.h"
#include "harvester/page_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  mivo::HeadlessMainOps ops;
  ops.SetPageText(mivo::FromGbk(bytes));
  mivo::ParseSource(ops);
  // Every run ends with its closing texts, whatever the page held.
  if (!ops.PageText().empty() && ops.statusHistory.back() != "源码分析完成....") __builtin_trap();
  for (int n = 1; n <= ops.Rows().Count(); ++n)
    if (mivo::Utf8Length(ops.Rows().Text(n, mivo::ProxyColumn::Address)) >= 15) __builtin_trap();
  // The port decoder alone, on the raw bytes as one line.
  const std::string port = mivo::DecodePort(bytes);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) __builtin_trap();
  return 0;
}
