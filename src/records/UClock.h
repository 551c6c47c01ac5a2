// Wall clock seam and the local-time date helpers the records use.
// Callers: log writers (stamps, rotation), statistics labels, the monitor
// list. Any thread. TClock is replaced by a fixed clock in tests; nothing
// here fails.
#pragma once

#include <chrono>
#include <string>

namespace quibo {

using TTimePoint = std::chrono::system_clock::time_point;

class TClock {
public:
  virtual ~TClock() = default;
  virtual TTimePoint Now() const = 0;
};

class TSystemClock final : public TClock {
public:
  TTimePoint Now() const override { return std::chrono::system_clock::now(); }
};

// Whole local days since 1970-01-01: the date part of a local date-time.
long LocalDayNumber(TTimePoint when);
// "yyyy-mm-dd hh:nn:ss" in local time: the one stamp used everywhere.
std::string FormatStamp(TTimePoint when);
// "yymmdd" in local time, as used in rotated log names.
std::string FormatShortDate(TTimePoint when);
// "mmmm d, yyyy hh:mm:ss" in local time (full English month name).
std::string FormatLongDate(TTimePoint when);

inline constexpr std::chrono::hours kOneDay{24};

} // namespace quibo
