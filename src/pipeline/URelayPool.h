// TRelayPool: connections to next servers kept open between messages, so
// that a busy filter greets its mail server once and then only sends
// transactions (each begins with RSET). A connection comes back only after a
// clean transaction, is given out again only while the server has said
// nothing and not closed it, and is closed after a few seconds unused; a
// connection that turns out dead is replaced by a new one before anything of
// the message went out. Shared by the connection threads (TForm1 owns it);
// any thread; never throws.
#pragma once

#include "USmtpClient.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quibo {

struct TPooledConnection {
  std::shared_ptr<TSmtpClient> Client;
  bool Pipelining = false; // the server offered command pipelining when it was greeted
};

class TRelayPool {
public:
  static constexpr auto kIdleLimit = std::chrono::seconds(5);
  static constexpr size_t kIdlePerServer = 16;

  // An idle connection to the server greeted with this name, if one is still good.
  std::optional<TPooledConnection> Take(const std::string& host, int port, const std::string& greetedAs);
  // Keeps a connection after a clean transaction; one too many is closed with QUIT.
  void Give(const std::string& host, int port, const std::string& greetedAs, TPooledConnection connection);
  void CloseAll();
  // Connections kept open now, for the metrics.
  size_t IdleCount();
  ~TRelayPool() { CloseAll(); }

private:
  struct TIdle {
    TPooledConnection Connection;
    std::chrono::steady_clock::time_point Since;
  };
  // Closes what has been idle too long (under the lock; the QUITs go out after it).
  void Expire(std::vector<std::shared_ptr<TSmtpClient>>& closing);

  std::mutex Lock;
  std::map<std::string, std::vector<TIdle>> Idle;
};

} // namespace quibo
