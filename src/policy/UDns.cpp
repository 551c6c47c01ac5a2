#include "UDns.h"

#include "UAddress.h"

#include "UFunctions.h"

#include <algorithm>
#include <ares.h>
#include <arpa/inet.h>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <stdexcept>

namespace quibo {
namespace {

constexpr size_t kHeaderSize = 12;

struct TBatch;

struct TLookup {
  TBatch* Batch = nullptr;
  const TBlacklistZone* Zone = nullptr;
  std::string Name;
  bool Reported = false;
};

struct TBatch {
  TBatch(const TDnsReport& report, size_t zones) : Report(report), Lookups(zones), Pending(zones) {}
  const TDnsReport& Report;
  std::vector<TLookup> Lookups;
  size_t Pending = 0;
  bool Closing = false; // the waiter is done: late reports are ignored
  bool Listed = false;
  std::string FoundName;
};

// The configured DNS server as c-ares takes it; throws for a text that is no address.
ares_addr_port_node ServerNode(const std::string& text, int port) {
  ares_addr_port_node node{};
  const std::string address = CanonicalIp(Trimmed(text));
  if (address.empty()) throw std::runtime_error("Invalid DNS server address: " + text);
  if (IsIPv6Text(address)) {
    node.family = AF_INET6;
    ::inet_pton(AF_INET6, address.c_str(), &node.addr.addr6);
  } else {
    node.family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &node.addr.addr4);
  }
  node.udp_port = node.tcp_port = port;
  return node;
}

// An answer made only of addresses in 127.255.255.0/24: how blacklist
// operators say "this query was refused", not a listing.
bool IsOperatorErrorReply(const ares_addrttl* addresses, int count, std::string& first) {
  if (count <= 0) return false;
  for (int i = 0; i < count; ++i)
    if ((ntohl(addresses[i].ipaddr.s_addr) & 0xffffff00u) != 0x7fffff00u) return false;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addresses[0].ipaddr, text, sizeof text);
  first = text;
  return true;
}

void Report(TLookup& lookup, int status, const unsigned char* answer, int length) {
  TBatch& batch = *lookup.Batch;
  lookup.Reported = true;
  --batch.Pending;
  const long id = lookup.Zone->StatId;
  if (status == ARES_ETIMEOUT) {
    batch.Report.Statistic(TStatEvent::DnsLookupTimedOut, id);
    return;
  }
  const auto failed = [&batch, id] { batch.Report.Statistic(TStatEvent::DnsLookupFailed, id); };
  // No reply at all (a socket error, say): not listed.
  if (!answer || length < static_cast<int>(kHeaderSize)) return failed();
  const int responseCode = answer[3] & 0x0f;
  if (responseCode == 3) return batch.Report.Statistic(TStatEvent::DnsLookupClean, id); // NXDOMAIN: not listed
  if (responseCode != 0) return failed();
  ares_addrttl addresses[16];
  int count = 16;
  const int parsed = ares_parse_a_reply(answer, length, nullptr, addresses, &count);
  if (parsed == ARES_ENODATA)
    count = 0; // code 0 without an address still lists
  else if (parsed != ARES_SUCCESS)
    return failed(); // a malformed reply lists nobody
  std::string code;
  if (IsOperatorErrorReply(addresses, count, code)) {
    batch.Report.Log("DNS blacklist " + PrintableText(lookup.Zone->Zone) + " answered " + code +
                     ": an error reply of the zone, not a listing");
    return failed();
  }
  batch.Report.Statistic(TStatEvent::DnsLookupListed, id);
  batch.Listed = true;
  batch.FoundName = lookup.Name;
}

void OnReply(void* argument, int status, int, unsigned char* answer, int length) {
  auto& lookup = *static_cast<TLookup*>(argument);
  if (status == ARES_EDESTRUCTION || lookup.Batch->Closing || lookup.Reported) return;
  Report(lookup, status, answer, length);
}

class TChannel {
public:
  explicit TChannel(const TDnsSetup& setup) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    ares_options options{};
    options.flags = ARES_FLAG_NOCHECKRESP; // every reply reaches us, whatever its code
    options.timeout = setup.TimeoutMs;
    options.tries = 1;
    int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    char bindOnly[] = "b"; // look names up in the DNS only; the library copies it
    ares_addr_port_node server{};
    if (!setup.Server.empty()) {
      // A server of our own, IPv4 or IPv6: the system's resolver settings are not used.
      server = ServerNode(setup.Server, setup.Port);
      options.udp_port = static_cast<unsigned short>(setup.Port);
      options.ndomains = 0;
      options.ndots = 1;
      options.lookups = bindOnly;
      options.nsort = 0;
      mask |= ARES_OPT_UDP_PORT | ARES_OPT_DOMAINS | ARES_OPT_NDOTS | ARES_OPT_LOOKUPS | ARES_OPT_SORTLIST;
    }
    if (ares_init_options(&Handle, &options, mask) != ARES_SUCCESS)
      throw std::runtime_error("DNS resolver unavailable");
    if (!setup.Server.empty() && ares_set_servers_ports(Handle, &server) != ARES_SUCCESS) {
      ares_destroy(Handle);
      throw std::runtime_error("DNS resolver unavailable");
    }
  }
  ~TChannel() { ares_destroy(Handle); }
  TChannel(const TChannel&) = delete;
  TChannel& operator=(const TChannel&) = delete;

  // Runs the channel until nothing is pending or the deadline has passed.
  void Wait(const TBatch& batch, std::chrono::steady_clock::time_point deadline) {
    while (batch.Pending > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
      const int bits = ares_getsock(Handle, sockets, ARES_GETSOCK_MAXNUM);
      pollfd waits[ARES_GETSOCK_MAXNUM];
      nfds_t count = 0;
      for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        const short events = static_cast<short>((ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) |
                                                (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0));
        if (events) waits[count++] = {sockets[i], events, 0};
      }
      timeval limit{left.count() / 1000, (left.count() % 1000) * 1000}, chosen{};
      const timeval* next = ares_timeout(Handle, &limit, &chosen);
      const int waitMs = static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000);
      if (::poll(waits, count, waitMs) <= 0) {
        ares_process_fd(Handle, ARES_SOCKET_BAD, ARES_SOCKET_BAD); // time-outs
        continue;
      }
      for (nfds_t i = 0; i < count; ++i)
        if (waits[i].revents)
          ares_process_fd(Handle, waits[i].revents & (POLLIN | POLLERR | POLLHUP) ? waits[i].fd : ARES_SOCKET_BAD,
                          waits[i].revents & POLLOUT ? waits[i].fd : ARES_SOCKET_BAD);
    }
  }

  ares_channel Handle = nullptr;
};

} // namespace

std::string ReverseDottedName(const std::string& text) {
  if (text.find('.') == std::string::npos) return text;
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::reverse(parts.begin(), parts.end());
  return JoinText(parts, ".");
}

std::string NibbleName(const std::string& ip, bool reversed) {
  in6_addr address{};
  if (::inet_pton(AF_INET6, ip.c_str(), &address) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string nibbles;
  for (const unsigned char byte : address.s6_addr) {
    nibbles += kHex[byte >> 4];
    nibbles += kHex[byte & 0xf];
  }
  if (reversed) std::reverse(nibbles.begin(), nibbles.end());
  std::string name;
  for (const char nibble : nibbles) {
    if (!name.empty()) name += '.';
    name += nibble;
  }
  return name;
}

std::string BlacklistQueryName(const std::string& host, const TBlacklistZone& zone) {
  const bool reversed = zone.Flag != "0";
  if (IsIPv6Text(host)) return NibbleName(host, reversed) + "." + zone.Zone;
  return (reversed ? ReverseDottedName(host) : host) + "." + zone.Zone;
}

bool CheckDnsBlacklists(const std::string& host, const std::vector<TBlacklistZone>& zones, const TDnsSetup& setup,
                        const TDnsReport& report, std::string& foundName) {
  if (zones.empty()) return false;
  const int waitMs = std::max(setup.TimeoutMs, 1);
  TDnsSetup bounded = setup;
  bounded.TimeoutMs = waitMs;
  TBatch batch(report, zones.size()); // outlives the channel and its last callbacks
  for (size_t i = 0; i < zones.size(); ++i)
    batch.Lookups[i] = {&batch, &zones[i], BlacklistQueryName(host, zones[i])};
  TChannel channel(bounded);
  for (auto& lookup : batch.Lookups) {
    report.Statistic(TStatEvent::DnsLookupStarted, lookup.Zone->StatId);
    ares_query(channel.Handle, lookup.Name.c_str(), 1 /* IN */, 1 /* A */, OnReply, &lookup);
  }
  // c-ares reports its own time-out at waitMs; the margin lets it do so.
  channel.Wait(batch, std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs + 250));
  for (auto& lookup : batch.Lookups)
    if (!lookup.Reported) report.Statistic(TStatEvent::DnsLookupTimedOut, lookup.Zone->StatId);
  batch.Closing = true; // ~TChannel cancels what is left; those reports are ignored
  foundName = batch.FoundName;
  return batch.Listed;
}

} // namespace quibo
