#include "ULineChannel.h"

#include <poll.h>
#include <sys/socket.h>

namespace quibo {
namespace {
constexpr size_t kReadChunk = 16384;
} // namespace

class TSocketChannel::TTappedSource final : public TByteSource {
public:
  explicit TTappedSource(TSocketChannel& channel) : Channel(channel) {}
  TIoResult ReadSome(char* buffer, size_t room, TDeadline deadline) override {
    const TIoResult read = Channel.Stream->ReadSome(buffer, room, deadline);
    if (read.Status == TIoStatus::Closed) Channel.PeerGone = true;
    if (read.Count > 0 && Channel.Tap) Channel.Tap(false, std::string_view(buffer, read.Count));
    return read;
  }

private:
  TSocketChannel& Channel;
};

TSocketChannel::TSocketChannel(int socket)
    : Socket(socket), Stream(std::make_unique<TPlainStream>(socket)),
      Reader(TLineEnds::CrLfLfOrCr, kMaxLineLength, kReadChunk) {}

void TSocketChannel::Close() {
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

TReadResult TSocketChannel::ReadLine(std::string& line) {
  if (PeerGone) return {TReadStatus::Closed, false};
  TTappedSource source(*this);
  return Reader.ReadLine(source, line, NextDeadline());
}

bool TSocketChannel::Write(std::string_view bytes) {
  if (PeerGone) return false;
  if (Tap) Tap(true, bytes);
  if (Stream->Write(bytes, NextDeadline()) == TIoStatus::Done) return true;
  PeerGone = true;
  return false;
}

} // namespace quibo
