#pragma once
// The seam between the gateway and the operating system. Everything that waits, reads a clock,
// prints, or touches the modem port goes through these interfaces, so tests can run the whole
// gateway in virtual time against a modem model.
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "common/civil.h"

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
  // Seconds since 1970-01-01 00:00 UTC, free of the zone and its summer time, for ages compared
  // across restarts. A clock without a zone (a simulated one) counts its local time as UTC.
  virtual std::int64_t utc_seconds() {
    const std::tm t = local_now();
    const std::int64_t days = common::days_from_civil(1900 + t.tm_year, t.tm_mon + 1, t.tm_mday);
    return days * 86400 + t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
  }
};

// Standard output. Every write is flushed at once: progress lines end in '\r' and must show.
class Console {
 public:
  virtual ~Console() = default;
  virtual void write(const std::string& text) = 0;
  // A console that keeps whole lines with a syslog priority (the journal) instead of the bytes
  // as they come; the gateway then hands it one event a line (logs::say).
  virtual bool wants_lines() const { return false; }
  virtual void line(int /*priority*/, const std::string& /*text*/) {}
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
// then count as not written and are discarded. So a purge after a write can never take back what
// was written: on both systems a purge discards and aborts input only (POSIX tcflush TCIFLUSH;
// Windows PURGE_RXABORT | PURGE_RXCLEAR, never a TX flag, which under Wine flushes the tty's output
// and with a USB adapter reaches bytes a completed WriteFile already handed to the adapter).
//
// What the queue and the discard reach on real drivers (Linux, the hardware tier): TIOCOUTQ
// counts the driver's buffer only. On the 8250 (16550) the UART's 16-byte transmit FIFO is not in
// it, so up to 16 bytes of a write that timed out still go out when the line moves again, and the
// discard does not reach them; a modem that stopped taking bytes at a text prompt got the first 16
// bytes of a 23-byte text (then the gateway's ESC), never the 7 discarded. On ftdi_sio (and every
// usb-serial driver) TIOCOUTQ counts the driver's write buffer and the USB transfers in flight,
// but usb-serial has no flush of its own: a discard of the output queue leaves them, so on a USB
// adapter bytes counted as not written may still reach the modem once it takes bytes again.
// A pseudo-terminal's queue always reads 0: a write on it never waits.
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
  // A write that waits for its bytes to leave the port (POSIX drains the output queue in short
  // pauses) calls `tick` at every pause; `tick` returning true ends the write as its time-out
  // would. So the watchdog is fed during a long drain and a stop out of patience cuts it. Ports
  // whose writes do not wait in pauses ignore it.
  virtual void watch_writes(std::function<bool()> tick) { (void)tick; }
};

// A request to stop, and whether it may cut a wait short. `requested` is set by a signal handler
// or a console event and never cleared; `held` is set by the gateway's one thread while a report
// is between its deletion from the modem and the end of its fan-out, when a stop must wait.
// `urgent` comes with a request that the system will end the process seconds later whatever
// happens (Windows' close, logoff and shutdown events): the patience is then that short.
//
// A native wait (a sleep, a port read) returns early when a request arrives, held or not, so the
// gateway sees it at once; the gateway's own waits (logs::delay, modem::read_port) then go on for
// the rest of their time when the stop is held.
struct StopState {
  volatile std::sig_atomic_t requested = 0;
  volatile std::sig_atomic_t held = 0;
  volatile std::sig_atomic_t urgent = 0;
  bool cuts_waits() const { return requested != 0 && held == 0; }
};

// The service manager's notification channel (systemd's NOTIFY_SOCKET).
class Notifier {
 public:
  virtual ~Notifier() = default;
  // One notice in the manager's words: "READY=1", "STATUS=on the air", "WATCHDOG=1".
  virtual void notify(const std::string& notice) = 0;
  // How often the manager wants "WATCHDOG=1", in ms; 0 when it watches nothing.
  virtual std::int64_t watchdog_ms() const = 0;
};

// What every wait of the gateway answers to besides its own time, and nothing else: the stop
// request and the watchdog (logs::on_wait, logs::wait_slice, modem::read_port).
struct Waits {
  StopState stop;
  Notifier* notifier = nullptr;
  std::int64_t last_watchdog_ms = -1;
  std::int64_t stop_seen_ms = -1;  // when a wait first saw the request
  bool send_waiting = false;       // a text is under way: a stop out of patience cuts its waits
  Timeouts port_timeouts{};        // the port's time-outs as last set (modem::set_port_timeouts)
};

// The gateway's state, as the state file and the service manager's status line name it
// (logs::state_name).
enum class State { kNone, kStarting, kBringingUp, kOnAir, kStopping, kStopped, kHalted };

// What the state file and the status line tell, kept by logs::set_state.
struct StateRecord {
  State state = State::kNone;
  std::string state_message;
  int attempt = 0;
  std::tm state_since{};
  std::int64_t on_air_utc = -1;  // the last second on the air, for the state file; -1: not read
  std::int64_t last_beat_ms = -1;
};

// The gateway's life beyond its basic duties: stopping on request, the service manager, and the
// switches of configuration/options.txt. Each part is off until the program entry or the
// configuration turns it on; an Env without a Service behaves exactly as the gateway always did.
// Its two rooms: the waits' (Waits) and the state's (StateRecord).
struct Service : Waits, StateRecord {
  bool exit_on_halt = false;  // a halt ends the process (MVO_ON_HALT=exit) instead of waiting
  bool traffic_log = false;   // log/traffic.log (options.txt: traffic on)
  bool state_file = false;    // log/gateway.state (options.txt: heartbeat on)
  std::string version;
  long long pid = 0;
  std::string held_text;  // a console text waiting for its priority (the journal)
  std::string last_text;  // the last console text, for a halt's message
};

// What every operation of the gateway is given.
struct Env {
  Clock& clock;
  WallClock& wall;
  Console& console;
  const Site& site;
  SerialPort& port;
  Service* service = nullptr;
};

}  // namespace mvo::platform
