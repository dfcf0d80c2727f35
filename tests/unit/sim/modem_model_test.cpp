#include "sim/core/modem_model.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "sim/core/scenario.h"

namespace mvo::sim {
namespace {

// Types a command at `now` and returns everything the model says within 60 s.
std::string exchange(ModemModel& m, const std::string& bytes, std::int64_t now = 0) {
  m.input(bytes.data(), bytes.size(), now);
  return m.take_output(now + 60000, 100000);
}

std::string first_line(const std::string& reply) {
  const std::size_t start = reply.find_first_not_of("\r\n");
  if (start == std::string::npos) return "";
  return reply.substr(start, reply.find('\r', start) - start);
}

// What AT+CMGL="ALL" lists, as "<index>=<text> ...".
std::string listed(ModemModel& m, std::int64_t now = 0) {
  std::istringstream lines(exchange(m, "AT+CMGL=\"ALL\"\r", now));
  std::string line, out;
  while (std::getline(lines, line)) {
    if (line.rfind("+CMGL: ", 0) != 0) continue;
    const std::string index = line.substr(7, line.find(',') - 7);
    std::getline(lines, line);
    out += (out.empty() ? "" : " ") + index + "=" + line.substr(0, line.size() - 1);
  }
  return out;
}

// The replies the bring-up relies on are checked through the gateway (modem_test) and gammu;
// here only what a client would not notice.
TEST(ModemModel, EchoTextOnlyUnknownCommandsAndStrayControlBytes) {
  ModemModel m;
  EXPECT_EQ(exchange(m, "AT\r"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "ATE0\r"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "ATZ\r"), "\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "AT\r"), "AT\r\r\nOK\r\n");  // echo back on after ATZ
  exchange(m, "ATE0\r");
  EXPECT_EQ(exchange(m, "AT+CMGF=0\r"), "\r\nERROR\r\n");
  EXPECT_EQ(exchange(m, "AT+BOGUS\r"), "\r\nERROR\r\n");
  EXPECT_EQ(exchange(m,
                     "\x1a\x1b"
                     "AT\r"),
            "\r\nOK\r\n");
}

TEST(ModemModel, ReplyTiming) {
  ModemModel m({.latency_ms = 7, .cops_delay_ms = 2000});
  exchange(m, "ATE0\r");
  m.input("AT+COPS=0\r", 10, 1000);
  EXPECT_EQ(m.next_output_time(1000), 3007);
  EXPECT_EQ(m.take_output(3006, 100), "");
  EXPECT_EQ(m.take_output(3007, 100), "\r\nOK\r\n");
}

// The listing and reading of a stored message reach the gateway byte for byte in its reception
// tests; here what it does not see: a deleted slot read, and a later message taking the slot.
TEST(ModemModel, StoreListReadDelete) {
  ModemModel m;
  exchange(m, "ATE0\rAT+CMGF=1\r");
  m.deliver("+111", "24/05/01,10:00:00+08", "a,b,c,d,e,f,1");
  m.deliver("+222", "24/05/01,10:00:05+08", "later", 100000);
  EXPECT_EQ(first_line(exchange(m, "AT+CMGR=1\r")),
            "+CMGR: \"REC UNREAD\",\"+111\",,\"24/05/01,10:00:00+08\"");
  EXPECT_EQ(first_line(exchange(m, "AT+CMGR=1\r")),
            "+CMGR: \"REC READ\",\"+111\",,\"24/05/01,10:00:00+08\"");
  EXPECT_EQ(exchange(m, "AT+CMGD=1\r"), "\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "AT+CMGR=1\r"), "\r\n+CMGR: 0,,0\r\n\r\nOK\r\n");
  EXPECT_EQ(listed(m, 100000), "1=later");

  ModemModel cms({.empty_slot_cms_error = true});
  exchange(cms, "ATE0\rAT+CMGF=1\r");
  EXPECT_EQ(exchange(cms, "AT+CMGR=4\r"), "\r\n+CMS ERROR: 321\r\n");
}

// A SIM of 2 slots and a phone of 3 holding "a" (SIM), "b" (phone) and "c" (the receive
// memory, the SIM at power-up); each case sends its commands, then lists.
TEST(ModemModel, MemoriesKeepTheirOwnSlots) {
  struct Case {
    const char* name;
    std::vector<std::string> commands;
    std::string last_reply;  // first line of the reply to the last command
    std::string listing;     // then AT+CMGL="ALL" of the memory selected
  } cases[] = {
      {"SIM alone", {"AT+CPMS=\"SM\""}, "+CPMS: 2,2,2,2,2,2", "1=a 2=c"},
      {"phone alone, own indices", {"AT+CPMS=\"ME\",\"ME\""}, "+CPMS: 1,3,1,3,2,2", "1=b"},
      {"MT: the SIM's slots, then the phone's",
       {"AT+CPMS=\"MT\",\"MT\",\"MT\""},
       "+CPMS: 3,5,3,5,3,5",
       "1=a 2=c 3=b"},
      {"unknown memory refused, selection kept", {"AT+CPMS=\"BM\""}, "+CMS ERROR: 302", "1=a 2=c"},
      {"query names each memory",
       {"AT+CPMS=\"ME\",\"SM\",\"MT\"", "AT+CPMS?"},
       "+CPMS: \"ME\",1,3,\"SM\",2,2,\"MT\",3,5",
       "1=b"},
      {"read through MT reaches the phone",
       {"AT+CPMS=\"MT\"", "AT+CMGR=3"},
       "+CMGR: \"REC UNREAD\",\"+b\",,\"24/05/01,10:00:00+08\"",
       "1=a 2=c 3=b"},
      {"slot beyond the SIM", {"AT+CMGR=3"}, "+CMS ERROR: 321", "1=a 2=c"},
      {"empty slot of the phone", {"AT+CPMS=\"ME\"", "AT+CMGR=2"}, "+CMGR: 0,,0", "1=b"},
      {"delete through MT reaches the phone", {"AT+CPMS=\"MT\"", "AT+CMGD=3"}, "OK", "1=a 2=c"},
      {"delete beyond the phone", {"AT+CPMS=\"ME\"", "AT+CMGD=4"}, "+CMS ERROR: 321", "1=b"},
      {"delete the read ones of the SIM", {"AT+CMGR=1", "AT+CMGD=1,1"}, "OK", "2=c"},
  };
  for (const auto& c : cases) {
    ModemModel m({.sm_capacity = 2, .me_capacity = 3});
    exchange(m, "ATE0\rAT+CMGF=1\r");
    m.deliver("+a", "24/05/01,10:00:00+08", "a", 0, Memory::kSM);
    m.deliver("+b", "24/05/01,10:00:00+08", "b", 0, Memory::kME);
    m.deliver("+c", "24/05/01,10:00:00+08", "c");
    std::string reply;
    for (const auto& command : c.commands) reply = exchange(m, command + '\r', 0);
    EXPECT_EQ(first_line(reply), c.last_reply) << c.name;
    EXPECT_EQ(listed(m), c.listing) << c.name;
  }
}

// A message without a stamp is stamped when it lands: at its own time when there is room (4),
// when a slot is freed for it (3), never when the store is next looked at.
TEST(ModemModel, FullMemoryKeepsAMessageUntilASlotIsFree) {
  ModemModel m({.sm_capacity = 1, .me_capacity = 1});
  m.stamp_at = [](std::int64_t at) { return std::to_string(at); };
  exchange(m, "ATE0\rAT+CMGF=1\rAT+CPMS=\"MT\",\"MT\",\"MT\"\r");
  for (const char* text : {"1", "2", "3"}) m.deliver("+1", "", text, 100000);
  m.deliver("+1", "", "4", 450000);
  EXPECT_EQ(first_line(exchange(m, "AT+CPMS?\r", 200000)),
            "+CPMS: \"MT\",2,2,\"MT\",2,2,\"MT\",2,2");
  EXPECT_EQ(listed(m, 200000), "1=1 2=2");
  exchange(m, "AT+CMGD=1\r", 300000);
  EXPECT_EQ(listed(m, 360000), "1=3 2=2");
  exchange(m, "AT+CMGD=2\r", 430000);
  EXPECT_EQ(exchange(m, "AT+CMGL=\"ALL\"\r", 500000),
            "\r\n+CMGL: 1,\"REC READ\",\"+1\",,\"300000\"\r\n3\r\n"
            "\r\n+CMGL: 2,\"REC UNREAD\",\"+1\",,\"450000\"\r\n4\r\n\r\nOK\r\n");
}

// The gateway's sending tests see the prompt and a text ended by Ctrl-Z; Esc cancels the text.
TEST(ModemModel, TextEntryIsCancelledByEsc) {
  ModemModel m;
  exchange(m, "ATE0\rAT+CMGF=1\r");
  EXPECT_EQ(exchange(m, "AT+CMGS=\"+123\"\r", 300), "\r\n> ");
  EXPECT_EQ(exchange(m, "drop\x1b", 400), "\r\nOK\r\n");
  EXPECT_TRUE(m.outbox().empty());
}

TEST(ModemModel, Faults) {
  struct Case {
    const char* name;
    FaultRule rule;
    std::string first;   // reply to the first AT+CMGF=1
    std::string second;  // reply to the second
  } cases[] = {
      {"cms error",
       {"AT+CMGF", FaultKind::kCmsError, 1, 1.0, 304},
       "\r\n+CMS ERROR: 304\r\n",
       "\r\nOK\r\n"},
      {"given text",
       {"AT+CMGF", FaultKind::kReply, 2, 1.0, 0, "A|B"},
       "\r\nA\r\n\r\nB\r\n",
       "\r\nA\r\n\r\nB\r\n"},
      {"long line", {"AT+CMGF", FaultKind::kLongLine, 1}, std::string(300, 'X'), "\r\nOK\r\n"},
      {"never by chance 0", {"AT+CMGF", FaultKind::kError, -1, 0.0}, "\r\nOK\r\n", "\r\nOK\r\n"},
  };
  for (const auto& c : cases) {
    ModemModel m;
    exchange(m, "ATE0\r");
    m.add_fault(c.rule);
    EXPECT_EQ(exchange(m, "AT+CMGF=1\r", 100), c.first) << c.name;
    EXPECT_EQ(exchange(m, "AT+CMGF=1\r", 200), c.second) << c.name;
  }
  ModemModel garbage;
  exchange(garbage, "ATE0\r");
  garbage.add_fault({"AT", FaultKind::kGarbage, 1});
  const std::string junk = exchange(garbage, "AT\r");
  EXPECT_EQ(junk.size(), 24u);
  EXPECT_EQ(junk.find_first_of("\r\n"), std::string::npos);
}

FaultRule always(const char* match, FaultKind kind, std::int64_t delay_ms) {
  return {match, kind, -1, 1.0, 0, "", delay_ms};
}

// A slow prompt or a slow result holds the client in one wait of a submission for as long as a
// test needs; other numbers and the submission itself are not touched.
TEST(ModemModel, SlowPromptAndSlowResultOfOneNumber) {
  struct Case {
    const char* name;
    FaultRule rule;
    const char* number;
    std::int64_t prompt_after;  // ms after AT+CMGS
    std::int64_t result_after;  // ms after Ctrl-Z
  } cases[] = {
      {"no fault", always("AT+CMGS=\"+999\"", FaultKind::kSlow, 1500), "+222", 5, 105},
      {"slow prompt", always("AT+CMGS=\"+222\"", FaultKind::kSlow, 1500), "+222", 1505, 105},
      {"slow result", always("+222", FaultKind::kSendSlow, 2000), "+222", 5, 2105},
      {"slow result of another number", always("+222", FaultKind::kSendSlow, 2000), "+111", 5, 105},
  };
  for (const auto& c : cases) {
    ModemModel m({.latency_ms = 5, .cmgs_delay_ms = 100});
    exchange(m, "ATE0\rAT+CMGF=1\r");
    m.add_fault(c.rule);
    const std::string command = std::string("AT+CMGS=\"") + c.number + "\"\r";
    m.input(command.data(), command.size(), 1000);
    EXPECT_EQ(m.next_output_time(1000), 1000 + c.prompt_after) << c.name;
    EXPECT_EQ(m.take_output(1000 + c.prompt_after, 100), "\r\n> ") << c.name;
    m.input("hi\x1a", 3, 5000);
    EXPECT_EQ(m.outbox().size(), 1u) << c.name << ": accepted at once";
    EXPECT_EQ(m.take_output(5000 + c.result_after - 1, 100), "") << c.name;
    EXPECT_EQ(m.take_output(5000 + c.result_after, 100), "\r\n+CMGS: 1\r\n\r\nOK\r\n") << c.name;
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
      {"SM chosen", "lte-module", false, "AT+CPMS=\"SM\",\"SM\",\"SM\"\r", 9000, 9100,
       "\r\n+CPMS: 1,40,1,40,1,40\r\n", ""},
      {"busy after a power-up", "lte-module", true, "AT+COPS=0\r", 10000, 10100,
       "\r\n+CME ERROR: 14\r\n", ""},
      {"registration lines whatever AT+CREG says", "lte-module", false, "AT+CREG=0\r", 44990, 45000,
       "OK\r\n\r\n+CREG: 1\r\n\r\n+CGREG: 1\r\n", ""},
      {"status lines", "usb-stick", false, "AT\r", 5000, 6000,
       "AT\r\r\nOK\r\n\r\n^HCSQ: \"LTE\",55,40,120,20\r\n", ""},
      {"AT^CURC=0 silences them", "usb-stick", false, "AT^CURC=0\r", 5000, 60000, "OK", "\r\n^"},
      {"^BOOT after a power-up", "usb-stick", true, "AT\r", 2000, 3100, "^BOOT:", ""},
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
    if (!c.lacks.empty()) {
      EXPECT_EQ(said.find(c.lacks), std::string::npos) << c.name << ": " << said;
    }
  }
}

TEST(Scenario, MemoriesCapacitiesSendFaultsAndProfiles) {
  Scenario s;
  std::string error;
  ASSERT_TRUE(parse_scenario(
      "profile usb-stick\ncapacity SM 5\ncapacity ME 7\nstore ME +1 on the phone\n"
      "store +2 anywhere\ndeliver 500 MT +3 later\nsend-fault +222 slow 2500 count 1\n"
      "send-fault +333 silent",
      s, error))
      << error;
  EXPECT_EQ(s.options.habits.name, "usb-stick");
  EXPECT_EQ(s.options.sm_capacity, 5);
  EXPECT_EQ(s.options.me_capacity, 7);
  ASSERT_EQ(s.messages.size(), 3u);
  EXPECT_EQ(s.messages[0].memory, Memory::kME);
  EXPECT_EQ(s.messages[0].text, "on the phone");
  EXPECT_EQ(s.messages[1].memory, std::nullopt);
  EXPECT_EQ(s.messages[1].sender, "+2");
  EXPECT_EQ(s.messages[2].memory, Memory::kMT);
  EXPECT_EQ(s.messages[2].at, 500);
  ASSERT_EQ(s.faults.size(), 2u);
  EXPECT_EQ(s.faults[0].match, "+222");
  EXPECT_EQ(s.faults[0].kind, FaultKind::kSendSlow);
  EXPECT_EQ(s.faults[0].delay_ms, 2500);
  EXPECT_EQ(s.faults[0].count, 1);
  EXPECT_EQ(s.faults[1].kind, FaultKind::kSendSilent);
  for (const char* bad : {"capacity BM 5", "capacity SM -1", "store ME", "send-fault +222 slow",
                          "send-fault +222 slow -1", "send-fault +222 slow soon",
                          "send-fault +222 late 100", "profile no-such-modem"}) {
    EXPECT_FALSE(parse_scenario(bad, s, error)) << bad;
  }
}

TEST(ModemModel, DroppedLineLosesOutputAndComesBack) {
  ModemModel m;
  m.add_fault({"AT+CMGF", FaultKind::kDropLine, 1, 1.0, 0, "", 1000});
  exchange(m, "ATE0\r");
  const int generation = m.line_generation(0);
  m.input("AT+CMGF=1\r", 10, 100);
  EXPECT_TRUE(m.line_up(100));
  EXPECT_FALSE(m.line_up(500));
  EXPECT_EQ(m.take_output(600, 100), "");
  EXPECT_TRUE(m.line_up(1200));
  EXPECT_NE(m.line_generation(1200), generation);
  m.unplug(2000, 0);
  EXPECT_FALSE(m.line_up(99999));
  m.replug(100000);
  EXPECT_TRUE(m.line_up(100000));
}

}  // namespace
}  // namespace mvo::sim
