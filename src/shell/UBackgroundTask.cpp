#include "UBackgroundTask.h"

#include <exception>

namespace quibo {

TBackgroundTask::~TBackgroundTask() {
  Cancel();
  if (Worker.joinable()) Worker.join();
}

bool TBackgroundTask::Start(TWork work) {
  if (Busy || Cancelled) return false;
  if (Worker.joinable()) Worker.join(); // the last run has posted its result and is ending
  Busy = true;
  Worker = std::thread([this, work = std::move(work), stop = Stop] {
    std::function<void()> result;
    std::string failure;
    try {
      result = work(*stop);
    } catch (const std::exception& error) {
      failure = error.what();
    } catch (...) {
      failure = "unknown error";
    }
    // The result is the window thread's: a failure reaches its error line there.
    Events.PostTask([this, result = std::move(result), failure] {
      Busy = false;
      if (!failure.empty()) throw std::runtime_error(failure);
      if (result) result();
    });
  });
  return true;
}

void TBackgroundTask::Cancel() {
  Cancelled = true;
  Stop->Cancel();
}

} // namespace quibo
