#pragma once
// A serial port in virtual time, attached to a peer (the modem model, or a scripted peer in
// tests). Reads and writes keep the COMMTIMEOUTS meaning of the real ports: a read of n bytes
// returns when n bytes came or its time-out passed, advancing the virtual clock to the peer's next
// output or to the time-out, whichever is first.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/core/virtual.h"

namespace mvo::sim {

class Peer {
 public:
  virtual ~Peer() = default;
  // Bytes from the gateway, at time `now`.
  virtual void input(const char* data, std::size_t size, std::int64_t now) = 0;
  // Time of the earliest output not yet taken, or INT64_MAX when none is scheduled.
  virtual std::int64_t next_output_time(std::int64_t now) = 0;
  // Up to `max` bytes due at or before `now`.
  virtual std::string take_output(std::int64_t now, std::size_t max) = 0;
  // Discards the output that has reached the port by `now` (the host's purge).
  virtual void purge(std::int64_t now) = 0;
  // The line's generation: it changes when the line drops, so a handle opened before fails.
  virtual int line_generation(std::int64_t now) = 0;
  virtual bool line_up(std::int64_t now) = 0;
};

// Native error codes the simulated port reports.
inline constexpr int kErrNotFound = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr int kErrBadHandle = 6;      // ERROR_INVALID_HANDLE
inline constexpr int kErrDeviceGone = 1167;  // ERROR_DEVICE_NOT_CONNECTED
inline constexpr int kErrWriteFault = 29;    // ERROR_WRITE_FAULT
inline constexpr int kErrTimeout = 1460;     // ERROR_TIMEOUT

class SimPort final : public platform::SerialPort {
 public:
  SimPort(VirtualClock& clock, Peer& peer) : clock_(clock), peer_(&peer) {}
  // Puts another peer on the line (a test swaps the modem model for a scripted peer).
  void attach(Peer& peer) { peer_ = &peer; }

  bool open(const std::string& device) override;
  bool is_open() const override { return open_; }
  bool get_settings(platform::LineSettings& settings) override;
  bool set_settings(const platform::LineSettings& settings) override;
  bool set_timeouts(const platform::Timeouts& timeouts) override;
  bool purge() override;
  bool read(char* buffer, std::size_t size, std::size_t& got) override;
  bool write(const char* data, std::size_t size, std::size_t& written) override;
  bool close() override;
  int last_error() const override { return error_; }

  // What a test can look at or break.
  const platform::LineSettings& settings() const { return settings_; }
  const platform::Timeouts& timeouts() const { return timeouts_; }
  const std::vector<platform::Timeouts>& timeout_history() const { return timeout_history_; }
  const std::string& written() const { return written_; }
  int opens() const { return opens_; }
  // The next `count` closes fail; the port stays open (the Win32 way) or is released anyway
  // (the POSIX way, `releases`).
  void fail_closes(int count, bool releases = false) {
    failing_closes_ = count;
    failed_close_releases_ = releases;
  }
  // Off for long soaks: the time-out history and the written bytes grow with every exchange.
  void keep_history(bool keep) { keep_history_ = keep; }
  void fail_settings(int get_call) { failing_get_call_ = get_call; }
  void fail_set_settings() { failing_set_ = true; }
  // The next write puts only `count` bytes through, then times out.
  void short_write(std::size_t count) { short_write_ = static_cast<long>(count); }
  // Write number `number` (see writes()) puts only its first `count` bytes through, then times
  // out as a short write does; with `fails` it reports a failure (ERROR_WRITE_FAULT) after them
  // instead, at once, and never after its last byte (a port reports a failure only for a write
  // it did not take whole). A later plan replaces this one; number 0 clears it.
  void plan_write_fault(long number, std::size_t count, bool fails) {
    fault_write_ = number;
    fault_count_ = count;
    fault_fails_ = fails;
  }
  // The writes asked of this port so far, the one in progress included (a peer taking bytes can
  // tell which write they belong to).
  long writes() const { return writes_; }
  // Whether the latest write put fewer bytes through than it was given (known to the peer while
  // it takes them).
  bool cut_short() const { return cut_short_; }

 private:
  bool alive();
  VirtualClock& clock_;
  Peer* peer_;
  bool open_ = false;
  int generation_ = 0;
  int error_ = 0;
  int opens_ = 0;
  int failing_closes_ = 0;
  bool failed_close_releases_ = false;
  int failing_get_call_ = 0;
  int get_calls_ = 0;
  bool failing_set_ = false;
  long short_write_ = -1;
  long writes_ = 0;
  long fault_write_ = 0;
  std::size_t fault_count_ = 0;
  bool fault_fails_ = false;
  bool cut_short_ = false;
  bool keep_history_ = true;
  platform::LineSettings settings_{9600, 7, 2, 2};
  platform::Timeouts timeouts_{};
  std::vector<platform::Timeouts> timeout_history_;
  std::string written_;
};

}  // namespace mvo::sim
