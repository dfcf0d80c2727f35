// The SIM's PIN at bring-up: each way unlock_sim fails, with its text and tag, and the memory of a
// refused PIN.
#include "modem/pin.h"

#include <gtest/gtest.h>

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

// A first attempt that fails; the second one (the fault used up) brings the modem on the air,
// unless the SIM itself stays in the way.
TEST(UnlockSim, EachFailureHasItsTextAndTag) {
  struct Case {
    const char* name;
    FaultRule fault;
    std::vector<std::string> first_tags;
    std::string console_part;
    bool on_air;  // after the second attempt; else the PIN sent is remembered as refused
  } cases[] = {
      {"no answer to AT+CPIN?",
       {"AT+CPIN?", FaultKind::kSilent, 1},
       {"unlock_sim1", "init_modem2", "handle_modem0"},
       "unlock_sim1 (no answer to AT+CPIN?) init_modem2 handle_modem0  ",
       true},
      {"a lock the gateway has no key for",
       {"AT+CPIN?", FaultKind::kReply, 1, 1.0, 0, "+CPIN: PH-SIM PIN|OK"},
       {"unlock_sim4", "init_modem2", "handle_modem0"},
       "unlock_sim4 SIM not ready (PH-SIM PIN), no PIN sent init_modem2 handle_modem0  ",
       true},
      {"SIM busy at first: asked again until it is not",
       {"AT+CPIN?", FaultKind::kReply, 3, 1.0, 0, "+CME ERROR: 14"},
       {"On the air"},
       "",
       true},
      {"no answer to the PIN: it counts as refused",
       {"AT+CPIN=", FaultKind::kSilent, 1},
       {"unlock_sim6 PIN refused", "init_modem2", "handle_modem0", "unlock_sim5 PIN refused before",
        "init_modem2", "handle_modem0"},
       "unlock_sim6 the SIM refused the PIN of pin.txt (no answer): not entered again until "
       "pin.txt changes init_modem2 handle_modem0  ",
       false},
      {"ERROR to the PIN",
       {"AT+CPIN=", FaultKind::kError, 1},
       {"unlock_sim6 PIN refused", "init_modem2", "handle_modem0"},
       "unlock_sim6 the SIM refused the PIN of pin.txt (ERROR): not entered again until pin.txt "
       "changes init_modem2 handle_modem0  ",
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
    const auto tags = h.tags();
    ASSERT_GE(tags.size(), c.first_tags.size()) << c.name;
    EXPECT_EQ(std::vector<std::string>(tags.begin(),
                                       tags.begin() + static_cast<long>(c.first_tags.size())),
              c.first_tags)
        << c.name;
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
  struct Case {
    const char* line;
    bool required;
  } cases[] = {
      {"+CME ERROR: 11", true},
      {"+CMS ERROR: 311", true},
      {"+CME ERROR: SIM PIN required", true},
      {"+cme error: sim pin required", true},
      {"+CME ERROR: 110", false},
      {"+CME ERROR: 12", false},
      {"+CMS ERROR: 3110", false},
      {"ERROR", false},
      {"OK", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(sim_pin_required(c.line), c.required) << c.line;
}

}  // namespace
}  // namespace mvo::modem
