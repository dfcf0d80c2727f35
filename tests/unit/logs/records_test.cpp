// The log records as the gateway writes them, read back through the readers the tools use.
#include "logs/records.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "logs/logs.h"
#include "tests/support/harness.h"

namespace mvo::logs {
namespace {

using test::Harness;

std::vector<std::string> lines_of(const std::string& bytes, std::size_t max_line = 100) {
  std::istringstream in(bytes);
  LineReader reader(in, max_line);
  std::vector<std::string> lines;
  std::string line;
  bool too_long = false;
  while (reader.next(line, too_long)) lines.push_back(line + (too_long ? "<cut>" : ""));
  return lines;
}

TEST(LineReader, SplitsAtCrLfLfAndLoneCrAndCutsLongLines) {
  EXPECT_EQ(lines_of("a\r\nb\nc\rd\r\n\r\ne"),
            (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(lines_of("\r"), std::vector<std::string>{""});
  EXPECT_EQ(lines_of(""), std::vector<std::string>{});
  EXPECT_EQ(lines_of(std::string(10, 'x') + "\r\nok\r\n", 4),
            (std::vector<std::string>{"xxxx<cut>", "ok"}));
  // A CR LF split across two reads of the buffer still ends one line.
  const std::string big = std::string((1 << 16) - 1, 'y') + "\r\nz\r\n";
  EXPECT_EQ(lines_of(big, 1 << 17).size(), 2u);
}

// Station records written by log_station_message: their bytes, then read back, the four fields
// and the instant.
TEST(StationRecord, WhatTheGatewayWritesReadsBack) {
  struct Case {
    std::string zone, date, time, text;
    std::int64_t utc;
    bool operator==(const Case&) const = default;
  };
  const Case cases[] = {
      {"+08", "12/02/26", "14:30:00", "1,2,3,4,5,6,0", 1330266600 - 2 * 3600},  // UTC+2
      {"-04", "12/02/27", "01:00:00", "x", 1330304400 + 3600},                  // UTC-1
      {"+00", "00/01/01", "00:00:00", "a , b  , c", 946684800},                 // commas kept
      {"+01", "24/02/29", "23:59:59", "", 1709251199 - 900},                    // empty text
  };
  Harness h;
  for (const Case& c : cases) log_station_message(h.env, "+4410", c.text, c.date, c.time, c.zone);
  const std::string log = h.read_log("+4410.csv");
  EXPECT_EQ(log,
            "  +08 , 12/02/26 , 14:30:00  , 1,2,3,4,5,6,0 \r\n"
            "  -04 , 12/02/27 , 01:00:00  , x \r\n"
            "  +00 , 00/01/01 , 00:00:00  , a , b  , c \r\n"
            "  +01 , 24/02/29 , 23:59:59  ,  \r\n");
  const auto lines = lines_of(log);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Case& c = cases[i];
    StationRecord r;
    ASSERT_EQ(parse_station_record(lines[i], r), LineFault::kNone) << lines[i];
    EXPECT_EQ((Case{r.zone, r.date, r.time, r.text, r.utc}), c) << lines[i];
  }
}

TEST(StationRecord, DamagedLinesAreNamedByTheirFault) {
  struct Case {
    const char* name;
    std::string line;
    LineFault fault;
  };
  const Case cases[] = {
      {"torn after the time", "  +08 , 12/02/26 , 14:30:00  ", LineFault::kMalformed},
      {"empty", "", LineFault::kMalformed},
      {"no trailing blank", "  +08 , 12/02/26 , 14:30:00  , 1,2", LineFault::kMalformed},
      {"one leading blank", " +08 , 12/02/26 , 14:30:00  , 1 ", LineFault::kMalformed},
      // Which zones pass is parse_zone's own table below; here only that a bad one is named.
      {"zone as a name", "  CET , 12/02/26 , 14:30:00  , 1 ", LineFault::kZone},
      {"29 February of a common year", "  +08 , 13/02/29 , 14:30:00  , 1 ", LineFault::kDate},
      {"month 13", "  +08 , 12/13/01 , 14:30:00  , 1 ", LineFault::kDate},
      {"25 o'clock", "  +08 , 12/02/26 , 25:00:00  , 1 ", LineFault::kDate},
      {"date with letters", "  +08 , 12/0x/26 , 14:30:00  , 1 ", LineFault::kDate},
      {"29 February of a leap year", "  +08 , 12/02/29 , 14:30:00  , 1 ", LineFault::kNone},
  };
  for (const Case& c : cases) {
    StationRecord r;
    EXPECT_EQ(parse_station_record(c.line, r), c.fault) << c.name;
  }
}

TEST(Zone, CountsQuarterHoursWithItsSign) {
  const std::pair<const char*, int> good[] = {{"+08", 8}, {"-48", -48}, {"+56", 56}};
  for (const auto& [text, quarters] : good) {
    int q = 99;
    EXPECT_TRUE(parse_zone(text, q)) << text;
    EXPECT_EQ(q, quarters) << text;
  }
  for (const char* bad : {"08", "+8", "+008", "+57", "-99", "+a1", "", "*08"}) {
    int q = 0;
    EXPECT_FALSE(parse_zone(bad, q)) << bad;
  }
}

// Error-log records written by log_error (the tag, blanks, a comma and the asctime stamp, CR LF),
// tags with line feeds included, read back whole.
TEST(ErrorRecord, WhatTheGatewayWritesReadsBack) {
  const std::vector<std::string> tags = {"On the air", "NO CFG FILE\n",
                                         "\n***COM port state is initially bad", "main1", ""};
  Harness h;
  h.wall.set_start(sim::VirtualWallClock::at(2012, 3, 6, 9, 5, 7));
  for (const std::string& tag : tags) log_error(h.env, tag);
  const std::string log = h.read_log("err_log.csv");
  EXPECT_TRUE(
      log.starts_with(" On the air  ,  Tue Mar  6 09:05:07 2012\r\n"
                      " NO CFG FILE\r\n  ,  Tue Mar  6 09:05:07 2012\r\n"))
      << log;
  EXPECT_EQ(h.console(), "");
  ErrorLogReader reader;
  std::vector<std::string> read;
  for (const std::string& line : lines_of(log)) {
    if (!reader.feed(line)) continue;
    read.push_back(reader.record().tag);
    EXPECT_EQ(civil_seconds(reader.record().time), civil_seconds({2012, 3, 6, 9, 5, 7}));
  }
  reader.finish();
  EXPECT_EQ(read, tags);
  EXPECT_EQ(reader.unreadable(), 0u);
}

TEST(ErrorRecord, DamagedLinesAreCountedAndSkipped) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::string> tags;
    std::uint64_t unreadable;
  };
  const std::string stamp = "  ,  Tue Mar  6 09:05:07 2012";
  const Case cases[] = {
      {"torn record before a whole one", {" On the a", " main1" + stamp}, {"main1"}, 1},
      {"torn record at the end", {" main1" + stamp, " On the"}, {"main1"}, 1},
      {"empty and CR-only lines", {"", " main1" + stamp, ""}, {"main1"}, 2},
      {"continuation without its head", {"rest" + stamp}, {}, 1},
      {"30 February", {" main1  ,  Thu Feb 30 09:05:07 2012"}, {}, 1},
      {"no such month", {" main1  ,  Tue Mrz  6 09:05:07 2012"}, {}, 1},
      {"stamp cut short", {" main1  ,  Tue Mar  6 09:05"}, {}, 1},
      {"two heads without stamps", {" a", " b", "c" + stamp}, {"b\nc"}, 1},
  };
  for (const Case& c : cases) {
    ErrorLogReader reader;
    std::vector<std::string> tags;
    for (const std::string& line : c.lines) {
      if (reader.feed(line)) tags.push_back(reader.record().tag);
    }
    reader.finish();
    EXPECT_EQ(tags, c.tags) << c.name;
    EXPECT_EQ(reader.unreadable(), c.unreadable) << c.name;
  }
}

TEST(CivilTime, RoundTripsAcrossEraAndLeapBoundaries) {
  for (std::int64_t s : {0LL, 951782400LL, 951868799LL, 4107542400LL, -86400LL, 1709251199LL}) {
    EXPECT_EQ(civil_seconds(civil_from_seconds(s)), s) << s;
  }
  EXPECT_EQ(civil_seconds({2000, 3, 1, 0, 0, 0}), 951868800);
}

TEST(TrafficRecord, AnyTextStaysOneRecordAndRoundTrips) {
  const std::string texts[] = {"",
                               "10,2.5,c,400,e,f,1",
                               "a;b;c",
                               "back\\slash",
                               std::string("nul\0esc\x1b ctrlz\x1a cr\r lf\n", 22),
                               "\x7f\xff"};
  for (const std::string& text : texts) {
    const TrafficRecord r{
        {2026, 12, 7, 3, 10, 0}, "out", "+111", "Control; room", "sent", "SMC", "17", text};
    const std::string line = traffic_record(r);
    ASSERT_EQ(line.back(), '\n');
    const std::string body = line.substr(0, line.size() - 1);
    EXPECT_EQ(body.find_first_of("\r\n"), std::string::npos) << body;
    TrafficRecord back;
    ASSERT_TRUE(parse_traffic_record(body, back)) << body;
    EXPECT_EQ(back.text, text);
    EXPECT_EQ(back.name, r.name);
    EXPECT_EQ(iso_stamp(back.stamp), "2026-12-07 03:10:00");
  }
  EXPECT_EQ(traffic_record({{2026, 12, 7, 3, 10, 0}, "in", "", "", "", "", "", "x"}),
            "2026-12-07 03:10:00;in;;;;;;x\n");
}

TEST(TrafficRecord, DamagedLinesAreRefused) {
  const char* lines[] = {
      "2026-12-07 03:10:00;in;+4410;Tank3;accepted;;",      // seven fields
      "2026-12-07 03:10:00;in;+4410;Tank3;accepted;;;x;y",  // nine
      "2026-13-07 03:10:00;in;+4410;Tank3;accepted;;;x",    // no such month
      "2026-12-07 3:10:00;in;+4410;Tank3;accepted;;;x",
      "2026-12-07 03:10:00;sideways;+4410;Tank3;accepted;;;x",
      "2026-12-07 03:10:00;in;+4410;Tank3;accepted;;;\\x4",  // cut escape
      "2026-12-07 03:10:00;in;+4410;Tank3;accepted;;;\\q41",
      "2026-12-07 03:10:00;in;+4410;Tank3;accepted;;;\\x4g",
  };
  for (const char* line : lines) {
    TrafficRecord r;
    EXPECT_FALSE(parse_traffic_record(line, r)) << line;
  }
}

TEST(StateFile, RoundTripsAndNeedsItsKeys) {
  const GatewayState s{"1.1.0",
                       4242,
                       "halted",
                       {2026, 12, 7, 5, 0, 0},
                       {2026, 12, 7, 5, 1, 0},
                       1796619660,
                       0,
                       "line state\n; cannot be read",
                       1796610000};
  const std::string whole = state_file_text(s);
  GatewayState back;
  ASSERT_TRUE(parse_state_file(whole, back));
  EXPECT_EQ(state_file_text(back), whole);
  for (const char* key : {"state=", "beat=", "beat_utc="}) {
    std::string cut;
    std::size_t from = 0;
    for (std::size_t end; (end = whole.find('\n', from)) != std::string::npos; from = end + 1) {
      const std::string line = whole.substr(from, end + 1 - from);
      if (line.rfind(key, 0) != 0) cut += line;
    }
    EXPECT_FALSE(parse_state_file(cut, back)) << key;
  }
  EXPECT_FALSE(parse_state_file("state=on the air\nbeat=2026-12-07 05:01:00\nbeat_utc=-1\n", back));
  // An older gateway's file: no on_air_utc.
  EXPECT_TRUE(
      parse_state_file("state=on the air\r\nbeat=2026-12-07 05:01:00\r\nbeat_utc=1\r\n"
                       "new_key=ignored\r\n",
                       back));
  EXPECT_FALSE(back.on_air_utc.has_value());
  EXPECT_FALSE(parse_state_file(
      "state=on the air\nbeat=2026-12-07 05:01:00\nbeat_utc=1\non_air_utc=x\n", back));
}

}  // namespace
}  // namespace mvo::logs
