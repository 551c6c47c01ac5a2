// A clock that stands where the test puts it.
#pragma once

#include "UClock.h"

#include <ctime>

namespace quibo::test {

class TFixedClock final : public TClock {
public:
  TTimePoint Now() const override { return Current; }
  void Set(TTimePoint when) { Current = when; }
  void Advance(std::chrono::seconds by) { Current += by; }
  TTimePoint Current = std::chrono::system_clock::now();
};

// A local date and time as a time point.
inline TTimePoint LocalTime(int year, int month, int day, int hour = 12, int minute = 0) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&parts));
}

} // namespace quibo::test
