#include "sms/sms.h"

#include <gtest/gtest.h>

#include <cctype>
#include <tuple>

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

// The failed step's number stands in the console ("Cln CMGL3") and in the tag ("cmgl-3").
std::vector<std::string> tag_of(const std::string& console, const char* prefix) {
  if (console.empty()) return {};
  const std::string step = console.substr(8, console.find(' ', 8) - 8);
  return {prefix + step};
}

TEST(ListMessages, Outcomes) {
  constexpr int kFailed = -2;
  const std::string first = "+CMGL: 1,\"REC UNREAD\",\"+1\",,\"x\"";
  std::string rings;
  for (int i = 0; i < 1500; ++i) rings += "|RING";
  struct Case {
    const char* name;
    FaultKind kind;
    std::string text;
    int index;  // the first message's; -1: none found
    std::string console;
  } cases[] = {
      {"empty store", FaultKind::kReply, "OK", -1, ""},
      {"the first of two", FaultKind::kReply,
       "+CMGL: 2,\"REC UNREAD\",\"+1\",,\"x\"|a|+CMGL: 5,\"REC UNREAD\",\"+2\",,\"y\"|b|OK", 2, ""},
      {"ERROR", FaultKind::kError, "", kFailed, "Cln CMGL3 (ERROR) "},
      {"no index field", FaultKind::kReply, "+CMGL:", kFailed, "Cln CMGL5 (+CMGL) "},
      {"listing without OK", FaultKind::kReply, first + "|text", kFailed, "Cln CMGL6 () "},
      {"endless RING lines end after 1000 lines", FaultKind::kReply, first + rings, kFailed,
       "Cln CMGL6 (RING) "},
  };
  for (const auto& c : cases) {
    Modem m;
    m.modem.add_fault({"AT+CMGL", c.kind, 1, 1.0, 0, c.text});
    m.clear_console();
    bool found = true;  // both are set anew
    int index = -7;
    EXPECT_EQ(list_messages(m.env, kListCommand, found, index), c.index != kFailed) << c.name;
    EXPECT_EQ(m.console(), c.console) << c.name;
    EXPECT_EQ(m.tags(), tag_of(c.console, "cmgl-")) << c.name;
    if (c.index == kFailed) continue;
    EXPECT_EQ(found ? index : -1, c.index) << c.name;
    std::string rest;  // the whole listing was read
    ASSERT_TRUE(modem::read_chars(m.env, rest)) << c.name;
    EXPECT_EQ(rest, "") << c.name;
  }
}

// The reply to AT+CMGR: the message read (text, sender, date, time, zone), or the console of the
// failure. A reply without a header ("+CMGR: 0,,0", OK alone) leaves the sender and stamp as
// they were.
TEST(ReadMessage, RepliesAndFailures) {
  const std::string header(kHeader);
  const std::pair<std::string, std::string> cases[] = {
      {header + "|a,b,c,d,e,f,3|OK", "a,b,c,d,e,f,3 \"+99912345678\" 24/05/01 10:00:00 +08"},
      {"+CMGR: \"REC READ\",\"+1\",,\"24/05/01,10:00:00-04\"|x|OK",
       "x \"+1\" 24/05/01 10:00:00 -04"},
      {"+CMGR: 0,,0|OK", "OK \"kept\" d t z"},  // an empty slot
      {"OK", " \"kept\" d t z"},
      {header + "|OK", "Cln CMGR10 () "},  // empty text
      {header + "|line1|line2|OK", "Cln CMGR11 (line2) "},
      {"+CMGR: \"REC UNREAD\"", "Cln CMGR6 (+CMGR: \"REC UNREAD\") "},  // no sender field
      {"+CMGR: 1,\"+1\",,\"24/05/01", "Cln CMGR8 (+CMGR: 1) "},         // no time field
      {"ERROR", "Cln CMGR5 (ERROR) "},  // the modem cannot read the slot
  };
  for (const auto& [reply, outcome] : cases) {
    Modem m;
    m.reply("AT+CMGR", reply);
    m.clear_console();
    ReceivedMessage msg{"", "\"kept\"", "d", "t", "z"};
    const bool read = read_message(m.env, 1, msg);
    EXPECT_EQ(read, m.console().empty()) << reply;
    EXPECT_EQ(read ? msg.text + " " + msg.sender + " " + msg.date + " " + msg.time + " " + msg.zone
                   : m.console(),
              outcome)
        << reply;
    EXPECT_EQ(m.tags(), tag_of(m.console(), "cmgr")) << reply;
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

// Each fault of the send: whether the text counts as sent, and the console. The tag is the
// console's step in lower case, with ".cont." where the gateway goes on to the next destination.
TEST(SendSms, Outcomes) {
  const std::string number = "+99912345678";
  const std::tuple<FaultKind, bool, std::string> cases[] = {
      {FaultKind::kError, true, ""},  // kError: no fault
      {FaultKind::kSendCmsError, true,
       "CMGS6((+CMS ERROR: 500)).Probably wrong destination((+99912345678))."},
      {FaultKind::kSendOkOnly, false,
       "CMGS5((OK)).Failed to send_sms1  (text=hi\x1a) (cellular=+99912345678).\n "},
      {FaultKind::kSendCmgsThenError, false,
       "CMGS7((ERROR))..Failed to send_sms1  (text=hi\x1a) (cellular=+99912345678).\n "},
      {FaultKind::kSendSilent, true, "CMGS6(()).Probably wrong destination((+99912345678))."},
  };
  for (const auto& [kind, sent, console] : cases) {
    Modem m;
    if (kind != FaultKind::kError) m.modem.add_fault({number, kind, 1});
    m.clear_console();
    const std::size_t before = m.port().written().size();
    EXPECT_EQ(send_sms(m.env, "hi\x1a", number), sent) << console;
    EXPECT_EQ(m.console(), console);
    std::string tag = console.substr(0, console.find('('));
    for (char& ch : tag) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (sent && !tag.empty()) tag += ".cont.";
    EXPECT_EQ(m.tags(), tag.empty() ? std::vector<std::string>{} : std::vector<std::string>{tag});
    EXPECT_EQ(m.port().written().substr(before, 23), "AT+CMGS=\"+99912345678\"\r") << console;
    EXPECT_EQ(m.port().timeouts().read_ms, 3000u) << console;
    if (kind == FaultKind::kError) {
      EXPECT_EQ(m.modem.outbox().at(0).text, "hi\x1a");  // the text, as given
    }
  }
}

std::vector<config::Station> stations(std::initializer_list<const char*> numbers) {
  std::vector<config::Station> out;
  for (const char* n : numbers) out.push_back({std::string("S") + n, n});
  return out;
}

TEST(ReadSms, SenderAndLengthChecks) {
  const std::string x60(60, 'x'), x61(61, 'x');
  struct Case {
    const char* sender;
    std::string text;
    std::vector<config::Station> table;
    int index;            // the station found; -1: none
    std::string console;  // "": accepted
    const char* tag;
  } cases[] = {
      // The first of two equal numbers.
      {"+5", "t", stations({"1", "2", "3", "4", "+5", "6", "7", "+5"}), 4, "", ""},
      // A 00 prefix is another number.
      {"+99912345678", "t", stations({"0099912345678", "99912345678"}), -1,
       "SMS from un-authorized: +99912345678" + std::string(20, ' ') + "\n", "SMS from UFO"},
      {"+5", x60, stations({"+5"}), 0, "", ""},
      {"+5", x61, stations({"+5"}), 0, "SMS from is too long: " + x61 + std::string(14, ' ') + "\n",
       "SMS too long"},
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
    EXPECT_EQ(accepted, c.console.empty()) << c.text;
    EXPECT_EQ(index, c.index) << c.text;
    EXPECT_EQ(m.console().substr(0, c.console.size()), c.console) << c.text;
    EXPECT_EQ(m.tags(), *c.tag ? std::vector<std::string>{c.tag} : std::vector<std::string>{});
    EXPECT_TRUE(m.modem.store(m.now()).empty()) << c.text;
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

// Each text: its seventh field, whose number is the status code (runs of commas count as one), or
// the tag of its refusal (the field found missing first, or the status flag) and the blanks the
// console puts after the text for it.
TEST(ParseReport, SevenFieldsAndTheStatusCodeOrTheRefusal) {
  struct Case {
    const char* text;
    const char* seventh;  // nullptr: refused
    const char* tag = nullptr;
    int blanks = 0;
  } cases[] = {
      {"a,b,c,d,e,f,3", "3"},
      {"a,b,c,d,e,f, 19", " 19"},
      {"a,b,c,d,e,f,7,extra", "7"},
      {"a,b,c,d,e,f,3 x", "3 x"},
      {"a,,b,c,d,e,f,1", "1"},
      {"", nullptr, "Illegal SMS content 2", 15},
      {",,,", nullptr, "Illegal SMS content 2", 15},
      {"a,b", nullptr, "Illegal SMS content 3", 17},
      {"a,b,c", nullptr, "Illegal SMS content 4", 22},
      {"a,b,c,d", nullptr, "Illegal SMS content 5", 16},
      {"a,b,c,d,e", nullptr, "Illegal SMS content 6", 22},
      {"a,b,c,d,e,f", nullptr, "Illegal SMS content 7", 24},
      {"a,b,c,d,e,f,", nullptr, "Illegal SMS status flag", 22},
      {"a,b,c,d,e,f,-1", nullptr, "Illegal SMS status flag", 22},
      {"a,b,c,d,e,f,20", nullptr, "Illegal SMS status flag", 22},
  };
  for (const auto& c : cases) {
    Harness h;
    Report fields;
    int code = -1;
    EXPECT_EQ(parse_report(h.env, c.text, fields, code, 20), c.seventh != nullptr) << c.text;
    if (c.seventh != nullptr) {
      EXPECT_EQ(code, std::stoi(c.seventh)) << c.text;
      EXPECT_EQ(fields, (Report{"a", "b", "c", "d", "e", "f", c.seventh})) << c.text;
      EXPECT_EQ(h.console(), "") << c.text;
      EXPECT_TRUE(h.tags().empty()) << c.text;
      continue;
    }
    const bool content = std::string(c.tag).starts_with("Illegal SMS content");
    const char* what = content ? "Illegal SMS content: '" : "Illegal status in SMS: '";
    EXPECT_EQ(h.console(), what + std::string(c.text) + "'" + std::string(c.blanks, ' ') + "\n")
        << c.text;
    EXPECT_EQ(h.tags(), std::vector<std::string>{c.tag}) << c.text;
  }
}

}  // namespace
}  // namespace mvo::sms
