// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "harvester/proxy_store.h"

namespace mivo {

class MainWindowOps;

// Makes the selected row the current user's desktop proxy.
void setPro(MainWindowOps& ops);
// Switches the desktop proxy off.
void closePro(MainWindowOps& ops);

// The same on the store that `open` gives.
void setPro(MainWindowOps& ops, const ProxyStoreOpener& open);
void closePro(MainWindowOps& ops, const ProxyStoreOpener& open);

}  // namespace mivo
