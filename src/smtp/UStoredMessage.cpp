#include "UStoredMessage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace quibo {
namespace {
constexpr size_t kChunk = 65536;
} // namespace

uint64_t TStoredMessage::ContentEnd() const {
  const uint64_t size = Size();
  char tail[4] = {};
  const size_t want = static_cast<size_t>(std::min<uint64_t>(size, 4));
  if (want < 3 || ReadAt(size - want, tail, want) != want) return size;
  const char* last = tail + want - 3;
  const bool lineStart = want == 3 || tail[0] == '\n';
  return lineStart && std::memcmp(last, ".\r\n", 3) == 0 ? size - 3 : size;
}

size_t TFileMessage::ReadAt(uint64_t offset, char* buffer, size_t size) const {
  size_t done = 0;
  while (done < size && offset + done < Bytes) {
    const ssize_t got = ::pread(Descriptor, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

size_t TTextMessage::ReadAt(uint64_t offset, char* buffer, size_t size) const {
  if (offset >= Text.size()) return 0;
  const size_t count = std::min<size_t>(size, Text.size() - static_cast<size_t>(offset));
  std::memcpy(buffer, Text.data() + offset, count);
  return count;
}

TIoResult TStoredLineReader::TRange::ReadSome(char* buffer, size_t room, TDeadline) {
  if (Position >= End) return {TIoStatus::Closed};
  const size_t got = Message.ReadAt(Position, buffer, static_cast<size_t>(std::min<uint64_t>(room, End - Position)));
  Position += got;
  return got > 0 ? TIoResult{TIoStatus::Done, got} : TIoResult{TIoStatus::Closed};
}

TStoredLineReader::TStoredLineReader(const TStoredMessage& message, uint64_t from, uint64_t end)
    : Position(from), Range(message, Position, end), Lines(TLineEnds::Lf, 0, kChunk) {}

bool TStoredLineReader::Next(std::string& line) {
  if (Lines.ReadLine(Range, line, kNoDeadline).Status == TReadStatus::Line) return true;
  if (Lines.Unread() == 0) return false;
  line = Lines.TakeUnread(); // a last line without LF
  return true;
}

} // namespace quibo
