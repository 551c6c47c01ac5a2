// The screen log shown on the status page: at most 1001 lines, oldest out
// first. Lives on the window thread only; other threads hand lines over
// through the event queue. Never fails.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace quibo {

class TScreenLog {
public:
  static constexpr size_t kMaxLines = 1001;

  void Append(std::string line) {
    if (Lines.size() >= kMaxLines) Lines.pop_front();
    Lines.push_back(std::move(line));
    ++AppendedCount;
  }
  void Clear() { Lines.clear(); }
  const std::deque<std::string>& Contents() const { return Lines; }
  // Lines appended since the start, cleared ones included: a view tells its new lines by it.
  uint64_t Appended() const { return AppendedCount; }

private:
  std::deque<std::string> Lines;
  uint64_t AppendedCount = 0;
};

} // namespace quibo
