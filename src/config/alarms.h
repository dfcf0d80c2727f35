#pragma once
// configuration/alarms.txt: the gateway's own alarms by SMS. Absent, or holding only comments,
// it turns nothing on. Read once at start, after the other files, since it names their entries.
//
//   silent 24h              every listed station counts as silent after 24 hours without a message
//   silent Tank3 6h         this station (its name or number in stations.txt) after 6 hours
//   off-air 2h              one text when the modem comes back after more than 2 hours off the air
//   to Ops                  a recipient: a destination's name in destinations.txt...
//   to +447700900123        ...or a number of its own
//   per-hour 6              at most 6 alarm texts an hour (the default)
//
// A time is a whole number followed by m (minutes), h (hours) or d (days); a bare number counts
// as hours. Names with blanks may be quoted. '#' starts a comment, at the start of a line or
// after a blank.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mvo::config {

struct Station;
struct Destination;
struct Where;
using platform::Env;

inline constexpr int kMaxAlarmRecipients = 11;
inline constexpr int kMaxAlarmsPerHour = 60;
inline constexpr int kDefaultAlarmsPerHour = 6;
inline constexpr std::int64_t kMaxAlarmBound = 366LL * 86400;

struct AlarmRecipient {
  std::string name;  // the destination's name, or empty for a number of its own
  std::string number;
};

struct AlarmSettings {
  bool on = false;  // any alarm is set: without it the gateway does exactly what it always did
  // Seconds without a message after which each station (in stations.txt order) counts as
  // silent; 0 when it is not watched.
  std::vector<std::int64_t> silent_after;
  std::int64_t off_air_after = 0;  // seconds; 0: no "back on the air" text
  std::vector<AlarmRecipient> recipients;
  int per_hour = kDefaultAlarmsPerHour;
};

// "6h" -> 21600; false when it is not a time the file accepts (1 minute to 366 days).
bool parse_alarm_time(const std::string& word, std::int64_t& seconds);

// Reads configuration/alarms.txt against the loaded stations and destinations. A fault halts
// with " line N in file alarms.txt: ...\n" (or " file alarms.txt: ...\n" for the whole file).
AlarmSettings load_alarms(Env& env, const std::vector<Station>& stations,
                          const std::vector<Destination>& destinations, Where* where = nullptr);

}  // namespace mvo::config
