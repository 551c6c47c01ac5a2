#include "UHostNameCache.h"

#include "UAddress.h"

#include <netdb.h>
#include <sys/socket.h>

namespace quibo {

std::string ReverseLookup(const std::string& ip) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!MakeSocketAddress(ip, 0, address, length)) return {};
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
    return {};
  return host;
}

std::string THostNameCache::HostName(const std::string& ip) {
  const auto now = TSteadyClock::now();
  {
    std::lock_guard guard(Lock);
    const auto found = Known.find(ip);
    if (found != Known.end() && now - found->second.second < kLifetime) return found->second.first;
  }
  std::string host = Lookup(ip); // not under the lock: other peers need not wait for this one's DNS
  std::lock_guard guard(Lock);
  if (Known.size() >= kCapacity) Known.clear();
  Known[ip] = {host, now};
  return host;
}

} // namespace quibo
