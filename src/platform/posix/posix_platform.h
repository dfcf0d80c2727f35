#pragma once
// The POSIX backend: the modem port on a termios device.
#include <string>

#include "platform/native.h"

namespace mvo::platform::posix {

// Device names: a leading "\\.\" is dropped; "COMn" stands for /dev/ttyS(n-1); any other name is
// the device path itself (/dev/ttyUSB0, /dev/serial/by-id/..., a symlink to a pseudo-terminal).
std::string device_path(const std::string& name);

// A termios serial port in raw mode, opened exclusively, with the COMMTIMEOUTS meaning of reads
// and writes emulated by poll() against a deadline.
class TermiosPort final : public SerialPort {
 public:
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

 private:
  bool fail();
  int fd_ = -1;
  int error_ = 0;
  Timeouts timeouts_{3000, 3000};
  struct Saved;
  Saved* saved_ = nullptr;
};

using NativePort = TermiosPort;

}  // namespace mvo::platform::posix
