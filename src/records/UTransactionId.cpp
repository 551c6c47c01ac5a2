#include "UTransactionId.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <sys/random.h>

namespace quibo {
namespace {

constexpr int kIdBytes = 6;

uint64_t FallbackBits() {
  static std::atomic<uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<uint64_t>(now) * 1000003u + counter.fetch_add(1);
}

} // namespace

std::string NewTransactionId() {
  unsigned char bytes[kIdBytes];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    uint64_t bits = FallbackBits();
    for (unsigned char& byte : bytes) {
      byte = static_cast<unsigned char>(bits);
      bits >>= 8;
    }
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string id;
  for (const unsigned char byte : bytes) {
    id += kDigits[byte >> 4];
    id += kDigits[byte & 0x0F];
  }
  return id;
}

} // namespace quibo
