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

// Each file: the numbers loaded, each in brackets, or the console of the halt and its tag.
TEST(LoadStations, ChecksEveryLine) {
  const std::string n149(149, 'n'), n150(150, 'n'), d149(149, '1'), d150(150, '1');
  const std::string type1 = "bad formatting of station (type 1)     \nHALT";
  const char* bad = "bad formatting of station";
  const char* illegal = "cell phone - illegal characters";
  const std::tuple<std::string, std::string, const char*> cases[] = {
      {"\"Tank North\";\"+00 11-222 33\"\n", "[+001122233]", ""},  // blanks and dashes
      {"\"A\";\"1\"\n", "[1]", ""},                                // 7 characters with the line end
      {"\"A\";\"12\"", "[12]", ""},  // the last line without a line end keeps its last character
      {"\"A\";\"1\r2\"\r\n\x1a\"B\";\"3\"\n", "[12]", ""},  // carriage returns and byte 26
      {";;\"A\";;\"5\"\n", "[5]", ""},                      // leading and doubled semicolons
      {"\"" + n149 + "\";\"1\"\n", "[1]", ""},              // the longest name
      {"\"A\";\"" + d149 + "\"\n", "[" + d149 + "]", ""},   // and number
      {"\"A\";\"- -\"\n", "[]", ""},                        // dashes only give an empty number
      {"\"A\";\"*100\"\n", "[*100]", ""},
      {"\"A\";1\n", "no valid stations\nHALT", ""},  // 6 characters and the line end are skipped
      {"\"A\";\"1\";\n", "Error type 3 in line 0\nHALT", ""},
      {"\"A\";\"1\"\n" + std::string(7, '\0') + "\n", type1, bad},
      {"\"\";\"123\"\n", "bad formatting of station (type 2) \nHALT", bad},
      {"\"" + n150 + "\";\"1\"\n", " name is longer than allowed " + n150 + " 150\nHALT",
       "name too long"},
      {"\"A\";\"12\n", "bad formatting of cell number \nHALT", "bad formatting of cell number"},
      {"\"A\";\"12+3\"\n", "cell phone number contains illegal characters(2) +HALT", illegal},
      {"\"A\";\"(079)\"\n", "cell phone number contains illegal characters(1) (HALT", illegal},
      {"\"A\";\"   \"\n", "cell phone number contains illegal characters(1) HALT", illegal},
      {"\"A\";\"" + d150 + "\"\n", " cell number is longer than allowed " + d150 + " 150\nHALT",
       "cell number too long"},
      {"\"" + std::string(198, 'n') + "\";\"1\"\n",
       " line of entry 0 in file stations.txt is longer than 199 characters\nHALT",
       "line too long"},
  };
  for (const auto& [file, outcome, tag] : cases) {
    Harness h;
    h.write_config("stations.txt", file);
    std::string numbers;
    const std::string console = run(h, [&] {
      for (const auto& s : load_stations(h.env)) numbers += "[" + s.number + "]";
    });
    EXPECT_EQ(console + numbers, outcome) << file;
    EXPECT_EQ(h.tags(), *tag ? std::vector<std::string>{tag} : std::vector<std::string>{}) << file;
  }
}

// No stations.txt: mvo-check's site tests.
TEST(LoadStations, ReadsAtMostFifty) {
  Harness h;
  std::string file;
  for (int i = 0; i < 50; ++i)
    file += "\"S" + std::to_string(i) + "\";\"" + std::to_string(i) + "\"\n";
  h.write_config("stations.txt", file + "garbage line never validated\n");
  EXPECT_EQ(load_stations(h.env).size(), 50u);
}

// Each file with the number of human texts: the destinations loaded (the type, then the codes
// subscribed), or the console of the halt.
TEST(LoadDestinations, ChecksTypesAndSubscriptions) {
  const std::tuple<std::string, int, std::string> cases[] = {
      {"\"A\";\"1\";SMC\n", 5, "SMC"},        // 11 characters with the line end
      {"\"A\";\"1\";\"xHMVx\"\n", 5, "HMV"},  // the type inside text
      {"\"A\";\"1\";CST,SMC\n", 5, "SMC"},    // SMC wins over CST
      {"\"A\";\"1\";HMN;\"0,4\"\n", 5, "HMN 0 4"},
      {"\"A\";\"1\";HMN;\"1 2\"\n", 5, "HMN 1"},          // a blank ends a code
      {"\"A\";\"1\";HMN;\"1,,2,\"\n", 5, "HMN 1 2"},      // doubled and trailing commas
      {"\"A\";\"1\";HMN;\"1,1,0\"\n", 2, "HMN 1"},        // only the first N entries apply
      {"\"A\";\"1\";CST;\"3\";junk\n", 5, "CST 3"},       // a field after the list is ignored
      {"\"A\";\"1\";SMC", 5, "no valid destinations\n"},  // 11 characters as the last line
      {"\"A\";\"1\";HMN;\"0\"\n", 0, "Non existing status code =0 (0 <= code <= -1)\n"},
      {"\"A\";\"1\";HMN;\"1,2,,\"\n", 5, "too many status messages between comma\n"},
      {"\"A\";\"1\";HMN;\"1;2\"\n", 5, "bad formatting of station (type 2) \n"},
  };
  for (const auto& [file, human_count, outcome] : cases) {
    Harness h;
    h.write_config("destinations.txt", file);
    std::vector<Destination> dests;
    SubscriptionMatrix matrix{};
    std::string loaded = run(h, [&] { load_destinations(h.env, dests, matrix, human_count); });
    if (loaded.ends_with("HALT")) {
      EXPECT_EQ(loaded, outcome + "HALT") << file;
      continue;
    }
    for (std::size_t j = 0; j < dests.size(); ++j) {
      loaded += dests[j].type;
      for (int code = 0; code < kMaxStatusCodes; ++code) {
        if (matrix[code][j]) loaded += " " + std::to_string(code);
      }
    }
    EXPECT_EQ(loaded, outcome) << file;
  }
}

// The console (and "HALT" when it halted), then the texts loaded, each in brackets.
template <typename Fn>
std::string texts_after(Harness& h, Fn load) {
  std::vector<std::string> texts;
  std::string outcome = run(h, [&] { texts = load(); });
  for (const auto& text : texts) outcome += "[" + text + "]";
  return outcome;
}

TEST(LoadHumanTexts, CountsLinesAndLimitsLength) {
  const std::string h169(169, 'h'), h170(170, 'h');
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb\nc\n", "[a][b][c]"},
      {"a\nb\ncd", "[a][b][cd]"},  // the last line without a line end
      {"a\n\nc\n", "[a][][c]"},    // an empty line in the middle counts
      {"", ""},
      {h169 + "\n", "[" + h169 + "]"},
      {"ok\n" + h170 + "\n", " line 2 in file human.txt is too long\nHALT"},
      {h170, " line 1 in file human.txt is too long\nHALT"},
  };
  for (const auto& [file, outcome] : cases) {
    Harness h;
    h.write_config("human.txt", file);
    EXPECT_EQ(texts_after(h, [&] { return load_human_texts(h.env); }), outcome) << file;
  }
  Harness many;
  std::string file;
  for (int i = 0; i < 25; ++i) file += "t" + std::to_string(i) + "\n";
  many.write_config("human.txt", file);
  EXPECT_EQ(load_human_texts(many.env).size(), 20u);
}

TEST(LoadCustomTemplates, TakesTextBetweenQuotesUntilABlankLine) {
  const std::string t169(169, 't');
  const std::pair<std::string, std::string> cases[] = {
      {"\"a\"\n\"b\"\n   \n\"c\"\n", "[a][b]"},  // up to the first blank line
      {"x \"&S: &L\" y\n", "[&S: &L]"},          // text around the quotes is dropped
      {"\"\"\n", "[]"},
      {"\"" + t169 + "\"\n", "[" + t169 + "]"},
      {"\"" + t169 + "t\"\n", " line 1 in file custom.txt is too long\nHALT"},
  };
  for (const auto& [file, outcome] : cases) {
    Harness h;
    h.write_config("custom.txt", file);
    const auto load = [&] {
      std::vector<std::string> templates;
      EXPECT_TRUE(load_custom_templates(h.env, templates)) << file;
      return templates;
    };
    EXPECT_EQ(texts_after(h, load), outcome) << file;
  }
  Harness none;
  std::vector<std::string> templates;
  EXPECT_FALSE(load_custom_templates(none.env, templates));
  EXPECT_EQ(none.console(), "No custom.txt FILE\n");
}

// An unknown option and a value other than on or off: mvo-check's site tests, over this loader.
// Each file (nullptr: none): the switches it leaves, or the console of the halt.
TEST(LoadOptions, SwitchesOffUnlessTurnedOn) {
  const std::string halt = " line 1 in file options.txt";
  const std::string long_line = "traffic on" + std::string(200, ' ') + "\n";
  const std::pair<const char*, std::string> cases[] = {
      {nullptr, "traffic off, heartbeat off"},  // no file: nothing on, nothing printed
      {"# monitoring\r\ntraffic on\r\n\r\n  heartbeat   on  \r\n", "traffic on, heartbeat on"},
      {"traffic on\ntraffic off\n", "traffic off, heartbeat off"},  // the last line wins
      {"traffic\n", halt + ": traffic takes on or off\nHALT"},
      {"TRAFFIC on\n", halt + ": unknown option TRAFFIC\nHALT"},  // upper case is not the word
      {long_line.c_str(), halt + " is too long\nHALT"},
  };
  for (const auto& [file, outcome] : cases) {
    Harness h;
    if (file != nullptr) h.write_config("options.txt", file);
    Options o;
    const std::string console = run(h, [&] { o = load_options(h.env); });
    const std::string switches = std::string("traffic ") + (o.traffic ? "on" : "off") +
                                 ", heartbeat " + (o.heartbeat ? "on" : "off");
    EXPECT_EQ(console.empty() ? switches : console, outcome) << (file ? file : "no file");
  }
}

// Notepad's "UTF-8 with BOM" puts EF BB BF before the first line: the loaders read every file as
// if the mark were not there (each loader on a marked file: mvo-check's site tests), and only a
// mark at the very start is skipped.
TEST(ReadText, SkipsAUtf8ByteOrderMarkAtTheStartOnly) {
  const std::string bom = "\xEF\xBB\xBF";
  // The file, and the text read from it.
  const std::pair<std::string, std::string> cases[] = {
      {bom + "x COM1\r\n", "x COM1\n"},
      {bom, ""},
      {bom + bom + "a", bom + "a"},                      // the second mark is content
      {"a\n" + bom + "b", "a\n" + bom + "b"},            // so is a mark on the second line
      {bom.substr(0, 2) + "a", bom.substr(0, 2) + "a"},  // and part of a mark
      {bom + "\x1a" + "a", ""},                          // byte 26 right after the mark ends it
  };
  for (const auto& [file, text] : cases) {
    Harness h;
    h.write_config("cfg.txt", file);
    std::string read;
    ASSERT_TRUE(read_text((h.dir() / "configuration" / "cfg.txt").string(), read)) << file;
    EXPECT_EQ(read, text) << file;
  }
}

// configuration/pin.txt (std::nullopt: none): the PIN loaded, or the console of the halt, which
// never shows the PIN. Nothing of this file goes to the error log: a tag is data there.
TEST(LoadPin, ContentsAndHalts) {
  const auto not_digits = [](int line) {
    return " PIN in file pin.txt (line " + std::to_string(line) + ") is not 4 to 8 digits\nHALT";
  };
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "[]"},
      {"1234\n", "[1234]"},
      {"  12345678 \r\n", "[12345678]"},                   // blanks and CR LF
      {"# the SIM's PIN\n\n\t\n0000\n# end\n", "[0000]"},  // comments and blank lines
      {"9876", "[9876]"},                                  // no line end
      {"# no PIN here\n", "[]"},                           // comments only
      {"123\n", not_digits(1)},
      {"# x\n123456789\n", not_digits(2)},
      {"12a4\n", not_digits(1)},
      {"1234 5678\n", not_digits(1)},
      {"1234\n5678\n", " line 2 in file pin.txt: one PIN only, already given on line 1\nHALT"},
      {std::string(250, '1') + "\n", " line 1 in file pin.txt is too long\nHALT"},
  };
  for (const auto& [file, outcome] : cases) {
    Harness h;
    if (file) h.write_config("pin.txt", *file);
    std::string pin;
    const std::string console = run(h, [&] { pin = "[" + load_pin(h.env) + "]"; });
    EXPECT_EQ(console + pin, outcome) << file.value_or("no file");
    EXPECT_TRUE(h.tags().empty()) << file.value_or("no file");
  }
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
