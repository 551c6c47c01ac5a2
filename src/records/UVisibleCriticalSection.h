// TVisibleCriticalSection: a counter of concurrent holders that reports
// overlap instead of blocking. The log writers enter it around every line;
// when another holder is already inside, the reporter is called with the
// number of holders found (the window thread turns that into the EvBusy log
// line). Any thread; never fails, never blocks.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace quibo {

class TVisibleCriticalSection {
public:
  using TReporter = std::function<void(int holders)>;
  explicit TVisibleCriticalSection(TReporter reporter) : Reporter(std::move(reporter)) {}

  void Acquire() {
    const int holders = Holders.fetch_add(1, std::memory_order_relaxed);
    if (holders > 0 && Reporter) Reporter(holders);
  }
  void Release() { Holders.fetch_sub(1, std::memory_order_relaxed); }
  int HolderCount() const { return Holders.load(std::memory_order_relaxed); }

private:
  TReporter Reporter;
  std::atomic<int> Holders{0};
};

// Scoped holder for TVisibleCriticalSection.
class TVisibleGuard {
public:
  explicit TVisibleGuard(TVisibleCriticalSection& section) : Section(section) { Section.Acquire(); }
  ~TVisibleGuard() { Section.Release(); }
  TVisibleGuard(const TVisibleGuard&) = delete;
  TVisibleGuard& operator=(const TVisibleGuard&) = delete;

private:
  TVisibleCriticalSection& Section;
};

// The text the window thread logs for a contention report.
inline std::string BusyText(int holders) {
  return "Quibo dederazu says: Oh oh, I'm doing " + std::to_string(holders + 1) + " things the same time!";
}

} // namespace quibo
