#include "UStream.h"

#include "UWriteAll.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>

namespace quibo {

bool TSocketDeadlines::Arm(int option, long& applied, TDeadline deadline) {
  constexpr long kSlackMs = 1000;
  long wanted = 0; // no deadline: no time-out
  if (deadline != kNoDeadline) {
    wanted = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (wanted <= 0) return false;
  }
  const bool off =
      wanted == 0 ? applied != 0 : applied == 0 || wanted < applied - kSlackMs || wanted > applied + kSlackMs;
  if (off) {
    const timeval limit{wanted / 1000, (wanted % 1000) * 1000};
    ::setsockopt(Socket, SOL_SOCKET, option, &limit, sizeof limit);
    applied = wanted;
  }
  return true;
}

TIoResult TPlainStream::ReadSome(char* buffer, size_t room, TDeadline deadline) {
  while (true) {
    if (!Deadlines.ArmRead(deadline)) return {TIoStatus::Timeout};
    const ssize_t got = ::recv(Deadlines.Socket, buffer, room, 0);
    if (got > 0) return {TIoStatus::Done, static_cast<size_t>(got)};
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue; // the deadline decides
    return {TIoStatus::Closed};
  }
}

TIoStatus TPlainStream::Write(std::string_view bytes, TDeadline deadline) {
  if (!Deadlines.ArmWrite(deadline)) return TIoStatus::Timeout;
  const int error = SendAll(Deadlines.Socket, bytes);
  if (error == 0) return TIoStatus::Done;
  return error == EAGAIN || error == EWOULDBLOCK ? TIoStatus::Timeout : TIoStatus::Closed;
}

} // namespace quibo
