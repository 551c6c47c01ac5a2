// TSmtpClient: the program's own SMTP client for relaying: connect with a
// time limit, read whole (multi-line) replies, send commands and message
// data in single writes, QUIT and close. Every wait is bounded by the time
// limit and by an optional deadline for the whole relay. Used by the forwarding client on a
// connection thread; Disconnect may be called from the window thread (forced
// disconnect) and wakes any wait. Failures throw: TSmtpReplyError for a reply
// outside the accepted set (it carries the code and text), std::runtime_error
// for everything without a code (refused, unreachable, lost, timed out).
#pragma once

#include "UDescriptor.h"
#include "ULineReader.h"
#include "UStream.h"
#include "UThreadController.h"
#include "UTls.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quibo {

struct TSmtpReply {
  int Code = 0;
  std::vector<std::string> Lines; // the text of each line, after the code
  // The lines' texts joined with CR LF.
  std::string Text() const;
};

class TSmtpReplyError : public std::runtime_error {
public:
  explicit TSmtpReplyError(TSmtpReply reply)
      : std::runtime_error(std::to_string(reply.Code) + " " + reply.Text()), Received(std::move(reply)) {}
  TSmtpReply Received;
};

class TSmtpClient final : public TForwardClientHandle {
public:
  using TTap = std::function<void(bool sent, std::string_view chunk)>;

  explicit TSmtpClient(int timeoutSeconds);
  ~TSmtpClient() override { Close(); }

  void SetTap(TTap tap) { Tap = std::move(tap); }
  // No wait runs past it; once it has passed, every call fails.
  void SetDeadline(std::chrono::steady_clock::time_point deadline) { Deadline = deadline; }
  void Connect(const std::string& host, int port);
  bool Connected() const;
  // Connected, nothing unread, and the server has neither spoken nor closed:
  // fit for another transaction.
  bool Quiet() const;
  // Reads one reply; throws TSmtpReplyError unless its code is accepted (empty: any).
  TSmtpReply ReadReply(std::initializer_list<int> accepted = {});
  // Sends one line and reads the reply; throws TSmtpReplyError unless its code is accepted.
  TSmtpReply Command(const std::string& line, std::initializer_list<int> accepted = {});
  void SendRaw(std::string_view bytes);
  // The client's TLS handshake after the server's 220 to STARTTLS; with a
  // name, the server's certificate must verify and name it. Throws on failure.
  void StartTls(const TTlsClientContext& context, const std::string& verifyName);
  // What the handshake agreed on; empty while the connection is in plain text.
  const std::optional<TTlsSession>& Tls() const { return TlsSession; }
  // QUIT without waiting for its reply, then close.
  void Quit();
  void Close();
  void Disconnect() override; // any thread

private:
  bool ReadLine(std::string& line);
  // The deadline of the next wait: the time limit, or the relay's deadline when nearer.
  TDeadline NextDeadline() const;

  const int TimeoutMs;
  std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();
  TTap Tap;
  mutable std::mutex SocketLock; // guards Socket against a concurrent Disconnect
  TDescriptor Socket;
  bool Cut = false;
  std::unique_ptr<TStream> Stream;
  TLineReader Replies;
  std::optional<TTlsSession> TlsSession;
};

} // namespace quibo
