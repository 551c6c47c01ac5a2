// A pool of connection threads with a small stack. A job runs on an idle
// thread when there is one, else on a new thread; threads idle for a while
// leave the pool. The listener starts its accepting connection threads with
// it. Submit returns false when no thread could be started.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace quibo {

class TThreadPool {
public:
  explicit TThreadPool(size_t stackBytes = 256 * 1024) : StackBytes(stackBytes) {}
  ~TThreadPool(); // waits for every thread to leave
  TThreadPool(const TThreadPool&) = delete;
  TThreadPool& operator=(const TThreadPool&) = delete;

  bool Submit(std::function<void()> job);

private:
  static void* ThreadMain(void* pool);
  void Work();

  const size_t StackBytes;
  std::mutex Lock;
  std::condition_variable JobReady;
  std::condition_variable AllGone;
  std::deque<std::function<void()>> Jobs;
  size_t Threads = 0;
  size_t Idle = 0;
  bool Closing = false;
};

} // namespace quibo
