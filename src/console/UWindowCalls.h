// TWindowCalls: how a console request runs work on the window thread, where
// TForm1's parts live: the work is posted to the event queue and the
// request's thread waits for it, at most a few seconds, and never once the
// calls are stopped (the window thread stops them before it stops the
// server, so it never waits for a request that waits for it). Work that did
// not start in time is skipped when its turn comes. Any thread posts; the work
// runs on the window thread and must not throw.
#pragma once

#include "UEventQueue.h"

#include <atomic>
#include <chrono>
#include <functional>

namespace quibo {

class TWindowCalls {
public:
  static constexpr auto kLongestWait = std::chrono::seconds(10);

  explicit TWindowCalls(TEventQueue& events) : Events(events) {}

  // True when the work ran; what it produces it leaves in state the caller shares with it.
  bool Run(std::function<void()> work);
  void Stop() { Stopped = true; }
  void Resume() { Stopped = false; }

private:
  TEventQueue& Events;
  std::atomic<bool> Stopped{false};
};

} // namespace quibo
