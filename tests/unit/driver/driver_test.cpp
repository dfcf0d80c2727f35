#include <gtest/gtest.h>

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
      {"two words on one line", "abc COM3\n", "\\\\.\\COM3"},
      {"more words and lines", "abc COM3 x y\nmore\n", "\\\\.\\COM3"},
      {"second word on the next line", "abc\r\nCOM3\r\n", "\\\\.\\COM3"},
      {"one word and a line end", "abc\n", "\\\\.\\"},
      {"a device path", "port /dev/ttyUSB0", "\\\\.\\/dev/ttyUSB0"},
      {"the longest name", "x " + longest, "\\\\.\\" + longest},
      {"one word without line end", "COM3", no_port},
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
  struct Case {
    const char* name;
    std::size_t destination;
    std::string report_text;  // field 2 (level) and field 4 (volume) come from here too
    std::string human;
    std::string templ;
    std::string expected;
  };
  std::vector<Case> cases;
  for (const char bad : {'\x1a', '\x1b', '\0'}) {
    const std::string b(1, bad);
    const std::string field = "2" + b + "5";
    cases.push_back(
        {"report copy", 0, "1," + field + ",c,4,e,f,0", "Hi", "x", "+4410,1,2?5,c,4,e,f,0\x1a"});
    cases.push_back({"human text", 1, "1,2,c,4,e,f,0", "Ov" + b + "er", "x",
                     "Tank3 reports: Ov?er at level of 2 meter\x1a"});
    cases.push_back({"level field", 1, "1," + field + ",c,4,e,f,0", "Hi", "x",
                     "Tank3 reports: Hi at level of 2?5 meter\x1a"});
    cases.push_back({"volume field", 2, "1,2,c," + field + ",e,f,0", "Hi", "x",
                     "Tank3 reports: Hi at volume of 2?5 liter\x1a"});
    cases.push_back({"template", 3, "1,2,c,4,e,f,0", "Hi", "&S" + b + "&L", "Tank3?2\x1a"});
    cases.push_back({"template value", 3, "1," + field + ",c,4,e,f,0", "Hi", "L=&L", "L=2?5\x1a"});
  }
  for (const Case& c : cases) {
    tables.human_texts = {c.human};
    tables.custom_templates = {c.templ};
    Report report;
    report.text = c.report_text;
    report.status_code = 0;
    std::size_t from = 0;
    for (std::string& f : report.fields) {
      const std::size_t comma = c.report_text.find(',', from);
      f = c.report_text.substr(from, comma - from);
      from = comma == std::string::npos ? c.report_text.size() : comma + 1;
    }
    const std::string text = compose_text(tables, report, c.destination);
    EXPECT_EQ(text, c.expected) << c.name << " " << testing::PrintToString(c.expected);
  }
}

}  // namespace
}  // namespace mvo::driver
