#pragma once
// The seam between the gateway and the operating system. Everything that waits, reads a clock,
// prints, or touches the modem port goes through these interfaces, so tests can run the whole
// gateway in virtual time against a modem model.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace mvo::platform {

// A monotonic millisecond clock and a sleep on it.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t now_ms() = 0;
  virtual void sleep_ms(std::int64_t ms) = 0;
};

// Local civil time, for time stamps.
class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual std::tm local_now() = 0;
};

// Standard output. Every write is flushed at once: progress lines end in '\r' and must show.
class Console {
 public:
  virtual ~Console() = default;
  virtual void write(const std::string& text) = 0;
};

// The working directory of the gateway; builds "configuration" and "log" paths with the
// platform's separator.
class Site {
 public:
  Site(std::string root, char separator) : root_(std::move(root)), separator_(separator) {}
  const std::string& root() const { return root_; }
  char separator() const { return separator_; }
  // root + sep + dir + sep + file
  std::string path(const std::string& dir, const std::string& file) const {
    return root_ + separator_ + dir + separator_ + file;
  }

 private:
  std::string root_;
  char separator_;
};

// The four line settings the gateway changes; a backend keeps every other setting it read.
struct LineSettings {
  std::uint32_t baud_rate = 0;
  std::uint8_t byte_size = 0;
  std::uint8_t parity = 0;     // 0 = none
  std::uint8_t stop_bits = 0;  // 0 = one stop bit
};

// Read and write time-outs in the COMMTIMEOUTS meaning used by the gateway (interval and
// multipliers 0): a read of n bytes returns when n bytes came or `read_ms` passed since it began;
// a write returns after at most `write_ms`, possibly short.
struct Timeouts {
  std::uint32_t read_ms = 0;
  std::uint32_t write_ms = 0;
};

// One serial port. Every call returns false on failure; last_error() is then the native code
// (errno, GetLastError()).
//
// A write completes when its bytes have left the port (a synchronous WriteFile on a serial port;
// on POSIX the output queue is drained), or when the write time-out runs out; bytes still queued
// then count as not written. So a purge after a write can never take back what was written: a
// purge discards input not yet read (and, on Windows, aborts what is pending, which is nothing).
// close() releases the port: false when the system reports an error, after which is_open() tells
// whether the port is still held (POSIX releases it anyway; Windows keeps the handle until a
// close succeeds). Closing a port that is not open succeeds. open() on a port still open fails.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  virtual bool open(const std::string& device) = 0;
  virtual bool is_open() const = 0;
  virtual bool get_settings(LineSettings& settings) = 0;
  // Applies the four fields onto the state last read by get_settings.
  virtual bool set_settings(const LineSettings& settings) = 0;
  virtual bool set_timeouts(const Timeouts& timeouts) = 0;
  virtual bool purge() = 0;
  virtual bool read(char* buffer, std::size_t size, std::size_t& got) = 0;
  virtual bool write(const char* data, std::size_t size, std::size_t& written) = 0;
  virtual bool close() = 0;
  virtual int last_error() const = 0;
};

// What every operation of the gateway is given.
struct Env {
  Clock& clock;
  WallClock& wall;
  Console& console;
  const Site& site;
  SerialPort& port;
};

}  // namespace mvo::platform
