#include "UMetrics.h"

#include <algorithm>
#include <cstdio>

namespace quibo {
namespace {

constexpr const char* kTlsProtocolNames[] = {"TLSv1.2", "TLSv1.3", "other"};

std::string Number(uint64_t value) { return std::to_string(value); }

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// A label value as the format wants it: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

void Family(std::string& out, const std::string& name, const char* type, const std::string& help) {
  out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, const std::string& labels, uint64_t value) {
  out += name + (labels.empty() ? "" : "{" + labels + "}") + " " + Number(value) + "\n";
}

} // namespace

long TlsProtocolArgument(const std::string& protocol) {
  for (long i = 0; i < 2; ++i)
    if (protocol == kTlsProtocolNames[i]) return i;
  return 2;
}

void TMetrics::THistogram::Observe(long microseconds) {
  const double seconds = static_cast<double>(microseconds) / 1e6;
  size_t bucket = 0;
  while (bucket < kBounds.size() && seconds > kBounds[bucket])
    ++bucket;
  ++Buckets[bucket];
  SumMicroseconds += static_cast<uint64_t>(std::max(0L, microseconds));
}

void TMetrics::THistogram::Write(std::string& out, const std::string& name, const std::string& help) const {
  Family(out, name, "histogram", help);
  uint64_t cumulative = 0;
  for (size_t i = 0; i < kBounds.size(); ++i) {
    cumulative += Buckets[i].load();
    Sample(out, name + "_bucket", "le=\"" + Seconds(kBounds[i]) + "\"", cumulative);
  }
  cumulative += Buckets[kBounds.size()].load();
  Sample(out, name + "_bucket", "le=\"+Inf\"", cumulative);
  out += name + "_sum " + Seconds(static_cast<double>(SumMicroseconds.load()) / 1e6) + "\n";
  Sample(out, name + "_count", "", cumulative);
}

void TMetrics::Count(TStatEvent event, long argument, const std::string& zone) {
  const auto zoneCounter = [this, &zone](std::atomic<uint64_t> TZone::*counter) {
    std::lock_guard lock(ZoneLock);
    ++(Zones[zone].*counter);
  };
  switch (event) {
  case TStatEvent::ConnectionServed: ++Served; break;
  case TStatEvent::ConnectionRefusedByLimit: ++RefusedByLimit; break;
  case TStatEvent::ConnectionRefusedForResources: ++RefusedForResources; break;
  case TStatEvent::RecipientNotLocal: ++RecipientsRefusedRelay; break;
  case TStatEvent::MessageRefusedBlacklist: ++RefusedBlacklist; break;
  case TStatEvent::DnsLookupTimedOut: zoneCounter(&TZone::Timeout); break;
  case TStatEvent::DnsLookupListed: zoneCounter(&TZone::Listed); break;
  case TStatEvent::DnsLookupClean: zoneCounter(&TZone::Clean); break;
  case TStatEvent::DnsLookupFailed: zoneCounter(&TZone::Error); break;
  case TStatEvent::VirusFound: ++RefusedVirus; break;
  case TStatEvent::HeurasticDropped: ++Dropped; break;
  case TStatEvent::MessageRelayed: ++Relayed; break;
  case TStatEvent::RelayFailedTemporary: ++RelayFailedTemporary; break;
  case TStatEvent::RelayFailedPermanent: ++RelayFailedPermanent; break;
  case TStatEvent::MessageDeferredUnchecked: ++DeferredUnchecked; break;
  case TStatEvent::ClassifierPositive: ++ClassifierPositive; break;
  case TStatEvent::ClassifierNegative: ++ClassifierNegative; break;
  case TStatEvent::ClassifierNotTested: ++ClassifierNotTested; break;
  case TStatEvent::RspamdRefused: ++RefusedRspamd; break;
  case TStatEvent::RspamdDeferred: ++DeferredRspamd; break;
  case TStatEvent::RspamdAction:
    ++RspamdActions[static_cast<size_t>(std::clamp<long>(argument, 0, static_cast<long>(RspamdActions.size()) - 1))];
    break;
  case TStatEvent::TlsSessionStarted: ++TlsSessions[static_cast<size_t>(std::clamp(argument, 0L, 2L))]; break;
  case TStatEvent::DnsCheckTime: DnsCheck.Observe(argument); break;
  case TStatEvent::ScanTime: Scan.Observe(argument); break;
  case TStatEvent::ClassificationTime: Classification.Observe(argument); break;
  case TStatEvent::RelayTime: Relay.Observe(argument); break;
  case TStatEvent::RecipientRefusedByNextHop: ++RecipientsRefusedNextHop; break;
  case TStatEvent::RecipientCheckTime: RecipientCheck.Observe(argument); break;
  case TStatEvent::TransactionReplayed: ++TransactionsReplayed; break;
  default: break; // counted by the Statistics page only
  }
}

std::string TMetrics::Text(const TMetricGauges& gauges) const {
  std::string out;
  Family(out, "quibo_build_info", "gauge", "The running filter's version.");
  Sample(out, "quibo_build_info", "version=\"" + LabelValue(Version) + "\"", 1);

  Family(out, "quibo_connections_total", "counter", "Incoming connections by what became of them.");
  Sample(out, "quibo_connections_total", "result=\"served\"", Served.load());
  Sample(out, "quibo_connections_total", "result=\"refused_limit\"", RefusedByLimit.load());
  Sample(out, "quibo_connections_total", "result=\"refused_resources\"", RefusedForResources.load());

  Family(out, "quibo_messages_total", "counter", "Messages by outcome.");
  const std::pair<const char*, const TCounter*> outcomes[] = {
      {"relayed", &Relayed},
      {"dropped", &Dropped},
      {"refused_virus", &RefusedVirus},
      {"refused_blacklist", &RefusedBlacklist},
      {"relay_failed_temporary", &RelayFailedTemporary},
      {"relay_failed_permanent", &RelayFailedPermanent},
      {"deferred_unchecked", &DeferredUnchecked},
      {"refused_rspamd", &RefusedRspamd},
      {"deferred_rspamd", &DeferredRspamd},
  };
  for (const auto& [outcome, counter] : outcomes)
    Sample(out, "quibo_messages_total", std::string("outcome=\"") + outcome + "\"", counter->load());

  Family(out, "quibo_recipients_refused_relay_total", "counter", "Recipients refused for relaying.");
  Sample(out, "quibo_recipients_refused_relay_total", "", RecipientsRefusedRelay.load());

  Family(out, "quibo_recipients_refused_next_hop_total", "counter",
         "Recipients the next server refused when asked at RCPT.");
  Sample(out, "quibo_recipients_refused_next_hop_total", "", RecipientsRefusedNextHop.load());
  Family(out, "quibo_relay_transactions_replayed_total", "counter",
         "Transactions replayed on a new connection after the next server's was lost.");
  Sample(out, "quibo_relay_transactions_replayed_total", "", TransactionsReplayed.load());

  Family(out, "quibo_dnsbl_lookups_total", "counter", "DNS blacklist lookups by zone and result.");
  {
    std::lock_guard lock(ZoneLock);
    for (const auto& [name, zone] : Zones) {
      const std::string label = "zone=\"" + LabelValue(name) + "\",result=\"";
      Sample(out, "quibo_dnsbl_lookups_total", label + "listed\"", zone.Listed.load());
      Sample(out, "quibo_dnsbl_lookups_total", label + "clean\"", zone.Clean.load());
      Sample(out, "quibo_dnsbl_lookups_total", label + "timeout\"", zone.Timeout.load());
      Sample(out, "quibo_dnsbl_lookups_total", label + "error\"", zone.Error.load());
    }
  }

  Family(out, "quibo_classifier_results_total", "counter", "Classifier results.");
  Sample(out, "quibo_classifier_results_total", "result=\"positive\"", ClassifierPositive.load());
  Sample(out, "quibo_classifier_results_total", "result=\"negative\"", ClassifierNegative.load());
  Sample(out, "quibo_classifier_results_total", "result=\"not_tested\"", ClassifierNotTested.load());

  Family(out, "quibo_rspamd_actions_total", "counter", "rspamd's actions for the messages it scored.");
  for (size_t i = 0; i < RspamdActions.size(); ++i) {
    std::string action(kRspamdActionNames[i]);
    std::replace(action.begin(), action.end(), ' ', '_');
    Sample(out, "quibo_rspamd_actions_total", "action=\"" + action + "\"", RspamdActions[i].load());
  }

  Family(out, "quibo_tls_sessions_total", "counter", "STARTTLS sessions with senders by TLS protocol.");
  for (size_t i = 0; i < TlsSessions.size(); ++i)
    Sample(out, "quibo_tls_sessions_total", std::string("protocol=\"") + kTlsProtocolNames[i] + "\"",
           TlsSessions[i].load());

  Family(out, "quibo_sessions_active", "gauge", "Incoming connections open now.");
  Sample(out, "quibo_sessions_active", "", gauges.ActiveSessions);
  Family(out, "quibo_relay_connections_idle", "gauge", "Connections to next servers kept open between messages.");
  Sample(out, "quibo_relay_connections_idle", "", gauges.IdleRelayConnections);

  DnsCheck.Write(out, "quibo_dnsbl_check_seconds", "Time of the DNS blacklist check at MAIL FROM.");
  Scan.Write(out, "quibo_scan_seconds", "Time of the virus scan of a message.");
  Classification.Write(out, "quibo_classification_seconds", "Time of the classification of a message.");
  Relay.Write(out, "quibo_relay_seconds", "Time of the relay of a message to its next servers.");
  RecipientCheck.Write(out, "quibo_recipient_check_seconds", "Time of asking the next server about recipients.");
  return out;
}

} // namespace quibo
