// TCancellation: lets a forced disconnect end whatever a connection thread is
// waiting on (a scanner or classifier child, a relay to the next server).
// The waiting side registers how its wait is ended; Cancel runs that at once
// and makes every later registration fail, so nothing new starts for a
// connection that is being cut. Any thread; never throws.
#pragma once

#include <functional>
#include <mutex>

namespace quibo {

class TCancellation {
public:
  void Cancel();
  bool Cancelled() const;
  // Registers the way to end the current wait; false (nothing registered)
  // when the connection has been cancelled already.
  bool Enter(std::function<void()> stop);
  // Ends the registration; after it returns, Cancel no longer runs the action.
  void Leave();

private:
  mutable std::mutex Lock;
  std::function<void()> Stop;
  bool Done = false;
};

} // namespace quibo
