#include "UClock.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace quibo {
namespace {

std::tm LocalParts(TTimePoint when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  return parts;
}

} // namespace

long LocalDayNumber(TTimePoint when) {
  const std::tm parts = LocalParts(when);
  const std::chrono::year_month_day date{std::chrono::year{parts.tm_year + 1900},
                                         std::chrono::month{static_cast<unsigned>(parts.tm_mon + 1)},
                                         std::chrono::day{static_cast<unsigned>(parts.tm_mday)}};
  return std::chrono::sys_days{date}.time_since_epoch().count();
}

std::string FormatStamp(TTimePoint when) {
  const std::tm parts = LocalParts(when);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string FormatShortDate(TTimePoint when) {
  const std::tm parts = LocalParts(when);
  char text[64];
  std::snprintf(text, sizeof text, "%02d%02d%02d", parts.tm_year % 100, parts.tm_mon + 1, parts.tm_mday);
  return text;
}

std::string FormatLongDate(TTimePoint when) {
  static constexpr std::array<const char*, 12> kMonths{"January",   "February", "March",    "April",
                                                       "May",       "June",     "July",     "August",
                                                       "September", "October",  "November", "December"};
  const std::tm parts = LocalParts(when);
  char text[96];
  std::snprintf(text, sizeof text, "%s %d, %04d %02d:%02d:%02d", kMonths[static_cast<size_t>(parts.tm_mon)],
                parts.tm_mday, parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

} // namespace quibo
