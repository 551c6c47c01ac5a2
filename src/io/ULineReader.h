// TLineReader: the one buffered line reader. It fills its buffer from a byte
// source (a socket, a TLS stream, a stored message) a block at a time and
// hands out lines without their ends, by one of two rules: a server takes a
// line from a client as ended by CR LF, a bare LF or a bare CR; replies of a
// next server and stored messages end lines at LF (a CR before it is
// dropped). Lines longer than the bound are refused, not cut. The buffer
// starts small and grows while reads fill it, so a connection that only
// sends commands holds little.
// One thread at a time; never throws.
#pragma once

#include "UStream.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quibo {

enum class TLineEnds {
  CrLfLfOrCr, // CR LF, a bare LF or a bare CR
  Lf,         // LF; a CR right before it is not part of the line
};

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
// Finds the first line end in bytes by the rule. Under CrLfLfOrCr a CR that
// is the last byte may still be the first half of a CR LF: it ends a line
// only when the bytes are complete (nothing more can come). False when no
// line has ended yet.
bool FindLineEnd(std::string_view bytes, bool complete, TLineEnd& end, TLineEnds rule = TLineEnds::CrLfLfOrCr);

class TLineReader {
public:
  // maxLength 0: lines of any length (the buffer grows for them).
  TLineReader(TLineEnds rule, size_t maxLength, size_t chunk);

  // Reads up to the next line end, which is removed; waits for bytes until the deadline.
  TReadResult ReadLine(TByteSource& source, std::string& line, TDeadline deadline);
  // Bytes read from the source and not yet handed out.
  size_t Unread() const { return End - Start; }
  // The next line when it has already come whole and within the bound; it is
  // not handed out (ReadLine then takes it without waiting).
  std::optional<std::string_view> WaitingLine() const;
  // After TooLong: reads past the rest of that line, its end included, and
  // keeps none of it; waits for bytes until the deadline.
  TReadResult SkipLine(TByteSource& source, TDeadline deadline);
  // Hands out the unread bytes (a last line without its end) and forgets them.
  std::string TakeUnread();

private:
  static constexpr size_t kFirstSize = 2048;
  static constexpr size_t kLeastRead = 512;
  // Reads more bytes into the buffer; the status of the read.
  TIoStatus Fill(TByteSource& source, TDeadline deadline);
  // Moves the unread bytes to the start of the buffer, a new one when the size changes.
  void Resize(size_t size);

  TLineEnds Rule;
  size_t MaxLength;
  size_t Chunk;
  size_t Limit; // the most the buffer grows to; 0: no limit
  std::unique_ptr<char[]> Buffer;
  size_t Size = 0;
  bool LastReadFilled = false; // the last read took all the room it had: more is likely waiting
  size_t Start = 0;            // first unread byte in Buffer
  size_t End = 0;              // one past the last byte read
};

} // namespace quibo
