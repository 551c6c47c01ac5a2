// A scripted DNS server on a loopback UDP port, for the blacklist lookups and
// rspamd's SPF and DMARC: per query name it answers with A records, with TXT
// records (to a TXT question; code 0 and no answer to any other), with code 0
// and no answer, with NXDOMAIN, with a malformed packet, or not at all,
// optionally after a delay. Names without a script get NXDOMAIN. It records
// every name asked.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quibo::test {

struct TDnsAnswer {
  enum TKind { Addresses, Texts, NoAnswer, NxDomain, Malformed, Silence } Kind = NxDomain;
  std::vector<std::string> Records; // A records, for Addresses; TXT records, for Texts
  int DelayMs = 0;
};

class TFakeDns {
public:
  // On the IPv4 loopback, or with ipv6 on ::1.
  explicit TFakeDns(bool ipv6 = false) {
    Socket = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 local6{};
    local6.sin6_family = AF_INET6;
    local6.sin6_addr = in6addr_loopback;
    sockaddr* bound = ipv6 ? reinterpret_cast<sockaddr*>(&local6) : reinterpret_cast<sockaddr*>(&local);
    socklen_t length = ipv6 ? sizeof local6 : sizeof local;
    ::bind(Socket, bound, length);
    ::getsockname(Socket, bound, &length);
    ListenPort = ntohs(ipv6 ? local6.sin6_port : local.sin_port);
    if (::pipe(Wake) != 0) throw std::runtime_error("no pipe for the fake DNS server");
    Worker = std::thread([this] { Serve(); });
  }
  ~TFakeDns() {
    [[maybe_unused]] const auto wrote = ::write(Wake[1], "x", 1);
    Worker.join();
    ::close(Socket);
    ::close(Wake[0]);
    ::close(Wake[1]);
  }

  int Port() const { return ListenPort; }
  void Script(const std::string& name, TDnsAnswer answer) {
    std::lock_guard lock(Lock);
    Answers[Lowered(name)] = std::move(answer);
  }
  // The answer to name waits until every one of others has been asked too.
  void HoldUntilAsked(const std::string& name, std::vector<std::string> others) {
    std::lock_guard lock(Lock);
    Held[Lowered(name)] = std::move(others);
  }
  std::vector<std::string> Asked() {
    std::lock_guard lock(Lock);
    return Names;
  }

private:
  using TClock = std::chrono::steady_clock;
  struct TPending {
    TClock::time_point Due;
    std::string Packet;
    sockaddr_storage Peer;
    std::vector<std::string> Awaiting; // names to be asked before it goes
  };

  static std::string Lowered(std::string text) {
    for (auto& c : text)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }
  // The question name of a query, and where its question section ends.
  static bool ParseQuestion(const std::string& query, std::string& name, size_t& end) {
    size_t at = 12;
    name.clear();
    while (at < query.size()) {
      const auto length = static_cast<unsigned char>(query[at]);
      if (length == 0) {
        end = at + 5; // the zero label, type and class
        return end <= query.size();
      }
      if (!name.empty()) name += '.';
      name += query.substr(at + 1, length);
      at += length + 1;
    }
    return false;
  }
  // One TXT record's data: its text in strings of at most 255 bytes.
  static std::string TextData(const std::string& text) {
    std::string data;
    for (size_t at = 0; at < text.size() || data.empty(); at += 255) {
      const std::string piece = text.substr(at, 255);
      data += static_cast<char>(piece.size());
      data += piece;
    }
    return data;
  }
  static std::string Reply(const std::string& query, size_t questionEnd, const TDnsAnswer& answer) {
    std::string packet = query.substr(0, questionEnd);
    const bool asksText = query[questionEnd - 4] == 0 && query[questionEnd - 3] == 16;
    packet[2] = static_cast<char>(0x81); // a response, recursion desired
    packet[3] = static_cast<char>(0x80 | (answer.Kind == TDnsAnswer::NxDomain ? 3 : 0));
    packet[6] = packet[7] = packet[8] = packet[9] = packet[10] = packet[11] = 0;
    if (answer.Kind == TDnsAnswer::Malformed) {
      packet[7] = 1;            // one answer is announced ...
      packet += "\xc0\x0c\x00"; // ... and cut short
      return packet;
    }
    if (answer.Kind == TDnsAnswer::Texts && asksText) {
      packet[7] = static_cast<char>(answer.Records.size());
      for (const auto& record : answer.Records) {
        const std::string data = TextData(record);
        packet += std::string("\xc0\x0c\x00\x10\x00\x01\x00\x00\x00\x3c", 10);
        packet += static_cast<char>(data.size() >> 8);
        packet += static_cast<char>(data.size() & 0xff);
        packet += data;
      }
      return packet;
    }
    if (answer.Kind != TDnsAnswer::Addresses) return packet;
    packet[7] = static_cast<char>(answer.Records.size());
    for (const auto& record : answer.Records) {
      in_addr address{};
      ::inet_pton(AF_INET, record.c_str(), &address);
      packet += std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12);
      packet.append(reinterpret_cast<const char*>(&address), 4);
    }
    return packet;
  }

  bool AllAsked(const std::vector<std::string>& names) {
    std::lock_guard lock(Lock);
    return std::all_of(names.begin(), names.end(), [this](const std::string& name) {
      return std::any_of(Names.begin(), Names.end(),
                         [&name](const std::string& asked) { return Lowered(asked) == Lowered(name); });
    });
  }

  void Serve() {
    std::vector<TPending> pending;
    while (true) {
      int waitMs = -1;
      const auto now = TClock::now();
      for (auto item = pending.begin(); item != pending.end();) {
        if (!AllAsked(item->Awaiting)) { // a new query wakes the loop
          ++item;
          continue;
        }
        if (item->Due <= now) {
          ::sendto(Socket, item->Packet.data(), item->Packet.size(), 0, reinterpret_cast<sockaddr*>(&item->Peer),
                   sizeof item->Peer);
          item = pending.erase(item);
          continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(item->Due - now).count() + 1;
        waitMs = waitMs < 0 ? static_cast<int>(left) : std::min(waitMs, static_cast<int>(left));
        ++item;
      }
      pollfd waits[2] = {{Socket, POLLIN, 0}, {Wake[0], POLLIN, 0}};
      if (::poll(waits, 2, waitMs) < 0) continue;
      if (waits[1].revents) return;
      if (!waits[0].revents) continue;
      char buffer[512];
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      const ssize_t got = ::recvfrom(Socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &length);
      if (got < 12) continue;
      const std::string query(buffer, static_cast<size_t>(got));
      std::string name;
      size_t questionEnd = 0;
      if (!ParseQuestion(query, name, questionEnd)) continue;
      TDnsAnswer answer;
      std::vector<std::string> awaiting;
      {
        std::lock_guard lock(Lock);
        Names.push_back(name);
        const auto scripted = Answers.find(Lowered(name));
        if (scripted != Answers.end()) answer = scripted->second;
        const auto held = Held.find(Lowered(name));
        if (held != Held.end()) awaiting = held->second;
      }
      if (answer.Kind == TDnsAnswer::Silence) continue;
      pending.push_back({TClock::now() + std::chrono::milliseconds(answer.DelayMs), Reply(query, questionEnd, answer),
                         peer, awaiting});
    }
  }

  int Socket = -1;
  int ListenPort = 0;
  int Wake[2] = {-1, -1};
  std::thread Worker;
  std::mutex Lock;
  std::map<std::string, TDnsAnswer> Answers;
  std::map<std::string, std::vector<std::string>> Held;
  std::vector<std::string> Names;
};

} // namespace quibo::test
