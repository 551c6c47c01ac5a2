#include "UEventQueue.h"

#include <exception>

namespace quibo {
namespace {
// The longest a posted item that did not wake the loop waits to be handled.
constexpr auto kTick = std::chrono::milliseconds(100);
} // namespace

void TEventQueue::Post(int number, long argument, long argument2) {
  // Counters and statistics wait for the next tick; what the operator sees at once wakes the loop.
  const bool urgent = number == EvShowWindow || number == EvHideWindow || number == EvServiceState;
  std::lock_guard lock(Lock);
  Items.push_back({TEvent{number, argument, argument2}, nullptr});
  if (urgent) Wake.notify_one();
}

void TEventQueue::PostTask(TTask task, bool urgent) {
  std::lock_guard lock(Lock);
  Items.push_back({TEvent{}, std::move(task)});
  if (urgent) Wake.notify_one();
}

TEventQueue::TTimerId TEventQueue::AddTimer(std::chrono::milliseconds interval, TTask onTick) {
  std::lock_guard lock(Lock);
  Timers.push_back({interval, std::move(onTick), false, {}});
  return Timers.size() - 1;
}

void TEventQueue::EnableTimer(TTimerId timer, bool enabled) {
  std::lock_guard lock(Lock);
  Timers.at(timer).Enabled = enabled;
  Timers.at(timer).Due = std::chrono::steady_clock::now() + Timers.at(timer).Interval;
  Wake.notify_one();
}

bool TEventQueue::TimerEnabled(TTimerId timer) const {
  std::lock_guard lock(Lock);
  return Timers.at(timer).Enabled;
}

void TEventQueue::Quit() {
  std::lock_guard lock(Lock);
  Quitting = true;
  Wake.notify_one();
}

bool TEventQueue::TakeReady(TItem& item) {
  if (!Items.empty()) {
    item = std::move(Items.front());
    Items.pop_front();
    return true;
  }
  const auto now = std::chrono::steady_clock::now();
  for (auto& timer : Timers)
    if (timer.Enabled && timer.Due <= now) {
      timer.Due = now + timer.Interval;
      item = {TEvent{}, timer.OnTick};
      return true;
    }
  return false;
}

void TEventQueue::RunPending(const TEventHandler& onEvent) {
  while (true) {
    TItem item;
    {
      std::lock_guard lock(Lock);
      if (!TakeReady(item)) return;
    }
    item.Task ? item.Task() : onEvent(item.Event);
  }
}

void TEventQueue::Run(const TEventHandler& onEvent, const std::function<void(const std::string&)>& onError) {
  while (true) {
    TItem item;
    {
      std::unique_lock lock(Lock);
      while (!Quitting && !TakeReady(item)) {
        auto next = std::chrono::steady_clock::now() + kTick;
        for (const auto& timer : Timers)
          if (timer.Enabled && timer.Due < next) next = timer.Due;
        Wake.wait_until(lock, next);
      }
      if (Quitting) {
        if (Items.empty()) return;
        item = std::move(Items.front()); // what was posted before the end is still handled
        Items.pop_front();
      }
    }
    try {
      item.Task ? item.Task() : onEvent(item.Event);
    } catch (const std::exception& error) {
      onError(error.what());
    } catch (...) {
      onError("unknown error");
    }
  }
}

} // namespace quibo
