#include "modem/serial_line.h"

#include <gtest/gtest.h>

#include "common/halt.h"
#include "tests/support/harness.h"

namespace mvo::modem {
namespace {

using test::Harness;

TEST(ReadChars, AssemblesLines) {
  const std::string x200(200, 'x'), x50(50, 'x'), y149(149, 'y');
  const std::string crs(5000, '\r'), lfs = std::string(3000, '\n') + "OK\r\n";
  struct Case {
    const char* name;
    std::int64_t at;  // when the peer sends `bytes`
    std::string bytes;
    std::vector<std::string> lines;  // successive read_chars results
    std::int64_t ends_at;            // virtual time after the last read
    std::size_t buffer = kMaxReplyLine + 1;
  } cases[] = {
      {"CR LF OK CR LF", 0, "\r\nOK\r\n", {"OK"}, 200},
      {"silence: pause and two time-outs", 0, "", {""}, 6200},
      {"a time-out, then a line: its LF ends an empty one", 3500, "\r\nOK\r\n", {"", "OK"}, 3700},
      {"byte 26 ends a line", 0, "text\x1a", {"text\x1a"}, 200},
      {"byte 26 first is stored and the line goes on", 0, "\032ab\r\n", {"\032ab"}, 200},
      {"CRs inside a line are dropped", 0, "a\rb\n", {"ab"}, 200},
      {"an endless stream of CR: 1000 bytes end each line", 0, crs, {"", ""}, 400},
      {"CR LF pairs without end before the first character", 0, lfs, {"", "", ""}, 600},
      {"a zero byte (GSM @) ends the text", 0, std::string("ab\0cd\r\n", 7), {"ab"}, 200},
      {"250 characters: 200, then the other 50", 0, x200 + x50 + "\r\n", {x200, x50}, 400},
      {"a buffer of 150 holds 149", 0, y149 + "yy\r\nNEXT\r\n", {y149, "NEXT"}, 400, 150},
  };
  for (const auto& c : cases) {
    Harness h;
    auto& peer = h.script();
    if (!c.bytes.empty()) peer.at(c.at, c.bytes);
    h.open_port();
    for (const auto& expected : c.lines) {
      std::string line;
      ASSERT_TRUE(read_chars(h.env, line, c.buffer)) << c.name;
      EXPECT_EQ(line, expected) << c.name;
    }
    EXPECT_EQ(h.now(), c.ends_at) << c.name;
    EXPECT_EQ(h.console(), "") << c.name;
  }
}

TEST(ReadChars, ReadFailureShowsThePartialLine) {
  Harness h;
  auto& peer = h.script();
  peer.at(0, "OK");
  peer.drop_at(201);
  h.open_port();
  std::string line;
  EXPECT_FALSE(read_chars(h.env, line));
  EXPECT_EQ(h.console(), "ReadFile in read_chars1 failed (OK).");
  EXPECT_EQ(h.tags(), std::vector<std::string>{"read_chars1"});
}

// A native read ends early when a stop is asked for (the signal's arrival). Held, the read goes
// on for the rest of its time-out and the stop counts from its arrival; otherwise it unwinds.
TEST(ReadPort, AStopArrivingMidReadIsSeenAtOnceAndAHeldReadServesTheRest) {
  // The harness's port, but the first read returns at 1000 ms with the stop asked for.
  struct Interrupted final : platform::SerialPort {
    platform::SerialPort& inner;
    sim::VirtualClock& clock;
    platform::StopState& stop;
    explicit Interrupted(platform::SerialPort& p, sim::VirtualClock& c, platform::StopState& s)
        : inner(p), clock(c), stop(s) {}
    bool open(const std::string& d) override { return inner.open(d); }
    bool is_open() const override { return inner.is_open(); }
    bool get_settings(platform::LineSettings& l) override { return inner.get_settings(l); }
    bool set_settings(const platform::LineSettings& l) override { return inner.set_settings(l); }
    bool set_timeouts(const platform::Timeouts& t) override { return inner.set_timeouts(t); }
    bool purge() override { return inner.purge(); }
    bool read(char* b, std::size_t n, std::size_t& got) override {
      if (stop.requested != 0) return inner.read(b, n, got);
      clock.advance_to(clock.now_ms() + 1000);
      stop.requested = 1;
      got = 0;
      return true;
    }
    bool write(const char* d, std::size_t n, std::size_t& w) override {
      return inner.write(d, n, w);
    }
    bool close() override { return inner.close(); }
    int last_error() const override { return inner.last_error(); }
  };
  for (const bool held : {true, false}) {
    Harness h;
    h.script();
    h.open_port();
    platform::Service service;
    service.stop.held = held ? 1 : 0;
    Interrupted port(h.port(), h.clock, service.stop);
    platform::Env env{h.env.clock, h.env.wall, h.env.console, h.env.site, port, &service};
    set_port_timeouts(env, 3000, 3000);
    char byte = 0;
    std::size_t got = 0;
    const std::int64_t start = h.now();
    if (held) {
      EXPECT_TRUE(read_port(env, &byte, 1, got));
      EXPECT_EQ(h.now() - start, 3000);
    } else {
      EXPECT_THROW(read_port(env, &byte, 1, got), common::StopRequest);
      EXPECT_EQ(h.now() - start, 1000);
    }
    EXPECT_EQ(service.stop_seen_ms - start, 1000) << held;
  }
}

TEST(WriteChars, PurgesWritesAndRestoresNormalTimeouts) {
  Harness h;
  auto& peer = h.script();
  h.open_port();
  ASSERT_TRUE(WriteChars(h.env, "ATZ\r"));
  EXPECT_EQ(peer.received(), "ATZ\r");
  const auto& history = h.port().timeout_history();
  ASSERT_GE(history.size(), 2u);
  EXPECT_EQ(history[history.size() - 2].read_ms, 30000u);
  EXPECT_EQ(history.back().read_ms, 3000u);
  EXPECT_EQ(history.back().write_ms, 3000u);

  h.port().short_write(4);
  EXPECT_FALSE(WriteChars(h.env, "0123456789"));
  EXPECT_EQ(h.console(), "WriteChars1((1460))((10))((4)).");
  EXPECT_EQ(h.tags(), std::vector<std::string>{"WriteChars1"});
  EXPECT_EQ(h.port().timeouts().read_ms, 3000u);
}

TEST(GetPrompt, DiscardsUpToThePromptAndPurges) {
  Harness h;
  auto& peer = h.script();
  peer.at(0, "\r\n> ");
  h.open_port();
  EXPECT_TRUE(get_prompt(h.env));
  std::size_t got = 0;
  char c;
  h.port().read(&c, 1, got);
  EXPECT_EQ(got, 0u);

  // No ">" within 30 s: it fails as on a read failure.
  Harness silent;
  silent.script();
  silent.open_port();
  EXPECT_FALSE(get_prompt(silent.env));
  EXPECT_EQ(silent.console(), "get_prompt1.");
  EXPECT_EQ(silent.tags(), std::vector<std::string>{"get_prompt1"});
  EXPECT_EQ(silent.now(), 30000);
}

// The line it sets: the trace's record of the bring-up.
TEST(OpenPort, RetriesEveryTwentySeconds) {
  Harness h;
  h.modem.unplug(0, 45000);
  open_port(h.env, "\\\\.\\COM5");
  EXPECT_EQ(h.now(), 60000);  // fails at 0, 20000, 40000; opens at 60000
  EXPECT_EQ(h.console(), "cannot open COM port\n");
  EXPECT_EQ(h.tags(), std::vector<std::string>{"cannot open COM port"});
}

TEST(OpenPort, LineStateFailuresAreFatal) {
  struct Case {
    int failing_get;
    bool failing_set;
    const char* message;
  } cases[] = {{1, false, "\n***COM port state is initially bad"},
               {0, true, "\n***COM port state is bad during settings"},
               {2, false, "\n***COM port state is bad after settings"}};
  for (const auto& c : cases) {
    Harness h;
    h.port().fail_settings(c.failing_get);
    if (c.failing_set) h.port().fail_set_settings();
    EXPECT_THROW(open_port(h.env, "COM1"), common::Halt);
    EXPECT_EQ(h.console(), std::string(c.message) + " AND stopping...");
    EXPECT_EQ(h.tags(), std::vector<std::string>{c.message});
  }
}

}  // namespace
}  // namespace mvo::modem
