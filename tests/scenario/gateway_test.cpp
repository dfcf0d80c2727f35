// The whole gateway in-process, in virtual time, against the modem model.
#include "driver/gateway.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "common/text.h"
#include "logs/life.h"
#include "logs/records.h"
#include "tests/support/harness.h"

namespace mvo::driver {
namespace {

using sim::FaultKind;

constexpr const char* kTank3 = "+4410";
constexpr const char* kStamp = "12/02/26,13:19:42+04";

struct Gateway : test::Harness {
  explicit Gateway(sim::ModemOptions o = {}) : Harness(std::move(o)) {
    write_config("stations.txt", "\"Pump1\";\"+4401\"\n\"Tank3\";\"+44 10\"\n");
    write_config("human.txt", "Normal\nOverflow\nLow\n");
    write_config("destinations.txt",
                 "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"1\"\n\"Volume\";\"+333\";HMV;\"0"
                 "\"\n\"Custom\";\"+444\";CST;\"1\"\n");
    write_config("custom.txt", "\"&S fine\"\n\"&S: &L m, &V l (&D/&O/&X/&T/&E)\"\n");
  }
  // Runs the main loop for at most `ms` of virtual time; its exit status, or -1 when still running.
  int run(std::int64_t ms) {
    clock.stop_at(now() + ms);
    try {
      return main_loop(env, "\\\\.\\COM1");
    } catch (const sim::SimulationEnd&) {
      return -1;
    }
  }
  std::vector<std::pair<std::string, std::string>> sent() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& s : modem.outbox()) out.emplace_back(s.number, s.text);
    return out;
  }
};

using Sent = std::vector<std::pair<std::string, std::string>>;

// The gateway run as a service whose manager's watchdog asks for a ping every `every` ms; the
// pings' times.
struct Pings final : platform::Notifier {
  explicit Pings(Gateway& g, std::int64_t ms = 10000) : clock(g.clock), every(ms) {
    service.notifier = this;
    g.env.service = &service;
  }
  sim::VirtualClock& clock;
  std::int64_t every;
  platform::Service service;
  std::vector<std::int64_t> at;
  std::vector<std::string> others;  // every notice but the pings
  void notify(const std::string& n) override {
    if (n == "WATCHDOG=1") {
      at.push_back(clock.now_ms());
    } else {
      others.push_back(n);
    }
  }
  std::int64_t watchdog_ms() const override { return every; }
  // No gap longer than half the interval.
  void expect_on_time(const std::string& name) const {
    for (std::size_t i = 1; i < at.size(); ++i) {
      ASSERT_LE(at[i] - at[i - 1], every / 2) << name << " at " << at[i];
    }
  }
};

TEST(MainLoop, FailuresEndTheModemCycle) {
  struct Case {
    const char* name;
    std::vector<sim::FaultRule> faults;
    std::vector<std::string> texts;  // delivered in order from Tank3
    std::string console_part;
    std::vector<std::string> tags;  // as many bring-ups as "On the air" here
    std::size_t sends;
  } cases[] = {
      {"malformed report, then the next message after re-init",
       {},
       {"bad", "1,2,3,4,5,6,1"},
       "Illegal SMS content: 'bad'",
       {"On the air", "Illegal SMS content 2", "On the air"},
       3},
      {"failed read_sms",
       {{"AT+CMGL", FaultKind::kError, 1}},
       {"1,2,3,4,5,6,1"},
       "Cln CMGL3 (ERROR) read_sms0 (cmgl1) main1\n",
       {"On the air", "cmgl-3", "cmgl-1", "main1", "On the air"},
       3},
      {"first of three sends fails",
       {{"+111", FaultKind::kSendOkOnly, 1}},
       {"1,2,3,4,5,6,1"},
       "CMGS5((OK)).Failed to send_sms1  (text=+4410,1,2,3,4,5,6,1\x1a) (cellular=+111).\n main2.",
       {"On the air", "cmgs5", "main2", "On the air"},
       2},
      {"two failed sends",
       {{"+111", FaultKind::kSendOkOnly, 1}, {"+444", FaultKind::kSendCmgsThenError, 1}},
       {"1,2,3,4,5,6,1"},
       "main2.",
       {"On the air", "cmgs5", "main2", "cmgs7", "main2", "On the air"},
       1},
      {"ERROR to AT+CMGR is a failed read: deleted, then the next message after re-init",
       {{"AT+CMGR", FaultKind::kError, 1}},
       {"1,2,3,4,5,6,0", "1,2,3,4,5,6,1"},
       "Cln CMGR5 (ERROR) read_sms1 main1\n",
       {"On the air", "cmgr5", "read_sms1", "main1", "On the air"},
       3},
      {"wrong destination counts as sent",
       {{"+222", FaultKind::kSendCmsError, 1}},
       {"1,2,3,4,5,6,1"},
       "CMGS6((+CMS ERROR: 500)).Probably wrong destination((+222)).",
       {"On the air", "cmgs6.cont."},
       2},
  };
  for (const auto& c : cases) {
    Gateway g;
    for (const auto& f : c.faults) g.modem.add_fault(f);
    std::int64_t at = 0;
    for (const auto& t : c.texts) g.modem.deliver(kTank3, kStamp, t, at += 1);
    EXPECT_EQ(g.run(300000), -1) << c.name;
    EXPECT_NE(g.console().find(c.console_part), std::string::npos) << c.name;
    // The named tags, in this order and no more of them.
    std::vector<std::string> seen;
    for (const auto& tag : g.tags()) {
      if (std::find(c.tags.begin(), c.tags.end(), tag) != c.tags.end()) seen.push_back(tag);
    }
    EXPECT_EQ(seen, c.tags) << c.name;
    const auto cycles = std::count(c.tags.begin(), c.tags.end(), "On the air");
    EXPECT_EQ(g.console_count("out int loop.") > 0, cycles > 1) << c.name;  // each ended cycle
    EXPECT_EQ(g.modem.outbox().size(), c.sends) << c.name;
  }
}

// A text entry is left without submitting a text that got through only in part, and a command is
// never written into an entry: each destination gets exactly its own text.
TEST(FanOut, AFailedTextWriteIsCancelledAndNeverReachesAPhone) {
  const Sent rest = {{"+222", "Tank3 reports: Overflow at level of 2.5 meter\x1a"},
                     {"+444", "Tank3: 2.5 m, 400 l (10/c/c/e/f)\x1a"}};
  // The port's write that carries the first text, from a run without faults.
  long text_write = 0;
  {
    Gateway g;
    g.modem.on_submit = [&](const sim::Submitted&) {
      if (text_write == 0) text_write = g.port().writes();
    };
    g.modem.deliver(kTank3, kStamp, "10,2.5,c,400,e,f,1");
    g.run(60000);
  }
  struct Case {
    const char* name;
    bool cut;  // the text's write cut short after 6 bytes
    std::vector<sim::FaultRule> faults;
    std::string after_first;  // what the gateway writes after the first destination's command
    const char* tag;
  } cases[] = {
      {"text write cut short: ESC alone", true, {}, "+4410,\033AT+CMGS=\"+222\"\r", "cmgs3"},
      {"no prompt: Ctrl-Z, then ESC",
       false,
       {{"AT+CMGS", FaultKind::kSilent, 1}},
       "\x1a\033AT+CMGS=\"+222\"\r",
       "cmgs21"},
  };
  for (const auto& c : cases) {
    Gateway g;
    for (const auto& f : c.faults) g.modem.add_fault(f);
    if (c.cut) g.port().plan_write_fault(text_write, 6, false);
    g.modem.deliver(kTank3, kStamp, "10,2.5,c,400,e,f,1");
    EXPECT_EQ(g.run(120000), -1) << c.name;
    EXPECT_EQ(g.sent(), rest) << c.name;
    const std::string& w = g.port().written();
    const std::size_t first = w.find("AT+CMGS=\"+111\"\r");
    ASSERT_NE(first, std::string::npos) << c.name;
    const std::size_t next = w.find("AT+CMGS=\"+222\"\r", first);
    ASSERT_NE(next, std::string::npos) << c.name;
    const std::string between = w.substr(first + 15, next + 15 - (first + 15));
    EXPECT_EQ(between, c.after_first) << c.name << ": " << testing::PrintToString(between);
    EXPECT_EQ(g.tag_count(c.tag), 1) << c.name;
    EXPECT_EQ(g.tag_count("main2"), 1) << c.name;
    // The next modem cycle begins after the fan-out, as after every failed send.
    EXPECT_EQ(g.tag_count("On the air"), 2) << c.name;
  }
}

// Lines a modem sends of its own accord, where a reply is due, are never taken for the reply: a
// delivered text is not recorded refused, and a working modem is not taken down.
TEST(Unsolicited, LinesWhereAReplyIsDueAreSkipped) {
  struct Case {
    const char* name;
    sim::FaultRule fault;
    std::string to_control = "+4410,1,2,3,4,5,6,0\x1a";  // what +111 received
    int copies = 1;                                      // how often
    std::vector<std::string> tags = {"On the air"};      // the error log
  } cases[] = {
      {"a set-up step", {"AT+CNMI", FaultKind::kReply, 1, 1, 0, "RDY|+CFUN: 1|OK"}},
      {"storage",
       {"AT+CPMS", FaultKind::kReply, 1, 1, 0, "SMS Ready|+CPMS: 0,30,0,30,0,30|^MODE: 5,4|OK"}},
      {"the operator",
       {"AT+COPS=0,0", FaultKind::kReply, 1, 1, 0, "+CREG: 1|+COPS: 0,0,\"Net\"|+CGREG: 1|OK"}},
      {"a listing's first line", {"AT+CMGL", FaultKind::kReply, 1, 1, 0, "+CMTI: \"MT\",1|OK"}},
      {"a read's header; a text that begins like one is data",
       {"AT+CMGR", FaultKind::kReply, 1, 1, 0,
        "^RSSI: 17|+CMGR: \"REC UNREAD\",\"+4410\",,\"12/02/26,13:19:42+04\"|RING,2,c,4,e,f,0|OK"},
       "+4410,RING,2,c,4,e,f,0\x1a"},
      // The reply stands in for the modem, which so never deleted it: read again, sent again.
      {"a delete",
       {"AT+CMGD", FaultKind::kReply, 1, 1, 0, "+CDSI: \"SM\",2|OK"},
       "+4410,1,2,3,4,5,6,0\x1a",
       2},
      {"before a send's result", {"+111", FaultKind::kSendReply, 1, 1, 0, "^RSSI: 17|+CMGS: #|OK"}},
      {"between +CMGS and OK", {"+111", FaultKind::kSendReply, 1, 1, 0, "+CMGS: #|+CREG: 1|OK"}},
      {"at most eight in a row: the ninth is judged",
       {"AT+CNMI", FaultKind::kReply, 1, 1, 0, "^A|^B|^C|^D|^E|^F|^G|^H|^I|OK"},
       "+4410,1,2,3,4,5,6,0\x1a",
       1,
       {"pre_at3", "init_modem8", "handle_modem0", "On the air"}},
  };
  for (const auto& c : cases) {
    Gateway g;
    g.modem.add_fault(c.fault);
    g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,0", 1);
    EXPECT_EQ(g.run(120000), -1) << c.name;
    EXPECT_EQ(g.tags(), c.tags) << c.name;
    const Sent sent = g.sent();
    EXPECT_EQ(std::count(sent.begin(), sent.end(),
                         std::pair<std::string, std::string>("+111", c.to_control)),
              c.copies)
        << c.name;
  }
}

// The site's own set-up from options.txt: the storage step's memory, then its commands in order
// before the operator's; a refused one fails the attempt like any step, and the next attempt
// sends them all again.
TEST(BringUp, TheSitesOwnStorageAndCommands) {
  Gateway g;
  g.write_config("options.txt", "storage SM\ninit AT^CURC=0\ninit AT+CMEE=1\n");
  g.modem.add_fault({"AT^CURC", FaultKind::kError, 1});
  g.modem.add_fault({"AT^CURC", FaultKind::kReply, -1, 1, 0, "OK"});
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,0", 1);
  g.run(60000);
  const auto& cmds = g.modem.commands();
  const auto at = [&](const std::string& command) {
    return std::find(cmds.begin(), cmds.end(), command) - cmds.begin();
  };
  EXPECT_LT(at("AT+CPMS=\"SM\",\"SM\",\"SM\""), at("AT^CURC=0"));
  EXPECT_EQ(g.console_count("pre_at3 (reply=ERROR) (bits=5) init_modem10 handle_modem0"), 1);
  // Nothing after the refused command in its attempt: the next one sends it again first.
  EXPECT_EQ(std::count(cmds.begin(), cmds.begin() + at("AT+CMEE=1"), "AT^CURC=0"), 2);
  EXPECT_LT(at("AT+CMEE=1"), at("AT+COPS=0,0;+COPS?"));
  EXPECT_EQ(g.tag_count("On the air"), 1);
  EXPECT_EQ(g.sent().size(), 2u);  // a report from the SIM's memory
}

// "reception events": the modem announces each stored message and the gateway lists at once;
// a lost announcement waits for the 60 s sweep, a refusal falls back to polling.
TEST(Events, AnAnnouncedReportIsForwardedAtOnce) {
  struct Case {
    const char* name;
    bool refuse;
    double dropped;
    std::int64_t within_ms;  // from each delivery to its first text
    std::int64_t after_ms;   // and no sooner than
  } cases[] = {
      {"announced: listed at once", false, 0, 2500, 0},
      {"every announcement lost: the sweep", false, 1, 61000, 5000},
      {"refused: polling, told once", true, 0, 7500, 0},
  };
  for (const auto& c : cases) {
    Gateway g({.refuse_events = c.refuse, .events_dropped = c.dropped});
    g.write_config("options.txt", "reception events\n");
    Pings pings(g);
    // One alone, then two that land during its fan-out.
    const std::vector<std::int64_t> at = {200000, 400000, 401000, 401500};
    for (std::size_t i = 0; i < at.size(); ++i) {
      g.modem.deliver(kTank3, kStamp, common::format("%d,2,3,4,5,6,0", int(i)), at[i]);
    }
    std::vector<std::int64_t> first(at.size(), -1);
    g.modem.on_submit = [&](const sim::Submitted& s) {
      if (s.number != "+111") return;
      const int i = s.text[6] - '0';
      EXPECT_EQ(first[i], -1) << c.name << ": sent twice";
      first[i] = s.at;
    };
    g.clock.raise_at(600000, &pings.service.stop.requested);
    EXPECT_EQ(g.run(700000), 0) << c.name;
    EXPECT_LT(g.now(), 600000 + 3000) << c.name << ": a stop cuts the wait";
    // The first two within their bounds; the two behind the fan-out once each, as checked above.
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_LT(first[i] - at[i], c.within_ms) << c.name << " " << i;
      EXPECT_GE(first[i] - at[i], c.after_ms) << c.name << " " << i;
    }
    for (std::size_t i = 2; i < at.size(); ++i) EXPECT_NE(first[i], -1) << c.name << " " << i;
    EXPECT_EQ(g.console_count("no reception events (reply=ERROR), polling "), c.refuse ? 1 : 0)
        << c.name;
    EXPECT_EQ(g.tag_count("no reception events"), c.refuse ? 1 : 0) << c.name;
    // Idle, the store is listed about once a minute (every 5 s when polling).
    int listings = 0;
    for (std::size_t i = 0; i < g.modem.commands().size(); ++i) {
      const std::int64_t t = g.modem.command_times()[i];
      listings += g.modem.commands()[i] == "AT+CMGL=\"ALL\"" && t > 10000 && t < 190000;
    }
    if (c.refuse) {
      EXPECT_GT(listings, 30) << c.name;
    } else {
      EXPECT_LE(listings, 4) << c.name;
    }
    pings.expect_on_time(c.name);
  }
}

// A stop asked for at any point: a fan-out in progress is finished (or, past its patience, what
// is left is named), the modem is left as at the end of a cycle, and the main loop returns 0.
TEST(Stop, FinishesTheFanOutThenShutsTheModemDown) {
  const Sent all = {{"+111", "+4410,10,2.5,c,400,e,f,1\x1a"},
                    {"+222", "Tank3 reports: Overflow at level of 2.5 meter\x1a"},
                    {"+444", "Tank3: 2.5 m, 400 l (10/c/c/e/f)\x1a"}};
  struct Case {
    const char* name;
    std::int64_t stop_at;  // -1: at the first submission; -2: the same, urgent
    std::vector<sim::FaultRule> faults;
    Sent sent;
    std::int64_t within_ms;  // from the request to the end
    std::vector<std::string> traffic_outcomes;
  } cases[] = {
      // A stop is seen within a second; the shut-down then pauses 2000 ms after the close.
      {"while polling, after a report", 90000, {}, all, 3500, {"accepted", "sent", "sent", "sent"}},
      {"during bring-up", 3700, {}, {}, 3500, {}},
      {"between two destinations", -1, {}, all, 30000, {"accepted", "sent", "sent", "sent"}},
      // The patience cuts the silent result short: the text may have gone out, the rest is named.
      {"waiting for a result past the patience: cut, the rest named",
       -1,
       {{"+222", FaultKind::kSendSilent, 1}},
       {{"+111", "+4410,10,2.5,c,400,e,f,1\x1a"}},
       logs::kStopBoundMs,
       {"accepted", "sent", "unconfirmed", "not-sent"}},
      // Windows' close, logoff or shutdown: seconds, not a minute.
      {"urgent, waiting for a result: named within the seconds the system gives",
       -2,
       {{"+222", FaultKind::kSendSilent, 1}},
       {{"+111", "+4410,10,2.5,c,400,e,f,1\x1a"}},
       4500,
       {"accepted", "unconfirmed", "not-sent", "not-sent"}},
  };
  for (const auto& c : cases) {
    Gateway g;
    g.write_config("options.txt", "# every message in and out\ntraffic on\n");
    platform::Service service;
    g.env.service = &service;
    for (const auto& f : c.faults) g.modem.add_fault(f);
    g.modem.deliver(kTank3, kStamp, "10,2.5,c,400,e,f,1", 30000);
    std::int64_t asked = c.stop_at;
    if (c.stop_at >= 0) {
      g.clock.raise_at(c.stop_at, &service.stop.requested);
    } else {
      g.modem.on_submit = [&](const sim::Submitted&) {
        if (service.stop.requested == 0) asked = g.now();
        service.stop.urgent = c.stop_at == -2 ? 1 : 0;
        service.stop.requested = 1;
      };
    }
    EXPECT_EQ(g.run(600000), 0) << c.name;
    EXPECT_LE(g.now() - asked, c.within_ms) << c.name;
    EXPECT_EQ(g.sent(), c.sent) << c.name;
    EXPECT_TRUE(g.console().ends_with("stopped on request.\n")) << c.name;
    EXPECT_EQ(g.tags().back(), "stopped on request") << c.name;
    const std::string& w = g.port().written();
    EXPECT_TRUE(w.ends_with("\x1a\x1b")) << c.name;
    EXPECT_FALSE(g.port().is_open()) << c.name;
    EXPECT_EQ(service.state, platform::State::kStopped) << c.name;
    // What a stop could not send or confirm is named on the console by its traffic record, what
    // it did not send in the error log too, and a text cut short is left with ESC before the
    // shut-down's abort bytes.
    std::vector<std::string> outcomes;
    int named = 0;
    const std::string log = g.read_log("traffic.log");
    for (std::size_t from = 0, end; (end = log.find("\r\n", from)) != std::string::npos;
         from = end + 2) {
      logs::TrafficRecord r;
      ASSERT_TRUE(logs::parse_traffic_record(log.substr(from, end - from), r)) << c.name;
      outcomes.push_back(r.outcome);
      const std::string who = r.name + " (" + r.number + ").\n";
      if (r.outcome == "not-sent") {
        EXPECT_EQ(g.console_count("not sent on stop: " + who), 1) << c.name;
        EXPECT_EQ(g.tag_count("not sent on stop " + r.number), 1) << c.name;
      } else if (r.outcome == "unconfirmed") {
        EXPECT_EQ(g.console_count("not confirmed on stop: " + who), 1) << c.name;
        EXPECT_TRUE(w.ends_with("\x1a\x1b\x1a\x1b")) << c.name;
      }
      named += r.outcome == "not-sent" || r.outcome == "unconfirmed";
    }
    EXPECT_EQ(outcomes, c.traffic_outcomes) << c.name;
    EXPECT_EQ(g.console_count(" on stop: "), named) << c.name;
  }
}

// The watchdog is fed at half its interval whatever the wait: a 30 s operator selection, a text
// whose result never comes, the 5 s pause after it, and a stop that waits for the fan-out.
TEST(Watchdog, PingsAtHalfTheIntervalThroughEveryWait) {
  for (const std::int64_t every : {10000, 4000}) {
    Gateway g({.cops_delay_ms = 30000});
    Pings pings(g, every);
    g.modem.add_fault({"+222", FaultKind::kSendSilent, 1});
    g.modem.deliver(kTank3, kStamp, "10,2.5,c,400,e,f,1", 1);
    g.clock.raise_at(200000, &pings.service.stop.requested);
    EXPECT_EQ(g.run(600000), 0) << every;
    EXPECT_EQ(g.tag_count("cmgs6.cont."), 1) << every;  // the silent result was waited for in full
    ASSERT_FALSE(pings.at.empty());
    EXPECT_LE(pings.at.front(), every / 2) << every;
    pings.expect_on_time(std::to_string(every));
    EXPECT_GE(pings.at.back(), 200000) << every;
    // The manager is told of the stop once, in the words systemd reads.
    EXPECT_EQ(std::count(pings.others.begin(), pings.others.end(), "STOPPING=1"), 1) << every;
  }
}

// Without options.txt, and with nothing asked of it, a gateway under a service manager prints and
// logs exactly what one without does, and writes no file of its own.
TEST(Stop, NothingConfiguredNothingChanges) {
  // The console, the error log, the wire and how many time-outs were set (no extra slices of a
  // wait), without and with a service manager.
  std::vector<std::string> seen[2];
  for (int with = 0; with <= 1; ++with) {
    Gateway g;
    platform::Service service;
    if (with == 1) g.env.service = &service;
    g.modem.add_fault({"+222", FaultKind::kSendOkOnly, 1});
    g.modem.deliver(kTank3, kStamp, "10,2.5,c,400,e,f,1", 1);
    g.modem.deliver("+999", kStamp, "1,2,3,4,5,6,0", 40000);
    g.modem.deliver(kTank3, kStamp, "bad", 80000);
    EXPECT_EQ(g.run(200000), -1);
    seen[with] = {g.console(), g.read_log("err_log.csv"), g.port().written(),
                  std::to_string(g.port().timeout_history().size())};
    std::set<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(g.dir() / "log"))
      files.insert(e.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"err_log.csv", "+4410.csv"}));
  }
  EXPECT_EQ(seen[1], seen[0]);
}

// After a failed send, the drain read (3000 ms when the modem says nothing more) and a 5000 ms
// pause before the next text.
TEST(MainLoop, FailedSendIsFollowedByFiveSeconds) {
  Gateway g;
  g.modem.add_fault({"+111", FaultKind::kSendOkOnly, 1});
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,1");
  g.run(60000);
  const auto& cmds = g.modem.commands();
  const auto at = [&](const std::string& command) {
    return g.modem.command_times()[std::find(cmds.begin(), cmds.end(), command) - cmds.begin()];
  };
  EXPECT_GE(at("AT+CMGS=\"+222\"") - at("AT+CMGS=\"+111\""), 3000 + 5000);
}

TEST(MainLoop, NoDestinationDueSendsNothingAndGoesOn) {
  Gateway g;
  g.write_config("destinations.txt", "\"Ops\";\"+222\";HMN;\"0\"\n");
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,1");
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,0", 60000);
  EXPECT_EQ(g.run(120000), -1);
  EXPECT_EQ(g.sent(), (Sent{{"+222", "Tank3 reports: Normal at level of 2 meter\x1a"}}));
  EXPECT_EQ(g.console_count("SMS /"), 2);
  EXPECT_EQ(g.console_count("out int loop."), 0);
}

// A close that fails is tried again, five times in all, then the gateway ends. The POSIX way
// releases the port anyway, so the next attempt finds nothing to close and the gateway goes on; a
// port that stays open during bring-up ends the gateway instead of an endless open_port loop.
TEST(MainLoop, FailedClosesAreBounded) {
  const auto shut = [](int times) {
    std::string failed;
    for (int i = 0; i < times; ++i) failed += "shut_modem1 (6) ";
    return failed;
  };
  const std::string gave_up = shut(5) + "cannot shutdown modem.out of ext loop.";
  const std::string twice = "out int loop." + shut(2);
  const std::string released = "out int loop." + shut(1) + "\n...wait...";
  struct Case {
    const char* name;
    std::vector<std::string> texts;  // from Tank3; none: the modem refuses ATZ instead
    int closes;                      // that fail
    bool releases;                   // the POSIX way
    int exit;                        // -1: still running
    int on_air;
    std::string console_part;  // at the end, when the gateway ended
  } cases[] = {
      {"closed at the third attempt", {"bad"}, 2, false, -1, 2, twice},
      {"five failed closes after a cycle", {"bad"}, 5, false, 0, 1, "out int loop." + gave_up},
      {"released by a failed close", {"bad", "1,2,3,4,5,6,1"}, 1, true, -1, 2, released},
      {"five failed closes in bring-up", {}, 5, false, 0, 0, "handle_modem0  " + gave_up},
  };
  for (const auto& c : cases) {
    Gateway g;
    if (c.texts.empty()) g.modem.add_fault({"ATZ", FaultKind::kError, 1});
    std::int64_t at = 0;
    for (const auto& t : c.texts) g.modem.deliver(kTank3, kStamp, t, at++);
    g.port().fail_closes(c.closes, c.releases);
    EXPECT_EQ(g.run(120000), c.exit) << c.name;
    EXPECT_EQ(g.console_count(c.console_part), 1) << c.name;
    EXPECT_EQ(g.console_count("shut_modem1 (6) "), c.closes) << c.name;
    EXPECT_EQ(g.console_count("WriteChars1"), 0) << c.name;
    EXPECT_EQ(g.tag_count("On the air"), c.on_air) << c.name;
    EXPECT_EQ(g.port().opens(), std::max(c.on_air, 1)) << c.name;
    // Each well-formed report reaches its three destinations.
    const auto reports = std::count(c.texts.begin(), c.texts.end(), "1,2,3,4,5,6,1");
    EXPECT_EQ(g.modem.outbox().size(), static_cast<std::size_t>(3 * reports)) << c.name;
    if (c.exit == 0) {
      EXPECT_TRUE(g.console().ends_with(c.console_part)) << c.name;
      const auto tags = g.tags();
      EXPECT_EQ(std::vector(tags.end() - 2, tags.end()),
                (std::vector<std::string>{"cannot shutodown modem", "out of ext loop"}))
          << c.name;
    }
  }
}

#ifndef _WIN32
// The error log and a station log on a full disk: each record costs its retries and is dropped
// with its text, and the reports are forwarded all the same.
TEST(MainLoop, FullDiskCostsRecordsNotReports) {
  Gateway g;
  std::filesystem::create_symlink("/dev/full", g.dir() / "log" / "err_log.csv");
  std::filesystem::create_symlink("/dev/full", g.dir() / "log" / "+4410.csv");
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,1", 1);
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,0", 60000);
  EXPECT_EQ(g.run(180000), -1);
  EXPECT_EQ(g.console_count("SMS /"), 2);
  EXPECT_EQ(g.modem.outbox().size(), 5u);
  EXPECT_EQ(g.console_count("Cannot open err_log 1 ..2 ..3 ..ignored\n "), 1);  // "On the air"
  EXPECT_EQ(g.console_count(" +cannot storage file "), 2);
}
#endif

TEST(MainLoop, BringUpGivesUpAtTheFirstAttempt) {
  Gateway g;
  g.modem.add_fault({"AT", FaultKind::kSilent});
  EXPECT_EQ(g.run(24LL * 3600 * 1000), 0);
  EXPECT_TRUE(g.console().ends_with(" +cannot communicate with modem+out of ext loop."));
  EXPECT_EQ(g.console_count("out int loop."), 0);
  EXPECT_EQ(g.tags().back(), "out of ext loop");
}

TEST(MainLoop, ModemPulledOutAndPutBack) {
  Gateway g;
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,1", 1);
  g.modem.unplug(60000, 45000);
  g.modem.deliver(kTank3, kStamp, "1,2,3,4,5,6,0", 120000);
  EXPECT_EQ(g.run(240000), -1);
  EXPECT_EQ(g.tag_count("On the air"), 2);
  EXPECT_EQ(g.console_count("cannot open COM port\n"), 1);
  EXPECT_EQ(g.modem.outbox().size(), 5u);
}

}  // namespace
}  // namespace mvo::driver
