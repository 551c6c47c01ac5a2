// UAddress: IP addresses as text and as socket addresses, for IPv4 and IPv6
// alike. One form everywhere (lists, logs, Received, monitor): a.b.c.d, or
// RFC 5952 for IPv6 (lower case, the longest run of zero groups shortened);
// an IPv4 client of a dual-stack socket (::ffff:a.b.c.d) is a.b.c.d. Used by
// the listener, the relay client, the DNS blacklist check and the settings.
// Pure functions, any thread; an unparsable text gives an empty result.
#pragma once

#include <string>
#include <string_view>
#include <sys/socket.h>

namespace quibo {

// The canonical text of an address; "" when the text is no address.
std::string CanonicalIp(std::string_view text);
bool IsIPv6Text(std::string_view text);
// An IPv4 or IPv6 address, in any of its written forms.
bool IsIpText(std::string_view text);

// The canonical text of a socket's address (from accept or getsockname).
std::string SocketAddressText(const sockaddr_storage& address);

// A socket address for an address text and a port; false when the text is no address.
bool MakeSocketAddress(std::string_view ip, int port, sockaddr_storage& address, socklen_t& length);

} // namespace quibo
