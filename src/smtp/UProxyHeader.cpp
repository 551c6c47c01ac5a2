#include "UProxyHeader.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <netinet/in.h>
#include <vector>

namespace quibo {
namespace {

constexpr std::string_view kTextPrefix = "PROXY ";
constexpr std::string_view kBinarySignature("\r\n\r\n\0\r\nQUIT\n", 12);
constexpr size_t kShortestHeader = 15; // "PROXY UNKNOWN\r\n"; the binary form is 16 at least
constexpr size_t kLongestTextHeader = 107;
constexpr size_t kBinaryFixedPart = 16;

TProxyHeader NeedMore(size_t needed) {
  TProxyHeader header;
  header.Needed = needed;
  return header;
}

TProxyHeader Invalid(std::string why) {
  TProxyHeader header;
  header.Status = TProxyStatus::Invalid;
  header.Failure = std::move(why);
  return header;
}

TProxyHeader Done(size_t length, std::string client = {}, bool healthCheck = false) {
  TProxyHeader header;
  header.Status = TProxyStatus::Done;
  header.Needed = length;
  header.ClientAddress = std::move(client);
  header.HealthCheck = healthCheck;
  return header;
}

// The address in its usual text; an IPv4 address mapped into IPv6 as IPv4,
// so the lists and the DNS blacklists see it as they would without a balancer.
std::string AddressText(int family, const void* raw) {
  char text[INET6_ADDRSTRLEN] = {};
  if (family == AF_INET6) {
    in6_addr address;
    std::memcpy(&address, raw, sizeof address);
    if (IN6_IS_ADDR_V4MAPPED(&address)) return AddressText(AF_INET, &address.s6_addr[12]);
  }
  ::inet_ntop(family, raw, text, sizeof text);
  return text;
}

bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value <= 65535;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while (true) {
    const size_t blank = line.find(' ', start);
    words.push_back(line.substr(start, blank - start));
    if (blank == std::string_view::npos) return words;
    start = blank + 1;
  }
}

// "PROXY TCP4 <source> <destination> <source port> <destination port>", or "PROXY UNKNOWN ...".
TProxyHeader ParseTextLine(std::string_view line, size_t length) {
  const auto words = Words(line.substr(kTextPrefix.size()));
  if (words[0] == "UNKNOWN") return Done(length);
  const int family = words[0] == "TCP4" ? AF_INET : words[0] == "TCP6" ? AF_INET6 : AF_UNSPEC;
  if (family == AF_UNSPEC) return Invalid("unknown protocol in the PROXY line");
  if (words.size() != 5) return Invalid("PROXY line without its four fields");
  unsigned char raw[sizeof(in6_addr)];
  for (size_t i = 1; i <= 2; ++i)
    if (::inet_pton(family, std::string(words[i]).c_str(), raw) != 1) return Invalid("bad address in the PROXY line");
  if (!IsPort(words[3]) || !IsPort(words[4])) return Invalid("bad port in the PROXY line");
  ::inet_pton(family, std::string(words[1]).c_str(), raw);
  return Done(length, AddressText(family, raw));
}

TProxyHeader ParseText(std::string_view bytes) {
  const std::string_view window = bytes.substr(0, kLongestTextHeader);
  const size_t lineFeed = window.find('\n');
  if (lineFeed == std::string_view::npos)
    return bytes.size() >= kLongestTextHeader ? Invalid("PROXY line too long")
                                              : NeedMore(std::max(kShortestHeader, bytes.size() + 1));
  if (lineFeed == 0 || window[lineFeed - 1] != '\r') return Invalid("PROXY line not ended by CR LF");
  const std::string_view line = window.substr(0, lineFeed - 1);
  if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos)
    return Invalid("control character in the PROXY line");
  return ParseTextLine(line, lineFeed + 1);
}

TProxyHeader ParseBinary(std::string_view bytes) {
  if (bytes.size() < kBinaryFixedPart) return NeedMore(kBinaryFixedPart);
  const auto byte = [&bytes](size_t at) { return static_cast<unsigned char>(bytes[at]); };
  const unsigned version = byte(12) >> 4, command = byte(12) & 0x0F;
  if (version != 2) return Invalid("unknown PROXY header version");
  if (command > 1) return Invalid("unknown PROXY header command");
  const size_t length = kBinaryFixedPart + (size_t(byte(14)) << 8 | byte(15));
  if (length > kMaxProxyHeaderLength) return Invalid("PROXY header too long");
  if (bytes.size() < length) return NeedMore(length);
  if (command == 0) return Done(length, {}, true); // LOCAL: the balancer's own health check
  // What follows the addresses (type-length-value extensions) is not needed here.
  switch (byte(13)) {
  case 0x00: return Done(length); // UNSPEC: the balancer could not tell
  case 0x31: return Done(length); // a Unix socket: no address to take
  case 0x11:
    if (length < kBinaryFixedPart + 12) return Invalid("PROXY header too short for its addresses");
    return Done(length, AddressText(AF_INET, bytes.data() + kBinaryFixedPart));
  case 0x21:
    if (length < kBinaryFixedPart + 36) return Invalid("PROXY header too short for its addresses");
    return Done(length, AddressText(AF_INET6, bytes.data() + kBinaryFixedPart));
  default: return Invalid("PROXY header for another transport than TCP");
  }
}

bool BeginsLike(std::string_view bytes, std::string_view form) {
  return form.substr(0, std::min(bytes.size(), form.size())) == bytes.substr(0, std::min(bytes.size(), form.size()));
}

} // namespace

TProxyHeader ParseProxyHeader(std::string_view bytes) {
  if (bytes.empty()) return NeedMore(kShortestHeader);
  if (BeginsLike(bytes, kTextPrefix))
    return bytes.size() < kTextPrefix.size() ? NeedMore(kShortestHeader) : ParseText(bytes);
  if (BeginsLike(bytes, kBinarySignature))
    return bytes.size() < kBinarySignature.size() ? NeedMore(kBinaryFixedPart) : ParseBinary(bytes);
  return Invalid("not a PROXY header");
}

TProxyHeader ReadProxyHeader(TByteSource& source, TDeadline deadline) {
  std::string bytes;
  char chunk[kMaxProxyHeaderLength];
  TProxyHeader header = ParseProxyHeader(bytes);
  while (header.Status == TProxyStatus::NeedMore) {
    // Never more than the header still needs: what follows it is the session's.
    const TIoResult read = source.ReadSome(chunk, header.Needed - bytes.size(), deadline);
    if (read.Status == TIoStatus::Timeout) return Invalid("no PROXY header in time");
    if (read.Status == TIoStatus::Closed)
      return Invalid(bytes.empty() ? std::string() : "connection closed inside the PROXY header");
    bytes.append(chunk, read.Count);
    header = ParseProxyHeader(bytes);
  }
  return header;
}

} // namespace quibo
