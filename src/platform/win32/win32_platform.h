#pragma once
// The Windows backend: the modem port through the communications API.
#include <string>

#include "platform/native.h"

namespace mvo::platform::win32 {

// The modem port through the Windows communications API: CreateFileA without sharing,
// GetCommState/SetCommState, SetCommTimeouts, PurgeComm, ReadFile, WriteFile, CloseHandle.
class CommPort final : public SerialPort {
 public:
  ~CommPort() override;
  bool open(const std::string& device) override;
  bool is_open() const override;
  bool get_settings(LineSettings& settings) override;
  bool set_settings(const LineSettings& settings) override;
  bool set_timeouts(const Timeouts& timeouts) override;
  bool purge() override;
  bool read(char* buffer, std::size_t size, std::size_t& got) override;
  bool write(const char* data, std::size_t size, std::size_t& written) override;
  bool close() override;
  int last_error() const override;

 private:
  void* handle_ = nullptr;  // HANDLE; INVALID_HANDLE_VALUE when closed
  struct State;
  State* state_ = nullptr;
  mutable unsigned long error_ = 0;
};

using NativePort = CommPort;

}  // namespace mvo::platform::win32
