#include "UConsoleServer.h"

#include "UAddress.h"
#include "USettings.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <microhttpd.h>
#include <netinet/in.h>

namespace quibo {
namespace {

constexpr size_t kRequestMemory = 32 * 1024; // a larger request line or header is refused by the library

// One request while it arrives.
struct TArriving {
  TConsoleRequest Request;
  size_t Limit = 0;
  bool TooLarge = false;
};

MHD_Result Respond(MHD_Connection* connection, const TConsoleResponse& answer) {
  MHD_Response* response =
      MHD_create_response_from_buffer(answer.Body.size(), const_cast<char*>(answer.Body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.ContentType.c_str());
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                          "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
  for (const auto& [name, value] : answer.Headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(connection, answer.Status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result KeepArgument(void* target, MHD_ValueKind, const char* key, const char* value) {
  auto& query = *static_cast<std::map<std::string, std::string>*>(target);
  if (query.size() < 32 && key) query[key] = value ? value : "";
  return MHD_YES;
}

std::string PeerText(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return {};
  sockaddr_storage address{};
  const socklen_t length = info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  std::memcpy(&address, info->client_addr, length);
  return SocketAddressText(address);
}

std::string Header(MHD_Connection* connection, MHD_ValueKind kind, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, kind, name);
  return value ? value : "";
}

MHD_Result OnRequest(void* context, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char* uploadData, size_t* uploadSize, void** state) {
  auto& server = *static_cast<const TConsoleServer*>(context);
  auto* arriving = static_cast<TArriving*>(*state);
  if (!arriving) { // the head has arrived
    arriving = new TArriving;
    *state = arriving;
    TConsoleRequest& request = arriving->Request;
    request.Method = method;
    request.Path = url;
    request.PeerAddress = PeerText(connection);
    request.Https = server.Https();
    request.SessionCookie = Header(connection, MHD_COOKIE_KIND, "quibo_session");
    request.CsrfToken = Header(connection, MHD_HEADER_KIND, "X-Csrf-Token");
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &KeepArgument, &request.Query);
    arriving->Limit = server.BodyLimitOf(request.Path);
    const std::string length = Header(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > arriving->Limit) {
      arriving->TooLarge = true; // answered at once; the library closes the connection after it
      return Respond(connection, {413, R"({"error":"request body too large"})"});
    }
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    if (!arriving->TooLarge && arriving->Request.Body.size() + *uploadSize <= arriving->Limit)
      arriving->Request.Body.append(uploadData, *uploadSize);
    else
      arriving->TooLarge = true;
    *uploadSize = 0;
    return MHD_YES;
  }
  if (arriving->TooLarge) return Respond(connection, {413, R"({"error":"request body too large"})"});
  return Respond(connection, server.RequestHandler()(arriving->Request));
}

void OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  delete static_cast<TArriving*>(*state);
  *state = nullptr;
}

} // namespace

bool ParseConsoleListen(const std::string& text, std::string& address, int& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  address = text.substr(0, colon);
  if (address.front() == '[') {
    if (address.back() != ']') return false;
    address = address.substr(1, address.size() - 2);
    if (!IsIPv6Text(address)) return false;
  } else if (address == "localhost") {
    address = "127.0.0.1";
  } else if (IsIPv6Text(address) || !IsIpText(address)) {
    return false; // an IPv6 address is written in brackets
  }
  address = CanonicalIp(address);
  const std::string portText = text.substr(colon + 1);
  port = PortOrDefault(portText, -1);
  return !portText.empty() && port >= 0;
}

bool IsLoopbackAddress(const std::string& address) { return address == "::1" || address.rfind("127.", 0) == 0; }

std::string TConsoleServer::Start(TOptions options) {
  Stop();
  std::string host;
  int port = 0;
  if (!ParseConsoleListen(options.Listen, host, port)) return "ConsoleListen '" + options.Listen + "' is not host:port";
  sockaddr_storage local{};
  socklen_t length = 0;
  if (!MakeSocketAddress(host, port, local, length)) return "ConsoleListen '" + options.Listen + "' is no address";
  if (options.Https && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) return "this libmicrohttpd has no HTTPS";
  Options = std::move(options);
  unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG;
  if (local.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  if (Options.Https) flags |= MHD_USE_TLS;
  // The HTTPS options come last: without HTTPS the list ends before them.
  Daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_SOCK_ADDR,
                            reinterpret_cast<sockaddr*>(&local), MHD_OPTION_CONNECTION_LIMIT, kMostConnections,
                            MHD_OPTION_CONNECTION_TIMEOUT, kRequestSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                            kRequestMemory, MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr,
                            Options.Https ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, Options.CertificatePem.c_str(),
                            MHD_OPTION_HTTPS_MEM_KEY, Options.KeyPem.c_str(), MHD_OPTION_END);
  if (!Daemon) return "cannot listen on " + Options.Listen + (Options.Https ? " with this certificate and key" : "");
  const MHD_DaemonInfo* info = MHD_get_daemon_info(Daemon, MHD_DAEMON_INFO_LISTEN_FD);
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (info) ::getsockname(info->listen_fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  const int boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  BoundAddress = (local.ss_family == AF_INET6 ? "[" + host + "]" : host) + ":" + std::to_string(boundPort);
  return {};
}

void TConsoleServer::Stop() {
  if (Daemon) MHD_stop_daemon(Daemon); // waits for its threads
  Daemon = nullptr;
  BoundAddress.clear();
}

} // namespace quibo
