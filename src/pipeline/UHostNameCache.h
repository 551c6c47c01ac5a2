// THostNameCache: the host names of recent peers for the "Received:" header,
// kept for five minutes so that a busy sender is looked up once, not once per
// message; at most 1024 of them (then it starts afresh). A peer without a
// name is kept as "" like any other answer. Owned by TForm1 for the program's
// life; used by the message processing on the connection threads (one lock).
// ReverseLookup is the lookup itself; it never fails, it answers "".
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace quibo {

// The host name of an address by reverse lookup; "" when there is none.
std::string ReverseLookup(const std::string& ip);

class THostNameCache {
public:
  using TLookup = std::function<std::string(const std::string& ip)>;

  explicit THostNameCache(TLookup lookup = ReverseLookup) : Lookup(std::move(lookup)) {}
  std::string HostName(const std::string& ip);

private:
  using TSteadyClock = std::chrono::steady_clock;
  static constexpr size_t kCapacity = 1024;
  static constexpr auto kLifetime = std::chrono::minutes(5);

  TLookup Lookup;
  std::mutex Lock;
  std::unordered_map<std::string, std::pair<std::string, TSteadyClock::time_point>> Known;
};

} // namespace quibo
