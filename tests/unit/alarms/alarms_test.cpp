// configuration/alarms.txt, the alarm state file and the alarm texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "alarms/watch.h"
#include "common/halt.h"
#include "config/tables.h"
#include "tests/support/harness.h"

namespace mvo::alarms {
namespace {

using test::Harness;

std::vector<config::Station> stations() { return {{"Pump1", "+4401"}, {"Tank 3", "+4410"}}; }
std::vector<config::Destination> destinations() {
  return {{"Ops", "+222", "HMN"}, {"Night shift", "+333", "SMC"}};
}

// An unknown station, destination or unit: mvo-check's site tests, over this loader.
TEST(LoadAlarms, ReadsEveryLineOrHaltsNamingIt) {
  struct Case {
    const char* name;
    const char* file;  // nullptr: no alarms.txt
    std::vector<std::int64_t> silent_after;
    std::int64_t off_air = 0;
    std::vector<std::string> recipients;  // numbers
    int per_hour = 6;
  } cases[] = {
      {"no file: nothing on", nullptr, {}},
      {"every word, CR LF, a quoted name with a blank",
       "silent 24h\r\nsilent \"Tank 3\" 90m\r\noff-air 2d\r\nto Ops\r\nto \"Night shift\"\r\nto "
       "+44 7700-900\r\nper-hour 12\r\n",
       {86400, 5400},
       172800,
       {"+222", "+333", "+447700900"},
       12},
      // Comments after the words, as the README's example has them.
      {"a station's own bound wins over a later general one; a recipient named twice",
       "silent +4401 1h # one\nsilent 3\t# all\nto Ops # the room\nto +222 # Ops again\n",
       {3600, 10800},
       0,
       {"+222"}},
      {"only a recipient, comments and blank lines: nothing to watch",
       "# alarms\n\n   \nto Ops\n",
       {0, 0},
       0,
       {"+222"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    if (c.file != nullptr) h.write_config("alarms.txt", c.file);
    const config::AlarmSettings a = config::load_alarms(h.env, stations(), destinations());
    EXPECT_EQ(h.console(), "");
    // On when there is something to watch.
    const bool watched = std::ranges::any_of(c.silent_after, [](std::int64_t s) { return s > 0; });
    EXPECT_EQ(a.on, watched || c.off_air > 0);
    EXPECT_EQ(a.silent_after, c.silent_after);
    EXPECT_EQ(a.off_air_after, c.off_air);
    std::vector<std::string> numbers;
    for (const auto& r : a.recipients) numbers.push_back(r.number);
    EXPECT_EQ(numbers, c.recipients);
    EXPECT_EQ(a.per_hour, c.per_hour);
  }
  // Each halt names its line and what the word takes.
  const std::pair<std::string, const char*> halts[] = {
      {"silent 6h\nto Ops\nrepeat 2\n", "line 3 in file alarms.txt: unknown word repeat"},
      {"silent h\n", "line 1 in file alarms.txt: silent takes a time such as 90m, 6h or 2d"},
      {"off-air 0m\n", "line 1 in file alarms.txt: off-air takes a time such as 90m, 6h or 2d"},
      {"silent 367d\n", "line 1 in file alarms.txt: silent takes a time such as 90m, 6h or 2d"},
      {"to \"\"\n", "line 1 in file alarms.txt: to takes a destination's name or a number"},
      {"per-hour 61\n", "line 1 in file alarms.txt: per-hour takes a number from 1 to 60"},
      {"per-hour 0\n", "line 1 in file alarms.txt: per-hour takes a number from 1 to 60"},
      {"# x\nsilent " + std::string(300, '1') + "\n", "line 2 in file alarms.txt is too long"},
  };
  for (const auto& [file, halt] : halts) {
    Harness h;
    h.write_config("alarms.txt", file);
    EXPECT_THROW(config::load_alarms(h.env, stations(), destinations()), common::Halt) << file;
    EXPECT_EQ(h.console(), std::string(" ") + halt + "\n");
  }
}

TEST(AlarmState, RoundTripsAndRefusesWhatItDidNotWrite) {
  AlarmState s;
  s.on_air = 1330262382;
  s.off_air_due = 7200;
  s.stations.push_back({"+4401", 1330262000, "26/02/2012 13:13", true, true, false});
  s.stations.push_back({"+4410", 1330200000, "25/02/2012 20:00", false, false, true});
  s.sent.push_back({1330262382, "26/02/2012 13:19", "MVO alarm: a;b\\c\r\nd"});
  // Read back with every line ending in CR LF (as the restarts of the scenarios show, plain LF
  // reads back too).
  AlarmState back;
  std::string crlf;
  for (char ch : state_text(s)) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  ASSERT_TRUE(parse_state(crlf, back));
  EXPECT_EQ(back, s);

  const char* bad[] = {"",
                       "off-air-due=1\n",
                       "on-air=x\n",
                       "on-air=1\nstation=+1;2;x;1;1\n",
                       "on-air=1\nstation=+1;2;x;1;1;2\n",
                       "on-air=1\nsent=1;x;\\xZZ\n",
                       "on-air=1\nwho=1\n",
                       "on-air=1\ntorn"};
  for (const char* text : bad) {
    AlarmState kept = s;
    EXPECT_FALSE(parse_state(text, kept)) << text;
    EXPECT_EQ(kept, s) << text;
  }
  EXPECT_FALSE(parse_state(std::string(kMaxStateFile + 1, '\n'), back));
}

// The hour's budget counts the texts of the last 3600 s: one sent 3600 s ago no longer counts.
TEST(AlarmState, TheBudgetIsTheLastHoursTexts) {
  Harness h;
  config::Tables t;
  t.alarms.per_hour = 3;
  const std::int64_t now = h.wall.utc_seconds();
  AlarmState s;
  s.on_air = now;
  for (std::int64_t ago : {3600, 3599, 0}) s.sent.push_back({now - ago, "", "x"});
  std::ofstream(h.dir() / "log" / kStateFileName, std::ios::binary) << state_text(s);
  Watch w(t, t.alarms);
  w.start(h.env);
  EXPECT_EQ(w.budget(now), 1);
}

TEST(AlarmTexts, DurationsAndFoldsStayWithinOneMessage) {
  EXPECT_EQ(duration_text(59), "0m");
  EXPECT_EQ(duration_text(86400 * 2 + 3600 * 3 + 600), "2d 3h");
  EXPECT_EQ(duration_text(-5), "0m");

  // Fifty stations with long names all silent: every text is one SMS, and each text names at
  // least one station.
  config::Tables t;
  for (int i = 0; i < 50; ++i) {
    t.stations.push_back({std::string(140, 'N') + std::to_string(i), "+44" + std::to_string(i)});
  }
  t.alarms.on = true;
  t.alarms.silent_after.assign(50, 3600);
  t.alarms.recipients.push_back({"", "+1"});
  for (const std::string& text : Watch::previews(t)) {
    EXPECT_LE(text.size(), kMaxText) << text;
    EXPECT_EQ(text.rfind("MVO", 0), 0u);
  }
}

}  // namespace
}  // namespace mvo::alarms
