#include "USmtpClient.h"

#include "UAddress.h"

#include "ULineChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace quibo {
namespace {

constexpr size_t kMaxReplyLines = 100;
constexpr size_t kReadChunk = 16384;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

} // namespace

std::string TSmtpReply::Text() const {
  std::string text;
  for (size_t i = 0; i < Lines.size(); ++i)
    text += (i ? "\r\n" : "") + Lines[i];
  return text;
}

TSmtpClient::TSmtpClient(int timeoutSeconds)
    : TimeoutMs(timeoutSeconds * 1000), Replies(TLineEnds::Lf, kMaxLineLength, kReadChunk) {}

void TSmtpClient::Connect(const std::string& host, int port) {
  Close();
  sockaddr_storage address{};
  socklen_t length = 0;
  if (port <= 0 || port > 65535 || !MakeSocketAddress(host, port, address, length))
    Fail("Invalid address " + host + ":" + std::to_string(port));
  const int socket = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) Fail(std::strerror(errno));
  auto stream = std::make_unique<TPlainStream>(socket);
  {
    std::lock_guard lock(SocketLock);
    Socket.Reset(socket);
    Cut = false;
  }
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // The send time-out also bounds a blocking connect.
  if (!stream->SocketDeadlines().ArmWrite(NextDeadline())) Fail("Out of time");
  while (::connect(socket, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno == EINTR) continue;
    Fail(errno == EINPROGRESS || errno == EAGAIN ? "Connection timed out" : std::strerror(errno));
  }
  Stream = std::move(stream);
}

TDeadline TSmtpClient::NextDeadline() const {
  return std::min(Deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs));
}

bool TSmtpClient::Quiet() const {
  std::lock_guard lock(SocketLock);
  if (!Socket.Valid() || Cut || !Stream || Replies.Unread() > 0 || Stream->HoldsUnread()) return false;
  pollfd probe{Socket.Get(), POLLIN | POLLRDHUP, 0};
  return ::poll(&probe, 1, 0) == 0;
}

bool TSmtpClient::Connected() const {
  std::lock_guard lock(SocketLock);
  return Socket.Valid() && Stream && !Cut;
}

void TSmtpClient::Disconnect() {
  std::lock_guard lock(SocketLock);
  if (Socket.Valid()) ::shutdown(Socket.Get(), SHUT_RDWR);
  Cut = true;
}

void TSmtpClient::Close() {
  std::lock_guard lock(SocketLock);
  Stream.reset();
  Socket.Reset();
  Replies.TakeUnread();
  TlsSession.reset();
}

void TSmtpClient::StartTls(const TTlsClientContext& context, const std::string& verifyName) {
  if (!Connected()) Fail("Not connected.");
  Replies.TakeUnread(); // what the server sent in plain text after its 220 is never read as a reply
  std::string failure;
  auto tls = TTlsStream::Connect(context, Socket.Get(), verifyName, NextDeadline(), failure);
  if (!tls) Fail("TLS handshake failed: " + failure);
  TlsSession = tls->Session();
  std::lock_guard lock(SocketLock);
  Stream = std::move(tls);
}

bool TSmtpClient::ReadLine(std::string& line) {
  if (std::chrono::steady_clock::now() >= Deadline) Fail("Out of time");
  class TTappedSource final : public TByteSource {
  public:
    TTappedSource(TStream& stream, const TTap& tap) : Stream(stream), Tap(tap) {}
    TIoResult ReadSome(char* buffer, size_t room, TDeadline deadline) override {
      const TIoResult read = Stream.ReadSome(buffer, room, deadline);
      if (read.Count > 0 && Tap) Tap(false, std::string_view(buffer, read.Count));
      return read;
    }

  private:
    TStream& Stream;
    const TTap& Tap;
  } source(*Stream, Tap);
  switch (Replies.ReadLine(source, line, NextDeadline()).Status) {
  case TReadStatus::Line: return true;
  case TReadStatus::TooLong: Fail("Reply line too long");
  case TReadStatus::Timeout: Fail("Read timed out");
  case TReadStatus::Closed: break;
  }
  Fail("Connection closed gracefully.");
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
  if (std::chrono::steady_clock::now() >= Deadline) Fail("Out of time");
  if (Tap) Tap(true, bytes);
  switch (Stream->Write(bytes, NextDeadline())) {
  case TIoStatus::Done: return;
  case TIoStatus::Timeout: Fail("Write timed out");
  case TIoStatus::Closed: Fail("Connection lost");
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
