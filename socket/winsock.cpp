// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "winsock.h"

#include <QLoggingCategory>
#include <set>

#include "common/presenter.h"
#include "socket/error_text.h"
#include "socket/event_call.h"

Q_LOGGING_CATEGORY(lcSocket, "mivo.socket", QtWarningMsg)

namespace mivo {
namespace {

const char* StateName(SocketState state) {
  switch (state) {
    case SocketState::Closed: return "Closed";
    case SocketState::Open: return "Open";
    case SocketState::Listening: return "Listening";
    case SocketState::ResolvingHost: return "ResolvingHost";
    case SocketState::HostResolved: return "HostResolved";
    case SocketState::Connecting: return "Connecting";
    case SocketState::Connected: return "Connected";
    case SocketState::Closing: return "Closing";
    case SocketState::Error: return "Error";
  }
  return "?";
}

// Connections accepted by a listening control and announced, not yet
// claimed with Accept. Shared by every control, so that a request can be
// accepted on a control other than the listening one.
std::set<SOCKET>& PendingAccepts() {
  static std::set<SOCKET> pending;
  return pending;
}

}  // namespace

WinSock::WinSock() : layer_(&Sockets()) { StartUp(); }

WinSock::~WinSock() {
  CancelLookup();
  if (socket_ != INVALID_SOCKET) {
    if (!acceptedByRequest_)
      CloseSocketHandle();
    else
      layer_->WSAAsyncSelect(socket_, nullptr, 0);  // the handle stays with its owner
  }
  ShutDown();
  *alive_ = false;
}

void WinSock::StartUp() {
  ++startCount_;
  if (started_) return;
  started_ = true;
  WSAData data;
  layer_->WSAStartup(0x0101, data);  // a failed start shows as failing socket calls
}

void WinSock::ShutDown() {
  --startCount_;
  if (started_ && startCount_ == 0) started_ = false;
}

void WinSock::EnterState(SocketState next) {
  if (next == state_) return;
  qCDebug(lcSocket, "socket %d: %s => %s", socket_, StateName(state_), StateName(next));
  state_ = next;
}

// --- notification entry --------------------------------------------------

void WinSock::SocketNotify(SOCKET s, int event, int error) {
  bool handled = false;
  std::int32_t ret = 0;
  const std::uint32_t lParam = (static_cast<std::uint32_t>(error & 0xFFFF) << 16) | (event & 0xFFFF);
  zSubclass_Proc(true, handled, ret, 0, MsgSocketNotify, static_cast<std::uintptr_t>(s), lParam);
}

void WinSock::HostLookupNotify(LookupTask task, int error) {
  bool handled = false;
  std::int32_t ret = 0;
  const std::uint32_t lParam = static_cast<std::uint32_t>(error & 0xFFFF) << 16;
  zSubclass_Proc(true, handled, ret, 0, MsgHostLookupDone, task, lParam);
}

void WinSock::zSubclass_Proc(bool bBefore, bool& bHandled, std::int32_t& lReturn, std::int32_t lng_hWnd,
                             std::uint32_t uMsg, std::uintptr_t wParam, std::intptr_t lParam) {
  (void)bBefore;
  (void)lng_hWnd;
  (void)wParam;
  bHandled = false;
  lReturn = 0;
  const auto lp = static_cast<std::uint32_t>(lParam);
  if (uMsg == MsgHostLookupDone)
    HostLookupDone(static_cast<int>(lp >> 16));
  else if (uMsg == MsgSocketNotify)
    PostSocket(static_cast<int>(lp & 0xFFFF), static_cast<int>(lp >> 16));
}

// --- properties ------------------------------------------------------------

std::int32_t WinSock::LocalPort() const {
  if (boundLocalPort_ != 0) return boundLocalPort_;
  // A port left to connect time is chosen by the connect, so none exists
  // while a host name is looked up: the requested port (0) reads until the
  // connect starts. From then on the socket keeps it until CloseSck, failed
  // or not; it is asked for only when read, so that a walk does not pay a
  // call per row for it.
  SockAddrIn name;
  if (socket_ != INVALID_SOCKET && layer_->getsockname(socket_, name).ok() && name.sin_port != 0)
    return NetToHostShort(name.sin_port);
  return requestedLocalPort_;
}

void WinSock::RemotePort(std::int32_t lngPort) {
  if (lngPort >= 0 && lngPort <= 65535) remotePort_ = lngPort;
}

void WinSock::LocalPort(std::int32_t lngPort) {
  if (lngPort >= 0 && lngPort <= 65535) requestedLocalPort_ = lngPort;
}

void WinSock::Protocol(std::int32_t enmProtocol) {
  if (state_ == SocketState::Closed) protocol_ = enmProtocol;
}

std::string WinSock::LocalHostName() const {
  std::string name;
  if (!layer_->gethostname(name).ok()) return {};
  return name.substr(0, name.find('\0'));
}

std::string WinSock::LocalIP() const {
  if (state_ == SocketState::Connected) return localIP_;
  std::vector<std::uint32_t> addresses;
  if (!layer_->gethostbyname(LocalHostName(), addresses).ok() || addresses.empty()) return {};
  return layer_->inet_ntoa(addresses.front());
}

void WinSock::ReadProperties(const PropertyBag& bag) {
  const auto get = [&bag](const char* key, Variant fallback) {
    const auto it = bag.find(key);
    return it == bag.end() ? fallback : it->second;
  };
  LocalPort(get("LocalPort", 0).WholeNumber().value_or(0));
  Protocol(get("Protocol", 0).WholeNumber().value_or(0));
  RemoteHost(get("RemoteHost", "").AsText());
  RemotePort(get("RemotePort", 0).WholeNumber().value_or(0));
  Tag(get("Tag", "").AsText());
}

void WinSock::WriteProperties(PropertyBag& bag) const {
  bag["LocalPort"] = requestedLocalPort_;
  bag["Protocol"] = protocol_;
  bag["RemoteHost"] = remoteHost_;
  bag["RemotePort"] = remotePort_;
  bag["Tag"] = tag_;
}

// --- socket making and binding ---------------------------------------------

bool WinSock::SocketExists() {
  if (socket_ != INVALID_SOCKET) return true;
  const SockResult r = protocol_ != ProtocolTcp ? layer_->socket(AF_INET_W, SOCK_DGRAM_W, IPPROTO_UDP_W)
                                                : layer_->socket(AF_INET_W, SOCK_STREAM_W, IPPROTO_TCP_W);
  if (!r.ok()) {
    RaiseSocketError(r.error, "WinSock.SocketExists");
    return false;
  }
  socket_ = static_cast<SOCKET>(r.value);
  ReadSocketOptions();
  return RegisterNotifications(socket_);
}

bool WinSock::RegisterNotifications(SOCKET s) { return layer_->WSAAsyncSelect(s, this, kNotifySet).ok(); }

std::optional<std::uint32_t> WinSock::ResolveSync(const std::string& text) {
  const std::uint32_t a = layer_->inet_addr(text);
  if (a != INADDR_NONE_W) return a;
  std::vector<std::uint32_t> addresses;
  if (layer_->gethostbyname(text, addresses).ok() && !addresses.empty()) return addresses.front();
  return std::nullopt;
}

bool WinSock::BindSocket(const std::optional<Variant>& port, const std::optional<Variant>& address,
                         bool portAtConnect) {
  if (state_ == SocketState::Open) return true;
  std::int32_t p = 0;
  if (!port) {
    p = requestedLocalPort_;
  } else if (const auto n = port->WholeNumber(); n && *n >= 0 && *n <= 65535) {
    p = *n;
  }
  const std::string text = address && !address->IsEmpty() ? address->AsText() : std::string();
  // The empty text binds to every local address.
  const std::optional<std::uint32_t> ip = text.empty() ? INADDR_ANY_W : ResolveSync(text);
  if (!SocketExists()) return false;
  if (!ip) return false;
  SockAddrIn name;
  name.sin_port = HostToNetShort(static_cast<std::uint16_t>(p));
  name.sin_addr = *ip;
  if (!layer_->bind(socket_, name).ok()) return false;
  if (p != 0) {
    requestedLocalPort_ = p;
  } else if (!portAtConnect) {
    SockAddrIn bound;
    if (layer_->getsockname(socket_, bound).ok()) boundLocalPort_ = NetToHostShort(bound.sin_port);
  }
  return true;
}

void WinSock::Bind(std::optional<Variant> LocalPort, std::optional<Variant> LocalIP) {
  if (BindSocket(LocalPort, LocalIP)) EnterState(SocketState::Open);
}

// --- connecting --------------------------------------------------------------

void WinSock::Connect(std::optional<Variant> RemoteHost, std::optional<Variant> RemotePort) {
  if (RemoteHost) remoteHost_ = RemoteHost->AsText();
  if (RemotePort) {
    if (const auto n = RemotePort->WholeNumber(); n && *n >= 1 && *n <= 65535) remotePort_ = *n;
  }
  if (!SocketExists()) return;
  // With no local port asked for, the kernel picks one at connect time: a
  // pick at bind time costs more the more sockets are bound, as in a walk.
  const bool portAtConnect = protocol_ == ProtocolTcp && requestedLocalPort_ == 0 &&
                             layer_->setsockopt(socket_, SOL_SOCKET_W, SO_REUSE_UNICASTPORT_W, 1).ok();
  if (!BindSocket(std::nullopt, std::nullopt, portAtConnect)) return;
  if (protocol_ != ProtocolTcp) {
    EnterState(SocketState::Open);
    return;
  }
  std::uint32_t address = 0;
  if (ResolveIfHostname(remoteHost_, address)) ConnectToIP(address);
}

bool WinSock::ResolveIfHostname(const std::string& text, std::uint32_t& address) {
  const std::uint32_t a = layer_->inet_addr(text);
  if (a != INADDR_NONE_W) {
    address = a;
    return true;
  }
  EnterState(SocketState::ResolvingHost);
  lookupBuffer_ = layer_->AllocLookupBuffer();
  if (!lookupBuffer_) {
    EnterState(SocketState::Error);
    return false;
  }
  int error = 0;
  lookupTask_ = layer_->WSAAsyncGetHostByName(this, text, lookupBuffer_.get(), error);
  if (lookupTask_ == 0) {
    FreeLookupBuffer();
    RaiseSocketError(error != 0 ? error : WSANO_RECOVERY, "WinSock.ResolveIfHostname");
  }
  return false;
}

void WinSock::HostLookupDone(int error) {
  if (state_ != SocketState::ResolvingHost) return;
  lookupTask_ = 0;
  if (error == 0 && (!lookupBuffer_ || lookupBuffer_->addresses.empty())) error = WSANO_DATA;
  if (error != 0) {
    FreeLookupBuffer();
    RaiseSocketError(error, "WinSock.ConnectToIP");
    return;
  }
  EnterState(SocketState::HostResolved);
  const std::uint32_t address = lookupBuffer_->addresses.front();
  FreeLookupBuffer();
  ConnectToIP(address);
}

void WinSock::ConnectToIP(std::uint32_t address) {
  EnterState(SocketState::Connecting);
  SockAddrIn name;
  name.sin_port = HostToNetShort(static_cast<std::uint16_t>(remotePort_));
  name.sin_addr = address;
  const SockResult r = layer_->connect(socket_, name);
  // With the port chosen at connect time, a process out of local ports learns
  // it here rather than in a bind that fails silently: the layer follows
  // 10049 with FD_CONNECT carrying it, so the row ends as Error 10049 instead
  // of waiting for ever with nothing reported.
  if (r.ok() || r.error == WSAEWOULDBLOCK || r.error == WSAEADDRNOTAVAIL) return;  // FD_CONNECT follows
  RaiseSocketError(r.error, "WinSock.ConnectToIP");
}

void WinSock::FreeLookupBuffer() {
  if (lookupBuffer_) layer_->FreeLookupBuffer(std::move(lookupBuffer_));
}

void WinSock::CancelLookup() {
  if (lookupTask_ != 0 && layer_->WSACancelAsyncRequest(lookupTask_).ok()) FreeLookupBuffer();
  lookupTask_ = 0;
}

// --- listening and accepting -------------------------------------------------

void WinSock::Listen() {
  if (!SocketExists()) return;
  if (!BindSocket(std::nullopt, std::nullopt)) return;
  if (layer_->listen(socket_, 5).ok()) EnterState(SocketState::Listening);
}

void WinSock::Accept(std::int32_t requestID) {
  protocol_ = ProtocolTcp;
  // The control can reach only one socket. One it owned would otherwise stay
  // open for as long as the process runs; one taken by request goes back to
  // its owner, no longer reporting here.
  if (socket_ != INVALID_SOCKET && socket_ != requestID) {
    if (acceptedByRequest_)
      layer_->WSAAsyncSelect(socket_, nullptr, 0);
    else
      layer_->closesocket(socket_);
  }
  socket_ = requestID;
  // Bytes of the earlier connection are not the new peer's.
  ReceiveBuffer_.Clear();
  SendBuffer_.Clear();
  ReadSocketOptions();
  auto& pending = PendingAccepts();
  if (pending.erase(requestID) != 0) {
    // The flag describes the socket held now: left set, removing the control
    // would leave this socket, its own, open, and GetData would take bytes
    // outside a connection.
    acceptedByRequest_ = false;
    ReadLocalAddress(socket_);
    ReadPeerAddress(socket_);
    EnterState(SocketState::Connected);
    RegisterNotifications(socket_);
    return;
  }
  acceptedByRequest_ = true;
  EnterState(SocketState::Connected);
  ReadLocalAddress(requestID);
  RegisterNotifications(requestID);
}

void WinSock::OnAccept() {
  const SockResult r = layer_->accept(socket_, nullptr);
  if (!r.ok()) {
    // A notification the socket no longer backs is no failure.
    if (r.error != WSAEWOULDBLOCK) RaiseSocketError(r.error, "WinSock.PostSocket");
    return;
  }
  const auto request = static_cast<SOCKET>(r.value);
  PendingAccepts().insert(request);
  const std::int32_t keptPort = remotePort_;
  const std::string keptIP = remoteHostIP_;
  const std::string keptHost = remoteHost_;
  remoteHost_.clear();
  ReadPeerAddress(request);
  SocketsLayer* layer = layer_;
  const bool alive = Fire(alive_, events.ConnectionRequest, static_cast<std::int32_t>(request));
  if (alive && state_ == SocketState::Listening) {
    remotePort_ = keptPort;
    remoteHostIP_ = keptIP;
    remoteHost_ = keptHost;
  }
  // A request nobody claimed leaves the caller disconnected.
  if (PendingAccepts().erase(request) != 0) layer->closesocket(request);
}

// --- notifications -------------------------------------------------------------

void WinSock::PostSocket(int event, int error) {
  if (error != 0) {
    RaiseSocketError(error, "WinSock.PostSocket");
    return;
  }
  switch (event) {
    case FD_READ:
      if (protocol_ == ProtocolTcp && state_ == SocketState::Connected)
        ReceiveIntoBuffer();
      else if (protocol_ != ProtocolTcp && state_ == SocketState::Open)
        ReceiveDatagram();
      break;
    case FD_WRITE:
      if (state_ == SocketState::Connected && !SendBuffer_.empty()) SendBufferedData();
      break;
    case FD_ACCEPT:
      if (state_ == SocketState::Listening) OnAccept();
      break;
    case FD_CONNECT:
      if (state_ == SocketState::Connecting) OnConnect();
      break;
    case FD_CLOSE:
      if (state_ == SocketState::Connected) OnClose();
      break;
    default: break;
  }
}

void WinSock::OnConnect() {
  // Linux enlarges the buffers once connected: their sizes are read again
  // when data first moves.
  sendChunkSize_ = receiveSize_ = 0;
  ReadLocalAddress(socket_);
  ReadPeerAddress(socket_);
  EnterState(SocketState::Connected);
  (void)Fire(alive_, events.Connect);
}

void WinSock::OnClose() {
  EnterState(SocketState::Closing);
  (void)Fire(alive_, events.CloseSck);
}

void WinSock::ReadLocalAddress(SOCKET s) {
  SockAddrIn name;
  if (layer_->getsockname(s, name).ok()) {
    boundLocalPort_ = NetToHostShort(name.sin_port);
    localIP_ = layer_->inet_ntoa(name.sin_addr);
  } else {
    boundLocalPort_ = 0;
    localIP_.clear();
  }
}

void WinSock::ReadPeerAddress(SOCKET s) {
  SockAddrIn name;
  if (layer_->getpeername(s, name).ok()) {
    remotePort_ = NetToHostShort(name.sin_port);
    remoteHostIP_ = layer_->inet_ntoa(name.sin_addr);
  } else {
    remotePort_ = 0;
    remoteHostIP_.clear();
    remoteHost_.clear();
  }
}

// --- closing -------------------------------------------------------------------

void WinSock::CloseSocketHandle() {
  const SockResult r = layer_->closesocket(socket_);
  if (r.ok()) return;
  EnterState(SocketState::Error);
  qCWarning(lcSocket, "socket %d: closing failed with %d: %s", socket_, r.error, ErrorText(r.error).c_str());
}

void WinSock::CloseSck() {
  if (socket_ == INVALID_SOCKET) return;
  EnterState(SocketState::Closing);
  CancelLookup();
  CloseSocketHandle();
  boundLocalPort_ = 0;
  remoteHostIP_.clear();
  ReceiveBuffer_.Clear();
  SendBuffer_.Clear();
  sendChunkSize_ = 0;
  receiveSize_ = 0;
  // Cleared with the socket it describes: a later connection of this control
  // is its own, closed when the control goes and read only while connected.
  acceptedByRequest_ = false;
  // With no socket left the control is Closed, so that Protocol and Connect
  // work again; a failed close passed through Error and is logged. The
  // descriptor is gone even then; its number may soon be another socket's,
  // so it is never closed again.
  EnterState(SocketState::Closed);
  socket_ = INVALID_SOCKET;
}

// --- errors --------------------------------------------------------------------

bool WinSock::RaiseSocketError(int number, const char* source) {
  EnterState(SocketState::Error);
  std::string Description = ErrorText(number);
  bool CancelDisplay = true;
  const bool alive = Fire(alive_, events.Error, static_cast<std::int16_t>(number), Description, std::int32_t{0},
                          std::string(source), std::string(), std::int32_t{0}, CancelDisplay);
  if (!CancelDisplay) ShowMessage(ErrorText(number), source, MsgIcon::None);
  return alive;
}

}  // namespace mivo
