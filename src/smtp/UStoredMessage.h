// TStoredMessage: a received message as it was stored (the DATA lines, still
// dot-stuffed, each ended by CR LF, then the line "."), read by offset, so
// that parsing and relaying take it in blocks instead of holding copies of
// it. TFileMessage reads the message file in temp/; TTextMessage holds the
// bytes in memory. Read-only once made; any thread. Reads never throw: a
// failed read gives fewer bytes.
#pragma once

#include "ULineReader.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace quibo {

class TStoredMessage {
public:
  virtual ~TStoredMessage() = default;
  virtual uint64_t Size() const = 0;
  // Copies up to size bytes from offset; returns how many (0 at the end).
  virtual size_t ReadAt(uint64_t offset, char* buffer, size_t size) const = 0;
  // Where the message proper ends: before its final "." line when it has one.
  uint64_t ContentEnd() const;
};

class TFileMessage final : public TStoredMessage {
public:
  TFileMessage(int descriptor, uint64_t size) : Descriptor(descriptor), Bytes(size) {}
  uint64_t Size() const override { return Bytes; }
  size_t ReadAt(uint64_t offset, char* buffer, size_t size) const override;

private:
  int Descriptor; // owned by the caller
  uint64_t Bytes;
};

class TTextMessage final : public TStoredMessage {
public:
  explicit TTextMessage(std::string text) : Text(std::move(text)) {}
  uint64_t Size() const override { return Text.size(); }
  size_t ReadAt(uint64_t offset, char* buffer, size_t size) const override;

private:
  std::string Text;
};

// Reads a stored message line by line from an offset, through one block.
class TStoredLineReader {
public:
  TStoredLineReader(const TStoredMessage& message, uint64_t from, uint64_t end);
  // The next line without its LF and the CR before it; false at the end.
  bool Next(std::string& line);
  uint64_t Offset() const { return Position - Lines.Unread(); } // of the first byte not yet returned

private:
  // The stored bytes from one offset to another, as a line reader's source.
  class TRange final : public TByteSource {
  public:
    TRange(const TStoredMessage& message, uint64_t& position, uint64_t end)
        : Message(message), Position(position), End(end) {}
    TIoResult ReadSome(char* buffer, size_t room, TDeadline deadline) override;

  private:
    const TStoredMessage& Message;
    uint64_t& Position;
    uint64_t End;
  };

  uint64_t Position; // of the first byte not yet read into the line reader
  TRange Range;
  TLineReader Lines;
};

} // namespace quibo
