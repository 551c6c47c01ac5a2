// In-memory line channel for driving the SMTP session in unit tests: the
// peer's bytes are given up front, everything the session writes is kept;
// with TLS input it offers STARTTLS and plays a handshake.
#pragma once

#include "ULineChannel.h"

#include <optional>
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
  TReadResult SkipLine() override {
    if (Closed) return {TReadStatus::Closed, false};
    TLineEnd end;
    if (!FindLineEnd(std::string_view(Input).substr(Position), true, end)) {
      Position = Input.size();
      return {AtEnd, false};
    }
    Position += end.Length + end.EndBytes;
    return {TReadStatus::Line, end.CrLf};
  }
  std::optional<std::string_view> WaitingLine() const override {
    TLineEnd end;
    const std::string_view rest = std::string_view(Input).substr(Position);
    if (Closed || !FindLineEnd(rest, true, end) || end.Length > kMaxLineLength) return std::nullopt;
    return rest.substr(0, end.Length);
  }
  // Reads never wait here: the call never runs.
  void SetIdleCall(std::function<void()>, std::chrono::milliseconds) override {}
  bool Write(std::string_view bytes) override {
    if (Closed) return false;
    Output.append(bytes);
    return true;
  }
  bool Flush() override { return !Closed; }
  void Close() override { Closed = true; }
  bool Connected() const override { return !Closed; }
  bool PeerStillThere() const override { return !Closed && !HungUp; }
  void SetTimeout(int milliseconds) override { TimeoutMs = milliseconds; }
  bool TlsOffered() const override { return TlsInput.has_value() && !InTls; }
  // As after a handshake: the rest of the plain input is gone, the TLS input follows.
  bool StartTls(TTlsSession& session, std::string& failure) override {
    if (TlsFails) {
      failure = "unexpected record";
      return false;
    }
    Input = *TlsInput;
    Position = 0;
    InTls = true;
    session = {"TLSv1.3", "TLS_AES_256_GCM_SHA384"};
    return true;
  }

  std::string Output;
  int TimeoutMs = 0;
  bool HungUp = false;                 // the peer closed its side while the session was not reading
  std::optional<std::string> TlsInput; // with it the channel offers STARTTLS, and this comes after the handshake
  bool TlsFails = false;

private:
  std::string Input;
  TReadStatus AtEnd;
  size_t Position = 0;
  bool Closed = false;
  bool InTls = false;
};

} // namespace quibo::test
