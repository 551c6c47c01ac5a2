// THttpClient: HCheck's HTTP requests to rspamd over libcurl. One handle is
// kept for the whole run, so that learning a folder reuses its connection.
// Proxies from the environment and redirects are never followed: rspamd is
// asked directly. Used by HCheck on its only thread. A request that gets no
// answer (refused, unreachable, timed out, an answer above the size limit)
// throws THttpError with curl's reason; any HTTP status is an answer.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

typedef void CURL;

namespace quibo::hcheck {

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

  // headers: "Name: value" lines.
  THttpAnswer Post(const std::string& url, const std::string& body, const std::vector<std::string>& headers);
  THttpAnswer Get(const std::string& url, const std::vector<std::string>& headers);

private:
  THttpAnswer Perform(const std::string& url, const std::vector<std::string>& headers);

  CURL* Handle = nullptr;
  std::chrono::milliseconds Timeout;
};

} // namespace quibo::hcheck
