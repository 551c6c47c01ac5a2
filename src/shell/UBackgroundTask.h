// TBackgroundTask: one long operator action (learning, the scanner test, the
// test mail, the blacklist check) run on a thread of its own, so that the
// window thread never waits for it. The work gets a cancellation that ends its
// child process or connection; what it hands back runs on the window thread
// as a posted task, and only then does the task count as finished. One run at
// a time: starting while one runs is refused. Start, Running and Cancel are
// for the window thread; the destructor cancels and joins.
#pragma once

#include "UCancellation.h"
#include "UEventQueue.h"

#include <functional>
#include <memory>
#include <thread>

namespace quibo {

class TBackgroundTask {
public:
  // Runs on the task's thread; returns what then runs on the window thread.
  using TWork = std::function<std::function<void()>(TCancellation& cancel)>;

  explicit TBackgroundTask(TEventQueue& events) : Events(events) {}
  ~TBackgroundTask();
  TBackgroundTask(const TBackgroundTask&) = delete;
  TBackgroundTask& operator=(const TBackgroundTask&) = delete;

  // False when a run is still going (or its result has not reached the window thread yet).
  bool Start(TWork work);
  bool Running() const { return Busy; }
  // Ends the current run's wait and refuses every later start.
  void Cancel();

private:
  TEventQueue& Events;
  std::thread Worker;
  std::shared_ptr<TCancellation> Stop = std::make_shared<TCancellation>();
  bool Busy = false;
  bool Cancelled = false;
};

} // namespace quibo
