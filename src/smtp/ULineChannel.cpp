#include "ULineChannel.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace quibo {
namespace {
constexpr size_t kReadChunk = 16384;
// Room for the longest line still waiting for its end, and one more read.
constexpr size_t kCapacity = kMaxLineLength + 2 + 2 * kReadChunk;
} // namespace

void TSocketChannel::Close() {
  if (!PeerGone) ::shutdown(Socket, SHUT_RDWR);
  PeerGone = true;
}

bool TSocketChannel::Fill(TReadStatus& failure) {
  if (!Buffer) Buffer.reset(new char[kCapacity]); // first read: idle connections never pay for it
  if (Start == End) {
    Start = End = 0;
  } else if (kCapacity - End < kReadChunk) {
    std::memmove(Buffer.get(), Buffer.get() + Start, End - Start);
    End -= Start;
    Start = 0;
  }
  while (true) {
    if (PeerGone) {
      failure = TReadStatus::Closed;
      return false;
    }
    // A blocking read bounded by SO_RCVTIMEO: one system call per chunk.
    const ssize_t got = ::recv(Socket, Buffer.get() + End, kReadChunk, 0);
    if (got > 0) {
      if (Tap) Tap(false, std::string_view(Buffer.get() + End, static_cast<size_t>(got)));
      End += static_cast<size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      failure = TReadStatus::Timeout;
      return false;
    }
    PeerGone = true;
    failure = TReadStatus::Closed;
    return false;
  }
}

bool TSocketChannel::PeerStillThere() const {
  if (PeerGone) return false;
  pollfd probe{Socket, POLLRDHUP, 0};
  if (::poll(&probe, 1, 0) < 0) return true; // cannot tell: assume it is
  return (probe.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

void TSocketChannel::SetReadTimeout(int milliseconds) {
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

TReadResult TSocketChannel::ReadLine(std::string& line) {
  size_t searchFrom = Start;
  while (true) {
    const char* base = Buffer.get();
    const void* found = End > searchFrom ? std::memchr(base + searchFrom, '\n', End - searchFrom) : nullptr;
    if (found) {
      const size_t end = static_cast<size_t>(static_cast<const char*>(found) - base);
      size_t length = end - Start;
      const bool crlf = length > 0 && base[end - 1] == '\r';
      if (crlf) --length;
      if (length > kMaxLineLength) return {TReadStatus::TooLong, false};
      line.assign(base + Start, length);
      Start = end + 1;
      return {TReadStatus::Line, crlf};
    }
    // Too long already, unless the one extra byte is the CR of the coming CR LF.
    const size_t unread = End - Start;
    if (unread > kMaxLineLength && !(unread == kMaxLineLength + 1 && base[End - 1] == '\r'))
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
