#include "UWindowCalls.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace quibo {
namespace {

struct TCall {
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;
  bool Abandoned = false;
};

} // namespace

bool TWindowCalls::Run(std::function<void()> work) {
  if (Stopped) return false;
  auto call = std::make_shared<TCall>();
  Events.PostTask([call, work = std::move(work)] {
    {
      std::lock_guard lock(call->Lock);
      if (call->Abandoned) return;
    }
    work();
    std::lock_guard lock(call->Lock);
    call->Finished = true;
    call->Done.notify_all();
  });
  const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
  std::unique_lock lock(call->Lock);
  while (!call->Finished && !Stopped && std::chrono::steady_clock::now() < deadline)
    call->Done.wait_for(lock, std::chrono::milliseconds(50));
  if (!call->Finished) call->Abandoned = true;
  return call->Finished;
}

} // namespace quibo
