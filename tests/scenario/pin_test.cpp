// The SIM's PIN: the whole gateway in-process, in virtual time, against the modem model's SIM,
// with the dialogue traced as an operator would trace it.
#include "modem/pin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "common/halt.h"
#include "driver/gateway.h"
#include "platform/durable.h"
#include "platform/trace_port.h"
#include "tests/support/harness.h"

namespace mvo::driver {
namespace {

namespace fs = std::filesystem;
using sim::SimState;

constexpr const char* kPin = "2580";
constexpr const char* kWrongPin = "1397";
constexpr const char* kTank3 = "+4410";
constexpr const char* kStamp = "12/02/26,13:19:42+04";

sim::ModemOptions sim_with_pin(const char* pin, int tries = 3, std::int64_t ready_ms = 3000) {
  return {.sim_pin = pin, .sim_pin_tries = tries, .sim_ready_ms = ready_ms};
}

struct PinGateway : test::Harness {
  explicit PinGateway(sim::ModemOptions o = {}, std::optional<std::string> pin = std::nullopt)
      : Harness(std::move(o)) {
    write_config("stations.txt", "\"Tank3\";\"+44 10\"\n");
    write_config("human.txt", "Normal\nOverflow\n");
    write_config("destinations.txt", "\"Control\";\"+111\";SMC\n");
    if (pin) write_config("pin.txt", "# the SIM's PIN\n" + *pin + "\n");
  }
  // Runs the gateway (a fresh start) for `ms` of virtual time, its dialogue traced.
  void run(std::int64_t ms) {
    if (port().is_open()) port().close();  // the previous run's process has ended
    platform::TracePort trace(port(), clock, wall, (dir() / "log" / "trace.log").string());
    platform::Env traced{env.clock, env.wall, env.console, env.site, trace};
    clock.stop_at(now() + ms);
    try {
      main_loop(traced, "\\\\.\\COM1");
    } catch (const sim::SimulationEnd&) {
    }
  }
  // The error log's tags, ", " between them.
  std::string tag_list() const {
    std::string list;
    for (const auto& tag : tags()) list += (list.empty() ? "" : ", ") + tag;
    return list;
  }
  bool refusal_remembered() const { return log_exists(modem::kRefusalFile); }
  // Every file the gateway wrote (the logs, the trace, the refusal memory) and the console: none
  // may hold a PIN.
  void expect_no_pin_anywhere(const std::string& pin) const {
    EXPECT_EQ(console().find(pin), std::string::npos) << "console";
    for (const auto& entry : fs::recursive_directory_iterator(dir() / "log")) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string data((std::istreambuf_iterator<char>(in)), {});
      EXPECT_EQ(data.find(pin), std::string::npos) << entry.path();
    }
    EXPECT_TRUE(log_exists("trace.log"));
  }
};

TEST(SimPin, FaultyPinTxtHaltsBeforeTheModemIsTouched) {
  for (const char* faulty : {"12a4", "258", "123456789", "2580 2580"}) {
    PinGateway g(sim_with_pin(kPin), std::string(faulty));
    g.clock.stop_at(g.now() + 60000);
    EXPECT_THROW(main_loop(g.env, "\\\\.\\COM1"), common::Halt) << faulty;
    EXPECT_TRUE(g.console().ends_with(" PIN in file pin.txt (line 2) is not 4 to 8 digits\n"))
        << faulty << ": " << g.console();
    EXPECT_EQ(g.console().find(faulty), std::string::npos) << faulty;
    EXPECT_TRUE(g.modem.commands().empty()) << faulty;
    EXPECT_TRUE(g.tags().empty()) << faulty;
  }
}

TEST(SimPin, WrongPinIsSentOnceAndNeverAgain) {
  PinGateway g(sim_with_pin(kPin), kWrongPin);
  g.run(60000);
  EXPECT_EQ(g.commands_starting("AT+CPIN="), 1);
  EXPECT_NE(g.console().find("unlock_sim6 the SIM refused the PIN of pin.txt (+CME ERROR: 16): "
                             "not entered again until pin.txt changes init_modem2 handle_modem0  "),
            std::string::npos);
  EXPECT_TRUE(g.tag_list().starts_with("unlock_sim6 PIN refused, init_modem2, handle_modem0"));
  EXPECT_TRUE(g.refusal_remembered());
#ifndef _WIN32
  // A record others may read, as gateways wrote it before records were owner-only: the next
  // bring-up makes it so.
  const fs::path record = g.dir() / "log" / modem::kRefusalFile;
  const auto owner_only = fs::perms::owner_read | fs::perms::owner_write;
  EXPECT_EQ(fs::status(record).permissions(), owner_only);
  fs::permissions(record, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
#endif

  // Three restarts, then a power cut of the modem while the gateway runs: the SIM asks for its
  // PIN every time, and the gateway never sends it.
  for (int restart = 0; restart < 3; ++restart) g.run(60000);
#ifndef _WIN32
  EXPECT_EQ(fs::status(record).permissions(), owner_only);
#endif
  const std::int64_t cut = g.now() + 10000;
  g.modem.unplug(cut, 5000, true);
  const int refusals_before_cut = g.tag_count("unlock_sim5 PIN refused before");
  g.run(60000);
  // Asked again after the power came back, and still no PIN.
  EXPECT_GT(g.tag_count("unlock_sim5 PIN refused before"), refusals_before_cut);
  EXPECT_EQ(g.commands_starting("AT+CPIN="), 1);
  EXPECT_EQ(g.modem.sim_pin_tries(), 2);
  EXPECT_GE(g.tag_count("unlock_sim5 PIN refused before"), 5);
  EXPECT_EQ(g.tag_count("On the air"), 0);
  EXPECT_NE(g.console().find("unlock_sim5 the SIM refused the PIN of pin.txt before "
                             "(log/sim-pin.refused): not entered again until pin.txt changes "
                             "init_modem2 handle_modem0  "),
            std::string::npos);
  g.expect_no_pin_anywhere(kWrongPin);

  // The operator puts the right PIN in pin.txt: it gets its one try, and the memory goes.
  g.write_config("pin.txt", std::string(kPin) + "\n");
  g.clear_console();
  g.run(60000);
  EXPECT_EQ(g.commands_starting("AT+CPIN="), 2);
  EXPECT_EQ(g.modem.commands().back(), "AT+CMGL=\"ALL\"");
  EXPECT_EQ(g.tags().back(), "On the air");
  EXPECT_FALSE(g.refusal_remembered());
  EXPECT_EQ(g.modem.sim_pin_tries(), 3);
  g.expect_no_pin_anywhere(kPin);
  g.expect_no_pin_anywhere(kWrongPin);
}

// What the SIM says decides the PIN: sent once to a SIM that asks for it (and given the bound to
// get ready), never to one that takes none. A SIM in the way is asked again at every attempt, so
// a SIM put right goes on the air without a restart.
TEST(SimPin, EachSimGetsThePinItTakes) {
  const sim::ModemOptions no_sim{.sim_present = false};
  struct Case {
    const char* name;
    sim::ModemOptions modem;
    const char* pin;  // pin.txt's; nullptr: none
    int pins_sent;
    std::string first_tags;
    const char* console_part;
    const char* cpin_reply = nullptr;  // the modem's whole reply to AT+CPIN?, when not the SIM's
  } cases[] = {
      {"busy for 19 s after the PIN", sim_with_pin(kPin, 3, 19000), kPin, 1, "On the air", ""},
      {"busy for 30 s: the first attempt gives up, the next finds it ready",
       sim_with_pin(kPin, 3, 30000), kPin, 1, "unlock_sim8, init_modem2, handle_modem0, On the air",
       "unlock_sim8 SIM not ready 20 s after its PIN init_modem2 handle_modem0  "},
      // The modem's boot notices before the answer: "+CPIN:" is the answer awaited.
      {"no PIN on the SIM, boot notices first", sim::ModemOptions(), kPin, 0, "On the air", "",
       "RDY|+CFUN: 1|^BOOT:1|+CPIN: READY|OK"},
      {"locked behind its PUK", sim_with_pin(kPin, 0), kPin, 0,
       "unlock_sim2 SIM PUK, init_modem2, handle_modem0",
       "unlock_sim2 SIM locked: it wants its PUK, no PIN sent init_modem2 handle_modem0  "},
      {"no SIM", no_sim, kPin, 0, "unlock_sim3 no SIM, init_modem2, handle_modem0",
       "unlock_sim3 no SIM in the modem (+CME ERROR: 10) init_modem2 handle_modem0  "},
      {"no PIN configured", sim_with_pin(kPin), nullptr, 0,
       "pre_at3, init_modem4, unlock_sim0 SIM PIN required, handle_modem0",
       "pre_at3 (reply=+CME ERROR: 11) (bits=14) init_modem4 unlock_sim0 the SIM needs its PIN "
       "(configuration/pin.txt) handle_modem0  "},
  };
  for (const auto& c : cases) {
    PinGateway g(c.modem, c.pin ? std::optional<std::string>(c.pin) : std::nullopt);
    if (c.cpin_reply)
      g.modem.add_fault({"AT+CPIN?", sim::FaultKind::kReply, 1, 1, 0, c.cpin_reply});
    const bool on_air = c.first_tags.ends_with("On the air");
    g.run(on_air ? 120000 : 600000);
    EXPECT_EQ(g.commands_starting("AT+CPIN="), c.pins_sent) << c.name;
    EXPECT_EQ(g.tag_list().substr(0, c.first_tags.size()), c.first_tags) << c.name;
    EXPECT_NE(g.console().find(c.console_part), std::string::npos) << c.name;
    EXPECT_FALSE(g.refusal_remembered()) << c.name;
    EXPECT_EQ(g.modem.sim_pin_tries(), c.modem.sim_pin_tries) << c.name;
    g.expect_no_pin_anywhere(kPin);
    if (on_air) continue;
    const std::string first = c.first_tags.substr(0, c.first_tags.find(','));
    EXPECT_GE(g.tag_count(first), 50) << c.name;
    EXPECT_EQ(g.tag_count(first), g.tag_count("handle_modem0")) << c.name;
  }
}

// The operating system's files, each step noted before it is taken (after the modem commands that
// came before it), or failed instead when it is the step `failing`.
class NotedFiles final : public platform::DurableFiles {
 public:
  NotedFiles(const sim::ModemModel& modem, std::string failing)
      : modem_(modem), failing_(std::move(failing)) {
    platform::set_durable_files(this);
  }
  ~NotedFiles() override { platform::set_durable_files(nullptr); }
  NotedFiles(const NotedFiles&) = delete;
  NotedFiles& operator=(const NotedFiles&) = delete;

  bool write_new(const std::string& path, const std::string& data, bool owner_only) override {
    return step("write " + name(path)) && disk_.write_new(path, data, owner_only);
  }
  bool sync_file(const std::string& path) override {
    return step("sync " + name(path)) && disk_.sync_file(path);
  }
  bool rename(const std::string& from, const std::string& to) override {
    return step("rename " + name(from) + " " + name(to)) && disk_.rename(from, to);
  }
  bool sync_dir(const std::string& dir) override {
    return step("sync " + name(dir) + "/") && disk_.sync_dir(dir);
  }
  std::function<void()> on_step;  // called at each step
  // The first `n` steps and commands.
  std::vector<std::string> first(std::size_t n) {
    note_commands();
    return {steps_.begin(), steps_.begin() + static_cast<long>(std::min(n, steps_.size()))};
  }

 private:
  static std::string name(const std::string& path) { return fs::path(path).filename().string(); }
  void note_commands() {
    for (; seen_ < modem_.commands().size(); ++seen_) steps_.push_back(modem_.commands()[seen_]);
  }
  bool step(const std::string& what) {
    note_commands();
    steps_.push_back(what);
    if (on_step) on_step();
    return what != failing_;
  }
  const sim::ModemModel& modem_;
  std::string failing_;
  platform::native::DiskFiles disk_;
  std::vector<std::string> steps_;
  std::size_t seen_ = 0;
};

// A stop asked for once the PIN's record is being written (the PIN about to go) waits for the
// SIM's answer: cut short, it would leave a PIN the SIM took remembered as refused, never to be
// sent again.
TEST(SimPin, AStopWaitsForThePinsAnswer) {
  PinGateway g(sim_with_pin(kPin), std::string(kPin));
  g.modem.add_fault({"AT+CPIN=", sim::FaultKind::kSlow, -1, 1.0, 500, "", 2000});
  platform::Service service;
  g.env.service = &service;
  NotedFiles files(g.modem, "");
  files.on_step = [&] { service.stop.requested = 1; };
  g.clock.stop_at(g.now() + 60000);
  EXPECT_EQ(main_loop(g.env, "\\\\.\\COM1"), 0);
  EXPECT_NE(g.console().find("stopped on request."), std::string::npos) << g.console();
  EXPECT_EQ(g.commands_starting("AT+CPIN=\""), 1);
  EXPECT_FALSE(g.refusal_remembered());
}

// The SIM takes the PIN but its answer comes too late to be read: the PIN is kept as sent but
// not seen taken, never sent again while the SIM asks for one, and forgotten once the SIM shows
// READY, so after the next power cut, in the middle of a cycle, it is entered again.
TEST(SimPin, APinWhoseAnswerWasLostIsForgottenOnceTheSimShowsReady) {
  PinGateway g(sim_with_pin(kPin), std::string(kPin));
  g.modem.add_fault({"AT+CPIN=", sim::FaultKind::kSlow, 1, 1.0, 500, "", 60000});
  g.run(240000);
  EXPECT_EQ(g.commands_starting("AT+CPIN=\""), 1);
  EXPECT_EQ(g.tag_count("unlock_sim6 PIN refused"), 1);
  EXPECT_GE(g.tag_count("On the air"), 1);
  EXPECT_FALSE(g.refusal_remembered()) << "READY showed the PIN was taken";
  g.modem.unplug(g.now() + 1000, 5000, true);
  g.run(120000);
  EXPECT_EQ(g.commands_starting("AT+CPIN=\""), 2);
  EXPECT_EQ(g.modem.sim_pin_tries(), 3);
  // After the cut the modem echoes again: echo goes off before the PIN, so no echo of it comes
  // (and one would be masked in the trace, as its own tests show).
  const std::string trace = g.read_log("trace.log");
  EXPECT_NE(trace.find("--> AT+CPIN=***\\r"), std::string::npos);
  EXPECT_NE(trace.find("<-- AT+CPIN?\\r"), std::string::npos) << "the cut turned echo on";
  EXPECT_EQ(trace.find("<-- AT+CPIN="), std::string::npos);
  g.expect_no_pin_anywhere(kPin);
}

// The PIN goes out only once its record is on the disk: written, synced, renamed into place, and
// the rename synced, in that order, then the PIN. A step that fails sends no PIN and leaves no
// record (a record of a PIN never sent would keep it from ever being sent), whatever the step.
TEST(SimPin, ThePinGoesOnlyAfterItsRecordIsOnTheDisk) {
  const std::vector<std::string> durable = {"write sim-pin.refused.tmp", "sync sim-pin.refused.tmp",
                                            "rename sim-pin.refused.tmp sim-pin.refused",
                                            "sync log/"};
  // The record's steps up to the one that fails (all when none does), then the next attempt.
  const auto steps_until = [&](std::size_t failing) {
    std::vector<std::string> steps = {"AT+CPIN?"};
    steps.insert(steps.end(), durable.begin(), durable.begin() + static_cast<long>(failing) + 1);
    steps.push_back("AT+CPIN?");
    return steps;
  };
  std::vector<std::pair<std::string, std::vector<std::string>>> cases;
  for (std::size_t i = 0; i < durable.size(); ++i) cases.push_back({durable[i], steps_until(i)});
  std::vector<std::string> sent = steps_until(durable.size() - 1);
  sent.back() = "ATE0";
  sent.push_back(std::string("AT+CPIN=\"") + kWrongPin + "\"");
  sent.insert(sent.end(), durable.begin(), durable.end());  // the refusal, recorded
  cases.push_back({"", sent});
#ifndef _WIN32
  // Owner-only whatever the umask: here one that takes nothing away.
  const mode_t umask_before = ::umask(0);
#endif
  for (const auto& [failing, steps] : cases) {
    PinGateway g(sim_with_pin(kPin), std::string(kWrongPin));
    NotedFiles files(g.modem, failing);
    g.run(60000);
    EXPECT_EQ(files.first(steps.size()), steps) << failing;
    EXPECT_FALSE(g.log_exists(std::string(modem::kRefusalFile) + ".tmp")) << failing;
    if (failing.empty()) {
      EXPECT_EQ(g.commands_starting("AT+CPIN=\""), 1);
#ifndef _WIN32
      EXPECT_EQ(fs::status(g.dir() / "log" / modem::kRefusalFile).permissions(),
                fs::perms::owner_read | fs::perms::owner_write);
#endif
      continue;
    }
    EXPECT_EQ(g.commands_starting("AT+CPIN=\""), 0) << failing;
    EXPECT_FALSE(g.refusal_remembered()) << failing;
    EXPECT_GE(g.tag_count("unlock_sim7"), 2) << failing;
    EXPECT_NE(g.console().find("unlock_sim7 cannot write log/sim-pin.refused, no PIN sent "
                               "init_modem2 handle_modem0  "),
              std::string::npos)
        << failing;
  }
#ifndef _WIN32
  ::umask(umask_before);
#endif
}

}  // namespace
}  // namespace mvo::driver
