#include "UAddress.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace quibo {
namespace {

std::string V4Text(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// glibc writes RFC 5952's form: lower case, the longest run of zero groups
// (the first of equal ones, never a single one) shortened to "::".
std::string V6Text(const in6_addr& address) {
  if (IN6_IS_ADDR_V4MAPPED(&address)) {
    in_addr v4{};
    std::memcpy(&v4, address.s6_addr + 12, sizeof v4);
    return V4Text(v4);
  }
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET6, &address, text, sizeof text);
  return text;
}

} // namespace

std::string CanonicalIp(std::string_view text) {
  const std::string value(text);
  in_addr v4{};
  if (::inet_pton(AF_INET, value.c_str(), &v4) == 1) return V4Text(v4);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, value.c_str(), &v6) == 1) return V6Text(v6);
  return {};
}

bool IsIPv6Text(std::string_view text) {
  in6_addr v6{};
  return ::inet_pton(AF_INET6, std::string(text).c_str(), &v6) == 1;
}

bool IsIpText(std::string_view text) { return !CanonicalIp(text).empty(); }

std::string SocketAddressText(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) return V4Text(reinterpret_cast<const sockaddr_in&>(address).sin_addr);
  if (address.ss_family == AF_INET6) return V6Text(reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
  return {};
}

bool MakeSocketAddress(std::string_view ip, int port, sockaddr_storage& address, socklen_t& length) {
  address = {};
  const std::string value(ip);
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  if (::inet_pton(AF_INET, value.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof v4;
    return true;
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (::inet_pton(AF_INET6, value.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof v6;
    return true;
  }
  return false;
}

} // namespace quibo
