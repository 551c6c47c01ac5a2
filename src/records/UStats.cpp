#include "UStats.h"

#include <algorithm>
#include <fstream>

namespace quibo {

void TStats::Bump(TStatCounter counter) {
  ++Current[counter];
  ++Lifetime[counter];
}

void TStats::CountStatEvent(int code, long rowId) {
  auto rowAt = [this, rowId]() -> TBLServer* {
    const auto row =
        std::find_if(Servers.begin(), Servers.end(), [rowId](const TBLServer& s) { return s.Id == rowId; });
    return row == Servers.end() ? nullptr : &*row;
  };
  switch (code) {
  case 0: Bump(Total); break;
  case 2: Bump(Passed); break;
  case 3: Bump(NoRelay), Bump(Refused); break;
  case 4: Bump(BlackListed), Bump(Refused); break;
  case 5:
    if (auto* server = rowAt()) ++server->TotalChecks;
    break;
  case 6:
    if (auto* server = rowAt()) ++server->Timeout;
    break;
  case 7:
    if (auto* server = rowAt()) ++server->Listed;
    break;
  case 8: Bump(Virus), Bump(Refused); break;
  case 9: Bump(Heurastic), Bump(Refused); break;
  case 10: Bump(HeurasticDropped), Bump(Refused); break;
  default: break;
  }
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

int TConnectionCounters::Apply(int code) {
  switch (code) {
  case 1: ++ServerConnects; return 0;
  case 2: ++ClientConnects; return 2;
  case 3: ++ClientDisconnects; return -1;
  case 4: ++ServerDisconnects; return -1;
  default: return -1;
  }
}

void TConnectionCounters::ClearOnRotate() {
  ServerConnects -= ServerDisconnects;
  ServerDisconnects = 0;
  ClientConnects -= ClientDisconnects;
  ClientDisconnects = 0;
}

} // namespace quibo
