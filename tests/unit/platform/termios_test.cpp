// The POSIX serial backend against a real pseudo-terminal. These run in real time, with short
// time-outs and generous bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "modem/modem.h"
#include "platform/posix/posix_platform.h"
#include "sms/sms.h"
#include "tests/support/harness.h"

namespace mvo::platform::posix {
namespace {

struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    slave = ptsname(master);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
  int master = -1;
  std::string slave;
};

std::int64_t ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t0)
      .count();
}

TEST(DevicePath, WindowsNamesMapToLinuxDevices) {
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {{"\\\\.\\COM1", "/dev/ttyS0"},
               {"\\\\.\\COM12", "/dev/ttyS11"},
               {"COM3", "/dev/ttyS2"},
               {"\\\\.\\/dev/ttyUSB0", "/dev/ttyUSB0"},
               {"\\\\.\\COMX", "COMX"},
               {"/dev/serial/by-id/usb-x", "/dev/serial/by-id/usb-x"},
               {"\\\\.\\", ""}};
  for (const auto& c : cases) EXPECT_EQ(device_path(c.name), c.path) << c.name;
}

TEST(TermiosPort, SettingsTimeoutsPurgeAndExclusiveOpen) {
  Pty pty;
  TermiosPort port;
  ASSERT_TRUE(port.open("\\\\.\\" + pty.slave)) << port.last_error();
  LineSettings s;
  ASSERT_TRUE(port.get_settings(s));
  s.baud_rate = 19200;
  s.byte_size = 8;
  s.parity = 0;
  s.stop_bits = 0;
  ASSERT_TRUE(port.set_settings(s));
  LineSettings back;
  ASSERT_TRUE(port.get_settings(back));
  EXPECT_EQ(back.baud_rate, 19200u);
  EXPECT_EQ(back.byte_size, 8);
  EXPECT_EQ(back.parity, 0);
  EXPECT_EQ(back.stop_bits, 0);

  TermiosPort second;
  EXPECT_FALSE(second.open(pty.slave));

  ASSERT_TRUE(port.set_timeouts({300, 300}));
  char c = 0;
  std::size_t got = 1;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(port.read(&c, 1, got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(ms_since(t0), 290);
  EXPECT_LT(ms_since(t0), 2000);

  // Raw bytes both ways: CR, LF, 26 and 27 arrive unchanged.
  const std::string bytes = "A\r\n\x1a\x1b";
  ASSERT_EQ(::write(pty.master, bytes.data(), bytes.size()), 5);
  char buf[8] = {};
  ASSERT_TRUE(port.read(buf, 5, got));
  EXPECT_EQ(std::string(buf, got), bytes);
  std::size_t written = 0;
  ASSERT_TRUE(port.write("AT\r", 3, written));
  EXPECT_EQ(written, 3u);
  char echo[4] = {};
  usleep(50000);
  EXPECT_EQ(::read(pty.master, echo, sizeof echo), 3);
  EXPECT_EQ(std::string(echo, 3), "AT\r");

  ASSERT_EQ(::write(pty.master, "stale", 5), 5);
  usleep(50000);
  ASSERT_TRUE(port.purge());
  ASSERT_TRUE(port.read(buf, 1, got));
  EXPECT_EQ(got, 0u);

  ASSERT_TRUE(port.close());
  EXPECT_TRUE(second.open(pty.slave));
}

// The real port under the gateway's operations in virtual time: every byte goes through the
// pseudo-terminal, but a read that times out costs 1 ms of real time and its full time-out of
// virtual time, so a 30 s prompt bound passes in milliseconds.
class QuickPort final : public SerialPort {
 public:
  QuickPort(TermiosPort& port, sim::VirtualClock& clock) : port_(port), clock_(clock) {}
  bool open(const std::string& device) override { return port_.open(device); }
  bool is_open() const override { return port_.is_open(); }
  bool get_settings(LineSettings& s) override { return port_.get_settings(s); }
  bool set_settings(const LineSettings& s) override { return port_.set_settings(s); }
  bool set_timeouts(const Timeouts& t) override {
    read_ms_ = t.read_ms;
    return port_.set_timeouts({1, t.write_ms});
  }
  bool purge() override { return port_.purge(); }
  bool read(char* buffer, std::size_t size, std::size_t& got) override {
    const bool ok = port_.read(buffer, size, got);
    if (ok && got < size) clock_.advance_to(clock_.now_ms() + read_ms_);
    return ok;
  }
  bool write(const char* d, std::size_t n, std::size_t& w) override { return port_.write(d, n, w); }
  bool close() override { return port_.close(); }
  int last_error() const override { return port_.last_error(); }

 private:
  TermiosPort& port_;
  sim::VirtualClock& clock_;
  std::uint32_t read_ms_ = 3000;
};

std::string drain(int fd) {
  std::string got;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
  return got;
}

// Ctrl-Z then ESC must reach a modem left in text entry: every write drains before it returns,
// and no purge after it may take back what the peer has not read yet.
TEST(TermiosPort, AbortBytesReachThePeerEveryTime) {
  Pty pty;
  // The peer keeps the device open, as the simulator and real hardware do.
  const int held = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ::fcntl(pty.master, F_SETFL, O_NONBLOCK);
  test::Harness h;
  TermiosPort real;
  QuickPort port(real, h.clock);
  Env env{h.clock, h.wall, h.env.console, h.env.site, port};
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(port.open(pty.slave));
    ASSERT_TRUE(modem::shut_modem(env));
    ASSERT_EQ(drain(pty.master), "\x1a\x1b") << "shut_modem " << i;

    ASSERT_TRUE(port.open(pty.slave));
    port.set_timeouts({3000, 3000});
    EXPECT_FALSE(sms::send_sms(env, "text\x1a", "+1"));  // no prompt ever comes
    ASSERT_EQ(drain(pty.master), "AT+CMGS=\"+1\"\r\x1a\x1b") << "failed send " << i;
    ASSERT_TRUE(port.close());
  }
  ::close(held);
}

TEST(TermiosPort, WriteIntoAPeerThatDoesNotReadEndsWithinTheTimeout) {
  Pty pty;
  TermiosPort port;
  ASSERT_TRUE(port.open(pty.slave));
  ASSERT_TRUE(port.set_timeouts({300, 300}));
  const std::string big(1 << 20, 'x');
  std::size_t written = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(port.write(big.data(), big.size(), written));
  EXPECT_LT(written, big.size());
  EXPECT_GE(ms_since(t0), 290);
  EXPECT_LT(ms_since(t0), 2000);
}

// The exclusive flag belongs to the tty: left on after a close, it would refuse every later open
// by a user who is not root for as long as the peer holds the device.
TEST(TermiosPort, CloseClearsTheExclusiveFlag) {
  Pty pty;
  const int held = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  int exclusive = 0;
  TermiosPort port;
  ASSERT_TRUE(port.open(pty.slave));
  ASSERT_EQ(ioctl(held, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ASSERT_TRUE(port.close());
  ASSERT_EQ(ioctl(held, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_TRUE(port.close());  // closing a closed port has nothing to release
  ::close(held);
}

TEST(TermiosPort, ReadFailsWhenTheOtherSideGoesAway) {
  auto* pty = new Pty;
  TermiosPort port;
  ASSERT_TRUE(port.open(pty->slave));
  ASSERT_TRUE(port.set_timeouts({2000, 2000}));
  delete pty;
  char c = 0;
  std::size_t got = 0;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.read(&c, 1, got));
  EXPECT_NE(port.last_error(), 0);
  EXPECT_LT(ms_since(t0), 1500);
}

TEST(TermiosPort, MissingDeviceReportsErrno) {
  TermiosPort port;
  EXPECT_FALSE(port.open("/dev/does-not-exist-mvo"));
  EXPECT_EQ(port.last_error(), ENOENT);
}

// A stop signal reaches the waits on a real pty: a port read and a sleep end early, held or not
// (the gateway's own waits serve the rest of a held wait). The signal is raised before the wait:
// it stays pending, blocked, until the wait lets it in, so it is never missed.
TEST(TermiosPort, StopSignalCutsWaitsShort) {
  static StopState stop;
  native::install_stop_handlers(stop);
  Pty pty;
  TermiosPort port;
  ASSERT_TRUE(port.open("\\\\.\\" + pty.slave)) << port.last_error();
  ASSERT_TRUE(port.set_timeouts({1500, 1500}));
  native::SteadyClock clock;
  struct Case {
    const char* name;
    int signal;
    bool held;
    bool sleep;  // a sleep of 1500 ms instead of a read
  } cases[] = {
      {"read, SIGTERM", SIGTERM, false, false},
      {"read, SIGHUP", SIGHUP, false, false},
      {"sleep, SIGINT", SIGINT, false, true},
      {"read held by a report", SIGTERM, true, false},
      {"sleep held by a report", SIGTERM, true, true},
  };
  for (const auto& c : cases) {
    stop.requested = 0;
    stop.held = c.held ? 1 : 0;
    ASSERT_EQ(raise(c.signal), 0);
    EXPECT_EQ(stop.requested, 0) << c.name << ": the handler ran outside a wait";
    const auto t0 = std::chrono::steady_clock::now();
    char buffer[8];
    std::size_t got = 9;
    if (c.sleep) {
      clock.sleep_ms(1500);
    } else {
      EXPECT_TRUE(port.read(buffer, sizeof buffer, got)) << c.name;
      EXPECT_EQ(got, 0u) << c.name;
    }
    EXPECT_EQ(stop.requested, 1) << c.name;
    EXPECT_LT(ms_since(t0), 1000) << c.name;
  }
  stop.requested = 0;
  stop.held = 0;
}

// The drain of a write through the output-queue seam: the queue's counts as a script (each query
// takes the next; the last one stays), time virtual (it moves only when the drain pauses), the
// bytes themselves through a real pseudo-terminal.
class ScriptedQueue final : public OutputQueue {
 public:
  explicit ScriptedQueue(std::vector<int> counts) : counts_(std::move(counts)) {}
  bool queued(int, int& count) override {
    count = counts_[std::min(next_, counts_.size() - 1)];
    ++next_;
    last_ = count;
    return true;
  }
  void discard(int) override {
    ++discards;
    discarded_at = now_;
    discarded = last_;
  }
  std::int64_t now_ms() override { return now_; }
  void pause_ms(std::int64_t ms) override {
    EXPECT_GT(ms, 0);
    now_ += ms;
  }
  int discards = 0;
  std::int64_t discarded_at = -1;
  int discarded = 0;

 private:
  std::vector<int> counts_;
  std::size_t next_ = 0;
  std::int64_t now_ = 0;
  int last_ = 0;
};

TEST(TermiosPortDrain, AWriteReturnsWhenTheQueueIsEmptyAndDiscardsWhatTheDeadlineFinds) {
  struct Case {
    const char* name;
    std::vector<int> counts;  // TIOCOUTQ, query by query
    std::uint32_t write_ms;
    std::size_t written;      // the count the write reports
    std::int64_t returns_at;  // virtual ms
    int discards;
    std::int64_t cut_at = -1;  // the write watch ends the write from then on
  } cases[] = {
      {"empty at once: no pause", {0}, 3000, 20, 0, 0},
      {"drains in steps: returns only at 0", {20, 12, 3, 0}, 3000, 20, 10 + 7 + 2, 0},
      {"a USB buffer reported whole: pauses of 10 ms", {4096, 4096, 0}, 3000, 20, 20, 0},
      {"stuck queue: discarded at the deadline, not counted", {7}, 3000, 13, 3000, 1},
      {"stuck with more than this write: none of it counts", {64}, 500, 0, 500, 1},
      {"drains by the deadline", {5, 5, 0}, 6, 20, 6, 0},
      {"stuck, the watch ends it: discarded then, not counted", {7}, 3000, 13, 100, 1, 100},
  };
  for (const auto& c : cases) {
    Pty pty;
    ScriptedQueue queue(c.counts);
    TermiosPort port(queue);
    int ticks = 0;
    port.watch_writes([&] {
      ++ticks;
      return c.cut_at >= 0 && queue.now_ms() >= c.cut_at;
    });
    ASSERT_TRUE(port.open(pty.slave)) << c.name;
    ASSERT_TRUE(port.set_timeouts({3000, c.write_ms})) << c.name;
    std::size_t written = 99;
    const std::string text = "AT+CMGS=\"+222\"\rTank3";  // 20 bytes
    ASSERT_TRUE(port.write(text.data(), text.size(), written)) << c.name;
    EXPECT_EQ(written, c.written) << c.name;
    EXPECT_EQ(queue.now_ms(), c.returns_at) << c.name;
    EXPECT_EQ(queue.discards, c.discards) << c.name;
    if (c.discards > 0) {
      EXPECT_EQ(queue.discarded_at, c.cut_at >= 0 ? c.cut_at : c.write_ms) << c.name;
    }
    // The watch is told at every pause of a drain (the watchdog is fed through it).
    EXPECT_EQ(ticks > 0, c.returns_at > 0) << c.name;
    // The bytes went to the line: the queue's count is all that decides what counts as written.
    std::string line;
    char echo[32];
    pollfd p{pty.master, POLLIN, 0};
    while (line.size() < 20 && poll(&p, 1, 2000) == 1) {
      const ssize_t n = ::read(pty.master, echo, sizeof echo);
      if (n <= 0) break;
      line.append(echo, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(line.size(), 20u) << c.name;
  }
}

}  // namespace
}  // namespace mvo::platform::posix
