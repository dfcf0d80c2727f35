#pragma once
// The gateway's life under whatever runs it: stopping on request, the service manager's notices
// and watchdog, the state file for monitoring, and the traffic log. Every function here does
// nothing when the Env has no Service, so a gateway run without one behaves as it always did.
#include <cstdint>
#include <string>

#include "logs/records.h"
#include "platform/platform.h"

namespace mvo::logs {

using platform::Env;

// How long a stop waits for a fan-out in progress, from the first wait that saw the request.
// The service unit's TimeoutStopSec covers it with room for the shut-down.
inline constexpr std::int64_t kStopPatienceMs = 60000;
// The state file is rewritten at most this often while the state stands.
inline constexpr std::int64_t kBeatIntervalMs = 60000;

// Called at every wait (each slice of a pause, each port read). Feeds the watchdog (at half its
// interval), rewrites the state file once a minute, and unwinds with common::StopRequest when a
// stop was asked for and no report is held.
void on_wait(Env& env);

// Holds a stop for its lifetime: a report is between its deletion and the end of its fan-out.
class StopHold {
 public:
  explicit StopHold(Env& env);
  ~StopHold();
  StopHold(const StopHold&) = delete;
  StopHold& operator=(const StopHold&) = delete;

 private:
  platform::Service* service_;
  int before_ = 0;
};

// A stop was asked for and a fan-out has kept it waiting longer than kStopPatienceMs: the texts
// still due are not sent.
bool stop_overdue(Env& env);

// The gateway's state: "starting", "bringing up" (with its attempt), "on the air", "stopping",
// "stopped", "halted" (with its message). Tells the service manager (STATUS=...) and rewrites
// the state file when it is on.
// The state file's first write of a run carries over, from the file the gateway before left, the
// last second the site was on the air (GatewayState::on_air_utc).
void set_state(Env& env, const std::string& state, int attempt = 0,
               const std::string& message = "");

// "halted" once a halt has unwound: with fatal_stop's message, or else with the last console text
// (a configuration loader prints its fault, then halts), blanks and line ends around it dropped.
void set_halted(Env& env);

// One notice to the service manager, when there is one ("READY=1", "STOPPING=1").
void notify(Env& env, const std::string& notice);

// Appends one record to log/traffic.log when it is on, stamped with the local time now. A file
// that cannot be written is retried as the error log is: "Cannot open traffic log 1 ", "..2 ",
// "..3 " with 1000 ms after each, a fourth try, then "..ignored\n " and the record is dropped.
void log_traffic(Env& env, TrafficRecord record);

// The syslog priority a console text gets in the journal, from the tag logged after it.
int priority_of_tag(const std::string& tag);
inline constexpr int kPriorityError = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;

}  // namespace mvo::logs
