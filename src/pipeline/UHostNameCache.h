// THostNameCache: the host names of recent peers, for the "Received:" header
// and for rspamd (which takes only a forward-confirmed name), kept for five
// minutes so that a busy sender is looked up once, not once per message; at
// most 1024 of them (then it starts afresh). A peer without a name is kept
// as "" like any other answer. Owned by TForm1 for the program's life; used
// by the message processing on the connection threads (one lock).
// LookUpPeer is the lookup itself; it never fails, it answers "".
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace quibo {

struct TPeerName {
  std::string Name;              // by reverse lookup; "" when there is none
  bool ForwardConfirmed = false; // the name resolves to the address it came from
};

// The host name of an address by reverse lookup, and whether it leads back to the address.
TPeerName LookUpPeer(const std::string& ip);

class THostNameCache {
public:
  using TLookup = std::function<TPeerName(const std::string& ip)>;

  explicit THostNameCache(TLookup lookup = LookUpPeer) : Lookup(std::move(lookup)) {}
  TPeerName Peer(const std::string& ip);

private:
  using TSteadyClock = std::chrono::steady_clock;
  static constexpr size_t kCapacity = 1024;
  static constexpr auto kLifetime = std::chrono::minutes(5);

  TLookup Lookup;
  std::mutex Lock;
  std::unordered_map<std::string, std::pair<TPeerName, TSteadyClock::time_point>> Known;
};

} // namespace quibo
