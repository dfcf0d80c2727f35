// The trace of the modem dialogue: what it shows of the bytes, that it changes nothing of the
// dialogue it watches, and that its files stay within their bound.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "modem/modem.h"
#include "platform/trace_port.h"
#include "tests/support/harness.h"

namespace mvo::platform {
namespace {

namespace fs = std::filesystem;
using test::Harness;

std::vector<std::string> records(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    out.push_back(text.substr(at, end - at));
  }
  EXPECT_EQ(at, text.size()) << "a record without its CR LF";
  return out;
}

// The part of a record after its stamp: "--> AT\r".
std::string body(const std::string& record) {
  static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +\d+\.\d{3}  )");
  std::smatch m;
  return std::regex_search(record, m, stamp) ? m.suffix().str() : "(no stamp) " + record;
}

TEST(TraceText, ControlBytesAreVisible) {
  struct Case {
    std::string bytes;
    const char* shown;
  } cases[] = {
      {"AT+CMGF=1\r", "AT+CMGF=1\\r"},
      {"\r\nOK\r\n", "\\r\\nOK\\r\\n"},
      {"\x1a", "\\x1a"},
      {"\x1b", "\\x1b"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"tab\there", "tab\\there"},
      {"C:\\MVO", "C:\\\\MVO"},
      {"\xc3\xa9\x7f", "\\xc3\\xa9\\x7f"},
  };
  for (const auto& c : cases) EXPECT_EQ(visible(c.bytes.data(), c.bytes.size()), c.shown);
}

TEST(TracePort, ShowsTheBringUpAndShutDownAndChangesNothing) {
  Harness plain;
  ASSERT_TRUE(modem::handle_modem(plain.env, "COM1"));
  ASSERT_TRUE(modem::shut_modem(plain.env));

  Harness h;
  const fs::path file = h.dir() / "trace.txt";
  {
    TracePort trace(h.port(), h.clock, h.wall, file.string());
    ASSERT_TRUE(trace.ok());
    Env env{h.env.clock, h.env.wall, h.env.console, h.env.site, trace};
    ASSERT_TRUE(modem::handle_modem(env, "COM1"));
    ASSERT_TRUE(modem::shut_modem(env));
  }
  EXPECT_EQ(h.modem.commands(), plain.modem.commands());
  EXPECT_EQ(h.console(), plain.console());
  EXPECT_EQ(h.now(), plain.now());

  std::vector<std::string> bodies;
  for (const auto& r : records(file)) bodies.push_back(body(r));
  // In this order, not necessarily adjacent.
  const std::vector<std::string> expected = {
      "--- trace of the modem dialogue: --> to the modem, <-- from it",
      "--- open COM1",
      "--- line 19200 baud, 8 data bits, parity 0, stop bits code 0",
      "--- purge",
      "--> ATZ\\r",
      "<-- \\r\\n",
      "<-- OK\\r\\n",
      "--> AT+CMGF=1\\r",
      "<-- OK\\r\\n",
      "--> AT+COPS=0,0;+COPS?\\r",
      "<-- +COPS: 0,0,\"MVO Telecom\"\\r\\n",
      "--> \\x1a",
      "--> \\x1b",
      "--- close",
  };
  std::size_t at = 0;
  for (const auto& want : expected) {
    while (at < bodies.size() && bodies[at] != want) ++at;
    ASSERT_LT(at, bodies.size()) << "missing or out of order: " << want;
  }
}

TEST(TracePort, ReadThatRunsOutAndFailuresAreEvents) {
  Harness h;
  h.script().at(0, "OK");
  h.open_port();
  const fs::path file = h.dir() / "trace.txt";
  TracePort trace(h.port(), h.clock, h.wall, file.string());
  trace.set_timeouts({3000, 3000});
  char buf[4];
  std::size_t got = 0;
  ASSERT_TRUE(trace.read(buf, sizeof buf, got));
  EXPECT_EQ(got, 2u);
  h.port().fail_closes(1);
  EXPECT_FALSE(trace.close());
  ASSERT_TRUE(trace.close());
  const auto r = records(file);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(body(r[1]), "<-- OK");
  EXPECT_EQ(body(r[2]), "--- no byte within 3000 ms");
  EXPECT_EQ(body(r[3]).rfind("--- close failed (error ", 0), 0u) << r[3];
  EXPECT_EQ(body(r[4]), "--- close");
}

TEST(TracePort, FilesStayWithinTheLimitAndARestartAppends) {
  constexpr std::uint64_t kLimit = 1500;
  Harness h;
  const fs::path file = h.dir() / "trace.txt";
  const fs::path previous = h.dir() / "trace.txt.1";
  for (int start = 0; start < 2; ++start) {
    TracePort trace(h.port(), h.clock, h.wall, file.string(), kLimit);
    Env env{h.env.clock, h.env.wall, h.env.console, h.env.site, trace};
    ASSERT_TRUE(modem::handle_modem(env, "COM1"));
    ASSERT_TRUE(modem::shut_modem(env));
  }
  ASSERT_TRUE(fs::exists(previous));
  for (const auto& f : {file, previous}) {
    EXPECT_LE(fs::file_size(f), kLimit) << f;
    const auto r = records(f);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(body(r[0]).rfind("--- trace of the modem dialogue", 0), 0u) << f;
  }
  // The newest records are in the current file: the second start's shut-down ends it.
  const auto r = records(file);
  EXPECT_EQ(body(r.back()), "--- close");
  EXPECT_EQ(body(r[r.size() - 3]), "--> \\x1b");
}

}  // namespace
}  // namespace mvo::platform
