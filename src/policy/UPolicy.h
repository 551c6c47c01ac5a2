// The acceptance policy: the decisions taken at MAIL FROM (address syntax,
// host and sender whitelists, the manual and DNS blacklists, what to do with
// a blacklisted host) and at RCPT TO (relaying only for local domains, or for
// senders that may relay). Pure functions over one settings generation and
// the connection's record; each command's answer is a verdict for the
// session to write. Runs on the connection thread (and on a worker for the
// operator's blacklist test). Statistics events go out through Post; a DNS
// failure during MAIL is logged and never refuses mail by itself.
#pragma once

#include "UDns.h"
#include "UEvents.h"
#include "ULog.h"
#include "UReplies.h"
#include "USettings.h"
#include "UThreadController.h"

#include <functional>
#include <string>

namespace quibo {

struct TPolicyContext {
  const TSettings& Settings;
  const TAppliedSettings& Applied;
  TLogger& Log;
  const TLogConnection* Connection; // the connection the log lines name, if any
  std::function<void(int event, long argument, long argument2)> Post;

  void Count(TStatEvent event, long argument = 0) const { Post(EvStatistic, static_cast<long>(event), argument); }
};

bool ValidAddressSyntax(const std::string& address, bool allowEmpty);
bool IsWhitelisted(const TSettings& settings, const std::string& host, const std::string& sender);
// The manual list first (reason "manual"), then the DNS blacklists (reason:
// the name found). With swallowErrors a DNS failure is logged and gives false;
// without it the failure is thrown on.
bool CheckBlacklists(const TPolicyContext& context, const std::string& host, std::string& reason, bool swallowErrors);
// Whether a recipient belongs to a local domain. An address that could route
// elsewhere through the mail server behind us (a source route, or "@", "%"
// or "!" in its local part) never does.
bool RecipientIsLocal(const std::vector<std::string>& localDomains, const std::string& address);

TVerdict OnMail(const TPolicyContext& context, TThreadController& record, const std::string& peerIp,
                const std::string& address);
TVerdict OnRcpt(const TPolicyContext& context, TThreadController& record, const std::string& address);

} // namespace quibo
