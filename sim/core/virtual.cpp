#include "sim/core/virtual.h"

namespace mvo::sim {

namespace {
// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::tm civil_from_seconds(std::int64_t s) {
  std::int64_t days = s / 86400;
  std::int64_t rem = s % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  std::tm t{};
  t.tm_hour = static_cast<int>(rem / 3600);
  t.tm_min = static_cast<int>(rem / 60 % 60);
  t.tm_sec = static_cast<int>(rem % 60);
  t.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
  t.tm_year = static_cast<int>(y - 1900);
  t.tm_mon = static_cast<int>(m - 1);
  t.tm_mday = static_cast<int>(d);
  return t;
}

std::int64_t seconds_of(const std::tm& t) {
  return days_from_civil(t.tm_year + 1900, static_cast<unsigned>(t.tm_mon + 1),
                         static_cast<unsigned>(t.tm_mday)) *
             86400 +
         t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}
}  // namespace

std::tm VirtualWallClock::at(int year, int month, int day, int hour, int min, int sec) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return civil_from_seconds(seconds_of(t));
}

std::tm VirtualWallClock::default_start() { return at(2012, 2, 26, 13, 19, 42); }

std::tm VirtualWallClock::local_now() {
  return civil_from_seconds(seconds_of(start_) + (clock_.now_ms() - offset_ms_) / 1000);
}

void VirtualWallClock::set_start(std::tm start, std::int64_t clock_ms) {
  start_ = start;
  offset_ms_ = clock_ms;
}

}  // namespace mvo::sim
