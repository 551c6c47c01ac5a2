// TSmtpListener: one listening socket (backlog 15), its accept thread, and the
// set of live incoming connections, each run on a pooled connection thread.
// It refuses with a 421 line a connection beyond the per-address limit, and
// every connection while the process is out of descriptors (a spare one is
// kept for that), so the others go on being served.
// Called by TForm1 on the window thread (activate, stop, deactivate); the
// accept thread and connection threads are its own. Activate throws
// std::system_error on a bind or listen failure; Deactivate throws
// std::runtime_error("Terminate Thread Timeout") when connections outlive
// the wait.
#pragma once

#include "UThreadController.h"
#include "UThreadPool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace quibo {

class TLiveConnection final : public TPeerConnection {
public:
  TLiveConnection(int socket, std::string peerIp) : Socket(socket), Peer(std::move(peerIp)) {}
  ~TLiveConnection() override;

  long ThreadId() const override { return Thread.load(); }
  const std::string& PeerIp() const override { return Peer; }
  void Disconnect() override;
  bool Running() const override;
  bool WaitEnded(int milliseconds) override;

  int SocketHandle() const { return Socket; }
  void SetThreadId(long id) { Thread.store(id); }
  // Called by the connection thread when its session is over: closes the socket.
  void MarkEnded();

private:
  mutable std::mutex Lock;
  std::condition_variable EndedSignal;
  int Socket;
  bool Ended = false;
  std::string Peer;
  std::atomic<long> Thread{0};
};

class TSmtpListener {
public:
  // Runs one session on the calling connection thread.
  using TSessionRunner = std::function<void(const std::shared_ptr<TLiveConnection>&)>;

  explicit TSmtpListener(TSessionRunner runner);
  ~TSmtpListener();

  void Activate(const std::string& address, int port);
  void StopListening();
  void Deactivate(int waitMilliseconds);
  bool Active() const { return Activated; }
  bool Accepting() const { return AcceptThread.joinable(); }
  int BoundPort() const { return Port; }
  const std::string& BoundAddress() const { return Address; }

  size_t LiveCount() const;
  void SetMaxConnections(int limit) { MaxConnections.store(limit); }
  void SetMaxConnectionsPerIp(int limit) { MaxPerIp.store(limit); }
  // Receives the refusal notices (at most one a minute of each kind); set before Activate.
  void SetNotice(std::function<void(const std::string&)> notice) { Notice = std::move(notice); }
  // Disconnects every live connection and waits for each, up to the time given.
  bool DisconnectAll(int waitMilliseconds);

private:
  struct TRateLimitedNotice {
    std::chrono::steady_clock::time_point Last{};
    bool Due(); // true at most once a minute
  };
  void AcceptLoop();
  void Serve(int socket, const std::string& peerIp);
  // Out of descriptors: the spare one takes the next connection to refuse it.
  bool RefuseWithSpareDescriptor();
  void Refuse(int socket, const char* line);
  void Tell(TRateLimitedNotice& notice, const std::string& text);
  void Ended(const std::shared_ptr<TLiveConnection>& connection);

  TSessionRunner Runner;
  std::function<void(const std::string&)> Notice;
  std::atomic<int> MaxConnections{0};
  std::atomic<int> MaxPerIp{0};
  TRateLimitedNotice PerIpNotice, DescriptorNotice; // the accept thread's
  int SpareDescriptor = -1;
  bool Activated = false;
  std::string Address;
  int Port = 0;
  int ListenSocket = -1;
  int WakeEvent = -1;
  std::thread AcceptThread;
  mutable std::mutex LiveLock;
  std::set<std::shared_ptr<TLiveConnection>> Live;
  std::map<std::string, int> LivePerIp;
  TThreadPool Pool; // last: its threads use the members above until it is gone
};

} // namespace quibo
