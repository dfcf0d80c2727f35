#include "sms/sms.h"

#include <gtest/gtest.h>

#include "modem/serial_line.h"
#include "tests/support/harness.h"

namespace mvo::sms {
namespace {

using sim::FaultKind;
using test::Harness;

constexpr const char* kHeader = "+CMGR: \"REC UNREAD\",\"+99912345678\",,\"24/05/01,10:00:00+08\"";

// A modem in text mode with echo off, its port open.
struct Modem : Harness {
  explicit Modem(sim::ModemOptions o = {}) : Harness(std::move(o)) {
    open_port();
    modem::WriteChars(env, "ATE0\rAT+CMGF=1\r");
    std::string line;
    while (modem::read_chars(env, line) && !line.empty()) {
    }
  }
  void reply(const std::string& prefix, const std::string& lines) {
    modem.add_fault({prefix, FaultKind::kReply, 1, 1.0, 0, lines});
  }
};

TEST(ListMessages, Outcomes) {
  constexpr int kFailed = -2;
  struct Case {
    const char* name;
    FaultKind kind;
    std::string text;
    int index;  // the first message's; -1: none found
    std::string console;
    std::vector<std::string> tags;
  } cases[] = {
      {"empty store", FaultKind::kReply, "OK", -1, "", {}},
      {"the first of two",
       FaultKind::kReply,
       "+CMGL: 2,\"REC UNREAD\",\"+1\",,\"x\"|a|+CMGL: 5,\"REC UNREAD\",\"+2\",,\"y\"|b|OK",
       2,
       "",
       {}},
      {"silence", FaultKind::kSilent, "", kFailed, "Cln CMGL3 () ", {"cmgl-3"}},
      {"ERROR", FaultKind::kError, "", kFailed, "Cln CMGL3 (ERROR) ", {"cmgl-3"}},
      {"no index field", FaultKind::kReply, "+CMGL:", kFailed, "Cln CMGL5 (+CMGL) ", {"cmgl-5"}},
      {"listing without OK",
       FaultKind::kReply,
       "+CMGL: 1,\"REC UNREAD\",\"+1\",,\"x\"|text",
       kFailed,
       "Cln CMGL6 () ",
       {"cmgl-6"}},
      {"endless RING lines end after 1000 lines",
       FaultKind::kReply,
       [] {
         std::string lines = "+CMGL: 1,\"REC UNREAD\",\"+1\",,\"x\"";
         for (int i = 0; i < 1500; ++i) lines += "|RING";
         return lines;
       }(),
       kFailed,
       "Cln CMGL6 (RING) ",
       {"cmgl-6"}},
  };
  for (const auto& c : cases) {
    Modem m;
    m.modem.add_fault({"AT+CMGL", c.kind, 1, 1.0, 0, c.text});
    m.clear_console();
    bool found = true;  // both are set anew
    int index = -7;
    EXPECT_EQ(list_messages(m.env, kListCommand, found, index), c.index != kFailed) << c.name;
    EXPECT_EQ(m.console(), c.console) << c.name;
    EXPECT_EQ(m.tags(), c.tags) << c.name;
    if (c.index == kFailed) continue;
    EXPECT_EQ(found ? index : -1, c.index) << c.name;
    std::string rest;  // the whole listing was read
    ASSERT_TRUE(modem::read_chars(m.env, rest)) << c.name;
    EXPECT_EQ(rest, "") << c.name;
  }
}

// A reply without a header ("+CMGR: 0,,0", OK alone) is read, and leaves the sender as it was.
TEST(ReadMessage, RepliesAndFailures) {
  struct Case {
    const char* name;
    std::string reply;
    bool ok;
    std::string text;     // when it reads
    std::string sender;   // when it reads
    std::string zone;     // when it reads a header
    std::string console;  // when it fails
    const char* tag;      // when it fails
  } cases[] = {
      {"header, text and time stamp", std::string(kHeader) + "|a,b,c,d,e,f,3|OK", true,
       "a,b,c,d,e,f,3", "\"+99912345678\"", "+08"},
      {"a zone west of Greenwich", "+CMGR: \"REC READ\",\"+1\",,\"24/05/01,10:00:00-04\"|x|OK",
       true, "x", "\"+1\"", "-04"},
      {"empty slot", "+CMGR: 0,,0|OK", true, "OK", "\"kept\""},
      {"OK", "OK", true, "", "\"kept\""},
      {"empty text", std::string(kHeader) + "|OK", false, "", "", "", "Cln CMGR10 () ", "cmgr10"},
      {"two-line text", std::string(kHeader) + "|line1|line2|OK", false, "", "", "",
       "Cln CMGR11 (line2) ", "cmgr11"},
      {"no sender field", "+CMGR: \"REC UNREAD\"", false, "", "", "",
       "Cln CMGR6 (+CMGR: \"REC UNREAD\") ", "cmgr6"},
      {"no time field", "+CMGR: 1,\"+1\",,\"24/05/01", false, "", "", "", "Cln CMGR8 (+CMGR: 1) ",
       "cmgr8"},
      {"the modem cannot read the slot", "ERROR", false, "", "", "", "Cln CMGR5 (ERROR) ", "cmgr5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Modem m;
    m.reply("AT+CMGR", c.reply);
    m.clear_console();
    ReceivedMessage msg{"", "\"kept\"", "d", "t", "z"};
    ASSERT_EQ(read_message(m.env, 1, msg), c.ok);
    if (!c.ok) {
      EXPECT_EQ(m.console(), c.console);
      EXPECT_EQ(m.tags(), std::vector<std::string>{c.tag});
      continue;
    }
    EXPECT_EQ(msg.text, c.text);
    EXPECT_EQ(msg.sender, c.sender);
    if (c.zone.empty()) continue;
    EXPECT_EQ(msg.date, "24/05/01");
    EXPECT_EQ(msg.time, "10:00:00");
    EXPECT_EQ(msg.zone, c.zone);
  }
}

TEST(DeleteMessage, ErrorIsCmgd3) {
  Modem m;
  m.modem.add_fault({"AT+CMGD", FaultKind::kError, 1});
  m.clear_console();
  EXPECT_FALSE(delete_message(m.env, 1));
  EXPECT_EQ(m.console(), "Cln CMGD3 (ERROR) ");
  EXPECT_EQ(m.tags(), std::vector<std::string>{"cmgd3"});
}

TEST(SendSms, Outcomes) {
  const std::string number = "+99912345678";
  struct Case {
    FaultKind kind;  // kError: no fault
    bool sent;
    const char* tag;  // "": none
    std::string console;
  } cases[] = {
      {FaultKind::kError, true, "", ""},
      {FaultKind::kSendCmsError, true, "cmgs6.cont.",
       "CMGS6((+CMS ERROR: 500)).Probably wrong destination((+99912345678))."},
      {FaultKind::kSendOkOnly, false, "cmgs5",
       "CMGS5((OK)).Failed to send_sms1  (text=hi\x1a) (cellular=+99912345678).\n "},
      {FaultKind::kSendCmgsThenError, false, "cmgs7",
       "CMGS7((ERROR))..Failed to send_sms1  (text=hi\x1a) (cellular=+99912345678).\n "},
      {FaultKind::kSendSilent, true, "cmgs6.cont.",
       "CMGS6(()).Probably wrong destination((+99912345678))."},
  };
  for (const auto& c : cases) {
    Modem m;
    if (c.kind != FaultKind::kError) m.modem.add_fault({number, c.kind, 1});
    m.clear_console();
    const std::size_t before = m.port().written().size();
    EXPECT_EQ(send_sms(m.env, "hi\x1a", number), c.sent) << c.console;
    EXPECT_EQ(m.console(), c.console);
    EXPECT_EQ(m.tags(), *c.tag ? std::vector<std::string>{c.tag} : std::vector<std::string>{});
    EXPECT_EQ(m.port().written().substr(before, 23), "AT+CMGS=\"+99912345678\"\r") << c.console;
    EXPECT_EQ(m.port().timeouts().read_ms, 3000u) << c.console;
  }
  Modem ok;
  ASSERT_TRUE(send_sms(ok.env, "hi\x1a", number));
  ASSERT_EQ(ok.modem.outbox().size(), 1u);
  EXPECT_EQ(ok.modem.outbox()[0].text, "hi\x1a");
}

std::vector<config::Station> stations(std::initializer_list<const char*> numbers) {
  std::vector<config::Station> out;
  for (const char* n : numbers) out.push_back({std::string("S") + n, n});
  return out;
}

TEST(ReadSms, PollsUntilAMessageFromAStation) {
  Modem m;
  m.modem.deliver("+99912345678", "24/05/01,10:00:00+08", "a,b,c,d,e,f,3", m.now() + 12000);
  m.clear_console();
  std::string text;
  int index = -1;
  ASSERT_TRUE(read_sms(m.env, text, index, stations({"111", "+99912345678"})));
  EXPECT_EQ(text, "a,b,c,d,e,f,3");
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(m.modem.store(m.now()).empty());
  EXPECT_EQ(m.read_log("+99912345678.csv"), "  +08 , 24/05/01 , 10:00:00  , a,b,c,d,e,f,3 \r\n");
  std::size_t spinners = 0;
  for (std::size_t p = 0; (p = m.console().find('\r', p)) != std::string::npos; ++p) ++spinners;
  EXPECT_EQ(spinners, 9u);  // three empty listings
}

TEST(ReadSms, SenderAndLengthChecks) {
  struct Case {
    const char* name;
    const char* sender;
    std::string text;
    std::vector<config::Station> table;
    bool accepted;
    int index;
    std::string console;
    std::vector<std::string> tags;
  } cases[] = {
      {"first of two equal numbers",
       "+5",
       "t",
       stations({"1", "2", "3", "4", "+5", "6", "7", "8", "9", "+5"}),
       true,
       4,
       "",
       {}},
      {"00 prefix is another number",
       "+99912345678",
       "t",
       stations({"0099912345678", "99912345678"}),
       false,
       -1,
       "SMS from un-authorized: +99912345678" + std::string(20, ' ') + "\n",
       {"SMS from UFO"}},
      {"60 characters", "+5", std::string(60, 'x'), stations({"+5"}), true, 0, "", {}},
      {"61 characters",
       "+5",
       std::string(61, 'x'),
       stations({"+5"}),
       false,
       0,
       "SMS from is too long: " + std::string(61, 'x') + std::string(14, ' ') + "\n",
       {"SMS too long"}},
  };
  for (const auto& c : cases) {
    Modem m;
    m.modem.deliver(c.sender, "24/05/01,10:00:00+08", c.text);
    m.clear_console();
    m.clock.stop_at(m.now() + 20000);
    std::string text;
    int index = -1;
    bool accepted = false;
    try {
      accepted = read_sms(m.env, text, index, c.table);
    } catch (const sim::SimulationEnd&) {
    }
    EXPECT_EQ(accepted, c.accepted) << c.name;
    EXPECT_EQ(index, c.index) << c.name;
    EXPECT_EQ(m.console().substr(0, c.console.size()), c.console) << c.name;
    EXPECT_EQ(m.tags(), c.tags) << c.name;
    EXPECT_TRUE(m.modem.store(m.now()).empty()) << c.name;
  }
}

TEST(ReadSms, ReadFailureDeletesTheMessageFirst) {
  Modem m;
  m.modem.deliver("+5", "24/05/01,10:00:00+08", "");
  m.clear_console();
  std::string text;
  int index = 0;
  EXPECT_FALSE(read_sms(m.env, text, index, stations({"+5"})));
  EXPECT_TRUE(m.modem.store(m.now()).empty());
  EXPECT_EQ(m.tags(), (std::vector<std::string>{"cmgr10", "read_sms1"}));
  EXPECT_FALSE(m.log_exists("+5.csv"));
}

TEST(ReadSms, EmptySlotIsNeverAttributedToThePreviousSender) {
  Modem m;
  m.modem.deliver("+5", "24/05/01,10:00:00+08", "1,2,3,4,5,6,0");
  m.modem.deliver("+5", "24/05/01,10:00:01+08", "second");
  // The second read finds the slot emptied under it.
  m.modem.add_fault({"AT+CMGR=2", FaultKind::kReply, 1, 1.0, 0, "+CMGR: 0,,0|OK"});
  std::string text;
  int index = 0;
  ASSERT_TRUE(read_sms(m.env, text, index, stations({"+5"})));
  m.clear_console();
  m.clock.stop_at(m.now() + 8000);
  try {
    read_sms(m.env, text, index, stations({"+5"}));
  } catch (const sim::SimulationEnd&) {
  }
  EXPECT_EQ(m.console().substr(0, 45), "SMS from un-authorized: " + std::string(20, ' ') + "\n");
  EXPECT_EQ(m.read_log("+5.csv"), "  +08 , 24/05/01 , 10:00:00  , 1,2,3,4,5,6,0 \r\n");
}

TEST(ParseReport, SevenFieldsAndTheStatusCode) {
  const std::string content = "Illegal SMS content: '";
  struct Case {
    const char* text;
    bool ok;
    int code;
    std::string console;
    std::string tag;
  } cases[] = {
      {"a,b,c,d,e,f,3", true, 3, "", ""},
      {"a,,b,c,d,e,f,1", true, 1, "", ""},
      {"a,b,c,d,e,f, 19", true, 19, "", ""},
      {"a,b,c,d,e,f,7,extra", true, 7, "", ""},
      {"a,b,c,d,e,f,3 x", true, 3, "", ""},
      {"a,b,c,d,e,f", false, 0, content + "a,b,c,d,e,f'" + std::string(24, ' ') + "\n",
       "Illegal SMS content 7"},
      {"", false, 0, content + "'" + std::string(15, ' ') + "\n", "Illegal SMS content 2"},
      {",,,", false, 0, content + ",,,'" + std::string(15, ' ') + "\n", "Illegal SMS content 2"},
      {"a,b", false, 0, content + "a,b'" + std::string(17, ' ') + "\n", "Illegal SMS content 3"},
      {"a,b,c", false, 0, content + "a,b,c'" + std::string(22, ' ') + "\n",
       "Illegal SMS content 4"},
      {"a,b,c,d", false, 0, content + "a,b,c,d'" + std::string(16, ' ') + "\n",
       "Illegal SMS content 5"},
      {"a,b,c,d,e", false, 0, content + "a,b,c,d,e'" + std::string(22, ' ') + "\n",
       "Illegal SMS content 6"},
      {"a,b,c,d,e,f,", false, 0,
       "Illegal status in SMS: 'a,b,c,d,e,f,'" + std::string(22, ' ') + "\n",
       "Illegal SMS status flag"},
      {"a,b,c,d,e,f,-1", false, 0,
       "Illegal status in SMS: 'a,b,c,d,e,f,-1'" + std::string(22, ' ') + "\n",
       "Illegal SMS status flag"},
      {"a,b,c,d,e,f,20", false, 0,
       "Illegal status in SMS: 'a,b,c,d,e,f,20'" + std::string(22, ' ') + "\n",
       "Illegal SMS status flag"},
  };
  for (const auto& c : cases) {
    Harness h;
    Report fields;
    int code = -1;
    EXPECT_EQ(parse_report(h.env, c.text, fields, code, 20), c.ok) << c.text;
    EXPECT_EQ(h.console(), c.console) << c.text;
    if (c.ok) {
      EXPECT_EQ(code, c.code) << c.text;
      EXPECT_TRUE(h.tags().empty()) << c.text;
    } else {
      EXPECT_EQ(h.tags(), std::vector<std::string>{c.tag}) << c.text;
    }
  }
  Harness h;
  Report fields;
  int code = 0;
  ASSERT_TRUE(parse_report(h.env, "a,,b,c,d,e,f,1", fields, code, 20));
  EXPECT_EQ(fields, (Report{"a", "b", "c", "d", "e", "f", "1"}));
}

}  // namespace
}  // namespace mvo::sms
