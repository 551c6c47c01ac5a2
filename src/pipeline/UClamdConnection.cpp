#include "UClamdConnection.h"

#include "UFunctions.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quibo {
namespace {

constexpr size_t kChunkBytes = 65536;
constexpr size_t kMaxAnswerBytes = 16384;

[[noreturn]] void Fail(const std::string& reason) { throw std::runtime_error(reason); }

std::string SystemError(int code) { return std::strerror(code); }

// A connected, non-blocking socket, or -1 with the error code.
int ConnectWithin(const sockaddr* address, socklen_t length, TClamdConnection::TDeadline deadline, int& error) {
  const int socket = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket < 0) {
    error = errno;
    return -1;
  }
  if (::connect(socket, address, length) == 0) return socket;
  error = errno;
  if (error == EINPROGRESS || error == EAGAIN) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{socket, POLLOUT, 0};
    if (left.count() > 0 && ::poll(&ready, 1, static_cast<int>(left.count())) == 1) {
      socklen_t size = sizeof error;
      ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error == 0) return socket;
    } else {
      error = ETIMEDOUT;
    }
  }
  ::close(socket);
  return -1;
}

int ConnectLocal(const std::filesystem::path& path, TClamdConnection::TDeadline deadline, int& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return ConnectWithin(reinterpret_cast<sockaddr*>(&address), sizeof address, deadline, error);
}

int ConnectTcp(const std::string& host, const std::string& port, TClamdConnection::TDeadline deadline, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int failure = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); failure != 0)
    Fail("cannot find clamd's host " + PrintableText(host) + ": " + ::gai_strerror(failure));
  int socket = -1;
  for (const addrinfo* entry = found; entry && socket < 0; entry = entry->ai_next)
    socket = ConnectWithin(entry->ai_addr, entry->ai_addrlen, deadline, error);
  ::freeaddrinfo(found);
  return socket;
}

} // namespace

bool ParseClamdAddress(const std::string& text, const std::filesystem::path& programFolder, TClamdAddress& address,
                       std::string& error) {
  const std::string value = Trimmed(text);
  address = {};
  if (value.find('/') != std::string::npos) {
    address.Path = value[0] == '/' ? std::filesystem::path(value) : programFolder / value;
    if (address.Path.native().size() < sizeof(sockaddr_un::sun_path)) return true;
    error = "clamd's socket path is too long: " + PrintableText(value);
    return false;
  }
  const auto colon = value.rfind(':');
  std::string host = colon == std::string::npos ? std::string() : value.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = colon == std::string::npos ? std::string() : value.substr(colon + 1);
  const bool portValid = !port.empty() && port.size() <= 5 &&
                         port.find_first_not_of("0123456789") == std::string::npos && std::stoi(port) > 0 &&
                         std::stoi(port) <= 65535;
  if (host.empty() || !portValid) {
    error = "ClamdSocket '" + PrintableText(value) + "' is neither a socket path nor host:port";
    return false;
  }
  address.Host = host;
  address.Port = port;
  return true;
}

std::unique_ptr<TClamdConnection> TClamdConnection::Open(const TClamdAddress& address, TDeadline deadline) {
  int error = 0;
  const int socket = address.Local() ? ConnectLocal(address.Path, deadline, error)
                                     : ConnectTcp(address.Host, address.Port, deadline, error);
  if (socket < 0) {
    const std::string where = address.Local() ? address.Path.string() : address.Host + ":" + address.Port;
    Fail("cannot connect to clamd at " + PrintableText(where) + ": " + SystemError(error));
  }
  std::unique_ptr<TClamdConnection> connection(new TClamdConnection(socket));
  connection->Deadline = deadline;
  if (!connection->Send(std::string_view("zIDSESSION\0", 11))) Fail("clamd closed the connection at once");
  return connection;
}

TClamdConnection::~TClamdConnection() {
  std::lock_guard lock(SocketLock);
  ::close(Socket);
}

void TClamdConnection::Cut() {
  std::lock_guard lock(SocketLock);
  ::shutdown(Socket, SHUT_RDWR);
  WasCut = true;
}

bool TClamdConnection::Quiet() const {
  std::lock_guard lock(SocketLock);
  if (WasCut || !Pending.empty()) return false;
  pollfd probe{Socket, POLLIN | POLLRDHUP, 0};
  return ::poll(&probe, 1, 0) == 0;
}

short TClamdConnection::Wait(short events) {
  while (true) {
    {
      std::lock_guard lock(SocketLock);
      if (WasCut) Fail("cancelled");
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) Fail("clamd did not answer in time");
    pollfd ready{Socket, events, 0};
    const int count = ::poll(&ready, 1, static_cast<int>(std::min<long>(left.count(), 60000)));
    if (count < 0 && errno != EINTR) Fail("waiting for clamd: " + SystemError(errno));
    if (count > 0) return ready.revents;
  }
}

bool TClamdConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (Wait(POLLOUT | POLLIN) & POLLIN) return false;
    } else if (errno == EPIPE || errno == ECONNRESET) {
      return false;
    } else if (errno != EINTR) {
      Fail("sending to clamd: " + SystemError(errno));
    }
  }
  return true;
}

void TClamdConnection::SendDescriptor(int descriptor) {
  char dummy = '\0';
  iovec byte{&dummy, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &byte;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
  while (::sendmsg(Socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (Wait(POLLOUT | POLLIN) & POLLIN) return;
    } else if (errno == EPIPE || errno == ECONNRESET) {
      return; // the answer, or the lack of one, tells
    } else if (errno != EINTR) {
      Fail("sending the file to clamd: " + SystemError(errno));
    }
  }
}

std::string TClamdConnection::ReadAnswer() {
  const std::string request = std::to_string(NextRequest++) + ": ";
  while (true) {
    if (const auto end = Pending.find('\0'); end != std::string::npos) {
      std::string answer = Pending.substr(0, end);
      Pending.erase(0, end + 1);
      if (answer.compare(0, request.size(), request) != 0)
        Fail("clamd answered another request: " + PrintableText(answer));
      return answer.substr(request.size());
    }
    if (Pending.size() > kMaxAnswerBytes) Fail("clamd's answer is too long");
    char chunk[4096];
    const ssize_t got = ::recv(Socket, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      Pending.append(chunk, static_cast<size_t>(got));
    } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Wait(POLLIN);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      {
        std::lock_guard lock(SocketLock);
        if (WasCut) Fail("cancelled");
      }
      if (Pending.empty()) throw TClamdClosed("clamd closed the connection without an answer");
      Fail("clamd closed the connection: " + PrintableText(Trimmed(Pending)));
    }
  }
}

std::string TClamdConnection::ScanStream(const TStoredMessage& message) {
  if (!Send(std::string_view("zINSTREAM\0", 10))) return ReadAnswer();
  std::string chunk(4 + kChunkBytes, '\0');
  for (uint64_t offset = 0; offset < message.Size();) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, message.Size() - offset));
    if (message.ReadAt(offset, chunk.data() + 4, want) != want) Fail("the message could not be read");
    const uint32_t length = htonl(static_cast<uint32_t>(want));
    std::memcpy(chunk.data(), &length, 4);
    if (!Send(std::string_view(chunk.data(), 4 + want))) return ReadAnswer();
    offset += want;
  }
  Send(std::string_view("\0\0\0\0", 4));
  return ReadAnswer();
}

std::string TClamdConnection::ScanDescriptor(int descriptor) {
  if (Send(std::string_view("zFILDES\0", 8))) SendDescriptor(descriptor);
  return ReadAnswer();
}

} // namespace quibo
