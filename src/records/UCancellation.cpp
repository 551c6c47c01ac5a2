#include "UCancellation.h"

namespace quibo {

void TCancellation::Cancel() {
  std::lock_guard lock(Lock);
  Done = true;
  if (Stop) Stop();
}

bool TCancellation::Cancelled() const {
  std::lock_guard lock(Lock);
  return Done;
}

bool TCancellation::Enter(std::function<void()> stop) {
  std::lock_guard lock(Lock);
  if (Done) return false;
  Stop = std::move(stop);
  return true;
}

void TCancellation::Leave() {
  std::lock_guard lock(Lock);
  Stop = nullptr;
}

} // namespace quibo
