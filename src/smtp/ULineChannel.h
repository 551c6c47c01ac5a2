// The line channel the SMTP session talks through: read one line, write
// bytes, close. TSocketChannel is the real one over a connected TCP socket
// (buffered reads with a receive time-out, one write per reply, an optional
// traffic tap); tests use an in-memory channel. Used on the connection thread
// only; Disconnect may be called from any thread to wake a blocked read.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quibo {

// The longest line a peer may send, line end not counted.
inline constexpr size_t kMaxLineLength = 16384;

enum class TReadStatus { Line, Closed, Timeout, TooLong };

struct TReadResult {
  TReadStatus Status = TReadStatus::Closed;
  bool EndedWithCrLf = false; // the line ended in CR LF, not a bare LF
};

class TLineChannel {
public:
  virtual ~TLineChannel() = default;
  // Reads up to the next LF; the LF and one CR before it are removed.
  virtual TReadResult ReadLine(std::string& line) = 0;
  // Writes all bytes; false when the peer is gone.
  virtual bool Write(std::string_view bytes) = 0;
  virtual void Close() = 0;
  virtual bool Connected() const = 0;
  // Looks without reading whether the peer is still there (it has not hung up).
  virtual bool PeerStillThere() const = 0;
  virtual void SetReadTimeout(int milliseconds) = 0;
};

class TSocketChannel final : public TLineChannel {
public:
  using TTap = std::function<void(bool sent, std::string_view chunk)>;

  // The socket stays owned by the caller; Close only shuts it down.
  explicit TSocketChannel(int socket) : Socket(socket) {}

  TReadResult ReadLine(std::string& line) override;
  bool Write(std::string_view bytes) override;
  void Close() override;
  bool Connected() const override { return !PeerGone; }
  bool PeerStillThere() const override;
  void SetReadTimeout(int milliseconds) override;
  void SetTap(TTap tap) { Tap = std::move(tap); }

private:
  // Reads more bytes into the buffer; false with the reason set when none came.
  bool Fill(TReadStatus& failure);

  int Socket;
  bool PeerGone = false;
  TTap Tap;
  std::unique_ptr<char[]> Buffer;
  size_t Start = 0; // first unread byte in Buffer
  size_t End = 0;   // one past the last byte read
};

} // namespace quibo
