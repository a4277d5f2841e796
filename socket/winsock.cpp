#include "winsock.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "common/gbk.h"
#include "common/presenter.h"
#include "socket/error_text.h"

namespace mivo {
namespace {

// Used when a buffer size reads as 0 or cannot be read.
constexpr std::int32_t kDefaultBufferSize = 8192;

// Connections accepted by a listening control and announced, not yet
// claimed with Accept. Shared by every control, so that a request can be
// accepted on a control other than the listening one.
std::set<SOCKET>& PendingAccepts() {
  static std::set<SOCKET> pending;
  return pending;
}

// Calls a handler through a copy (the handler may destroy the control and
// with it the original); returns whether the control still exists.
template <typename Fn, typename... Args>
void CallCopy(const Fn& handler, Args&&... args) {
  if (!handler) return;
  Fn fn = handler;
  fn(std::forward<Args>(args)...);
}

template <typename Fn, typename... Args>
bool Fire(const std::shared_ptr<bool>& alive, const Fn& handler, Args&&... args) {
  if (!handler) return true;
  const std::shared_ptr<bool> keep = alive;
  CallCopy(handler, std::forward<Args>(args)...);
  return *keep;
}

std::optional<std::int32_t> WholeNumber(const Variant& v) {
  const std::optional<double> d = v.Number();
  if (!d) return std::nullopt;
  const double r = std::nearbyint(*d);
  // Written so that NaN fails too: converting it to an integer is undefined.
  if (!(r >= std::numeric_limits<std::int32_t>::min() && r <= std::numeric_limits<std::int32_t>::max()))
    return std::nullopt;
  return static_cast<std::int32_t>(r);
}

// maxLen as a number of bytes: 0 when it is not positive (NaN included), and
// not capped at 32 bits, so that a larger length still takes all that waits.
std::size_t ByteCount(const Variant& v) {
  const double r = std::nearbyint(v.Number().value_or(0));
  if (!(r >= 1)) return 0;
  if (r >= static_cast<double>(std::numeric_limits<std::int64_t>::max())) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(r);
}

std::int32_t Clamp32(std::size_t n) {
  return static_cast<std::int32_t>(std::min<std::size_t>(n, std::numeric_limits<std::int32_t>::max()));
}

std::size_t Positive(std::int32_t size) { return static_cast<std::size_t>(size > 0 ? size : kDefaultBufferSize); }

// Where recv writes before the bytes join a queue: one area for every control
// (they all run on one thread), grown as needed and never cleared, since a
// socket buffer's worth of zeros for each arrival costs more than the copy.
std::uint8_t* ReceiveArea(std::size_t size) {
  static std::unique_ptr<std::uint8_t[]> area;
  static std::size_t capacity = 0;
  if (capacity < size) {
    area.reset(new std::uint8_t[size]);
    capacity = size;
  }
  return area.get();
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

void WinSock::EnterState(SocketState next) { state_ = next; }

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

void WinSock::RemotePort(std::int32_t lngPort) {
  if (lngPort >= 0 && lngPort <= 65535) remotePort_ = lngPort;
}

void WinSock::LocalPort(std::int32_t lngPort) {
  if (lngPort >= 0 && lngPort <= 65535) requestedLocalPort_ = lngPort;
}

void WinSock::Protocol(std::int32_t enmProtocol) {
  if (state_ == StateClosed) protocol_ = enmProtocol;
}

std::string WinSock::LocalHostName() const {
  std::string name;
  if (!layer_->gethostname(name).ok()) return {};
  return name.substr(0, name.find('\0'));
}

std::string WinSock::LocalIP() const {
  if (state_ == StateConnected) return localIP_;
  std::vector<std::uint32_t> addresses;
  if (!layer_->gethostbyname(LocalHostName(), addresses).ok() || addresses.empty()) return {};
  return layer_->inet_ntoa(addresses.front());
}

std::int32_t WinSock::BytesReceived() const {
  if (protocol_ != ProtocolTcp) return Clamp32(PendingDatagramSize());
  return Clamp32(ReceiveBuffer_.size());
}

void WinSock::ReadProperties(const PropertyBag& bag) {
  const auto get = [&bag](const char* key, Variant fallback) {
    const auto it = bag.find(key);
    return it == bag.end() ? fallback : it->second;
  };
  LocalPort(WholeNumber(get("LocalPort", 0)).value_or(0));
  Protocol(WholeNumber(get("Protocol", 0)).value_or(0));
  RemoteHost(get("RemoteHost", "").AsText());
  RemotePort(WholeNumber(get("RemotePort", 0)).value_or(0));
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
    (void)RaiseSocketError(r.error, "WinSock.SocketExists");
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
  if (state_ == StateOpen) return true;
  std::int32_t p = 0;
  if (!port) {
    p = requestedLocalPort_;
  } else if (const auto n = WholeNumber(*port); n && *n >= 0 && *n <= 65535) {
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
  if (BindSocket(LocalPort, LocalIP)) EnterState(StateOpen);
}

// --- connecting --------------------------------------------------------------

void WinSock::Connect(std::optional<Variant> RemoteHost, std::optional<Variant> RemotePort) {
  if (RemoteHost) remoteHost_ = RemoteHost->AsText();
  if (RemotePort) {
    if (const auto n = WholeNumber(*RemotePort); n && *n >= 1 && *n <= 65535) remotePort_ = *n;
  }
  if (!SocketExists()) return;
  // With no local port asked for, the kernel picks one at connect time: a
  // pick at bind time costs more the more sockets are bound, as in a walk.
  const bool portAtConnect = protocol_ == ProtocolTcp && requestedLocalPort_ == 0 &&
                             layer_->setsockopt(socket_, SOL_SOCKET_W, SO_REUSE_UNICASTPORT_W, 1).ok();
  if (!BindSocket(std::nullopt, std::nullopt, portAtConnect)) return;
  if (protocol_ != ProtocolTcp) {
    EnterState(StateOpen);
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
  EnterState(StateResolvingHost);
  lookupBuffer_ = layer_->AllocLookupBuffer();
  if (!lookupBuffer_) {
    EnterState(StateError);
    return false;
  }
  int error = 0;
  lookupTask_ = layer_->WSAAsyncGetHostByName(this, text, lookupBuffer_.get(), error);
  if (lookupTask_ == 0) {
    FreeLookupBuffer();
    (void)RaiseSocketError(error != 0 ? error : WSANO_RECOVERY, "WinSock.ResolveIfHostname");
  }
  return false;
}

void WinSock::HostLookupDone(int error) {
  if (state_ != StateResolvingHost) return;
  lookupTask_ = 0;
  if (error == 0 && (!lookupBuffer_ || lookupBuffer_->addresses.empty())) error = WSANO_DATA;
  if (error != 0) {
    FreeLookupBuffer();
    (void)RaiseSocketError(error, "WinSock.ConnectToIP");
    return;
  }
  EnterState(StateHostResolved);
  const std::uint32_t address = lookupBuffer_->addresses.front();
  FreeLookupBuffer();
  ConnectToIP(address);
}

void WinSock::ConnectToIP(std::uint32_t address) {
  EnterState(StateConnecting);
  SockAddrIn name;
  name.sin_port = HostToNetShort(static_cast<std::uint16_t>(remotePort_));
  name.sin_addr = address;
  const SockResult r = layer_->connect(socket_, name);
  if (boundLocalPort_ == 0) ReadLocalAddress(socket_);  // a port left to connect time is chosen now
  if (r.ok() || r.error == WSAEWOULDBLOCK || r.error == WSAEADDRNOTAVAIL) return;  // FD_CONNECT follows
  (void)RaiseSocketError(r.error, "WinSock.ConnectToIP");
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
  if (layer_->listen(socket_, 5).ok()) EnterState(StateListening);
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
    acceptedByRequest_ = false;
    ReadLocalAddress(socket_);
    ReadPeerAddress(socket_);
    EnterState(StateConnected);
    RegisterNotifications(socket_);
    return;
  }
  acceptedByRequest_ = true;
  EnterState(StateConnected);
  ReadLocalAddress(requestID);
  RegisterNotifications(requestID);
}

void WinSock::OnAccept() {
  const SockResult r = layer_->accept(socket_, nullptr);
  if (!r.ok()) {
    // A notification the socket no longer backs is no failure.
    if (r.error != WSAEWOULDBLOCK) (void)RaiseSocketError(r.error, "WinSock.PostSocket");
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
  if (alive && state_ == StateListening) {
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
    (void)RaiseSocketError(error, "WinSock.PostSocket");
    return;
  }
  switch (event) {
    case FD_READ:
      if (protocol_ == ProtocolTcp && state_ == StateConnected)
        ReceiveIntoBuffer();
      else if (protocol_ != ProtocolTcp && state_ == StateOpen)
        ReceiveDatagram();
      break;
    case FD_WRITE:
      if (state_ == StateConnected && !SendBuffer_.empty()) SendBufferedData();
      break;
    case FD_ACCEPT:
      if (state_ == StateListening) OnAccept();
      break;
    case FD_CONNECT:
      if (state_ == StateConnecting) OnConnect();
      break;
    case FD_CLOSE:
      if (state_ == StateConnected) OnClose();
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
  EnterState(StateConnected);
  (void)Fire(alive_, events.Connect);
}

void WinSock::OnClose() {
  EnterState(StateClosing);
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

bool WinSock::CloseSocketHandle() {
  // The descriptor is gone even when closing it reports an error; its number
  // may soon be another socket's, so it is never closed again.
  const bool closed = layer_->closesocket(socket_).ok();
  if (!closed) EnterState(StateError);
  socket_ = INVALID_SOCKET;
  return closed;
}

void WinSock::CloseSck() {
  if (socket_ == INVALID_SOCKET) return;
  EnterState(StateClosing);
  CancelLookup();
  const bool closed = CloseSocketHandle();
  boundLocalPort_ = 0;
  remoteHostIP_.clear();
  ReceiveBuffer_.Clear();
  SendBuffer_.Clear();
  sendChunkSize_ = 0;
  receiveSize_ = 0;
  acceptedByRequest_ = false;
  // A close that reported an error leaves the error that says so.
  EnterState(closed ? StateClosed : StateError);
}

// --- errors --------------------------------------------------------------------

bool WinSock::RaiseSocketError(int number, const char* source) {
  EnterState(StateError);
  std::string Description = ErrorText(number);
  bool CancelDisplay = true;
  const bool alive = Fire(alive_, events.Error, static_cast<std::int16_t>(number), Description, std::int32_t{0},
                          std::string(source), std::string(), std::int32_t{0}, CancelDisplay);
  if (!CancelDisplay) ShowMessage(ErrorText(number), source, MsgIcon::None);
  return alive;
}

// --- data path -----------------------------------------------------------------

void WinSock::ReadSocketOptions() {
  std::int32_t v = 0;
  if (protocol_ != ProtocolTcp) {
    layer_->setsockopt(socket_, SOL_SOCKET_W, SO_BROADCAST_W, 1);
    if (layer_->getsockopt(socket_, SOL_SOCKET_W, SO_MAX_MSG_SIZE_W, v).ok()) {
      receiveSize_ = v;
      sendChunkSize_ = v;
    }
    return;
  }
  if (layer_->getsockopt(socket_, SOL_SOCKET_W, SO_RCVBUF_W, v).ok()) receiveSize_ = v;
  if (layer_->getsockopt(socket_, SOL_SOCKET_W, SO_SNDBUF_W, v).ok()) sendChunkSize_ = v;
}

void WinSock::SendData(const Variant& data) {
  if (protocol_ != ProtocolTcp) {
    if (!SocketExists() || !BindSocket(std::nullopt, std::nullopt)) return;
    EnterState(StateOpen);
  } else if (state_ != StateConnected) {
    return;
  }
  const bool wasEmpty = SendBuffer_.empty();
  if (data.Type() == vtByteArray) {
    SendBuffer_.Append(data.ByteArray().data(), data.ByteArray().size());
  } else {
    SendBuffer_.Append(ToWireBytes(data));
  }
  if (SendBuffer_.empty()) return;  // nothing to send: empty text or array, or no wire form
  if (!wasEmpty) return;  // a drain is under way; FD_WRITE continues it in order
  if (protocol_ != ProtocolTcp)
    SendBufferedDataUDP();
  else
    SendBufferedData();
}

void WinSock::SendBufferedData() {
  if (sendChunkSize_ == 0) ReadSocketOptions();
  const std::size_t chunk = Positive(sendChunkSize_);
  std::int64_t sent = 0;
  Bytes scratch;
  while (!SendBuffer_.empty()) {
    const std::size_t n = std::min(SendBuffer_.size(), chunk);
    std::size_t run = 0;
    const std::uint8_t* p = SendBuffer_.FrontRun(run);
    if (run < n) {
      scratch.resize(n);
      SendBuffer_.Peek(scratch.data(), n);
      p = scratch.data();
    }
    const SockResult r = layer_->send(socket_, p, static_cast<int>(n), 0);
    if (r.ok()) {
      sent += r.value;
      if (static_cast<std::size_t>(r.value) >= SendBuffer_.size()) {
        SendBuffer_.Clear();
        if (!Fire(alive_, events.SendProgress, Clamp32(static_cast<std::size_t>(sent)), std::int32_t{0})) return;
        if (!Fire(alive_, events.SendComplete)) return;
        sent = 0;
      } else {
        SendBuffer_.Drop(static_cast<std::size_t>(r.value));
      }
    } else if (r.error == WSAEWOULDBLOCK) {
      if (sent >= 1)
        (void)Fire(alive_, events.SendProgress, Clamp32(static_cast<std::size_t>(sent)), Clamp32(SendBuffer_.size()));
      return;
    } else {
      (void)RaiseSocketError(r.error, "WinSock.SendBufferedData");
      return;
    }
  }
}

void WinSock::SendBufferedDataUDP() {
  const std::optional<std::uint32_t> address = ResolveSync(remoteHost_);
  if (!address) {
    SendBuffer_.Clear();
    return;
  }
  const Bytes datagram = SendBuffer_.Take(SendBuffer_.size());
  SockAddrIn to;
  to.sin_port = HostToNetShort(static_cast<std::uint16_t>(remotePort_));
  to.sin_addr = *address;
  const SockResult r = layer_->sendto(socket_, datagram.data(), static_cast<int>(datagram.size()), 0, to);
  if (!r.ok() && r.error != WSAEWOULDBLOCK) (void)RaiseSocketError(r.error, "WinSock.SendBufferedDataUDP");
}

void WinSock::ReceiveIntoBuffer() {
  if (receiveSize_ == 0) ReadSocketOptions();
  const std::size_t size = Positive(receiveSize_);
  std::uint8_t* area = ReceiveArea(size);
  const SockResult r = layer_->recv(socket_, area, static_cast<int>(size), 0);
  if (!r.ok()) {
    // A notification the socket no longer backs is no failure.
    if (r.error != WSAEWOULDBLOCK) EnterState(StateError);
    return;
  }
  const auto n = static_cast<std::size_t>(r.value);
  if (n == 0) return;  // orderly close; FD_CLOSE follows
  ReceiveBuffer_.Append(area, n);
  (void)Fire(alive_, events.DataArrival, Clamp32(ReceiveBuffer_.size()));
}

std::uint32_t WinSock::PendingDatagramSize() const {
  if (socket_ == INVALID_SOCKET) return 0;
  std::uint32_t n = 0;
  if (!layer_->ioctlsocket(socket_, FIONREAD_W, n).ok()) return 0;
  return n;
}

void WinSock::ReceiveDatagram() {
  const std::uint32_t n = PendingDatagramSize();
  datagramTaken_ = false;
  if (n > 0 && !Fire(alive_, events.DataArrival, Clamp32(n))) return;
  // Only a datagram the handler left is dropped; one it took is gone already.
  if (!datagramTaken_ && state_ == StateOpen) DiscardDatagram();
}

void WinSock::DiscardDatagram() {
  if (socket_ == INVALID_SOCKET) return;
  std::uint8_t one = 0;
  layer_->recv(socket_, &one, 1, 0);
  datagramTaken_ = true;
}

bool WinSock::DataGate(bool peek) const {
  if (protocol_ != ProtocolTcp) return state_ == StateOpen && PendingDatagramSize() > 0;
  if (peek) return state_ == StateConnected;
  return state_ == StateConnected || acceptedByRequest_;
}

Bytes WinSock::TakeBytes(std::size_t count, bool peek) {
  if (protocol_ == ProtocolTcp) {
    if (!peek) return ReceiveBuffer_.Take(count);
    Bytes out(count);
    out.resize(ReceiveBuffer_.Peek(out.data(), count));
    return out;
  }
  Bytes area(count, 0);
  SockAddrIn from;
  const SockResult r =
      layer_->recvfrom(socket_, area.data(), static_cast<int>(count), peek ? MSG_PEEK_W : 0, &from);
  if (!peek) datagramTaken_ = true;
  if (r.ok()) {
    remotePort_ = NetToHostShort(from.sin_port);
    remoteHostIP_ = layer_->inet_ntoa(from.sin_addr);
  }
  return area;
}

void WinSock::ReadData(Variant& data, Variant& varType, Variant& maxLen, bool maxLenGiven, bool peek) {
  if (!DataGate(peek)) return;
  const std::size_t available = static_cast<std::size_t>(BytesReceived());
  if (maxLenGiven && !maxLen.IsNumeric()) maxLen = Clamp32(available);
  std::int32_t type = vtByteArray;
  if (!data.IsEmpty())
    type = data.Type();
  else if (!varType.IsEmpty())
    type = WholeNumber(varType).value_or(vtEmpty);
  varType = type;

  if (type == vtText || type == vtByteArray) {
    std::size_t count = available;
    if (maxLenGiven) {
      const std::size_t m = ByteCount(maxLen);
      if (m == 0 || available == 0) {
        data = Bytes{};
        if (protocol_ != ProtocolTcp && !peek) DiscardDatagram();
        return;
      }
      count = std::min(m, available);
    } else if (available == 0) {
      data = Bytes{};
      return;
    }
    Bytes bytes = TakeBytes(count, peek);
    if (type == vtText)
      data = FromGbk(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    else
      data = std::move(bytes);
    return;
  }
  const std::size_t size = FixedSizeOf(type);
  if (size == 0 || available < size) return;
  const Bytes bytes = TakeBytes(size, peek);
  data = FixedFromWire(type, bytes.data());
}

void WinSock::GetData(Variant& data, std::optional<Variant> varType, std::optional<Variant> maxLen) {
  Variant vt = varType.value_or(Variant());
  Variant ml = maxLen.value_or(Variant());
  ReadData(data, vt, ml, maxLen.has_value(), false);
}

void WinSock::GetData(Variant& data, Variant& varType, Variant& maxLen) {
  ReadData(data, varType, maxLen, !maxLen.IsEmpty(), false);
}

void WinSock::PeekData(Variant& data, std::optional<Variant> varType, std::optional<Variant> maxLen) {
  Variant vt = varType.value_or(Variant());
  Variant ml = maxLen.value_or(Variant());
  ReadData(data, vt, ml, maxLen.has_value(), true);
}

void WinSock::PeekData(Variant& data, Variant& varType, Variant& maxLen) {
  ReadData(data, varType, maxLen, !maxLen.IsEmpty(), true);
}

// --- control arrays --------------------------------------------------------------

WinSock& WinSockArray::Load(int Index) {
  auto& slot = items_[Index];
  if (slot) return *slot;
  slot = std::make_unique<WinSock>();
  WinSockEvents& e = slot->events;
  WinSockArrayEvents* a = &events;
  e.CloseSck = [a, Index] { CallCopy(a->CloseSck, Index); };
  e.Connect = [a, Index] { CallCopy(a->Connect, Index); };
  e.ConnectionRequest = [a, Index](std::int32_t requestID) {
    CallCopy(a->ConnectionRequest, Index, requestID);
  };
  e.DataArrival = [a, Index](std::int32_t bytesTotal) {
    CallCopy(a->DataArrival, Index, bytesTotal);
  };
  e.Error = [a, Index](std::int16_t Number, std::string& Description, std::int32_t sCode, std::string Source,
                       std::string HelpFile, std::int32_t HelpContext, bool& CancelDisplay) {
    CallCopy(a->Error, Index, Number, Description, sCode, std::move(Source),
         std::move(HelpFile), HelpContext, CancelDisplay);
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
