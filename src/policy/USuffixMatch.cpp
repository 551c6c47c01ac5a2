#include "USuffixMatch.h"

#include "UFunctions.h"

namespace quibo {

bool MatchesSuffix(const std::string& address, const std::string& entry) {
  const std::string lowAddress = Lowered(address);
  const std::string lowEntry = Lowered(entry);
  const auto at = lowAddress.find(lowEntry);
  if (at == std::string::npos) return false;
  return lowAddress.substr(at) == lowEntry;
}

} // namespace quibo
