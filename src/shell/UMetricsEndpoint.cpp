#include "UMetricsEndpoint.h"

#include "USettings.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quibo {
namespace {

constexpr unsigned kMostConnections = 16;
constexpr unsigned kMostPerAddress = 8;
constexpr unsigned kIdleSeconds = 10;
constexpr size_t kRequestMemory = 16 * 1024; // a larger request line or header is refused by the library

MHD_Result Respond(MHD_Connection* connection, const TMetricsEndpoint::TAnswer& answer) {
  MHD_Response* response =
      MHD_create_response_from_buffer(answer.Body.size(), const_cast<char*>(answer.Body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.ContentType);
  const MHD_Result queued = MHD_queue_response(connection, answer.Status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result OnRequest(void* endpoint, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char*, size_t* uploadSize, void**) {
  if (*uploadSize != 0) { // a body: nothing here takes one
    *uploadSize = 0;
    return MHD_YES;
  }
  return Respond(connection, static_cast<const TMetricsEndpoint*>(endpoint)->Answer(method, url));
}

} // namespace

bool ParseListenAddress(const std::string& text, std::string& address, int& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  address = text.substr(0, colon);
  if (address == "localhost") address = "127.0.0.1";
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  const std::string portText = text.substr(colon + 1);
  port = PortOrDefault(portText, -1);
  return !portText.empty() && port >= 0;
}

std::string TMetricsEndpoint::Start(const std::string& listen) {
  Stop();
  std::string host;
  int port = 0;
  if (!ParseListenAddress(listen, host, port)) return "MetricsListen '" + listen + "' is not host:port";
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &local.sin_addr);
  Daemon = MHD_start_daemon(MHD_USE_POLL_INTERNAL_THREAD, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_SOCK_ADDR,
                            reinterpret_cast<sockaddr*>(&local), MHD_OPTION_CONNECTION_LIMIT, kMostConnections,
                            MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMostPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
                            kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestMemory, MHD_OPTION_END);
  if (!Daemon) return "cannot listen on " + listen;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(Daemon, MHD_DAEMON_INFO_LISTEN_FD);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (info) ::getsockname(info->listen_fd, reinterpret_cast<sockaddr*>(&bound), &length);
  BoundAddress = host + ":" + std::to_string(ntohs(bound.sin_port));
  return {};
}

void TMetricsEndpoint::Stop() {
  if (Daemon) MHD_stop_daemon(Daemon); // waits for its thread
  Daemon = nullptr;
  BoundAddress.clear();
}

TMetricsEndpoint::TAnswer TMetricsEndpoint::Answer(const std::string& method, const std::string& path) const {
  const bool known = path == "/metrics" || path == "/health";
  if (!known) return {MHD_HTTP_NOT_FOUND, "not found\n"};
  if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD)
    return {MHD_HTTP_METHOD_NOT_ALLOWED, "GET only\n"};
  if (path == "/metrics") return {MHD_HTTP_OK, Handlers.Metrics(), "text/plain; version=0.0.4; charset=utf-8"};
  return Handlers.Healthy() ? TAnswer{MHD_HTTP_OK, "ok\n"} : TAnswer{MHD_HTTP_SERVICE_UNAVAILABLE, "stopping\n"};
}

} // namespace quibo
