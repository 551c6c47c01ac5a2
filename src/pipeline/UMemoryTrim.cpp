#include "UMemoryTrim.h"

#include <chrono>
#include <malloc.h>

namespace quibo {

void TMemoryTrim::AfterMessage() {
  const long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  long previous = LastTrimSecond.load();
  if (now > previous && LastTrimSecond.compare_exchange_strong(previous, now)) ::malloc_trim(0);
}

} // namespace quibo
