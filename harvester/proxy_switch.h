// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "harvester/proxy_store.h"

namespace mivo {

class MainWindowOps;
class ProxyListModel;

// Makes the selected row the current user's desktop proxy.
void setPro(MainWindowOps& ops);
// Switches the desktop proxy off.
void closePro(MainWindowOps& ops);

// Where the user's own proxy settings wait, from the first setPro until
// closePro puts them back; empty when there is no configuration folder.
std::string SavedProxySettingsFile();

// Whether setPro makes row n a SOCKS proxy rather than an HTTP one.
bool RowIsSocks(const ProxyListModel& rows, int n);

// The same on the store that `open` gives.
void setPro(MainWindowOps& ops, const ProxyStoreOpener& open);
void closePro(MainWindowOps& ops, const ProxyStoreOpener& open);

}  // namespace mivo
