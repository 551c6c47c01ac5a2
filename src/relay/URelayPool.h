// TRelayPool: connections to next servers kept open between messages, so
// that a busy filter greets its mail server once and then only sends
// transactions (each begins with RSET). A connection comes back only after a
// clean transaction, is given out again only while the server has said
// nothing and not closed it, and is closed with QUIT once it has been unused
// for its limit (by the pool's own closing thread, which wakes when the next
// one is due) or at stop; a connection that turns out dead is replaced by a
// new one before anything of the message went out. It also bounds the
// transactions open at once towards each server (Enter, Leave): a
// transaction holds its connection from its first recipient to the end of
// the data. Shared by the connection threads (TForm1 owns it); any thread;
// never throws.
#pragma once

#include "USmtpClient.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quibo {

// What a next server offered in its EHLO reply.
struct TNextHopOffers {
  bool Pipelining = false;
  bool EightBitMime = false;
  bool SmtpUtf8 = false;
};

struct TPooledConnection {
  std::shared_ptr<TSmtpClient> Client;
  TNextHopOffers Offers; // when it was greeted
};

class TRelayPool {
public:
  static constexpr auto kIdleLimit = std::chrono::seconds(5);
  static constexpr size_t kIdlePerServer = 16;
  static constexpr size_t kTransactionsPerServer = kIdlePerServer;

  explicit TRelayPool(std::chrono::steady_clock::duration idleLimit = kIdleLimit);
  ~TRelayPool();
  TRelayPool(const TRelayPool&) = delete;
  TRelayPool& operator=(const TRelayPool&) = delete;

  // An idle connection to the server greeted with this name, if one is still good.
  std::optional<TPooledConnection> Take(const std::string& host, int port, const std::string& greetedAs);
  // Keeps a connection after a clean transaction; one too many is closed with QUIT.
  void Give(const std::string& host, int port, const std::string& greetedAs, TPooledConnection connection);
  void CloseAll();
  // A place among the transactions open towards a server, waited for until
  // the deadline; false when none came free by then. Each one taken is given
  // back with Leave.
  bool Enter(const std::string& host, int port, std::chrono::steady_clock::time_point deadline);
  void Leave(const std::string& host, int port);
  // Connections kept open now, for the metrics.
  size_t IdleCount();

private:
  struct TIdle {
    TPooledConnection Connection;
    std::chrono::steady_clock::time_point Since;
  };
  // Closes what has been idle too long (under the lock; the QUITs go out after it).
  void Expire(std::vector<std::shared_ptr<TSmtpClient>>& closing);
  // When the longest-idle connection reaches its limit (under the lock); none: max.
  std::chrono::steady_clock::time_point NextExpiry() const;
  // The closing thread: sleeps until the next connection is due and closes it.
  void CloseIdleConnections();

  const std::chrono::steady_clock::duration IdleLimit;
  std::mutex Lock;
  std::condition_variable Changed; // a connection came back, or the pool stops
  // When the closing thread wakes by itself (max: only when woken).
  std::chrono::steady_clock::time_point CloserWakesAt = std::chrono::steady_clock::time_point::max();
  bool Stopping = false;
  std::map<std::string, std::vector<TIdle>> Idle;
  std::map<std::string, size_t> Open; // transactions open per server
  std::condition_variable Left;       // a transaction gave its place back
  std::thread Closer;                 // last: it uses the members above
};

} // namespace quibo
