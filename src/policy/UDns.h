// The DNS blacklist lookup: for one host address, every configured zone is
// asked at once (one c-ares channel carrying all questions, one A question
// each, recursion desired), so a check takes as long as the slowest zone and
// never longer than the DNS time-out, at most 10 s. A zone lists the host when
// its reply has response code 0, whatever the answer holds, except for an
// answer made only of 127.255.255.x addresses, which is the zone operator's
// error reply. Runs on the calling thread (a connection thread, or a worker
// for the operator's test). The lookup events (started, timed out, listed) go out through the
// report with the zone's statistics id. Throws std::runtime_error when the
// lookup cannot be set up (no resolver, a bad server address).
#pragma once

#include "UEvents.h"
#include "USettings.h"

#include <functional>
#include <string>
#include <vector>

namespace quibo {

struct TDnsSetup {
  std::string Server; // empty: the system's resolvers
  int Port = 53;
  int TimeoutMs = 5000;
};

struct TDnsReport {
  std::function<void(TStatEvent event, long zoneId)> Statistic;
  std::function<void(const std::string& line)> Log;
};

// The dot-separated parts in reverse order; a text without a dot unchanged.
std::string ReverseDottedName(const std::string& text);
// The 32 nibbles of an IPv6 address as DNS labels, the last first when reversed (RFC 5782); "" for no IPv6 address.
std::string NibbleName(const std::string& ip, bool reversed);
// The name asked of a zone for a host: reversed unless the zone's flag is "0".
std::string BlacklistQueryName(const std::string& host, const TBlacklistZone& zone);

// True when some zone lists the host; foundName is the query name of the
// last listing reply to arrive.
bool CheckDnsBlacklists(const std::string& host, const std::vector<TBlacklistZone>& zones, const TDnsSetup& setup,
                        const TDnsReport& report, std::string& foundName);

} // namespace quibo
