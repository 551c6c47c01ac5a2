// The acceptance policy: the decisions taken at MAIL FROM (address syntax,
// host and sender whitelists, the manual and DNS blacklists, what to do with
// a blacklisted host, whether the sender may relay) and at RCPT TO (relaying
// only for local domains, or for senders that may relay). Functions over one
// settings generation that return values: the verdict for the session to
// write, what the sender check found (the session's hook keeps it in the
// connection's record) and the statistics events to post (the caller posts
// them). They write only log lines. Runs on the connection thread (and on a
// worker for the operator's blacklist test); a DNS failure during MAIL is
// logged and never refuses mail by itself.
#pragma once

#include "UDns.h"
#include "UEvents.h"
#include "ULog.h"
#include "UReplies.h"
#include "USettings.h"
#include "USuffixMatch.h"

#include <string>
#include <vector>

namespace quibo {

struct TPolicyContext {
  const TSettings& Settings;
  const TAppliedSettings& Applied;
  TLogger& Log;
  const TLogConnection* Connection; // the connection the log lines name, if any
  int DnsWaitMs;                    // the longest a blacklist lookup may take (TSettingsModel::DnsWaitMs)
};

// A statistics event a decision calls for, with its argument.
struct TPolicyCount {
  TStatEvent Event;
  long Argument = 0;
};
using TPolicyCounts = std::vector<TPolicyCount>;

// Posts the counts, in their order, as statistics events on the caller's queue.
template <class TQueue> void PostCounts(TQueue& queue, const TPolicyCounts& counts) {
  for (const TPolicyCount& count : counts)
    queue.Post(EvStatistic, static_cast<long>(count.Event), count.Argument);
}

// What the check at MAIL FROM found about the host and the sender.
struct TSenderCheck {
  bool Whitelisted = false;
  bool Blacklisted = false;
  std::string BlacklistReason; // "Host (<ip>) is manually blacklisted", ...; "" when not blacklisted
  bool SenderIsLocal = false;  // the sender may relay (SenderMayRelay)
};

struct TMailDecision {
  TVerdict Verdict;
  TSenderCheck Sender;
  TPolicyCounts Counts;
};

struct TRcptDecision {
  TVerdict Verdict;
  TPolicyCounts Counts;
};

struct TBlacklistCheck {
  bool Listed = false;
  std::string Found; // "manual", or the query name of the DNS reply that listed the host
  TPolicyCounts Counts;
};

bool ValidAddressSyntax(const std::string& address, bool allowEmpty);
bool IsWhitelisted(const TSettings& settings, const std::string& host, const std::string& sender);
// The manual list first (found: "manual"), then the DNS blacklists (found:
// the name asked). With swallowErrors a DNS failure is logged and gives "not
// listed"; without it the failure is thrown on.
TBlacklistCheck CheckBlacklists(const TPolicyContext& context, const std::string& host, bool swallowErrors);
// Whether a recipient belongs to a local domain. An address that could route
// elsewhere through the mail server behind us (a source route, or "@", "%"
// or "!" in its local part) never does.
bool RecipientIsLocal(const std::vector<std::string>& localDomains, const std::string& address);
// The relay rule: the sender is in a local domain and, with relayByLocalIp,
// the peer's address begins with a [LocalIP] entry.
bool SenderMayRelay(const std::string& sender, const std::string& peerIp, const std::vector<std::string>& localDomains,
                    bool relayByLocalIp, const std::vector<std::string>& localIps);

TMailDecision OnMail(const TPolicyContext& context, const std::string& peerIp, const std::string& address);
// senderMayRelay: what the sender check of the transaction found.
TRcptDecision OnRcpt(const TPolicyContext& context, bool senderMayRelay, const std::string& address);

} // namespace quibo
