// Single instance per program folder: an exclusive lock on a file in the
// folder, and a Unix socket beside it through which a second start asks the
// running instance to show itself. Used by the program entry on the main
// thread; the show listener has a thread of its own that only calls the
// given callback. Failures to set up the socket are reported, not fatal.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace quibo {

class TInstanceGuard {
public:
  TInstanceGuard(std::filesystem::path folder, const std::string& programName);
  ~TInstanceGuard();
  TInstanceGuard(const TInstanceGuard&) = delete;
  TInstanceGuard& operator=(const TInstanceGuard&) = delete;

  // True when no other instance holds the folder.
  bool Acquire();
  // As the second instance: asks the first to show itself.
  bool SendShow() const;
  // As the first instance: onShow runs on the guard's thread for every request.
  // Returns the error text, or "" when listening.
  std::string ListenForShow(std::function<void()> onShow);
  // Ends the show listener; onShow is not called any more afterwards.
  void StopListening();

private:
  std::filesystem::path LockPath;
  std::filesystem::path SocketPath;
  int LockFile = -1;
  int Listener = -1;
  int WakeEvent = -1;
  std::thread ShowThread;
};

} // namespace quibo
