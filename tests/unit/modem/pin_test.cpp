// The SIM's PIN at bring-up: each way unlock_sim fails, with its text and tag, and the memory of a
// refused PIN.
#include "modem/pin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "modem/modem.h"
#include "tests/support/harness.h"

namespace mvo::modem {
namespace {

namespace fs = std::filesystem;
using sim::FaultKind;
using sim::FaultRule;
using test::Harness;

constexpr const char* kPin = "2580";

sim::ModemOptions sim_with_pin(const char* pin, int tries = 3) {
  return {.sim_pin = pin, .sim_pin_tries = tries};
}

fs::path refusal(const Harness& h) { return h.dir() / "log" / kRefusalFile; }

FaultRule once(const char* command, FaultKind kind, const char* lines = "", int count = 1) {
  return {command, kind, count, 1.0, 0, lines};
}

// A first attempt that fails; the second one (the fault used up) brings the modem on the air,
// unless the SIM itself stays in the way.
TEST(UnlockSim, EachFailureHasItsTextAndTag) {
  struct Case {
    const char* name;
    FaultRule fault;
    const char* tag;  // of the first attempt, then init_modem2; nullptr: on the air at once
    std::string console_part;
    bool on_air;  // after the second attempt; else the PIN sent is remembered as refused
  } cases[] = {
      {"no answer to AT+CPIN?", once("AT+CPIN?", FaultKind::kSilent), "unlock_sim1",
       "unlock_sim1 (no answer to AT+CPIN?) init_modem2 handle_modem0  ", true},
      {"a lock the gateway has no key for",
       once("AT+CPIN?", FaultKind::kReply, "+CPIN: PH-SIM PIN|OK"), "unlock_sim4",
       "unlock_sim4 SIM not ready (PH-SIM PIN), no PIN sent init_modem2 handle_modem0  ", true},
      {"SIM busy at first: asked again until it is not",
       once("AT+CPIN?", FaultKind::kReply, "+CME ERROR: 14", 3), nullptr, "", true},
      {"no answer to the PIN: it counts as refused", once("AT+CPIN=", FaultKind::kSilent),
       "unlock_sim6 PIN refused",
       "unlock_sim6 the SIM refused the PIN of pin.txt (no answer): not entered again until "
       "pin.txt changes init_modem2 handle_modem0  unlock_sim5 ",
       false},
  };
  for (const auto& c : cases) {
    Harness h(sim_with_pin(kPin));
    h.modem.add_fault(c.fault);
    h.clock.stop_at(h.now() + 150000);  // room for two attempts, not for 150
    bool on_air = false;
    try {
      on_air = handle_modem(h.env, "COM1", ModemSetup{kPin});
    } catch (const sim::SimulationEnd&) {
    }
    EXPECT_EQ(on_air, c.on_air) << c.name;
    const std::vector<std::string> first =
        c.tag ? std::vector<std::string>{c.tag, "init_modem2", "handle_modem0"}
              : std::vector<std::string>{"On the air"};
    const auto tags = h.tags();
    ASSERT_GE(tags.size(), first.size()) << c.name;
    EXPECT_TRUE(std::equal(first.begin(), first.end(), tags.begin())) << c.name;
    EXPECT_NE(h.console().find(c.console_part), std::string::npos) << c.name << "\n" << h.console();
    EXPECT_EQ(h.commands_starting("AT+CPIN="), 1) << c.name;  // over both attempts
    EXPECT_EQ(fs::is_regular_file(refusal(h)), !c.on_air) << c.name;
    EXPECT_EQ(h.console().find(kPin), std::string::npos) << c.name;
  }
}

TEST(RefusalMemory, RemembersTheRefusedPinOnly) {
  Harness h(sim_with_pin(kPin));
  const std::string path = refusal(h).string();
  EXPECT_EQ(remembered_refusal(path, kPin), Refusal::kNone);
  h.modem.add_fault({"AT+CPIN=", FaultKind::kError, 1});
  h.clock.stop_at(h.now() + 30000);
  try {
    handle_modem(h.env, "COM1", ModemSetup{"1397"});
  } catch (const sim::SimulationEnd&) {
  }
  EXPECT_EQ(remembered_refusal(path, "1397"), Refusal::kThisPin);
  EXPECT_EQ(remembered_refusal(path, "13970"), Refusal::kOtherPin);
  EXPECT_EQ(remembered_refusal(path, kPin), Refusal::kOtherPin);
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  in.close();  // Windows removes no file that is open
  EXPECT_EQ(text.find_first_of("0123456789"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n"), std::string::npos);

  // A file that is not a record (empty, as a power cut can leave a record just written; torn;
  // edited) is not risked: it counts as a refusal of whatever PIN is configured.
  for (const char* junk : {"", "refused\r\n", "refused abc\r\n", "# refused abc def\r\n"}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << junk;
    EXPECT_EQ(remembered_refusal(path, "1397"), Refusal::kThisPin) << junk;
    EXPECT_EQ(remembered_refusal(path, kPin), Refusal::kThisPin) << junk;
  }
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::remove(path, ec)) << ec.message();
  EXPECT_EQ(remembered_refusal(path, "1397"), Refusal::kNone);
}

TEST(RefusalMemory, FingerprintsTellPinsAndSaltsApart) {
  const std::string a = pin_fingerprint("1234", "salt");
  EXPECT_EQ(a, pin_fingerprint("1234", "salt"));
  EXPECT_EQ(a.size(), 16u);
  EXPECT_EQ(a.find_first_not_of("abcdefghijklmnop"), std::string::npos);
  for (const auto& [pin, salt] : std::vector<std::pair<std::string, std::string>>{
           {"1235", "salt"}, {"12340", "salt"}, {"1234", "salu"}, {"0000", "salt"}}) {
    EXPECT_NE(pin_fingerprint(pin, salt), a) << pin << " " << salt;
  }
}

TEST(SimPinRequired, RepliesThatAskForThePin) {
  for (const char* line : {"+CME ERROR: 11", "+CMS ERROR: 311", "+CME ERROR: SIM PIN required",
                           "+cme error: sim pin required"}) {
    EXPECT_TRUE(sim_pin_required(line)) << line;
  }
  for (const char* line : {"+CME ERROR: 110", "+CME ERROR: 12", "+CMS ERROR: 3110", "ERROR", ""}) {
    EXPECT_FALSE(sim_pin_required(line)) << line;
  }
}

}  // namespace
}  // namespace mvo::modem
