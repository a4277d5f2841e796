// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "socket/byte_queue.h"
#include "socket/sockets_layer.h"
#include "socket/variant.h"

namespace mivo {

// Values of WinSock::State().
enum class SocketState : std::int32_t {
  Closed = 0,
  Open = 1,
  Listening = 2,
  ResolvingHost = 4,
  HostResolved = 5,
  Connecting = 6,
  Connected = 7,
  Closing = 8,
  Error = 9,
};

// Values of WinSock::Protocol(); any non-zero value means UDP.
enum SocketProtocol : std::int32_t {
  ProtocolTcp = 0,
  ProtocolUdp = 1,
};

// Window messages of the notification queue.
inline constexpr std::uint32_t MsgHostLookupDone = 0x8000;
inline constexpr std::uint32_t MsgSocketNotify = 0x8001;

// The handlers of a control's events, in the order the control declares
// them. An unset handler means the event is not handled. Handlers run on the
// user-interface thread, one at a time; they may call back into the control
// and may destroy it.
struct WinSockEvents {
  std::function<void()> CloseSck;
  std::function<void()> Connect;
  std::function<void(std::int32_t requestID)> ConnectionRequest;
  std::function<void(std::int32_t bytesTotal)> DataArrival;
  std::function<void(std::int16_t Number, std::string& Description, std::int32_t sCode, std::string Source,
                     std::string HelpFile, std::int32_t HelpContext, bool& CancelDisplay)>
      Error;
  std::function<void()> SendComplete;
  std::function<void(std::int32_t bytesSent, std::int32_t bytesRemaining)> SendProgress;
};

// Stored properties of a control, by key ("LocalPort", "Protocol",
// "RemoteHost", "RemotePort", "Tag").
using PropertyBag = std::map<std::string, Variant>;

// A non-visual control owning at most one TCP or UDP socket; everything
// that happens on it is reported through `events`. No method waits for the
// network and no method reports a socket failure to its caller: failures
// arrive as the Error event or show in State().
class WinSock final : private SocketNotifySink {
 public:
  // Uses the sockets layer in force when the control is created.
  WinSock();
  ~WinSock();
  WinSock(const WinSock&) = delete;
  WinSock& operator=(const WinSock&) = delete;

  WinSockEvents events;

  // Callback of the notification queue; not for users.
  void zSubclass_Proc(bool bBefore, bool& bHandled, std::int32_t& lReturn, std::int32_t lng_hWnd, std::uint32_t uMsg,
                      std::uintptr_t wParam, std::intptr_t lParam);

  std::int32_t RemotePort() const { return remotePort_; }
  void RemotePort(std::int32_t lngPort);
  const std::string& RemoteHost() const { return remoteHost_; }
  void RemoteHost(std::string strHost) { remoteHost_ = std::move(strHost); }
  const std::string& RemoteHostIP() const { return remoteHostIP_; }
  std::int32_t LocalPort() const;
  void LocalPort(std::int32_t lngPort);
  SocketState State() const { return state_; }
  std::string LocalHostName() const;
  std::string LocalIP() const;
  std::int32_t BytesReceived() const;
  std::int32_t SocketHandle() const { return socket_; }
  const std::string& Tag() const { return tag_; }
  void Tag(std::string strTag) { tag_ = std::move(strTag); }
  std::int32_t Protocol() const { return protocol_; }
  void Protocol(std::int32_t enmProtocol);

  void CloseSck();
  // RemoteHost: any value, taken as text. RemotePort: any value, taken as a number.
  void Connect(std::optional<Variant> RemoteHost = std::nullopt, std::optional<Variant> RemotePort = std::nullopt);
  // LocalPort: any value, taken as a number. LocalIP: any value, taken as text.
  void Bind(std::optional<Variant> LocalPort = std::nullopt, std::optional<Variant> LocalIP = std::nullopt);
  void SendData(const Variant& data);
  // When `data` already holds a value its type decides what is taken, else
  // varType, else a byte array.
  void GetData(Variant& data, std::optional<Variant> varType = std::nullopt,
               std::optional<Variant> maxLen = std::nullopt);
  // The same, writing the chosen type number back into `varType` and the
  // available count into a non-numeric `maxLen`.
  void GetData(Variant& data, Variant& varType, Variant& maxLen);
  void PeekData(Variant& data, std::optional<Variant> varType = std::nullopt,
                std::optional<Variant> maxLen = std::nullopt);
  void PeekData(Variant& data, Variant& varType, Variant& maxLen);
  void Listen();
  void Accept(std::int32_t requestID);

  // The stored properties, read through the setters above.
  void ReadProperties(const PropertyBag& bag);
  void WriteProperties(PropertyBag& bag) const;

  // The fixed size (twips) the control keeps on its window.
  static constexpr int kSizeTwips = 420;

 private:
  void SocketNotify(SOCKET s, int event, int error) override;
  void HostLookupNotify(LookupTask task, int error) override;

  // Steps of the state machine. Every change of State() goes through
  // EnterState, traced under the logging category "mivo.socket".
  void EnterState(SocketState next);
  // Makes the socket and registers it for notifications, unless there is
  // one already; false when either fails.
  bool SocketExists();
  // With `portAtConnect` the port is chosen by the connect that follows and read back then.
  bool BindSocket(const std::optional<Variant>& port, const std::optional<Variant>& address,
                  bool portAtConnect = false);
  bool ResolveIfHostname(const std::string& text, std::uint32_t& address);
  void HostLookupDone(int error);
  void ConnectToIP(std::uint32_t address);
  void PostSocket(int event, int error);
  void OnAccept();
  void OnConnect();
  void OnClose();
  void ReadLocalAddress(SOCKET s);
  void ReadPeerAddress(SOCKET s);
  bool RegisterNotifications(SOCKET s);
  void CancelLookup();
  void FreeLookupBuffer();
  // A failed close enters Error and logs why; the descriptor is gone either way.
  void CloseSocketHandle();
  void StartUp();
  void ShutDown();
  // Dotted text, else the first address of a synchronous lookup.
  std::optional<std::uint32_t> ResolveSync(const std::string& text);
  // Returns false when a handler destroyed the control.
  bool RaiseSocketError(int number, const char* source);

  // Data path.
  void ReadSocketOptions();
  // Drains the queue; with `fresh` (only when the queue is empty) those bytes
  // first, queueing what the socket does not take.
  void SendBufferedData(const std::uint8_t* fresh = nullptr, std::size_t freshSize = 0);
  void SendBufferedDataUDP();
  void ReceiveIntoBuffer();
  void ReceiveDatagram();
  void DiscardDatagram();
  std::uint32_t PendingDatagramSize() const;
  void ReadData(Variant& data, Variant& varType, Variant& maxLen, bool maxLenGiven, bool peek);
  bool DataGate(bool peek) const;
  Bytes TakeBytes(std::size_t count, bool peek);

  // Set to false when the control is destroyed; events hold a copy.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  SocketsLayer* layer_;
  SOCKET socket_ = INVALID_SOCKET;
  SocketState state_ = SocketState::Closed;
  std::int32_t protocol_ = ProtocolTcp;
  std::int32_t remotePort_ = 0;
  std::int32_t requestedLocalPort_ = 0;
  std::int32_t boundLocalPort_ = 0;
  std::string tag_;
  std::string remoteHost_;
  std::string remoteHostIP_;
  std::string localIP_;
  std::unique_ptr<HostLookupBuffer> lookupBuffer_;
  LookupTask lookupTask_ = 0;
  std::int32_t sendChunkSize_ = 0;
  std::int32_t receiveSize_ = 0;
  ByteQueue SendBuffer_;
  ByteQueue ReceiveBuffer_;
  bool acceptedByRequest_ = false;
  bool datagramTaken_ = false;
  bool started_ = false;
  std::int32_t startCount_ = 0;
};

// An indexed set of controls whose events carry the element's index first.
struct WinSockArrayEvents {
  std::function<void(int Index)> CloseSck;
  std::function<void(int Index)> Connect;
  std::function<void(int Index, std::int32_t requestID)> ConnectionRequest;
  std::function<void(int Index, std::int32_t bytesTotal)> DataArrival;
  std::function<void(int Index, std::int16_t Number, std::string& Description, std::int32_t sCode, std::string Source,
                     std::string HelpFile, std::int32_t HelpContext, bool& CancelDisplay)>
      Error;
  std::function<void(int Index)> SendComplete;
  std::function<void(int Index, std::int32_t bytesSent, std::int32_t bytesRemaining)> SendProgress;
};

class WinSockArray {
 public:
  WinSockArray() = default;
  // Elements refer back to the array's handlers, so the array stays put.
  WinSockArray(const WinSockArray&) = delete;
  WinSockArray& operator=(const WinSockArray&) = delete;

  WinSockArrayEvents events;

  // Creates element `Index` (or returns it when it exists); its events go to `events`.
  WinSock& Load(int Index);
  // Destroys element `Index`; allowed from inside that element's own handler.
  void Unload(int Index);
  bool Exists(int Index) const {
    return Index >= 0 && static_cast<std::size_t>(Index) < items_.size() && items_[static_cast<std::size_t>(Index)];
  }
  // The element, which must exist (std::out_of_range if not).
  WinSock& operator[](int Index);
  WinSock* Find(int Index);
  int Count() const { return count_; }
  // Lowest and highest index; -1 when empty.
  int LBound() const;
  int UBound() const;

 private:
  // By index from 0, as a walk numbers its rows: a slot costs one pointer.
  std::vector<std::unique_ptr<WinSock>> items_;
  int count_ = 0;
};

}  // namespace mivo
