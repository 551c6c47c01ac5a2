// Byte streams over a connected socket: TByteSource is anything a line
// reader can fill its buffer from; TStream adds writing. TPlainStream is the
// socket itself; the TLS stream (UTls.h) is the other implementation, so the
// server's line channel and the relay client work the same over both.
// Every wait is bounded by a deadline through the socket's receive and send
// time-outs (TSocketDeadlines), so a blocked call costs no extra system call
// to arm. Used on one connection thread; another thread may only shut the
// socket down (which wakes a blocked call). Failures are results, never
// exceptions.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>
#include <sys/socket.h>

namespace quibo {

using TDeadline = std::chrono::steady_clock::time_point;
inline constexpr TDeadline kNoDeadline = TDeadline::max();

enum class TIoStatus { Done, Closed, Timeout };

struct TIoResult {
  TIoStatus Status = TIoStatus::Closed;
  size_t Count = 0; // bytes read, with Done
};

class TByteSource {
public:
  virtual ~TByteSource() = default;
  // Reads at least one byte and at most room, waiting until the deadline.
  virtual TIoResult ReadSome(char* buffer, size_t room, TDeadline deadline) = 0;
};

class TStream : public TByteSource {
public:
  // Writes all bytes; Done, or why not.
  virtual TIoStatus Write(std::string_view bytes, TDeadline deadline) = 0;
  // Bytes the stream holds already decoded, that a read returns without waiting.
  virtual bool HoldsUnread() const = 0;
};

// Keeps a socket's receive and send time-outs close to what is left until a
// deadline: it changes them only when they are off by more than a second,
// so a wait may end up to that much after its deadline.
class TSocketDeadlines {
public:
  explicit TSocketDeadlines(int socket) : Socket(socket) {}
  // False when the deadline has passed.
  bool ArmRead(TDeadline deadline) { return Arm(SO_RCVTIMEO, AppliedReadMs, deadline); }
  bool ArmWrite(TDeadline deadline) { return Arm(SO_SNDTIMEO, AppliedWriteMs, deadline); }
  int Socket;

private:
  bool Arm(int option, long& applied, TDeadline deadline);

  long AppliedReadMs = 0; // 0: no time-out
  long AppliedWriteMs = 0;
};

// The socket itself (not owned: its owner closes it).
class TPlainStream final : public TStream {
public:
  explicit TPlainStream(int socket) : Deadlines(socket) {}
  TIoResult ReadSome(char* buffer, size_t room, TDeadline deadline) override;
  TIoStatus Write(std::string_view bytes, TDeadline deadline) override;
  bool HoldsUnread() const override { return false; }
  TSocketDeadlines& SocketDeadlines() { return Deadlines; }

private:
  TSocketDeadlines Deadlines;
};

} // namespace quibo
