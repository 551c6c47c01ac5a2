#include "ULineChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace quibo {
namespace {
constexpr size_t kReadChunk = 16384;
}

void TSocketChannel::Close() {
  if (!PeerGone) ::shutdown(Socket, SHUT_RDWR);
  PeerGone = true;
}

bool TSocketChannel::Fill(TReadStatus& failure) {
  if (Start > 0 && Start == Buffer.size()) {
    Buffer.clear();
    Start = 0;
  } else if (Start > kReadChunk) {
    Buffer.erase(0, Start);
    Start = 0;
  }
  while (true) {
    if (PeerGone) {
      failure = TReadStatus::Closed;
      return false;
    }
    const size_t used = Buffer.size();
    Buffer.resize(used + kReadChunk);
    // A blocking read bounded by SO_RCVTIMEO: one system call per chunk.
    const ssize_t got = ::recv(Socket, Buffer.data() + used, kReadChunk, 0);
    const int error = errno;
    Buffer.resize(used + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got > 0) {
      if (Tap) Tap(false, std::string_view(Buffer).substr(used));
      return true;
    }
    if (got < 0 && error == EINTR) continue;
    if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
      failure = TReadStatus::Timeout;
      return false;
    }
    PeerGone = true;
    failure = TReadStatus::Closed;
    return false;
  }
}

void TSocketChannel::SetReadTimeout(int milliseconds) {
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

TReadResult TSocketChannel::ReadLine(std::string& line) {
  size_t searchFrom = Start;
  while (true) {
    const char* base = Buffer.data();
    const void* found = std::memchr(base + searchFrom, '\n', Buffer.size() - searchFrom);
    if (found) {
      const size_t end = static_cast<size_t>(static_cast<const char*>(found) - base);
      size_t length = end - Start;
      const bool crlf = length > 0 && Buffer[end - 1] == '\r';
      if (crlf) --length;
      if (length > kMaxLineLength) return {TReadStatus::TooLong, false};
      line.assign(Buffer, Start, length);
      Start = end + 1;
      return {TReadStatus::Line, crlf};
    }
    // Too long already, unless the one extra byte is the CR of the coming CR LF.
    const size_t unread = Buffer.size() - Start;
    if (unread > kMaxLineLength && !(unread == kMaxLineLength + 1 && Buffer.back() == '\r'))
      return {TReadStatus::TooLong, false};
    TReadStatus failure;
    if (!Fill(failure)) return {failure, false};
    searchFrom = Start + unread;
  }
}

bool TSocketChannel::Write(std::string_view bytes) {
  if (PeerGone) return false;
  if (Tap) Tap(true, bytes);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::send(Socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      PeerGone = true;
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

} // namespace quibo
