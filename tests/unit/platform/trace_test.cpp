// The trace of the modem dialogue: what it shows of the bytes, that the SIM's PIN never shows in
// it, and its files: within their bound, readable by their owner only, and kept when a full one
// cannot be renamed.
#include <gtest/gtest.h>

#include <algorithm>
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

constexpr std::uint64_t kLimit = 1500;  // bytes of a small trace file
constexpr auto kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> records(const fs::path& file) {
  const std::string text = contents(file);
  std::vector<std::string> out;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    out.push_back(text.substr(at, end - at));
  }
  EXPECT_EQ(at, text.size()) << "a record without its CR LF";
  return out;
}

void bring_up_and_shut(Harness& h, const fs::path& file, std::uint64_t limit) {
  TracePort trace(h.port(), h.clock, h.wall, file.string(), limit);
  ASSERT_TRUE(trace.ok());
  Env env{h.env.clock, h.env.wall, h.env.console, h.env.site, trace};
  ASSERT_TRUE(modem::handle_modem(env, "COM1"));
  ASSERT_TRUE(modem::shut_modem(env));
}

// The part of a record after its stamp: "--> AT\r".
std::string body(const std::string& record) {
  static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +\d+\.\d{3}  )");
  std::smatch m;
  return std::regex_search(record, m, stamp) ? m.suffix().str() : "(no stamp) " + record;
}

// The records' bodies hold `expected` in this order, not necessarily adjacent.
void expect_in_order(const fs::path& file, const std::vector<std::string>& expected) {
  const auto r = records(file);
  auto at = r.begin();
  for (const auto& want : expected) {
    at = std::find_if(at, r.end(), [&](const std::string& record) { return body(record) == want; });
    ASSERT_NE(at, r.end()) << "missing or out of order: " << want << "\n" << contents(file);
    ++at;
  }
}

// CR, LF, 26 and 27: the bring-up's records below.
TEST(TraceText, ControlBytesAreVisible) {
  const std::string bytes("a\0b\tC:\\\xc3\x7f", 9);
  EXPECT_EQ(visible(bytes.data(), bytes.size()), "a\\x00b\\tC:\\\\\\xc3\\x7f");
}

// That the trace changes nothing of the dialogue: the SIM's scenarios run the gateway traced.
// A trace left readable by all before is its owner's alone from the first record on.
TEST(TracePort, ShowsTheBringUpAndShutDown) {
  Harness h;
  const fs::path file = h.dir() / "trace.txt";
  std::ofstream(file) << "earlier\r\n";
  fs::permissions(file, fs::perms::all);
  bring_up_and_shut(h, file, 1 << 20);
#ifndef _WIN32
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, kOwnerOnly);
#endif

  // In this order, not necessarily adjacent.
  expect_in_order(file, {
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
                        });
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

// Lower case, eight digits, a second command on the line, and the echo cut inside the PIN by a
// read that ran out: the PIN shows nowhere.
TEST(TracePin, WhatFollowsCpinIsMaskedUpToTheLineEnd) {
  Harness h;
  auto& peer = h.script();
  peer.at(0, "at+cpin=\"1234");
  peer.at(4000, "5678\";+CPIN=\"0815\"\r\r\n+CME ERROR: 16\r\n");
  h.open_port();
  const fs::path file = h.dir() / "trace.txt";
  {
    TracePort trace(h.port(), h.clock, h.wall, file.string());
    const std::string command = "at+cpin=\"12345678\";+CPIN=\"0815\"\r";
    std::size_t got = 1;
    ASSERT_TRUE(trace.write(command.data(), command.size(), got));
    for (int reads = 0; reads < 200 && (got > 0 || h.now() <= 4000); ++reads) {
      char byte;
      ASSERT_TRUE(trace.read(&byte, 1, got));
    }
  }
  const std::string text = contents(file);
  for (const char* pin : {"1234", "5678", "0815"}) {
    EXPECT_EQ(text.find(pin), std::string::npos) << pin << "\n" << text;
  }
  expect_in_order(file, {"--> at+cpin=***\\r", "<-- at+cpin=***", "<-- ***\\r\\r\\n",
                         "<-- +CME ERROR: 16\\r\\n"});
}

// Two starts, each filling the trace twice over: every file within the limit and begun with its
// header, the newest records in the current one, and readable by its owner only.
TEST(TraceFile, FilesStayWithinTheLimitAndOnlyTheirOwnerMayReadThem) {
  Harness h;
  const fs::path file = h.dir() / "trace.txt";
  for (int start = 0; start < 2; ++start) bring_up_and_shut(h, file, kLimit);
  for (const auto& f : {file, fs::path(file.string() + ".1")}) {
    ASSERT_TRUE(fs::exists(f)) << f;
    EXPECT_LE(fs::file_size(f), kLimit) << f;
    const auto r = records(f);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(body(r[0]).rfind("--- trace of the modem dialogue", 0), 0u) << f;
#ifndef _WIN32
    EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, kOwnerOnly) << f;
#endif
  }
  const auto r = records(file);
  EXPECT_EQ(body(r.back()), "--- close");
  EXPECT_EQ(body(r[r.size() - 3]), "--> \\x1b");
}

TEST(TraceFile, AFullTraceThatCannotBeRenamedIsKept) {
  Harness h;
  const fs::path file = h.dir() / "trace.txt";
  // Where the full trace would go stands a directory with a file in it: no rename replaces it,
  // as none replaces a trace that another program holds open on Windows.
  const fs::path previous = h.dir() / "trace.txt.1";
  fs::create_directories(previous);
  std::ofstream(previous / "keep") << "x";
  bring_up_and_shut(h, file, kLimit);
  const std::string first = contents(file);
  EXPECT_GT(first.size(), kLimit);
  EXPECT_EQ(first.rfind("20", 0), 0u);
  EXPECT_EQ(first.find("trace of the modem dialogue", first.find("\r\n")), std::string::npos)
      << "begun afresh";
  bring_up_and_shut(h, file, kLimit);
  EXPECT_EQ(contents(file).rfind(first, 0), 0u) << "the first start's records were lost";
  EXPECT_TRUE(fs::is_directory(previous));
  EXPECT_EQ(contents(previous / "keep"), "x");
  // Once the way is free, the next rename goes through.
  fs::remove_all(previous);
  bring_up_and_shut(h, file, kLimit);
  EXPECT_TRUE(fs::is_regular_file(previous));
  EXPECT_LE(fs::file_size(file), kLimit);
}

}  // namespace
}  // namespace mvo::platform
