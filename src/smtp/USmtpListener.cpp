#include "USmtpListener.h"

#include "UAddress.h"
#include "UProxyHeader.h"
#include "UStream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace quibo {
namespace {

constexpr int kBacklog = 1024;
constexpr int kIdleAcceptors = 4; // more threads than this waiting in accept leave

// Every address, IPv4 and IPv6 in one socket ("::" with IPV6_V6ONLY off); a
// machine without IPv6 listens on every IPv4 address instead.
int OpenListeningSocket(const std::string& address, int port, sockaddr_storage& local, socklen_t& length) {
  const bool all = address == "::";
  if (!MakeSocketAddress(address, port, local, length)) {
    errno = EINVAL;
    return -1;
  }
  int listener = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 && all && errno == EAFNOSUPPORT) {
    MakeSocketAddress("0.0.0.0", port, local, length);
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  if (listener < 0) return -1;
  const int on = 1, v6Only = all ? 0 : 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (local.ss_family == AF_INET6) ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
  return listener;
}

} // namespace

TLiveConnection::~TLiveConnection() { MarkEnded(); }

void TLiveConnection::Disconnect() {
  std::lock_guard lock(Lock);
  if (!Ended) ::shutdown(Socket, SHUT_RDWR);
}

bool TLiveConnection::Running() const {
  std::lock_guard lock(Lock);
  return !Ended;
}

bool TLiveConnection::WaitEnded(int milliseconds) {
  std::unique_lock lock(Lock);
  return EndedSignal.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return Ended; });
}

void TLiveConnection::TakeProxyHeader(const std::string& clientIp, bool healthCheck) {
  Check = healthCheck;
  if (clientIp.empty()) return; // the balancer speaks for itself
  Balancer = std::move(Peer);
  Peer = clientIp;
}

void TLiveConnection::MarkEnded() {
  std::lock_guard lock(Lock);
  if (Ended) return;
  ::close(Socket);
  Ended = true;
  EndedSignal.notify_all();
}

TSmtpListener::TSmtpListener(TSessionRunner runner) : Runner(std::move(runner)) {}

TSmtpListener::~TSmtpListener() {
  StopListening();
  DisconnectAll(5000);
}

void TSmtpListener::Activate(const std::string& address, int port) {
  StopListening();
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  const int listener = OpenListeningSocket(address, port, local, length);
  if (listener < 0 && errno == EINVAL)
    throw std::system_error(EINVAL, std::generic_category(), "Could not bind socket. Address " + address);
  if (listener < 0) throw std::system_error(errno, std::generic_category(), "Socket Error");
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), length) != 0 || ::listen(listener, kBacklog) != 0) {
    const int error = errno;
    ::close(listener);
    throw std::system_error(error, std::generic_category(),
                            "Could not bind socket. Address and port are already in use or not available (" + address +
                                ":" + std::to_string(port) + ")");
  }
  length = sizeof local;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
  uint64_t generation = 0;
  {
    std::lock_guard lock(AcceptLock);
    ListenSocket = listener;
    if (SpareDescriptor < 0) SpareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    StopAccepting = false;
    generation = ++Generation;
  }
  Address = address;
  Port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(local).sin6_port
                                           : reinterpret_cast<const sockaddr_in&>(local).sin_port);
  Activated = true;
  if (!StartAcceptor(generation)) {
    StopListening();
    Activated = false;
    throw std::system_error(EAGAIN, std::generic_category(), "Could not start a connection thread");
  }
}

bool TSmtpListener::Accepting() const {
  std::lock_guard lock(AcceptLock);
  return !StopAccepting;
}

bool TSmtpListener::StartAcceptor(uint64_t generation) {
  return Pool.Submit([this, generation] { AcceptLoop(generation); });
}

void TSmtpListener::StopListening() {
  std::unique_lock lock(AcceptLock);
  if (StopAccepting) return;
  StopAccepting = true;
  ::shutdown(ListenSocket, SHUT_RDWR); // every thread blocked in accept returns
  NobodyAccepting.wait(lock, [this] { return Waiting == 0; });
  ::close(ListenSocket); // nobody uses it any more
  ListenSocket = -1;
  if (SpareDescriptor >= 0) ::close(SpareDescriptor);
  SpareDescriptor = -1;
}

bool TSmtpListener::TRateLimitedNotice::Due() {
  using std::chrono::steady_clock;
  const auto now = steady_clock::now().time_since_epoch().count();
  const auto minute = std::chrono::duration_cast<steady_clock::duration>(std::chrono::minutes(1)).count();
  auto last = Last.load();
  do {
    if (last != 0 && now - last < minute) return false;
  } while (!Last.compare_exchange_weak(last, now));
  return true;
}

void TSmtpListener::TRateLimitedNotice::Forget() { Last.store(0); }

void TSmtpListener::Refuse(int socket, const TVerdict& refusal) {
  // Never waits: a refused client that does not read gets the line or nothing.
  const std::string line = ReplyBytes(refusal);
  [[maybe_unused]] const auto sent = ::send(socket, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void TSmtpListener::Tell(TRateLimitedNotice& notice, const std::string& text) {
  if (Notice && notice.Due() && !Notice(text)) notice.Forget();
}

bool TSmtpListener::RefuseWithSpareDescriptor() {
  if (SpareDescriptor < 0) SpareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC); // lost the last time
  if (SpareDescriptor < 0) return false;
  pollfd pending{ListenSocket, POLLIN, 0};
  if (::poll(&pending, 1, 0) <= 0) return false; // the client has gone
  ::close(SpareDescriptor);
  SpareDescriptor = -1;
  const int socket = ::accept4(ListenSocket, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (socket >= 0) {
    Refuse(socket, Reply(Replies::OutOfResources));
    ::close(socket);
    if (Count) Count(TStatEvent::ConnectionRefusedForResources);
    Tell(DescriptorNotice, "Out of file descriptors: refusing new connections"); // the log takes the spare's place
  }
  SpareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return socket >= 0;
}

void TSmtpListener::Deactivate(int waitMilliseconds) {
  StopListening();
  Activated = false;
  if (!DisconnectAll(waitMilliseconds)) throw std::runtime_error("Terminate Thread Timeout");
}

void TSmtpListener::SetPerIpExempt(std::vector<std::string> localIps) {
  std::lock_guard lock(LiveLock);
  PerIpExempt = std::move(localIps);
}

size_t TSmtpListener::LiveCount() const {
  std::lock_guard lock(LiveLock);
  return Live.size();
}

bool TSmtpListener::DisconnectAll(int waitMilliseconds) {
  std::set<std::shared_ptr<TLiveConnection>> connections;
  {
    std::lock_guard lock(LiveLock);
    connections = Live;
  }
  for (const auto& connection : connections)
    connection->Disconnect();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMilliseconds);
  bool allEnded = true;
  for (const auto& connection : connections) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!connection->WaitEnded(static_cast<int>(std::max<long>(0, left.count())))) allEnded = false;
  }
  return allEnded;
}

int TSmtpListener::AcceptOne(std::string& peerIp) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const int socket = ::accept4(ListenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (socket >= 0) peerIp = SocketAddressText(peer); // an IPv4 client of the dual-stack socket is a.b.c.d
  return socket;
}

void TSmtpListener::AcceptLoop(uint64_t generation) {
  static thread_local const long thread = static_cast<long>(::gettid());
  std::unique_lock lock(AcceptLock);
  while (!StopAccepting && Generation == generation && Waiting < kIdleAcceptors) {
    ++Waiting;
    lock.unlock();
    std::unique_lock turn(AcceptTurn);
    std::string peerIp;
    int socket = AcceptOne(peerIp);
    const int error = errno;
    bool starved = socket < 0 && (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM);
    lock.lock();
    if (starved && error != ENOBUFS && error != ENOMEM && !StopAccepting) {
      // Out of descriptors: the spare one takes the next connection to refuse it.
      lock.unlock();
      starved = !RefuseWithSpareDescriptor();
      lock.lock();
    }
    turn.unlock();
    --Waiting;
    if (StopAccepting || Generation != generation) {
      if (Waiting == 0) NobodyAccepting.notify_all();
      if (socket >= 0) ::close(socket); // the listener stopped meanwhile
      break;
    }
    if (socket < 0) {
      if (starved) { // give the system a moment instead of spinning
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        lock.lock();
      }
      continue;
    }
    const bool nobodyLeft = Waiting == 0;
    lock.unlock();
    if (nobodyLeft) StartAcceptor(generation); // the next connection finds a thread waiting
    Serve(socket, peerIp, thread);
    lock.lock();
  }
  if (Waiting == 0) NobodyAccepting.notify_all();
}

void TSmtpListener::Ended(const std::shared_ptr<TLiveConnection>& connection) {
  std::lock_guard lock(LiveLock);
  if (Live.erase(connection) == 0 || !connection->CountedForAddress) return;
  const auto perIp = LivePerIp.find(connection->PeerIp());
  if (perIp != LivePerIp.end() && --perIp->second == 0) LivePerIp.erase(perIp);
}

bool TSmtpListener::TakeProxyHeader(TLiveConnection& connection) {
  const int waitMilliseconds = ProxyWait ? ProxyWait(connection.PeerIp()) : 0;
  if (waitMilliseconds <= 0) return true;
  TPlainStream stream(connection.SocketHandle());
  const TProxyHeader header =
      ReadProxyHeader(stream, std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMilliseconds));
  stream.SocketDeadlines().ArmRead(kNoDeadline); // the session sets its own
  if (header.Status == TProxyStatus::Done) {
    connection.TakeProxyHeader(header.ClientAddress, header.HealthCheck);
    return true;
  }
  // A balancer that connects and closes without a byte checks that the port is open: nothing to report.
  if (!header.Failure.empty() && ProxyReport) ProxyReport(connection.ThreadId(), connection.PeerIp(), header.Failure);
  return false;
}

bool TSmtpListener::CountForAddress(TLiveConnection& connection) {
  const int perIpLimit = MaxPerIp.load();
  std::lock_guard lock(LiveLock);
  const auto known = LivePerIp.find(connection.PeerIp());
  if (perIpLimit > 0 && known != LivePerIp.end() && known->second >= perIpLimit &&
      !IsLocalIp(connection.PeerIp(), PerIpExempt))
    return false;
  ++LivePerIp[connection.PeerIp()];
  connection.CountedForAddress = true;
  return true;
}

void TSmtpListener::Serve(int socket, const std::string& peerIp, long thread) {
  const int limit = MaxConnections.load();
  auto connection = std::make_shared<TLiveConnection>(socket, peerIp); // closes the socket when dropped
  connection->SetThreadId(thread);
  bool admitted = false;
  {
    std::lock_guard lock(LiveLock);
    admitted = limit <= 0 || Live.size() < static_cast<size_t>(limit);
    if (admitted) Live.insert(connection); // a stop cuts it from now on
  }
  if (!admitted) { // beyond MaxConnections: closed without a reply
    if (Count) Count(TStatEvent::ConnectionRefusedByLimit);
    return;
  }
  struct TLeave {
    TSmtpListener& Listener;
    const std::shared_ptr<TLiveConnection>& Connection;
    ~TLeave() {
      Connection->MarkEnded();
      Listener.Ended(Connection);
    }
  } leave{*this, connection};
  if (!TakeProxyHeader(*connection)) return;
  if (!CountForAddress(*connection)) {
    Refuse(socket, Reply(Replies::TooManyConnectionsFromAddress));
    if (Count) Count(TStatEvent::ConnectionRefusedByLimit);
    return Tell(PerIpNotice, "Too many connections from " + connection->PeerIp() + ": refused");
  }
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  try {
    Runner(connection);
  } catch (...) {
  }
}

} // namespace quibo
