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
  EXPECT_EQ(h.port().opens(), 1);
  EXPECT_EQ(h.port().timeouts().read_ms, 3000u);
}

struct FailCase {
  const char* name;
  FaultRule fault;
  std::vector<std::string> tags;  // the error log after handle_modem
  std::string console_part;
};

TEST(BringUp, FailedStepsAreLoggedInChainOrderAndRetriedOthersPass) {
  const FailCase cases[] = {
      {"ATZ without OK",
       {"ATZ", FaultKind::kReply, 1, 1.0, 0, "NO CARRIER"},
       {"atz2", "init_modem0", "handle_modem0", "On the air"},
       "Clean up ATZ2 (ATZ\r\r\nNO CARRIER\r\n)     init_modem0 handle_modem0  "},
      {"ERROR to AT+CMGF=1",
       {"AT+CMGF=1", FaultKind::kError, 1},
       {"pre_at3", "init_modem6", "handle_modem0", "On the air"},
       "pre_at3 (reply=ERROR) (bits=5) init_modem6 handle_modem0  "},
      {"echo still on for pre_at",
       {"ATE0", FaultKind::kReply, 1, 1.0, 0, "OK"},
       {"pre_at3", "init_modem3", "handle_modem0", "On the air"},
       "pre_at3 (reply=AT+CREG=0) (bits=9) init_modem3 "},
      {"AT+COPS=0 after 40 s",
       {"AT+COPS=0", FaultKind::kSlow, 1, 1.0, 0, "", 38000},
       {"pre_at3", "init_modem4", "handle_modem0", "On the air"},
       "pre_at3 (reply=) (bits=0) init_modem4 "},
      {"+COPS: 0",
       {"AT+COPS=0,0", FaultKind::kReply, 1, 1.0, 0, "+COPS: 0|OK"},
       {"cops5", "init_modem5", "handle_modem0", "On the air"},
       "Clean up cops5 (+COPS:) init_modem5 "},
      {"+COPS: 0,0",
       {"AT+COPS=0,0", FaultKind::kReply, 1, 1.0, 0, "+COPS: 0,0|OK"},
       {"cops6", "init_modem5", "handle_modem0", "On the air"},
       "Clean up cops6 (+COPS:) init_modem5 "},
      {"no blank after the colon",
       {"AT+COPS=0,0", FaultKind::kReply, 1, 1.0, 0, "+COPS:0,0,\"X\"|OK"},
       {"cops3", "init_modem5", "handle_modem0", "On the air"},
       "Clean up cops3 (+COPS:0,0,\"X\",) init_modem5 "},
      {"storage ERROR",
       {"AT+CPMS", FaultKind::kError, 1},
       {"cpms2", "init_modem9", "handle_modem0", "On the air"},
       "\ncpms.0.1.2.Clean up cpms2 (ERROR) init_modem9 "},
      // Within the bounds: on the air at the first attempt.
      {"AT+COPS=0 after 10 s",
       {"AT+COPS=0", FaultKind::kSlow, 1, 1.0, 0, "", 10000},
       {"On the air"},
       "OUR OPERATOR TODAY"},
      {"an operator name with a blank",
       {"AT+COPS=0,0", FaultKind::kReply, -1, 1.0, 0, "+COPS: 0,0,\"Op Name\"|OK"},
       {"On the air"},
       "OUR OPERATOR TODAY    -  \"Op Name\"" + std::string(25, ' ')},
      {"no operator name",
       {"AT+COPS=0,0", FaultKind::kReply, -1, 1.0, 0, "+COPS: 0,0,,|OK"},
       {"On the air"},
       "OUR OPERATOR TODAY    -  " + std::string(25, ' ')},
  };
  for (const auto& c : cases) {
    Harness h;
    h.modem.add_fault(c.fault);
    ASSERT_TRUE(handle_modem(h.env, "COM1")) << c.name;
    EXPECT_EQ(h.tags(), c.tags) << c.name;
    EXPECT_NE(h.console().find(c.console_part), std::string::npos) << c.name << "\n" << h.console();
    EXPECT_EQ(h.port().opens(), c.tags.size() == 1 ? 1 : 2) << c.name;
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
