// A scripted next-hop SMTP server on a loopback port: answers like a mail
// server by default, and can be told to refuse any command, to answer EHLO
// with 502, to drop the connection in DATA, or never to answer at all; it
// offers 8BITMIME unless told not to, and SMTPUTF8 when told. As a
// lax server it also ends lines at a bare CR or LF and takes "." with
// trailing blanks or NULs for the end of the data, as some mail servers do.
// It can hang up right after taking a recipient, as a server that times an
// idle client out does. Given a certificate it offers STARTTLS and goes on inside TLS; it can also
// refuse STARTTLS with 454 or answer it with a broken handshake.
// It records every transaction it took (envelope and data as on the wire,
// and whether it came over TLS), and which commands came pipelined. Its settings may change while it serves.
// One thread accepts, one serves each connection; test failures show as
// replies and records, never as exceptions.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quibo::test {

struct TReceivedMail {
  std::string From;                    // the MAIL FROM argument
  std::vector<std::string> Recipients; // RCPT TO arguments that were accepted
  std::string Data;                    // the lines between DATA and ".", CR LF ends, still dot-stuffed
  std::string Tls;                     // the TLS protocol it came over ("TLSv1.3"); "" in plain text
};

class TFakeNextHop {
public:
  // Given a command line, returns a reply to use instead of the default ("" keeps it).
  using TAnswer = std::function<std::string(const std::string& command)>;
  std::atomic<bool> DropInData{false};
  std::atomic<bool> Lax{false};
  std::atomic<bool> NeverAnswer{false};
  std::atomic<bool> Pipelining{false};  // offer PIPELINING in the EHLO reply
  std::atomic<bool> EightBitMime{true}; // offer 8BITMIME
  std::atomic<bool> SmtpUtf8{false};    // offer SMTPUTF8
  // This many later transactions find their connection closed: RSET is answered 421 and the server hangs up.
  std::atomic<int> HangUpAtRset{0};
  // This many later connections are closed by the server right after it took a recipient.
  std::atomic<int> HangUpAfterRcpt{0};
  // Offer STARTTLS (with or without a certificate) and answer it "454 4.7.0 TLS not available ...".
  std::atomic<bool> RefuseStartTls{false};
  // Offer STARTTLS (with or without a certificate), answer it 220, then send bytes that are no TLS and hang up.
  std::atomic<bool> BreakTlsHandshake{false};

  // On an IPv4 or IPv6 loopback address.
  explicit TFakeNextHop(const char* address = "127.0.0.1") {
    sockaddr_in6 v6{};
    const bool ipv6 = ::inet_pton(AF_INET6, address, &v6.sin6_addr) == 1;
    Listener = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    v6.sin6_family = AF_INET6;
    if (ipv6)
      ::bind(Listener, reinterpret_cast<sockaddr*>(&v6), sizeof v6);
    else
      ::bind(Listener, reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::listen(Listener, 64);
    socklen_t length = ipv6 ? sizeof v6 : sizeof local;
    ::getsockname(Listener, ipv6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&local), &length);
    ListenPort = ntohs(ipv6 ? v6.sin6_port : local.sin_port);
    Acceptor = std::thread([this] { AcceptLoop(); });
  }
  ~TFakeNextHop() {
    Stopping = true;
    ::shutdown(Listener, SHUT_RDWR);
    Acceptor.join();
    {
      std::lock_guard lock(Lock);
      for (int socket : Open)
        ::shutdown(socket, SHUT_RDWR);
    }
    for (auto& worker : Workers)
      worker.join();
    for (int socket : Open)
      ::close(socket);
    ::close(Listener);
  }

  int Port() const { return ListenPort; }
  void SetAnswer(TAnswer answer) {
    std::lock_guard lock(Lock);
    Answer = std::make_shared<const TAnswer>(std::move(answer));
  }
  void SetGreeting(const std::string& line) {
    std::lock_guard lock(Lock);
    Greeting = line;
  }
  // From now on EHLO offers STARTTLS and the handshake uses this certificate chain and key (PEM; the key may
  // follow the chain in the same file). False, and nothing offered, when OpenSSL cannot use them.
  bool OfferStartTls(const std::filesystem::path& certificate, const std::filesystem::path& key) {
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context || SSL_CTX_use_certificate_chain_file(context.get(), certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context.get()) != 1)
      return false;
    std::lock_guard lock(Lock);
    TlsContext = std::move(context);
    return true;
  }
  std::vector<TReceivedMail> Mails() {
    std::lock_guard lock(Lock);
    return Received;
  }
  std::vector<std::string> Commands() {
    std::lock_guard lock(Lock);
    return SeenCommands;
  }
  int Connections() const { return ConnectionCount.load(); }
  // Commands that came with another one already behind them (pipelined by the client).
  std::vector<std::string> PipelinedCommands() {
    std::lock_guard lock(Lock);
    return SeenPipelined;
  }

private:
  void AcceptLoop() {
    while (!Stopping) {
      const int socket = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (socket < 0) {
        if (Stopping) return;
        continue;
      }
      ++ConnectionCount;
      std::lock_guard lock(Lock);
      Open.push_back(socket);
      Workers.emplace_back([this, socket] { Serve(socket); });
    }
  }

  // One accepted connection: plain text until StartTls, then through its TLS session.
  class TLink {
  public:
    explicit TLink(int socket) : Socket(socket) {}
    ~TLink() { SSL_free(Tls); }
    TLink(const TLink&) = delete;
    TLink& operator=(const TLink&) = delete;

    ssize_t Receive(char* buffer, size_t size) {
      return Tls ? SSL_read(Tls, buffer, static_cast<int>(size)) : ::recv(Socket, buffer, size, 0);
    }
    void Send(const std::string& bytes) {
      if (Tls)
        SSL_write(Tls, bytes.data(), static_cast<int>(bytes.size()));
      else
        ::send(Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    bool StartTls(SSL_CTX* context) {
      Tls = SSL_new(context);
      return Tls && SSL_set_fd(Tls, Socket) == 1 && SSL_accept(Tls) == 1;
    }
    bool InTls() const { return Tls != nullptr; }
    // The protocol of the TLS session ("TLSv1.3"); "" in plain text.
    std::string Protocol() const { return Tls ? SSL_get_version(Tls) : ""; }
    void HangUp() {
      if (Tls && SSL_is_init_finished(Tls)) SSL_shutdown(Tls); // close_notify, as a server that ends cleanly sends
      ::shutdown(Socket, SHUT_RDWR);
    }

    const int Socket;

  private:
    SSL* Tls = nullptr;
  };

  bool ReadLine(TLink& link, std::string& pending, std::string& line) const {
    while (true) {
      size_t end = pending.find("\r\n"), length = 2;
      if (Lax) {
        end = pending.find_first_of("\r\n");
        length = end != std::string::npos && pending.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        if (end != std::string::npos && end + 1 == pending.size() && pending[end] == '\r')
          end = std::string::npos; // its LF may follow
      }
      if (end != std::string::npos) {
        line = pending.substr(0, end);
        pending.erase(0, end + length);
        return true;
      }
      char buffer[8192];
      const ssize_t got = link.Receive(buffer, sizeof buffer);
      if (got <= 0) return false;
      pending.append(buffer, static_cast<size_t>(got));
    }
  }
  bool EndOfData(const std::string& line) const {
    if (!Lax) return line == ".";
    return !line.empty() && line[0] == '.' && line.find_first_not_of(std::string(" \t\0", 3), 1) == std::string::npos;
  }
  static void Send(TLink& link, const std::string& reply) { link.Send(reply + "\r\n"); }
  std::string Reply(const std::string& command, const std::string& fallback) {
    std::shared_ptr<const TAnswer> answer;
    {
      std::lock_guard lock(Lock);
      SeenCommands.push_back(command);
      answer = Answer;
    }
    const std::string custom = answer && *answer ? (*answer)(command) : std::string();
    return custom.empty() ? fallback : custom;
  }

  void Serve(int socket) {
    if (NeverAnswer) {
      char sink[4096];
      while (::recv(socket, sink, sizeof sink, 0) > 0) {
      }
      ::close(socket);
      return;
    }
    BlockBrokenPipeSignal();
    TLink link(socket);
    std::string greeting;
    {
      std::lock_guard lock(Lock);
      greeting = Greeting;
    }
    Send(link, greeting);
    std::string pending, line;
    TReceivedMail mail;
    int rsets = 0;           // on this connection
    bool mayTransact = true; // false after STARTTLS until the client greets again
    while (ReadLine(link, pending, line)) {
      if (pending.find('\n') != std::string::npos) {
        std::lock_guard lock(Lock);
        SeenPipelined.push_back(line);
      }
      const std::string word = line.substr(0, 4);
      std::string reply;
      if (word == "EHLO") {
        reply = Reply(line, std::string("250-nexthop.test\r\n") + (Pipelining ? "250-PIPELINING\r\n" : "") +
                                (StartTlsOffered(link) ? "250-STARTTLS\r\n" : "") +
                                (EightBitMime ? "250-8BITMIME\r\n" : "") + (SmtpUtf8 ? "250-SMTPUTF8\r\n" : "") +
                                "250 HELP");
        mayTransact = true;
      } else if (word == "HELO") {
        reply = Reply(line, "250 nexthop.test");
        mayTransact = true;
      } else if (line == "STARTTLS" && link.InTls()) {
        reply = Reply(line, "554 5.5.1 Error: TLS already active");
      } else if (line == "STARTTLS" && StartTlsOffered(link)) {
        reply = Reply(line, RefuseStartTls ? "454 4.7.0 TLS not available due to local problem"
                                           : "220 2.0.0 Ready to start TLS");
        Send(link, reply);
        if (reply.rfind("220", 0) != 0) continue;
        pending.clear(); // what came before the handshake is never taken as a command inside TLS
        if (BreakTlsHandshake) {
          AnswerHandshakeWithGarbage(link);
          break;
        }
        const auto context = Context();
        if (!context || !link.StartTls(context.get())) break;
        mail = {};
        mayTransact = false;
        continue;
      } else if (word == "RSET") {
        mail = {};
        if (rsets++ > 0 && Take(HangUpAtRset)) {
          Send(link, "421 4.4.2 nexthop.test Error: timeout exceeded");
          break;
        }
        reply = Reply(line, "250 2.0.0 Ok");
      } else if (word == "MAIL" && !mayTransact) {
        reply = Reply(line, "503 5.5.1 Error: send HELO/EHLO first");
      } else if (word == "MAIL") {
        reply = Reply(line, "250 2.1.0 Ok");
        if (reply[0] == '2') mail.From = line.substr(10);
      } else if (word == "RCPT") {
        reply = Reply(line, "250 2.1.5 Ok");
        if (reply[0] == '2') mail.Recipients.push_back(line.substr(8));
        if (reply[0] == '2' && Take(HangUpAfterRcpt)) {
          Send(link, reply);
          break;
        }
      } else if (word == "DATA") {
        reply = Reply(line, "354 End data with <CR><LF>.<CR><LF>");
        Send(link, reply);
        if (reply[0] != '3') continue;
        if (DropInData) break;
        bool complete = false;
        while (ReadLine(link, pending, line)) {
          if (EndOfData(line)) {
            complete = true;
            break;
          }
          mail.Data += line + "\r\n";
        }
        if (!complete) break;
        reply = Reply(".", "250 2.0.0 Ok: queued");
        if (reply.rfind("250", 0) == 0) { // taken only with 250
          mail.Tls = link.Protocol();
          std::lock_guard lock(Lock);
          Received.push_back(mail);
        }
        mail = {};
      } else if (word == "NOOP") {
        reply = Reply(line, "250 2.0.0 Ok");
      } else if (word == "QUIT") {
        Send(link, Reply(line, "221 2.0.0 Bye"));
        break;
      } else {
        reply = Reply(line, "502 5.5.2 Error: command not recognized");
      }
      if (!reply.empty()) Send(link, reply);
    }
    link.HangUp();
  }

  std::shared_ptr<SSL_CTX> Context() {
    std::lock_guard lock(Lock);
    return TlsContext;
  }
  bool StartTlsOffered(const TLink& link) {
    return !link.InTls() && (Context() || RefuseStartTls || BreakTlsHandshake);
  }
  // Waits for the client's first handshake bytes and answers them with plain text.
  static void AnswerHandshakeWithGarbage(TLink& link) {
    char hello[4096];
    link.Receive(hello, sizeof hello);
    link.Send("this is no TLS handshake\r\n");
  }
  // OpenSSL writes with write(2), which raises SIGPIPE on a connection the peer has closed. Blocked in this
  // connection's thread, the signal stays pending there (and goes with the thread) and the write fails instead.
  static void BlockBrokenPipeSignal() {
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
  }

  static bool Take(std::atomic<int>& counter) {
    int left = counter.load();
    while (left > 0)
      if (counter.compare_exchange_weak(left, left - 1)) return true;
    return false;
  }

  int Listener = -1;
  int ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::atomic<int> ConnectionCount{0};
  std::thread Acceptor;
  std::mutex Lock;
  std::vector<int> Open;
  std::vector<std::thread> Workers;
  std::vector<TReceivedMail> Received;
  std::vector<std::string> SeenCommands;
  std::vector<std::string> SeenPipelined;
  std::shared_ptr<const TAnswer> Answer;
  std::shared_ptr<SSL_CTX> TlsContext; // set once STARTTLS is offered with a certificate
  std::string Greeting = "220 nexthop.test ESMTP";
};

} // namespace quibo::test
