// The screen log shown on the status page: at most 1001 lines, oldest out
// first. Lives on the window thread only; other threads hand lines over
// through the event queue. Never fails.
#pragma once

#include <deque>
#include <string>

namespace quibo {

class TScreenLog {
public:
  static constexpr size_t kMaxLines = 1001;

  void Append(std::string line) {
    if (Lines.size() >= kMaxLines) Lines.pop_front();
    Lines.push_back(std::move(line));
  }
  void Clear() { Lines.clear(); }
  const std::deque<std::string>& Contents() const { return Lines; }

private:
  std::deque<std::string> Lines;
};

} // namespace quibo
