#pragma once
// Virtual time and the test doubles of the platform seam. Time moves only when the gateway waits:
// a sleep advances the clock, and a read on a SimPort advances it to the peer's next output or to
// the read's time-out. A simulated day then runs in milliseconds, the same on every run.
#include <csignal>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

#include "platform/platform.h"

namespace mvo::sim {

// Thrown when virtual time reaches the end a test has set: it unwinds the gateway's endless loop.
struct SimulationEnd {};

class VirtualClock final : public platform::Clock {
 public:
  std::int64_t now_ms() override { return now_; }
  void sleep_ms(std::int64_t ms) override {
    if (ms > 0) advance_to(now_ + ms);
  }
  void advance_to(std::int64_t t) {
    if (t > now_) now_ = t;
    if (flag_ != nullptr && now_ >= raise_at_) *flag_ = 1;
    if (now_ >= stop_at_) throw SimulationEnd{};
  }
  void stop_at(std::int64_t t) { stop_at_ = t; }
  // Sets `*flag` once the clock reaches `t`, as a signal arriving during a wait would.
  void raise_at(std::int64_t t, volatile std::sig_atomic_t* flag) {
    raise_at_ = t;
    flag_ = flag;
  }

 private:
  std::int64_t raise_at_ = std::numeric_limits<std::int64_t>::max();
  volatile std::sig_atomic_t* flag_ = nullptr;
  std::int64_t now_ = 0;
  std::int64_t stop_at_ = std::numeric_limits<std::int64_t>::max();
};

// Local time = a fixed civil start plus the virtual clock.
class VirtualWallClock final : public platform::WallClock {
 public:
  // Default start: Sun Feb 26 2012 13:19:42.
  explicit VirtualWallClock(platform::Clock& clock, std::tm start = default_start())
      : clock_(clock), start_(start) {}
  std::tm local_now() override;
  // Local time when the virtual clock reads `clock_ms`.
  void set_start(std::tm start, std::int64_t clock_ms = 0);
  static std::tm default_start();
  static std::tm at(int year, int month, int day, int hour, int min, int sec);

 private:
  platform::Clock& clock_;
  std::tm start_;
  std::int64_t offset_ms_ = 0;
};

// Keeps everything printed.
class MemoryConsole final : public platform::Console {
 public:
  void write(const std::string& text) override { text_ += text; }
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace mvo::sim
