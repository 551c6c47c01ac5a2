// In-memory line channel for driving the SMTP session in unit tests: the
// peer's bytes are given up front, everything the session writes is kept.
#pragma once

#include "ULineChannel.h"

#include <string>

namespace quibo::test {

class TMemoryChannel final : public TLineChannel {
public:
  explicit TMemoryChannel(std::string input, TReadStatus atEnd = TReadStatus::Closed)
      : Input(std::move(input)), AtEnd(atEnd) {}

  TReadResult ReadLine(std::string& line) override {
    if (Closed) return {TReadStatus::Closed, false};
    const size_t end = Input.find('\n', Position);
    if (end == std::string::npos) {
      if (Input.size() - Position > kMaxLineLength) return {TReadStatus::TooLong, false};
      return {AtEnd, false};
    }
    size_t length = end - Position;
    const bool crlf = length > 0 && Input[end - 1] == '\r';
    if (crlf) --length;
    if (length > kMaxLineLength) return {TReadStatus::TooLong, false};
    line = Input.substr(Position, length);
    Position = end + 1;
    return {TReadStatus::Line, crlf};
  }
  bool Write(std::string_view bytes) override {
    if (Closed) return false;
    Output.append(bytes);
    return true;
  }
  void Close() override { Closed = true; }
  bool Connected() const override { return !Closed; }
  bool PeerStillThere() const override { return !Closed && !HungUp; }
  void SetReadTimeout(int milliseconds) override { TimeoutMs = milliseconds; }

  std::string Output;
  int TimeoutMs = 0;
  bool HungUp = false; // the peer closed its side while the session was not reading

private:
  std::string Input;
  TReadStatus AtEnd;
  size_t Position = 0;
  bool Closed = false;
};

} // namespace quibo::test
