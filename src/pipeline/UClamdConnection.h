// TClamdConnection: one connection to clamd, held in an IDSESSION so that it
// can serve many messages: connect (Unix socket or TCP) within the time
// left, ask about a stored message streamed in INSTREAM chunks or about an
// open file handed over with FILDES (Unix socket only), and read clamd's
// numbered answers, one line each (the commands carry the "n" prefix).
// Bytes go out through the socket stream of src/io and come back through its
// line reader; each wait is bounded by the deadline of the current scan.
// Used by one connection thread at a time (the pool hands it out); Cut may be
// called from any thread and wakes a blocked wait. Failures throw:
// TClamdClosed when clamd closed the connection before it answered anything
// (a kept connection that clamd dropped), std::runtime_error with a
// printable reason otherwise.
#pragma once

#include "UDescriptor.h"
#include "ULineReader.h"
#include "UStoredMessage.h"
#include "UStream.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quibo {

// Where clamd listens: a text with a "/" is the path of its Unix socket
// (relative to the program folder unless it begins with "/"); anything else
// is "host:port" of its TCP socket ("[::1]:3310" for an IPv6 address).
struct TClamdAddress {
  std::filesystem::path Path;
  std::string Host;
  std::string Port;
  bool Local() const { return !Path.empty(); }
};

// False with the reason when the text is neither form.
bool ParseClamdAddress(const std::string& text, const std::filesystem::path& programFolder, TClamdAddress& address,
                       std::string& error);

class TClamdClosed : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TClamdConnection {
public:
  // Connects and opens the session; throws when clamd cannot be reached.
  static std::unique_ptr<TClamdConnection> Open(const TClamdAddress& address, TDeadline deadline);
  TClamdConnection(const TClamdConnection&) = delete;
  TClamdConnection& operator=(const TClamdConnection&) = delete;

  void SetDeadline(TDeadline deadline) { Deadline = deadline; }
  // Still connected, and clamd has neither said anything nor closed it.
  bool Quiet() const;
  // clamd's answer without its request number, e.g. "stream: OK".
  std::string ScanStream(const TStoredMessage& message);
  std::string ScanDescriptor(int descriptor);
  void Cut(); // any thread

private:
  explicit TClamdConnection(int socket);
  // False when clamd takes no more (it closed its side, as it does after a
  // limit was reached): its answer tells why.
  bool Send(std::string_view bytes);
  void SendDescriptor(int descriptor);
  std::string ReadAnswer();
  void FailIfCut() const;

  mutable std::mutex SocketLock; // guards the socket against a concurrent Cut
  TDescriptor Socket;
  bool WasCut = false;
  TPlainStream Stream;
  TLineReader Answers;
  TDeadline Deadline = kNoDeadline;
  unsigned NextRequest = 1;
};

} // namespace quibo
