#pragma once
// The gateway as a Windows service: what the Service Control Manager is told (SetServiceStatus)
// and when. It hears the gateway through the notices systemd gets (Notifier), so the gateway
// itself knows nothing of Windows services, and the sequence is the same code, tested in
// virtual time, on every system; platform/win32 joins it to the real manager.
//
//   START_PENDING   from the start while the site is read, a checkpoint at each of its waits
//   RUNNING         at "READY=1": the configuration is loaded; accepts stop and shutdown
//   STOP_PENDING    at a stop or shutdown control, at once; a checkpoint at each wait of the
//                   stop (at most kCheckpointMs apart), so checkpoints rise only while the
//                   gateway makes progress and a hung stop shows as one
//   STOPPED         when the gateway has ended, with its exit code (ServiceStatus::stopped)
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace mvo::platform {

// The fields of SERVICE_STATUS the gateway sets; the values are winsvc.h's.
struct ServiceReport {
  std::uint32_t state = 0;              // dwCurrentState
  std::uint32_t controls_accepted = 0;  // dwControlsAccepted
  std::uint32_t exit_code = 0;          // dwWin32ExitCode
  std::uint32_t service_exit_code = 0;  // dwServiceSpecificExitCode
  std::uint32_t checkpoint = 0;         // dwCheckPoint
  std::uint32_t wait_hint_ms = 0;       // dwWaitHint
};

namespace scm {
inline constexpr std::uint32_t kStopped = 1;
inline constexpr std::uint32_t kStartPending = 2;
inline constexpr std::uint32_t kStopPending = 3;
inline constexpr std::uint32_t kRunning = 4;
inline constexpr std::uint32_t kAcceptStop = 0x1;
inline constexpr std::uint32_t kAcceptShutdown = 0x4;
inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kServiceSpecificError = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR
}  // namespace scm

// The service-specific exit codes of a service that stopped without being asked to.
// The site or its configuration cannot be run (a halt before "READY=1"): starting it again
// fails the same way, as systemd's CONFIG status 78 says on Linux.
inline constexpr std::uint32_t kExitConfiguration = 78;
// A halt after the configuration was loaded (a fatal stop of the modem port).
inline constexpr std::uint32_t kExitHalted = 1;
// The gateway gave up on the modem (it cannot be brought up or shut down): a start again
// may help.
inline constexpr std::uint32_t kExitEnded = 2;

// SetServiceStatus, as the gateway sees it.
class ControlManager {
 public:
  virtual ~ControlManager() = default;
  virtual void report(const ServiceReport& report) = 0;
};

// Calls come from two threads, the gateway's (notify, stopped) and the manager's control
// handler (control): each report is made whole under a lock.
class ServiceStatus final : public Notifier {
 public:
  // A checkpoint at least this often while the gateway waits (its waits are sliced for it).
  static constexpr std::int64_t kCheckpointMs = 1000;
  // The longest step between two checkpoints: a wait slice, or a write to a modem that takes no
  // bytes, which ends after 30 s (the long port time-out), with room to spare.
  static constexpr std::uint32_t kWaitHintMs = 35000;

  // `ask_stop(urgent)` asks the gateway to stop as Ctrl-C does; urgent at a system shutdown.
  ServiceStatus(ControlManager& manager, std::function<void(bool urgent)> ask_stop);

  // START_PENDING, checkpoint 1.
  void start();
  // A control from the manager; false for one the service does not handle.
  bool control(std::uint32_t code);
  // The gateway's notices: "READY=1" (RUNNING), "STOPPING=1" and "WATCHDOG=1" (the next
  // checkpoint while pending); the status line is not the manager's.
  void notify(const std::string& notice) override;
  // The watchdog is fed at half its interval: a checkpoint every kCheckpointMs.
  std::int64_t watchdog_ms() const override { return 2 * kCheckpointMs; }
  // STOPPED, once the gateway has ended with `status` (its exit status): NO_ERROR after a
  // requested stop, else ERROR_SERVICE_SPECIFIC_ERROR with kExitConfiguration when it never
  // ran, kExitHalted after a halt, kExitEnded when it ended by itself.
  void stopped(int status);

 private:
  void enter(std::uint32_t state);  // under the lock
  void report();                    // under the lock

  ControlManager& manager_;
  std::function<void(bool)> ask_stop_;
  std::mutex mutex_;
  ServiceReport status_;
  bool ran_ = false;
  bool asked_ = false;
};

}  // namespace mvo::platform
