#include "logs/logs.h"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "logs/life.h"
#include "tests/support/harness.h"

namespace mvo::logs {
namespace {

using test::Harness;

// A log that cannot be written takes its retries and pauses, then drops the record with its
// text. (A full disk fails the same way one record later: the gateway's full-disk scenario.)
TEST(Logs, UnwritableLogsRetryThenDropTheRecord) {
  Harness h({}, false);
  log_error(h.env, "main2");
  EXPECT_EQ(h.console(), "Cannot open err_log 1 ..2 ..3 ..ignored\n ");
  EXPECT_EQ(h.now(), 3000);
  h.clear_console();
  log_station_message(h.env, "123", "t", "d", "t", "z");
  EXPECT_EQ(h.now(), 13000);
  EXPECT_EQ(h.console(), " +cannot storage file " + h.env.site.path("log", "123.csv") + "+ ");
}

#ifndef _WIN32
// A record cut short by the disk (here by the file size limit) is taken back whole, so it never
// runs into the next record.
TEST(Logs, RecordCutShortIsTakenBack) {
  Harness h;
  log_station_message(h.env, "123", "first", "d", "t", "z");
  const std::string before = h.read_log("123.csv");
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = before.size() + 10;
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_FALSE(append_crlf(h.env.site.path("log", "123.csv"), "a record longer than ten\n"));
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(h.read_log("123.csv"), before);
  log_station_message(h.env, "123", "next", "d", "t", "z");
  EXPECT_EQ(h.read_log("123.csv"), before + "  z , d , t  , next \r\n");
}
#endif

// Windows refuses '*' in a file name: a station numbered "*100" logs to "%2A100.csv" there.
TEST(StationLog, FileNameIsTheNumberWhereTheSystemAcceptsIt) {
  struct Case {
    const char* number;
    bool windows;
    const char* name;
  } cases[] = {
      {"+4410", true, "+4410.csv"}, {"*100", false, "*100.csv"}, {"*100", true, "%2A100.csv"}};
  for (const auto& c : cases) EXPECT_EQ(station_log_name(c.number, c.windows), c.name) << c.number;
  Harness h;
  log_station_message(h.env, "*100", "t", "d", "t", "z");
  EXPECT_TRUE(h.log_exists(station_log_name("*100")));
}

// A clock that falls back below the start of a pause once 300 ms of it have been slept.
class JumpingClock final : public platform::Clock {
 public:
  std::int64_t now_ms() override { return now_; }
  void sleep_ms(std::int64_t ms) override {
    slept_ += ms;
    now_ += ms;
    if (!jumped_ && slept_ >= 300) {
      jumped_ = true;
      now_ = 0;
    }
  }
  std::int64_t slept_ = 0;

 private:
  std::int64_t now_ = 1000;
  bool jumped_ = false;
};

TEST(Delay, WaitsTheFullPauseAndRestartsAfterABackwardJump) {
  Harness h;
  delay(h.env, 0);
  delay(h.env, -5);
  EXPECT_EQ(h.now(), 0);
  delay(h.env, 500);
  EXPECT_EQ(h.now(), 500);

  JumpingClock jumping;
  platform::Env env{jumping, h.wall, h.env.console, h.env.site, h.env.port};
  delay(env, 500);
  // The time slept before the jump no longer counts: the full 500 ms from the new reading.
  EXPECT_EQ(jumping.now_ms(), 500);
  EXPECT_EQ(jumping.slept_, 1000);
}

// A stop's writes (leaving a text entry, the abort bytes) are ended once the patience and the
// writes' reserve are spent, so a modem that takes no bytes cannot hold the stop past its bound.
TEST(WritePause, EndsTheStopsWritesAfterThePatienceAndTheReserve) {
  struct Case {
    const char* name;
    bool requested, urgent;
    std::int64_t at;  // ms after the request was seen
    bool cut;
  } cases[] = {
      {"no stop", false, false, 10 * kStopPatienceMs, false},
      {"within the reserve", true, false, kStopPatienceMs + kStopWriteReserveMs - 1, false},
      {"reserve spent", true, false, kStopPatienceMs + kStopWriteReserveMs, true},
      {"urgent: seconds", true, true, kUrgentPatienceMs + kUrgentWriteReserveMs, true},
  };
  for (const auto& c : cases) {
    Harness h;
    platform::Service service;
    h.env.service = &service;
    service.stop.requested = c.requested ? 1 : 0;
    service.stop.urgent = c.urgent ? 1 : 0;
    EXPECT_FALSE(write_pause(h.env)) << c.name;
    h.clock.advance_to(c.at);
    EXPECT_EQ(write_pause(h.env), c.cut) << c.name;
  }
  static_assert(kStopPatienceMs + kStopWriteReserveMs + 2000 < kStopBoundMs,
                "the stop's bound covers its patience, its writes and the pause after the close");
}

TEST(ShowProgress, PrintsTheSpinnerLineThenPauses) {
  Harness h;
  show_progress(h.env, 1, 1500);
  show_progress(h.env, 0, 1500);
  EXPECT_EQ(h.console(), "++        --" + std::string(42, ' ') + "\r" + "--        ++" +
                             std::string(43, ' ') + "\r");
  EXPECT_EQ(h.now(), 3000);
}

// The console as the journal: each event one line with the priority of the tag logged after it.
class JournalLines final : public platform::Console {
 public:
  void write(const std::string& text) override { raw += text; }
  bool wants_lines() const override { return true; }
  void line(int priority, const std::string& text) override {
    lines.push_back(std::to_string(priority) + " " + text);
  }
  std::vector<std::string> lines;
  std::string raw;
};

TEST(JournalConsole, OneLineAnEventWithItsTagsPriority) {
  struct Step {
    const char* say;  // nullptr: none
    const char* tag;  // nullptr: none
    bool failure = false;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> lines;
  } cases[] = {
      {"failure texts and their tags, a CR inside an echoed command kept in its line",
       {{"CMGS5((OK))", "cmgs5"}, {"CMGS1((AT+CMGS=\"+333\"\r)).", "cmgs1"}},
       {"3 CMGS5((OK))", "3 CMGS1((AT+CMGS=\"+333\"^M))."}},
      {"refused messages are warnings",
       {{"SMS from un-authorized: +999                    \n", "SMS from UFO"},
        {"Illegal SMS content: 'bad'\n", "Illegal SMS content 2"}},
       {"4 SMS from un-authorized: +999", "4 Illegal SMS content: 'bad'"}},
      {"a forward is information, a name saved in Windows-1252 as UTF-8",
       {{"SMS /Sun Feb 26 2012/01:19:42/Gr\xfcn: 1,2\n", nullptr}},
       {"6 SMS /Sun Feb 26 2012/01:19:42/Gr\xc3\xbcn: 1,2"}},
      {"a failure without a tag of its own, its Ctrl-Z shown",
       {{".Failed to send_sms1  (text=+4410,1\x1a) (cellular=+111).\n ", nullptr, true},
        {"main2.", "main2"}},
       {"3 .Failed to send_sms1  (text=+4410,1^Z) (cellular=+111).", "3 main2."}},
      {"progress lines overwritten, and the spinner dropped",
       {{"\n...wait...(5 seconds)\r RKT 26 FEB 2012     \n", nullptr},
        {kSpinnerOn, nullptr},
        {"stopped on request.\n", "stopped on request"}},
       {"6 ...wait...(5 seconds)", "6 RKT 26 FEB 2012", "5 stopped on request."}},
  };
  for (const auto& c : cases) {
    Harness h;
    JournalLines journal;
    platform::Service service;
    platform::Env env{h.env.clock, h.env.wall, journal, h.env.site, h.env.port, &service};
    for (const Step& step : c.steps) {
      if (step.say != nullptr) (step.failure ? say_failure : say)(env, step.say);
      if (step.tag != nullptr) log_error(env, step.tag);
    }
    flush_console(env);
    EXPECT_EQ(journal.lines, c.lines) << c.name;
    EXPECT_EQ(journal.raw, "") << c.name;
  }
}

}  // namespace
}  // namespace mvo::logs
