// THttpClient: HTTP requests over libcurl, for HCheck (rspamd's worker and
// controller) and for the filter's own rspamd client. One handle keeps its
// connection between requests, so a run that asks many times reuses it.
// Proxies from the environment and redirects are never followed: the peer is
// asked directly. One thread at a time per client; Cancel from any thread
// ends the request under way within about a second. A request that gets
// no answer (refused, unreachable, timed out, cancelled, an answer above the
// size limit) throws THttpError with curl's reason; any HTTP status is an
// answer.
#pragma once

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

typedef void CURL;

namespace quibo {

class THttpError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct THttpAnswer {
  long Status = 0;
  std::string Body;
};

class THttpClient {
public:
  static constexpr size_t kMaxAnswerBytes = 4u << 20;

  explicit THttpClient(std::chrono::milliseconds timeout);
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;
  ~THttpClient();

  // The limit of each request from now on.
  void SetTimeout(std::chrono::milliseconds timeout) { Timeout = timeout; }
  // headers: "Name: value" lines.
  THttpAnswer Post(const std::string& url, const std::string& body, const std::vector<std::string>& headers);
  THttpAnswer Get(const std::string& url, const std::vector<std::string>& headers);
  // Ends the request under way (and the next one, until Resume).
  void Cancel() { Cancelled.store(true); }
  void Resume() { Cancelled.store(false); }
  bool CancelRequested() const { return Cancelled.load(); }

private:
  THttpAnswer Perform(const std::string& url, const std::vector<std::string>& headers);

  CURL* Handle = nullptr;
  std::chrono::milliseconds Timeout;
  std::atomic<bool> Cancelled{false};
};

} // namespace quibo
