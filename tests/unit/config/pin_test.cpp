// configuration/pin.txt: what it may hold, and the halts that never show the PIN.
#include "config/pin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "common/halt.h"
#include "config/tables.h"
#include "tests/support/harness.h"

namespace mvo::config {
namespace {

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
    test::Harness h;
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
  test::Harness h;
  h.write_config("stations.txt", "\"Tank3\";\"+4410\"\n");
  h.write_config("human.txt", "Normal\n");
  h.write_config("destinations.txt", "\"Control\";\"+111\";SMC\n");
  EXPECT_EQ(load_all(h.env).pin, "");
  h.write_config("pin.txt", "4711\n");
  EXPECT_EQ(load_all(h.env).pin, "4711");
}

}  // namespace
}  // namespace mvo::config

namespace mvo::config {
namespace {

// A pin.txt the gateway's user cannot read (made by root, then chmod 600) halts: taken for no
// PIN, the SIM would stay locked with only a hint that pin.txt is missing.
TEST(LoadPin, AFileThisUserCannotReadHalts) {
  test::Harness h;
  h.write_config("pin.txt", "2580\n");
  const auto file = h.dir() / "configuration" / "pin.txt";
  std::filesystem::permissions(file, std::filesystem::perms::none);
  if (std::ifstream(file).is_open()) GTEST_SKIP() << "this user reads every file (root)";
  EXPECT_THROW(load_pin(h.env), common::Halt);
  EXPECT_EQ(h.console(), " file pin.txt cannot be read: chown it to the gateway's user\n");
}

}  // namespace
}  // namespace mvo::config
