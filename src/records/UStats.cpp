#include "UStats.h"

#include <algorithm>
#include <fstream>

namespace quibo {

void TStats::Bump(TStatCounter counter) {
  ++Current[counter];
  ++Lifetime[counter];
}

void TStats::CountStatEvent(TStatEvent event, long rowId) {
  auto rowAt = [this, rowId]() -> TBLServer* {
    const auto row =
        std::find_if(Servers.begin(), Servers.end(), [rowId](const TBLServer& s) { return s.Id == rowId; });
    return row == Servers.end() ? nullptr : &*row;
  };
  switch (event) {
  case TStatEvent::ConnectionServed: Bump(Total); break;
  case TStatEvent::RelayConnected: Bump(Passed); break;
  case TStatEvent::RecipientNotLocal: Bump(NoRelay), Bump(Refused); break;
  case TStatEvent::HostBlacklisted: Bump(BlackListed), Bump(Refused); break;
  case TStatEvent::DnsLookupStarted:
    if (auto* server = rowAt()) ++server->TotalChecks;
    break;
  case TStatEvent::DnsLookupTimedOut:
    if (auto* server = rowAt()) ++server->Timeout;
    break;
  case TStatEvent::DnsLookupListed:
    if (auto* server = rowAt()) ++server->Listed;
    break;
  case TStatEvent::VirusFound: Bump(Virus), Bump(Refused); break;
  case TStatEvent::HeurasticPositive: Bump(Heurastic), Bump(Refused); break;
  case TStatEvent::HeurasticDropped: Bump(HeurasticDropped), Bump(Refused); break;
  case TStatEvent::RspamdRefused: Bump(Refused); break;
  default: break; // an event the page does not count
  }
}

namespace {
long MinuteNumber(TTimePoint when) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::minutes>(when.time_since_epoch()).count());
}
} // namespace

void TMinuteCounts::Add(TTimePoint now, int count) {
  const long minute = MinuteNumber(now);
  const size_t slot = static_cast<size_t>(minute) % kMinutes;
  if (MinuteOf[slot] != minute) {
    MinuteOf[slot] = minute;
    Counts[slot] = 0;
  }
  Counts[slot] += count;
}

std::vector<int> TMinuteCounts::LastHour(TTimePoint now) const {
  const long current = MinuteNumber(now);
  std::vector<int> counts;
  for (long minute = current - static_cast<long>(kMinutes) + 1; minute <= current; ++minute) {
    const size_t slot = static_cast<size_t>(minute) % kMinutes;
    counts.push_back(MinuteOf[slot] == minute ? Counts[slot] : 0);
  }
  return counts;
}

std::string TStats::ZoneOf(long rowId) const {
  const auto row = std::find_if(Servers.begin(), Servers.end(), [rowId](const TBLServer& s) { return s.Id == rowId; });
  return row == Servers.end() ? std::string() : row->HostName;
}

void TStats::ResetStatistics() {
  Current.fill(0);
  for (auto& server : Servers)
    server.TotalChecks = server.Timeout = server.Listed = 0;
}

long TStats::AddBlacklistServer(const std::string& host) {
  Servers.push_back(TBLServer{host, NextServerId});
  return NextServerId++;
}

void TStats::DeleteBlacklistServer(size_t index) {
  if (index < Servers.size()) Servers.erase(Servers.begin() + static_cast<std::ptrdiff_t>(index));
}

namespace {

// The totals a ".stat" file holds; a short file gives zeros for the rest.
bool ReadStatFile(const std::filesystem::path& file, TStats::TCounters& totals) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  unsigned char bytes[4 * StatCounterCount] = {};
  in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  const size_t whole = static_cast<size_t>(in.gcount()) / 4;
  totals.fill(0);
  for (size_t i = 0; i < whole; ++i) {
    const uint32_t value = uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 | uint32_t(bytes[4 * i + 2]) << 16 |
                           uint32_t(bytes[4 * i + 3]) << 24;
    totals[i] = static_cast<int32_t>(value);
  }
  return true;
}

} // namespace

bool TStats::LoadStatFile(const std::filesystem::path& file) {
  TCounters stored{};
  if (!ReadStatFile(file, stored)) return false;
  for (size_t i = 0; i < StatCounterCount; ++i) // 32-bit counters wrap, as the file's do
    Lifetime[i] = static_cast<int32_t>(static_cast<uint32_t>(Lifetime[i]) + static_cast<uint32_t>(stored[i]));
  return true;
}

bool TStats::SaveStatFile(const std::filesystem::path& file) const {
  unsigned char bytes[4 * StatCounterCount];
  for (size_t i = 0; i < StatCounterCount; ++i) {
    const auto value = static_cast<uint32_t>(Lifetime[i]);
    for (size_t b = 0; b < 4; ++b)
      bytes[4 * i + b] = static_cast<unsigned char>(value >> (8 * b));
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
  return static_cast<bool>(out.flush());
}

std::optional<TStatEvent> TConnectionCounters::Apply(long code) {
  switch (code) {
  case ServerConnect: ++ServerConnects; return TStatEvent::ConnectionServed;
  case ClientConnect: ++ClientConnects; return TStatEvent::RelayConnected;
  case ClientDisconnect: ++ClientDisconnects; return std::nullopt;
  case ServerDisconnect: ++ServerDisconnects; return std::nullopt;
  default: return std::nullopt;
  }
}

void TConnectionCounters::ClearOnRotate() {
  ServerConnects -= ServerDisconnects;
  ServerDisconnects = 0;
  ClientConnects -= ClientDisconnects;
  ClientDisconnects = 0;
}

} // namespace quibo
