#include "UHostNameCache.h"

#include "UAddress.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>

namespace quibo {
namespace {

struct TAddressListFree {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// Whether the name's addresses include ip.
bool ResolvesTo(const std::string& name, const std::string& ip) {
  addrinfo hints{};
  hints.ai_family = IsIPv6Text(ip) ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
  const std::unique_ptr<addrinfo, TAddressListFree> list(found);
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    sockaddr_storage address{};
    std::memcpy(&address, entry->ai_addr, std::min<size_t>(entry->ai_addrlen, sizeof address));
    if (SocketAddressText(address) == ip) return true;
  }
  return false;
}

} // namespace

TPeerName LookUpPeer(const std::string& ip) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!MakeSocketAddress(ip, 0, address, length)) return {};
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
    return {};
  return {host, ResolvesTo(host, ip)};
}

TPeerName THostNameCache::Peer(const std::string& ip) {
  const auto now = TSteadyClock::now();
  {
    std::lock_guard guard(Lock);
    const auto found = Known.find(ip);
    if (found != Known.end() && now - found->second.second < kLifetime) return found->second.first;
  }
  TPeerName peer = Lookup(ip); // not under the lock: other peers need not wait for this one's DNS
  std::lock_guard guard(Lock);
  if (Known.size() >= kCapacity) Known.clear();
  Known[ip] = {peer, now};
  return peer;
}

} // namespace quibo
