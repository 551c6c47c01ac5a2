// TRelayTransaction: one mail transaction towards the next servers, from its
// first recipient to the end of its data. It holds one connection per
// destination (the outgoing server, or a [Forward] destination), each with
// the recipients that destination took. Open asks a recipient's destination
// (opening the connection with EHLO, STARTTLS as the policy says, RSET and
// MAIL at its first recipient); Send gives the data to every destination
// that took a recipient; Abandon sends RSET and gives the connections back to
// the pool. A connection lost before the data is opened again and MAIL and
// every taken recipient are replayed; a recipient not taken again makes the
// message a 451 with nothing delivered; KeepAlive spares a connection its
// server's idle limit while the sender is slow. Every failure towards a next server
// becomes a verdict: its own code for a refusal, else 451; never 250 for a
// recipient it did not take. Used by the connection's hooks (live recipient
// checks) and by RelayMessage (all recipients at the end of the data); one
// connection thread; a forced disconnect cuts the wait of the moment.
#pragma once

#include "URelayContext.h"
#include "URelayPool.h"
#include "UReplies.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quibo {

// Writes a message's wire form (headers and body, dot-stuffed, without the
// final ".") to the sink, piece by piece.
using TWireSource = std::function<void(const std::function<void(std::string_view)>& sink)>;

// The failures of one relay, recipients and destinations alike. The sender
// hears a temporary one when there is any, so that a retry can still deliver
// what a permanent refusal elsewhere would bounce; within a class the latest wins.
class TRelayFailures {
public:
  void Add(TVerdict refusal) { (refusal.Code < 500 ? Temporary : Permanent) = std::move(refusal); }
  bool Any() const { return Temporary.Code != 0 || Permanent.Code != 0; }
  const TVerdict& Verdict() const { return Temporary.Code != 0 ? Temporary : Permanent; }

private:
  TVerdict Temporary;
  TVerdict Permanent;
};

class TRelayTransaction {
public:
  explicit TRelayTransaction(TRelayContext context);
  ~TRelayTransaction(); // abandons what was not sent
  TRelayTransaction(const TRelayTransaction&) = delete;
  TRelayTransaction& operator=(const TRelayTransaction&) = delete;

  // Asks each recipient's destination, a destination's recipients in one
  // pipelined group where it offers PIPELINING; the verdicts in the order
  // of the addresses. A refusal carries the next server's code and text.
  std::vector<TVerdict> Open(const std::vector<std::string>& addresses);
  TVerdict Open(const std::string& address) { return Open(std::vector<std::string>{address}).front(); }
  // Recipients that some destination took.
  size_t Taken() const;
  // The data to every destination that took a recipient, by the deadline;
  // the verdict for the end of the data. The transaction is over after it.
  TVerdict Send(const TWireSource& wire, std::chrono::steady_clock::time_point deadline);
  // RSET on every connection, which goes back to the pool; nothing was delivered.
  void Abandon();
  // A NOOP on each connection that has waited longer than a third of
  // ForwardTimeout, so that its server does not time it out; one found
  // closed is replayed at its next use. Never throws.
  void KeepAlive();
  // Recipients a next server refused in this transaction (4xx and 5xx from it).
  size_t Refused() const { return RefusedCount; }

private:
  struct TDestination;
  TDestination& DestinationOf(const std::string& address);
  // Takes a place among the transactions towards the server (throws when
  // none comes free), then a kept connection or a new client; whether it was a kept one.
  bool Lease(TDestination& destination);
  // Connects and greets a new client (EHLO, STARTTLS as the policy says).
  // Throws when the server cannot be reached or refuses the greeting.
  void Open(TDestination& destination, bool reused);
  // Whether a held connection can still be used: the server has neither
  // spoken nor closed it, and it answers NOOP after a long wait.
  bool Fit(TDestination& destination);
  // Sends what the destination still needs (RSET on a kept connection, MAIL,
  // the recipients it took before a lost connection) and the new recipients
  // in one pipelined group where offered; their verdicts.
  std::vector<TVerdict> AskRecipients(TDestination& destination, const std::vector<std::string>& addresses);
  // DATA, the message and its end; a failure goes to the verdict. Empty
  // when the connection was found closed before the server took DATA.
  std::optional<TVerdict> SendTo(TDestination& destination, const TWireSource& wire);
  // Closes the connection without a word (QUIT); its recipients stay, to be replayed.
  void Drop(TDestination& destination);
  // The connection goes back to the pool (after RSET unless it just
  // delivered) or is closed; the place is given back.
  void Release(TDestination& destination);

  TRelayContext Context;
  std::vector<std::unique_ptr<TDestination>> Destinations;
  size_t RefusedCount = 0;
  // Set when a recipient told 250 could not be taken again: the data gets it, nothing is delivered.
  std::optional<TVerdict> Lost;
};

} // namespace quibo
