// What the message pipeline needs from the connection it runs for: the
// published settings, the forwarding table, the connection's record and
// session, the log writers and a way to post events to the window thread.
// Built per message by the connection's hooks; used on the connection thread.
#pragma once

#include "UClock.h"
#include "ULog.h"
#include "USettings.h"
#include "USmtpSession.h"
#include "UThreadController.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quibo {

class TForward;

struct TPipelineContext {
  std::shared_ptr<const TSettings> Settings;
  std::shared_ptr<const TAppliedSettings> Applied;
  std::shared_ptr<const TForward> Forwarders;
  std::shared_ptr<TThreadController> Record;
  TSmtpSession& Session;
  TLogger& Log;
  TLogConnection Connection; // thread id and peer address, for log lines
  std::function<void(int event, long argument)> Post;
  std::filesystem::path ProgramFolder;
  std::string ServerIdent; // "Quibo SMTP Server Version ..."
  const TClock& Clock;

  void Trace(const std::string& text) const { Log.WriteTraceLog(text, true); }
};

} // namespace quibo
