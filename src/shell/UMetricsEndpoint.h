// TMetricsEndpoint: the HTTP endpoint of MetricsListen. GET /metrics gives
// the metrics in the Prometheus text format, GET /health 200 while the filter
// accepts connections and 503 while it stops (so a load balancer takes it
// out first); any other path is 404, any other method 405. libmicrohttpd
// serves it on a thread of its own, with bounded connections, request size
// and time; the handlers given only read. Started and stopped by TForm1 on
// the window thread; Start reports a failure as text, never throws.
#pragma once

#include <functional>
#include <string>

struct MHD_Daemon;

namespace quibo {

class TMetricsEndpoint {
public:
  struct THandlers {
    std::function<std::string()> Metrics; // the text of a scrape
    std::function<bool()> Healthy;        // true while connections are accepted
  };

  explicit TMetricsEndpoint(THandlers handlers) : Handlers(std::move(handlers)) {}
  ~TMetricsEndpoint() { Stop(); }
  TMetricsEndpoint(const TMetricsEndpoint&) = delete;
  TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

  // Listens on "host:port" (an IPv4 address or "localhost"; port 0: the
  // system chooses). Returns "" when listening, else why not.
  std::string Start(const std::string& listen);
  void Stop();
  bool Running() const { return Daemon != nullptr; }
  // Where it listens, "127.0.0.1:9225"; empty when it does not.
  const std::string& Address() const { return BoundAddress; }

  // Answers one request: the status and the body (what the handlers give for the two paths).
  struct TAnswer {
    unsigned Status = 404;
    std::string Body;
    const char* ContentType = "text/plain; charset=utf-8";
  };
  TAnswer Answer(const std::string& method, const std::string& path) const;

private:
  THandlers Handlers;
  MHD_Daemon* Daemon = nullptr;
  std::string BoundAddress;
};

// Splits "host:port" into an IPv4 address and a port; false when it is not one.
bool ParseListenAddress(const std::string& text, std::string& address, int& port);

} // namespace quibo
