#include "ULineReader.h"

#include <cstring>

namespace quibo {

bool FindLineEnd(std::string_view bytes, bool complete, TLineEnd& end, TLineEnds rule) {
  if (bytes.empty()) return false;
  const char* base = bytes.data();
  const void* lf = std::memchr(base, '\n', bytes.size());
  const size_t lfAt = lf ? static_cast<size_t>(static_cast<const char*>(lf) - base) : bytes.size();
  if (rule == TLineEnds::Lf) {
    if (!lf) return false;
    const bool crLf = lfAt > 0 && base[lfAt - 1] == '\r';
    end = {crLf ? lfAt - 1 : lfAt, crLf ? size_t{2} : size_t{1}, crLf};
    return true;
  }
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

TLineReader::TLineReader(TLineEnds rule, size_t maxLength, size_t chunk)
    // Room for the longest line still waiting for its end, and one more read.
    : Rule(rule), MaxLength(maxLength), Chunk(chunk), Capacity((maxLength > 0 ? maxLength + 2 : 0) + 2 * chunk) {}

std::string TLineReader::TakeUnread() {
  std::string rest(Buffer.get() + Start, End - Start);
  Start = End = 0;
  return rest;
}

TIoStatus TLineReader::Fill(TByteSource& source, TDeadline deadline) {
  if (!Buffer) Buffer.reset(new char[Capacity]); // uninitialised: untouched pages cost no memory
  if (Start == End) Start = End = 0;
  if (Capacity - End < Chunk && Start > 0) {
    std::memmove(Buffer.get(), Buffer.get() + Start, End - Start);
    End -= Start;
    Start = 0;
  }
  if (Capacity - End < Chunk) { // only an unbounded reader gets here: a line longer than the buffer
    std::unique_ptr<char[]> larger(new char[Capacity * 2]);
    std::memcpy(larger.get(), Buffer.get(), End);
    Buffer = std::move(larger);
    Capacity *= 2;
  }
  const TIoResult read = source.ReadSome(Buffer.get() + End, Chunk, deadline);
  End += read.Count;
  return read.Status;
}

TReadResult TLineReader::ReadLine(TByteSource& source, std::string& line, TDeadline deadline) {
  size_t searched = 0; // unread bytes known to hold no line end
  while (true) {
    const char* base = Buffer.get();
    const size_t unread = End - Start;
    TLineEnd end;
    if (unread > searched &&
        FindLineEnd(std::string_view(base + Start + searched, unread - searched), false, end, Rule)) {
      const size_t length = searched + end.Length;
      if (MaxLength > 0 && length > MaxLength) return {TReadStatus::TooLong, false};
      line.assign(base + Start, length);
      Start += length + end.EndBytes;
      return {TReadStatus::Line, end.CrLf};
    }
    // Too long already, unless the one extra byte is the CR of the coming CR LF.
    if (MaxLength > 0 && unread > MaxLength && !(unread == MaxLength + 1 && base[End - 1] == '\r'))
      return {TReadStatus::TooLong, false};
    searched = unread > 0 ? unread - 1 : 0; // the last byte may be a CR whose LF comes next
    switch (Fill(source, deadline)) {
    case TIoStatus::Done: break;
    case TIoStatus::Closed: return {TReadStatus::Closed, false};
    case TIoStatus::Timeout: return {TReadStatus::Timeout, false};
    }
  }
}

} // namespace quibo
