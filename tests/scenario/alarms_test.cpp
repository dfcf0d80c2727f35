// The gateway's own alarms over days of virtual time: silent stations, stations back, the modem
// back on the air, restarts, storms and reports that must not wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>

#include "alarms/watch.h"
#include "common/text.h"
#include "driver/gateway.h"
#include "tests/support/harness.h"

namespace mvo::alarms {
namespace {

constexpr std::int64_t kMinute = 60000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr const char* kStamp = "12/02/26,13:19:42+04";
// Both stations of a site silent since it began, folded into one text.
constexpr const char* kBoth =
    "MVO alarm: 2 stations silent: Pump1 (+4401) none since 26/02 13:19; Tank3 (+4410) none since "
    "26/02 13:19";

struct Site : test::Harness {
  explicit Site(const std::string& alarms, int stations = 2) {
    std::string list;
    for (int i = 0; i < stations; ++i) {
      list += stations == 2 ? (i == 0 ? "\"Pump1\";\"+4401\"\n" : "\"Tank3\";\"+4410\"\n")
                            : common::format("\"T%d\";\"+44%.2d\"\n", i, i);
    }
    write_config("stations.txt", list);
    write_config("human.txt", "Normal\nOverflow\n");
    write_config("destinations.txt", "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"1\"\n");
    if (!alarms.empty()) write_config("alarms.txt", alarms);
  }
  // Runs the gateway until `until` (virtual ms); a stopped run is a process that ended.
  void run_until(std::int64_t until) {
    clock.stop_at(until);
    try {
      driver::main_loop(env, "\\\\.\\COM1");
    } catch (const sim::SimulationEnd&) {
    }
    port().close();
  }
  // Time passes with the gateway not running (the PC off, the service stopped).
  void down_until(std::int64_t until) {
    clock.stop_at(std::numeric_limits<std::int64_t>::max());
    clock.advance_to(until);
  }
  // The alarm texts that reached `number`, in order, without their Ctrl-Z, and when they went.
  std::vector<std::string> alarms_to(const std::string& number = "+222",
                                     std::vector<std::int64_t>* times = nullptr) const {
    std::vector<std::string> out;
    for (const auto& s : modem.outbox()) {
      if (s.number != number || !s.text.starts_with("MVO")) continue;
      out.push_back(s.text.substr(0, s.text.size() - 1));
      if (times != nullptr) times->push_back(s.at);
    }
    return out;
  }
  void report(const std::string& number, std::int64_t at, const char* text = "1,2,3,4,5,6,0") {
    modem.deliver(number, kStamp, text, at);
  }
};

TEST(Alarms, OneAlarmPerSilenceThenOneBackText) {
  Site s("silent 6h\nto Ops\n");
  platform::Service service;
  s.env.service = &service;
  s.write_config("options.txt", "traffic on\n");
  // Pump1 reports every two hours; Tank3 once, then not for 29 hours.
  for (std::int64_t t = kMinute; t < 48 * kHour; t += 2 * kHour) s.report("+4401", t);
  s.report("+4410", kHour);
  for (std::int64_t t = 30 * kHour; t < 48 * kHour; t += 5 * kHour) s.report("+4410", t);
  s.run_until(48 * kHour);
  std::vector<std::int64_t> times;
  EXPECT_EQ(
      s.alarms_to("+222", &times),
      (std::vector<std::string>{"MVO alarm: Tank3 (+4410) silent, last message 26/02/2012 14:19",
                                "MVO: Tank3 (+4410) reports again, 27/02/2012 19:19"}));
  ASSERT_EQ(times.size(), 2u);
  // Told within a poll or two of the bound, and of the report.
  EXPECT_GT(times[0], 7 * kHour);
  EXPECT_LT(times[0], 7 * kHour + kMinute);
  EXPECT_GT(times[1], 30 * kHour);
  EXPECT_LT(times[1], 30 * kHour + kMinute);
  // Each recipient, and only they, got them: Control gets the raw copies only.
  EXPECT_TRUE(s.alarms_to("+111").empty());
  // Recorded as every text is, with the modem's message reference.
  const std::string traffic = s.read_log("traffic.log");
  EXPECT_NE(traffic.find(";out;+222;Ops;sent;ALM;"), std::string::npos) << traffic;
  EXPECT_NE(traffic.find(";MVO alarm: Tank3 (+4410) silent, last message 26/02/2012 14:19\r\n"),
            std::string::npos);
}

// An alarm that no recipient received stays due, whatever ended the turn, and goes later within
// the hour's budget; one the network or another recipient took is never sent again. A failed
// alarm send is told as a forward's failure is, and ends the modem cycle.
TEST(Alarms, AnAlarmNoRecipientGotStaysDue) {
  using K = sim::FaultKind;
  struct Case {
    const char* name;
    sim::FaultRule fault;
    std::int64_t stop_at;  // -1: none; else a stop, then a restart
    int submissions;       // AT+CMGS="+222"
    std::vector<std::string> received;
    int main2;
    const char* more = "";  // further lines of alarms.txt
  } cases[] = {
      {"the modem failing every send", {"AT+CMGS", K::kSilent, 2}, -1, 3, {kBoth}, 2},
      {"+CMGS: n then ERROR: taken", {"+222", K::kSendCmgsThenError, 1}, -1, 1, {}, 1},
      {"a stop awaiting its result", {"+222", K::kSendSilent, 1}, kHour + kMinute, 2, {kBoth}, 0},
      {"one of two recipients failing", {"AT+CMGS", K::kSilent, 1}, -1, 1, {}, 1, "to +999\n"},
  };
  for (const auto& c : cases) {
    Site s(std::string("silent 1h\nto Ops\n") + c.more, 2);
    s.modem.add_fault(c.fault);
    platform::Service service;
    if (c.stop_at >= 0) {
      s.env.service = &service;
      s.clock.raise_at(c.stop_at, &service.stop.requested);
    }
    s.run_until(5 * kHour);
    platform::Service again;
    if (c.stop_at >= 0) {
      EXPECT_EQ(s.tag_count("stopped on request"), 1) << c.name;
      s.env.service = &again;
      s.run_until(5 * kHour);
    }
    EXPECT_EQ(s.commands_starting("AT+CMGS=\"+222\""), c.submissions) << c.name;
    EXPECT_EQ(s.alarms_to(), c.received) << c.name;
    EXPECT_EQ(s.tag_count("main2"), c.main2) << c.name;
    EXPECT_EQ(s.tag_count("On the air"), 1 + c.main2 + (c.stop_at >= 0 ? 1 : 0)) << c.name;
    // Told on the console as a forward is, when it reached someone.
    EXPECT_EQ(s.console().find("alarm sent: MVO alarm: 2 stations silent") != std::string::npos,
              !c.received.empty() || c.submissions == 1)
        << c.name;
  }
}

// The PC's clock set forward two days while the gateway runs (a dead clock battery, corrected):
// silence is measured on the process's own clock, so the jump is no silence, and a station that
// does fall silent afterwards is still told at its bound.
TEST(Alarms, AClockSetForwardWhileRunningIsNoSilence) {
  struct Jumping final : platform::WallClock {
    sim::VirtualWallClock& base;
    sim::VirtualClock& clock;
    Jumping(sim::VirtualWallClock& b, sim::VirtualClock& c) : base(b), clock(c) {}
    std::tm local_now() override { return base.local_now(); }
    std::int64_t utc_seconds() override {
      return base.utc_seconds() + (clock.now_ms() >= 10 * kHour ? 2 * 86400 : 0);
    }
  };
  Site s("silent 6h\nto Ops\n");
  Jumping wall(s.wall, s.clock);
  platform::Env env{s.clock, wall, s.env.console, s.env.site, s.env.port, s.env.service};
  for (std::int64_t t = kMinute; t < 20 * kHour; t += kHour) {
    s.report("+4401", t);
    if (t < 12 * kHour) s.report("+4410", t + kMinute);
  }
  s.clock.stop_at(20 * kHour);
  EXPECT_THROW(driver::main_loop(env, "\\\\.\\COM1"), sim::SimulationEnd);
  std::vector<std::int64_t> times;
  const auto texts = s.alarms_to("+222", &times);
  ASSERT_EQ(texts.size(), 1u) << testing::PrintToString(texts);
  EXPECT_EQ(texts[0].rfind("MVO alarm: Tank3 (+4410) silent", 0), 0u) << texts[0];
  EXPECT_GT(times[0], 17 * kHour);
  EXPECT_LT(times[0], 17 * kHour + 5 * kMinute);
}

// What Ops is texted over the hours of each story, in order.
TEST(Alarms, TextsOverTime) {
  const std::string tank3 = "MVO alarm: Tank3 (+4410) silent, no message since 26/02/2012 13:19";
  const std::string back = "MVO: gateway back on the air after ";
  const std::string missed = " off the air; reports sent meanwhile may be missed.";
  struct Case {
    const char* name;
    std::string alarms;  // alarms.txt
    std::function<void(Site&)> story;
    std::vector<std::string> texts;
  } cases[] = {
      {"no file: no state and no text", "", [](Site& s) { s.run_until(30 * kHour); }, {}},
      {"a station's own bound first, the other alone at its bound",
       "silent 6h\nsilent Tank3 3h\nto Ops\n",
       [](Site& s) { s.run_until(7 * kHour); },
       {tank3, "MVO alarm: Pump1 (+4401) silent, no message since 26/02/2012 13:19"}},
      {"restarts before the alarm is due and after it neither forget nor repeat it",
       "silent 6h\nto Ops\n",
       [](Site& s) {
         for (std::int64_t t = kMinute; t < 30 * kHour; t += kHour) s.report("+4401", t);
         for (const std::int64_t stop : {3 * kHour, 8 * kHour}) {
           s.run_until(stop);
           s.down_until(stop + 5 * kMinute);
         }
         s.run_until(30 * kHour);
       },
       {tank3}},
      // A dead clock battery leaves the stored moments in the future: silence is then measured
      // from the restart, never lost.
      {"the PC clock set back a year",
       "silent 6h\nto Ops\n",
       [](Site& s) {
         s.run_until(kHour);
         s.wall.set_start(sim::VirtualWallClock::at(2011, 2, 26, 13, 0, 0), s.now());
         s.run_until(9 * kHour);
       },
       {kBoth}},
      // Measured from the last poll before the drop to the bring-up after it; a short one is no
      // news.
      {"the modem's line down 10 min, then 50 min; then the PC off for 5 h",
       "off-air 30m\nto Ops\n",
       [](Site& s) {
         s.modem.unplug(kHour, 10 * kMinute);
         s.modem.unplug(2 * kHour, 50 * kMinute);
         s.run_until(4 * kHour);
         s.down_until(9 * kHour);
         s.run_until(10 * kHour);
       },
       {back + "50m" + missed, back + "5h 0m" + missed}},
      // Without an off-air line, the reports the network kept arrive within minutes of the
      // bring-up: no station is texted silent in between, only to be texted back.
      {"after a long outage the kept reports come first",
       "silent 2h\nto Ops\n",
       [](Site& s) {
         s.modem.unplug(kHour, 8 * kHour);
         s.report("+4401", 9 * kHour + 5 * kMinute);
         s.report("+4410", 9 * kHour + 5 * kMinute);
         s.run_until(10 * kHour);
       },
       {}},
  };
  for (const auto& c : cases) {
    Site s(c.alarms);
    c.story(s);
    EXPECT_EQ(s.alarms_to(), c.texts) << c.name;
    EXPECT_EQ(s.log_exists("alarms.state"), !c.alarms.empty()) << c.name;
  }
}

// Thirty stations, all silent when the gateway comes back after two days down: the modem's
// return comes first, then the stations folded, never more texts in an hour than allowed, and
// each station named once.
TEST(Alarms, AStormAfterALongOutageIsFoldedAndRateLimited) {
  Site s("silent 6h\noff-air 1h\nto Ops\nper-hour 3\n", 30);
  for (int i = 0; i < 30; ++i) s.report(common::format("+44%.2d", i), kMinute);
  s.run_until(kHour);
  s.down_until(49 * kHour);  // the PC was off for two days
  s.run_until(53 * kHour);
  std::vector<std::int64_t> times;
  const auto texts = s.alarms_to("+222", &times);
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0].rfind("MVO: gateway back on the air after 2d 0h off the air", 0), 0u)
      << texts[0];
  for (std::size_t i = 0; i < times.size(); ++i) {
    int in_hour = 0;
    for (std::size_t j = 0; j <= i; ++j) in_hour += times[j] > times[i] - kHour ? 1 : 0;
    EXPECT_LE(in_hour, 3) << "text " << i;
  }
  // Folded as "30 stations silent", each with its last report's short date, those left counted.
  EXPECT_EQ(texts[1].rfind("MVO alarm: 30 stations silent: T0 (+4400) 26/02 13:20; ", 0), 0u)
      << texts[1];
  EXPECT_NE(texts[1].find(" more)"), std::string::npos) << texts[1];
  std::set<std::string> seen;
  for (std::size_t t = 1; t < texts.size(); ++t) {
    EXPECT_LE(texts[t].size(), 160u);
    EXPECT_EQ(texts[t].rfind("MVO alarm: ", 0), 0u) << texts[t];
    for (int i = 0; i < 30; ++i) {
      const std::string who = common::format("T%d (+44%.2d)", i, i);
      if (texts[t].find(who) != std::string::npos) {
        EXPECT_TRUE(seen.insert(who).second) << who << " named twice";
      }
    }
  }
  EXPECT_EQ(seen.size(), 30u);
  // Silence is judged only once the store had ten minutes to hand over what waited.
  EXPECT_GE(times[1] - times[0], 10 * kMinute - kMinute);
}

// Reports that arrive while alarms are due are forwarded before all but the alarm text already
// being sent.
TEST(Alarms, AReportWaitingInTheStoreGoesFirst) {
  Site s("silent 1h\nto Ops\nper-hour 60\n", 30);
  // Silence falls due an hour from the start; five reports land a second after.
  for (int i = 0; i < 5; ++i) s.report("+4401", kHour + 1000, "1,2,3,4,5,6,1");
  s.run_until(2 * kHour);
  // The alarm texts sent before the last forward: at most the one already under way.
  int alarms = 0;
  int before_last_forward = -1;
  for (const auto& sent : s.modem.outbox()) {
    if (sent.text.starts_with("MVO")) ++alarms;
    if (sent.text.starts_with("T1 reports")) before_last_forward = alarms;
  }
  EXPECT_GE(before_last_forward, 0);
  EXPECT_LE(before_last_forward, 1);
  EXPECT_GE(s.alarms_to().size(), 2u);
}

}  // namespace
}  // namespace mvo::alarms
