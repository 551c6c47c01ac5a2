#include "USmtpListener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace quibo {
namespace {

constexpr int kBacklog = 1024;

std::string PeerAddress(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return text;
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
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0) throw std::system_error(errno, std::generic_category(), "Socket Error");
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    ::close(listener);
    throw std::system_error(EINVAL, std::generic_category(), "Could not bind socket. Address " + address);
  }
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener, kBacklog) != 0) {
    const int error = errno;
    ::close(listener);
    throw std::system_error(error, std::generic_category(),
                            "Could not bind socket. Address and port are already in use or not available (" + address +
                                ":" + std::to_string(port) + ")");
  }
  socklen_t length = sizeof local;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
  ListenSocket = listener;
  WakeEvent = ::eventfd(0, EFD_CLOEXEC);
  Address = address;
  Port = ntohs(local.sin_port);
  Activated = true;
  AcceptThread = std::thread([this] { AcceptLoop(); });
}

void TSmtpListener::StopListening() {
  if (!AcceptThread.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] const auto wrote = ::write(WakeEvent, &one, sizeof one);
  AcceptThread.join();
  ::close(ListenSocket);
  ::close(WakeEvent);
  ListenSocket = WakeEvent = -1;
}

void TSmtpListener::Deactivate(int waitMilliseconds) {
  StopListening();
  Activated = false;
  if (!DisconnectAll(waitMilliseconds)) throw std::runtime_error("Terminate Thread Timeout");
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

void TSmtpListener::AcceptLoop() {
  pollfd waits[2] = {{ListenSocket, POLLIN, 0}, {WakeEvent, POLLIN, 0}};
  while (true) {
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (waits[1].revents) return;
    // Empty the whole queue at each wake-up: with a backlog of 15 a burst of
    // clients would otherwise overflow it and wait a second for a retry.
    while (true) {
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      const int socket = ::accept4(ListenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
      if (socket >= 0) {
        Serve(socket, PeerAddress(peer));
        continue;
      }
      // Out of descriptors or memory: give the system a moment instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      break;
    }
  }
}

void TSmtpListener::Serve(int socket, const std::string& peerIp) {
  const int limit = MaxConnections.load();
  auto connection = std::make_shared<TLiveConnection>(socket, peerIp);
  {
    std::lock_guard lock(LiveLock);
    if (limit > 0 && Live.size() >= static_cast<size_t>(limit)) return; // closed without a reply
    Live.insert(connection);
  }
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const bool started = Pool.Submit([this, connection] {
    static thread_local const long thread = static_cast<long>(::gettid());
    connection->SetThreadId(thread);
    try {
      Runner(connection);
    } catch (...) {
    }
    connection->MarkEnded();
    std::lock_guard lock(LiveLock);
    Live.erase(connection);
  });
  if (!started) {
    std::lock_guard lock(LiveLock);
    Live.erase(connection);
  }
}

} // namespace quibo
