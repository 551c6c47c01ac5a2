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

TStoredLineReader::TStoredLineReader(const TStoredMessage& message, uint64_t from, uint64_t end)
    : Message(message), Position(from), End(end), BlockOffset(from) {}

bool TStoredLineReader::Fill() {
  const uint64_t next = BlockOffset + Block.size();
  if (next >= End) return false;
  // Drop what was returned already, so the block holds one line and a chunk at most.
  Block.erase(0, static_cast<size_t>(Position - BlockOffset));
  BlockOffset = Position;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, End - next));
  const size_t before = Block.size();
  Block.resize(before + want);
  const size_t got = Message.ReadAt(next, Block.data() + before, want);
  Block.resize(before + got);
  return got > 0;
}

bool TStoredLineReader::Next(std::string& line) {
  size_t searchFrom = static_cast<size_t>(Position - BlockOffset);
  while (true) {
    const size_t newline = Block.find('\n', searchFrom);
    if (newline != std::string::npos) {
      const size_t start = static_cast<size_t>(Position - BlockOffset);
      size_t length = newline - start;
      if (length > 0 && Block[newline - 1] == '\r') --length;
      line.assign(Block, start, length);
      Position = BlockOffset + newline + 1;
      return true;
    }
    const size_t unread = Block.size() - static_cast<size_t>(Position - BlockOffset);
    if (!Fill()) {
      if (unread == 0) return false;
      line.assign(Block, static_cast<size_t>(Position - BlockOffset), unread); // a last line without LF
      Position += unread;
      return true;
    }
    searchFrom = static_cast<size_t>(Position - BlockOffset) + unread;
  }
}

} // namespace quibo
