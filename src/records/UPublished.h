// TPublished: an immutable value published by one thread (the window thread
// at apply, reload or an operator change) and read by many (connection
// threads): a reader gets either the old or the new copy, whole, and keeps
// it as long as it holds the pointer. A mutex guards only the swap and the
// copy of the pointer (the standard library's atomic shared_ptr here orders
// its load too weakly for ThreadSanitizer, and is no faster). Never fails.
#pragma once

#include <memory>
#include <mutex>

namespace quibo {

template <typename T> class TPublished {
public:
  void store(std::shared_ptr<const T> value) {
    std::lock_guard lock(Lock);
    Value.swap(value); // the old copy goes with the argument, after the lock
  }
  std::shared_ptr<const T> load() const {
    std::lock_guard lock(Lock);
    return Value;
  }

private:
  mutable std::mutex Lock;
  std::shared_ptr<const T> Value;
};

} // namespace quibo
