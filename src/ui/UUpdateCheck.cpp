#include "UUpdateCheck.h"

#include <algorithm>
#include <cctype>

#include <curl/curl.h>

namespace quibo {
namespace {

// Keeps the first kMaxUpdateReply bytes of the body and then ends the transfer.
size_t TakeBody(char* data, size_t size, size_t count, void* target) {
  auto& body = *static_cast<std::string*>(target);
  const size_t bytes = size * count;
  body.append(data, std::min(bytes, kMaxUpdateReply - body.size()));
  return body.size() < kMaxUpdateReply ? bytes : 0; // 0 stops the transfer: enough has been read
}

} // namespace

std::string UrlEncoded(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

std::string UpdateRequestUrl(const std::string& server, const std::string& version, const std::string& check) {
  std::string base = server;
  while (!base.empty() && base.back() == '/')
    base.pop_back();
  return base + "/cgi-bin/update.pl?version=" + UrlEncoded(version) + "&info=" + UrlEncoded(kInstallationInfo) +
         "&check=" + UrlEncoded(check);
}

std::string RequestUpdateInfo(const std::string& server, const std::string& version, const std::string& check) {
  if (server.empty()) return kUnableToRetrieve;
  CURL* session = ::curl_easy_init();
  if (!session) return kUnableToRetrieve;
  const std::string url = UpdateRequestUrl(server, version, check);
  curl_slist* headers = ::curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = ::curl_slist_append(headers, "Pragma: no-cache");
  std::string body;
  ::curl_easy_setopt(session, CURLOPT_URL, url.c_str());
  ::curl_easy_setopt(session, CURLOPT_USERAGENT, kUpdateAgent);
  ::curl_easy_setopt(session, CURLOPT_PROXY, ""); // a direct connection, whatever the environment says
  ::curl_easy_setopt(session, CURLOPT_HTTPHEADER, headers);
  ::curl_easy_setopt(session, CURLOPT_FRESH_CONNECT, 1L);
  ::curl_easy_setopt(session, CURLOPT_PROTOCOLS_STR, "http,https");
  ::curl_easy_setopt(session, CURLOPT_FAILONERROR, 1L); // an error page is no version information
  ::curl_easy_setopt(session, CURLOPT_NOSIGNAL, 1L);
  ::curl_easy_setopt(session, CURLOPT_TIMEOUT_MS, static_cast<long>(kUpdateTimeout.count() * 1000));
  ::curl_easy_setopt(session, CURLOPT_WRITEFUNCTION, TakeBody);
  ::curl_easy_setopt(session, CURLOPT_WRITEDATA, &body);
  const CURLcode result = ::curl_easy_perform(session);
  ::curl_slist_free_all(headers);
  ::curl_easy_cleanup(session);
  if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && body.size() == kMaxUpdateReply)) return kUnableToRetrieve;
  return body.substr(0, body.find('\0'));
}

bool ReportsUpdate(const std::string& reply) { return reply.find("available") != std::string::npos; }

} // namespace quibo
