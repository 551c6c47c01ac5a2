#include "UEventQueue.h"

#include <exception>
#include <system_error>

#include <sys/timerfd.h>
#include <unistd.h>

namespace quibo {
namespace {
// The longest a posted item that did not wake the loop waits to be handled.
constexpr auto kTick = std::chrono::milliseconds(100);

// Runs one item; with onError its failure is reported there instead of thrown.
template <class TItem>
void Handle(const TItem& item, const TEventQueue::TEventHandler& onEvent,
            const std::function<void(const std::string&)>& onError) {
  if (!onError) {
    item.Task ? item.Task() : onEvent(item.Event);
    return;
  }
  try {
    item.Task ? item.Task() : onEvent(item.Event);
  } catch (const std::exception& error) {
    onError(error.what());
  } catch (...) {
    onError("unknown error");
  }
}
} // namespace

void TEventQueue::Post(int number, long argument, long argument2) {
  // Counters and statistics wait for the next tick; what the operator sees at once wakes the loop.
  const bool urgent = number == EvShowWindow || number == EvHideWindow || number == EvServiceState;
  std::lock_guard lock(Lock);
  Items.push_back({TEvent{number, argument, argument2}, nullptr});
  if (urgent) Wake.notify_one();
  WakeHostLocked(urgent);
}

void TEventQueue::PostTask(TTask task, bool urgent) {
  std::lock_guard lock(Lock);
  Items.push_back({TEvent{}, std::move(task)});
  if (urgent) Wake.notify_one();
  WakeHostLocked(urgent);
}

void TEventQueue::WakeHostLocked(bool urgent) {
  if (HostWake < 0 || Armed == TArmed::Now || (!urgent && Armed == TArmed::Tick)) return;
  itimerspec due{};
  if (urgent)
    due.it_value.tv_nsec = 1; // as soon as possible (zero would disarm)
  else
    due.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(kTick).count();
  ::timerfd_settime(HostWake, 0, &due, nullptr);
  Armed = urgent ? TArmed::Now : TArmed::Tick;
}

int TEventQueue::AttachHost(TTimerHost onTimer) {
  const int descriptor = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (descriptor < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
  std::vector<TTimer> timers;
  {
    std::lock_guard lock(Lock);
    HostWake = descriptor;
    HostTimers = std::move(onTimer);
    Armed = TArmed::No;
    if (!Items.empty() || QuitRequested) WakeHostLocked(true);
    timers = Timers;
  }
  for (size_t timer = 0; timer < timers.size(); ++timer)
    HostTimers(timer, timers[timer].Enabled, timers[timer].Interval);
  return descriptor;
}

void TEventQueue::DetachHost() {
  std::lock_guard lock(Lock);
  if (HostWake >= 0) ::close(HostWake);
  HostWake = -1;
  HostTimers = nullptr;
}

void TEventQueue::TakeWake() {
  std::lock_guard lock(Lock);
  uint64_t expirations = 0;
  if (HostWake >= 0 && ::read(HostWake, &expirations, sizeof expirations) < 0) {
    // nothing to read: it was not due yet
  }
  Armed = TArmed::No;
}

void TEventQueue::FireTimer(TTimerId timer) {
  TTask tick;
  {
    std::lock_guard lock(Lock);
    auto& entry = Timers.at(timer);
    if (!entry.Enabled) return; // disabled after the host's timer had fired
    entry.Due = std::chrono::steady_clock::now() + entry.Interval;
    tick = entry.OnTick;
  }
  tick();
}

bool TEventQueue::Quitting() const {
  std::lock_guard lock(Lock);
  return QuitRequested;
}

TEventQueue::TTimerId TEventQueue::AddTimer(std::chrono::milliseconds interval, TTask onTick) {
  std::lock_guard lock(Lock);
  Timers.push_back({interval, std::move(onTick), false, {}});
  return Timers.size() - 1;
}

void TEventQueue::EnableTimer(TTimerId timer, bool enabled) {
  TTimerHost host;
  std::chrono::milliseconds interval{};
  {
    std::lock_guard lock(Lock);
    Timers.at(timer).Enabled = enabled;
    Timers.at(timer).Due = std::chrono::steady_clock::now() + Timers.at(timer).Interval;
    Wake.notify_one();
    host = HostTimers;
    interval = Timers.at(timer).Interval;
  }
  if (host) host(timer, enabled, interval);
}

bool TEventQueue::TimerEnabled(TTimerId timer) const {
  std::lock_guard lock(Lock);
  return Timers.at(timer).Enabled;
}

void TEventQueue::Quit() {
  std::lock_guard lock(Lock);
  QuitRequested = true;
  Wake.notify_one();
  WakeHostLocked(true);
}

bool TEventQueue::TakeReady(TItem& item) {
  if (!Items.empty()) {
    item = std::move(Items.front());
    Items.pop_front();
    return true;
  }
  if (HostWake >= 0) return false; // the host runs the timers
  const auto now = std::chrono::steady_clock::now();
  for (auto& timer : Timers)
    if (timer.Enabled && timer.Due <= now) {
      timer.Due = now + timer.Interval;
      item = {TEvent{}, timer.OnTick};
      return true;
    }
  return false;
}

void TEventQueue::RunPending(const TEventHandler& onEvent, const std::function<void(const std::string&)>& onError) {
  while (true) {
    TItem item;
    {
      std::lock_guard lock(Lock);
      if (!TakeReady(item)) return;
    }
    Handle(item, onEvent, onError);
  }
}

void TEventQueue::Run(const TEventHandler& onEvent, const std::function<void(const std::string&)>& onError) {
  while (true) {
    TItem item;
    {
      std::unique_lock lock(Lock);
      while (!QuitRequested && !TakeReady(item)) {
        auto next = std::chrono::steady_clock::now() + kTick;
        for (const auto& timer : Timers)
          if (timer.Enabled && timer.Due < next) next = timer.Due;
        Wake.wait_until(lock, next);
      }
      if (QuitRequested) {
        if (Items.empty()) return;
        item = std::move(Items.front()); // what was posted before the end is still handled
        Items.pop_front();
      }
    }
    Handle(item, onEvent, onError);
  }
}

} // namespace quibo
