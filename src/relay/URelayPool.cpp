#include "URelayPool.h"

namespace quibo {
namespace {

std::string Key(const std::string& host, int port, const std::string& greetedAs) {
  return host + ":" + std::to_string(port) + " " + greetedAs;
}

void Close(const std::vector<std::shared_ptr<TSmtpClient>>& clients) {
  for (const auto& client : clients)
    client->Quit();
}

} // namespace

TRelayPool::TRelayPool(std::chrono::steady_clock::duration idleLimit)
    : IdleLimit(idleLimit), Closer([this] { CloseIdleConnections(); }) {}

TRelayPool::~TRelayPool() {
  {
    std::lock_guard lock(Lock);
    Stopping = true;
  }
  Changed.notify_all();
  Closer.join();
  CloseAll();
}

std::chrono::steady_clock::time_point TRelayPool::NextExpiry() const {
  auto next = std::chrono::steady_clock::time_point::max();
  for (const auto& [key, idle] : Idle)
    for (const auto& entry : idle)
      next = std::min(next, entry.Since + IdleLimit);
  return next;
}

void TRelayPool::CloseIdleConnections() {
  std::unique_lock lock(Lock);
  while (!Stopping) {
    CloserWakesAt = NextExpiry();
    if (CloserWakesAt == std::chrono::steady_clock::time_point::max())
      Changed.wait(lock);
    else
      Changed.wait_until(lock, CloserWakesAt);
    if (Stopping) break;
    std::vector<std::shared_ptr<TSmtpClient>> closing;
    Expire(closing);
    lock.unlock();
    Close(closing); // the QUITs go out without the lock: a slow server holds up no relay
    lock.lock();
  }
}

void TRelayPool::Expire(std::vector<std::shared_ptr<TSmtpClient>>& closing) {
  const auto now = std::chrono::steady_clock::now();
  for (auto server = Idle.begin(); server != Idle.end();) {
    std::erase_if(server->second, [&](const TIdle& idle) {
      if (now - idle.Since < IdleLimit) return false;
      closing.push_back(idle.Connection.Client);
      return true;
    });
    server = server->second.empty() ? Idle.erase(server) : std::next(server);
  }
}

std::optional<TPooledConnection> TRelayPool::Take(const std::string& host, int port, const std::string& greetedAs) {
  std::vector<std::shared_ptr<TSmtpClient>> closing;
  std::optional<TPooledConnection> taken;
  {
    std::lock_guard lock(Lock);
    Expire(closing);
    const auto server = Idle.find(Key(host, port, greetedAs));
    while (server != Idle.end() && !server->second.empty() && !taken) {
      TIdle idle = std::move(server->second.back()); // the most recent: the least likely to be timed out
      server->second.pop_back();
      if (idle.Connection.Client->Quiet())
        taken = std::move(idle.Connection);
      else
        closing.push_back(idle.Connection.Client); // closed by the server, or it had something to say
    }
  }
  Close(closing);
  return taken;
}

void TRelayPool::Give(const std::string& host, int port, const std::string& greetedAs, TPooledConnection connection) {
  std::vector<std::shared_ptr<TSmtpClient>> closing;
  connection.Client->SetTap(nullptr);
  bool closerSleepsTooLong = false;
  {
    std::lock_guard lock(Lock);
    Expire(closing);
    auto& idle = Idle[Key(host, port, greetedAs)];
    const auto now = std::chrono::steady_clock::now();
    if (idle.size() < kIdlePerServer) {
      idle.push_back({std::move(connection), now});
      // Any other idle connection is due before this one, so the closing thread needs waking only when
      // it sleeps without a deadline: a wake-up per message would cost a thread switch on a busy filter.
      closerSleepsTooLong = now + IdleLimit < CloserWakesAt;
    } else {
      closing.push_back(connection.Client);
    }
  }
  if (closerSleepsTooLong) Changed.notify_all();
  Close(closing);
}

bool TRelayPool::Enter(const std::string& host, int port, std::chrono::steady_clock::time_point deadline) {
  const std::string server = host + ":" + std::to_string(port);
  std::unique_lock lock(Lock);
  if (!Left.wait_until(lock, deadline, [&] { return Open[server] < kTransactionsPerServer; })) return false;
  ++Open[server];
  return true;
}

void TRelayPool::Leave(const std::string& host, int port) {
  {
    std::lock_guard lock(Lock);
    const auto server = Open.find(host + ":" + std::to_string(port));
    if (server != Open.end() && server->second > 0 && --server->second == 0) Open.erase(server);
  }
  Left.notify_all(); // the waiters may wait for other servers
}

size_t TRelayPool::IdleCount() {
  std::lock_guard guard(Lock);
  size_t count = 0;
  for (const auto& [server, idle] : Idle)
    count += idle.size();
  return count;
}

void TRelayPool::CloseAll() {
  std::vector<std::shared_ptr<TSmtpClient>> closing;
  {
    std::lock_guard lock(Lock);
    for (auto& [key, idle] : Idle)
      for (auto& entry : idle)
        closing.push_back(entry.Connection.Client);
    Idle.clear();
  }
  Close(closing);
}

} // namespace quibo
