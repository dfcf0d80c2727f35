#include <gtest/gtest.h>

#include <vector>

#include "common/fields.h"
#include "common/text.h"

namespace mvo::common {
namespace {

std::vector<std::string> split(std::string text, const char* separators) {
  FieldSplitter splitter(text.data(), separators);
  std::vector<std::string> fields;
  while (const char* f = splitter.next()) fields.emplace_back(f);
  return fields;
}

struct SplitCase {
  const char* name;
  const char* text;
  const char* separators;
  std::vector<std::string> fields;
};

TEST(FieldSplitter, CutsAsTheGatewayExpects) {
  const SplitCase cases[] = {
      {"empty text gives no field", "", ",", {}},
      {"separators only give one empty field", ",,,", ",", {""}},
      {"runs count as one and leading ones are skipped", ",,a,,b", ",", {"a", "b"}},
      {"one trailing separator gives no extra field", "a,b,", ",", {"a", "b"}},
      {"two trailing separators give one empty field", "a,b,,", ",", {"a", "b", ""}},
      {"several separator characters", "+CMGL: 2,\"REC\"", ":,", {"+CMGL", " 2", "\"REC\""}},
      {"blanks stay in fields", " a ; b ;", ";", {" a ", " b "}},
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.text, c.separators), c.fields) << c.name;
}

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

TEST(Format, DataIsNeverTheFormat) {
  EXPECT_EQ(format("(%s)", "%s%n%d"), "(%s%n%d)");
}

}  // namespace
}  // namespace mvo::common
