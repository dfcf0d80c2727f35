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

// How long a stop waits for a fan-out in progress, from the first wait that saw the request. A
// text under way when it runs out is cut short (common::StopOverdue) and the rest is named, not
// sent. With an urgent request (the system ends the process seconds later) the patience is short.
inline constexpr std::int64_t kStopPatienceMs = 60000;
inline constexpr std::int64_t kUrgentPatienceMs = 1000;
// After the patience, the writes of the shut-down (leaving a text entry, the abort bytes) get
// this long in all; a modem that takes no bytes cannot hold the stop longer.
inline constexpr std::int64_t kStopWriteReserveMs = 5000;
inline constexpr std::int64_t kUrgentWriteReserveMs = 1000;
// So a stop ends within this long of the request whatever the modem does: the patience, the
// writes' reserve, the 2000 ms pause after the port's close, and room for the records. The
// service unit's TimeoutStopSec (90 s) covers it with margin.
inline constexpr std::int64_t kStopBoundMs = 75000;
// The state file is rewritten at most this often while the state stands.
inline constexpr std::int64_t kBeatIntervalMs = 60000;

// Called at every wait (each slice of a pause, each port read). Feeds the watchdog (at half its
// interval), rewrites the state file once a minute, and unwinds with common::StopRequest when a
// stop was asked for and no report is held, or with common::StopOverdue when a text is under way
// (SendWaiting) and the stop's patience is spent.
void on_wait(Env& env);

// The longest a single blocking wait may last now, at most `ms`: until the watchdog's next ping
// is due, or until the stop's patience runs out for a text under way. `ms` itself when neither
// applies, so that a gateway with no watchdog waits exactly as it always did.
std::int64_t wait_slice(Env& env, std::int64_t ms);

// The write watch of the port (SerialPort::watch_writes): feeds the watchdog during a long drain
// and, once a stop has used its patience and the writes' reserve, ends the write.
bool write_pause(Env& env);

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

// A stop was asked for and a fan-out has kept it waiting longer than its patience: the texts
// still due are not sent.
bool stop_overdue(Env& env);

// A text is under way for its lifetime: a stop past its patience cuts its waits.
class SendWaiting {
 public:
  explicit SendWaiting(Env& env);
  ~SendWaiting();
  SendWaiting(const SendWaiting&) = delete;
  SendWaiting& operator=(const SendWaiting&) = delete;

 private:
  platform::Service* service_;
};

// The name of a state in the state file: "starting", "bringing up", "on the air", "stopping",
// "stopped", "halted" ("" for none yet).
const char* state_name(platform::State state);

// The gateway's state, with its attempt (bringing up) or message (halted). Tells the service
// manager (STATUS=...) and rewrites the state file when it is on.
// The state file's first write of a run carries over, from the file the gateway before left, the
// last second the site was on the air (GatewayState::on_air_utc).
void set_state(Env& env, platform::State state, int attempt = 0, const std::string& message = "");

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
