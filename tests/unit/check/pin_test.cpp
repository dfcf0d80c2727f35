// mvo-check and the SIM's PIN: pin.txt's faults, who may read it, and a remembered refusal.
#include "modem/pin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "tools/check/check.h"

namespace mvo::check {
namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> kGoodSite = {
    {"cfg.txt", "x COM1\n"},
    {"stations.txt", "\"Tank3\";\"+44 10\"\n"},
    {"human.txt", "Normal\nOverflow\n"},
    {"destinations.txt", "\"Control\";\"+111\";SMC\n"},
};

PortState good_port(const std::string&, const std::string& port_name) {
  return {port_name.substr(4), true, true};
}

// The refusal record as the gateway writes it.
std::string record_for(const std::string& pin) {
  return "# comment\r\nrefused abcd " + modem::pin_fingerprint(pin, "abcd") + "\r\n";
}

TEST(CheckPin, FindingsOfPinTxtAndTheRefusalMemory) {
  struct Case {
    const char* name;
    std::optional<std::string> pin_txt;  // nullopt: no pin.txt
    fs::perms mode;
    std::optional<std::string> refused;  // log/sim-pin.refused
    std::vector<std::string> findings;
    std::string pin;  // as loaded
    fs::perms refused_mode = fs::perms::owner_read | fs::perms::owner_write;
    const char* user = nullptr;  // --user
  } cases[] = {
      {"no pin.txt", std::nullopt, fs::perms::none, std::nullopt, {}, ""},
      {"a PIN only its owner reads",
       "2580\n",
       fs::perms::owner_read | fs::perms::owner_write,
       std::nullopt,
       {},
       "2580"},
      {"a PIN everyone reads",
       "2580\n",
       fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
           fs::perms::others_read,
       std::nullopt,
       {"configuration/pin.txt: warning: other users may read the SIM's PIN (mode 644): chmod "
        "600 configuration/pin.txt"},
       "2580"},
      {"a PIN the group reads",
       "2580\n",
       fs::perms::owner_read | fs::perms::group_read,
       std::nullopt,
       {"configuration/pin.txt: warning: other users may read the SIM's PIN (mode 440): chmod "
        "600 configuration/pin.txt"},
       "2580"},
      {"not 4 to 8 digits",
       "# the PIN\n258\n",
       fs::perms::owner_read,
       std::nullopt,
       {"configuration/pin.txt:2: error: PIN in file pin.txt (line 2) is not 4 to 8 digits"},
       ""},
      {"this PIN refused",
       "2580\n",
       fs::perms::owner_read,
       record_for("2580"),
       {"log/sim-pin.refused: warning: the SIM refused the PIN of pin.txt (or never answered "
        "it): the gateway does not enter it again until pin.txt holds another PIN; delete this "
        "file to let it try once more"},
       "2580"},
      {"another PIN refused",
       "2580\n",
       fs::perms::owner_read,
       record_for("1397"),
       {"log/sim-pin.refused: warning: the SIM refused another PIN before: the gateway enters "
        "the PIN of pin.txt once"},
       "2580"},
      {"a refusal, no PIN now",
       std::nullopt,
       fs::perms::none,
       record_for("1397"),
       {"log/sim-pin.refused: warning: the SIM refused a PIN before; pin.txt holds none now"},
       ""},
      {"a refusal the group reads, as the umask of the unit left it",
       std::nullopt,
       fs::perms::none,
       record_for("1397"),
       {"log/sim-pin.refused: warning: other users may read the record of the SIM's PIN, which "
        "gives the PIN away to whoever tries all PINs on it (mode 640): chmod 600 "
        "log/sim-pin.refused",
        "log/sim-pin.refused: warning: the SIM refused a PIN before; pin.txt holds none now"},
       "",
       fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read},
      {"a PIN the gateway's user may not read",
       "2580\n",
       fs::perms::owner_read | fs::perms::owner_write,
       std::nullopt,
       {"configuration/pin.txt: error: file pin.txt cannot be read: chown it to the gateway's "
        "user -- user nobody may not read it, so the gateway run as nobody halts there; fix it "
        "with: chown nobody: <site>/configuration/pin.txt"},
       "",
       {},
       "nobody"},
      {"a PIN the gateway's user may read",
       "2580\n",
       fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read,
       std::nullopt,
       {"configuration/pin.txt: warning: other users may read the SIM's PIN (mode 604): chmod "
        "600 configuration/pin.txt"},
       "2580",
       {},
       "nobody"},
  };
  const fs::path base =
      fs::temp_directory_path() /
      ("mvo-check-pin-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  int n = 0;
  for (const auto& c : cases) {
    const fs::path dir = base / std::to_string(n++);
    fs::create_directories(dir / "configuration");
    fs::create_directories(dir / "log");
    for (const auto& [name, data] : kGoodSite) std::ofstream(dir / "configuration" / name) << data;
    if (c.pin_txt) {
      std::ofstream(dir / "configuration" / "pin.txt") << *c.pin_txt;
      fs::permissions(dir / "configuration" / "pin.txt", c.mode);
    }
    if (c.refused) {
      std::ofstream(dir / "log" / modem::kRefusalFile, std::ios::binary) << *c.refused;
      fs::permissions(dir / "log" / modem::kRefusalFile, c.refused_mode);
    }
    SiteProbes probes;
    probes.port = good_port;
    if (c.user != nullptr) {
      probes.user = c.user;
      fs::permissions(dir / "log", fs::perms::all);  // the log directory is not what is judged
    }
    const SiteCheck result = check_site(dir.string(), probes);
    std::vector<std::string> lines;
    for (const auto& f : result.findings) lines.push_back(to_line(f));
    std::vector<std::string> expected;
    const std::string site = fs::absolute(dir).lexically_normal().string();
    for (std::string line : c.findings) {
      if (const auto at = line.find("<site>"); at != std::string::npos) line.replace(at, 6, site);
      expected.push_back(line);
    }
#ifdef _WIN32
    // Who may read a file is a matter of access control lists there, not judged.
    if (c.user != nullptr) continue;
    // Windows keeps no POSIX mode bits: no warning about who may read the file.
    std::erase_if(expected,
                  [](const std::string& l) { return l.find("may read") != std::string::npos; });
#endif
    EXPECT_EQ(lines, expected) << c.name;
    EXPECT_EQ(result.tables.pin, c.pin) << c.name;
    EXPECT_EQ(result.loads, std::none_of(lines.begin(), lines.end(),
                                         [](const std::string& l) {
                                           return l.find(": error: ") != std::string::npos;
                                         }))
        << c.name;
    for (const auto& l : lines) {
      for (const char* pin : {"2580", "1397", "258\n"})
        EXPECT_EQ(l.find(pin), std::string::npos) << c.name;
    }
    // A read-only file cannot be removed on Windows.
    if (c.pin_txt) fs::permissions(dir / "configuration" / "pin.txt", fs::perms::owner_all);
  }
  fs::remove_all(base);
}

}  // namespace
}  // namespace mvo::check
