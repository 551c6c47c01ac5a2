#include "ULineChannel.h"

#include <algorithm>
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

bool FindLineEnd(std::string_view bytes, bool complete, TLineEnd& end) {
  if (bytes.empty()) return false;
  const char* base = bytes.data();
  const void* lf = std::memchr(base, '\n', bytes.size());
  const size_t lfAt = lf ? static_cast<size_t>(static_cast<const char*>(lf) - base) : bytes.size();
  const void* cr = std::memchr(base, '\r', lfAt);
  if (cr) {
    const size_t crAt = static_cast<size_t>(static_cast<const char*>(cr) - base);
    if (lf && crAt + 1 == lfAt) {
      end = {crAt, 2, true};
      return true;
    }
    if (crAt + 1 < bytes.size() || complete) {
      end = {crAt, 1, false};
      return true;
    }
    return false; // the CR's LF may be on its way
  }
  if (!lf) return false;
  end = {lfAt, 1, false};
  return true;
}

void TSocketChannel::Close() {
  if (!PeerGone) ::shutdown(Socket, SHUT_RDWR);
  PeerGone = true;
}

bool TSocketChannel::Fill(TReadStatus& failure, std::chrono::steady_clock::time_point deadline) {
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
    if (TimeoutMs > 0) {
      // The receive time-out follows what is left of the line's time, within
      // a second: a system call only for lines that come slowly.
      constexpr long kSlackMs = 1000;
      const long left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        failure = TReadStatus::Timeout;
        return false;
      }
      if (left < AppliedReadMs - kSlackMs || (AppliedReadMs < TimeoutMs && left > AppliedReadMs + kSlackMs))
        SetSocketReadTimeout(left);
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

void TSocketChannel::SetSocketReadTimeout(long milliseconds) {
  const timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  AppliedReadMs = milliseconds;
}

void TSocketChannel::SetTimeout(int milliseconds) {
  TimeoutMs = std::max(0, milliseconds);
  SetSocketReadTimeout(TimeoutMs);
  const timeval limit{TimeoutMs / 1000, (TimeoutMs % 1000) * 1000};
  ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit); // a peer that never reads
}

TReadResult TSocketChannel::ReadLine(std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  size_t searched = 0; // unread bytes known to hold no line end
  while (true) {
    const char* base = Buffer.get();
    const size_t unread = End - Start;
    TLineEnd end;
    if (unread > searched && FindLineEnd(std::string_view(base + Start + searched, unread - searched), false, end)) {
      const size_t length = searched + end.Length;
      if (length > kMaxLineLength) return {TReadStatus::TooLong, false};
      line.assign(base + Start, length);
      Start += length + end.EndBytes;
      return {TReadStatus::Line, end.CrLf};
    }
    // Too long already, unless the one extra byte is the CR of the coming CR LF.
    if (unread > kMaxLineLength && !(unread == kMaxLineLength + 1 && base[End - 1] == '\r'))
      return {TReadStatus::TooLong, false};
    searched = unread > 0 ? unread - 1 : 0; // the last byte may be a CR whose LF comes next
    TReadStatus failure;
    if (!Fill(failure, deadline)) return {failure, false};
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
