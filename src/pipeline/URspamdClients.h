// The filter's own rspamd clients (RspamdUrl set): a few HTTP clients, each
// with its connection to rspamd's normal worker, kept between messages so
// that scoring a message costs one request and no process start. A client
// whose request failed is not given back. Taken and given on connection
// threads; TForm1 owns the pool. Never throws but for a client that cannot
// be made (THttpError).
#pragma once

#include "UHttpClient.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace quibo {

class TRspamdClients {
public:
  static constexpr size_t kIdle = 8;

  // A kept client, or a new one; its requests end after timeout.
  std::unique_ptr<THttpClient> Take(std::chrono::milliseconds timeout);
  // Keeps a client after an answer; one too many is dropped.
  void Give(std::unique_ptr<THttpClient> client);

private:
  std::mutex Lock;
  std::vector<std::unique_ptr<THttpClient>> Idle;
};

} // namespace quibo
