#include "USmtpClient.h"

#include "ULineChannel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quibo {
namespace {

constexpr size_t kMaxReplyLines = 100;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

} // namespace

std::string TSmtpReply::Text() const {
  std::string text;
  for (size_t i = 0; i < Lines.size(); ++i)
    text += (i ? "\r\n" : "") + Lines[i];
  return text;
}

void TSmtpClient::Connect(const std::string& host, int port) {
  Close();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    Fail("Invalid address " + host + ":" + std::to_string(port));
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) Fail(std::strerror(errno));
  {
    std::lock_guard lock(SocketLock);
    Socket = socket;
    Cut = false;
  }
  // The send time-out also bounds a blocking connect.
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) Fail("Out of time");
  SetSocketTimeouts(static_cast<int>(std::min<long>(TimeoutMs, left.count())));
  while (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    Fail(errno == EINPROGRESS || errno == EAGAIN ? "Connection timed out" : std::strerror(errno));
  }
}

void TSmtpClient::SetSocketTimeouts(int milliseconds) {
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  AppliedTimeoutMs = milliseconds;
}

void TSmtpClient::BoundByDeadline() {
  constexpr long kSlackMs = 1000; // a wait may end this much after the deadline
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) Fail("Out of time");
  const long wanted = std::min<long>(TimeoutMs, left.count());
  if (wanted < AppliedTimeoutMs - kSlackMs ||
      wanted > AppliedTimeoutMs + kSlackMs) // a reused connection's may be short
    SetSocketTimeouts(static_cast<int>(wanted));
}

bool TSmtpClient::Quiet() const {
  std::lock_guard lock(SocketLock);
  if (Socket < 0 || Cut || !Pending.empty()) return false;
  pollfd probe{Socket, POLLIN | POLLRDHUP, 0};
  return ::poll(&probe, 1, 0) == 0;
}

bool TSmtpClient::Connected() const {
  std::lock_guard lock(SocketLock);
  return Socket >= 0 && !Cut;
}

void TSmtpClient::Disconnect() {
  std::lock_guard lock(SocketLock);
  if (Socket >= 0) ::shutdown(Socket, SHUT_RDWR);
  Cut = true;
}

void TSmtpClient::Close() {
  std::lock_guard lock(SocketLock);
  if (Socket >= 0) ::close(Socket);
  Socket = -1;
  Pending.clear();
}

bool TSmtpClient::ReadLine(std::string& line) {
  while (true) {
    const auto end = Pending.find('\n');
    if (end != std::string::npos) {
      line.assign(Pending, 0, end > 0 && Pending[end - 1] == '\r' ? end - 1 : end);
      Pending.erase(0, end + 1);
      return true;
    }
    if (Pending.size() > kMaxLineLength) Fail("Reply line too long");
    BoundByDeadline();
    char chunk[4096];
    const ssize_t got = ::recv(Socket, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) Fail("Read timed out");
    if (got <= 0) Fail("Connection closed gracefully.");
    if (Tap) Tap(false, std::string_view(chunk, static_cast<size_t>(got)));
    Pending.append(chunk, static_cast<size_t>(got));
  }
}

TSmtpReply TSmtpClient::ReadReply(std::initializer_list<int> accepted) {
  if (!Connected()) Fail("Not connected.");
  TSmtpReply reply;
  std::string line;
  while (ReadLine(line)) {
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) || !std::isdigit(static_cast<unsigned char>(line[2])))
      Fail("Invalid reply: " + line);
    reply.Code = std::stoi(line.substr(0, 3));
    reply.Lines.push_back(line.size() > 4 ? line.substr(4) : std::string());
    if (line.size() < 4 || line[3] != '-') break;
    if (reply.Lines.size() >= kMaxReplyLines) Fail("Reply too long");
  }
  if (accepted.size() > 0 && std::find(accepted.begin(), accepted.end(), reply.Code) == accepted.end())
    throw TSmtpReplyError(reply);
  return reply;
}

void TSmtpClient::SendRaw(std::string_view bytes) {
  if (!Connected()) Fail("Not connected.");
  BoundByDeadline();
  if (Tap) Tap(true, bytes);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::send(Socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) Fail(errno == EAGAIN ? "Write timed out" : std::strerror(errno));
    done += static_cast<size_t>(wrote);
  }
}

TSmtpReply TSmtpClient::Command(const std::string& line, std::initializer_list<int> accepted) {
  SendRaw(line + "\r\n");
  return ReadReply(accepted);
}

void TSmtpClient::Quit() {
  if (Connected()) {
    try {
      SendRaw("QUIT\r\n");
    } catch (const std::exception&) {
    }
  }
  Close();
}

} // namespace quibo
