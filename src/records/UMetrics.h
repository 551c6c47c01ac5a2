// TMetrics: the numbers of the metrics endpoint, fed by the same statistics
// events as TStats (the window thread applies each event to both), and their
// text in the Prometheus exposition format. Counters and histograms only
// grow; no label grows with traffic (the DNS blacklist zones are the
// operator's, the TLS protocols a fixed few). Count runs on the window
// thread, Text on the endpoint's thread: every number is an atomic, the zone
// table has its own lock. Never fails.
#pragma once

#include "UEvents.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace quibo {

// What a scrape reads from the running filter at that moment.
struct TMetricGauges {
  size_t ActiveSessions = 0;
  size_t IdleRelayConnections = 0;
};

// The argument of TStatEvent::TlsSessionStarted for a protocol's name ("TLSv1.3").
long TlsProtocolArgument(const std::string& protocol);

class TMetrics {
public:
  explicit TMetrics(std::string version) : Version(std::move(version)) {}

  // The DNS lookup events name their zone; the others ignore it. The
  // argument is what the event carries (a duration in microseconds, a TLS
  // protocol).
  void Count(TStatEvent event, long argument = 0, const std::string& zone = {});
  std::string Text(const TMetricGauges& gauges) const;

private:
  struct THistogram {
    static constexpr std::array<double, 12> kBounds{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
    std::array<std::atomic<uint64_t>, kBounds.size() + 1> Buckets{}; // the last one: above every bound
    std::atomic<uint64_t> SumMicroseconds{0};
    void Observe(long microseconds);
    void Write(std::string& out, const std::string& name, const std::string& help) const;
  };
  struct TZone {
    std::atomic<uint64_t> Listed{0}, Clean{0}, Timeout{0}, Error{0};
  };
  using TCounter = std::atomic<uint64_t>;

  std::string Version;
  TCounter Served{0}, RefusedByLimit{0}, RefusedForResources{0};
  TCounter Relayed{0}, Dropped{0}, RefusedVirus{0}, RefusedBlacklist{0}, RelayFailedTemporary{0},
      RelayFailedPermanent{0}, DeferredUnchecked{0}, RefusedRspamd{0}, DeferredRspamd{0};
  TCounter RecipientsRefusedRelay{0}, RecipientsRefusedNextHop{0}, TransactionsReplayed{0};
  TCounter ClassifierPositive{0}, ClassifierNegative{0}, ClassifierNotTested{0};
  std::array<TCounter, kRspamdActionNames.size()> RspamdActions{}; // by TRspamdAction
  std::array<TCounter, 3> TlsSessions{};                           // TLSv1.2, TLSv1.3, any other
  THistogram DnsCheck, Scan, Classification, Relay, RecipientCheck;
  mutable std::mutex ZoneLock;
  std::map<std::string, TZone> Zones;
};

} // namespace quibo
