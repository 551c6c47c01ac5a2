// The PROXY header a TCP load balancer sends before a connection's first
// byte (the text form "PROXY TCP4 ...\r\n" and the binary form with its
// 12-byte signature): ParseProxyHeader judges the bytes read so far, and
// ReadProxyHeader reads exactly one header from a socket, never a byte of
// what follows, so the SMTP session starts on the first byte after it.
// Called by the listener on the connection thread, before the greeting, for
// connections from trusted balancers only. Failures are results: a reason
// for the log, never an exception.
#pragma once

#include "UStream.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace quibo {

// The longest header taken: the text form's own limit is 107 bytes; the
// binary form's addresses and the extensions a balancer adds (an id, TLS
// details) fit well below this.
inline constexpr size_t kMaxProxyHeaderLength = 1024;

enum class TProxyStatus {
  NeedMore, // a header may still come: read up to Needed bytes in all
  Done,
  Invalid,
};

struct TProxyHeader {
  TProxyStatus Status = TProxyStatus::NeedMore;
  size_t Needed = 0;         // NeedMore: the header is at least this long; Done: its length
  std::string ClientAddress; // Done: the client's address; empty when the header names none (LOCAL, UNKNOWN)
  bool HealthCheck = false;  // Done: the balancer speaks for itself (binary LOCAL)
  std::string Failure;       // Invalid: why
};

// Judges the first bytes of a connection; never looks past the header's end.
TProxyHeader ParseProxyHeader(std::string_view bytes);

// Reads one header from the stream until the deadline. A closed connection
// or a time-out is Invalid with the reason; Failure is empty when the peer
// closed before sending a byte.
TProxyHeader ReadProxyHeader(TByteSource& source, TDeadline deadline);

} // namespace quibo
