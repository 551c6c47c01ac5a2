#include "UTls.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdexcept>
#include <utility>

namespace quibo {
namespace {

// The newest reason on this thread's OpenSSL error queue, which it empties.
std::string OpenSslReason(const char* fallback) {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + OpenSslReason("failed")); }

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* context = SSL_CTX_new(method);
  if (!context) Fail("cannot make a TLS context");
  // An idle connection gives its buffers back; no renegotiation, no compression.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  return context;
}

// A context under construction, freed unless it is handed on.
struct TContextGuard {
  SSL_CTX* Context;
  ~TContextGuard() { SSL_CTX_free(Context); }
  SSL_CTX* Release() { return std::exchange(Context, nullptr); }
};

bool IsAddress(const std::string& name) {
  unsigned char bytes[16];
  return ::inet_pton(AF_INET, name.c_str(), bytes) == 1 || ::inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

} // namespace

TTlsContext::~TTlsContext() { SSL_CTX_free(Context); }

TTlsServerContext::TTlsServerContext(const TTlsServerOptions& options) : TTlsContext(nullptr) {
  TContextGuard building{NewContext(TLS_server_method())};
  SSL_CTX* context = building.Context;
  if (options.Tls13Only) SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
  if (!options.SessionTickets) {
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  }
  if (SSL_CTX_use_certificate_chain_file(context, options.CertificateFile.c_str()) != 1)
    Fail("cannot load the certificate " + options.CertificateFile);
  const std::string& keyFile = options.KeyFile.empty() ? options.CertificateFile : options.KeyFile;
  if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    Fail("cannot load the key " + keyFile);
  if (SSL_CTX_check_private_key(context) != 1) Fail("the key does not belong to the certificate");
  X509* certificate = SSL_CTX_get0_certificate(context);
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0)
    throw std::runtime_error("the certificate " + options.CertificateFile + " has expired");
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0)
    throw std::runtime_error("the certificate " + options.CertificateFile + " is not valid yet");
  Context = building.Release();
}

TTlsClientContext::TTlsClientContext(const std::string& trustedCaFile) : TTlsContext(nullptr) {
  TContextGuard building{NewContext(TLS_client_method())};
  SSL_CTX_set_options(building.Context, SSL_OP_NO_TICKET);
  const int loaded = trustedCaFile.empty()
                         ? SSL_CTX_set_default_verify_paths(building.Context)
                         : SSL_CTX_load_verify_locations(building.Context, trustedCaFile.c_str(), nullptr);
  if (loaded != 1) Fail("cannot load the trusted certificates " + trustedCaFile);
  Context = building.Release();
}

TTlsStream::~TTlsStream() { SSL_free(Ssl); }

std::unique_ptr<TTlsStream> TTlsStream::Over(const TTlsContext& context, int socket, std::string& failure) {
  ERR_clear_error();
  SSL* ssl = SSL_new(context.Handle());
  if (!ssl || SSL_set_fd(ssl, socket) != 1) {
    SSL_free(ssl);
    failure = OpenSslReason("out of memory");
    return nullptr;
  }
  return std::unique_ptr<TTlsStream>(new TTlsStream(ssl, socket));
}

std::unique_ptr<TTlsStream> TTlsStream::Accept(const TTlsServerContext& context, int socket, TDeadline deadline,
                                               std::string& failure) {
  auto stream = Over(context, socket, failure);
  if (!stream) return nullptr;
  SSL_set_accept_state(stream->Ssl);
  if (!stream->Handshake(true, deadline, failure)) return nullptr;
  return stream;
}

std::unique_ptr<TTlsStream> TTlsStream::Connect(const TTlsClientContext& context, int socket,
                                                const std::string& verifyName, TDeadline deadline,
                                                std::string& failure) {
  auto stream = Over(context, socket, failure);
  if (!stream) return nullptr;
  SSL* ssl = stream->Ssl;
  SSL_set_connect_state(ssl);
  if (!verifyName.empty()) {
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    if (IsAddress(verifyName)) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), verifyName.c_str());
    } else {
      SSL_set1_host(ssl, verifyName.c_str());
      SSL_set_tlsext_host_name(ssl, verifyName.c_str());
    }
  }
  if (!stream->Handshake(false, deadline, failure)) {
    const long verified = SSL_get_verify_result(ssl);
    if (!verifyName.empty() && verified != X509_V_OK)
      failure = std::string("certificate not verified: ") + X509_verify_cert_error_string(verified);
    return nullptr;
  }
  return stream;
}

bool TTlsStream::Handshake(bool server, TDeadline deadline, std::string& failure) {
  while (true) {
    if (!Deadlines.ArmRead(deadline) || !Deadlines.ArmWrite(deadline)) {
      failure = "timed out";
      return false;
    }
    ERR_clear_error();
    errno = 0;
    const int done = server ? SSL_accept(Ssl) : SSL_connect(Ssl);
    if (done == 1) return true;
    const int error = SSL_get_error(Ssl, done);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) continue; // the deadline decides
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
      failure = errno != 0 ? std::strerror(errno) : "connection closed";
    else
      failure = OpenSslReason("handshake failed");
    return false;
  }
}

TIoResult TTlsStream::ReadSome(char* buffer, size_t room, TDeadline deadline) {
  while (true) {
    if (SSL_pending(Ssl) == 0 && !Deadlines.ArmRead(deadline)) return {TIoStatus::Timeout};
    ERR_clear_error();
    size_t got = 0;
    const int done = SSL_read_ex(Ssl, buffer, room, &got);
    if (done == 1) return {TIoStatus::Done, got};
    const int error = SSL_get_error(Ssl, done);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) continue;
    ERR_clear_error();
    return {TIoStatus::Closed};
  }
}

TIoStatus TTlsStream::Write(std::string_view bytes, TDeadline deadline) {
  if (bytes.empty()) return TIoStatus::Done;
  while (true) {
    if (!Deadlines.ArmWrite(deadline)) return TIoStatus::Timeout;
    ERR_clear_error();
    // Without partial writes, a write returns when all of it went out; a retry repeats the same call.
    size_t wrote = 0;
    const int done = SSL_write_ex(Ssl, bytes.data(), bytes.size(), &wrote);
    if (done == 1) return TIoStatus::Done;
    const int error = SSL_get_error(Ssl, done);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) continue;
    ERR_clear_error();
    return TIoStatus::Closed;
  }
}

bool TTlsStream::HoldsUnread() const { return SSL_pending(Ssl) > 0; }

TTlsSession TTlsStream::Session() const { return {SSL_get_version(Ssl), SSL_get_cipher_name(Ssl)}; }

} // namespace quibo
