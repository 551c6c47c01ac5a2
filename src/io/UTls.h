// TLS over a connected socket with OpenSSL: the server's identity (a
// certificate chain and its key, with the protocol floor and session
// policy), the client's context (the trust store for verifying next
// servers), and TTlsStream, the stream a connection continues on after
// STARTTLS. Contexts are built on the window thread and shared read-only by
// connection threads (each connection takes its own session from one);
// a stream is used by its connection thread only, and another thread may
// only shut its socket down. Building a context throws std::runtime_error
// with the reason; a handshake that fails returns nullptr with the reason.
#pragma once

#include "UStream.h"

#include <memory>
#include <string>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace quibo {

// What a handshake agreed on, e.g. "TLSv1.3" and "TLS_AES_256_GCM_SHA384".
struct TTlsSession {
  std::string Protocol;
  std::string Cipher;
};

struct TTlsServerOptions {
  std::string CertificateFile; // PEM: the chain, optionally followed by its key
  std::string KeyFile;         // PEM; empty: the key is in the certificate file
  bool Tls13Only = false;      // else TLS 1.2 and 1.3
  bool SessionTickets = false;
};

class TTlsContext {
public:
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;
  ~TTlsContext();
  SSL_CTX* Handle() const { return Context; }

protected:
  explicit TTlsContext(SSL_CTX* context) : Context(context) {}
  SSL_CTX* Context;
};

class TTlsServerContext final : public TTlsContext {
public:
  // Refuses a pair that does not load, a key that does not match its
  // certificate, and a certificate outside its validity dates.
  explicit TTlsServerContext(const TTlsServerOptions& options);
};

class TTlsClientContext final : public TTlsContext {
public:
  // Trust for verifying servers: the CA file, or the system's store when it is empty.
  explicit TTlsClientContext(const std::string& trustedCaFile);
};

class TTlsStream final : public TStream {
public:
  ~TTlsStream() override;
  // The server's handshake on a socket whose client asked for TLS.
  static std::unique_ptr<TTlsStream> Accept(const TTlsServerContext& context, int socket, TDeadline deadline,
                                            std::string& failure);
  // The client's handshake; with a name to verify (a host name or an
  // address), the server's certificate must chain to the trust store and name it.
  static std::unique_ptr<TTlsStream> Connect(const TTlsClientContext& context, int socket,
                                             const std::string& verifyName, TDeadline deadline, std::string& failure);

  TIoResult ReadSome(char* buffer, size_t room, TDeadline deadline) override;
  TIoStatus Write(std::string_view bytes, TDeadline deadline) override;
  bool HoldsUnread() const override;
  TTlsSession Session() const;

private:
  TTlsStream(SSL* ssl, int socket) : Ssl(ssl), Deadlines(socket) {}
  // A stream on the socket before its handshake; nullptr with the reason.
  static std::unique_ptr<TTlsStream> Over(const TTlsContext& context, int socket, std::string& failure);
  // Runs a handshake step to its end; false with the reason.
  bool Handshake(bool server, TDeadline deadline, std::string& failure);

  SSL* Ssl;
  TSocketDeadlines Deadlines;
};

} // namespace quibo
