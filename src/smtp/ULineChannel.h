// The line channel the SMTP session talks through: read one line, write
// bytes, close. A line ends at CR LF, at a bare LF or at a bare CR
// (FindLineEnd). TSocketChannel is the real one over a stream on a connected
// TCP socket (buffered reads, an optional traffic tap). It gathers replies
// and sends them in one write when the client's input runs dry (before it
// waits for more), so the replies to a pipelined group of commands go out
// together; its time-out bounds a whole line, however slowly its bytes
// come, and every write. While it waits, an idle call may run at an
// interval (keeping the next servers' connections alive); tests use an
// in-memory channel. Used on the connection thread only; Disconnect
// may be called from any thread to wake a blocked read.
#pragma once

#include "ULineReader.h"
#include "UStream.h"
#include "UTls.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quibo {

// The longest line a peer may send, line end not counted.
inline constexpr size_t kMaxLineLength = 16384;

class TLineChannel {
public:
  virtual ~TLineChannel() = default;
  // Reads up to the next line end, which is removed.
  virtual TReadResult ReadLine(std::string& line) = 0;
  // After a line that was too long: reads past its rest, its end included.
  virtual TReadResult SkipLine() = 0;
  // The next line when the peer has already sent it whole (pipelined),
  // without taking it; valid until the next read.
  virtual std::optional<std::string_view> WaitingLine() const = 0;
  // While a read waits for the peer, the call runs each time the interval
  // has passed since it last ran (or was set); an empty call: none.
  virtual void SetIdleCall(std::function<void()> call, std::chrono::milliseconds interval) = 0;
  // Writes all bytes (a socket channel may gather them until the next read
  // waits or Flush); false when the peer is gone.
  virtual bool Write(std::string_view bytes) = 0;
  // Sends what was gathered; false when the peer is gone.
  virtual bool Flush() = 0;
  virtual void Close() = 0;
  virtual bool Connected() const = 0;
  // Looks without reading whether the peer is still there (it has not hung up).
  virtual bool PeerStillThere() const = 0;
  // The longest a line may take to arrive, and a write to be taken.
  virtual void SetTimeout(int milliseconds) = 0;
  // Whether STARTTLS may be offered: a certificate is loaded and the channel is not in TLS yet.
  virtual bool TlsOffered() const = 0;
  // The server's TLS handshake; what the client sent in plain text and was
  // not read yet is dropped first. False, with the reason, when it failed.
  virtual bool StartTls(TTlsSession& session, std::string& failure) = 0;
};

class TSocketChannel final : public TLineChannel {
public:
  using TTap = std::function<void(bool sent, std::string_view chunk)>;

  // The socket stays owned by the caller; Close only shuts it down. Without
  // an identity (no certificate loaded) the channel never offers TLS.
  TSocketChannel(int socket, std::shared_ptr<const TTlsServerContext> identity);

  TReadResult ReadLine(std::string& line) override;
  TReadResult SkipLine() override;
  std::optional<std::string_view> WaitingLine() const override;
  void SetIdleCall(std::function<void()> call, std::chrono::milliseconds interval) override;
  bool Write(std::string_view bytes) override;
  bool Flush() override;
  void Close() override;
  bool Connected() const override { return !PeerGone; }
  bool PeerStillThere() const override;
  void SetTimeout(int milliseconds) override;
  bool TlsOffered() const override { return Identity && !InTls; }
  bool StartTls(TTlsSession& session, std::string& failure) override;
  void SetTap(TTap tap) { Tap = std::move(tap); }

private:
  TDeadline NextDeadline() const;
  // Runs the idle call when its interval has passed; when the next one is due.
  TDeadline IdleCallDue();

  int Socket;
  long TimeoutMs = 0; // 0: none
  bool PeerGone = false;
  TTap Tap;
  std::shared_ptr<const TTlsServerContext> Identity;
  bool InTls = false;
  std::unique_ptr<TStream> Stream;
  TLineReader Reader;
  std::string Gathered; // replies not sent yet
  std::function<void()> IdleCall;
  std::chrono::milliseconds IdleInterval{0};
  TDeadline IdleCallAt{};
  // What the tap sees of what came: the reader's source, between it and the stream.
  class TTappedSource;
};

} // namespace quibo
