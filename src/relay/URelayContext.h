// TRelayContext: what the relay needs of the transaction it serves: the
// settings of the transaction, the forwarding table and the outgoing server,
// the connection's record (for a forced disconnect), the envelope sender and
// its MAIL parameters, the kept connections, TLS towards next servers, the
// log writers, the event poster and the time the relay must end by. Built by
// the connection's hooks (at the first recipient) or by the pipeline (at the
// end of the data); used on the connection thread. Plain value.
#pragma once

#include "UEvents.h"
#include "ULog.h"
#include "UMailParameters.h"
#include "USettings.h"
#include "UThreadController.h"
#include "UTls.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace quibo {

class TForward;
class TRelayPool;

struct TRelayContext {
  std::shared_ptr<const TSettings> Settings;
  std::shared_ptr<const TForward> Forwarders;
  std::string OutgoingServer;
  int OutgoingPort = 0;
  std::shared_ptr<TThreadController> Record;
  std::string EnvelopeSender; // the session's MAIL FROM; "" is the null sender
  TMailParameters MailParameters;
  TLogger& Log;
  TLogConnection Connection;
  std::function<void(int event, long argument, long argument2)> Post;
  TRelayPool* Relays = nullptr;                         // none: a new connection each time
  std::shared_ptr<const TTlsClientContext> OutgoingTls; // nullptr: none to be had
  // Whether the transaction holds a place among those open towards each
  // server (live recipient checks hold connections across the dialogue).
  bool Bounded = false;
  // No wait of the relay runs past it.
  std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();

  void Trace(const std::string& text) const { Log.WriteTraceLog(text, true); }
  void Count(TStatEvent event, long argument = 0) const { Post(EvStatistic, static_cast<long>(event), argument); }
  bool OutOfTime() const { return std::chrono::steady_clock::now() >= Deadline; }
};

} // namespace quibo
