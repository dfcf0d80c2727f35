// The modem model's SIM: its PIN, three tries then the PUK, busy after the PIN, and a power cut
// that locks it again where a closed port does not.
#include <gtest/gtest.h>

#include "sim/core/modem_model.h"
#include "sim/core/scenario.h"

namespace mvo::sim {
namespace {

// The reply to one command typed at `now` (echo off), every line within 60 s.
std::string ask(ModemModel& m, const std::string& command, std::int64_t now = 0) {
  const std::string bytes = command + "\r";
  m.input(bytes.data(), bytes.size(), now);
  return m.take_output(now + 60000, 100000);
}

ModemModel with_pin(int tries = 3, std::int64_t ready_ms = 3000) {
  ModemModel m({.sim_pin = "2580", .sim_pin_tries = tries, .sim_ready_ms = ready_ms});
  ask(m, "ATE0");
  return m;
}

TEST(SimCard, AnswersByState) {
  const ModemOptions pin{.sim_pin = "2580"}, puk{.sim_pin = "2580", .sim_pin_tries = 0};
  const ModemOptions no_sim{.sim_present = false};
  struct Case {
    const char* name;
    ModemOptions options;
    std::string cpin;  // the reply to AT+CPIN?
    std::string cmgf;  // the reply to AT+CMGF=1, a command that needs the SIM
  } cases[] = {
      {"no PIN", ModemOptions(), "\r\n+CPIN: READY\r\n\r\nOK\r\n", "\r\nOK\r\n"},
      {"PIN", pin, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", "\r\n+CME ERROR: 11\r\n"},
      {"PUK", puk, "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", "\r\n+CME ERROR: 12\r\n"},
      {"no SIM", no_sim, "\r\n+CME ERROR: 10\r\n", "\r\n+CME ERROR: 10\r\n"},
  };
  for (const auto& c : cases) {
    ModemModel m(c.options);
    ask(m, "ATE0");
    EXPECT_EQ(ask(m, "AT+CPIN?"), c.cpin) << c.name;
    EXPECT_EQ(ask(m, "AT+CMGF=1"), c.cmgf) << c.name;
    for (const char* free : {"AT+CREG=0", "AT+CSCS=\"GSM\"", "AT"})
      EXPECT_EQ(ask(m, free), "\r\nOK\r\n") << c.name << " " << free;
  }
}

TEST(SimCard, ThreeWrongPinsThenPuk) {
  ModemModel m = with_pin();
  EXPECT_EQ(ask(m, "AT+CPIN=\"1111\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(m.sim_pin_tries(), 2);
  EXPECT_EQ(ask(m, "AT+CPIN=1111"), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(m.sim_state(0), SimState::kPin);
  EXPECT_EQ(ask(m, "AT+CPIN=\"1111\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(m.sim_state(0), SimState::kPuk);
  EXPECT_EQ(ask(m, "AT+CPIN=\"2580\""), "\r\n+CME ERROR: 12\r\n");
  EXPECT_EQ(ask(m, "AT+CPIN?"), "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n");
}

TEST(SimCard, BusyAfterTheRightPinThenReady) {
  ModemModel m = with_pin(3, 5000);
  EXPECT_EQ(ask(m, "AT+CPIN=\"1111\"", 0), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(ask(m, "AT+CPIN=\"2580\"", 100), "\r\nOK\r\n");
  EXPECT_EQ(m.sim_pin_tries(), 3);  // the right PIN gives the tries back
  EXPECT_EQ(ask(m, "AT+CPIN?", 1000), "\r\n+CME ERROR: 14\r\n");
  EXPECT_EQ(ask(m, "AT+CMGF=1", 5099), "\r\n+CME ERROR: 14\r\n");
  EXPECT_EQ(ask(m, "AT+CPIN?", 5100), "\r\n+CPIN: READY\r\n\r\nOK\r\n");
  EXPECT_EQ(ask(m, "AT+CMGF=1", 5100), "\r\nOK\r\n");
  EXPECT_EQ(ask(m, "AT+CPIN=\"2580\"", 5200), "\r\n+CME ERROR: 3\r\n");
}

TEST(SimCard, PowerCutLocksItAgainAnUnplugDoesNot) {
  struct Case {
    const char* name;
    bool power_loss;
    std::string cpin;  // after the line is back
    std::string at;    // "AT" typed after it: echoed after a power-up
  } cases[] = {
      {"unplug", false, "\r\n+CPIN: READY\r\n\r\nOK\r\n", "\r\nOK\r\n"},
      {"power cut", true, "AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", "AT\r\r\nOK\r\n"},
  };
  for (const auto& c : cases) {
    ModemModel m = with_pin(3, 0);
    ASSERT_EQ(ask(m, "AT+CPIN=\"2580\""), "\r\nOK\r\n");
    ASSERT_EQ(ask(m, "AT+CMGF=1", 10), "\r\nOK\r\n");
    m.unplug(1000, 2000, c.power_loss);
    EXPECT_FALSE(m.line_up(1500)) << c.name;
    EXPECT_EQ(ask(m, "AT+CPIN?", 4000), c.cpin) << c.name;
    EXPECT_EQ(ask(m, "AT", 4100), c.at) << c.name;
    EXPECT_EQ(m.sim_pin_tries(), 3) << c.name;
  }
}

TEST(SimCard, ScenarioDirectives) {
  Scenario s;
  std::string error;
  ASSERT_TRUE(parse_scenario("sim-pin 4711 tries 1\nsim-ready 500\npower-cut 100 200\n", s, error))
      << error;
  EXPECT_EQ(s.options.sim_pin, "4711");
  EXPECT_EQ(s.options.sim_pin_tries, 1);
  EXPECT_EQ(s.options.sim_ready_ms, 500);
  EXPECT_TRUE(s.options.sim_present);
  EXPECT_EQ(s.power_cuts, (std::vector<std::pair<std::int64_t, std::int64_t>>{{100, 200}}));
  EXPECT_TRUE(s.unplugs.empty());
  Scenario none;
  ASSERT_TRUE(parse_scenario("no-sim\nsim-pin 1234\n", none, error)) << error;
  EXPECT_FALSE(none.options.sim_present);
  EXPECT_EQ(none.options.sim_pin_tries, 3);
  for (const char* bad : {"sim-pin", "sim-pin 1234 tries", "sim-pin 1234 tries x",
                          "sim-pin 1234 retries 2", "sim-ready", "sim-ready -1", "power-cut 5"}) {
    Scenario t;
    EXPECT_FALSE(parse_scenario(bad, t, error)) << bad;
  }
}

}  // namespace
}  // namespace mvo::sim
