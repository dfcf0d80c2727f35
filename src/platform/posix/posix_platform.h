#pragma once
// The POSIX backend: the modem port on a termios device.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/native.h"

namespace mvo::platform::posix {

// Device names: a leading "\\.\" is dropped; "COMn" stands for /dev/ttyS(n-1); any other name is
// the device path itself (/dev/ttyUSB0, /dev/serial/by-id/..., a symlink to a pseudo-terminal).
std::string device_path(const std::string& name);

// The output side of a termios port as a write drains it: the bytes the driver still holds
// (TIOCOUTQ), their discard (tcflush TCOFLUSH), and the clock and pause of the drain. The real one
// asks the kernel; a test gives its own queue and virtual time, since a pseudo-terminal's queue
// always reads 0 and a real line's drain takes real time.
class OutputQueue {
 public:
  virtual ~OutputQueue() = default;
  // The bytes written to `fd` that have not left the port yet; false when it cannot be told.
  virtual bool queued(int fd, int& count) = 0;
  // Throws away what `fd` still holds for output.
  virtual void discard(int fd) = 0;
  virtual std::int64_t now_ms() = 0;
  virtual void pause_ms(std::int64_t ms) = 0;
};

// The kernel's queue (TIOCOUTQ, tcflush), the monotonic clock and nanosleep.
OutputQueue& kernel_output_queue();

// A termios serial port in raw mode, opened exclusively, with the COMMTIMEOUTS meaning of reads
// and writes emulated by poll() against a deadline. A write's deadline and its drain go through
// `queue` (the kernel's by default).
class TermiosPort final : public SerialPort {
 public:
  TermiosPort() : queue_(kernel_output_queue()) {}
  explicit TermiosPort(OutputQueue& queue) : queue_(queue) {}
  ~TermiosPort() override;
  bool open(const std::string& device) override;
  bool is_open() const override { return fd_ >= 0; }
  bool get_settings(LineSettings& settings) override;
  bool set_settings(const LineSettings& settings) override;
  bool set_timeouts(const Timeouts& timeouts) override;
  bool purge() override;
  bool read(char* buffer, std::size_t size, std::size_t& got) override;
  bool write(const char* data, std::size_t size, std::size_t& written) override;
  bool close() override;
  int last_error() const override { return error_; }
  void watch_writes(std::function<bool()> tick) override { write_watch_ = std::move(tick); }

 private:
  bool fail();
  bool write_cut() { return write_watch_ && write_watch_(); }
  std::function<bool()> write_watch_;
  OutputQueue& queue_;
  int fd_ = -1;
  int error_ = 0;
  Timeouts timeouts_{3000, 3000};
  struct Saved;
  Saved* saved_ = nullptr;
};

using NativePort = TermiosPort;

}  // namespace mvo::platform::posix
