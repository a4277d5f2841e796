// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "tools/sample_site.h"

namespace mivo::sample {

// The first proxy the site lists for which `wanted` holds; nullptr when none does.
template <typename Pred>
const SampleProxy* FindListed(const SampleSite& site, Pred wanted) {
  for (const SamplePage& page : site.Pages())
    for (const SampleProxy& p : page.proxies)
      if (wanted(p)) return &p;
  return nullptr;
}

}  // namespace mivo::sample
