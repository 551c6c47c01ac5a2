#include "UPolicy.h"

#include "UAddress.h"

#include "UEvents.h"
#include "UFunctions.h"
#include "UThreadController.h"

#include <algorithm>
#include <stdexcept>

namespace quibo {
namespace {

// Whether a host list names the address; entries compare in the canonical form (2001:DB8:0::1 is 2001:db8::1).
bool ListsAddress(const std::vector<std::string>& list, const std::string& host) {
  return std::any_of(list.begin(), list.end(), [&host](const std::string& entry) {
    const std::string address = CanonicalIp(Trimmed(entry));
    return SameText(address.empty() ? entry : address, host);
  });
}

TDnsSetup DnsSetupOf(const TPolicyContext& context) {
  return {context.Applied.DnsServer, context.Settings.DnsPort, context.DnsWaitMs};
}

} // namespace

bool ValidAddressSyntax(const std::string& address, bool allowEmpty) {
  if (address.empty()) return allowEmpty;
  if (address.find_first_of("%!;") != std::string::npos) return false;
  if (Trimmed(address).size() < 6) return false;
  const auto at = address.find('@');
  if (at == std::string::npos || at == 0) return false;
  const auto dot = address.find('.', at + 1);
  return dot != std::string::npos && dot > at + 1;
}

bool IsWhitelisted(const TSettings& settings, const std::string& host, const std::string& sender) {
  const auto& patterns = settings.LBFromAddresses;
  if (std::any_of(patterns.begin(), patterns.end(),
                  [&sender](const std::string& entry) { return MatchesSuffix(sender, entry); }))
    return true;
  return ListsAddress(settings.LBWhiteList, host);
}

TBlacklistCheck CheckBlacklists(const TPolicyContext& context, const std::string& host, bool swallowErrors) {
  TBlacklistCheck check;
  if (ListsAddress(context.Settings.LBManualBlacklist, host)) {
    check.Found = "manual";
    check.Listed = true;
  } else {
    const TDnsReport report{
        [&check](TStatEvent event, long zone) {
          check.Counts.push_back({event, zone});
        },
        [&context](const std::string& line) { context.Log.WriteLog(line, true, context.Connection); }};
    try {
      const auto started = std::chrono::steady_clock::now();
      check.Listed = CheckDnsBlacklists(host, context.Settings.LBBlacklists, DnsSetupOf(context), report, check.Found);
      if (!context.Settings.LBBlacklists.empty())
        check.Counts.push_back({TStatEvent::DnsCheckTime, MicrosecondsSince(started)});
    } catch (const std::exception& failure) {
      context.Log.WriteLog(failure.what(), true, context.Connection);
      if (!swallowErrors) throw;
      check.Listed = false;
    }
  }
  if (check.Listed) check.Counts.push_back({TStatEvent::HostBlacklisted});
  return check;
}

bool RecipientIsLocal(const std::vector<std::string>& localDomains, const std::string& address) {
  const auto at = address.rfind('@');
  if (!address.empty() && address[0] == '@') return false; // a source route names another host
  if (at != std::string::npos && address.substr(0, at).find_first_of("@%!") != std::string::npos) return false;
  return std::any_of(localDomains.begin(), localDomains.end(),
                     [&address](const std::string& domain) { return MatchesSuffix(address, domain); });
}

bool SenderMayRelay(const std::string& sender, const std::string& peerIp, const std::vector<std::string>& localDomains,
                    bool relayByLocalIp, const std::vector<std::string>& localIps) {
  const bool localSender = std::any_of(localDomains.begin(), localDomains.end(),
                                       [&sender](const std::string& domain) { return MatchesSuffix(sender, domain); });
  return localSender && (!relayByLocalIp || IsLocalIp(peerIp, localIps));
}

TMailDecision OnMail(const TPolicyContext& context, const std::string& peerIp, const std::string& address) {
  const TSettings& settings = context.Settings;
  TMailDecision decision;
  TSenderCheck& sender = decision.Sender; // each MAIL decides afresh
  sender.SenderIsLocal =
      SenderMayRelay(address, peerIp, context.Applied.LocalDomains, settings.CBRelayLocalIp, context.Applied.LocalIps);
  sender.Whitelisted = IsWhitelisted(settings, peerIp, address);
  if (!ValidAddressSyntax(address, settings.AllowEmptyMailFrom)) {
    context.Log.WriteMailLog("Invalid address syntax: " + PrintableText(address), context.Connection);
    decision.Verdict = AddressError(address);
    return decision;
  }
  if (sender.Whitelisted) {
    context.Log.WriteMailLog("Accept: Host or sender whitelisted", context.Connection);
    decision.Verdict = AddressOkay(address);
    return decision;
  }
  TBlacklistCheck blacklists = CheckBlacklists(context, peerIp, true);
  decision.Counts = std::move(blacklists.Counts);
  sender.Blacklisted = blacklists.Listed;
  decision.Verdict = AddressOkay(address);
  if (!sender.Blacklisted) return decision;
  sender.BlacklistReason = blacklists.Found == "manual"
                               ? FormatText(Replies::ManuallyBlacklistedReason, {peerIp})
                               : FormatText(Replies::DnsBlacklistedReason, {peerIp, PrintableText(blacklists.Found)});
  context.Log.WriteMailLog(sender.BlacklistReason, context.Connection);
  if (settings.RBPass || settings.RBForward) return decision;
  decision.Verdict = Reply(Replies::BlacklistedHost, {sender.BlacklistReason});
  decision.Counts.push_back({TStatEvent::MessageRefusedBlacklist});
  context.Log.WriteMailLog("521 " + decision.Verdict.Text + " " + PrintableText(address), context.Connection);
  return decision;
}

TRcptDecision OnRcpt(const TPolicyContext& context, bool senderMayRelay, const std::string& address) {
  const TSettings& settings = context.Settings;
  TRcptDecision decision;
  const bool relayAllowed =
      !settings.CBRelayLocalDomain || senderMayRelay || RecipientIsLocal(context.Applied.LocalDomains, address);
  if (!relayAllowed) {
    decision.Verdict = Reply(Replies::NotLocalAddress, {address});
    context.Log.WriteMailLog("550 " + PrintableText(decision.Verdict.Text), context.Connection);
    decision.Counts.push_back({TStatEvent::RecipientNotLocal});
    return decision;
  }
  if (!ValidAddressSyntax(address, settings.AllowEmptyMailFrom)) {
    context.Log.WriteMailLog("Invalid address syntax: " + PrintableText(address), context.Connection);
    decision.Verdict = AddressError(address);
    return decision;
  }
  decision.Verdict = AddressOkay(address);
  return decision;
}

} // namespace quibo
