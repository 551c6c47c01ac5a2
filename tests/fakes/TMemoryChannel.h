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

  // Lines end as on a socket; at the end of the input a last CR ends a line too.
  TReadResult ReadLine(std::string& line) override {
    if (Closed) return {TReadStatus::Closed, false};
    TLineEnd end;
    if (!FindLineEnd(std::string_view(Input).substr(Position), true, end)) {
      if (Input.size() - Position > kMaxLineLength) return {TReadStatus::TooLong, false};
      return {AtEnd, false};
    }
    if (end.Length > kMaxLineLength) return {TReadStatus::TooLong, false};
    line = Input.substr(Position, end.Length);
    Position += end.Length + end.EndBytes;
    return {TReadStatus::Line, end.CrLf};
  }
  bool Write(std::string_view bytes) override {
    if (Closed) return false;
    Output.append(bytes);
    return true;
  }
  void Close() override { Closed = true; }
  bool Connected() const override { return !Closed; }
  bool PeerStillThere() const override { return !Closed && !HungUp; }
  void SetTimeout(int milliseconds) override { TimeoutMs = milliseconds; }

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
