#include "UPolicy.h"

#include "UAddress.h"

#include "UEvents.h"
#include "UFunctions.h"

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
  return {context.Applied.DnsServer, context.Settings.DnsPort, context.Settings.DnsTimeout * 1000};
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

bool CheckBlacklists(const TPolicyContext& context, const std::string& host, std::string& reason, bool swallowErrors) {
  bool listed = false;
  if (ListsAddress(context.Settings.LBManualBlacklist, host)) {
    reason = "manual";
    listed = true;
  } else {
    const TDnsReport report{
        [&context](TStatEvent event, long zone) { context.Count(event, zone); },
        [&context](const std::string& line) { context.Log.WriteLog(line, true, context.Connection); }};
    try {
      const auto started = std::chrono::steady_clock::now();
      listed = CheckDnsBlacklists(host, context.Settings.LBBlacklists, DnsSetupOf(context), report, reason);
      if (!context.Settings.LBBlacklists.empty()) context.Count(TStatEvent::DnsCheckTime, MicrosecondsSince(started));
    } catch (const std::exception& failure) {
      context.Log.WriteLog(failure.what(), true, context.Connection);
      if (!swallowErrors) throw;
      listed = false;
    }
  }
  if (listed) context.Count(TStatEvent::HostBlacklisted);
  return listed;
}

bool RecipientIsLocal(const std::vector<std::string>& localDomains, const std::string& address) {
  const auto at = address.rfind('@');
  if (!address.empty() && address[0] == '@') return false; // a source route names another host
  if (at != std::string::npos && address.substr(0, at).find_first_of("@%!") != std::string::npos) return false;
  return std::any_of(localDomains.begin(), localDomains.end(),
                     [&address](const std::string& domain) { return MatchesSuffix(address, domain); });
}

TVerdict OnMail(const TPolicyContext& context, TThreadController& record, const std::string& peerIp,
                const std::string& address) {
  const TSettings& settings = context.Settings;
  record.SetSender(address, context.Applied.LocalDomains, settings.CBRelayLocalIp, context.Applied.LocalIps);
  record.Blacklisted = false; // each MAIL decides afresh
  record.CheckReason.clear();
  record.Whitelisted = IsWhitelisted(settings, peerIp, address);
  if (!ValidAddressSyntax(address, settings.AllowEmptyMailFrom)) {
    context.Log.WriteMailLog("Invalid address syntax: " + PrintableText(address), context.Connection);
    return AddressError(address);
  }
  if (record.Whitelisted) {
    context.Log.WriteMailLog("Accept: Host or sender whitelisted", context.Connection);
    return AddressOkay(address);
  }
  std::string reason;
  record.Blacklisted = CheckBlacklists(context, peerIp, reason, true);
  if (!record.Blacklisted) return AddressOkay(address);
  record.CheckReason = reason == "manual" ? FormatText(Replies::ManuallyBlacklistedReason, {peerIp})
                                          : FormatText(Replies::DnsBlacklistedReason, {peerIp, PrintableText(reason)});
  context.Log.WriteMailLog(record.CheckReason, context.Connection);
  if (settings.RBPass || settings.RBForward) return AddressOkay(address);
  const TVerdict refusal = Reply(Replies::BlacklistedHost, {record.CheckReason});
  context.Count(TStatEvent::MessageRefusedBlacklist);
  context.Log.WriteMailLog("521 " + refusal.Text + " " + PrintableText(address), context.Connection);
  return refusal;
}

TVerdict OnRcpt(const TPolicyContext& context, TThreadController& record, const std::string& address) {
  const TSettings& settings = context.Settings;
  if (record.RecipientDomain.empty()) record.SetRecipientDomain(address);
  const bool relayAllowed =
      !settings.CBRelayLocalDomain || record.SenderIsLocal || RecipientIsLocal(context.Applied.LocalDomains, address);
  if (!relayAllowed) {
    const TVerdict refusal = Reply(Replies::NotLocalAddress, {address});
    context.Log.WriteMailLog("550 " + PrintableText(refusal.Text), context.Connection);
    context.Count(TStatEvent::RecipientNotLocal);
    return refusal;
  }
  if (!ValidAddressSyntax(address, settings.AllowEmptyMailFrom)) {
    context.Log.WriteMailLog("Invalid address syntax: " + PrintableText(address), context.Connection);
    return AddressError(address);
  }
  return AddressOkay(address);
}

} // namespace quibo
