#include "sim/core/modem_model.h"

#include <gtest/gtest.h>

namespace mvo::sim {
namespace {

// Types a command at `now` and returns everything the model says within 60 s.
std::string exchange(ModemModel& m, const std::string& bytes, std::int64_t now = 0) {
  m.input(bytes.data(), bytes.size(), now);
  return m.take_output(now + 60000, 100000);
}

TEST(ModemModel, EchoRules) {
  ModemModel m;
  EXPECT_EQ(exchange(m, "AT\r"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "ATE0\r"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "AT\r"), "\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "ATZ\r"), "\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "AT\r"), "AT\r\r\nOK\r\n");  // echo back on after ATZ
}

// The replies the bring-up relies on are checked through the gateway (modem_test) and gammu;
// here only what a client would not notice.
TEST(ModemModel, TextOnlyUnknownCommandsAndStrayControlBytes) {
  ModemModel m;
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

TEST(ModemModel, StoreListReadDelete) {
  ModemModel m;
  exchange(m, "ATE0\rAT+CMGF=1\r");
  m.deliver("+111", "24/05/01,10:00:00+08", "a,b,c,d,e,f,1");
  m.deliver("+222", "24/05/01,10:00:05+08", "later", 100000);
  EXPECT_EQ(exchange(m, "AT+CMGL=\"ALL\"\r"),
            "\r\n+CMGL: 1,\"REC UNREAD\",\"+111\",,\"24/05/01,10:00:00+08\"\r\na,b,c,d,e,f,1\r\n"
            "\r\nOK\r\n");
  EXPECT_EQ(
      exchange(m, "AT+CMGR=1\r"),
      "\r\n+CMGR: \"REC READ\",\"+111\",,\"24/05/01,10:00:00+08\"\r\na,b,c,d,e,f,1\r\n\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "AT+CMGD=1\r"), "\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "AT+CMGR=1\r"), "\r\n+CMGR: 0,,0\r\n\r\nOK\r\n");
  EXPECT_EQ(exchange(m, "AT+CMGL=\"ALL\"\r", 100000).substr(0, 12), "\r\n+CMGL: 1,\"");

  ModemModel cms({.empty_slot_cms_error = true});
  exchange(cms, "ATE0\rAT+CMGF=1\r");
  EXPECT_EQ(exchange(cms, "AT+CMGR=4\r"), "\r\n+CMS ERROR: 321\r\n");
}

TEST(ModemModel, TextEntryEndsWithCtrlZAndIsCancelledByEsc) {
  ModemModel m;
  exchange(m, "ATE0\rAT+CMGF=1\r");
  EXPECT_EQ(exchange(m, "AT+CMGS=\"+123\"\r", 100), "\r\n> ");
  EXPECT_EQ(exchange(m, "hello\x1a", 200), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
  ASSERT_EQ(m.outbox().size(), 1u);
  EXPECT_EQ(m.outbox()[0].number, "+123");
  EXPECT_EQ(m.outbox()[0].text, "hello\x1a");
  EXPECT_EQ(exchange(m, "AT+CMGS=\"+123\"\r", 300), "\r\n> ");
  EXPECT_EQ(exchange(m, "drop\x1b", 400), "\r\nOK\r\n");
  EXPECT_EQ(m.outbox().size(), 1u);
}

TEST(ModemModel, Faults) {
  struct Case {
    const char* name;
    FaultRule rule;
    std::string first;   // reply to the first AT+CMGF=1
    std::string second;  // reply to the second
  } cases[] = {
      {"error once", {"AT+CMGF", FaultKind::kError, 1}, "\r\nERROR\r\n", "\r\nOK\r\n"},
      {"cms error",
       {"AT+CMGF", FaultKind::kCmsError, 1, 1.0, 304},
       "\r\n+CMS ERROR: 304\r\n",
       "\r\nOK\r\n"},
      {"given text",
       {"AT+CMGF", FaultKind::kReply, 2, 1.0, 0, "A|B"},
       "\r\nA\r\n\r\nB\r\n",
       "\r\nA\r\n\r\nB\r\n"},
      {"silent", {"AT+CMGF", FaultKind::kSilent, 1}, "", "\r\nOK\r\n"},
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
