#include "UClamdConnection.h"

#include "UFunctions.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace quibo {
namespace {

constexpr size_t kChunkBytes = 65536;
constexpr size_t kMaxAnswerBytes = 16384;
constexpr size_t kAnswerReadBytes = 4096;

[[noreturn]] void Fail(const std::string& reason) { throw std::runtime_error(reason); }

// A connected socket, or an empty one with the error number. The send
// time-out that bounds the connect stays for the stream to adjust.
TDescriptor ConnectWithin(const sockaddr* address, socklen_t length, TDeadline deadline, int& error) {
  TDescriptor socket(::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.Valid()) {
    error = errno;
    return socket;
  }
  if (!TSocketDeadlines(socket.Get()).ArmWrite(deadline)) {
    error = ETIMEDOUT;
    return TDescriptor();
  }
  while (::connect(socket.Get(), address, length) != 0) {
    if (errno == EINTR) continue;
    error = errno == EINPROGRESS || errno == EAGAIN ? ETIMEDOUT : errno;
    return TDescriptor();
  }
  return socket;
}

TDescriptor ConnectLocal(const std::filesystem::path& path, TDeadline deadline, int& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return ConnectWithin(reinterpret_cast<sockaddr*>(&address), sizeof address, deadline, error);
}

TDescriptor ConnectTcp(const std::string& host, const std::string& port, TDeadline deadline, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int failure = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); failure != 0)
    Fail("cannot find clamd's host " + PrintableText(host) + ": " + ::gai_strerror(failure));
  TDescriptor socket;
  for (const addrinfo* entry = found; entry && !socket.Valid(); entry = entry->ai_next)
    socket = ConnectWithin(entry->ai_addr, entry->ai_addrlen, deadline, error);
  ::freeaddrinfo(found);
  if (socket.Valid()) {
    const int on = 1; // the short commands and the stream's end go out at once
    ::setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
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
  TDescriptor socket = address.Local() ? ConnectLocal(address.Path, deadline, error)
                                       : ConnectTcp(address.Host, address.Port, deadline, error);
  if (!socket.Valid()) {
    const std::string where = address.Local() ? address.Path.string() : address.Host + ":" + address.Port;
    Fail("cannot connect to clamd at " + PrintableText(where) + ": " + std::strerror(error));
  }
  std::unique_ptr<TClamdConnection> connection(new TClamdConnection(socket.Release()));
  connection->Deadline = deadline;
  if (!connection->Send("nIDSESSION\n")) Fail("clamd closed the connection at once");
  return connection;
}

TClamdConnection::TClamdConnection(int socket)
    : Socket(socket), Stream(socket), Answers(TLineEnds::Lf, kMaxAnswerBytes, kAnswerReadBytes) {}

void TClamdConnection::Cut() {
  std::lock_guard lock(SocketLock);
  ::shutdown(Socket.Get(), SHUT_RDWR);
  WasCut = true;
}

void TClamdConnection::FailIfCut() const {
  std::lock_guard lock(SocketLock);
  if (WasCut) Fail("cancelled");
}

bool TClamdConnection::Quiet() const {
  std::lock_guard lock(SocketLock);
  if (WasCut || Answers.Unread() > 0) return false;
  pollfd probe{Socket.Get(), POLLIN | POLLRDHUP, 0};
  return ::poll(&probe, 1, 0) == 0;
}

bool TClamdConnection::Send(std::string_view bytes) {
  switch (Stream.Write(bytes, Deadline)) {
  case TIoStatus::Done: return true;
  case TIoStatus::Closed: FailIfCut(); return false;
  case TIoStatus::Timeout: break;
  }
  Fail("clamd did not take the message in time");
}

void TClamdConnection::SendDescriptor(int descriptor) {
  char dummy = '\0'; // the file travels with one byte, which clamd skips
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
  if (!Stream.SocketDeadlines().ArmWrite(Deadline)) Fail("clamd did not take the file in time");
  while (::sendmsg(Socket.Get(), &message, MSG_NOSIGNAL) != 1) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) Fail("clamd did not take the file in time");
    FailIfCut();
    return; // clamd closed: its answer, or the lack of one, tells
  }
}

std::string TClamdConnection::ReadAnswer() {
  const std::string request = std::to_string(NextRequest++) + ": ";
  std::string answer;
  switch (Answers.ReadLine(Stream, answer, Deadline).Status) {
  case TReadStatus::Line: break;
  case TReadStatus::Timeout: Fail("clamd did not answer in time");
  case TReadStatus::TooLong: Fail("clamd's answer is too long");
  case TReadStatus::Closed: {
    FailIfCut();
    const std::string rest = Trimmed(Answers.TakeUnread());
    if (rest.empty()) throw TClamdClosed("clamd closed the connection without an answer");
    Fail("clamd closed the connection: " + PrintableText(rest));
  }
  }
  if (answer.compare(0, request.size(), request) != 0) Fail("clamd answered another request: " + PrintableText(answer));
  return answer.substr(request.size());
}

std::string TClamdConnection::ScanStream(const TStoredMessage& message) {
  if (!Send("nINSTREAM\n")) return ReadAnswer();
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
  if (Send("nFILDES\n")) SendDescriptor(descriptor);
  return ReadAnswer();
}

} // namespace quibo
