#include "modem/modem.h"

#include <gtest/gtest.h>

#include "tests/support/harness.h"

namespace mvo::modem {
namespace {

using sim::FaultKind;
using sim::FaultRule;
using test::Harness;

TEST(BringUp, ModemThatAnswersEverything) {
  Harness h;
  ASSERT_TRUE(handle_modem(h.env, "COM1"));
  const std::vector<std::string> expected = {"ATZ",
                                             "ATE0",
                                             "AT+CREG=0",
                                             "AT+COPS=0",
                                             "AT+CMGF=1",
                                             "AT+CSCS=\"GSM\"",
                                             "AT+CNMI=0,0,0,0,1",
                                             "AT+CPMS=\"MT\",\"MT\",\"MT\"",
                                             "AT+COPS=0,0;+COPS?"};
  EXPECT_EQ(h.modem.commands(), expected);
  const std::string& out = h.console();
  EXPECT_EQ(out.find("\n...wait...(for about two minutes)\r...wait...(for about two minutes 1)\r"),
            0u);
  EXPECT_NE(
      out.find("\ncpms.0.1.2.3.4..\n...wait...(for about two minutes 1 2 3 4 5 6 7 8 9 10)\r"),
      std::string::npos);
  EXPECT_TRUE(
      out.ends_with("OUR OPERATOR TODAY    -  \"MVO Telecom\"" + std::string(25, ' ') + "\n\n"));
  EXPECT_EQ(h.tags(), std::vector<std::string>{"On the air"});
  EXPECT_EQ(h.port().timeouts().read_ms, 3000u);
}

FaultRule reply(const char* command, const char* lines, int count = 1) {
  return {command, FaultKind::kReply, count, 1.0, 0, lines};
}
FaultRule error(const char* command) { return {command, FaultKind::kError, 1}; }
FaultRule slow(const char* command, std::int64_t ms) {
  return {command, FaultKind::kSlow, 1, 1.0, 0, "", ms};
}

// A failed step is logged with its tag, then init_modem's step number, and the second attempt
// passes; a step within its bounds passes at the first.
TEST(BringUp, FailedStepsAreLoggedInChainOrderAndRetriedOthersPass) {
  struct Case {
    const char* name;
    FaultRule fault;
    const char* tag;  // nullptr: on the air at the first attempt
    int init_step;
    std::string console_part;
  } cases[] = {
      {"ATZ without OK", reply("ATZ", "NO CARRIER"), "atz2", 0,
       "Clean up ATZ2 (ATZ\r\r\nNO CARRIER\r\n)     init_modem0 handle_modem0  "},
      {"ERROR to AT+CMGF=1", error("AT+CMGF=1"), "pre_at3", 6,
       "pre_at3 (reply=ERROR) (bits=5) init_modem6 handle_modem0  "},
      {"echo still on for pre_at", reply("ATE0", "OK"), "pre_at3", 3,
       "pre_at3 (reply=AT+CREG=0) (bits=9) init_modem3 "},
      {"AT+COPS=0 after 40 s", slow("AT+COPS=0", 38000), "pre_at3", 4,
       "pre_at3 (reply=) (bits=0) init_modem4 "},
      {"+COPS: 0", reply("AT+COPS=0,0", "+COPS: 0|OK"), "cops5", 5,
       "Clean up cops5 (+COPS:) init_modem5 "},
      {"+COPS: 0,0", reply("AT+COPS=0,0", "+COPS: 0,0|OK"), "cops6", 5,
       "Clean up cops6 (+COPS:) init_modem5 "},
      {"no blank after the colon", reply("AT+COPS=0,0", "+COPS:0,0,\"X\"|OK"), "cops3", 5,
       "Clean up cops3 (+COPS:0,0,\"X\",) init_modem5 "},
      {"storage ERROR", error("AT+CPMS"), "cpms2", 9,
       "\ncpms.0.1.2.Clean up cpms2 (ERROR) init_modem9 "},
      {"AT+COPS=0 after 10 s", slow("AT+COPS=0", 10000), nullptr, 0, "OUR OPERATOR TODAY"},
      {"an operator name with a blank", reply("AT+COPS=0,0", "+COPS: 0,0,\"Op Name\"|OK", -1),
       nullptr, 0, "OUR OPERATOR TODAY    -  \"Op Name\"" + std::string(25, ' ')},
      {"no operator name", reply("AT+COPS=0,0", "+COPS: 0,0,,|OK", -1), nullptr, 0,
       "OUR OPERATOR TODAY    -  " + std::string(25, ' ')},
  };
  for (const auto& c : cases) {
    Harness h;
    h.modem.add_fault(c.fault);
    ASSERT_TRUE(handle_modem(h.env, "COM1")) << c.name;
    std::vector<std::string> tags = {"On the air"};
    if (c.tag != nullptr) {
      tags.insert(tags.begin(),
                  {c.tag, "init_modem" + std::to_string(c.init_step), "handle_modem0"});
    }
    EXPECT_EQ(h.tags(), tags) << c.name;
    EXPECT_NE(h.console().find(c.console_part), std::string::npos) << c.name << "\n" << h.console();
    EXPECT_EQ(h.port().opens(), c.tag == nullptr ? 1 : 2) << c.name;
  }
}

TEST(BringUp, ModemThatNeverAnswersIsGivenUpAfter150Attempts) {
  Harness h;
  h.modem.add_fault({"AT", FaultKind::kSilent});
  EXPECT_FALSE(handle_modem(h.env, "COM1"));
  EXPECT_EQ(h.port().opens(), 150);
  EXPECT_TRUE(h.console().ends_with("handle_modem0   +cannot communicate with modem+"));
  const auto tags = h.tags();
  ASSERT_EQ(tags.size(), 451u);
  EXPECT_EQ(tags.back(), "cannot communicate with modem");
  EXPECT_FALSE(h.port().is_open());
}

TEST(ShutModem, WritesCtrlZAndEscThenCloses) {
  Harness h;
  h.open_port();
  const std::int64_t start = h.now();
  EXPECT_TRUE(shut_modem(h.env));
  EXPECT_EQ(h.port().written(), "\x1a\x1b");
  EXPECT_FALSE(h.port().is_open());
  EXPECT_EQ(h.now() - start, 2000);

  Harness failing;
  failing.open_port();
  failing.port().fail_closes(1);
  const std::int64_t t0 = failing.now();
  EXPECT_FALSE(shut_modem(failing.env));
  EXPECT_EQ(failing.console(), "shut_modem1 (6) ");
  EXPECT_TRUE(failing.tags().empty());
  EXPECT_EQ(failing.now(), t0);
}

}  // namespace
}  // namespace mvo::modem
