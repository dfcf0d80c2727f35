#include "sim/core/sim_port.h"

#include <algorithm>

namespace mvo::sim {

bool SimPort::alive() {
  const std::int64_t now = clock_.now_ms();
  if (!open_) {
    error_ = kErrBadHandle;
    return false;
  }
  if (!peer_->line_up(now) || peer_->line_generation(now) != generation_) {
    error_ = kErrDeviceGone;
    return false;
  }
  return true;
}

bool SimPort::open(const std::string&) {
  const std::int64_t now = clock_.now_ms();
  if (open_ || !peer_->line_up(now)) {
    error_ = open_ ? 5 : kErrNotFound;  // 5: ERROR_ACCESS_DENIED, as for a port in use
    return false;
  }
  open_ = true;
  generation_ = peer_->line_generation(now);
  get_calls_ = 0;
  ++opens_;
  return true;
}

bool SimPort::get_settings(platform::LineSettings& settings) {
  if (!alive()) return false;
  if (++get_calls_ == failing_get_call_) {
    error_ = 31;  // ERROR_GEN_FAILURE
    return false;
  }
  settings = settings_;
  return true;
}

bool SimPort::set_settings(const platform::LineSettings& settings) {
  if (!alive()) return false;
  if (failing_set_) {
    error_ = 87;  // ERROR_INVALID_PARAMETER
    return false;
  }
  settings_ = settings;
  return true;
}

bool SimPort::set_timeouts(const platform::Timeouts& timeouts) {
  if (!alive()) return false;
  timeouts_ = timeouts;
  if (keep_history_) timeout_history_.push_back(timeouts);
  return true;
}

bool SimPort::purge() {
  if (!alive()) return false;
  peer_->purge(clock_.now_ms());
  return true;
}

bool SimPort::read(char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (!alive()) return false;
  const std::int64_t deadline = clock_.now_ms() + timeouts_.read_ms;
  for (;;) {
    const std::string bytes = peer_->take_output(clock_.now_ms(), size - got);
    std::copy(bytes.begin(), bytes.end(), buffer + got);
    got += bytes.size();
    if (got == size) return true;
    const std::int64_t next = peer_->next_output_time(clock_.now_ms());
    if (next > deadline) {
      clock_.advance_to(deadline);
      if (!alive()) return false;
      const std::string last = peer_->take_output(clock_.now_ms(), size - got);
      std::copy(last.begin(), last.end(), buffer + got);
      got += last.size();
      return true;
    }
    clock_.advance_to(std::max(next, clock_.now_ms()));
    if (!alive()) return false;
  }
}

bool SimPort::write(const char* data, std::size_t size, std::size_t& written) {
  written = 0;
  ++writes_;
  cut_short_ = false;
  if (!alive()) return false;
  std::size_t n = size;
  if (short_write_ >= 0) {
    n = std::min(size, static_cast<std::size_t>(short_write_));
    short_write_ = -1;
  }
  const bool fails = fault_write_ == writes_ && fault_fails_;
  if (fault_write_ == writes_) {
    n = std::min(n, fails && size > 0 ? std::min(fault_count_, size - 1) : fault_count_);
    fault_write_ = 0;
  }
  cut_short_ = n < size;
  peer_->input(data, n, clock_.now_ms());
  if (keep_history_) written_.append(data, n);
  written = n;
  if (fails) {
    error_ = kErrWriteFault;
    return false;
  }
  if (n < size) {
    clock_.advance_to(clock_.now_ms() + timeouts_.write_ms);
    error_ = kErrTimeout;
  }
  return true;
}

bool SimPort::close() {
  if (!open_) return true;
  if (failing_closes_ > 0) {
    --failing_closes_;
    error_ = kErrBadHandle;
    // A POSIX close releases the descriptor even when it reports an error.
    if (failed_close_releases_) open_ = false;
    return false;
  }
  open_ = false;
  return true;
}

}  // namespace mvo::sim
