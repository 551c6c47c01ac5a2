// The line channel the SMTP session talks through: read one line, write
// bytes, close. A line ends at CR LF, at a bare LF or at a bare CR
// (FindLineEnd). TSocketChannel is the real one over a connected TCP socket
// (buffered reads, one write per reply, an optional traffic tap); its time-out
// bounds a whole line, however slowly its bytes come, and every write; tests
// use an in-memory channel. Used on the connection thread only; Disconnect
// may be called from any thread to wake a blocked read.
#pragma once

#include <chrono>
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
  bool EndedWithCrLf = false; // the line ended in CR LF, not a bare LF or CR
};

// Where the first line of some bytes ends.
struct TLineEnd {
  size_t Length = 0;   // of the line, its end not counted
  size_t EndBytes = 0; // 2 for CR LF, 1 for a bare LF or CR
  bool CrLf = false;
};
// Finds the first line end in bytes. A CR that is the last byte may still be
// the first half of a CR LF: it ends a line only when the bytes are complete
// (nothing more can come). False when no line has ended yet.
bool FindLineEnd(std::string_view bytes, bool complete, TLineEnd& end);

class TLineChannel {
public:
  virtual ~TLineChannel() = default;
  // Reads up to the next line end, which is removed.
  virtual TReadResult ReadLine(std::string& line) = 0;
  // Writes all bytes; false when the peer is gone.
  virtual bool Write(std::string_view bytes) = 0;
  virtual void Close() = 0;
  virtual bool Connected() const = 0;
  // Looks without reading whether the peer is still there (it has not hung up).
  virtual bool PeerStillThere() const = 0;
  // The longest a line may take to arrive, and a write to be taken.
  virtual void SetTimeout(int milliseconds) = 0;
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
  void SetTimeout(int milliseconds) override;
  void SetTap(TTap tap) { Tap = std::move(tap); }

private:
  // Reads more bytes into the buffer; false with the reason set when none
  // came before the line's deadline.
  bool Fill(TReadStatus& failure, std::chrono::steady_clock::time_point deadline);
  void SetSocketReadTimeout(long milliseconds);

  int Socket;
  long TimeoutMs = 0;     // 0: none
  long AppliedReadMs = 0; // what the socket's receive time-out is now
  bool PeerGone = false;
  TTap Tap;
  std::unique_ptr<char[]> Buffer;
  size_t Start = 0; // first unread byte in Buffer
  size_t End = 0;   // one past the last byte read
};

} // namespace quibo
