// mvo-report's model: messages judged as the gateway judges them, zones on one axis, peaks kept
// by the downsampling, the silent-station rule and the --check states.
#include "report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "logs/logs.h"
#include "tests/support/harness.h"

namespace mvo::report {
namespace {

using test::Harness;

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kNow = 1765000000;  // an instant on a whole minute

TEST(ReadMessage, JudgesAsTheGatewayDoes) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
    int code;
  };
  const Case cases[] = {
      {"a report", "10,2.5,c,400,e,f,1", true, 1},
      {"runs of commas count as one", "10,,2.5,c,400,e,f,2", true, 2},
      {"six fields", "10,2.5,c,400,e,f", false, -1},
      {"status beyond the human texts", "10,2.5,c,400,e,f,3", false, -1},
      {"status not a number", "10,2.5,c,400,e,f,x", false, -1},
      {"61 characters", "1,2,3,4,5,6,0," + std::string(47, 'x'), false, -1},
      {"60 characters", "1,2,3,4,5,6,0," + std::string(46, 'x'), true, 0},
  };
  for (const Case& c : cases) {
    const Reading r = read_message(c.text, 3);
    EXPECT_EQ(r.valid, c.valid) << c.name;
    EXPECT_EQ(r.code, c.code) << c.name;
  }
  const Reading r = read_message("10,2.5,c,lots,e,f,0", 3);
  EXPECT_EQ(r.level, 2.5);
  EXPECT_FALSE(r.volume.has_value());  // charted without a volume point
}

// The same instant stamped in three zones lands in one column; an hour apart does not.
TEST(Axis, RecordsFromSeveralZonesShareOneTimeAxis) {
  const char* lines[] = {
      "  +08 , 26/12/06 , 12:00:00  , 1,1,c,1,e,f,0 ",  // UTC+2
      "  -04 , 26/12/06 , 09:00:00  , 1,2,c,1,e,f,0 ",  // UTC-1
      "  +00 , 26/12/06 , 10:00:00  , 1,3,c,1,e,f,0 ",
      "  +02 , 26/12/06 , 10:30:00  , 1,4,c,1,e,f,0 ",  // UTC+0:30: 10:00 UTC as well
  };
  std::vector<std::int64_t> instants;
  for (const char* line : lines) {
    logs::StationRecord r;
    ASSERT_EQ(logs::parse_station_record(line, r), logs::LineFault::kNone) << line;
    instants.push_back(r.utc);
  }
  for (std::int64_t t : instants) EXPECT_EQ(t, instants[0]);
  const Axis axis{instants[0] - 24 * kHour, instants[0] + 24 * kHour};
  std::vector<Column> columns(kColumns);
  for (std::size_t i = 0; i < instants.size(); ++i) {
    add_to_columns(columns, axis, instants[i], read_message(lines[i] + 30, 1));
  }
  const Column& c = columns[static_cast<std::size_t>(axis.column(instants[0]))];
  EXPECT_EQ(c.level_min, 1);
  EXPECT_EQ(c.level_max, 4);
  EXPECT_EQ(axis.column(axis.start), 0);
  EXPECT_NE(axis.column(instants[0] + kHour), axis.column(instants[0]));
  EXPECT_EQ(axis.column(axis.start - 1), -1);
  EXPECT_EQ(axis.column(axis.end), kColumns - 1);
}

TEST(Downsampling, KeepsPeaksDipsAndTheLatestStatusOfAColumn) {
  const Axis axis{0, 100000};
  std::vector<Column> columns(kColumns);
  for (std::int64_t t = 0; t <= 100000; t += 7) {
    std::string text = "1,2,c,500,e,f,0";
    if (t == 50001) text = "1,9.75,c,500,e,f,1";  // one peak among 14,000 messages
    if (t == 70007) text = "1,-3,c,2,e,f,2";      // one dip
    if (t == 90006) text = "garbage";
    add_to_columns(columns, axis, t, read_message(text, 3));
  }
  int with_level = 0;
  for (const Column& c : columns) with_level += c.has_level;
  EXPECT_EQ(with_level, kColumns);
  const Column& peak = columns[static_cast<std::size_t>(axis.column(50001))];
  EXPECT_EQ(peak.level_max, 9.75f);
  EXPECT_EQ(peak.level_min, 2.0f);
  EXPECT_EQ(peak.code, 0);  // a later report in the column says 0 again
  const Column& dip = columns[static_cast<std::size_t>(axis.column(70007))];
  EXPECT_EQ(dip.level_min, -3.0f);
  EXPECT_EQ(dip.volume_min, 2.0f);
  EXPECT_TRUE(columns[static_cast<std::size_t>(axis.column(90006))].invalid);
  EXPECT_EQ(columns[static_cast<std::size_t>(axis.column(0))].level_max, 2.0f);
  EXPECT_FALSE(columns[static_cast<std::size_t>(axis.column(0))].invalid);
}

TEST(Silent, NeverHeardOrQuietLongerThanTheLimit) {
  Settings settings;
  settings.now = kNow;
  settings.silent_after_s = 24 * kHour;
  struct Case {
    bool heard;
    std::int64_t last;
    bool silent;
  };
  const Case cases[] = {
      {false, 0, true},
      {true, kNow - 24 * kHour, false},
      {true, kNow - 24 * kHour - 1, true},
      {true, kNow + kHour, false},  // a station clock ahead of ours
  };
  for (const Case& c : cases) {
    Station s;
    s.heard = c.heard;
    s.last = c.last;
    EXPECT_EQ(is_silent(s, settings), c.silent) << c.last;
  }
}

// --check: the states in order of precedence, their exit codes and their first words.
TEST(Check, StatesAndExitCodes) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> ages;  // hours since each station's last message;
                                     // negative: never heard
    std::vector<std::pair<std::int64_t, std::string>> errors;  // hours ago, tag
    int code;
    const char* starts;
  };
  const Case cases[] = {
      {"all reporting, on the air", {1, 2}, {{30, "On the air"}}, 0, "MVO OK - 2 stations"},
      {"un-authorized sender leaves the modem up",
       {1, 2},
       {{30, "On the air"}, {20, "SMS from UFO"}, {19, "SMS too long"}},
       0,
       "MVO OK"},
      {"one silent", {1, 25}, {{30, "On the air"}}, 1, "MVO WARNING - 1 of 2 stations silent"},
      {"one never heard", {1, -1}, {{30, "On the air"}}, 1, "MVO WARNING"},
      {"every station silent",
       {26, -1},
       {{30, "On the air"}},
       2,
       "MVO CRITICAL - every station silent"},
      {"a failure 3 h ago and no bring-up since",
       {1, 2},
       {{30, "On the air"}, {3, "cmgl-2"}, {3, "main1"}},
       2,
       "MVO CRITICAL - gateway off the air"},
      {"a failure 1 h ago: within the limit",
       {1, 2},
       {{30, "On the air"}, {1, "cmgl-2"}},
       0,
       "MVO OK"},
      {"failure then bring-up again",
       {1, 2},
       {{30, "On the air"}, {20, "main2"}, {20, "On the air"}},
       0,
       "MVO OK"},
      {"never on the air", {1, 2}, {}, 2, "MVO CRITICAL - gateway never on the air"},
  };
  for (const Case& c : cases) {
    Settings settings;
    settings.now = kNow;
    settings.display_offset_s = static_cast<int>(kHour);
    settings.local_to_utc = [](std::int64_t s) { return s - kHour; };
    SiteReport site;
    for (std::int64_t age : c.ages) {
      Station s;
      s.name = "S" + std::to_string(site.stations.size());
      s.heard = age >= 0;
      s.last = kNow - age * kHour;
      site.stations.push_back(s);
    }
    for (const auto& [ago, tag] : c.errors) {
      logs::ErrorRecord r{tag, logs::civil_from_seconds(kNow + kHour - ago * kHour)};
      add_error_record(site.health, r, std::nullopt);
    }
    const CheckResult r = check_site(site, settings);
    EXPECT_EQ(r.code, c.code) << c.name << ": " << r.line;
    EXPECT_EQ(r.line.rfind(c.starts, 0), 0u) << c.name << ": " << r.line;
    EXPECT_EQ(r.line.find('\n'), std::string::npos);
  }
  EXPECT_EQ(check_unknown("no log directory").code, 3);
  EXPECT_EQ(check_unknown("no log directory").line, "MVO UNKNOWN - no log directory");
}

// A site whose logs the gateway's own writers filled, then damaged: what the model reads.
TEST(ReadSite, StationsFromTheGatewaysWritersAndTheirDamagedLines) {
  Harness h;
  h.write_config("stations.txt",
                 "\"Tank3\";\"+4410\"\r\n\"Pump\";\"+4420\"\r\n\"Idle\";\"+4430\"\r\n"
                 "\"Star\";\"*100\"\r\n");
  h.write_config("human.txt", "Normal\r\nOverflow\r\n");
  logs::log_station_message(h.env, "+4410", "10,2.5,c,400,e,f,1", "26/12/06", "12:00:00", "+08");
  logs::log_station_message(h.env, "+4410", "10,2.7,c,410,e,f,0", "26/12/06", "09:30:00", "-04");
  logs::log_station_message(h.env, "+4420", "not a report", "26/12/05", "10:00:00", "+00");
  logs::log_station_message(h.env, "+4420", std::string(61, '7'), "26/12/05", "11:00:00", "+00");
  // A number Windows takes in no file name: found under the name the gateway gave its log.
  logs::log_station_message(h.env, "*100", "1,1,1,1,1,1,0", "26/12/05", "11:00:00", "+00");
  logs::log_station_message(h.env, "+9999", "1,1,1,1,1,1,0", "26/12/05", "11:00:00", "+00");
  h.wall.set_start(sim::VirtualWallClock::at(2026, 12, 6, 8, 0, 0));
  logs::log_error(h.env, "On the air");
  logs::log_error(h.env, "SMS from UFO");
  {
    std::ofstream damage(h.dir() / "log" / "+4420.csv", std::ios::binary | std::ios::app);
    damage << "  +08 , 26/1\r\n\r\n\r  CET , 26/12/05 , 10:00:00  , 1 \r\n"
           << "  +00 , 26/02/30 , 10:00:00  , 1 \r\n"
           << "  +00 , 26/12/05 , 12:00:00  , 1,2,c,4,e,f,0 \r\n";
    std::ofstream torn(h.dir() / "log" / "err_log.csv", std::ios::binary | std::ios::app);
    torn << " On the a";
  }
  Settings settings;
  settings.now = logs::civil_seconds({2026, 12, 6, 12, 0, 0});
  SiteReport site;
  std::string error;
  ASSERT_TRUE(read_site(h.dir().string(), settings, site, error)) << error;
  ASSERT_EQ(site.stations.size(), 4u);
  const Station& tank = site.stations[0];
  EXPECT_EQ(tank.messages, 2u);
  // 12:00 at UTC+2 is 10:00 UTC; 09:30 at UTC-1, written later, is 10:30 UTC: the latest.
  EXPECT_EQ(tank.last_text, "10,2.7,c,410,e,f,0");
  EXPECT_EQ(tank.last, logs::civil_seconds({2026, 12, 6, 10, 30, 0}));
  EXPECT_EQ(tank.last_24h, 2u);
  const Station& pump = site.stations[1];
  EXPECT_EQ(pump.messages, 3u);
  EXPECT_EQ(pump.invalid, 2u);
  EXPECT_EQ(pump.unreadable.malformed, 3u);  // torn, empty, lone CR
  EXPECT_EQ(pump.unreadable.zone, 1u);
  EXPECT_EQ(pump.unreadable.date, 1u);
  EXPECT_TRUE(pump.last_reading.valid);
  EXPECT_FALSE(site.stations[2].log_found);
  EXPECT_TRUE(is_silent(site.stations[2], settings));
  EXPECT_EQ(site.stations[3].messages, 1u);
  EXPECT_EQ(site.health.on_air, 1u);
  EXPECT_EQ(site.health.ufo, 1u);
  EXPECT_EQ(site.health.unreadable, 1u);
  EXPECT_EQ(site.unlisted_logs,
            (std::vector<std::pair<std::string, std::uint64_t>>{{"+9999.csv", 1}}));
  // Nothing was written into the site: no error-log record from the loaders.
  EXPECT_EQ(h.tags(), (std::vector<std::string>{"On the air", "SMS from UFO"}));

  std::ostringstream page;
  write_page(page, site, settings);
  const std::string html = page.str();
  EXPECT_NE(html.find("NEVER HEARD"), std::string::npos);
  EXPECT_NE(html.find("<li><i class=\"sw c1\"></i>1 Overflow</li>"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("http"), std::string::npos);
}

TEST(ReadSite, UnreadableSiteIsAnError) {
  struct Case {
    const char* name;
    bool log_dir;
    const char* stations;
    const char* error;
  };
  const Case cases[] = {
      {"no log directory", false, "\"A\";\"1\"\n", "no log directory"},
      {"no stations.txt", true, nullptr, "stations.txt: NO STATIONS FILE"},
      {"a faulty stations.txt", true, "\"A\";\"1\";\n", "stations.txt: Error type 3 in line 0"},
  };
  for (const Case& c : cases) {
    Harness h({}, c.log_dir);
    if (c.stations != nullptr) h.write_config("stations.txt", c.stations);
    SiteReport site;
    std::string error;
    EXPECT_FALSE(read_site(h.dir().string(), Settings{}, site, error)) << c.name;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.name << ": " << error;
  }
}

}  // namespace
}  // namespace mvo::report
