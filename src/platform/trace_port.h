#pragma once
// A trace of the modem dialogue for debugging a real modem: a SerialPort that hands every call to
// the port it wraps and writes what passed to a trace file. The gateway's operations do not know
// it is there; when no trace is asked for, nothing wraps the port at all.
//
// One record a line, CR LF ended like every log of the gateway:
//   2026-12-06 23:19:35  12.345  --> AT+CMGF=1\r
//   2026-12-06 23:19:35  12.552  <-- OK\r\n
//   2026-12-06 23:19:38  15.760  --- no byte within 3000 ms
// local time, seconds since the trace began (monotonic, to the millisecond), the direction
// ("-->" to the modem, "<--" from it, "---" an event of the port: open, line settings, purge,
// close, a read that timed out, a failure with its native error code), then the bytes. Printable
// ASCII stands as is; every other byte is an escape: \r \n \t \\ and \xNN (\x1a Ctrl-Z,
// \x1b ESC). Bytes read one at a time are gathered into one record up to a line feed, a change
// of direction, an event or kMaxRecordBytes.
//
// The file is bounded: when a record would take it past the limit, it is renamed to "<path>.1"
// (replacing the previous one) and a new file begins, so at most twice the limit is on disk. A
// full trace that cannot be renamed (on Windows, open in another program) is kept and written on,
// and the rename is tried again after another limit's worth: a trace is never truncated.
// Each file, and each start of the gateway, begins with a "---" header line.
//
// The trace holds every number and text, those of un-authorized senders too: on POSIX it is
// created readable and writable by its owner only (0600), and an older trace is made so.
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace mvo::platform {

// The bytes as the trace shows them.
std::string visible(const char* data, std::size_t size);

class TracePort final : public SerialPort {
 public:
  static constexpr std::uint64_t kDefaultLimit = 8u << 20;
  static constexpr std::size_t kMaxRecordBytes = 256;

  // Appends to `path` (created when missing). ok() is false when it cannot be opened; records
  // that cannot be written are dropped, and the port works on unchanged.
  TracePort(SerialPort& inner, Clock& clock, WallClock& wall, std::string path,
            std::uint64_t limit = kDefaultLimit);
  ~TracePort() override;
  TracePort(const TracePort&) = delete;
  TracePort& operator=(const TracePort&) = delete;

  bool ok() const { return file_ != nullptr; }

  bool open(const std::string& device) override;
  bool is_open() const override { return inner_.is_open(); }
  bool get_settings(LineSettings& settings) override;
  bool set_settings(const LineSettings& settings) override;
  bool set_timeouts(const Timeouts& timeouts) override;
  bool purge() override;
  bool read(char* buffer, std::size_t size, std::size_t& got) override;
  bool write(const char* data, std::size_t size, std::size_t& written) override;
  bool close() override;
  int last_error() const override { return inner_.last_error(); }
  void watch_writes(std::function<bool()> tick) override { inner_.watch_writes(std::move(tick)); }

 private:
  void gather(const char* arrow, const char* data, std::size_t size);
  void event(const std::string& text);
  bool outcome(bool result, const char* what);
  void end_record();
  std::string stamp();
  void emit(const std::string& record);
  void open_file(const char* mode);

  SerialPort& inner_;
  Clock& clock_;
  WallClock& wall_;
  std::string path_;
  std::uint64_t limit_;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  std::int64_t origin_ms_ = 0;
  std::uint32_t read_timeout_ms_ = 0;
  const char* arrow_ = nullptr;  // direction of the record being gathered, if any
  std::string record_stamp_;
  std::string record_;  // raw bytes, at most kMaxRecordBytes

  // The last record ended inside the PIN of an AT+CPIN= command.
  bool masking_pin_ = false;
};

}  // namespace mvo::platform
