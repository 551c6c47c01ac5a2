#include "ULineChannel.h"

#include <poll.h>
#include <sys/socket.h>

namespace quibo {
namespace {
constexpr size_t kReadChunk = 16384;
// Gathered replies go out at this size even while input keeps coming: a
// client that pipelines without end cannot make the filter hold much.
constexpr size_t kMostGathered = 65536;
} // namespace

class TSocketChannel::TTappedSource final : public TByteSource {
public:
  explicit TTappedSource(TSocketChannel& channel) : Channel(channel) {}
  TIoResult ReadSome(char* buffer, size_t room, TDeadline deadline) override {
    // The reader has no whole line left: the replies so far go out before it waits.
    if (!Channel.Stream->HoldsUnread() && !Channel.Flush()) return {TIoStatus::Closed, 0};
    const TIoResult read = Channel.Stream->ReadSome(buffer, room, deadline);
    if (read.Status == TIoStatus::Closed) Channel.PeerGone = true;
    if (read.Count > 0 && Channel.Tap) Channel.Tap(false, std::string_view(buffer, read.Count));
    return read;
  }

private:
  TSocketChannel& Channel;
};

TSocketChannel::TSocketChannel(int socket, std::shared_ptr<const TTlsServerContext> identity)
    : Socket(socket), Identity(std::move(identity)), Stream(std::make_unique<TPlainStream>(socket)),
      Reader(TLineEnds::CrLfLfOrCr, kMaxLineLength, kReadChunk) {}

void TSocketChannel::Close() {
  Flush();
  if (!PeerGone) ::shutdown(Socket, SHUT_RDWR);
  PeerGone = true;
}

bool TSocketChannel::PeerStillThere() const {
  if (PeerGone) return false;
  pollfd probe{Socket, POLLRDHUP, 0};
  if (::poll(&probe, 1, 0) < 0) return true; // cannot tell: assume it is
  return (probe.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

void TSocketChannel::SetTimeout(int milliseconds) { TimeoutMs = std::max(0, milliseconds); }

TDeadline TSocketChannel::NextDeadline() const {
  return TimeoutMs > 0 ? std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs) : kNoDeadline;
}

TDeadline TSocketChannel::IdleCallDue() {
  const auto now = std::chrono::steady_clock::now();
  if (now >= IdleCallAt) {
    IdleCall();
    IdleCallAt = std::chrono::steady_clock::now() + IdleInterval;
  }
  return IdleCallAt;
}

TReadResult TSocketChannel::ReadLine(std::string& line) {
  if (PeerGone) return {TReadStatus::Closed, false};
  TTappedSource source(*this);
  const TDeadline deadline = NextDeadline();
  if (!IdleCall) return Reader.ReadLine(source, line, deadline);
  // The wait is cut at each idle call, the line's own limit stays.
  while (true) {
    const TReadResult read = Reader.ReadLine(source, line, std::min(deadline, IdleCallDue()));
    if (read.Status != TReadStatus::Timeout || std::chrono::steady_clock::now() >= deadline || !IdleCall) return read;
  }
}

std::optional<std::string_view> TSocketChannel::WaitingLine() const {
  if (PeerGone) return std::nullopt;
  return Reader.WaitingLine();
}

void TSocketChannel::SetIdleCall(std::function<void()> call, std::chrono::milliseconds interval) {
  IdleCall = std::move(call);
  IdleInterval = interval;
  IdleCallAt = std::chrono::steady_clock::now() + interval;
}

TReadResult TSocketChannel::SkipLine() {
  if (PeerGone) return {TReadStatus::Closed, false};
  TTappedSource source(*this);
  return Reader.SkipLine(source, NextDeadline());
}

bool TSocketChannel::StartTls(TTlsSession& session, std::string& failure) {
  // The handshake has a limit of its own, never longer than a line's.
  constexpr long kHandshakeLimitMs = 30000;
  const long limit = TimeoutMs > 0 ? std::min(TimeoutMs, kHandshakeLimitMs) : kHandshakeLimitMs;
  if (!Flush()) {
    failure = "the client is gone";
    return false;
  }
  Reader.TakeUnread(); // what came in plain text after STARTTLS is never read as a command
  auto tls = TTlsStream::Accept(*Identity, Socket, std::chrono::steady_clock::now() + std::chrono::milliseconds(limit),
                                failure);
  if (!tls) {
    PeerGone = true;
    return false;
  }
  session = tls->Session();
  Stream = std::move(tls);
  InTls = true;
  return true;
}

bool TSocketChannel::Write(std::string_view bytes) {
  if (PeerGone) return false;
  Gathered.append(bytes);
  return Gathered.size() < kMostGathered || Flush();
}

bool TSocketChannel::Flush() {
  if (Gathered.empty()) return !PeerGone;
  const std::string bytes = std::move(Gathered);
  Gathered.clear();
  if (PeerGone) return false;
  if (Tap) Tap(true, bytes);
  if (Stream->Write(bytes, NextDeadline()) == TIoStatus::Done) return true;
  PeerGone = true;
  return false;
}

} // namespace quibo
