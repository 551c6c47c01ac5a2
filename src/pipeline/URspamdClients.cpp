#include "URspamdClients.h"

namespace quibo {

std::unique_ptr<THttpClient> TRspamdClients::Take(std::chrono::milliseconds timeout) {
  std::unique_ptr<THttpClient> client;
  {
    std::lock_guard lock(Lock);
    if (!Idle.empty()) {
      client = std::move(Idle.back());
      Idle.pop_back();
    }
  }
  if (!client) client = std::make_unique<THttpClient>(timeout);
  client->SetTimeout(timeout);
  client->Resume(); // a cancellation that came after its last answer is not this message's
  return client;
}

void TRspamdClients::Give(std::unique_ptr<THttpClient> client) {
  std::lock_guard lock(Lock);
  if (Idle.size() < kIdle) Idle.push_back(std::move(client));
}

} // namespace quibo
