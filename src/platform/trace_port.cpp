#include "platform/trace_port.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "common/text.h"

namespace mvo::platform {

namespace {
constexpr const char* kToModem = "-->";
constexpr const char* kFromModem = "<--";
constexpr const char* kEvent = "---";

// The SIM's PIN never reaches the trace: what follows "AT+CPIN=" up to the CR or LF, in either
// direction (a modem with echo on repeats the command), is written as "***", whatever its length.
// `open` carries a PIN that the end of a record cut over into the next record.
void mask_pin(std::string& record, bool& open) {
  static const std::string kCommand = "AT+CPIN=";
  std::size_t i = 0;
  for (;;) {
    if (open) {
      const std::size_t end = std::min(record.find_first_of("\r\n", i), record.size());
      const bool cut = end == record.size();
      record.replace(i, end - i, "***");
      if (cut) return;
      i += 3;
      open = false;
    }
    const auto at = std::search(record.begin() + static_cast<std::ptrdiff_t>(i), record.end(),
                                kCommand.begin(), kCommand.end(), [](char a, char b) {
                                  return std::toupper(static_cast<unsigned char>(a)) == b;
                                });
    if (at == record.end()) return;
    i = static_cast<std::size_t>(at - record.begin()) + kCommand.size();
    open = true;
  }
}
}  // namespace

std::string visible(const char* data, std::size_t size) {
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out += static_cast<char>(c);
        } else {
          out += common::format("\\x%02x", static_cast<unsigned>(c));
        }
    }
  }
  return out;
}

TracePort::TracePort(SerialPort& inner, Clock& clock, WallClock& wall, std::string path,
                     std::uint64_t limit)
    : inner_(inner), clock_(clock), wall_(wall), path_(std::move(path)), limit_(limit) {
  origin_ms_ = clock_.now_ms();
  open_file("ab");
}

TracePort::~TracePort() {
  end_record();
  if (file_ != nullptr) std::fclose(file_);
}

void TracePort::open_file(const char* mode) {
  file_ = std::fopen(path_.c_str(), mode);
  if (file_ == nullptr) return;
  std::fseek(file_, 0, SEEK_END);
  const long at = std::ftell(file_);
  size_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
  emit(stamp() + "  " + kEvent + " trace of the modem dialogue: --> to the modem, <-- from it\r\n");
}

std::string TracePort::stamp() {
  const std::tm t = wall_.local_now();
  char when[32];
  if (std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &t) == 0) when[0] = '\0';
  const std::int64_t ms = clock_.now_ms() - origin_ms_;
  return common::format("%s %7lld.%03lld", when, static_cast<long long>(ms / 1000),
                        static_cast<long long>(ms % 1000));
}

void TracePort::emit(const std::string& record) {
  if (file_ != nullptr && size_ > 0 && size_ + record.size() > limit_) {
    std::fclose(file_);
    file_ = nullptr;
    const std::string previous = path_ + ".1";
    std::remove(previous.c_str());  // a rename onto an existing file fails on Windows
    std::rename(path_.c_str(), previous.c_str());
    open_file("wb");  // writes the header through this function again, into an empty file
  }
  if (file_ == nullptr) return;
  if (std::fwrite(record.data(), 1, record.size(), file_) == record.size()) size_ += record.size();
  // Flushed record by record: the trace can be followed live and survives the process's end.
  std::fflush(file_);
}

void TracePort::end_record() {
  if (arrow_ == nullptr) return;
  mask_pin(record_, masking_pin_);
  emit(record_stamp_ + "  " + arrow_ + " " + visible(record_.data(), record_.size()) + "\r\n");
  arrow_ = nullptr;
  record_.clear();
}

void TracePort::gather(const char* arrow, const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (arrow_ != arrow) {
      end_record();
      arrow_ = arrow;
      record_stamp_ = stamp();
    }
    record_ += data[i];
    if (data[i] == '\n' || record_.size() >= kMaxRecordBytes) end_record();
  }
}

void TracePort::event(const std::string& text) {
  end_record();
  emit(stamp() + "  " + kEvent + " " + text + "\r\n");
}

bool TracePort::outcome(bool result, const char* what) {
  if (!result) event(common::format("%s failed (error %d)", what, inner_.last_error()));
  return result;
}

bool TracePort::open(const std::string& device) {
  const bool result = inner_.open(device);
  if (result) event("open " + visible(device.data(), device.size()));
  return outcome(result, ("open " + visible(device.data(), device.size())).c_str());
}

bool TracePort::get_settings(LineSettings& settings) {
  return outcome(inner_.get_settings(settings), "reading the line settings");
}

bool TracePort::set_settings(const LineSettings& settings) {
  const bool result = inner_.set_settings(settings);
  if (result) {
    event(common::format(
        "line %u baud, %u data bits, parity %u, stop bits code %u",
        static_cast<unsigned>(settings.baud_rate), static_cast<unsigned>(settings.byte_size),
        static_cast<unsigned>(settings.parity), static_cast<unsigned>(settings.stop_bits)));
  }
  return outcome(result, "writing the line settings");
}

bool TracePort::set_timeouts(const Timeouts& timeouts) {
  // Not a record of its own: time-outs change around every write. A read that runs out says
  // which one was in force.
  read_timeout_ms_ = timeouts.read_ms;
  return outcome(inner_.set_timeouts(timeouts), "setting the time-outs");
}

bool TracePort::purge() {
  const bool result = inner_.purge();
  if (result) event("purge");
  return outcome(result, "purge");
}

bool TracePort::read(char* buffer, std::size_t size, std::size_t& got) {
  const bool result = inner_.read(buffer, size, got);
  if (!result) return outcome(false, "read");
  gather(kFromModem, buffer, got);
  if (got < size) {
    event(common::format("no byte within %u ms", static_cast<unsigned>(read_timeout_ms_)));
  }
  return true;
}

bool TracePort::write(const char* data, std::size_t size, std::size_t& written) {
  const bool result = inner_.write(data, size, written);
  end_record();
  gather(kToModem, data, written);
  end_record();
  if (result && written < size) {
    event(common::format("short write: %llu of %llu bytes",
                         static_cast<unsigned long long>(written),
                         static_cast<unsigned long long>(size)));
  }
  return outcome(result, "write");
}

bool TracePort::close() {
  const bool result = inner_.close();
  if (result) event("close");
  return outcome(result, "close");
}

}  // namespace mvo::platform
