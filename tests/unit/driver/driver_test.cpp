#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "common/halt.h"
#include "driver/gateway.h"
#include "driver/startup.h"
#include "tests/support/harness.h"

namespace mvo::driver {
namespace {

using test::Harness;

TEST(LoadPortName, ReadsTheSecondWordOfCfgTxt) {
  const std::string longest(145, 'P');
  const std::string no_port = "NO COM PORT IN CFG FILE\n AND stopping...";
  struct Case {
    const char* name;
    std::optional<std::string> file;  // none: no cfg.txt
    std::string port;  // expected port name, or else the console text of the fatal stop
  } cases[] = {
      {"more words and lines", "abc COM3 x y\nmore\n", "\\\\.\\COM3"},
      {"second word on the next line", "abc\r\nCOM3\r\n", "\\\\.\\COM3"},
      {"one word and a line end", "abc\n", "\\\\.\\"},
      {"a device path", "port /dev/ttyUSB0", "\\\\.\\/dev/ttyUSB0"},
      {"the longest name", "x " + longest, "\\\\.\\" + longest},
      {"empty file", "", no_port},
      {"white space only", " \n\t\n", no_port},
      {"no file", std::nullopt, "NO CFG FILE\n AND stopping..."},
      {"a name too long", "x P" + longest,
       "COM PORT NAME IN CFG FILE IS TOO LONG (146 > 145)\n AND stopping..."},
  };
  for (const auto& c : cases) {
    Harness h;
    if (c.file) h.write_config("cfg.txt", *c.file);
    if (!c.port.starts_with("\\\\.\\")) {
      EXPECT_THROW(load_port_name(h.env), common::Halt) << c.name;
      EXPECT_EQ(h.console(), c.port) << c.name;
      EXPECT_EQ(h.tags().size(), 1u) << c.name;
    } else {
      EXPECT_EQ(load_port_name(h.env), c.port) << c.name;
    }
  }
}

TEST(StartUp, NoticeThreeSecondsThenBanner) {
  Harness h;
  h.write_config("cfg.txt", "x COM5\n");
  EXPECT_EQ(start_up(h.env), "\\\\.\\COM5");
  EXPECT_EQ(h.now(), 3000);
  EXPECT_EQ(h.console(), "\n...wait...(5 seconds)\r RKT 26 FEB 2012" + std::string(33, ' ') +
                             "\n\n Q U O R I N D A L E\n" + std::string(13, ' ') +
                             "MARVENTO (MVO)" + std::string(8, ' ') + "\n\n");
}

TEST(Texts, DateAndTimeInFixedEnglishPatterns) {
  const std::tm night = sim::VirtualWallClock::at(2012, 2, 26, 0, 5, 9);
  const std::tm noon = sim::VirtualWallClock::at(2012, 2, 6, 13, 19, 42);
  EXPECT_EQ(date_text(night), "Sun Feb 26 2012");
  EXPECT_EQ(time_text(night), "12:05:09");
  EXPECT_EQ(date_text(noon), "Mon Feb 06 2012");
  EXPECT_EQ(time_text(noon), "01:19:42");
}

TEST(ExpandTemplate, Placeholders) {
  const sms::Report f{"10", "2.5", "c", "400", "e", "f", "1"};
  struct Case {
    const char* templ;
    const char* expected;
  } cases[] = {
      {"&S: &L m, &V l (&D/&O/&X/&T/&E)", "Tank3: 2.5 m, 400 l (10/c/c/e/f)"},
      {"50%& off &&S &q", "50%& off &Tank3 &q"},
      {"ends in &", "ends in &"},
      {"&s &l lower case", "&s &l lower case"},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(expand_template(c.templ, "Tank3", f), c.expected) << c.templ;
  // An expansion is cut at the room of the composed text.
  const sms::Report big{std::string(60, 'd')};
  std::string ten_fields;
  for (int i = 0; i < 10; ++i) ten_fields += "&D";
  const std::string cut = expand_template(ten_fields, "S", big);
  EXPECT_EQ(cut.size(), kMaxExpansion);
}

// A Ctrl-Z, ESC or zero byte inside a text would submit it early, cancel it, or cut the write, so
// that the rest became a command or text for the wrong phone: each is sent as '?', whichever part
// of the composition brought it, and the text still ends in exactly one Ctrl-Z.
TEST(ComposeText, ControlBytesInsideATextAreSentAsQuestionMarks) {
  config::Tables tables;
  tables.stations = {{"Tank3", "+4410"}};
  tables.destinations = {
      {"C", "+111", "SMC"}, {"N", "+222", "HMN"}, {"V", "+333", "HMV"}, {"T", "+444", "CST"}};
  for (auto& row : tables.subscribed) row.fill(true);
  tables.custom_templates_present = true;
  // '#' in a human text, a template or the field named stands for the control byte.
  struct Case {
    const char* name;
    std::size_t destination;
    int field;  // the report's field that reads "2#5"; -1: none
    std::string human, templ;
    const char* expected;
  } cases[] = {
      {"report copy", 0, 1, "Hi", "x", "+4410,1,2?5,c,4,e,f,0\x1a"},
      {"human text", 1, -1, "Ov#er", "x", "Tank3 reports: Ov?er at level of 2 meter\x1a"},
      {"level field", 1, 1, "Hi", "x", "Tank3 reports: Hi at level of 2?5 meter\x1a"},
      {"volume field", 2, 3, "Hi", "x", "Tank3 reports: Hi at volume of 2?5 liter\x1a"},
      {"template", 3, -1, "Hi", "&S#&L", "Tank3?2\x1a"},
      {"template value", 3, 1, "Hi", "L=&L", "L=2?5\x1a"},
  };
  for (const char bad : {'\x1a', '\x1b', '\0'}) {
    const auto with_bad = [bad](std::string text) {
      std::replace(text.begin(), text.end(), '#', bad);
      return text;
    };
    for (const Case& c : cases) {
      tables.human_texts = {with_bad(c.human)};
      tables.custom_templates = {with_bad(c.templ)};
      Report report;
      report.fields = {"1", "2", "c", "4", "e", "f", "0"};
      if (c.field >= 0) report.fields[c.field] = with_bad("2#5");
      for (const std::string& f : report.fields)
        report.text += (report.text.empty() ? "" : ",") + f;
      EXPECT_EQ(compose_text(tables, report, c.destination), c.expected)
          << c.name << " " << static_cast<int>(bad);
    }
  }
}

}  // namespace
}  // namespace mvo::driver
