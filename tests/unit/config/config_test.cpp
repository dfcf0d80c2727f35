#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>

#include "common/halt.h"
#include "config/pin.h"
#include "config/tables.h"
#include "config/text_file.h"
#include "tests/support/harness.h"

namespace mvo::config {
namespace {

using test::Harness;

// Runs a loader; returns the console text, with "HALT" appended when it halted.
template <typename Fn>
std::string run(Harness& h, Fn fn) {
  try {
    fn();
  } catch (const common::Halt&) {
    return h.console() + "HALT";
  }
  return h.console();
}

TEST(LoadStations, ChecksEveryLine) {
  const std::string n149(149, 'n'), n150(150, 'n'), d149(149, '1'), d150(150, '1');
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"\"Tank North\";\"+00 11-222 33\"\n", {"+001122233"}},  // blanks and dashes
      {"\"A\";\"1\"\n", {"1"}},                                // 7 characters with the line end
      {"\"A\";\"12\"", {"12"}},  // the last line without a line end keeps its last character
      {"\"A\";\"1\r2\"\r\n\x1a\"B\";\"3\"\n", {"12"}},  // carriage returns and byte 26
      {";;\"A\";;\"5\"\n", {"5"}},                      // leading and doubled semicolons
      {"\"" + n149 + "\";\"1\"\n", {"1"}},              // the longest name
      {"\"A\";\"" + d149 + "\"\n", {d149}},             // and number
      {"\"A\";\"- -\"\n", {""}},                        // dashes only give an empty number
      {"\"A\";\"*100\"\n", {"*100"}},
  };
  for (const auto& [file, numbers] : cases) {
    Harness h;
    h.write_config("stations.txt", file);
    std::vector<std::string> loaded;
    for (const auto& s : load_stations(h.env)) loaded.push_back(s.number);
    EXPECT_EQ(loaded, numbers) << file;
    EXPECT_EQ(h.console(), "") << file;
    EXPECT_TRUE(h.tags().empty()) << file;
  }
  // The halts: the file, the console and the tag ("": none).
  const std::string type1 = "bad formatting of station (type 1)     \n";
  const std::tuple<std::string, std::string, const char*> halts[] = {
      {"", "no valid stations\n", ""},
      {"\"A\";1\n", "no valid stations\n", ""},  // 6 characters and the line end are skipped
      {"\"Alpha\"\n", "Error type 2 in line 0\n", ""},
      {"\"A\";\"1\";\n", "Error type 3 in line 0\n", ""},
      {"x\n\"A\";\"1\"\n\"B\";\"2\";x\n", "Error type 3 in line 1\n", ""},  // entries, not lines
      {"\"A\";\"1\"\n" + std::string(7, '\0') + "\n", type1, "bad formatting of station"},
      {";;;;;;;\n", type1, "bad formatting of station"},
      {"\t\"A\";\"1\"\n", type1, "bad formatting of station"},
      {"\"\";\"123\"\n", "bad formatting of station (type 2) \n", "bad formatting of station"},
      {"\"" + n150 + "\";\"1\"\n", " name is longer than allowed " + n150 + " 150\n",
       "name too long"},
      {"\"A\";\"12\n", "bad formatting of cell number \n", "bad formatting of cell number"},
      {"\"A\";\"12+3\"\n", "cell phone number contains illegal characters(2) +",
       "cell phone - illegal characters"},
      {"\"A\";\"(079)\"\n", "cell phone number contains illegal characters(1) (",
       "cell phone - illegal characters"},
      {"\"A\";\"   \"\n", "cell phone number contains illegal characters(1) ",
       "cell phone - illegal characters"},
      {"\"A\";\"" + d150 + "\"\n", " cell number is longer than allowed " + d150 + " 150\n",
       "cell number too long"},
      {"\"" + std::string(198, 'n') + "\";\"1\"\n",
       " line of entry 0 in file stations.txt is longer than 199 characters\n", "line too long"},
  };
  for (const auto& [file, console, tag] : halts) {
    Harness h;
    h.write_config("stations.txt", file);
    EXPECT_EQ(run(h, [&] { load_stations(h.env); }), console + "HALT") << file;
    EXPECT_EQ(h.tags(), *tag ? std::vector<std::string>{tag} : std::vector<std::string>{}) << file;
  }
}

TEST(LoadStations, ReadsAtMostFiftyAndNoFile) {
  Harness h;
  std::string file;
  for (int i = 0; i < 50; ++i)
    file += "\"S" + std::to_string(i) + "\";\"" + std::to_string(i) + "\"\n";
  h.write_config("stations.txt", file + "garbage line never validated\n");
  EXPECT_EQ(load_stations(h.env).size(), 50u);
  Harness none;
  EXPECT_EQ(run(none, [&] { load_stations(none.env); }), "NO STATIONS FILE\nHALT");
}

TEST(LoadDestinations, ChecksTypesAndSubscriptions) {
  struct Case {
    const char* name;
    std::string file;
    int human_count;
    std::vector<std::string> types;
    std::vector<std::vector<int>> codes;  // subscribed codes per destination
  } cases[] = {
      {"11 characters with line end", "\"A\";\"1\";SMC\n", 5, {"SMC"}, {{}}},
      {"type inside text", "\"A\";\"1\";\"xHMVx\"\n", 5, {"HMV"}, {{}}},
      {"SMC wins over CST", "\"A\";\"1\";CST,SMC\n", 5, {"SMC"}, {{}}},
      {"codes 0 and 4", "\"A\";\"1\";HMN;\"0,4\"\n", 5, {"HMN"}, {{0, 4}}},
      {"blank ends a code", "\"A\";\"1\";HMN;\"1 2\"\n", 5, {"HMN"}, {{1}}},
      {"doubled and trailing comma", "\"A\";\"1\";HMN;\"1,,2,\"\n", 5, {"HMN"}, {{1, 2}}},
      {"only the first N entries apply", "\"A\";\"1\";HMN;\"1,1,0\"\n", 2, {"HMN"}, {{1}}},
      {"field after the list is ignored", "\"A\";\"1\";CST;\"3\";junk\n", 5, {"CST"}, {{3}}},
  };
  for (const auto& c : cases) {
    Harness h;
    h.write_config("destinations.txt", c.file);
    std::vector<Destination> dests;
    SubscriptionMatrix matrix{};
    EXPECT_EQ(run(h, [&] { load_destinations(h.env, dests, matrix, c.human_count); }), "")
        << c.name;
    std::vector<std::string> types;
    std::vector<std::vector<int>> codes;
    for (std::size_t j = 0; j < dests.size(); ++j) {
      types.push_back(dests[j].type);
      codes.emplace_back();
      for (int code = 0; code < kMaxStatusCodes; ++code) {
        if (matrix[code][j]) codes.back().push_back(code);
      }
    }
    EXPECT_EQ(types, c.types) << c.name;
    EXPECT_EQ(codes, c.codes) << c.name;
  }
  // The halts: a line, the number of human texts, and the console.
  const std::tuple<std::string, int, const char*> halts[] = {
      {"\"A\";\"1\";SMC", 5, "no valid destinations\n"},  // 11 characters as the last line
      {"\"A\";\"1\";hmn\n", 5, "no type in destination \n"},
      {"\"AAAA\";\"1234\"\n", 5, "Error type 3 in line 0\n"},
      {"\"A\";\"1\";HMN;\n", 5, "bad formatting of sbsc (type 1) \n"},
      {"\"A\";\"1\";HMN;\"5\"\n", 5, "Non existing status code =5 (0 <= code <= 4)\n"},
      {"\"A\";\"1\";HMN;\"0\"\n", 0, "Non existing status code =0 (0 <= code <= -1)\n"},
      {"\"A\";\"1\";HMN;\"1,2,,\"\n", 5, "too many status messages between comma\n"},
      {"\"A\";\"1\";HMN;\" \"\n", 5, "too many status messages between comma\n"},
      {"\"A\";\"1\";HMN;\"1;2\"\n", 5, "bad formatting of station (type 2) \n"},
      {"\"A\";\"1\";HMN;\"\"\n", 5, "bad formatting of station (type 2) \n"},
      {"\"A\";\"1\";HMN;\"1.2\"\n", 5, "non digit status code registration field \n"},
      {"\"A\";\"1\";HMN;\"1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1\"\n", 5,
       "too many status codes in subscription list (more than 20)\n"},
  };
  for (const auto& [file, human_count, console] : halts) {
    Harness h;
    h.write_config("destinations.txt", file);
    std::vector<Destination> dests;
    SubscriptionMatrix matrix{};
    EXPECT_EQ(run(h, [&] { load_destinations(h.env, dests, matrix, human_count); }),
              std::string(console) + "HALT")
        << file;
  }
}

TEST(LoadHumanTexts, CountsLinesAndLimitsLength) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"a\nb\nc\n", {"a", "b", "c"}},
      {"a\nb\ncd", {"a", "b", "cd"}},  // the last line without a line end
      {"a\n\nc\n", {"a", "", "c"}},    // an empty line in the middle counts
      {"", {}},
      {std::string(169, 'h') + "\n", {std::string(169, 'h')}},
  };
  for (const auto& [file, expected] : cases) {
    Harness h;
    h.write_config("human.txt", file);
    EXPECT_EQ(load_human_texts(h.env), expected) << file;
    EXPECT_EQ(h.console(), "") << file;
  }
  const std::pair<std::string, int> too_long[] = {{"ok\n" + std::string(170, 'h') + "\n", 2},
                                                  {std::string(170, 'h'), 1},
                                                  {std::string(250, 'h') + "\n", 1}};
  for (const auto& [file, line] : too_long) {
    Harness h;
    h.write_config("human.txt", file);
    EXPECT_EQ(run(h, [&] { load_human_texts(h.env); }),
              " line " + std::to_string(line) + " in file human.txt is too long\nHALT");
  }
  Harness many;
  std::string file;
  for (int i = 0; i < 25; ++i) file += "t" + std::to_string(i) + "\n";
  many.write_config("human.txt", file);
  EXPECT_EQ(load_human_texts(many.env).size(), 20u);
}

TEST(LoadCustomTemplates, TakesTextBetweenQuotesUntilABlankLine) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"\"a\"\n\"b\"\n   \n\"c\"\n", {"a", "b"}},  // up to the first blank line
      {"x \"&S: &L\" y\n", {"&S: &L"}},            // text around the quotes is dropped
      {"\"\"\n", {""}},
      {"\"" + std::string(169, 't') + "\"\n", {std::string(169, 't')}},
  };
  for (const auto& [file, expected] : cases) {
    Harness h;
    h.write_config("custom.txt", file);
    std::vector<std::string> templates;
    EXPECT_TRUE(load_custom_templates(h.env, templates)) << file;
    EXPECT_EQ(templates, expected) << file;
    EXPECT_EQ(h.console(), "") << file;
  }
  const std::pair<std::string, const char*> halts[] = {
      {"\"a\"\n\"b\n", " line 2 in file custom.txt does not have proper message\n"},
      {"\"" + std::string(170, 't') + "\"\n", " line 1 in file custom.txt is too long\n"},
  };
  for (const auto& [file, halt] : halts) {
    Harness h;
    h.write_config("custom.txt", file);
    std::vector<std::string> templates;
    EXPECT_EQ(run(h, [&] { load_custom_templates(h.env, templates); }), std::string(halt) + "HALT");
  }
  Harness none;
  std::vector<std::string> templates;
  EXPECT_FALSE(load_custom_templates(none.env, templates));
  EXPECT_EQ(none.console(), "No custom.txt FILE\n");
}

// An unknown option and a value other than on or off: mvo-check's site tests, over this loader.
TEST(LoadOptions, SwitchesOffUnlessTurnedOn) {
  struct Case {
    const char* name;
    const char* file;  // nullptr: no options.txt
    std::string console;
    bool traffic;
    bool heartbeat;
  } cases[] = {
      {"no file: nothing on, nothing printed", nullptr, "", false, false},
      {"both on, CR LF, comments and blank lines",
       "# monitoring\r\ntraffic on\r\n\r\n  heartbeat   on  \r\n", "", true, true},
      {"the last line of a switch wins", "traffic on\ntraffic off\n", "", false, false},
      {"no value", "traffic\n", " line 1 in file options.txt: traffic takes on or off\nHALT", false,
       false},
      {"a third word", "traffic on now\n",
       " line 1 in file options.txt: traffic takes on or off\nHALT", false, false},
      {"upper case is not the word", "TRAFFIC on\n",
       " line 1 in file options.txt: unknown option TRAFFIC\nHALT", false, false},
  };
  for (const auto& c : cases) {
    Harness h;
    if (c.file != nullptr) h.write_config("options.txt", c.file);
    Options o;
    EXPECT_EQ(run(h, [&] { o = load_options(h.env); }), c.console) << c.name;
    EXPECT_EQ(o.traffic, c.traffic) << c.name;
    EXPECT_EQ(o.heartbeat, c.heartbeat) << c.name;
  }
  Harness h;
  h.write_config("options.txt", "traffic on" + std::string(200, ' ') + "\n");
  EXPECT_EQ(run(h, [&] { load_options(h.env); }), " line 1 in file options.txt is too long\nHALT");
}

// Notepad's "UTF-8 with BOM" puts EF BB BF before the first line: the loaders read every file as
// if the mark were not there (each loader on a marked file: mvo-check's site tests), and only a
// mark at the very start is skipped.
TEST(ReadText, SkipsAUtf8ByteOrderMarkAtTheStartOnly) {
  const std::string bom = "\xEF\xBB\xBF";
  const struct {
    const char* name;
    std::string file;
    std::string text;
  } cases[] = {
      {"mark and a line", bom + "x COM1\r\n", "x COM1\n"},
      {"mark only", bom, ""},
      {"mark twice: the second is content", bom + bom + "a", bom + "a"},
      {"mark on the second line is content", "a\n" + bom + "b", "a\n" + bom + "b"},
      {"part of a mark is content", bom.substr(0, 2) + "a", bom.substr(0, 2) + "a"},
      {"byte 26 right after the mark", bom + "\x1a" + "a", ""},
  };
  for (const auto& c : cases) {
    Harness h;
    h.write_config("cfg.txt", c.file);
    std::string text;
    ASSERT_TRUE(read_text((h.dir() / "configuration" / "cfg.txt").string(), text)) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
  }
}

// configuration/pin.txt: what it may hold, and the halts that never show the PIN.
TEST(LoadPin, ContentsAndHalts) {
  struct Case {
    const char* name;
    std::optional<std::string> file;  // nullopt: no pin.txt
    std::string pin;                  // when it loads
    std::string halt;                 // the console text of the halt, "" when it loads
  } cases[] = {
      {"no file", std::nullopt, "", ""},
      {"four digits", "1234\n", "1234", ""},
      {"eight digits, blanks and CR LF", "  12345678 \r\n", "12345678", ""},
      {"comments and blank lines", "# the SIM's PIN\n\n\t\n0000\n# end\n", "0000", ""},
      {"no line end", "9876", "9876", ""},
      {"comments only", "# no PIN here\n", "", ""},
      {"empty", "", "", ""},
      {"three digits", "123\n", "", " PIN in file pin.txt (line 1) is not 4 to 8 digits\n"},
      {"nine digits", "# x\n123456789\n", "",
       " PIN in file pin.txt (line 2) is not 4 to 8 digits\n"},
      {"a letter", "12a4\n", "", " PIN in file pin.txt (line 1) is not 4 to 8 digits\n"},
      {"two words", "1234 5678\n", "", " PIN in file pin.txt (line 1) is not 4 to 8 digits\n"},
      {"quoted", "\"1234\"\n", "", " PIN in file pin.txt (line 1) is not 4 to 8 digits\n"},
      {"two PINs", "1234\n5678\n", "",
       " line 2 in file pin.txt: one PIN only, already given on line 1\n"},
      {"too long a line", std::string(250, '1') + "\n", "",
       " line 1 in file pin.txt is too long\n"},
  };
  for (const auto& c : cases) {
    Harness h;
    if (c.file) h.write_config("pin.txt", *c.file);
    std::string pin;
    bool halted = false;
    try {
      pin = load_pin(h.env);
    } catch (const common::Halt&) {
      halted = true;
    }
    EXPECT_EQ(halted, !c.halt.empty()) << c.name;
    EXPECT_EQ(h.console(), c.halt) << c.name;
    EXPECT_EQ(pin, c.pin) << c.name;
    EXPECT_TRUE(h.tags().empty()) << c.name;  // nothing of this file goes to the error log
  }
}

TEST(LoadPin, TablesCarryThePin) {
  Harness h;
  h.write_config("stations.txt", "\"Tank3\";\"+4410\"\n");
  h.write_config("human.txt", "Normal\n");
  h.write_config("destinations.txt", "\"Control\";\"+111\";SMC\n");
  EXPECT_EQ(load_all(h.env).pin, "");
  h.write_config("pin.txt", "4711\n");
  EXPECT_EQ(load_all(h.env).pin, "4711");
}

// A pin.txt the gateway's user cannot read (made by root, then chmod 600) halts: taken for no
// PIN, the SIM would stay locked with only a hint that pin.txt is missing.
TEST(LoadPin, AFileThisUserCannotReadHalts) {
  Harness h;
  h.write_config("pin.txt", "2580\n");
  const auto file = h.dir() / "configuration" / "pin.txt";
  std::filesystem::permissions(file, std::filesystem::perms::none);
  if (std::ifstream(file).is_open()) GTEST_SKIP() << "this user reads every file (root)";
  EXPECT_THROW(load_pin(h.env), common::Halt);
  EXPECT_EQ(h.console(), " file pin.txt cannot be read: chown it to the gateway's user\n");
}

}  // namespace
}  // namespace mvo::config
