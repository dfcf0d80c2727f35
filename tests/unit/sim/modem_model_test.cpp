// The modem simulator's model, its SIM and its scenario file: what the gateway's own tests, which
// run the gateway against this same model byte for byte, do not see of them.
#include "sim/core/modem_model.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>
#include <vector>

#include "sim/core/scenario.h"

namespace mvo::sim {
namespace {

// The reply to the commands typed at `now`, every line within 60 s.
std::string ask(ModemModel& m, const std::string& commands, std::int64_t now = 0) {
  const std::string bytes = commands + "\r";
  m.input(bytes.data(), bytes.size(), now);
  return m.take_output(now + 60000, 100000);
}

// A model with the echo off, in text mode unless `text` is false.
ModemModel quiet(ModemOptions options = {}, bool text = true) {
  ModemModel m(std::move(options));
  ask(m, text ? "ATE0\rAT+CMGF=1" : "ATE0");
  return m;
}

std::string first_line(const std::string& reply) {
  const std::size_t start = reply.find_first_not_of("\r\n");
  if (start == std::string::npos) return "";
  return reply.substr(start, reply.find('\r', start) - start);
}

// What AT+CMGL="ALL" lists, as "<index>=<text> ...".
std::string listed(ModemModel& m, std::int64_t now = 0) {
  std::istringstream lines(ask(m, "AT+CMGL=\"ALL\"", now));
  std::string line, out;
  while (std::getline(lines, line)) {
    if (line.rfind("+CMGL: ", 0) != 0) continue;
    const std::string index = line.substr(7, line.find(',') - 7);
    std::getline(lines, line);
    out += (out.empty() ? "" : " ") + index + "=" + line.substr(0, line.size() - 1);
  }
  return out;
}

TEST(ModemModel, EchoTextOnlyUnknownCommandsAndStrayControlBytes) {
  ModemModel m;
  EXPECT_EQ(ask(m, "AT"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(ask(m, "ATE0"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(ask(m, "ATZ"), "\r\nOK\r\n");
  EXPECT_EQ(ask(m, "AT"), "AT\r\r\nOK\r\n");  // echo back on after ATZ
  ask(m, "ATE0");
  EXPECT_EQ(ask(m, "AT+CMGF=0"), "\r\nERROR\r\n");
  EXPECT_EQ(ask(m, "AT+BOGUS"), "\r\nERROR\r\n");
  EXPECT_EQ(ask(m, "\032\033AT"), "\r\nOK\r\n");  // Ctrl-Z and Esc outside a text: ignored
}

TEST(ModemModel, ReplyTiming) {
  ModemModel m = quiet({.latency_ms = 7, .cops_delay_ms = 2000}, false);
  m.input("AT+COPS=0\r", 10, 1000);
  EXPECT_EQ(m.next_output_time(1000), 3007);
  EXPECT_EQ(m.take_output(3006, 100), "");
  EXPECT_EQ(m.take_output(3007, 100), "\r\nOK\r\n");
}

// A SIM of 2 slots and a phone of 3 holding "a" (SIM), "b" (phone) and "c" (the receive
// memory, the SIM at power-up); each case sends its commands, then lists.
TEST(ModemModel, MemoriesKeepTheirOwnSlots) {
  struct Case {
    std::vector<std::string> commands;
    std::string last_reply;  // first line of the reply to the last command
    std::string listing;     // then AT+CMGL="ALL" of the memory selected
  } cases[] = {
      {{"AT+CPMS=\"SM\""}, "+CPMS: 2,2,2,2,2,2", "1=a 2=c"},
      {{"AT+CPMS=\"ME\",\"ME\""}, "+CPMS: 1,3,1,3,2,2", "1=b"},  // the phone's own indices
      {{"AT+CPMS=\"MT\",\"MT\",\"MT\""}, "+CPMS: 3,5,3,5,3,5", "1=a 2=c 3=b"},  // SIM, phone
      {{"AT+CPMS=\"BM\""}, "+CMS ERROR: 302", "1=a 2=c"},  // unknown: the selection is kept
      {{"AT+CPMS=\"ME\",\"SM\",\"MT\"", "AT+CPMS?"},
       "+CPMS: \"ME\",1,3,\"SM\",2,2,\"MT\",3,5",
       "1=b"},
      {{"AT+CPMS=\"MT\"", "AT+CMGR=3"},
       "+CMGR: \"REC UNREAD\",\"+b\",,\"24/05/01,10:00:00+08\"",
       "1=a 2=c 3=b"},
      {{"AT+CMGR=3"}, "+CMS ERROR: 321", "1=a 2=c"},            // beyond the SIM
      {{"AT+CPMS=\"ME\"", "AT+CMGR=2"}, "+CMGR: 0,,0", "1=b"},  // an empty slot
      {{"AT+CPMS=\"MT\"", "AT+CMGD=3"}, "OK", "1=a 2=c"},       // the phone's, through MT
      {{"AT+CPMS=\"ME\"", "AT+CMGD=4"}, "+CMS ERROR: 321", "1=b"},
      {{"AT+CMGR=1", "AT+CMGD=1,1"}, "OK", "2=c"},  // the read ones of the SIM
  };
  for (const auto& c : cases) {
    ModemModel m = quiet({.sm_capacity = 2, .me_capacity = 3});
    m.deliver("+a", "24/05/01,10:00:00+08", "a", 0, Memory::kSM);
    m.deliver("+b", "24/05/01,10:00:00+08", "b", 0, Memory::kME);
    m.deliver("+c", "24/05/01,10:00:00+08", "c");
    std::string reply;
    for (const auto& command : c.commands) reply = ask(m, command);
    EXPECT_EQ(first_line(reply), c.last_reply) << c.commands.back();
    EXPECT_EQ(listed(m), c.listing) << c.commands.back();
  }
  ModemModel cms = quiet({.empty_slot_cms_error = true});
  EXPECT_EQ(ask(cms, "AT+CMGR=4"), "\r\n+CMS ERROR: 321\r\n");
}

// A message without a stamp is stamped when it lands: at its own time when there is room (4),
// when a slot is freed for it (3), never when the store is next looked at.
TEST(ModemModel, FullMemoryKeepsAMessageUntilASlotIsFree) {
  ModemModel m = quiet({.sm_capacity = 1, .me_capacity = 1});
  m.stamp_at = [](std::int64_t at) { return std::to_string(at); };
  ask(m, "AT+CPMS=\"MT\",\"MT\",\"MT\"");
  for (const char* text : {"1", "2", "3"}) m.deliver("+1", "", text, 100000);
  m.deliver("+1", "", "4", 450000);
  EXPECT_EQ(first_line(ask(m, "AT+CPMS?", 200000)), "+CPMS: \"MT\",2,2,\"MT\",2,2,\"MT\",2,2");
  EXPECT_EQ(listed(m, 200000), "1=1 2=2");
  ask(m, "AT+CMGD=1", 300000);
  EXPECT_EQ(listed(m, 360000), "1=3 2=2");
  ask(m, "AT+CMGD=2", 430000);
  EXPECT_EQ(ask(m, "AT+CMGL=\"ALL\"", 500000),
            "\r\n+CMGL: 1,\"REC READ\",\"+1\",,\"300000\"\r\n3\r\n"
            "\r\n+CMGL: 2,\"REC UNREAD\",\"+1\",,\"450000\"\r\n4\r\n\r\nOK\r\n");
}

// The gateway's sending tests see the prompt and a text ended by Ctrl-Z; Esc cancels the text.
TEST(ModemModel, TextEntryIsCancelledByEsc) {
  ModemModel m = quiet();
  EXPECT_EQ(ask(m, "AT+CMGS=\"+123\"", 300), "\r\n> ");
  EXPECT_EQ(ask(m, "drop\x1b", 400), "\r\nOK\r\n");
  EXPECT_TRUE(m.outbox().empty());
}

// The faults the gateway's tests do not inject, on the first AT+CMGF=1 (the given text on the
// first two); the next is answered as usual.
TEST(ModemModel, Faults) {
  const std::string ok = "\r\nOK\r\n", a_b = "\r\nA\r\n\r\nB\r\n";
  struct Case {
    FaultRule rule;
    std::string first, second;  // the replies to two AT+CMGF=1
  } cases[] = {
      {{"AT+CMGF", FaultKind::kCmsError, 1, 1.0, 304}, "\r\n+CMS ERROR: 304\r\n", ok},
      {{"AT+CMGF", FaultKind::kReply, 2, 1.0, 0, "A|B"}, a_b, a_b},
      {{"AT+CMGF", FaultKind::kLongLine, 1}, std::string(300, 'X'), ok},
      {{"AT+CMGF", FaultKind::kError, -1, 0.0}, ok, ok},  // never, by a chance of 0
  };
  for (const auto& c : cases) {
    ModemModel m = quiet({}, false);
    m.add_fault(c.rule);
    EXPECT_EQ(ask(m, "AT+CMGF=1", 100), c.first) << c.first;
    EXPECT_EQ(ask(m, "AT+CMGF=1", 200), c.second) << c.first;
  }
  ModemModel garbage = quiet({}, false);
  garbage.add_fault({"AT", FaultKind::kGarbage, 1});
  const std::string junk = ask(garbage, "AT");
  EXPECT_EQ(junk.size(), 24u);
  EXPECT_EQ(junk.find_first_of("\r\n"), std::string::npos);
}

// A slow result holds the client in its wait for a submission's result as long as a test needs;
// the submission itself is accepted at once, and other numbers are not touched.
TEST(ModemModel, SlowResultOfOneNumber) {
  for (const auto& [number, result_after] : {std::pair{"+222", 2105}, std::pair{"+111", 105}}) {
    ModemModel m = quiet({.latency_ms = 5, .cmgs_delay_ms = 100});
    m.add_fault({"+222", FaultKind::kSendSlow, -1, 1.0, 0, "", 2000});
    EXPECT_EQ(ask(m, std::string("AT+CMGS=\"") + number + "\"", 1000), "\r\n> ");
    m.input("hi\x1a", 3, 5000);
    EXPECT_EQ(m.outbox().size(), 1u) << number << ": accepted at once";
    EXPECT_EQ(m.take_output(5000 + result_after - 1, 100), "") << number;
    EXPECT_EQ(m.take_output(5000 + result_after, 100), "\r\n+CMGS: 1\r\n\r\nOK\r\n") << number;
  }
}

// Each family's own habit, seen in what the model says from `at` to `until` after a command
// typed at `at` (with a power cut from 1 s to 3 s first, and a message stored, when asked).
TEST(ModemModel, ProfilesKeepTheirFamiliesHabits) {
  struct Case {
    const char* name;
    const char* profile;
    bool cut;
    std::string command;
    std::int64_t at, until;
    std::string contains, lacks;
  } cases[] = {
      {"boot lines, echo on again, SMS Ready late", "industrial-gsm", true, "AT\r", 14000, 15000,
       "AT\r\r\nOK\r\n\r\nSMS Ready\r\n", "RDY"},
      {"no MT", "lte-module", false, "AT+CPMS=\"MT\",\"MT\",\"MT\"\r", 9000, 9100,
       "\r\n+CMS ERROR: 302\r\n", "+CPMS:"},
      {"busy after a power-up", "lte-module", true, "AT+COPS=0\r", 10000, 10100,
       "\r\n+CME ERROR: 14\r\n", ""},
      {"registration lines whatever AT+CREG says", "lte-module", false, "AT+CREG=0\r", 44990, 45000,
       "OK\r\n\r\n+CREG: 1\r\n\r\n+CGREG: 1\r\n", ""},
      {"status lines", "usb-stick", false, "AT\r", 5000, 6000,
       "AT\r\r\nOK\r\n\r\n^HCSQ: \"LTE\",55,40,120,20\r\n", ""},
      {"AT^CURC=0 silences them", "usb-stick", false, "AT^CURC=0\r", 5000, 60000, "OK", "\r\n^"},
      {"alpha field", "usb-stick", false, "ATE0\rAT+CMGF=1\rAT+CMGR=1\r", 1000, 1100,
       "+CMGR: \"REC UNREAD\",\"+1\",\"\",\"24/05/01,10:00:00+00\"\r\nhi\r\n", ""},
      {"result not before 2 s", "classic-terminal", false, "AT+CMGF=1\rAT+CMGS=\"+1\"\rhi\x1a",
       1000, 3004, "> ", "+CMGS:"},
      {"result by 8 s", "classic-terminal", false, "AT+CMGF=1\rAT+CMGS=\"+1\"\rhi\x1a", 1000, 9005,
       "\r\n+CMGS: 1\r\n\r\nOK\r\n", ""},
  };
  for (const auto& c : cases) {
    ModemOptions options;
    use_profile(*profile_named(c.profile), options);
    ModemModel m(options);
    if (c.cut) m.unplug(1000, 2000, true);
    m.deliver("+1", "24/05/01,10:00:00+00", "hi");
    m.take_output(c.at - 1, 100000);
    m.input(c.command.data(), c.command.size(), c.at);
    const std::string said = m.take_output(c.until, 100000);
    EXPECT_NE(said.find(c.contains), std::string::npos) << c.name << ": " << said;
    EXPECT_TRUE(c.lacks.empty() || said.find(c.lacks) == std::string::npos)
        << c.name << ": " << said;
  }
}

TEST(ModemModel, DroppedLineLosesOutputAndComesBack) {
  ModemModel m = quiet({}, false);
  m.add_fault({"AT+CMGF", FaultKind::kDropLine, 1, 1.0, 0, "", 1000});
  const int generation = m.line_generation(0);
  m.input("AT+CMGF=1\r", 10, 100);
  EXPECT_TRUE(m.line_up(100));
  EXPECT_FALSE(m.line_up(500));
  EXPECT_EQ(m.take_output(600, 100), "");
  EXPECT_TRUE(m.line_up(1200));
  EXPECT_NE(m.line_generation(1200), generation);
}

// A locked SIM refuses the commands that need it and leaves the others to be answered (its
// answers to AT+CPIN? in each state reach the gateway in its own PIN tests).
TEST(SimCard, ALockedSimRefusesOnlyWhatNeedsIt) {
  ModemModel m = quiet({.sim_pin = "2580"}, false);
  EXPECT_EQ(ask(m, "AT+CMGF=1"), "\r\n+CME ERROR: 11\r\n");
  for (const char* free : {"AT+CREG=0", "AT+CSCS=\"GSM\"", "AT"}) {
    EXPECT_EQ(ask(m, free), "\r\nOK\r\n") << free;
  }
}

// Three wrong PINs lock the SIM behind its PUK; the right one gives the tries back, and the SIM
// is busy for a while before it is ready.
TEST(SimCard, ThreeWrongPinsThenPukTheRightOneThenBusy) {
  ModemModel m = quiet({.sim_pin = "2580", .sim_ready_ms = 5000}, false);
  EXPECT_EQ(ask(m, "AT+CPIN=\"1111\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(ask(m, "AT+CPIN=1111"), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(m.sim_pin_tries(), 1);
  EXPECT_EQ(ask(m, "AT+CPIN=\"2580\"", 100), "\r\nOK\r\n");
  EXPECT_EQ(m.sim_pin_tries(), 3);
  EXPECT_EQ(ask(m, "AT+CPIN?", 1000), "\r\n+CME ERROR: 14\r\n");
  EXPECT_EQ(ask(m, "AT+CMGF=1", 5099), "\r\n+CME ERROR: 14\r\n");
  EXPECT_EQ(ask(m, "AT+CPIN?", 5100), "\r\n+CPIN: READY\r\n\r\nOK\r\n");
  EXPECT_EQ(ask(m, "AT+CPIN=\"2580\"", 5200), "\r\n+CME ERROR: 3\r\n");

  ModemModel puk = quiet({.sim_pin = "2580"}, false);
  for (int i = 0; i < 3; ++i) ask(puk, "AT+CPIN=\"1111\"");
  EXPECT_EQ(puk.sim_state(0), SimState::kPuk);
  EXPECT_EQ(ask(puk, "AT+CPIN=\"2580\""), "\r\n+CME ERROR: 12\r\n");
}

// A power cut locks the SIM again, and the modem comes back echoing; a pulled line does not.
TEST(SimCard, PowerCutLocksItAgainAnUnplugDoesNot) {
  for (const bool power_loss : {false, true}) {
    ModemModel m = quiet({.sim_pin = "2580", .sim_ready_ms = 0}, false);
    ASSERT_EQ(ask(m, "AT+CPIN=\"2580\""), "\r\nOK\r\n");
    m.unplug(1000, 2000, power_loss);
    EXPECT_FALSE(m.line_up(1500));
    EXPECT_EQ(ask(m, "AT+CPIN?", 4000), power_loss ? "AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"
                                                   : "\r\n+CPIN: READY\r\n\r\nOK\r\n");
    EXPECT_EQ(m.sim_pin_tries(), 3);
  }
}

TEST(Scenario, Directives) {
  Scenario s;
  std::string error;
  ASSERT_TRUE(parse_scenario(
      "profile usb-stick\ncapacity SM 5\ncapacity ME 7\nstore ME +1 on the phone\n"
      "store +2 anywhere\ndeliver 500 MT +3 later\nsend-fault +222 slow 2500 count 1\n"
      "send-fault +333 silent\nsim-pin 4711 tries 1\nsim-ready 500\npower-cut 100 200\nno-sim\n",
      s, error))
      << error;
  EXPECT_EQ(s.options.habits.name, "usb-stick");
  EXPECT_EQ(std::tie(s.options.sm_capacity, s.options.me_capacity), std::tuple(5, 7));
  std::string messages;
  for (const ScenarioMessage& m : s.messages) {
    messages += std::to_string(m.at) + " " + (m.memory ? memory_name(*m.memory) : "-") + " " +
                m.sender + " " + m.text + "; ";
  }
  EXPECT_EQ(messages, "0 ME +1 on the phone; 0 - +2 anywhere; 500 MT +3 later; ");
  ASSERT_EQ(s.faults.size(), 2u);
  const FaultRule& slow = s.faults[0];
  EXPECT_EQ(std::tie(slow.match, slow.kind, slow.delay_ms, slow.count),
            std::tuple(std::string("+222"), FaultKind::kSendSlow, 2500, 1));
  EXPECT_EQ(s.faults[1].kind, FaultKind::kSendSilent);
  EXPECT_EQ(std::tie(s.options.sim_pin, s.options.sim_pin_tries, s.options.sim_ready_ms),
            std::tuple(std::string("4711"), 1, 500));
  EXPECT_EQ(s.power_cuts, (std::vector<std::pair<std::int64_t, std::int64_t>>{{100, 200}}));
  EXPECT_TRUE(s.unplugs.empty());
  EXPECT_FALSE(s.options.sim_present);
  for (const char* bad :
       {"capacity BM 5", "capacity SM -1", "store ME", "send-fault +222 slow",
        "send-fault +222 slow -1", "send-fault +222 slow soon", "send-fault +222 late 100",
        "profile no-such-modem", "sim-pin", "sim-pin 1234 tries", "sim-pin 1234 tries x",
        "sim-pin 1234 retries 2", "sim-ready", "sim-ready -1", "power-cut 5"}) {
    Scenario t;
    EXPECT_FALSE(parse_scenario(bad, t, error)) << bad;
  }
}

}  // namespace
}  // namespace mvo::sim
