#pragma once
// The real platform objects of the program, one implementation per operating system
// (platform/posix, platform/win32). The modem port is NativePort in the backend's own header.
#include <string>

#include "platform/platform.h"

namespace mvo::platform::native {

// Monotonic milliseconds, 64-bit; sleeps are real sleeps of the thread.
class SteadyClock final : public Clock {
 public:
  std::int64_t now_ms() override;
  void sleep_ms(std::int64_t ms) override;
};

class LocalWallClock final : public WallClock {
 public:
  std::tm local_now() override;
};

// Standard output, flushed after every text.
class StdoutConsole final : public Console {
 public:
  void write(const std::string& text) override;
};

// The current working directory: with '/' on POSIX; with its drive and '\' on Windows.
Site current_site();

}  // namespace mvo::platform::native
