// The trace of the modem dialogue: what it shows of the bytes, that it changes nothing of the
// dialogue it watches, that the SIM's PIN never shows in it, and its files: within their bound,
// readable by their owner only, and kept when a full one cannot be renamed.
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

constexpr std::uint64_t kLimit = 1500;  // bytes of a small trace file

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

// CR, LF, 26 and 27: the bring-up's records below.
TEST(TraceText, ControlBytesAreVisible) {
  const std::string bytes("a\0b\tC:\\\xc3\x7f", 9);
  EXPECT_EQ(visible(bytes.data(), bytes.size()), "a\\x00b\\tC:\\\\\\xc3\\x7f");
}

TEST(TracePort, ShowsTheBringUpAndShutDownAndChangesNothing) {
  Harness plain;
  ASSERT_TRUE(modem::handle_modem(plain.env, "COM1"));
  ASSERT_TRUE(modem::shut_modem(plain.env));

  Harness h;
  const fs::path file = h.dir() / "trace.txt";
  bring_up_and_shut(h, file, 1 << 20);
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

TEST(TracePin, WhatFollowsCpinIsMaskedUpToTheLineEnd) {
  struct Case {
    const char* name;
    std::string written;               // one write to the modem
    std::vector<std::string> replies;  // pieces from the modem, 4 s apart (a read runs out)
    std::vector<std::string> shown;    // records that must be in the trace, in order
  } cases[] = {
      {"command and echo whole",
       "AT+CPIN=\"4711\"\r",
       {"AT+CPIN=\"4711\"\r\r\nOK\r\n"},
       {"--> AT+CPIN=***\\r", "<-- AT+CPIN=***\\r\\r\\n", "<-- OK\\r\\n"}},
      {"lower case, eight digits, a second command on the line",
       "at+cpin=\"12345678\";+CPIN=\"0815\"\r",
       {"\r\nOK\r\n"},
       {"--> at+cpin=***\\r", "<-- OK\\r\\n"}},
      {"echo cut inside the PIN by a read that ran out",
       "AT+CPIN=\"4711\"\r",
       {"AT+CPIN=\"47", "11\"\r\r\n+CME ERROR: 16\r\n"},
       {"--> AT+CPIN=***\\r", "<-- AT+CPIN=***", "<-- ***\\r\\r\\n", "<-- +CME ERROR: 16\\r\\n"}},
      {"other commands untouched",
       "AT+CPIN?\r",
       {"\r\n+CPIN: READY\r\n"},
       {"--> AT+CPIN?\\r", "<-- +CPIN: READY\\r\\n"}},
  };
  for (const auto& c : cases) {
    Harness h;
    auto& peer = h.script();
    for (std::size_t i = 0; i < c.replies.size(); ++i)
      peer.at(static_cast<std::int64_t>(i) * 4000, c.replies[i]);
    h.open_port();
    const fs::path file = h.dir() / "trace.txt";
    {
      TracePort trace(h.port(), h.clock, h.wall, file.string());
      std::size_t written = 0;
      ASSERT_TRUE(trace.write(c.written.data(), c.written.size(), written)) << c.name;
      for (int reads = 0; reads < 200; ++reads) {
        char byte;
        std::size_t got = 0;
        if (!trace.read(&byte, 1, got)) break;
        if (got == 0 && h.now() > static_cast<std::int64_t>(c.replies.size()) * 4000) break;
      }
    }
    const std::string text = contents(file);
    for (const char* pin : {"4711", "12345678", "0815", "47\r", "11\""}) {
      EXPECT_EQ(text.find(pin), std::string::npos) << c.name << ": " << pin;
    }
    std::size_t at = 0;
    for (const auto& want : c.shown) {
      const std::size_t found = text.find("  " + want + "\r\n", at);
      ASSERT_NE(found, std::string::npos) << c.name << ": missing or out of order: " << want << "\n"
                                          << text;
      at = found + want.size();
    }
  }
}

// Two starts, each filling the trace twice over: every file within the limit and begun with its
// header, the newest records in the current one, and readable by its owner only, one left
// readable by all before included.
TEST(TraceFile, FilesStayWithinTheLimitAndOnlyTheirOwnerMayReadThem) {
  constexpr auto kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;
  for (const bool earlier : {false, true}) {
    Harness h;
    const fs::path file = h.dir() / "trace.txt";
    if (earlier) {
      std::ofstream(file) << "earlier\r\n";
      fs::permissions(file, kOwnerOnly | fs::perms::group_read | fs::perms::others_read);
    }
    for (int start = 0; start < 2; ++start) bring_up_and_shut(h, file, kLimit);
    for (const auto& f : {file, fs::path(file.string() + ".1")}) {
      ASSERT_TRUE(fs::exists(f)) << earlier << " " << f;
      EXPECT_LE(fs::file_size(f), kLimit) << f;
      const auto r = records(f);
      ASSERT_FALSE(r.empty());
      EXPECT_EQ(body(r[0]).rfind("--- trace of the modem dialogue", 0), 0u) << f;
#ifndef _WIN32
      EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, kOwnerOnly) << earlier << " " << f;
#endif
    }
    const auto r = records(file);
    EXPECT_EQ(body(r.back()), "--- close");
    EXPECT_EQ(body(r[r.size() - 3]), "--> \\x1b");
  }
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
