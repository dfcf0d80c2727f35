// The POSIX serial backend against a real pseudo-terminal. These run in real time, with short
// time-outs and generous bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "platform/posix/posix_platform.h"

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
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now() - t0).count();
}

// What the pty's peer reads: up to `want` bytes, until none comes for 500 ms.
std::string peer_reads(int master, std::size_t want = SIZE_MAX) {
  std::string got;
  char buf[4096];
  pollfd p{master, POLLIN, 0};
  while (got.size() < want && poll(&p, 1, 500) == 1) {
    const ssize_t n = ::read(master, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

TEST(DevicePath, WindowsNamesMapToLinuxDevices) {
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {{"\\\\.\\COM1", "/dev/ttyS0"}, {"\\\\.\\COM12", "/dev/ttyS11"},
               {"COM3", "/dev/ttyS2"},        {"\\\\.\\/dev/ttyUSB0", "/dev/ttyUSB0"},
               {"\\\\.\\COMX", "COMX"},       {"\\\\.\\", ""}};
  for (const auto& c : cases) EXPECT_EQ(device_path(c.name), c.path) << c.name;
}

// Open takes the line raw and for itself alone (flow control an earlier user left on cleared);
// close gives it back, the tty's exclusive flag with it. A read fails once the other side has gone.
TEST(TermiosPort, OpenSettingsTimeoutsPurgeAndClose) {
  TermiosPort port;
  EXPECT_FALSE(port.open("/dev/does-not-exist-mvo"));
  EXPECT_EQ(port.last_error(), ENOENT);
  Pty pty;
  const int held = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(held, &tio), 0);
  tio.c_iflag |= IXOFF | IXANY;
  ASSERT_EQ(tcsetattr(held, TCSANOW, &tio), 0);
  ASSERT_TRUE(port.open("\\\\.\\" + pty.slave)) << port.last_error();
  ASSERT_EQ(tcgetattr(held, &tio), 0);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
  int exclusive = 0;
  ASSERT_EQ(ioctl(held, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  const LineSettings s{19200, 8, 0, 0};
  ASSERT_TRUE(port.set_settings(s));
  LineSettings back;
  ASSERT_TRUE(port.get_settings(back));
  const auto fields = [](const LineSettings& l) {
    return std::tuple(l.baud_rate, l.byte_size, l.parity, l.stop_bits);
  };
  EXPECT_EQ(fields(back), fields(s));

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

  // Raw bytes both ways: CR, LF, 0 (the GSM "@"), 26 and 27 arrive unchanged.
  const std::string bytes("A\r\n\0\x1a\x1b", 6);
  ASSERT_EQ(::write(pty.master, bytes.data(), bytes.size()), 6);
  char buf[8] = {};
  ASSERT_TRUE(port.read(buf, 6, got));
  EXPECT_EQ(std::string(buf, got), bytes);
  std::size_t written = 0;
  ASSERT_TRUE(port.write(bytes.data(), bytes.size(), written));
  EXPECT_EQ(written, 6u);
  EXPECT_EQ(peer_reads(pty.master, 6), bytes);

  // A purge drops what came in, never what went out and the peer has not read yet: the abort
  // bytes a stop writes to a modem left in text entry, purged at once.
  ASSERT_EQ(::write(pty.master, "stale", 5), 5);
  usleep(50000);
  ASSERT_TRUE(port.purge());
  ASSERT_TRUE(port.read(buf, 1, got));
  EXPECT_EQ(got, 0u);
  // A write into a peer that does not read ends within its time-out, short. The peer then takes
  // a little: the abort bytes go in behind tens of kilobytes it has not read, so they are still in
  // the kernel when the purge comes, every time.
  const std::string fill(1 << 20, 'x');
  std::size_t filled = 0;
  t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(port.write(fill.data(), fill.size(), filled));
  ASSERT_LT(filled, fill.size());
  EXPECT_GE(ms_since(t0), 290);
  EXPECT_LT(ms_since(t0), 2000);
  std::string arrived = peer_reads(pty.master, 4096);
  usleep(50000);
  ASSERT_TRUE(port.set_timeouts({300, 2000}));
  ASSERT_TRUE(port.write("\x1a\x1b", 2, written));
  ASSERT_EQ(written, 2u);
  ASSERT_TRUE(port.purge());
  arrived += peer_reads(pty.master);
  EXPECT_EQ(arrived.size(), filled + 2) << "the purge took back what was written";
  EXPECT_TRUE(arrived.ends_with("\x1a\x1b"));

  ASSERT_TRUE(port.close());
  ASSERT_EQ(ioctl(held, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_TRUE(port.close());  // closing a closed port has nothing to release
  ASSERT_TRUE(second.open(pty.slave));
  ::close(held);

  ASSERT_TRUE(second.set_timeouts({2000, 2000}));
  ::close(pty.master);
  pty.master = -1;
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(second.read(&c, 1, got));
  EXPECT_NE(second.last_error(), 0);
  EXPECT_LT(ms_since(t0), 1500);
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
      {"read held by a report, SIGHUP", SIGHUP, true, false},
      {"sleep held by a report, SIGINT", SIGINT, true, true},
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
    return true;
  }
  void discard(int) override { ++discards; }
  std::int64_t now_ms() override { return now_; }
  void pause_ms(std::int64_t ms) override {
    EXPECT_GT(ms, 0);
    now_ += ms;
  }
  int discards = 0;

 private:
  std::vector<int> counts_;
  std::size_t next_ = 0;
  std::int64_t now_ = 0;
};

TEST(TermiosPortDrain, AWriteReturnsWhenTheQueueIsEmptyAndDiscardsWhatTheDeadlineFinds) {
  struct Case {
    const char* name;
    std::vector<int> counts;  // TIOCOUTQ, query by query
    std::uint32_t write_ms;
    std::size_t written;       // the count the write reports
    std::int64_t returns_at;   // virtual ms
    std::int64_t cut_at = -1;  // the write watch ends the write from then on
  } cases[] = {
      {"empty at once: no pause", {0}, 3000, 20, 0},
      {"drains in steps: returns only at 0", {20, 12, 3, 0}, 3000, 20, 10 + 7 + 2},
      {"a USB buffer reported whole: pauses of 10 ms", {4096, 4096, 0}, 3000, 20, 20},
      {"stuck queue: discarded at the deadline, not counted", {7}, 3000, 13, 3000},
      {"stuck with more than this write: none of it counts", {64}, 500, 0, 500},
      {"drains by the deadline", {5, 5, 0}, 6, 20, 6},
      {"stuck, the watch ends it: discarded then, not counted", {7}, 3000, 13, 100, 100},
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
    // What is left queued is discarded, and it alone goes uncounted.
    EXPECT_EQ(queue.discards, c.written < text.size() ? 1 : 0) << c.name;
    // The watch is told at every pause of a drain (the watchdog is fed through it).
    EXPECT_EQ(ticks > 0, c.returns_at > 0) << c.name;
    // The bytes went to the line: the queue's count is all that decides what counts as written.
    EXPECT_EQ(peer_reads(pty.master, 40), text) << c.name;
  }
}

// The kernel's side of that seam, on a real pty: the count and the discard are of what goes out
// only. A modem's line that came in and waits to be read is neither counted as unsent nor dropped.
TEST(TermiosPortDrain, TheKernelsQueueIsOnlyWhatGoesOut) {
  Pty pty;
  const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  cfmakeraw(&tio);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
  ASSERT_EQ(::write(pty.master, "+CMTI: \"SM\",3\r\n", 15), 15);
  ASSERT_EQ(::write(fd, "AT\r", 3), 3);
  pollfd in{fd, POLLIN, 0};
  ASSERT_EQ(poll(&in, 1, 1000), 1);
  OutputQueue& queue = kernel_output_queue();
  int count = -1, waiting = -1;
  ASSERT_TRUE(queue.queued(fd, count));
  EXPECT_LE(count, 3);
  queue.discard(fd);
  ASSERT_EQ(ioctl(fd, FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 15);
  ::close(fd);
}

// Under systemd the console is the journal's stream: each event one line, led by its priority,
// so that journalctl -p sorts failures (3), refusals (4) and forwards (6).
TEST(JournalConsole, EachEventOneLineLedByItsPriority) {
  native::JournalConsole journal;
  testing::internal::CaptureStdout();
  journal.line(3, "CMGS5((OK))");
  journal.line(4, "SMS from un-authorized:\n+999");
  journal.line(6, "SMS /Sun Feb 26 2012");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "<3>CMGS5((OK))\n<4>SMS from un-authorized: +999\n<6>SMS /Sun Feb 26 2012\n");
}

}  // namespace
}  // namespace mvo::platform::posix
