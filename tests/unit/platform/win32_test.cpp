// The Windows backend, run under Wine. The port test needs a COM port whose other side stays
// silent: MVO_TEST_COM names it (tests/process/windows_forward.sh sets one up); without it the
// test is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "logs/logs.h"
#include "platform/win32/win32_platform.h"

namespace mvo::platform::win32 {
namespace {

TEST(Win32Site, PathsHaveTheDriveAndBackslashes) {
  const Site site = native::current_site();
  ASSERT_GE(site.root().size(), 2u);
  EXPECT_EQ(site.root()[1], ':');
  EXPECT_EQ(site.separator(), '\\');
  EXPECT_EQ(site.path("log", "err_log.csv"), site.root() + "\\log\\err_log.csv");
}

TEST(Win32Logs, RecordsEndInCrLf) {
  const std::string path = "mvo-win32-test.csv";
  std::remove(path.c_str());
  ASSERT_TRUE(logs::append_crlf(path, "a\nb\n"));
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            "a\r\nb\r\n");
  in.close();
  std::remove(path.c_str());
}

// delay's contract on the real Windows clock: no sooner than asked, whatever Sleep's granularity.
TEST(Win32Clock, DelayWaitsAtLeastThePause) {
  native::SteadyClock clock;
  native::LocalWallClock wall;
  native::StdoutConsole console;
  const Site site = native::current_site();
  CommPort port;
  Env env{clock, wall, console, site, port};
  for (int ms : {1, 20, 50}) {
    const auto t0 = clock.now_ms();
    logs::delay(env, ms);
    EXPECT_GE(clock.now_ms() - t0, ms);
  }
}

TEST(CommPort, SilentLineReadReturnsEmptyAfterTheReadTimeout) {
  const char* com = std::getenv("MVO_TEST_COM");
  if (com == nullptr) GTEST_SKIP() << "MVO_TEST_COM not set";
  CommPort port;
  ASSERT_TRUE(port.open(std::string("\\\\.\\") + com)) << port.last_error();
  LineSettings s;
  ASSERT_TRUE(port.get_settings(s));
  s = {19200, 8, 0, 0};
  ASSERT_TRUE(port.set_settings(s));
  ASSERT_TRUE(port.get_settings(s));
  EXPECT_EQ(s.baud_rate, 19200u);
  ASSERT_TRUE(port.set_timeouts({500, 500}));
  ASSERT_TRUE(port.purge());
  char c = 0;
  std::size_t got = 1;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(port.read(&c, 1, got));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_EQ(got, 0u);
  EXPECT_GE(ms, 400);
  EXPECT_LT(ms, 3000);
  // No second-opener check here: Wine does not refuse a second open of a COM port, Windows does.
  // An open of a port still held fails and keeps the handle it has, which still answers.
  EXPECT_FALSE(port.open(std::string("\\\\.\\") + com));
  EXPECT_EQ(port.last_error(), 170);  // ERROR_BUSY
  EXPECT_TRUE(port.set_timeouts({500, 500}));
  EXPECT_TRUE(port.close());
  EXPECT_TRUE(port.close());  // nothing left to release
}

}  // namespace
}  // namespace mvo::platform::win32
