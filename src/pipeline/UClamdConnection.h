// TClamdConnection: one connection to clamd, held in an IDSESSION so that it
// can serve many messages: connect (Unix socket or TCP), ask about a stored
// message streamed in INSTREAM chunks or about an open file handed over with
// FILDES (Unix socket only), and read clamd's numbered, NUL-ended answers.
// Every byte goes out through Send and comes in through ReadAnswer; each
// wait is bounded by the deadline set for the current scan. Used by one
// connection thread at a time (the pool hands it out); Cut may be called from
// any thread and wakes a blocked wait. Failures throw: TClamdClosed when
// clamd closed the connection before it answered anything (a kept connection
// that clamd dropped), std::runtime_error with a printable reason otherwise.
#pragma once

#include "UStoredMessage.h"

#include <chrono>
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
  using TDeadline = std::chrono::steady_clock::time_point;

  // Connects and opens the session; throws when clamd cannot be reached.
  static std::unique_ptr<TClamdConnection> Open(const TClamdAddress& address, TDeadline deadline);
  ~TClamdConnection();
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
  explicit TClamdConnection(int socket) : Socket(socket) {}
  // False when clamd takes no more: it closed its side, or it has something
  // to say in the middle of the request (a limit reached).
  bool Send(std::string_view bytes);
  void SendDescriptor(int descriptor);
  std::string ReadAnswer();
  // Waits until the socket is ready for the events; which of them came.
  short Wait(short events);

  mutable std::mutex SocketLock; // guards Socket against a concurrent Cut
  int Socket;
  bool WasCut = false;
  TDeadline Deadline = TDeadline::max();
  unsigned NextRequest = 1;
  std::string Pending; // bytes read past the last answer
};

} // namespace quibo
