// tls_load: SMTP load with STARTTLS for the benchmarks, where Postfix's
// smtp-source and smtp-sink speak none. Over OpenSSL, three modes:
//
//   tls_load --host H --port P --messages N --concurrency C --size BYTES [--starttls] [--pipelining]
//       C threads share N messages, each on a connection of its own (greeting,
//       EHLO, with --starttls STARTTLS and EHLO again, MAIL, RCPT, DATA, QUIT;
//       with --pipelining MAIL, RCPT and DATA go in one write, the message and
//       QUIT in another). H may be an IPv4 or IPv6 address.
//       Prints "messages N failures F seconds S rate R" (R counts the good ones).
//   tls_load --sink --port P [--host H] [--cert F [--key F]]
//       Takes and discards mail; with a certificate it offers STARTTLS (the key
//       may follow the chain in the certificate file). One thread a connection,
//       at most 4,096 at once (more are answered 421). SIGUSR1 prints
//       "messages M connections C tls T"; SIGINT or SIGTERM prints it and ends.
//   tls_load --idle K --host H --port P [--starttls] [--concurrency C] [--hold SECONDS]
//       Opens K connections with C threads (each greeted, with --starttls
//       STARTTLS'd, EHLO'd), prints "established K failures F seconds S", then
//       holds them until SIGINT, SIGTERM or the hold time.
//
// Built and run by bench/tls.sh (g++ -O2 ... -lssl -lcrypto), not by CMake.
// Certificates are never verified: this measures, it does not trust. Every
// dialogue step waits at most 60 s. Exit status: 0 when everything went
// through, 1 when something failed, 2 for bad arguments.
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kStepSeconds = 60;
constexpr int kMaxSinkConnections = 4096;
constexpr const char* kSender = "sender@src.bench.test";
constexpr const char* kRecipient = "rcpt@dst.bench.test"; // the benchmark's filter takes dst.bench.test as local

// ---- command line --------------------------------------------------------

struct TOptions {
  std::string Host = "127.0.0.1";
  int Port = 0;
  long Messages = 0;
  int Concurrency = 1;
  size_t Size = 5120;
  bool StartTls = false;
  bool Pipelining = false; // MAIL, RCPT and DATA in one write; the message and QUIT in another
  bool Sink = false;
  std::string Certificate, Key;
  long Idle = 0;
  long HoldSeconds = 0; // 0: until a signal
};

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(
      stderr,
      "tls_load: %s\n"
      "usage: tls_load --host H --port P --messages N --concurrency C --size BYTES [--starttls] [--pipelining]\n"
      "       tls_load --sink --port P [--host H] [--cert F [--key F]]\n"
      "       tls_load --idle K --host H --port P [--starttls] [--concurrency C] [--hold SECONDS]\n",
      problem.c_str());
  std::exit(2);
}

long Number(const std::string& name, const char* text, long lowest) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < lowest) Usage("bad number for " + name + ": " + text);
  return value;
}

TOptions Parse(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--pipelining") {
      options.Pipelining = true;
      continue;
    }
    if (name == "--starttls") {
      options.StartTls = true;
      continue;
    }
    if (name == "--sink") {
      options.Sink = true;
      continue;
    }
    if (i + 1 >= argc) Usage(name + " needs a value");
    const char* value = argv[++i];
    if (name == "--host")
      options.Host = value;
    else if (name == "--port")
      options.Port = static_cast<int>(Number(name, value, 1));
    else if (name == "--messages")
      options.Messages = Number(name, value, 1);
    else if (name == "--concurrency")
      options.Concurrency = static_cast<int>(Number(name, value, 1));
    else if (name == "--size")
      options.Size = static_cast<size_t>(Number(name, value, 0));
    else if (name == "--cert")
      options.Certificate = value;
    else if (name == "--key")
      options.Key = value;
    else if (name == "--idle")
      options.Idle = Number(name, value, 1);
    else if (name == "--hold")
      options.HoldSeconds = Number(name, value, 1);
    else
      Usage("unknown option " + name);
  }
  if (options.Port == 0) Usage("--port is missing");
  if (!options.Sink && options.Idle == 0 && options.Messages == 0) Usage("--messages, --sink or --idle is missing");
  if (options.Key.empty()) options.Key = options.Certificate;
  return options;
}

// ---- one SMTP connection, plain or TLS --------------------------------------

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return std::strerror(errno);
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

// A socket with a line reader and a writer; plain text until a TLS handshake.
// One thread uses it at a time. Failures throw std::runtime_error.
class TSmtpStream {
public:
  explicit TSmtpStream(int socket) : Socket(socket) {
    const timeval step{kStepSeconds, 0};
    ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &step, sizeof step);
    ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &step, sizeof step);
    const int on = 1;
    ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~TSmtpStream() {
    SSL_free(Tls);
    ::close(Socket);
  }
  TSmtpStream(const TSmtpStream&) = delete;
  TSmtpStream& operator=(const TSmtpStream&) = delete;

  static std::unique_ptr<TSmtpStream> Connect(const std::string& host, int port) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<uint16_t>(port));
      length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof *v6;
    } else {
      throw std::runtime_error("bad address " + host);
    }
    const int socket = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    auto stream = std::make_unique<TSmtpStream>(socket);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), length) != 0)
      throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    return stream;
  }

  // The next line without its CR LF; false at the end of the connection.
  bool ReadLine(std::string& line) {
    while (true) {
      const auto end = In.find("\r\n", Start);
      if (end != std::string::npos) {
        line.assign(In, Start, end - Start);
        Start = end + 2;
        return true;
      }
      In.erase(0, Start);
      Start = 0;
      char buffer[16384];
      const long got = Tls ? SSL_read(Tls, buffer, sizeof buffer) : ::recv(Socket, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      In.append(buffer, static_cast<size_t>(got));
    }
  }
  bool LineWaiting() const { return In.find("\r\n", Start) != std::string::npos; }
  // A whole reply, all lines of a multi-line one; throws unless its code begins with expected.
  std::string Expect(char expected, const std::string& step) {
    std::string reply, line;
    do {
      if (!ReadLine(line)) throw std::runtime_error(step + ": connection closed");
      reply += line + "\n";
    } while (line.size() > 3 && line[3] == '-');
    if (reply[0] != expected) throw std::runtime_error(step + ": " + reply.substr(0, reply.find('\n')));
    return reply;
  }
  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const long sent = Tls ? SSL_write(Tls, bytes.data() + done, static_cast<int>(bytes.size() - done))
                            : ::send(Socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) throw std::runtime_error("write: " + (Tls ? OpenSslError() : std::strerror(errno)));
      done += static_cast<size_t>(sent);
    }
  }
  std::string Command(const std::string& line, char expected) {
    Write(line + "\r\n");
    return Expect(expected, line.substr(0, line.find(' ')));
  }
  // The handshake after "220" to STARTTLS; whatever was read before it is dropped.
  void StartTls(SSL_CTX* context, bool asServer) {
    In.clear();
    Start = 0;
    Tls = SSL_new(context);
    if (!Tls || SSL_set_fd(Tls, Socket) != 1 || (asServer ? SSL_accept(Tls) : SSL_connect(Tls)) != 1)
      throw std::runtime_error("TLS handshake: " + OpenSslError());
  }
  bool InTls() const { return Tls != nullptr; }

private:
  int Socket;
  SSL* Tls = nullptr;
  std::string In; // read, not yet taken from Start on
  size_t Start = 0;
};

using TContext = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

TContext ClientContext() {
  TContext context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (!context) throw std::runtime_error("TLS client: " + OpenSslError());
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(context.get(), SSL_MODE_RELEASE_BUFFERS); // idle connections keep no buffers here
  return context;
}

TContext ServerContext(const std::string& certificate, const std::string& key) {
  TContext context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!context || SSL_CTX_use_certificate_chain_file(context.get(), certificate.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context.get()) != 1)
    throw std::runtime_error("certificate " + certificate + ": " + OpenSslError());
  return context;
}

// ---- client side: send and idle ---------------------------------------------

// Greeting, EHLO and, with a context, STARTTLS and EHLO again.
void Greet(TSmtpStream& stream, SSL_CTX* tls) {
  stream.Expect('2', "greeting");
  const std::string offer = stream.Command("EHLO client.bench.test", '2');
  if (!tls) return;
  if (offer.find("STARTTLS") == std::string::npos) throw std::runtime_error("EHLO: no STARTTLS offered");
  stream.Command("STARTTLS", '2');
  stream.StartTls(tls, false);
  stream.Command("EHLO client.bench.test", '2');
}

// The message as it goes after DATA: headers, lines of 76 characters up to size bytes, the final ".".
std::string MessageOf(size_t size) {
  std::string message = std::string("From: <") + kSender + ">\r\nTo: <" + kRecipient +
                        ">\r\nSubject: tls_load\r\nMessage-ID: <tls_load@src.bench.test>\r\n\r\n";
  const std::string line = std::string(76, 'x') + "\r\n";
  while (message.size() + line.size() <= size)
    message += line;
  return message + ".\r\n";
}

void SendOne(const TOptions& options, SSL_CTX* tls, const std::string& message) {
  const auto stream = TSmtpStream::Connect(options.Host, options.Port);
  Greet(*stream, tls);
  if (options.Pipelining) {
    stream->Write(std::string("MAIL FROM:<") + kSender + ">\r\nRCPT TO:<" + kRecipient + ">\r\nDATA\r\n");
    stream->Expect('2', "MAIL");
    stream->Expect('2', "RCPT");
    stream->Expect('3', "DATA");
    stream->Write(message + "QUIT\r\n");
    stream->Expect('2', "end of data");
    stream->Expect('2', "QUIT");
    return;
  }
  stream->Command(std::string("MAIL FROM:<") + kSender + ">", '2');
  stream->Command(std::string("RCPT TO:<") + kRecipient + ">", '2');
  stream->Command("DATA", '3');
  stream->Write(message);
  stream->Expect('2', "end of data");
  stream->Command("QUIT", '2');
}

// Counts failures and shows the first few reasons on standard error.
class TFailures {
public:
  void Add(const std::string& reason) {
    if (Count++ < 5) {
      std::lock_guard lock(Lock);
      std::fprintf(stderr, "tls_load: %s\n", reason.c_str());
    }
  }
  long Total() const { return Count; }

private:
  std::atomic<long> Count{0};
  std::mutex Lock;
};

// Runs body(i) for i in [0, count) on the given number of threads.
template <typename TBody> void Share(long count, int threads, TBody body) {
  std::atomic<long> next{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      for (long i = next++; i < count; i = next++)
        body(i);
    });
  for (auto& worker : workers)
    worker.join();
}

double SecondsSince(TClock::time_point start) { return std::chrono::duration<double>(TClock::now() - start).count(); }

int RunSend(const TOptions& options) {
  const auto tls = options.StartTls ? ClientContext() : TContext(nullptr, SSL_CTX_free);
  const std::string message = MessageOf(options.Size);
  TFailures failures;
  const auto start = TClock::now();
  Share(options.Messages, options.Concurrency, [&](long) {
    try {
      SendOne(options, tls.get(), message);
    } catch (const std::exception& error) {
      failures.Add(error.what());
    }
  });
  const double seconds = SecondsSince(start);
  std::printf("messages %ld failures %ld seconds %.3f rate %.1f\n", options.Messages, failures.Total(), seconds,
              static_cast<double>(options.Messages - failures.Total()) / seconds);
  return failures.Total() == 0 ? 0 : 1;
}

// Blocks the ending signals in this thread and the ones it starts later; returns them.
sigset_t BlockSignals(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : signals)
    sigaddset(&set, signal);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

int RunIdle(const TOptions& options) {
  const sigset_t ending = BlockSignals({SIGINT, SIGTERM});
  const auto tls = options.StartTls ? ClientContext() : TContext(nullptr, SSL_CTX_free);
  std::vector<std::unique_ptr<TSmtpStream>> held(static_cast<size_t>(options.Idle));
  TFailures failures;
  const auto start = TClock::now();
  Share(options.Idle, options.Concurrency, [&](long i) {
    try {
      auto stream = TSmtpStream::Connect(options.Host, options.Port);
      Greet(*stream, tls.get());
      held[static_cast<size_t>(i)] = std::move(stream);
    } catch (const std::exception& error) {
      failures.Add(error.what());
    }
  });
  std::printf("established %ld failures %ld seconds %.3f\n", options.Idle - failures.Total(), failures.Total(),
              SecondsSince(start));
  std::fflush(stdout);
  const timespec hold{options.HoldSeconds, 0};
  while (sigtimedwait(&ending, nullptr, options.HoldSeconds > 0 ? &hold : nullptr) < 0 && errno == EINTR) {
  }
  return failures.Total() == 0 ? 0 : 1;
}

// ---- sink ----------------------------------------------------------------

struct TSinkCounts {
  std::atomic<long> Messages{0}, Connections{0}, Tls{0};
  std::atomic<int> Open{0};
  void Print() {
    std::printf("messages %ld connections %ld tls %ld\n", Messages.load(), Connections.load(), Tls.load());
    std::fflush(stdout);
  }
};

std::string Upper(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// One session of the sink: replies go out together once no further command is waiting (pipelining).
void SinkSession(TSmtpStream& stream, SSL_CTX* tls, TSinkCounts& counts) {
  std::string out = "220 sink.bench.test ESMTP\r\n", line;
  stream.Write(out);
  out.clear();
  while (stream.ReadLine(line)) {
    const std::string word = Upper(line.substr(0, 4));
    if (word == "EHLO")
      out += std::string("250-sink.bench.test\r\n250-PIPELINING\r\n") +
             (tls && !stream.InTls() ? "250-STARTTLS\r\n" : "") + "250 8BITMIME\r\n";
    else if (word == "STAR" && tls && !stream.InTls()) {
      stream.Write(out + "220 2.0.0 Ready to start TLS\r\n");
      out.clear();
      stream.StartTls(tls, true);
      ++counts.Tls;
    } else if (word == "DATA") {
      stream.Write(out + "354 End data with <CR><LF>.<CR><LF>\r\n");
      out.clear();
      while (stream.ReadLine(line) && line != ".") {
      }
      if (line != ".") return;
      ++counts.Messages;
      out += "250 2.0.0 Ok: queued\r\n";
    } else if (word == "QUIT") {
      stream.Write(out + "221 2.0.0 Bye\r\n");
      return;
    } else if (word == "HELO" || word == "MAIL" || word == "RCPT" || word == "RSET" || word == "NOOP")
      out += "250 2.0.0 Ok\r\n";
    else
      out += "502 5.5.2 Error: command not recognized\r\n";
    if (!stream.LineWaiting() && !out.empty()) {
      stream.Write(out);
      out.clear();
    }
  }
}

int Listen(const TOptions& options) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options.Port));
  if (::inet_pton(AF_INET, options.Host.c_str(), &address.sin_addr) != 1) Usage("bad address " + options.Host);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1024) != 0)
    throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  return listener;
}

int RunSink(const TOptions& options) {
  const sigset_t signals = BlockSignals({SIGINT, SIGTERM, SIGUSR1});
  const auto tls =
      options.Certificate.empty() ? TContext(nullptr, SSL_CTX_free) : ServerContext(options.Certificate, options.Key);
  const int listener = Listen(options);
  static TSinkCounts counts; // outlives the detached session threads
  std::thread([listener, context = tls.get()] {
    while (true) {
      const int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (socket < 0) { // out of descriptors, say: wait for sessions to end
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      ++counts.Connections;
      if (++counts.Open > kMaxSinkConnections) {
        constexpr char kBusy[] = "421 4.3.2 sink busy\r\n";
        ::send(socket, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL);
        ::close(socket);
        --counts.Open;
        continue;
      }
      std::thread([socket, context] {
        try {
          TSmtpStream stream(socket);
          SinkSession(stream, context, counts);
        } catch (const std::exception&) {
          // a client that broke off: nothing to count
        }
        --counts.Open;
      }).detach();
    }
  }).detach();
  while (true) {
    int signal = 0;
    sigwait(&signals, &signal);
    counts.Print();
    if (signal != SIGUSR1) std::_Exit(0); // the session threads end with the process
  }
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

} // namespace

int main(int argc, char** argv) {
  const TOptions options = Parse(argc, argv);
  std::signal(SIGPIPE, SIG_IGN); // OpenSSL writes with write(2): a closed peer is an error, not the end
  RaiseDescriptorLimit();
  try {
    if (options.Sink) return RunSink(options);
    if (options.Idle > 0) return RunIdle(options);
    return RunSend(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tls_load: %s\n", error.what());
    return 1;
  }
}
