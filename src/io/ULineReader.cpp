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
    : Rule(rule), MaxLength(maxLength), Chunk(chunk), Limit(maxLength > 0 ? maxLength + 2 + 2 * chunk : 0) {}

std::string TLineReader::TakeUnread() {
  if (Start == End) return {};
  std::string rest(Buffer.get() + Start, End - Start);
  Start = End = 0;
  return rest;
}

void TLineReader::Resize(size_t size) {
  if (size == Size) {
    std::memmove(Buffer.get(), Buffer.get() + Start, End - Start);
  } else {
    std::unique_ptr<char[]> resized(new char[size]); // uninitialised: untouched pages cost no memory
    if (End > Start) std::memcpy(resized.get(), Buffer.get() + Start, End - Start);
    Buffer = std::move(resized);
    Size = size;
  }
  End -= Start;
  Start = 0;
}

TIoStatus TLineReader::Fill(TByteSource& source, TDeadline deadline) {
  if (Start == End) Start = End = 0;
  const size_t unread = End - Start;
  // The buffer starts small, so that a connection that only sends commands
  // holds little, and doubles while reads fill it, up to the limit.
  const bool mayGrow = Limit == 0 || Size < Limit;
  if (Buffer && Size - End < Chunk && Size - unread >= Chunk) {
    Resize(Size); // moving the unread bytes to the front makes room for a whole read
  } else if (!Buffer || (Size - End < Chunk && mayGrow && (LastReadFilled || Size - unread < kLeastRead))) {
    const size_t wanted = std::max(kFirstSize, 2 * Size);
    Resize(Limit > 0 ? std::min(Limit, wanted) : wanted);
  } else if (Size - End < Chunk && Start > 0) {
    Resize(Size);
  }
  const size_t room = std::min(Chunk, Size - End);
  const TIoResult read = source.ReadSome(Buffer.get() + End, room, deadline);
  End += read.Count;
  LastReadFilled = read.Count == room;
  return read.Status;
}

TReadResult TLineReader::SkipLine(TByteSource& source, TDeadline deadline) {
  while (true) {
    const std::string_view unread(Buffer.get() + Start, End - Start);
    TLineEnd end;
    if (FindLineEnd(unread, false, end, Rule)) {
      Start += end.Length + end.EndBytes;
      return {TReadStatus::Line, end.CrLf};
    }
    // Only a last CR is kept: it may be the first half of the coming CR LF.
    Start = End - (!unread.empty() && unread.back() == '\r' ? 1 : 0);
    switch (Fill(source, deadline)) {
    case TIoStatus::Done: break;
    case TIoStatus::Closed: return {TReadStatus::Closed, false};
    case TIoStatus::Timeout: return {TReadStatus::Timeout, false};
    }
  }
}

std::optional<std::string_view> TLineReader::WaitingLine() const {
  const std::string_view unread(Buffer.get() + Start, End - Start);
  TLineEnd end;
  if (!FindLineEnd(unread, false, end, Rule) || (MaxLength > 0 && end.Length > MaxLength)) return std::nullopt;
  return unread.substr(0, end.Length);
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
