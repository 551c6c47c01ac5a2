#include "UThreadPool.h"

#include <chrono>
#include <pthread.h>

namespace quibo {
namespace {
constexpr auto kIdleLifetime = std::chrono::seconds(30);
}

TThreadPool::~TThreadPool() {
  std::unique_lock lock(Lock);
  Closing = true;
  JobReady.notify_all();
  AllGone.wait(lock, [this] { return Threads == 0; });
}

bool TThreadPool::Submit(std::function<void()> job) {
  std::lock_guard lock(Lock);
  if (Closing) return false;
  if (Idle > Jobs.size()) {
    Jobs.push_back(std::move(job));
    JobReady.notify_one();
    return true;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, StackBytes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  Jobs.push_back(std::move(job));
  ++Threads;
  ++Idle; // counted as idle until it takes the job
  const bool started = pthread_create(&thread, &attributes, &TThreadPool::ThreadMain, this) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) {
    Jobs.pop_back();
    --Threads;
    --Idle;
  }
  return started;
}

void* TThreadPool::ThreadMain(void* pool) {
  static_cast<TThreadPool*>(pool)->Work();
  return nullptr;
}

void TThreadPool::Work() {
  std::unique_lock lock(Lock);
  while (true) {
    if (!JobReady.wait_for(lock, kIdleLifetime, [this] { return !Jobs.empty() || Closing; })) break;
    if (Jobs.empty()) break; // closing
    auto job = std::move(Jobs.front());
    Jobs.pop_front();
    --Idle;
    lock.unlock();
    job();
    job = nullptr;
    lock.lock();
    ++Idle;
  }
  --Idle;
  --Threads;
  if (Threads == 0) AllGone.notify_all();
}

} // namespace quibo
