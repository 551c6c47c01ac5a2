// TConsoleServer: the web console's HTTP(S) server. libmicrohttpd serves it
// with a thread per connection (a slow request, such as a refused login's
// pause, holds up no other), at most 16 connections, 30 s without progress
// per request, a bounded request head, and a body limit the handler's owner
// sets per path (a larger body is answered 413 without being kept). Each
// complete request goes to the handler on its connection's thread. Started and
// stopped on the window thread; Start reports a failure as text, never throws.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

struct MHD_Daemon;

namespace quibo {

struct TConsoleRequest {
  std::string Method;
  std::string Path;
  std::map<std::string, std::string> Query;
  std::string Body;
  std::string SessionCookie; // the "quibo_session" cookie
  std::string CsrfToken;     // the X-Csrf-Token header
  std::string PeerAddress;
  bool Https = false;
};

struct TConsoleResponse {
  unsigned Status = 200;
  std::string Body;
  std::string ContentType = "application/json";
  std::vector<std::pair<std::string, std::string>> Headers{};
};

class TConsoleServer {
public:
  static constexpr unsigned kMostConnections = 16;
  static constexpr unsigned kRequestSeconds = 30;

  struct TOptions {
    std::string Listen; // "127.0.0.1:8025", "[::1]:8025", "0.0.0.0:8025"; port 0: the system chooses
    bool Https = false; // with the PEM texts below
    std::string CertificatePem;
    std::string KeyPem;
  };
  using THandler = std::function<TConsoleResponse(const TConsoleRequest&)>;
  using TBodyLimit = std::function<size_t(const std::string& path)>;

  TConsoleServer(THandler handler, TBodyLimit bodyLimit)
      : Handler(std::move(handler)), BodyLimit(std::move(bodyLimit)) {}
  ~TConsoleServer() { Stop(); }
  TConsoleServer(const TConsoleServer&) = delete;
  TConsoleServer& operator=(const TConsoleServer&) = delete;

  // Returns "" when listening, else why not.
  std::string Start(TOptions options);
  void Stop(); // waits for the requests in progress
  bool Running() const { return Daemon != nullptr; }
  // Where it listens, "127.0.0.1:8025" or "[::1]:8025"; empty when it does not.
  const std::string& Address() const { return BoundAddress; }

  // For the libmicrohttpd callbacks.
  const THandler& RequestHandler() const { return Handler; }
  size_t BodyLimitOf(const std::string& path) const { return BodyLimit(path); }
  bool Https() const { return Options.Https; }

private:
  THandler Handler;
  TBodyLimit BodyLimit;
  TOptions Options; // the PEM texts stay while the daemon runs
  MHD_Daemon* Daemon = nullptr;
  std::string BoundAddress;
};

// Splits "host:port" or "[v6]:port" into an address and a port; false when it is neither.
bool ParseConsoleListen(const std::string& text, std::string& address, int& port);
// Whether an address is 127.0.0.0/8 or ::1.
bool IsLoopbackAddress(const std::string& address);

} // namespace quibo
