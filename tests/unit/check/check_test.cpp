// mvo-check over sites with each fault and each warning, and its report preview against what the
// gateway itself sends. With MVO_CHECK_KEEP_SITES=<dir> the faulty sites are left in <dir>, one
// directory each, for the process test that holds them against the real gateway.
#include "tools/check/check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "driver/gateway.h"
#include "tests/support/harness.h"

namespace mvo::check {
namespace {

namespace fs = std::filesystem;

// A site that checks clean: an SMC destination receives every code.
const std::map<std::string, std::string> kGoodSite = {
    {"cfg.txt", "x COM1\n"},
    {"stations.txt", "\"Tank3\";\"+44 10\"\n\"Pump1\";\"+4401\"\n"},
    {"human.txt", "Normal\nOverflow\nLow\n"},
    {"destinations.txt", "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"1\"\n"},
};

// Ports as the operating system would show them.
PortState fake_probe(const std::string&, const std::string& port_name) {
  const std::string word = port_name.substr(4);
  return {word, word != "COM9", word == "COM1"};
}

struct SiteCase {
  const char* name;
  std::map<std::string, std::optional<std::string>> files;  // over kGoodSite; nullopt: no file
  std::vector<std::string> findings;
  int status;
};

const std::string kLongName(120, 'N');

const SiteCase kSites[] = {
    {"clean", {}, {}, 0},
    // Faults: the gateway halts on the first of them.
    {"no cfg.txt",
     {{"cfg.txt", std::nullopt}},
     {"configuration/cfg.txt: error: NO CFG FILE  AND stopping..."},
     2},
    {"cfg.txt without a port",
     {{"cfg.txt", "COM1"}},
     {"configuration/cfg.txt: error: NO COM PORT IN CFG FILE  AND stopping..."},
     2},
    {"no stations.txt",
     {{"stations.txt", std::nullopt}},
     {"configuration/stations.txt: error: NO STATIONS FILE"},
     2},
    {"every faulty station line, entry indices as once fixed",
     {{"stations.txt", "\"A\";\"1\"\n\"B\";\"12+3\"\nx\n;;;;;;;\n\"C\";\"2\";x\n\"Delta\"\n"}},
     {"configuration/stations.txt:1: warning: station \"A\": number 1 is in national form (no "
      "leading + or 00): a sender reported in international form does not match it, and its "
      "reports are dropped as un-authorized",
      "configuration/stations.txt:2: error: cell phone number contains illegal characters(2) +",
      "configuration/stations.txt:4: error: bad formatting of station (type 1)",
      "configuration/stations.txt:5: error: Error type 3 in line 3",
      "configuration/stations.txt:6: error: Error type 2 in line 4"},
     2},
    {"stations all too short",
     {{"stations.txt", "x\n"}},
     {"configuration/stations.txt: error: no valid stations"},
     2},
    {"human.txt line too long counts for the destinations",
     {{"human.txt", "Normal\n" + std::string(170, 'h') + "\nLow\n"},
      {"destinations.txt", "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"2\"\n"}},
     {"configuration/human.txt:2: error: line 2 in file human.txt is too long"},
     2},
    {"no human.txt: codes checked up to 19",
     {{"human.txt", std::nullopt},
      {"destinations.txt", "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"19,20\"\n"}},
     {"configuration/human.txt: error: NO human.txt FILE",
      "configuration/destinations.txt:2: error: Non existing status code =20 (0 <= code <= 19)"},
     2},
    {"destination faults",
     {{"destinations.txt",
       "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";hmn\n\"V\";\"+333\";HMV;\"1,x\"\n"
       "\"W\";\"+444\";HMV;\"0,3\"\n\"Z\";\"+555\";SMC;\n"}},
     {"configuration/destinations.txt:2: error: no type in destination",
      "configuration/destinations.txt:3: error: non digit status code registration field",
      "configuration/destinations.txt:4: error: Non existing status code =3 (0 <= code <= 2)",
      "configuration/destinations.txt:5: error: bad formatting of sbsc (type 1)"},
     2},
    {"custom.txt faults",
     {{"custom.txt", "\"&S fine\"\n\"&S\n\"" + std::string(170, 'c') + "\"\n"}},
     {"configuration/custom.txt:2: error: line 2 in file custom.txt does not have proper message",
      "configuration/custom.txt:3: error: line 3 in file custom.txt is too long"},
     2},
    {"options.txt faults, each reported",
     {{"options.txt", "traffic on\nalarm on\nheartbeat maybe\n"}},
     {"configuration/options.txt:2: error: line 2 in file options.txt: unknown option alarm",
      "configuration/options.txt:3: error: line 3 in file options.txt: heartbeat takes on or off"},
     2},
    {"faults in three files at once",
     {{"stations.txt", "\"Tank3\";\"(079)\"\n"},
      {"human.txt", std::string(200, 'h') + "\n"},
      {"destinations.txt", "\"Ops\";\"+222\";HMN;\"1\"\n\"\";\"+1\";SMC\n"}},
     {"configuration/stations.txt:1: error: cell phone number contains illegal characters(1) (",
      "configuration/human.txt:1: error: line 1 in file human.txt is too long",
      "configuration/destinations.txt:1: error: Non existing status code =1 (0 <= code <= 0)",
      "configuration/destinations.txt:2: error: bad formatting of station (type 2)"},
     2},
    // Warnings: the gateway starts, but not as the operator meant.
    {"national form and a number twice",
     {{"stations.txt",
       "\"Tank3\";\"0791 234567\"\n\"Pump1\";\"00 44 10\"\n\"Pump2\";\"0044-10\"\n"}},
     {"configuration/stations.txt:1: warning: station \"Tank3\": number 0791234567 is in "
      "national form (no leading + or 00): a sender reported in international form does not match "
      "it, and its reports are dropped as un-authorized",
      "configuration/stations.txt:3: warning: station \"Pump2\": number 004410 is also station "
      "\"Pump1\"'s (line 2), which always matches first: this station never does"},
     1},
    {"a long station name cuts its sentence",
     {{"stations.txt", "\"" + kLongName + "\";\"+4410\"\n"}},
     {"configuration/stations.txt:1: warning: station \"" + kLongName +
      "\": its text for \"Ops\" (HMN, status code 1) can reach 205 characters; one SMS holds "
      "160, so the end would be cut"},
     1},
    {"destination subscribed to nothing, codes nobody receives, CST without custom.txt",
     {{"destinations.txt", "\"Ops\";\"+222\";HMN\n\"Mgr\";\"+444\";CST;\"1\"\n"}},
     {"configuration/human.txt:1: warning: status code 0 (\"Normal\") is received by no "
      "destination",
      "configuration/human.txt:3: warning: status code 2 (\"Low\") is received by no destination",
      "configuration/destinations.txt:1: warning: destination \"Ops\" (HMN) is subscribed to no "
      "status code: it receives nothing",
      "configuration/destinations.txt:2: warning: destination \"Mgr\" (CST): there is no "
      "custom.txt, so it receives the HMN sentence"},
     1},
    {"templates that can pass one SMS",
     {{"custom.txt", "\"&S &L &L &D\"\n\"" + std::string(160, 'c') + "&S\"\n\"&s &x &&\"\n"}},
     // 5 + 2 + 48 * 2 + 1 + 3 blanks = 105 fits; 160 + 5 passes; lower case is no placeholder.
     {"configuration/custom.txt:2: warning: the template of status code 1 can expand to 165 "
      "characters; one SMS holds 160, so the end would be cut"},
     1},
    {"ports",
     {{"cfg.txt", "x COM9\n"}},
     {"configuration/cfg.txt: warning: port COM9 does not exist"},
     1},
    {"port this user may not open",
     {{"cfg.txt", "x locked\n"}},
     {"configuration/cfg.txt: warning: port locked: this user may not open it"},
     1},
    {"no port after the first word",
     {{"cfg.txt", "x \n"}},
     {"configuration/cfg.txt: warning: no port name after the first word: the gateway would try "
      "to open the bare \"\\\\.\\\" every 20 seconds without end"},
     1},
};

fs::path make_site(const fs::path& dir, const SiteCase& c) {
  fs::create_directories(dir / "configuration");
  fs::create_directories(dir / "log");
  std::map<std::string, std::optional<std::string>> files(kGoodSite.begin(), kGoodSite.end());
  for (const auto& [name, data] : c.files) files[name] = data;
  for (const auto& [name, data] : files) {
    if (data) std::ofstream(dir / "configuration" / name, std::ios::binary) << *data;
  }
  return dir;
}

TEST(CheckSite, FindingsOfEachFaultAndWarning) {
  const char* keep = std::getenv("MVO_CHECK_KEEP_SITES");
  const fs::path base =
      keep != nullptr ? fs::path(keep) : fs::temp_directory_path() / "mvo-check-test";
  int n = 0;
  for (const auto& c : kSites) {
    const fs::path dir = make_site(base / ("site" + std::to_string(n++)), c);
    const SiteCheck result = check_site(dir.string(), fake_probe);
    std::vector<std::string> lines;
    for (const auto& f : result.findings) lines.push_back(to_line(f));
    EXPECT_EQ(lines, c.findings) << c.name;
    EXPECT_EQ(exit_status(result.findings), c.status) << c.name;
    EXPECT_EQ(result.loads, c.status < 2) << c.name;
    EXPECT_TRUE(fs::is_empty(dir / "log")) << c.name << ": the site's log was written";
    if (keep == nullptr || c.status < 2) fs::remove_all(dir);
  }
  if (keep == nullptr) fs::remove_all(base);
}

TEST(CheckSite, ShownTexts) {
  EXPECT_EQ(visible("  a\x1a\x1b\x7f b \n"), "a^Z^[^? b");
  EXPECT_EQ(visible("NO CFG FILE\n AND stopping..."), "NO CFG FILE  AND stopping...");
  EXPECT_EQ(to_line({"configuration/human.txt", 3, Severity::kWarning, "w"}, "site/"),
            "site/configuration/human.txt:3: warning: w");
}

// The composition example of the scenario tests, through the real gateway and through the preview.
struct ReportCase {
  const char* name;
  const char* custom;  // nullptr: no custom.txt
  const char* sender;
  std::string text;
  std::string refusal;  // "" when accepted
  std::vector<std::string> tags;
  std::vector<std::string> reasons;  // accepted: per destination without a text
};

TEST(PreviewReport, SameTextsAsTheGatewaySends) {
  const ReportCase cases[] = {
      {"custom template",
       "\"x\"\n\"&S: &L m, &V l (&D/&O/&X/&T/&E)\"\n",
       "+4410",
       "10,2.5,c,400,e,f,1",
       "",
       {},
       {"", "", "nothing: not subscribed to status code 1", ""}},
      {"no custom.txt",
       nullptr,
       "+4410",
       "10,2.5,c,400,e,f,1",
       "",
       {},
       {"", "", "nothing: not subscribed to status code 1", ""}},
      {"status 0 reaches the volume destination",
       "\"x\"\n",
       "+4410",
       "10,2.5,c,400,e,f,0",
       "",
       {},
       {"", "nothing: not subscribed to status code 0", "",
        "nothing: not subscribed to status code 0"}},
      {"template beyond those loaded",
       "\"x\"\n",
       "+4410",
       "10,2.5,c,400,e,f,1",
       "",
       {},
       {"", "", "nothing: not subscribed to status code 1",
        "nothing: custom.txt has no template for status code 1"}},
      {"empty template",
       "\"x\"\n\"\"\n",
       "+4401",
       "1,2,3,4,5,6,1",
       "",
       {},
       {"", "", "nothing: not subscribed to status code 1",
        "nothing: the template of status code 1 expands to nothing"}},
      {"sender not a number as stored",
       nullptr,
       "0044 10",
       "1,2,3,4,5,6,1",
       "SMS from un-authorized: 0044 10" + std::string(20, ' ') + "\n",
       {"SMS from UFO"},
       {}},
      {"too long",
       nullptr,
       "+4410",
       std::string(61, '1'),
       "SMS from is too long: " + std::string(61, '1') + std::string(14, ' ') + "\n",
       {"SMS too long"},
       {}},
      {"six fields",
       nullptr,
       "+4410",
       "a,b,c,d,e,f",
       "Illegal SMS content: 'a,b,c,d,e,f'" + std::string(24, ' ') + "\n",
       {"Illegal SMS content 7"},
       {}},
      {"status beyond human.txt",
       nullptr,
       "+4410",
       "a,b,c,d,e,f,3",
       "Illegal status in SMS: 'a,b,c,d,e,f,3'" + std::string(22, ' ') + "\n",
       {"Illegal SMS status flag"},
       {}},
  };
  for (const auto& c : cases) {
    test::Harness g;
    g.write_config("cfg.txt", "x COM1\n");
    g.write_config("stations.txt", "\"Pump1\";\"+4401\"\n\"Tank3\";\"+44 10\"\n");
    g.write_config("human.txt", "Normal\nOverflow\nLow\n");
    g.write_config("destinations.txt",
                   "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"1\"\n"
                   "\"Volume\";\"+333\";HMV;\"0\"\n\"Custom\";\"+444\";CST;\"1\"\n");
    if (c.custom != nullptr) g.write_config("custom.txt", c.custom);
    const SiteCheck site = check_site(g.dir().string(), fake_probe);
    ASSERT_TRUE(site.loads) << c.name;
    const Preview p = preview_report(g.dir().string(), site, c.sender, c.text);

    // The gateway itself, on the same site and message.
    g.modem.deliver(c.sender, "12/02/26,13:19:42+04", c.text);
    g.clock.stop_at(120000);
    try {
      driver::main_loop(g.env, "\\\\.\\COM1");
    } catch (const sim::SimulationEnd&) {
    }
    EXPECT_EQ(p.refused, !c.refusal.empty()) << c.name;
    if (p.refused) {
      EXPECT_EQ(p.console, c.refusal) << c.name;
      EXPECT_EQ(p.tags, c.tags) << c.name;
      EXPECT_NE(g.console().find(c.refusal), std::string::npos) << c.name;
      EXPECT_TRUE(g.modem.outbox().empty()) << c.name;
      continue;
    }
    std::vector<std::pair<std::string, std::string>> sent, previewed;
    for (const auto& s : g.modem.outbox()) sent.emplace_back(s.number, s.text);
    for (std::size_t d = 0; d < p.texts.size(); ++d) {
      if (!p.texts[d].empty())
        previewed.emplace_back(site.tables.destinations[d].number, p.texts[d]);
    }
    EXPECT_EQ(previewed, sent) << c.name;
    EXPECT_EQ(p.reasons, c.reasons) << c.name;
    const std::string line = "SMS /";
    EXPECT_EQ(p.console.rfind(line, 0), 0u) << c.name;
    EXPECT_NE(p.console.find("/" + site.tables.stations[static_cast<std::size_t>(p.station)].name +
                             ": " + c.text + "\n"),
              std::string::npos)
        << c.name;
  }
}

}  // namespace
}  // namespace mvo::check
