// The filter's own clamd client: asks clamd (ClamdSocket) about one message,
// streamed from where it is held (INSTREAM) or, over a Unix socket and when
// it is a file already, by handing clamd the open file (FILDES). TClamdPool
// keeps a few sessions per address open between messages and drops one that
// clamd closed before it is used; it also remembers the largest message
// clamd took as a stream, since clamd's StreamMaxLength is known only from
// its answers: a file is handed over only up to that size (FILDES has no
// stream limit, and a message over the limit must fail, not pass), a larger
// one is streamed and clamd's own answer decides. Called on connection
// threads and on the scanner test's worker (TForm1 owns the pool); any
// thread. Never throws: a scan without a verdict comes back with Failure set.
#pragma once

#include "UCancellation.h"
#include "UClamdConnection.h"
#include "UStoredMessage.h"
#include "UVirusCheck.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quibo {

class TClamdPool {
public:
  static constexpr size_t kIdlePerAddress = 4;
  // Shorter than clamd's own IdleTimeout (30 s unless configured).
  static constexpr auto kIdleLimit = std::chrono::seconds(20);

  // A kept session that clamd has not closed, or none.
  std::unique_ptr<TClamdConnection> Take(const std::string& address);
  // Keeps a session after a clean answer; one too many is closed.
  void Give(const std::string& address, std::unique_ptr<TClamdConnection> connection);
  // The largest message clamd took as a stream (0: none yet).
  uint64_t StreamedUpTo(const std::string& address);
  void Streamed(const std::string& address, uint64_t size);
  // After clamd could not be reached: it may come back with other limits.
  void Forget(const std::string& address);

private:
  struct TIdle {
    std::unique_ptr<TClamdConnection> Connection;
    std::chrono::steady_clock::time_point Since;
  };

  std::mutex Lock;
  std::map<std::string, std::vector<TIdle>> Idle;
  std::map<std::string, uint64_t> StreamLimit;
};

// The message as stored; file is its path in temp/ ("" when it is held in
// memory). A cancellation cuts the wait for clamd at once.
TScanResult ScanWithClamd(TClamdPool& pool, const std::string& clamdSocket, const std::filesystem::path& programFolder,
                          const TStoredMessage& message, const std::filesystem::path& file, int timeoutMs,
                          TCancellation* cancel = nullptr);

} // namespace quibo
