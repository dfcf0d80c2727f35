// mvo-report's model: messages judged as the gateway judges them, zones on one axis, peaks kept
// by the downsampling, the silent-station rule, what each error-log tag means for the modem, the
// gateway's state file and the --check states, one site or several, and the metrics format.
#include "report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "common/halt.h"
#include "driver/gateway.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "tests/support/harness.h"

namespace mvo::report {
namespace {

using test::Harness;

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kNow = 1765000000;  // an instant on a whole minute
const std::int64_t kNoon = logs::civil_seconds({2026, 12, 6, 12, 0, 0});

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
// A site of these stations whose one status text is "Normal".
void write_site(Harness& h, const char* stations = "\"Tank3\";\"+4410\"\r\n") {
  h.write_config("stations.txt", stations);
  h.write_config("human.txt", "Normal\r\n");
}
void write_log(Harness& h, const std::string& name, const std::string& text) {
  std::ofstream(h.dir() / "log" / name, std::ios::binary) << text;
}
SiteReport read_ok(Harness& h, const Settings& settings) {
  SiteReport site;
  std::string error;
  EXPECT_TRUE(read_site(h.dir().string(), settings, site, error)) << error;
  return site;
}
std::string page_of(const SiteReport& site, const Settings& settings) {
  std::ostringstream page;
  write_page(page, site, settings);
  return page.str();
}

// Each text's status code, -1 where the message is invalid.
TEST(ReadMessage, JudgesAsTheGatewayDoes) {
  const std::pair<std::string, int> cases[] = {
      {"10,2.5,c,400,e,f,1", 1},
      {"10,,2.5,c,400,e,f,2", 2},                     // runs of commas count as one
      {"10,2.5,c,400,e,f", -1},                       // six fields
      {"10,2.5,c,400,e,f,3", -1},                     // status beyond the human texts
      {"10,2.5,c,400,e,f,x", -1},                     // status not a number
      {"1,2,3,4,5,6,0," + std::string(47, 'x'), -1},  // 61 characters
      {"1,2,3,4,5,6,0," + std::string(46, 'x'), 0},   // 60
  };
  for (const auto& [text, code] : cases) {
    const Reading r = read_message(text, 3);
    EXPECT_EQ(r.valid, code >= 0) << text;
    EXPECT_EQ(r.code, code) << text;
  }
  const Reading r = read_message("10,2.5,c,lots,e,f,0", 3);
  EXPECT_EQ(r.level, 2.5);
  EXPECT_FALSE(r.volume.has_value());  // charted without a volume point
}

TEST(Downsampling, KeepsPeaksDipsAndTheLatestStatusOfAColumn) {
  const Axis axis{0, 100000};
  EXPECT_EQ(axis.column(0), 0);
  EXPECT_EQ(axis.column(-1), -1);
  EXPECT_EQ(axis.column(100000), kColumns - 1);
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
  const auto at = [&](std::int64_t t) { return columns[static_cast<std::size_t>(axis.column(t))]; };
  EXPECT_EQ(at(50001).level_max, 9.75f);
  EXPECT_EQ(at(50001).level_min, 2.0f);
  EXPECT_EQ(at(50001).code, 0);  // a later report in the column says 0 again
  EXPECT_EQ(at(70007).level_min, -3.0f);
  EXPECT_EQ(at(70007).volume_min, 2.0f);
  EXPECT_TRUE(at(90006).invalid);
  EXPECT_EQ(at(0).level_max, 2.0f);
  EXPECT_FALSE(at(0).invalid);
}

TEST(Silent, NeverHeardOrQuietLongerThanTheLimit) {
  const Settings settings{.now = kNow};  // silent after 24 h
  auto silent = [&](bool heard, std::int64_t last) {
    return is_silent({.heard = heard, .last = last}, settings);
  };
  EXPECT_TRUE(silent(false, 0));
  EXPECT_FALSE(silent(true, kNow - 24 * kHour));
  EXPECT_TRUE(silent(true, kNow - 24 * kHour - 1));
  EXPECT_FALSE(silent(true, kNow + kHour));  // a station clock ahead of ours
}

// The tags the gateway's code logs, read from its sources (MVO_SOURCE_DIR), each with its file:
// the message of log_error(env, ...) and fatal_stop(env, ...); the last argument of fail, fail_as
// and refuse when another comes before it (refuse(env, text) logs no tag), a literal or a table
// of literals in the same file (kRetryTags[retry]); and the last of a between_quotes message. A
// literal with a number after it ("..." + number, format("...%d", n)) stands with "2" for it.
std::vector<std::pair<std::string, std::string>> tags_in_sources(const std::string& root) {
  const std::string lit = R"("(?:[^"\\]|\\.)*")";
  const std::regex message(R"(\w+\(env,\s*(?:(?:common::)?format\(\s*)?()" + lit + R"()(\s*\+)?)");
  const std::regex last(R"(\w+\((?!env,\s*)" + lit + R"(\s*\))[\s\S]*?,\s*()" + lit +
                        R"(|\w+\[\w+\])\s*\))");
  const std::regex quotes(R"(\w+\([^{]*\{[^}]*,\s*()" + lit + R"()\s*\})");
  const std::pair<const char*, const std::regex*> calls[] = {
      {"log_error(", &message}, {"fatal_stop(", &message}, {"fail(", &last},
      {"fail_as(", &last},      {"refuse(", &last},        {"between_quotes(", &quotes}};
  std::vector<std::pair<std::string, std::string>> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().extension() != ".cpp") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string code((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string file = entry.path().filename().string();
    auto add = [&](std::string tag) {  // a literal, as the compiler reads it
      tag = std::regex_replace(tag.substr(1, tag.size() - 2), std::regex(R"(\\n)"), "\n");
      found.emplace_back(std::regex_replace(tag, std::regex("%[0-9]*[ds]"), "2"), file);
    };
    for (const auto& [name, re] : calls) {
      for (std::size_t at = code.find(name); at != std::string::npos;
           at = code.find(name, at + 1)) {
        // The call's statement, up to the ';' that ends it.
        const std::string call = code.substr(at, code.find(';', at) - at);
        std::smatch m;
        if (!std::regex_search(call, m, *re, std::regex_constants::match_continuous)) continue;
        const std::string tag = m[1];
        if (tag[0] == '"') {
          add(tag);
          if (m.size() > 2 && m[2].matched) found.back().first += "2";
          continue;
        }
        // kRetryTags[retry]: each literal of "kRetryTags[] = {...}".
        std::smatch table;
        const std::regex items(tag.substr(0, tag.find('[')) + R"(\[\] = \{([^}]*)\})");
        if (!std::regex_search(code, table, items)) continue;
        const std::string list = table[1];
        const std::regex literal(lit);
        for (std::sregex_iterator i(list.begin(), list.end(), literal), end; i != end; ++i) {
          add(i->str());
        }
      }
    }
  }
  return found;
}

// Every tag the gateway logs has its row in mvo-report's table, which says whether the modem is
// still on the air after it and what it means; and every row is a tag the gateway logs (which
// also proves the scan finds each way a tag is logged).
TEST(Tags, EveryTagTheGatewayLogsHasItsRow) {
  const std::string root = MVO_SOURCE_DIR;
  if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "no sources at " << root;
  std::set<const TagInfo*> rows;
  for (const auto& [tag, file] : tags_in_sources(root)) {
    const TagInfo* row = find_tag(tag);
    EXPECT_NE(row, nullptr) << "no row in tools/report/tags.cpp for \"" << tag << "\" (" << file
                            << ")";
    rows.insert(row);
  }
  for (const TagInfo& t : all_tags()) {
    EXPECT_TRUE(rows.count(&t) == 1) << "a row for a tag the gateway does not log: " << t.tag;
    EXPECT_GT(std::string(t.meaning).size(), 10u) << t.tag;
  }
  // What the table says, where the gateway's failure handling is not written out in the table.
  EXPECT_EQ(cycle_effect("a newer gateway's tag"), CycleEffect::kEnds);
  EXPECT_EQ(cycle_effect("Illegal SMS content 8"), CycleEffect::kEnds);
  EXPECT_EQ(tag_group("Illegal SMS content 4"), TagGroup::kStation);
  EXPECT_EQ(tag_group("not sent on stop +222"), TagGroup::kStop);
}

// The error log as the gateway writes it after a bring-up, chains included: on the air or not
// after it.
TEST(Tags, ChainsOfTheErrorLog) {
  const struct {
    const char* name;
    std::vector<std::string> tags;
    bool on_air;
  } cases[] = {
      {"a result read retried, then the send succeeded", {"cmgs4", "cmgs4"}, true},
      {"a send failed: reset after the fan-out", {"cmgs5", "main2"}, false},
      {"a send failed, the modem back", {"cmgs5", "main2", "On the air"}, true},
      {"a listing failed", {"cmgl-2", "cmgl-1", "main1"}, false},
      {"a bring-up attempt failed", {"pre_at3", "init_modem6", "handle_modem0"}, false},
      {"strangers and a long text", {"SMS from UFO", "SMS too long"}, true},
      {"a destination refused a text", {"cmgs6.cont."}, true},
      {"stopped", {"stopped on request"}, false},
      {"stopped during a fan-out", {"not sent on stop +222", "stopped on request"}, false},
  };
  for (const auto& c : cases) {
    Health h;
    add_error_record(h, {"On the air", {2026, 12, 6, 10, 0, 0}});
    for (const std::string& tag : c.tags) add_error_record(h, {tag, {2026, 12, 6, 10, 0, 0}});
    EXPECT_EQ(!h.off_air_since.has_value(), c.on_air) << c.name;
  }
}

// A --check result whose line starts with `starts` and whose exit code is the one its first
// words name.
void expect_check(const CheckResult& r, const std::string& starts, const char* name) {
  static const char* const kWords[] = {"MVO OK - ", "MVO WARNING - ", "MVO CRITICAL - ",
                                       "MVO UNKNOWN - "};
  EXPECT_TRUE(r.line.starts_with(starts)) << name << ": " << r.line;
  EXPECT_TRUE(r.code >= 0 && r.code <= 3 && r.line.starts_with(kWords[r.code]))
      << name << ": " << r.code << " " << r.line;
}

// --check: the states in order of precedence, their exit codes and their first words.
TEST(Check, StatesAndExitCodes) {
  const struct {
    const char* name;
    std::vector<std::int64_t> ages;  // hours since each station's last message;
                                     // negative: never heard
    std::vector<std::pair<std::int64_t, std::string>> errors;  // hours ago, tag
    const char* starts;
  } cases[] = {
      {"all reporting, on the air", {1, 2}, {{30, "On the air"}}, "MVO OK - 2 stations"},
      {"one silent", {1, 25}, {{30, "On the air"}}, "MVO WARNING - 1 of 2 stations silent"},
      {"every station silent",
       {26, -1},
       {{30, "On the air"}},
       "MVO CRITICAL - every station silent (2): S1 (never heard), S0 (26 h) |"},
      {"a failure 3 h ago and no bring-up since",
       {1, 2},
       {{30, "On the air"}, {3, "cmgl-2"}, {3, "main1"}},
       "MVO CRITICAL - gateway off the air for 3 h since 2025-12-06 03:46 (\"main1\") |"},
      {"a failure 1 h ago: within the limit, and not on the air",
       {1, 2},
       {{30, "On the air"}, {1, "main1"}},
       "MVO OK - 2 stations reporting, gateway off the air since 2025-12-06 05:46 (\"main1\")"},
      {"stopped on request, at once critical",
       {1, 2},
       {{30, "On the air"}, {0, "stopped on request"}},
       "MVO CRITICAL - gateway stopped on request at 2025-"},
      {"never on the air", {1, 2}, {}, "MVO CRITICAL - gateway never on the air"},
  };
  for (const auto& c : cases) {
    const Settings settings{.now = kNow,
                            .display_offset_s = static_cast<int>(kHour),
                            .local_to_utc = [](std::int64_t s) { return s - kHour; }};
    SiteReport site;
    site.health.log_found = true;
    for (std::int64_t age : c.ages) {
      site.stations.push_back({.name = "S" + std::to_string(site.stations.size()),
                               .heard = age >= 0,
                               .last = kNow - age * kHour});
    }
    for (const auto& [ago, tag] : c.errors) {
      add_error_record(site.health, {tag, logs::civil_from_seconds(kNow + kHour - ago * kHour)});
    }
    const CheckResult r = check_site(site, settings);
    expect_check(r, c.starts, c.name);
    EXPECT_EQ(r.line.find('\n'), std::string::npos);
  }
  expect_check(check_unknown("no log directory"), "MVO UNKNOWN - no log directory", "unknown");
}

// With the heartbeat on, the state file is the gateway's word and its age says it still speaks;
// the error log's inference is not used. A file that cannot be read leaves the verdict UNKNOWN.
TEST(Check, HeartbeatAndUnreadableLogs) {
  constexpr std::int64_t kMin = 60;
  const struct {
    const char* name;
    const char* state;  // nullptr: no state file
    std::int64_t beat_age_s;
    std::int64_t since_age_s;
    std::int64_t on_air_age_s;  // the state file's on_air_utc; -1: an older gateway's, without
    const char* starts;
    std::int64_t offline_after_s = 2 * kHour;
  } cases[] = {
      {"beat 11 min old: killed or hung", "on the air", 11 * kMin, 5 * kHour, 11 * kMin,
       "MVO CRITICAL - gateway not running: last sign of life 2025-12-06 05:35 (11 min ago, "
       "state on the air)"},
      {"beat 3 min old: two beats missed, not yet dead", "on the air", 3 * kMin, 5 * kHour,
       3 * kMin,
       "MVO OK - 1 stations reporting, gateway last sign of life 3 min ago (at 05:43, state on "
       "the air)"},
      {"beat 2 min old: one beat late at most, on the air though the error log says off",
       "on the air", 2 * kMin, 5 * kHour, 2 * kMin,
       "MVO OK - 1 stations reporting, gateway on the air"},
      {"stopped on request", "stopped", 3 * kHour, 3 * kHour, 3 * kHour,
       "MVO CRITICAL - gateway stopped on request at 2025-"},
      {"halted", "halted", 20, kHour, 2 * kHour,
       "MVO CRITICAL - gateway halted: NO CFG FILE (since 2025-12-06 04:46) |"},
      {"bringing up for 3 h, an older gateway's file", "bringing up", 20, 3 * kHour, -1,
       "MVO CRITICAL - gateway bringing the modem up since 02:46 (attempt 7): off the air for "
       "3 h |"},
      {"bringing up for 1 h", "bringing up", 20, kHour, kHour,
       "MVO OK - 1 stations reporting, gateway bringing the modem up since 04:46 (attempt 7) |"},
      {"restarted again and again: bringing up for 5 min, off the air for 3 h", "bringing up", 20,
       5 * kMin, 3 * kHour,
       "MVO CRITICAL - gateway bringing the modem up since 05:41 (attempt 7): off the air for "
       "3 h |"},
      {"off the air for 25 min, the bound 20 min", "starting", 20, kMin, 25 * kMin,
       "MVO CRITICAL - gateway starting since 05:45: off the air for 25 min |", 20 * kMin},
      {"stopping", "stopping", 20, kMin, 2 * kMin,
       "MVO OK - 1 stations reporting, gateway stopping |"},
      {"a missed beat while off the air for 3 h", "bringing up", 5 * kMin, 3 * kHour, 3 * kHour,
       "MVO CRITICAL - gateway last sign of life 5 min ago (at 05:41, state bringing up): "
       "off the air for 3 h |"},
      {"heartbeat on, no state file", nullptr, 0, 0, 0, "MVO CRITICAL - gateway not running"},
  };
  for (const auto& c : cases) {
    const Settings settings{.now = kNow, .offline_after_s = c.offline_after_s};
    SiteReport site;
    site.stations.push_back({.heard = true, .last = kNow - 60});
    site.health.log_found = true;
    add_error_record(site.health, {"On the air", logs::civil_from_seconds(kNow - 30 * kHour)});
    add_error_record(site.health, {"main1", logs::civil_from_seconds(kNow - 20 * kHour)});
    site.heartbeat.enabled = true;
    if (c.state != nullptr) {
      site.heartbeat.found = true;
      site.heartbeat.state = {.state = c.state,
                              .since = logs::civil_from_seconds(kNow - c.since_age_s),
                              .beat_utc = kNow - c.beat_age_s,
                              .attempt = 7,
                              .message = "NO CFG FILE"};
      if (c.on_air_age_s >= 0) site.heartbeat.state.on_air_utc = kNow - c.on_air_age_s;
    }
    const CheckResult r = check_site(site, settings);
    expect_check(r, c.starts, c.name);
    if (c.state == nullptr || std::string(c.state) != "on the air") {
      EXPECT_EQ(r.line.find("on the air"), std::string::npos) << c.name << ": " << r.line;
    }
  }
  // A log nobody may read leaves the verdict open, whatever the state file says.
  SiteReport unreadable;
  unreadable.problems = {"log/err_log.csv: Permission denied"};
  expect_check(check_site(unreadable, {.now = kNow}),
               "MVO UNKNOWN - cannot read log/err_log.csv: Permission denied", "unreadable");
}

// Durations read in minutes under an hour, never "0 h".
TEST(Check, DurationsInMinutesUnderAnHour) {
  const std::pair<std::int64_t, const char*> spans[] = {
      {59, "0 min"},        {25 * 60, "25 min"},    {3599, "59 min"},     {kHour, "1 h"},
      {71 * kHour, "71 h"}, {72 * kHour, "3 days"}, {-1, "in the future"}};
  for (const auto& [seconds, text] : spans) EXPECT_EQ(show_span(seconds), text) << seconds;
}

// The --check result of the harness's site as it stands now.
CheckResult check_now(Harness& h) {
  const Settings settings{.now = h.wall.utc_seconds()};
  return check_site(read_ok(h, settings), settings);
}

// The gateway's own state file over restarts that never reach the air: --check counts the outage
// from the last second the site was on the air (or, never on it, from the first start).
TEST(Check, RestartsDoNotResetTheOutage) {
  struct Case {
    const char* name;
    std::string before;  // log/gateway.state before the first run; "": none
    bool first_run_on_air;
    const char* off_for;
  } cases[] = {
      {"on the air, then restarted every 10 min", "", true, "3 h"},
      {"a new site never on the air", "", false, "3 h"},
      {"an older gateway's file, left on the air an hour before",
       "state=on the air\r\nsince=2012-02-26 12:00:00\r\nbeat=2012-02-26 12:19:42\r\n"
       "beat_utc=1330258782\r\n",
       false, "4 h"},
  };
  for (const auto& c : cases) {
    Harness h;
    write_site(h);
    h.write_config("options.txt", "heartbeat on\r\n");
    if (!c.before.empty()) write_log(h, logs::kStateFileName, c.before);
    // The wall clock starts at 2012-02-26 13:19:42; a run every 10 minutes for three hours.
    for (int run = 0; run < 19; ++run) {
      if (run > 0) h.clock.sleep_ms(10 * 60 * 1000);
      platform::Service service;
      service.state_file = true;
      h.env.service = &service;
      logs::set_state(h.env, platform::State::kStarting);
      logs::set_state(h.env, platform::State::kBringingUp, 1);
      if (run == 0 && c.first_run_on_air) {
        logs::set_state(h.env, platform::State::kOnAir);
        logs::set_state(h.env, platform::State::kBringingUp, 1);
      }
    }
    h.env.service = nullptr;
    h.clock.sleep_ms(60 * 1000);
    logs::log_station_message(h.env, "+4410", "1,2,3,4,5,6,0", "12/02/26", "16:19:00", "+00");
    expect_check(check_now(h),
                 "MVO CRITICAL - gateway bringing the modem up since 16:19 (attempt 1): off the "
                 "air for " +
                     std::string(c.off_for) + " |",
                 c.name);
  }
}

// A configuration halt at start is told in the state file when options.txt turns the heartbeat
// on; the console and the error log stay as they were.
TEST(Check, ConfigurationHaltInTheStateFile) {
  struct Case {
    const char* name;
    const char* cfg;  // nullptr: none
    const char* options;
    const char* alarms;
    const char* starts;  // nullptr: no state file
  } cases[] = {
      {"a bad alarms.txt, heartbeat on", "x COM1\n", "heartbeat on\n", "silent soon\n",
       "MVO CRITICAL - gateway halted: line 1 in file alarms.txt: silent takes a time such as "
       "90m, 6h or 2d (since 2012-02-26 13:19)"},
      {"a bad alarms.txt, heartbeat off", "x COM1\n", "heartbeat off\n", "silent soon\n", nullptr},
      {"no cfg.txt, heartbeat on", nullptr, "heartbeat on\n", "",
       "MVO CRITICAL - gateway halted: NO CFG FILE (since 2012-02-26 13:19)"},
      {"a faulty options.txt", "x COM1\n", "heartbeat on\nheartbeat maybe\n", "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string console[2], errors[2];
    for (int with = 0; with <= 1; ++with) {
      Harness h;
      if (c.cfg != nullptr) h.write_config("cfg.txt", c.cfg);
      write_site(h);
      h.write_config("destinations.txt", "\"Ops\";\"+222\";HMN;\"0\"\r\n");
      h.write_config("options.txt", c.options);
      h.write_config("alarms.txt", c.alarms);
      platform::Service service;
      if (with == 1) h.env.service = &service;
      EXPECT_THROW(driver::run_gateway(h.env), common::Halt);
      console[with] = h.console();
      errors[with] = h.read_log("err_log.csv");
      EXPECT_EQ(h.log_exists(logs::kStateFileName), with == 1 && c.starts != nullptr);
      if (with == 1 && c.starts != nullptr) expect_check(check_now(h), c.starts, c.name);
    }
    EXPECT_EQ(console[1], console[0]);
    EXPECT_EQ(errors[1], errors[0]);
  }
}

// Several sites: the worst state, and which site.
TEST(Check, SeveralSitesGiveTheWorstAndNameIt) {
  auto entry = [](const char* name, int code, const char* text) {
    return SiteEntry{.name = name, .check = {.code = code, .text = text}};
  };
  const struct {
    const char* name;
    std::vector<SiteEntry> sites;
    const char* line;
  } cases[] = {
      {"all fine",
       {entry("tanks", 0, "x"), entry("wells", 0, "y")},
       "MVO OK - 2 of 2 sites OK | sites=2 ok=2 warning=0 critical=0 unknown=0"},
      {"one bad",
       {entry("tanks", 0, "x"), entry("wells", 2, "gateway never on the air")},
       "MVO CRITICAL - wells CRITICAL: gateway never on the air (1 of 2 sites OK) | sites=2 ok=1 "
       "warning=0 critical=1 unknown=0"},
      {"critical before unknown before warning",
       {entry("a", 1, "w"), entry("b", 3, "u"), entry("c", 2, "c")},
       "MVO CRITICAL - c CRITICAL: c; b UNKNOWN: u; a WARNING: w (0 of 3 sites OK) | sites=3 ok=0 "
       "warning=1 critical=1 unknown=1"},
      {"unknown outranks a warning",
       {entry("a", 1, "w"), entry("b", 3, "u")},
       "MVO UNKNOWN - b UNKNOWN: u; a WARNING: w (0 of 2 sites OK) | sites=2 ok=0 warning=1 "
       "critical=0 unknown=1"},
  };
  for (const auto& c : cases) {
    const CheckResult r = check_sites(c.sites);
    EXPECT_EQ(r.line, c.line) << c.name;
    expect_check(r, c.line, c.name);  // the exit code its first words name
  }
}

// The window bounds the history kept: one bar per day at most, records outside counted.
TEST(Health, HistoryBoundedByTheWindow) {
  Health h;
  const std::int64_t start = logs::civil_seconds({2026, 11, 1, 0, 0, 0});
  const std::int64_t end = logs::civil_seconds({2026, 12, 6, 12, 0, 0});
  set_window(h, start, end);
  EXPECT_EQ(h.bars.size(), 36u);
  // A hostile log: a record on each of 100,000 distinct days, years back and ahead.
  for (std::int64_t d = 0; d < 100000; ++d) {
    add_error_record(h, {"main1", logs::civil_from_seconds(d * 86400 - 2000000000LL)});
  }
  add_error_record(h, {"On the air", logs::civil_from_seconds(start + 100)});
  EXPECT_EQ(h.bars.size(), 36u);
  EXPECT_GE(h.outside, 100000u - 36u);
  EXPECT_EQ(h.on_air, 1u);
  EXPECT_FALSE(h.off_air_since.has_value());  // the state follows the order written
  Health years;
  set_window(years, start - 3650LL * 86400, end);
  EXPECT_LE(years.bars.size(), static_cast<std::size_t>(kMaxBars));
}

// The metrics file in the text exposition format: HELP and TYPE before each metric's samples,
// every sample line "name{labels} value", label values escaped.
TEST(Metrics, TextExpositionFormat) {
  SiteEntry e;
  e.name = "site \"A\"\\b";
  e.readable = true;
  e.check.code = 1;
  e.report.stations.push_back({.name = "Tank\nNorth",
                               .number = "+4410",
                               .messages = 12,
                               .heard = true,
                               .last = kNow - 600});
  e.report.health.log_found = true;
  add_error_record(e.report.health, {"On the air", logs::civil_from_seconds(kNow - kHour)});
  e.report.traffic.found = true;
  e.report.traffic.destinations.push_back({"+222", "Operator", {5, 1, 2, 0}, {}});
  std::ostringstream out;
  write_metrics(out, {e}, Settings{.now = kNow});
  // Each metric once: its HELP, its TYPE, then its samples "name{k="v",...} value", with \\, \"
  // and \n the only escapes in a value; these blocks make up the whole file.
  const std::string text = out.str();
  static const std::regex kBlock(
      R"(# HELP ([a-z_][a-z0-9_]*) [^\n]+\n# TYPE \1 gauge\n(\1\{[a-z_]+="(?:[^"\\]|\\[\\"n])*"(?:,[a-z_]+="(?:[^"\\]|\\[\\"n])*")*\} -?[0-9.e+]+\n)*)");
  std::set<std::string> names;
  std::size_t at = 0;
  for (std::sregex_iterator m(text.begin(), text.end(), kBlock), end; m != end; ++m) {
    EXPECT_EQ(static_cast<std::size_t>(m->position()), at) << text.substr(at, 200);
    EXPECT_TRUE(names.insert((*m)[1]).second) << "twice: " << (*m)[1];
    at = static_cast<std::size_t>(m->position() + m->length());
  }
  EXPECT_EQ(at, text.size()) << text.substr(at, 200);
  EXPECT_GT(names.size(), 10u);
  for (const char* part : {"site=\"site \\\"A\\\"\\\\b\"", "station=\"Tank\\nNorth\"",
                           "mvo_station_last_message_age_seconds{", "outcome=\"failed\"} 1\n",
                           "outcome=\"refused\"} 2\n", "state=\"on the air\"} 1\n"}) {
    EXPECT_TRUE(has(text, part)) << part;
  }
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
  logs::log_error(h.env, "stopped on request");
  logs::log_error(h.env, "On the air");
  {
    std::ofstream damage(h.dir() / "log" / "+4420.csv", std::ios::binary | std::ios::app);
    damage << "  +08 , 26/1\r\n\r\n\r  CET , 26/12/05 , 10:00:00  , 1 \r\n"
           << "  +00 , 26/02/30 , 10:00:00  , 1 \r\n"
           << "  +00 , 26/12/05 , 12:00:00  , 1,2,c,4,e,f,0 \r\n";
    std::ofstream torn(h.dir() / "log" / "err_log.csv", std::ios::binary | std::ios::app);
    torn << " On the a";
  }
  const Settings settings{.now = kNoon};
  const SiteReport site = read_ok(h, settings);
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
  EXPECT_EQ(site.health.on_air, 2u);
  EXPECT_EQ(site.health.ufo, 1u);
  EXPECT_EQ(site.health.unreadable, 1u);
  EXPECT_EQ(site.unlisted_logs,
            (std::vector<std::pair<std::string, std::uint64_t>>{{"+9999.csv", 1}}));
  // Nothing was written into the site: no error-log record from the loaders.
  EXPECT_EQ(h.tags(), (std::vector<std::string>{"On the air", "SMS from UFO", "stopped on request",
                                                "On the air"}));

  const std::string html = page_of(site, settings);
  // A planned stop is no fault: charted beside the bring-ups.
  for (const char* part :
       {"NEVER HEARD", "<li><i class=\"sw c1\"></i>1 Overflow</li>",
        "<h3>Modem, port and network faults per day (0)</h3>", "and stops on request (1)</h3>"}) {
    EXPECT_TRUE(has(html, part)) << part;
  }
  // Star's one message is a dot on each of its charts.
  const std::size_t star = html.find("<section class=\"station\" id=\"st3\"");
  ASSERT_NE(star, std::string::npos);
  const std::string section = html.substr(star, html.find("</section>", star) - star);
  EXPECT_TRUE(has(section, "<svg class=\"chart level\" data-points=\"1\""));
  EXPECT_TRUE(has(section, "<circle cx="));
  EXPECT_FALSE(has(html, "<script") || has(html, "http"));
}

// options.txt turns the state file and the traffic log on; both are read with the records the
// gateway writes. Without options.txt neither is read, whatever log/ holds.
TEST(ReadSite, StateFileAndTrafficLogWhenOptionsTurnThemOn) {
  // options.txt (nullptr: none) and the state file (nullptr: the gateway's own). The heartbeat
  // and the traffic log are read where options.txt turns them on.
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, nullptr},
      {"# monitoring\r\nheartbeat on\r\ntraffic on\r\n", nullptr},
      {"heartbeat off\r\ntraffic on\r\n", nullptr},
      {"heartbeat on\r\n", "state=on the a"},  // torn: a problem, not read
  };
  for (const auto& [options, state] : cases) {
    SCOPED_TRACE(options != nullptr ? options : "no options.txt");
    const bool heartbeat = options != nullptr && has(options, "heartbeat on");
    const bool traffic_on = options != nullptr && has(options, "traffic on");
    Harness h;
    write_site(h);
    if (options != nullptr) h.write_config("options.txt", options);
    const logs::GatewayState g{.state = "on the air",
                               .since = {2026, 12, 6, 8, 0, 0},
                               .beat = {2026, 12, 6, 11, 59, 0},
                               .beat_utc = logs::civil_seconds({2026, 12, 6, 11, 59, 0})};
    write_log(h, logs::kStateFileName, state != nullptr ? state : logs::state_file_text(g));
    std::ofstream traffic(h.dir() / "log" / logs::kTrafficLogName, std::ios::binary);
    auto record = [&](int hour, const char* dir, const char* number, const char* outcome) {
      const char* name = number[1] == '1' ? "Control; room" : "Operator";
      traffic << logs::traffic_record({.stamp = {2026, 12, 6, hour, 0, 0},
                                       .direction = dir,
                                       .number = number,
                                       .name = name,
                                       .outcome = outcome,
                                       .type = "HMN",
                                       .text = "Tank3 reports: Normal\n"});
    };
    record(9, "out", "+111", "sent");
    record(10, "out", "+111", "sent");
    record(10, "out", "+222", "refused");
    record(10, "in", "+999", "unauthorized");
    record(11, "in", "+999", "unauthorized");
    record(11, "in", "+4410", "accepted");
    traffic << "2026-12-06 11:00:00;out;+111\r\n";  // torn
    record(3, "out", "+111", "sent");               // 2026-12-06 03:00, before --since
    traffic.close();
    const SiteReport site =
        read_ok(h, {.now = kNoon, .since = logs::civil_seconds({2026, 12, 6, 6, 0, 0})});
    EXPECT_EQ(site.heartbeat.enabled, heartbeat);
    EXPECT_EQ(site.heartbeat.found, heartbeat && state == nullptr);
    EXPECT_EQ(site.problems.size(), state != nullptr ? 1u : 0u);
    ASSERT_EQ(site.traffic.destinations.size(), traffic_on ? 2u : 0u);
    EXPECT_TRUE(!site.heartbeat.found || site.heartbeat.state.state == "on the air");
    if (!traffic_on) continue;
    const DestinationTraffic& control = site.traffic.destinations[0];
    EXPECT_EQ(control.name, "Control; room");
    EXPECT_EQ(control.count[kSent], 2u);
    EXPECT_EQ(control.last[kSent], logs::civil_seconds({2026, 12, 6, 10, 0, 0}));
    EXPECT_EQ(site.traffic.destinations[1].count[kRefused], 1u);
    EXPECT_EQ(site.traffic.strangers,
              (std::vector<std::pair<std::string, std::uint64_t>>{{"+999", 2}}));
    EXPECT_EQ(site.traffic.unreadable, 1u);
    EXPECT_EQ(site.traffic.outside, 1u);
  }
}

// The alarms the gateway sent are read from its alarm state whatever options.txt says; a torn
// state is named as a problem, not shown.
TEST(ReadSite, AlarmsSentFromTheAlarmState) {
  alarms::AlarmState a;
  a.on_air = 1;
  a.stations.push_back({"+4410", 100, "06/12/2026 03:00", true, true, false});
  a.stations.push_back({"+4420", 100, "06/12/2026 03:00", true, false, false});
  a.sent.push_back({200, "06/12/2026 09:00", "MVO alarm: Tank3 (+4410) silent <b>"});
  a.sent.push_back({300, "06/12/2026 10:00", "MVO: gateway back on the air after 2h 0m"});
  // The alarm state (nullopt: none), and whether it is read: a torn one is a problem instead.
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {std::nullopt, false}, {alarms::state_text(a), true}, {"on-air=1\nstation=+44", false}};
  for (const auto& [state, found] : cases) {
    SCOPED_TRACE(state.value_or("no alarm state"));
    Harness h;
    write_site(h, "\"Tank3\";\"+4410\"\r\n\"Pump\";\"+4420\"\r\n");
    if (state) write_log(h, alarms::kStateFileName, *state);
    const Settings settings{.now = kNoon};
    const SiteReport site = read_ok(h, settings);
    EXPECT_EQ(site.alarms.found, found);
    EXPECT_EQ(site.problems.size(), state && !found ? 1u : 0u);
    const std::string html = page_of(site, settings);
    EXPECT_EQ(has(html, "Alarms sent by the gateway"), found);
    if (!found) continue;
    EXPECT_EQ(site.alarms.silent, std::vector<std::string>{"Tank3 (+4410)"});
    // Newest first, escaped.
    const auto back = html.find("MVO: gateway back on the air after 2h 0m");
    const auto silent = html.find("MVO alarm: Tank3 (+4410) silent &lt;b&gt;");
    ASSERT_NE(back, std::string::npos);
    ASSERT_NE(silent, std::string::npos);
    EXPECT_LT(back, silent);
  }
}

TEST(ReadSite, UnreadableSiteIsAnError) {
  // stations.txt (nullptr: none), whether log/ is there, and how the error starts.
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"\"A\";\"1\"\n", false, "no log directory"},
      {nullptr, true, "stations.txt: NO STATIONS FILE"},
      {"\"A\";\"1\";\n", true, "stations.txt: Error type 3 in line 0"},
  };
  for (const auto& [stations, log_dir, starts] : cases) {
    Harness h({}, log_dir);
    if (stations != nullptr) h.write_config("stations.txt", stations);
    SiteReport site;
    std::string error;
    EXPECT_FALSE(read_site(h.dir().string(), Settings{}, site, error)) << starts;
    EXPECT_TRUE(error.starts_with(starts)) << error;
  }
}

}  // namespace
}  // namespace mvo::report
