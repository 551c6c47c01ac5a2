#include "UHttpClient.h"

#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace quibo {
namespace {

struct TCollected {
  std::string Body;
  bool TooLarge = false;
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
  auto& collected = *static_cast<TCollected*>(target);
  const size_t bytes = size * count;
  if (collected.Body.size() + bytes > THttpClient::kMaxAnswerBytes) {
    collected.TooLarge = true;
    return 0; // curl ends the transfer with a write error
  }
  collected.Body.append(data, bytes);
  return bytes;
}

// curl asks between reads and, while it waits, about once a second; non-zero ends the transfer.
int EndIfCancelled(void* client, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const THttpClient*>(client)->CancelRequested() ? 1 : 0;
}

struct THeaderListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

THttpClient::THttpClient(std::chrono::milliseconds timeout) : Timeout(timeout) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  Handle = curl_easy_init();
  if (!Handle) throw THttpError("cannot make an HTTP client");
}

THttpClient::~THttpClient() { curl_easy_cleanup(Handle); }

THttpAnswer THttpClient::Post(const std::string& url, const std::string& body,
                              const std::vector<std::string>& headers) {
  curl_easy_reset(Handle);
  curl_easy_setopt(Handle, CURLOPT_POST, 1L);
  curl_easy_setopt(Handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(Handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  std::vector<std::string> all(headers);
  all.emplace_back("Expect:"); // the body goes at once, without waiting for "100 Continue"
  all.emplace_back("Content-Type:");
  return Perform(url, all);
}

THttpAnswer THttpClient::Get(const std::string& url, const std::vector<std::string>& headers) {
  curl_easy_reset(Handle);
  curl_easy_setopt(Handle, CURLOPT_HTTPGET, 1L);
  return Perform(url, headers);
}

THttpAnswer THttpClient::Perform(const std::string& url, const std::vector<std::string>& headers) {
  std::unique_ptr<curl_slist, THeaderListFree> list;
  for (const auto& header : headers) {
    curl_slist* longer = curl_slist_append(list.get(), header.c_str());
    if (!longer) throw THttpError("cannot build an HTTP request");
    list.release();
    list.reset(longer);
  }
  TCollected collected;
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(Handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(Handle, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(Handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(Handle, CURLOPT_PROXY, ""); // never a proxy from the environment
  curl_easy_setopt(Handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(Handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(Handle, CURLOPT_TIMEOUT_MS, static_cast<long>(Timeout.count()));
  curl_easy_setopt(Handle, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(Handle, CURLOPT_WRITEDATA, &collected);
  curl_easy_setopt(Handle, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(Handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(Handle, CURLOPT_XFERINFOFUNCTION, EndIfCancelled);
  curl_easy_setopt(Handle, CURLOPT_XFERINFODATA, this);
  if (Cancelled.load()) throw THttpError("cancelled");
  const CURLcode result = curl_easy_perform(Handle);
  curl_easy_setopt(Handle, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(Handle, CURLOPT_ERRORBUFFER, nullptr);
  if (result == CURLE_ABORTED_BY_CALLBACK) throw THttpError("cancelled");
  if (collected.TooLarge) throw THttpError("an answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes");
  if (result != CURLE_OK) throw THttpError(error[0] ? error : curl_easy_strerror(result));
  THttpAnswer answer;
  curl_easy_getinfo(Handle, CURLINFO_RESPONSE_CODE, &answer.Status);
  answer.Body = std::move(collected.Body);
  return answer;
}

} // namespace quibo
