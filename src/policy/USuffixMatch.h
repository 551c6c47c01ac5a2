// The suffix rule of the policy lists: how a local domain, a sender pattern
// of the whitelist or a forwarding row's domain names an address. Used by the
// sender and relay checks and by the forwarding table; any thread; never
// fails.
#pragma once

#include <string>

namespace quibo {

// The tail of the address from the first occurrence of the entry equals the
// entry, case-insensitively: a domain names its sub-domains (and longer names
// that end in it), a full address only itself, an empty entry only "".
bool MatchesSuffix(const std::string& address, const std::string& entry);

} // namespace quibo
