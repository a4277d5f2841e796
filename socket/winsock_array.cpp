// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "socket/event_call.h"
#include "socket/winsock.h"

#include <stdexcept>
#include <string>

namespace mivo {

WinSock& WinSockArray::Load(int Index) {
  if (Index < 0) throw std::out_of_range("WinSockArray::Load: index " + std::to_string(Index));
  if (static_cast<std::size_t>(Index) >= items_.size()) items_.resize(static_cast<std::size_t>(Index) + 1);
  auto& slot = items_[static_cast<std::size_t>(Index)];
  if (slot) return *slot;
  slot = std::make_unique<WinSock>();
  ++count_;
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

void WinSockArray::Unload(int Index) {
  if (!Exists(Index)) return;
  // The slot is empty before the element goes, should its end call back in.
  const std::unique_ptr<WinSock> gone = std::move(items_[static_cast<std::size_t>(Index)]);
  --count_;
  while (!items_.empty() && !items_.back()) items_.pop_back();
}

WinSock& WinSockArray::operator[](int Index) {
  if (!Exists(Index)) throw std::out_of_range("WinSockArray: no element " + std::to_string(Index));
  return *items_[static_cast<std::size_t>(Index)];
}

WinSock* WinSockArray::Find(int Index) {
  return Exists(Index) ? items_[static_cast<std::size_t>(Index)].get() : nullptr;
}

int WinSockArray::LBound() const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i]) return static_cast<int>(i);
  return -1;
}

// Trailing empty slots are dropped by Unload.
int WinSockArray::UBound() const { return static_cast<int>(items_.size()) - 1; }

}  // namespace mivo
