#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

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

struct StationCase {
  const char* name;
  std::string file;
  std::string console;  // expected, "HALT" at the end when it halts
  std::vector<std::string> numbers;
  std::vector<std::string> tags;
};

TEST(LoadStations, ChecksEveryLine) {
  const std::string n149(149, 'n'), n150(150, 'n');
  const StationCase cases[] = {
      {"valid line with blanks and dashes",
       "\"Tank North\";\"+00 11-222 33\"\n",
       "",
       {"+001122233"},
       {}},
      {"empty file", "", "no valid stations\nHALT", {}, {}},
      {"6 characters and line end are skipped", "\"A\";1\n", "no valid stations\nHALT", {}, {}},
      {"7 characters with line end make an entry", "\"A\";\"1\"\n", "", {"1"}, {}},
      {"last line without line end keeps its last character", "\"A\";\"12\"", "", {"12"}, {}},
      {"carriage returns and byte 26", "\"A\";\"1\r2\"\r\n\x1a\"B\";\"3\"\n", "", {"12"}, {}},
      {"leading and doubled semicolons", ";;\"A\";;\"5\"\n", "", {"5"}, {}},
      {"only a name field", "\"Alpha\"\n", "Error type 2 in line 0\nHALT", {}, {}},
      {"text after the number", "\"A\";\"1\";\n", "Error type 3 in line 0\nHALT", {}, {}},
      {"entry index counts entries, not lines",
       "x\n\"A\";\"1\"\n\"B\";\"2\";x\n",
       "Error type 3 in line 1\nHALT",
       {},
       {}},
      {"a line of zero bytes",
       std::string("\"A\";\"1\"\n") + std::string(7, '\0') + "\n",
       "bad formatting of station (type 1)     \nHALT",
       {},
       {"bad formatting of station"}},
      {"semicolons only",
       ";;;;;;;\n",
       "bad formatting of station (type 1)     \nHALT",
       {},
       {"bad formatting of station"}},
      {"tab before the quote",
       "\t\"A\";\"1\"\n",
       "bad formatting of station (type 1)     \nHALT",
       {},
       {"bad formatting of station"}},
      {"empty name",
       "\"\";\"123\"\n",
       "bad formatting of station (type 2) \nHALT",
       {},
       {"bad formatting of station"}},
      {"149 character name", "\"" + n149 + "\";\"1\"\n", "", {"1"}, {}},
      {"150 character name",
       "\"" + n150 + "\";\"1\"\n",
       " name is longer than allowed " + n150 + " 150\nHALT",
       {},
       {"name too long"}},
      {"number badly quoted",
       "\"A\";\"12\n",
       "bad formatting of cell number \nHALT",
       {},
       {"bad formatting of cell number"}},
      {"plus inside the number",
       "\"A\";\"12+3\"\n",
       "cell phone number contains illegal characters(2) +HALT",
       {},
       {"cell phone - illegal characters"}},
      {"parenthesis first",
       "\"A\";\"(079)\"\n",
       "cell phone number contains illegal characters(1) (HALT",
       {},
       {"cell phone - illegal characters"}},
      {"blanks only",
       "\"A\";\"   \"\n",
       "cell phone number contains illegal characters(1) HALT",
       {},
       {"cell phone - illegal characters"}},
      {"dashes only give an empty number", "\"A\";\"- -\"\n", "", {""}, {}},
      {"asterisk first", "\"A\";\"*100\"\n", "", {"*100"}, {}},
      {"number over 149 digits",
       "\"A\";\"" + std::string(150, '1') + "\"\n",
       " cell number is longer than allowed " + std::string(150, '1') + " 150\nHALT",
       {},
       {"cell number too long"}},
      {"line over 199 characters",
       "\"" + std::string(198, 'n') + "\";\"1\"\n",
       " line of entry 0 in file stations.txt is longer than 199 characters\nHALT",
       {},
       {"line too long"}},
  };
  for (const auto& c : cases) {
    Harness h;
    h.write_config("stations.txt", c.file);
    std::vector<Station> stations;
    EXPECT_EQ(run(h, [&] { stations = load_stations(h.env); }), c.console) << c.name;
    std::vector<std::string> numbers;
    for (const auto& s : stations) numbers.push_back(s.number);
    EXPECT_EQ(numbers, c.numbers) << c.name;
    EXPECT_EQ(h.tags(), c.tags) << c.name;
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

struct DestinationCase {
  const char* name;
  std::string file;
  int human_count;
  std::string console;
  std::vector<std::string> types;
  std::vector<std::vector<int>> codes;  // subscribed codes per destination
};

TEST(LoadDestinations, ChecksTypesAndSubscriptions) {
  const DestinationCase cases[] = {
      {"11 characters with line end", "\"A\";\"1\";SMC\n", 5, "", {"SMC"}, {{}}},
      {"11 characters as last line are skipped",
       "\"A\";\"1\";SMC",
       5,
       "no valid destinations\nHALT",
       {},
       {}},
      {"type in quotes", "\"A\";\"1\";\"HMV\"\n", 5, "", {"HMV"}, {{}}},
      {"type inside text", "\"A\";\"1\";xHMNx\n", 5, "", {"HMN"}, {{}}},
      {"SMC wins over CST", "\"A\";\"1\";CST,SMC\n", 5, "", {"SMC"}, {{}}},
      {"lower case type", "\"A\";\"1\";hmn\n", 5, "no type in destination \nHALT", {}, {}},
      {"no type field", "\"AAAA\";\"1234\"\n", 5, "Error type 3 in line 0\nHALT", {}, {}},
      {"empty subscription field",
       "\"A\";\"1\";HMN;\n",
       5,
       "bad formatting of sbsc (type 1) \nHALT",
       {},
       {}},
      {"codes 0 and 4", "\"A\";\"1\";HMN;\"0,4\"\n", 5, "", {"HMN"}, {{0, 4}}},
      {"code 5 of 5",
       "\"A\";\"1\";HMN;\"5\"\n",
       5,
       "Non existing status code =5 (0 <= code <= 4)\nHALT",
       {},
       {}},
      {"blank ends a code", "\"A\";\"1\";HMN;\"1 2\"\n", 5, "", {"HMN"}, {{1}}},
      {"doubled and trailing comma", "\"A\";\"1\";HMN;\"1,,2,\"\n", 5, "", {"HMN"}, {{1, 2}}},
      {"two trailing commas",
       "\"A\";\"1\";HMN;\"1,2,,\"\n",
       5,
       "too many status messages between comma\nHALT",
       {},
       {}},
      {"lone blank",
       "\"A\";\"1\";HMN;\" \"\n",
       5,
       "too many status messages between comma\nHALT",
       {},
       {}},
      {"semicolon inside the list",
       "\"A\";\"1\";HMN;\"1;2\"\n",
       5,
       "bad formatting of station (type 2) \nHALT",
       {},
       {}},
      {"full stop inside the list",
       "\"A\";\"1\";HMN;\"1.2\"\n",
       5,
       "non digit status code registration field \nHALT",
       {},
       {}},
      {"empty list",
       "\"A\";\"1\";HMN;\"\"\n",
       5,
       "bad formatting of station (type 2) \nHALT",
       {},
       {}},
      {"only the first N entries apply", "\"A\";\"1\";HMN;\"1,1,0\"\n", 2, "", {"HMN"}, {{1}}},
      {"N = 0 refuses every code",
       "\"A\";\"1\";HMN;\"0\"\n",
       0,
       "Non existing status code =0 (0 <= code <= -1)\nHALT",
       {},
       {}},
      {"field after the list is ignored", "\"A\";\"1\";CST;\"3\";junk\n", 5, "", {"CST"}, {{3}}},
      {"more than 20 codes",
       "\"A\";\"1\";HMN;\"" + std::string("1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1") + "\"\n",
       5,
       "too many status codes in subscription list (more than 20)\nHALT",
       {},
       {}},
  };
  for (const auto& c : cases) {
    Harness h;
    h.write_config("destinations.txt", c.file);
    std::vector<Destination> dests;
    SubscriptionMatrix matrix{};
    EXPECT_EQ(run(h, [&] { load_destinations(h.env, dests, matrix, c.human_count); }), c.console)
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
    if (c.console.empty()) {
      EXPECT_EQ(types, c.types) << c.name;
      EXPECT_EQ(codes, c.codes) << c.name;
    }
  }
}

TEST(LoadHumanTexts, CountsLinesAndLimitsLength) {
  struct Case {
    const char* name;
    std::string file;
    std::string console;
    std::vector<std::string> texts;
  } cases[] = {
      {"three lines", "a\nb\nc\n", "", {"a", "b", "c"}},
      {"last line without line end", "a\nb\ncd", "", {"a", "b", "cd"}},
      {"empty line in the middle counts", "a\n\nc\n", "", {"a", "", "c"}},
      {"empty file", "", "", {}},
      {"169 characters", std::string(169, 'h') + "\n", "", {std::string(169, 'h')}},
      {"170 characters",
       "ok\n" + std::string(170, 'h') + "\n",
       " line 2 in file human.txt is too long\nHALT",
       {}},
      {"170 characters as last line",
       std::string(170, 'h'),
       " line 1 in file human.txt is too long\nHALT",
       {}},
      {"over 199 characters",
       std::string(250, 'h') + "\n",
       " line 1 in file human.txt is too long\nHALT",
       {}},
  };
  for (const auto& c : cases) {
    Harness h;
    h.write_config("human.txt", c.file);
    std::vector<std::string> texts;
    EXPECT_EQ(run(h, [&] { texts = load_human_texts(h.env); }), c.console) << c.name;
    if (c.console.empty()) {
      EXPECT_EQ(texts, c.texts) << c.name;
    }
  }
  Harness many;
  std::string file;
  for (int i = 0; i < 25; ++i) file += "t" + std::to_string(i) + "\n";
  many.write_config("human.txt", file);
  EXPECT_EQ(load_human_texts(many.env).size(), 20u);
}

TEST(LoadCustomTemplates, TakesTextBetweenQuotesUntilABlankLine) {
  struct Case {
    const char* name;
    std::string file;
    std::string console;
    std::vector<std::string> templates;
  } cases[] = {
      {"stops at the first blank line", "\"a\"\n\"b\"\n   \n\"c\"\n", "", {"a", "b"}},
      {"text around the quotes is dropped", "x \"&S: &L\" y\n", "", {"&S: &L"}},
      {"two quotes side by side", "\"\"\n", "", {""}},
      {"single quote",
       "\"a\"\n\"b\n",
       " line 2 in file custom.txt does not have proper message\nHALT",
       {}},
      {"169 characters", "\"" + std::string(169, 't') + "\"\n", "", {std::string(169, 't')}},
      {"170 characters",
       "\"" + std::string(170, 't') + "\"\n",
       " line 1 in file custom.txt is too long\nHALT",
       {}},
  };
  for (const auto& c : cases) {
    Harness h;
    h.write_config("custom.txt", c.file);
    std::vector<std::string> templates;
    bool present = false;
    EXPECT_EQ(run(h, [&] { present = load_custom_templates(h.env, templates); }), c.console)
        << c.name;
    if (c.console.empty()) {
      EXPECT_TRUE(present) << c.name;
      EXPECT_EQ(templates, c.templates) << c.name;
    }
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
      {"part of a mark is content",
       "\xEF\xBB"
       "a",
       "\xEF\xBB"
       "a"},
      {"byte 26 right after the mark",
       bom + "\x1a"
             "a",
       ""},
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
