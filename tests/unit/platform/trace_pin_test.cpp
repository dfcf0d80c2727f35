// The SIM's PIN in the trace: masked in both directions, whatever the pieces the bytes come in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/trace_port.h"
#include "tests/support/harness.h"

namespace mvo::platform {
namespace {

namespace fs = std::filesystem;
using test::Harness;

std::string trace_text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
      {"lower case, eight digits",
       "at+cpin=\"12345678\"\r",
       {"\r\nOK\r\n"},
       {"--> at+cpin=***\\r", "<-- OK\\r\\n"}},
      {"echo cut inside the PIN by a read that ran out",
       "AT+CPIN=\"4711\"\r",
       {"AT+CPIN=\"47", "11\"\r\r\n+CME ERROR: 16\r\n"},
       {"--> AT+CPIN=***\\r", "<-- AT+CPIN=***", "<-- ***\\r\\r\\n", "<-- +CME ERROR: 16\\r\\n"}},
      {"two commands on one line",
       "AT+CPIN=\"4711\";+CPIN=\"0815\"\r",
       {"\r\nOK\r\n"},
       {"--> AT+CPIN=***\\r", "<-- OK\\r\\n"}},
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
    const std::string text = trace_text(file);
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

}  // namespace
}  // namespace mvo::platform
