// TCancellation: lets a forced disconnect end whatever a connection thread is
// waiting on (a scanner or classifier child, a relay to the next server).
// The waiting side registers how its wait is ended; Cancel runs that at once
// and makes every later registration fail, so nothing new starts for a
// connection that is being cut. TCancellationScope holds a registration for
// a scope. Any thread; never throws.
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

// A wait registered with a connection's cancellation for as long as the
// scope lives, left however the scope is left. Without a cancellation there
// is nothing to register and the wait may go on.
class TCancellationScope {
public:
  TCancellationScope(TCancellation* cancellation, std::function<void()> stop)
      : Cancellation(cancellation), Entered(!cancellation || cancellation->Enter(std::move(stop))) {}
  ~TCancellationScope() {
    if (Cancellation && Entered) Cancellation->Leave();
  }
  TCancellationScope(const TCancellationScope&) = delete;
  TCancellationScope& operator=(const TCancellationScope&) = delete;
  // False when the connection was cancelled already: the wait must not start.
  bool MayWait() const { return Entered; }

private:
  TCancellation* Cancellation;
  bool Entered;
};

} // namespace quibo
