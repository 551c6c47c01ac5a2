// TSmtpListener: one listening socket (backlog 1024), the set of live incoming
// connections, and the connection threads that take them: idle threads take
// turns in accept themselves, and the one that takes a connection runs its
// session (the next takes its turn), so no connection waits for a hand-over
// between threads.
// It refuses with a 421 line a connection beyond the per-address limit (the
// site's own hosts, in [LocalIP], are exempt), and
// every connection while the process is out of descriptors (a spare one is
// kept for that), so the others go on being served. A connection from a
// trusted load balancer must begin with a PROXY header, which the connection
// thread reads before the session starts: the client's address it carries is
// the connection's address from then on, the per-address limit included.
// Address "::" listens on every IPv4 and IPv6 address (one dual-stack
// socket); an IPv6 address listens there only. Peers are named in the one
// canonical form of UAddress.
// Called by TForm1 on the window thread (activate, stop, deactivate); the
// connection threads are its own. Activate throws
// std::system_error on a bind or listen failure; Deactivate throws
// std::runtime_error("Terminate Thread Timeout") when connections outlive
// the wait.
#pragma once

#include "UEvents.h"
#include "UReplies.h"
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
  // The client's address: the accepted peer's, or the one its balancer's PROXY header named.
  const std::string& PeerIp() const override { return Peer; }
  // The balancer the connection came through; empty for a direct one.
  const std::string& BalancerIp() const { return Balancer; }
  // The balancer's own health check (a PROXY header without a client).
  bool HealthCheck() const { return Check; }
  // Takes what a PROXY header said; only before the session starts, on the connection's thread.
  void TakeProxyHeader(const std::string& clientIp, bool healthCheck);
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
  std::string Balancer;
  bool Check = false;
  bool CountedForAddress = false; // the listener's, under its LiveLock
  std::atomic<long> Thread{0};
  friend class TSmtpListener;
};

class TSmtpListener {
public:
  // Runs one session on the calling connection thread.
  using TSessionRunner = std::function<void(const std::shared_ptr<TLiveConnection>&)>;
  // How long a connection from the address may take for its PROXY header; 0: it sends none.
  using TProxyWait = std::function<int(const std::string& peerIp)>;
  // Told about a refused PROXY header (thread, balancer, reason), on the connection's thread.
  using TProxyReport = std::function<void(long thread, const std::string& balancer, const std::string& reason)>;

  explicit TSmtpListener(TSessionRunner runner);
  ~TSmtpListener();

  void Activate(const std::string& address, int port);
  void StopListening();
  void Deactivate(int waitMilliseconds);
  bool Active() const { return Activated; }
  bool Accepting() const;
  int BoundPort() const { return Port; }
  const std::string& BoundAddress() const { return Address; }

  size_t LiveCount() const;
  void SetMaxConnections(int limit) { MaxConnections.store(limit); }
  void SetMaxConnectionsPerIp(int limit) { MaxPerIp.store(limit); }
  // The [LocalIP] prefixes: clients there are never held to the per-address limit.
  void SetPerIpExempt(std::vector<std::string> localIps);
  // Receives the refusal notices (at most one a minute of each kind) and says whether it kept
  // the line: one that was lost is told again with the next refusal. Set before Activate.
  void SetNotice(std::function<bool(const std::string&)> notice) { Notice = std::move(notice); }
  // Told of each refused connection (ConnectionRefusedByLimit or
  // ConnectionRefusedForResources), on the thread that refused it; set before Activate.
  void SetCounter(std::function<void(TStatEvent)> count) { Count = std::move(count); }
  // Which peers are balancers, and where refused headers go; set before Activate.
  void SetProxy(TProxyWait wait, TProxyReport report) {
    ProxyWait = std::move(wait);
    ProxyReport = std::move(report);
  }
  // Disconnects every live connection and waits for each, up to the time given.
  bool DisconnectAll(int waitMilliseconds);

private:
  // Shared by the connection threads.
  struct TRateLimitedNotice {
    std::atomic<std::chrono::steady_clock::rep> Last{0}; // 0: never told
    bool Due();                                          // true at most once a minute
    void Forget();                                       // the last one was lost: the next is due
  };
  // A connection thread: accepts, runs the session, and accepts again while
  // this generation of the listening socket lasts and not too many wait.
  void AcceptLoop(uint64_t generation);
  bool StartAcceptor(uint64_t generation);
  // Accepts one connection; -1 when there is none (errno tells why).
  int AcceptOne(std::string& peerIp);
  // Runs the connection's session on the calling thread, unless a limit refuses it.
  void Serve(int socket, const std::string& peerIp, long thread);
  // A balancer's connection: reads its PROXY header; false when there is none to take.
  bool TakeProxyHeader(TLiveConnection& connection);
  // Counts the connection for its address; false when the address has too many.
  bool CountForAddress(TLiveConnection& connection);
  // Out of descriptors: the spare one takes the next connection to refuse it. Only in the accept turn.
  bool RefuseWithSpareDescriptor();
  void Refuse(int socket, const TVerdict& refusal);
  void Tell(TRateLimitedNotice& notice, const std::string& text);
  void Ended(const std::shared_ptr<TLiveConnection>& connection);

  TSessionRunner Runner;
  std::function<bool(const std::string&)> Notice;
  std::function<void(TStatEvent)> Count;
  TProxyWait ProxyWait;
  TProxyReport ProxyReport;
  std::atomic<int> MaxConnections{0};
  std::atomic<int> MaxPerIp{0};
  TRateLimitedNotice PerIpNotice, DescriptorNotice;
  // One thread at a time in accept: a descriptor the refusal frees is not taken by a session's accept meanwhile.
  std::mutex AcceptTurn;
  int SpareDescriptor = -1; // in the accept turn; Activate and StopListening change it while nobody accepts
  bool Activated = false;
  std::string Address;
  int Port = 0;
  int ListenSocket = -1;
  mutable std::mutex AcceptLock; // guards the four below; taken after AcceptTurn
  std::condition_variable NobodyAccepting;
  bool StopAccepting = true;
  uint64_t Generation = 0; // of the listening socket
  int Waiting = 0;         // threads in accept
  mutable std::mutex LiveLock;
  std::set<std::shared_ptr<TLiveConnection>> Live;
  std::map<std::string, int> LivePerIp;
  std::vector<std::string> PerIpExempt; // under LiveLock
  TThreadPool Pool;                     // last: its threads use the members above until it is gone
};

} // namespace quibo
