// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "socket/event_call.h"
#include "socket/winsock.h"

namespace mivo {

WinSock& WinSockArray::Load(int Index) {
  auto& slot = items_[Index];
  if (slot) return *slot;
  slot = std::make_unique<WinSock>();
  WinSockEvents& e = slot->events;
  WinSockArrayEvents* a = &events;
  e.CloseSck = [a, Index] { CallCopy(a->CloseSck, Index); };
  e.Connect = [a, Index] { CallCopy(a->Connect, Index); };
  e.ConnectionRequest = [a, Index](std::int32_t requestID) { CallCopy(a->ConnectionRequest, Index, requestID); };
  e.DataArrival = [a, Index](std::int32_t bytesTotal) { CallCopy(a->DataArrival, Index, bytesTotal); };
  e.Error = [a, Index](std::int16_t Number, std::string& Description, std::int32_t sCode, std::string Source,
                       std::string HelpFile, std::int32_t HelpContext, bool& CancelDisplay) {
    CallCopy(a->Error, Index, Number, Description, sCode, std::move(Source), std::move(HelpFile), HelpContext,
             CancelDisplay);
  };
  e.SendComplete = [a, Index] { CallCopy(a->SendComplete, Index); };
  e.SendProgress = [a, Index](std::int32_t bytesSent, std::int32_t bytesRemaining) {
    CallCopy(a->SendProgress, Index, bytesSent, bytesRemaining);
  };
  return *slot;
}

void WinSockArray::Unload(int Index) { items_.erase(Index); }

WinSock& WinSockArray::operator[](int Index) { return *items_.at(Index); }

WinSock* WinSockArray::Find(int Index) {
  const auto it = items_.find(Index);
  return it == items_.end() ? nullptr : it->second.get();
}

int WinSockArray::LBound() const { return items_.empty() ? -1 : items_.begin()->first; }
int WinSockArray::UBound() const { return items_.empty() ? -1 : items_.rbegin()->first; }

}  // namespace mivo
