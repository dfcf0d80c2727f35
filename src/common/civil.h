#pragma once
// Calendar arithmetic shared by the log records and the platform's clocks.
#include <cstdint>

namespace mvo::common {

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar (eras of 400 years).
inline std::int64_t days_from_civil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace mvo::common
