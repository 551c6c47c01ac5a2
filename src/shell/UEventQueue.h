// The window thread's event loop: posted events (a number and two integer
// arguments), posted tasks, and timers. Worker threads only post; they never
// wait on the window thread. Run() returns after Quit(). Posting after Quit
// is harmless (the item is dropped when the loop is gone). Instead of Run(),
// another loop may host the queue (the desktop's GUI loop): it watches a
// descriptor that becomes readable when posted work is due and runs the
// timers itself. Failing system calls throw std::system_error.
#pragma once

#include "UEvents.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace quibo {

struct TEvent {
  int Number = 0;
  long Argument = 0;
  long Argument2 = 0;
};

class TEventQueue {
public:
  using TEventHandler = std::function<void(const TEvent&)>;
  using TTask = std::function<void()>;
  using TTimerId = size_t;

  // Events of the counters and statistics are handled within a tick (100 ms);
  // show, hide and service-state events and urgent tasks wake the loop at once.
  void Post(int number, long argument = 0, long argument2 = 0);
  void PostTask(TTask task, bool urgent = true);

  TTimerId AddTimer(std::chrono::milliseconds interval, TTask onTick);
  void EnableTimer(TTimerId timer, bool enabled); // enabling restarts the interval
  bool TimerEnabled(TTimerId timer) const;

  // Runs on the calling thread until Quit; exceptions of handlers go to onError.
  void Run(const TEventHandler& onEvent, const std::function<void(const std::string&)>& onError);
  void Quit();
  // Handles what is due now without waiting (tests, and a host when woken).
  // With onError, a failing item is reported there and the rest still run.
  void RunPending(const TEventHandler& onEvent, const std::function<void(const std::string&)>& onError = nullptr);

  // Hosting by another loop. The returned descriptor becomes readable at once
  // for urgent posts and Quit, within a tick for the other posts; the host then
  // calls TakeWake() and RunPending(). Timers are the host's: onTimer hears of
  // every timer's state now and of every change later (on the calling thread
  // of EnableTimer, the window thread), and the host calls FireTimer when one
  // is due. DetachHost ends it; the descriptor is closed.
  using TTimerHost = std::function<void(TTimerId timer, bool enabled, std::chrono::milliseconds interval)>;
  int AttachHost(TTimerHost onTimer);
  void DetachHost();
  void TakeWake();
  void FireTimer(TTimerId timer);
  bool Quitting() const;

private:
  struct TItem {
    TEvent Event;
    TTask Task;
  };
  struct TTimer {
    std::chrono::milliseconds Interval;
    TTask OnTick;
    bool Enabled = false;
    std::chrono::steady_clock::time_point Due;
  };
  // Takes the next ready item or due timer; false when none is ready.
  bool TakeReady(TItem& item);
  // Host mode: makes the descriptor readable now, or after a tick unless it will be sooner.
  void WakeHostLocked(bool urgent);

  mutable std::mutex Lock;
  std::condition_variable Wake;
  std::deque<TItem> Items;
  std::vector<TTimer> Timers;
  bool QuitRequested = false;
  int HostWake = -1;     // the host's timer descriptor; -1 when Run() is the loop
  TTimerHost HostTimers; // the host's timers
  enum class TArmed { No, Tick, Now } Armed = TArmed::No;
};

} // namespace quibo
