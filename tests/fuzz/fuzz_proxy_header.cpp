// Fuzz target: the PROXY header parser and reader. Checks that a header
// asking for more names a length beyond what it has and within the bound,
// that a finished header is judged the same from its own bytes alone, that
// a client address it gives is an address, and that the reader, fed in
// pieces, stops exactly where the parser says the header ends. Runs with
// libFuzzer.
#include "UProxyHeader.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

using namespace quibo;

namespace {

// Hands out the input in pieces of three bytes at most, and remembers how far it was read.
class TPieces final : public TByteSource {
public:
  explicit TPieces(std::string_view bytes) : Bytes(bytes) {}
  TIoResult ReadSome(char* buffer, size_t room, TDeadline) override {
    if (Taken == Bytes.size()) return {TIoStatus::Closed};
    const size_t count = std::min({room, size_t(3), Bytes.size() - Taken});
    std::memcpy(buffer, Bytes.data() + Taken, count);
    Taken += count;
    return {TIoStatus::Done, count};
  }
  std::string_view Bytes;
  size_t Taken = 0;
};

bool IsAddress(const std::string& text) {
  unsigned char raw[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, text.c_str(), raw) == 1 || ::inet_pton(AF_INET6, text.c_str(), raw) == 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const TProxyHeader header = ParseProxyHeader(bytes);
  switch (header.Status) {
  case TProxyStatus::NeedMore:
    if (header.Needed <= size || header.Needed > kMaxProxyHeaderLength) std::abort();
    break;
  case TProxyStatus::Done: {
    if (header.Needed > size) std::abort();
    const TProxyHeader alone = ParseProxyHeader(bytes.substr(0, header.Needed));
    if (alone.Status != TProxyStatus::Done || alone.ClientAddress != header.ClientAddress) std::abort();
    if (!header.ClientAddress.empty() && !IsAddress(header.ClientAddress)) std::abort();
    break;
  }
  case TProxyStatus::Invalid:
    if (header.Failure.empty()) std::abort();
    break;
  }
  TPieces source(bytes);
  const TProxyHeader read = ReadProxyHeader(source, kNoDeadline);
  if (read.Status == TProxyStatus::Done && (header.Status != TProxyStatus::Done || source.Taken != header.Needed))
    std::abort();
  if (source.Taken > kMaxProxyHeaderLength) std::abort();
  return 0;
}
