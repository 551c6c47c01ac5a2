// What the message pipeline needs from the connection it runs for: the
// published settings, the forwarding table, the connection's record, the
// envelope (HELO name, sender and its parameters, recipients), whether the
// client is still there, the time left for the message, the log writers and
// a way to post events to the window thread.
// Built per message by the connection's hooks; used on the connection thread.
// The pipeline never writes to the client: it returns its verdict.
#pragma once

#include "UClock.h"
#include "UEvents.h"
#include "ULog.h"
#include "UMailParameters.h"
#include "URelayContext.h"
#include "USettings.h"
#include "UThreadController.h"
#include "UTls.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quibo {

class TClamdPool;
class TForward;
class THostNameCache;
class TMemoryTrim;
class TRelayPool;
class TRelayTransaction;
class TRspamdClients;

struct TPipelineContext {
  std::shared_ptr<const TSettings> Settings;
  std::shared_ptr<const TAppliedSettings> Applied;
  std::shared_ptr<const TForward> Forwarders;
  std::shared_ptr<TThreadController> Record;
  std::string EnvelopeSender; // the session's MAIL FROM; "" is the null sender
  std::function<bool()> ClientStillThere;
  // Scan, classification and relay of the message must end by then.
  std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();
  TLogger& Log;
  TLogConnection Connection; // thread id and peer address, for log lines
  std::function<void(int event, long argument, long argument2)> Post;
  std::filesystem::path ProgramFolder;
  std::string ServerIdent; // "Quibo SMTP Server Version ..."
  const TClock& Clock;
  TRelayPool* Relays = nullptr; // connections to next servers kept between messages (none: a new one each time)
  TClamdPool* Clamd = nullptr;  // sessions with clamd kept between messages (none: a new one each time)
  std::optional<TTlsSession> ClientTls{};                 // how the message came: in TLS, or not (empty)
  std::shared_ptr<const TTlsClientContext> OutgoingTls{}; // TLS towards next servers; nullptr: none to be had
  TMailParameters MailParameters{};                       // the session's MAIL parameters (BODY, SMTPUTF8)
  THostNameCache* HostNames = nullptr;   // names of recent peers (none: each message looks its peer up)
  TMemoryTrim* MemoryTrim = nullptr;     // gives freed memory back after a message (none: never)
  TRspamdClients* Rspamd = nullptr;      // clients of rspamd kept between messages (none: a new one each time)
  std::string HeloName{};                // the client's HELO/EHLO name
  std::vector<std::string> Recipients{}; // the transaction's recipients, as the session took them
  // The transaction whose recipients the next servers took at RCPT (none: all are asked at the end of the data).
  TRelayTransaction* Transaction = nullptr;

  void Trace(const std::string& text) const { Log.WriteTraceLog(text, true); }
  void Count(TStatEvent event, long argument = 0) const { Post(EvStatistic, static_cast<long>(event), argument); }
  // Milliseconds a step may take: its own limit (<= 0: none), bounded by the time left.
  int TimeLeftMs(int limitMs) const {
    // Rounded up: a step cut by the time left ends at or after the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    const long bounded = std::max<long>(1, std::min<long>(left.count(), limitMs > 0 ? limitMs : left.count()));
    return static_cast<int>(std::min<long>(bounded, std::numeric_limits<int>::max()));
  }
  bool OutOfTime() const { return std::chrono::steady_clock::now() >= Deadline; }
  // What the relay needs of this context.
  TRelayContext ForRelay() const {
    return {Settings,
            Forwarders,
            Applied->OutgoingServer,
            Applied->OutgoingPort,
            Record,
            EnvelopeSender,
            MailParameters,
            Log,
            Connection,
            Post,
            Relays,
            OutgoingTls,
            false,
            Deadline};
  }
};

} // namespace quibo
