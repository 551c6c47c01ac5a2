// TMemoryTrim: hands the memory freed by a message back to the system, at
// most once a second: trimming after every message would only make the next
// one fault the pages in again. Owned by TForm1 for the program's life; called
// by the message processing on any connection thread (lock-free). Never
// fails.
#pragma once

#include <atomic>

namespace quibo {

class TMemoryTrim {
public:
  void AfterMessage();

private:
  std::atomic<long> LastTrimSecond{0};
};

} // namespace quibo
