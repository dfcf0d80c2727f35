#pragma once
// The real platform objects of the program, one implementation per operating system
// (platform/posix, platform/win32). The modem port is NativePort in the backend's own header.
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#ifdef _WIN32
#include "platform/service_status.h"
#endif

namespace mvo::platform::native {

// Monotonic milliseconds, 64-bit; sleeps are real sleeps of the thread.
class SteadyClock final : public Clock {
 public:
  std::int64_t now_ms() override;
  void sleep_ms(std::int64_t ms) override;
};

class LocalWallClock final : public WallClock {
 public:
  std::tm local_now() override;
  std::int64_t utc_seconds() override;
};

// Standard output, flushed after every text.
class StdoutConsole final : public Console {
 public:
  void write(const std::string& text) override;
};

#ifndef _WIN32
// Standard output as the journal (JOURNAL_STREAM): one "<priority>text\n" line an event.
class JournalConsole final : public Console {
 public:
  void write(const std::string& text) override;
  bool wants_lines() const override { return true; }
  void line(int priority, const std::string& text) override;
};

// The console is the journal: JOURNAL_STREAM ("<device>:<inode>") names standard output.
bool stdout_is_journal();
#endif

// From now on SIGTERM, SIGINT and SIGHUP (POSIX) or a console control event (Windows: Ctrl-C,
// Ctrl-Break, close, logoff, shutdown) only set stop.requested; no work happens in the handler.
// On POSIX the three signals are then blocked except inside the waits of SteadyClock and of the
// modem port, so a wait always sees them: a sleep returns early and a port read returns what it
// has. On Windows a sleep is cut short the same way, and a port read in progress is cancelled.
void install_stop_handlers(StopState& stop);
#ifdef _WIN32
// Called when the process is about to end: a console close event may let it go.
void stop_finished();
// As install_stop_handlers, for a service: no console events; the calling thread is the one
// whose port read a stop cancels.
void install_service_stop(StopState& stop);
// Sets stop.requested (and stop.urgent when asked) as a console event does: a sleep is cut
// short and the gateway thread's port read in progress is cancelled. From any thread.
void request_stop(bool urgent);

// The Application event log under the source `source`: one event a line, an error, a warning or
// information after the syslog priority the journal would get (logs::priority_of_tag). Bytes
// written as they come go nowhere: a service has no console.
class EventLogConsole final : public Console {
 public:
  explicit EventLogConsole(const char* source);
  ~EventLogConsole() override;
  EventLogConsole(const EventLogConsole&) = delete;
  EventLogConsole& operator=(const EventLogConsole&) = delete;
  void write(const std::string&) override {}
  bool wants_lines() const override { return true; }
  void line(int priority, const std::string& text) override;

 private:
  void* source_ = nullptr;  // HANDLE of RegisterEventSourceW
};

// Runs the process as the service `name` of the Service Control Manager: `body` runs on the
// service's thread with the status it reports through (START_PENDING already told), and its
// return value is the gateway's exit status (ServiceStatus::stopped). Returns the process's
// exit status: 0 once the service has stopped, 2 when the process was not started by the
// manager (a message on standard error says so).
int run_service(const std::string& name, const std::function<int(ServiceStatus&)>& body);
#endif

// Makes `dir` the working directory, where the gateway finds its site; false when it cannot.
bool enter_directory(const std::string& dir);

// systemd's notification socket when NOTIFY_SOCKET is set, with the watchdog interval of
// WATCHDOG_USEC when WATCHDOG_PID is unset or names this process; nullptr when there is none.
std::unique_ptr<Notifier> service_notifier();

long long process_id();

// The current working directory: with '/' on POSIX; with its drive and '\' on Windows.
Site current_site();

}  // namespace mvo::platform::native
