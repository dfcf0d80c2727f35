#include "platform/service_status.h"

#include <utility>

namespace mvo::platform {

ServiceStatus::ServiceStatus(ControlManager& manager, std::function<void(bool urgent)> ask_stop)
    : manager_(manager), ask_stop_(std::move(ask_stop)) {}

void ServiceStatus::enter(std::uint32_t state) {
  const bool pending = state == scm::kStartPending || state == scm::kStopPending;
  status_.state = state;
  status_.checkpoint = pending ? 1 : 0;
  status_.wait_hint_ms = pending ? kWaitHintMs : 0;
  status_.controls_accepted = state == scm::kRunning ? scm::kAcceptStop | scm::kAcceptShutdown : 0;
  report();
}

void ServiceStatus::report() { manager_.report(status_); }

void ServiceStatus::start() {
  const std::lock_guard<std::mutex> lock(mutex_);
  enter(scm::kStartPending);
}

bool ServiceStatus::control(std::uint32_t code) {
  if (code == scm::kControlInterrogate) return true;
  if (code != scm::kControlStop && code != scm::kControlShutdown) return false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (status_.state != scm::kRunning) return true;
    asked_ = true;
    enter(scm::kStopPending);
  }
  // After the report: the gateway's first checkpoint of the stop comes after this one.
  ask_stop_(code == scm::kControlShutdown);
  return true;
}

void ServiceStatus::notify(const std::string& notice) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (notice == "READY=1" && status_.state == scm::kStartPending) {
    ran_ = true;
    enter(scm::kRunning);
  } else if ((notice == "WATCHDOG=1" || notice == "STOPPING=1") &&
             (status_.state == scm::kStartPending || status_.state == scm::kStopPending)) {
    ++status_.checkpoint;
    report();
  }
}

void ServiceStatus::stopped(int status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  status_.exit_code = 0;
  status_.service_exit_code = 0;
  if (!(asked_ && status == 0)) {
    status_.exit_code = scm::kServiceSpecificError;
    status_.service_exit_code = !ran_ ? kExitConfiguration : status != 0 ? kExitHalted : kExitEnded;
  }
  enter(scm::kStopped);
}

}  // namespace mvo::platform
