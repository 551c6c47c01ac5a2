// TStats: the since-reset counters, the lifetime totals, one row per DNS
// blacklist zone, and the four live connection counters of the status page.
// Owned by TForm1 and changed on the window thread only (workers post
// EvStatistic / EvConnection). Reading and writing the ".stat" file never
// fails towards the caller: errors leave the counters as they are.
#pragma once

#include "UClock.h"
#include "UEvents.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quibo {

enum TStatCounter : size_t {
  Total,
  Refused,
  Passed,
  NoRelay,
  BlackListed,
  Virus,
  Heurastic,
  HeurasticDropped,
  StatCounterCount
};

struct TBLServer {
  std::string HostName;
  long Id = 0; // what the DNS lookup events name the row by
  int32_t TotalChecks = 0;
  int32_t Timeout = 0;
  int32_t Listed = 0;
};

class TStats {
public:
  using TCounters = std::array<int32_t, StatCounterCount>;

  // The DNS lookup events name their row by its id: a row deleted meanwhile is not counted.
  void CountStatEvent(TStatEvent event, long rowId = 0);
  void ResetStatistics();
  // Appends a row; returns its id, never the id of an earlier row.
  long AddBlacklistServer(const std::string& host);
  void DeleteBlacklistServer(size_t index);
  void ClearBlacklistServers() { Servers.clear(); }
  // Adds the file's totals to the lifetime totals counted so far (none at start-up).
  bool LoadStatFile(const std::filesystem::path& file);
  bool SaveStatFile(const std::filesystem::path& file) const;

  const TCounters& SinceReset() const { return Current; }
  const TCounters& Totals() const { return Lifetime; }
  const std::vector<TBLServer>& BlacklistServers() const { return Servers; }
  // The zone of a row id; empty for a row deleted meanwhile.
  std::string ZoneOf(long rowId) const;

private:
  void Bump(TStatCounter counter);

  TCounters Current{};
  TCounters Lifetime{};
  std::vector<TBLServer> Servers;
  long NextServerId = 0;
};

// Messages (passed or found positive) per minute over the last hour, for the
// web console's chart. Window thread, as TStats.
class TMinuteCounts {
public:
  static constexpr size_t kMinutes = 60;
  void Add(TTimePoint now, int count);
  // Oldest minute first, the current minute last.
  std::vector<int> LastHour(TTimePoint now) const;

private:
  std::array<int, kMinutes> Counts{};
  std::array<long, kMinutes> MinuteOf{}; // the minute since the epoch each slot counts
};

// Server and client connects and disconnects, shown on the status page.
struct TConnectionCounters {
  int32_t ServerConnects = 0;
  int32_t ServerDisconnects = 0;
  int32_t ClientConnects = 0;
  int32_t ClientDisconnects = 0;

  // Applies an EvConnection code; returns the statistics event it implies, if any.
  std::optional<TStatEvent> Apply(long code);
  // At log rotation: connections still open stay counted.
  void ClearOnRotate();
  void Reset() { *this = TConnectionCounters{}; }
};

} // namespace quibo
