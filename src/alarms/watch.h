#pragma once
// The gateway's own alarms by SMS (configuration/alarms.txt): a station silent past its bound,
// the same station reporting again, and the modem back on the air after an outage.
//
// The watch keeps what it knows in log/alarms.state, replaced whole at each change, so a restart
// or a power cut neither repeats an alarm nor forgets one that is due. Alarm texts are sent only
// between polls of an empty store, one text per turn, so a report waiting in the store always
// goes first, and never more than `per-hour` texts in any hour; stations due together are folded
// into one text.
#include <cstdint>
#include <string>
#include <vector>

#include "config/tables.h"
#include "platform/platform.h"

namespace mvo::alarms {

using platform::Env;

inline constexpr const char* kStateFileName = "alarms.state";
// After a start or an outage, stored reports reach the modem over some minutes: silence is not
// judged until the gateway has been on the air this long.
inline constexpr std::int64_t kSettleSeconds = 600;
inline constexpr std::size_t kMaxText = 160;  // one SMS
inline constexpr std::size_t kHistory = 60;   // texts kept: at least an hour's worth
inline constexpr std::size_t kMaxStateFile = 64 * 1024;
// The on-air moment is written at most this often while nothing else changes.
inline constexpr std::int64_t kOnAirWriteSeconds = 60;
// While the gateway runs, time is carried on by the process's steady clock. A wall clock that
// differs from it by more than this was set (a PC whose clock battery died, then corrected): a
// jump, neither silence nor a report.
inline constexpr std::int64_t kClockJumpSeconds = 120;

struct StationWatch {
  std::string number;
  std::int64_t since = 0;   // UTC seconds of its last message, or of the start of watching it
  std::string since_shown;  // the same moment in local time, "05/12/2026 14:02"
  bool heard = false;       // `since` is a message, not the start of watching
  bool alarmed = false;     // its silence has been texted
  bool back_due = false;    // it reported after its alarm: the "reports again" text is due
  bool operator==(const StationWatch&) const = default;
};

struct SentAlarm {
  std::int64_t utc = 0;
  std::string shown;  // local time
  std::string text;
  bool operator==(const SentAlarm&) const = default;
};

struct AlarmState {
  std::int64_t on_air = 0;       // the last moment known on the air (UTC), 0 when never
  std::int64_t off_air_due = 0;  // seconds off the air still to be texted, 0 for none
  std::vector<StationWatch> stations;
  std::vector<SentAlarm> sent;  // the latest texts, oldest first, at most kHistory
  bool operator==(const AlarmState&) const = default;
};

// log/alarms.state: "key=value" lines; station=<number>;<since>;<shown>;<heard>;<alarmed>;
// <back due> and sent=<utc>;<shown>;<text>, fields escaped as in the traffic log.
std::string state_text(const AlarmState& s);
// False when the text is not such a file; `s` is then left as it was.
bool parse_state(const std::string& text, AlarmState& s);

// "2d 3h", "3h 12m", "45m" (at least "0m").
std::string duration_text(std::int64_t seconds);

// One alarm due: what it is about and the texts that say it.
struct Due {
  enum Kind { kOffAir, kBack, kSilent } kind = kSilent;
  std::vector<std::size_t> stations;  // indices into the tables' stations
  std::string text;
};

class Watch {
 public:
  Watch(const config::Tables& tables, const config::AlarmSettings& settings);

  // Reads the state file; stations it does not know start being watched now. Called once,
  // before the first bring-up.
  void start(Env& env);
  // A bring-up succeeded: measures the time off the air.
  void on_air(Env& env);
  // A message from the listed station `index` was read.
  void heard(Env& env, int index);
  // The store is empty: sends at most one alarm text to every recipient. False when a send
  // failed (its texts and tags already written, as for a forward), so the cycle ends; when no
  // recipient could be reached the alarm stays due.
  bool between_polls(Env& env);

  // The next text due at `now` (UTC seconds), if any, without the rate limit. For mvo-check's
  // preview and for tests.
  bool next_due(std::int64_t now, Due& due) const;
  // Texts left in the hour's budget at `now`.
  int budget(std::int64_t now) const;
  const AlarmState& state() const { return state_; }
  // The texts of every alarm the file can send, with example values, for mvo-check --alarms.
  static std::vector<std::string> previews(const config::Tables& tables);

 private:
  void clamp_to(std::int64_t now);
  std::int64_t now(Env& env);
  std::int64_t settle_seconds() const;
  void keep_on_air(Env& env, std::int64_t now);
  void mark_told(const Due& due);
  void write(Env& env);
  std::string shown_now(Env& env) const;

  const config::Tables& tables_;
  const config::AlarmSettings& settings_;
  AlarmState state_;
  std::int64_t written_on_air_ = 0;
  std::int64_t settle_until_ = 0;
  bool brought_up_ = false;
  std::int64_t anchor_utc_ = 0;  // the wall clock's UTC seconds at anchor_ms_ of the steady clock
  std::int64_t anchor_ms_ = -1;
};

}  // namespace mvo::alarms
