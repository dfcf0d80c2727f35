// The POSIX serial backend against a real pseudo-terminal. These run in real time, with short
// time-outs and generous bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

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

}  // namespace
}  // namespace mvo::platform::posix
