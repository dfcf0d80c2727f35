#include <gtest/gtest.h>

#include "common/text.h"

namespace mvo::common {
namespace {

// FieldSplitter (runs of separators count as one, a trailing one adds no field): the report's
// fields, the destinations' status codes and the store's listings, through their own tests.

TEST(ScanInt, ReadsAsPercentD) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {" 19", true, 19}, {"3 word", true, 3}, {"-1", true, -1}, {"+7x", true, 7},
      {"", false, 0},    {"  ", false, 0},    {"x1", false, 0}, {"99999999999", true, 2147483647}};
  for (const auto& c : cases) {
    int v = 0;
    EXPECT_EQ(scan_int(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(Format, DataIsNeverTheFormat) { EXPECT_EQ(format("(%s)", "%s%n%d"), "(%s%n%d)"); }

// What promtool, the journal and a browser are given for a name saved by Notepad.
TEST(AsUtf8, WindowsBytesBecomeUtf8AndUtf8StaysAsItIs) {
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"ASCII and control bytes as they are", "Tank 3\t\n\x7f", "Tank 3\t\n\x7f"},
      {"a Windows-1252 umlaut", "Gr\xfcn", "Gr\xc3\xbcn"},
      {"UTF-8 kept", "Gr\xc3\xbcn \xe2\x82\xac \xf0\x9f\x92\xa7",
       "Gr\xc3\xbcn \xe2\x82\xac \xf0\x9f\x92\xa7"},
      {"the euro sign, a dash and a Y with diaeresis", "\x80\x96\x9f",
       "\xe2\x82\xac\xe2\x80\x93\xc5\xb8"},
      {"an unassigned byte: its control character", "\x81", "\xc2\x81"},
      {"an overlong slash", "\xc0\xaf", "\xc3\x80\xc2\xaf"},
      {"a surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xe2\x82\xac"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xe2\x82\xac\xe2\x82\xac"},
      {"a sequence cut by the end", "x\xe2\x82", "x\xc3\xa2\xe2\x80\x9a"},
      {"a lead byte before ASCII", "\xc3(", "\xc3\x83("},
  };
  for (const Case& c : cases) EXPECT_EQ(as_utf8(c.in), c.out) << c.name;
}

}  // namespace
}  // namespace mvo::common
