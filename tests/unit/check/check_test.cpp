// mvo-check over sites with each fault and each warning, the SIM's PIN, and its report preview
// against what the gateway itself sends. With MVO_CHECK_KEEP_SITES=<dir> the faulty sites are left
// in <dir>, one directory each, for the process test that holds them against the real gateway.
#include "tools/check/check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>

#include "driver/gateway.h"
#include "modem/pin.h"
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

// A scratch directory of this run: other checkouts may run these tests at the same time.
fs::path scratch(const std::string& name) {
  static const std::string run = std::to_string(std::random_device{}());
  return fs::temp_directory_path() / (name + "-" + run);
}

// Ports as the operating system would show them.
PortState fake_probe(const std::string&, const std::string& port_name) {
  const std::string word = port_name.substr(4);
  return {word, word != "COM9", word == "COM1" || word == "/dev/ttyUSB0"};
}

// The fake ports, and the gateway's user (nullptr: the current one).
SiteProbes probes_as(const char* user = nullptr) {
  SiteProbes probes;
  probes.port = fake_probe;
  if (user != nullptr) probes.user = user;
  return probes;
}

struct SiteCase {
  const char* name;
  std::map<std::string, std::optional<std::string>> files;  // over kGoodSite; nullopt: no file
  std::vector<std::string> findings;  // "<site>/": the site's full path; <codes> etc.: kPlainWords
  bool log_dir = true;
  const char* user = nullptr;  // --user; nullptr: the current user
};

const std::string kBom = "\xEF\xBB\xBF";

// The text as Notepad writes it in "UTF-16 LE" (ASCII text only).
std::string utf16(const std::string& ascii, bool marked = true) {
  std::string out = marked ? "\xFF\xFE" : "";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

const std::string kBomWarning =
    ": warning: the file begins with a byte-order mark (Notepad's encoding \"UTF-8 with BOM\"): "
    "the gateway skips it, other programs may not; save it with the encoding \"UTF-8\"";
const std::string kUtf16 =
    ", which the gateway reads as garbage: open it in Notepad, choose Save As and the encoding "
    "\"UTF-8\"";
const std::string kUtf16Marked =
    ": error: the file is written in UTF-16 (Notepad's \"UTF-16 LE\" or \"Unicode\")" + kUtf16;
const std::string kUtf8Bytes =
    " (UTF-8), which the GSM alphabet cannot carry: the phone will likely show ";

std::string numbered_lines(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "Text " + std::to_string(i) + "\n";
  return text;
}

const std::string kLongName(120, 'N');

// The plain words after a halt's own message, written in the rows as <station line> and so on.
const std::pair<std::string, std::string> kPlainWords[] = {
    {"<station line>", "a station line is \"Name\";\"+number\""},
    {"<destination line>",
     "a destination line is \"Name\";\"+number\";HMN;\"1,2\": a type (SMC, HMN, HMV or CST), "
     "then the status codes it receives (none for SMC)"},
    {"<counted>", " (the gateway numbers the entries from 0)"},
    {"<no code>",
     " -- human.txt has a text for each status code, line 1 for code 0: a code past its last "
     "line does not exist"},
    {"<codes>", "the status codes are written \"1,2\""},
};

const SiteCase kSites[] = {
    {"clean", {}, {}},
    // Faults: the gateway halts on the first of them.
    {"no cfg.txt",
     {{"cfg.txt", std::nullopt}},
     {"configuration/cfg.txt: error: NO CFG FILE  AND stopping... -- configuration/cfg.txt is "
      "missing or cannot be read; it holds one line, a word and the modem's port, such as: port "
      "COM5"}},
    {"cfg.txt without a port",
     {{"cfg.txt", "COM1"}},
     {"configuration/cfg.txt: error: NO COM PORT IN CFG FILE  AND stopping... -- the port "
      "comes after a first word, on the same line, such as: port COM5"}},
    {"no stations.txt",
     {{"stations.txt", std::nullopt}},
     {"configuration/stations.txt: error: NO STATIONS FILE -- configuration/stations.txt is "
      "missing or cannot be read; it holds one station a line, \"Name\";\"+number\""}},
    {"every faulty station line, entry indices as once fixed",
     {{"stations.txt", "\"A\";\"1\"\n\"B\";\"12+3\"\nx\n;;;;;;;\n\"C\";\"2\";x\n\"Delta\"\n"}},
     {"configuration/stations.txt:1: warning: station \"A\": number 1 is in national form (no "
      "leading + or 00): a sender reported in international form does not match it, and its "
      "reports are dropped as un-authorized",
      "configuration/stations.txt:2: error: cell phone number contains illegal characters(2) + -- "
      "after its first character a number holds only digits, blanks and dashes",
      "configuration/stations.txt:4: error: bad formatting of station (type 1) -- the line does "
      "not begin with a name in double quotes: <station line>",
      "configuration/stations.txt:5: error: Error type 3 in line 3 -- there is more than a name "
      "and a number on the line: <station line><counted>",
      "configuration/stations.txt:6: error: Error type 2 in line 4 -- there is no number after the "
      "name (a comma in place of the semicolon?): <station line><counted>"}},
    {"stations all too short",
     {{"stations.txt", "x\n"}},
     {"configuration/stations.txt: error: no valid stations -- no line of the file is a "
      "station (lines shorter than 7 characters are skipped): <station line>"}},
    {"no human.txt: codes checked up to 19",
     {{"human.txt", std::nullopt},
      {"destinations.txt", "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"19,20\"\n"}},
     {"configuration/human.txt: error: NO human.txt FILE -- configuration/human.txt is "
      "missing or cannot be read; one text a line, line 1 for status code 0",
      "configuration/destinations.txt:2: error: Non existing status code =20 (0 <= code <= "
      "19)<no code>"}},
    {"destination faults",
     {{"destinations.txt",
       "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";hmn\n\"V\";\"+333\";HMV;\"1,x\"\n"
       "\"Z\";\"+555\";SMC;\n"}},
     {"configuration/destinations.txt:2: error: no type in destination -- the third field is "
      "none of SMC, HMN, HMV and CST, in capitals: <destination line>",
      "configuration/destinations.txt:3: error: non digit status code registration field -- the "
      "list of status codes holds only digits, commas and blanks: <codes>",
      "configuration/destinations.txt:4: error: bad formatting of sbsc (type 1) -- the list of "
      "status codes does not begin with a double quote: <codes>"}},
    {"more destination faults, each in plain words",
     {{"destinations.txt",
       "\"Control\";\"+111\";SMC\n\"Opsxx\",\"+222\"\n\"Opsxxx\";\"+2222\"\n\"V\";+333;HMV\n"
       "\"W\";\"+444\";HMN;\"1, ,2\"\n"
       "\"X\";\"+555\";HMN;\"1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1\"\n"}},
     {"configuration/destinations.txt:2: error: Error type 2 in line 1 -- there is no number "
      "after the name (a comma in place of the semicolon?): <destination line><counted>",
      "configuration/destinations.txt:3: error: Error type 3 in line 2 -- there is no type after "
      "the number: <destination line><counted>",
      "configuration/destinations.txt:4: error: bad formatting of cell number -- the number is not "
      "in double quotes after the semicolon: <destination line>",
      "configuration/destinations.txt:5: error: too many status messages between comma -- a comma "
      "is followed by nothing but blanks: <codes>",
      "configuration/destinations.txt:6: error: too many status codes in subscription list (more "
      "than 20) -- a destination lists at most 20 status codes"}},
    {"names, numbers and lines too long, a number without quotes",
     {{"stations.txt", "\"" + std::string(150, 'N') + "\";\"+1\"\n\"A\";\"" +
                           std::string(150, '1') + "\"\n\"B\";+12345\n" + std::string(210, 'x') +
                           "\n\"C;\"+3\"\n"}},
     {"configuration/stations.txt:1: error: name is longer than allowed " + std::string(150, 'N') +
          " 150 -- a name has at most 149 characters",
      "configuration/stations.txt:2: error: cell number is longer than allowed " +
          std::string(150, '1') + " 150 -- a number has at most 149 digits",
      "configuration/stations.txt:3: error: bad formatting of cell number -- the number is not in "
      "double quotes after the semicolon: <station line>",
      "configuration/stations.txt:4: error: line of entry 3 in file stations.txt is longer than "
      "199 characters -- a line has at most 199 characters<counted>",
      "configuration/stations.txt:5: error: bad formatting of station (type 2) -- the name has no "
      "closing double quote before the semicolon: <station line>"}},
    {"a port name too long",
     {{"cfg.txt", "x " + std::string(150, 'p') + "\n"}},
     {"configuration/cfg.txt: error: COM PORT NAME IN CFG FILE IS TOO LONG (150 > 145)  AND "
      "stopping... -- a port name has at most 145 characters"}},
    {"custom.txt faults",
     {{"custom.txt", "\"&S fine\"\n\"&S\n\"" + std::string(170, 'c') + "\"\n"}},
     {"configuration/custom.txt:2: error: line 2 in file custom.txt does not have proper message "
      "-- a template is written between double quotes, such as: \"&S: all normal\"",
      "configuration/custom.txt:3: error: line 3 in file custom.txt is too long -- a template has "
      "at most 169 characters between its quotes"}},
    {"options.txt faults, each reported",
     {{"options.txt",
       "traffic on\nalarm on\nheartbeat maybe\ninit AT^X\ninit AT^X\ninit AT^X\ninit AT^X\n"
       "init AT^X\ninit AT^Y\n"}},
     {"configuration/options.txt:2: error: line 2 in file options.txt: unknown option alarm",
      "configuration/options.txt:3: error: line 3 in file options.txt: heartbeat takes on or off",
      "configuration/options.txt:9: error: line 9 in file options.txt: more than 5 init lines"}},
    {"alarms.txt faults, each reported",
     {{"alarms.txt", "silent \"Tank3\" 6h\nsilent Tank9 1h\nto Office\nsilent 5s\nto Ops\n"}},
     {"configuration/alarms.txt:2: error: line 2 in file alarms.txt: no station Tank9 in "
      "stations.txt",
      "configuration/alarms.txt:3: error: line 3 in file alarms.txt: no destination Office in "
      "destinations.txt",
      "configuration/alarms.txt:4: error: line 4 in file alarms.txt: silent takes a time such as "
      "90m, 6h or 2d"}},
    {"alarms.txt without a recipient",
     {{"alarms.txt", "# watch\noff-air 2h\n"}},
     {"configuration/alarms.txt: error: file alarms.txt: no recipient (a to line) for its alarms"}},
    {"faults in three files at once",
     {{"stations.txt", "\"Tank3\";\"(079)\"\n"},
      {"human.txt", std::string(200, 'h') + "\n"},
      {"destinations.txt", "\"Ops\";\"+222\";HMN;\"1\"\n\"\";\"+1\";SMC\n"}},
     {"configuration/stations.txt:1: error: cell phone number contains illegal characters(1) ( -- "
      "a number begins with +, *, - or a digit",
      "configuration/human.txt:1: error: line 1 in file human.txt is too long -- a text has at "
      "most 169 characters",
      "configuration/destinations.txt:1: error: Non existing status code =1 (0 <= code <= "
      "0)<no code>",
      "configuration/destinations.txt:2: error: bad formatting of station (type 2) -- the name, or "
      "the list of status codes, has no closing double quote: <destination line>"}},
    // Warnings: the gateway starts, but not as the operator meant.
    {"national form and a number twice",
     {{"stations.txt",
       "\"Tank3\";\"0791 234567\"\n\"Pump1\";\"00 44 10\"\n\"Pump2\";\"0044-10\"\n"}},
     {"configuration/stations.txt:1: warning: station \"Tank3\": number 0791234567 is in "
      "national form (no leading + or 00): a sender reported in international form does not match "
      "it, and its reports are dropped as un-authorized",
      "configuration/stations.txt:3: warning: station \"Pump2\": number 004410 is also station "
      "\"Pump1\"'s (line 2), which always matches first: this station never does"}},
    {"a long station name cuts its sentence",
     {{"stations.txt", "\"" + kLongName + "\";\"+4410\"\n"}},
     {"configuration/stations.txt:1: warning: station \"" + kLongName +
      "\": its text for \"Ops\" (HMN, status code 1) can reach 205 characters; one SMS holds 160, "
      "so the end would be cut"}},
    {"destination subscribed to nothing, codes nobody receives, CST without custom.txt",
     {{"destinations.txt", "\"Ops\";\"+222\";HMN\n\"Mgr\";\"+444\";CST;\"1\"\n"}},
     {"configuration/human.txt:1: warning: status code 0 (\"Normal\") is received by no "
      "destination",
      "configuration/human.txt:3: warning: status code 2 (\"Low\") is received by no destination",
      "configuration/destinations.txt:1: warning: destination \"Ops\" (HMN) is subscribed to no "
      "status code: it receives nothing",
      "configuration/destinations.txt:2: warning: destination \"Mgr\" (CST): there is no "
      "custom.txt, so it receives the HMN sentence"}},
    {"templates that can pass one SMS",
     {{"custom.txt", "\"&S &L &L &D\"\n\"" + std::string(160, 'c') + "&S\"\n\"&s &x &&\"\n"}},
     // 5 + 2 + 48 * 2 + 1 + 3 blanks = 105 fits; 160 + 5 passes; lower case is no placeholder.
     {"configuration/custom.txt:2: warning: the template of status code 1 can expand to 165 "
      "characters; one SMS holds 160, so the end would be cut"}},
    {"ports",
     {{"cfg.txt", "x COM9\n"}},
     {"configuration/cfg.txt: warning: port COM9 does not exist"}},
    {"port this user may not open",
     {{"cfg.txt", "x locked\n"}},
     {"configuration/cfg.txt: warning: port locked: this user may not open it"}},
    {"no port after the first word",
     {{"cfg.txt", "x \n"}},
     {"configuration/cfg.txt: warning: no port name after the first word: the gateway would try "
      "to open the bare \"\\\\.\\\" every 20 seconds without end"}},
    // Sites as operators write them: Notepad's encodings, letters beyond the GSM alphabet,
    // human.txt past its limits, the log directory.
    {"a byte-order mark in each file, Windows line ends: each loader reads past the mark",
     {{"cfg.txt", kBom + "x COM1\r\n"},
      {"stations.txt", kBom + "\"Tank3\";\"+44 10\"\r\n\"Pump1\";\"+4401\"\r\n"},
      {"human.txt", kBom + "Normal\r\nOverflow\r\nLow\r\n"},
      {"destinations.txt", kBom + "\"Control\";\"+111\";SMC\r\n\"Ops\";\"+222\";HMN;\"1\"\r\n"},
      {"custom.txt", kBom + "\"&S ok\"\r\n"},
      {"options.txt", kBom + "traffic on\r\n"}},
     {"configuration/cfg.txt:1" + kBomWarning, "configuration/stations.txt:1" + kBomWarning,
      "configuration/human.txt:1" + kBomWarning, "configuration/destinations.txt:1" + kBomWarning,
      "configuration/custom.txt:1" + kBomWarning, "configuration/options.txt:1" + kBomWarning}},
    {"UTF-16 stations.txt: the gateway halts on it",
     {{"stations.txt", utf16("\"Tank3\";\"+4410\"\r\n")}},
     {"configuration/stations.txt" + kUtf16Marked,
      "configuration/stations.txt:1: error: bad formatting of station (type 1) -- the line does "
      "not begin with a name in double quotes: <station line>"}},
    {"UTF-16 human.txt: the gateway reads it as garbage",
     {{"human.txt", utf16("Normal\r\nOverflow\r\n")}},
     {"configuration/human.txt" + kUtf16Marked}},
    {"UTF-16 cfg.txt without its mark",
     {{"cfg.txt", utf16("x COM1\r\n", false)}},
     {"configuration/cfg.txt: error: the file holds zero bytes, as UTF-16 (Notepad's \"UTF-16 "
      "LE\" or \"Unicode\") does" +
      kUtf16}},
    {"umlauts and signs the GSM alphabet holds elsewhere",
     {{"stations.txt", "\"Tank Süd\";\"+44 10\"\n\"Pump_1\";\"+4401\"\n"},
      {"human.txt", "Füllstand normal\nÜberlauf\nLow {x`\n"},
      {"custom.txt", "\"&S: café\" Ä not sent\n"}},
     {"configuration/stations.txt:1:8: warning: 'ü' is written as the bytes C3 BC" + kUtf8Bytes +
          "\"C<\"; write it in plain letters",
      "configuration/stations.txt:2:6: warning: '_' has another code in the GSM alphabet: the "
      "phone will likely show \"§\"",
      "configuration/human.txt:1:2: warning: 'ü' is written as the bytes C3 BC" + kUtf8Bytes +
          "\"C<\"; write it in plain letters",
      "configuration/human.txt:2:1: warning: 'Ü' is written as the bytes C3 9C" + kUtf8Bytes +
          "\"CÆ\"; write it in plain letters",
      "configuration/human.txt:3:5: warning: '{' is in the GSM alphabet only behind an escape "
      "code, which the gateway does not write: the phone will likely show \"ä\"",
      "configuration/human.txt:3:7: warning: '`' is not in the GSM alphabet: the phone will likely "
      "show \"¿\"",
      "configuration/custom.txt:1:9: warning: 'é' is written as the bytes C3 A9" + kUtf8Bytes +
          "\"C)\"; write it in plain letters"}},
    {"25 lines in human.txt",
     {{"human.txt", numbered_lines(25)}},
     {"configuration/human.txt:21: warning: lines 21 to 25 are never read: the gateway takes at "
      "most 20 texts (status codes 0 to 19) and refuses a report with a higher code as an illegal "
      "status"}},
    {"blank lines at the end of human.txt",
     {{"human.txt", "Normal\n\nOverflow\nLow\n\n\n"}},
     {"configuration/human.txt:2: warning: status code 1 has an empty text: its reports are "
      "accepted and forwarded without one",
      "configuration/human.txt:5: warning: a blank line at the end of the file makes status code 4 "
      "valid, with an empty text: delete it unless stations send code 4",
      "configuration/human.txt:6: warning: a blank line at the end of the file makes status code 5 "
      "valid, with an empty text: delete it unless stations send code 5"}},
    {"no log directory",
     {},
     {"log/: error: there is no log directory: the gateway would run but keep no record (station "
      "logs, error log); create it: mkdir <site>/log"},
     false},
    {"log directory the gateway's user may not write",
     {},
     {"log/: warning: user nobody may not write here, so the gateway run as nobody would lose its "
      "records; fix it with: chown -R nobody: <site>/log"},
     true,
     "nobody"},
};

// The exit status the findings give: 2 with an error, 1 with warnings only.
int status_of(const SiteCase& c) {
  int status = 0;
  for (const std::string& f : c.findings) {
    status = std::max(status, f.find(": error: ") < f.find(": warning: ") ? 2 : 1);
  }
  return status;
}

fs::path make_site(const fs::path& dir, const SiteCase& c) {
  fs::create_directories(dir / "configuration");
  if (c.log_dir) fs::create_directories(dir / "log");
  std::map<std::string, std::optional<std::string>> files(kGoodSite.begin(), kGoodSite.end());
  for (const auto& [name, data] : c.files) files[name] = data;
  for (const auto& [name, data] : files) {
    if (data) std::ofstream(dir / "configuration" / name, std::ios::binary) << *data;
  }
  return dir;
}

// The findings as mvo-check prints them.
std::vector<std::string> lines_of(const SiteCheck& result) {
  std::vector<std::string> lines;
  for (const auto& f : result.findings) lines.push_back(to_line(f));
  return lines;
}

// The expected lines of the site `dir`, "<site>/" standing for its full path.
std::vector<std::string> expected_lines(std::vector<std::string> lines, const fs::path& dir) {
  const std::string site = (fs::absolute(dir).lexically_normal() / "").string();
  auto replace = [](std::string& line, const std::string& from, const std::string& to) {
    for (std::size_t at; (at = line.find(from)) != std::string::npos;) {
      line.replace(at, from.size(), to);
    }
  };
  for (std::string& line : lines) {
    for (const auto& [from, to] : kPlainWords) replace(line, from, to);
    replace(line, "<site>/", site);
  }
  return lines;
}

TEST(CheckSite, FindingsOfEachFaultAndWarning) {
  const char* keep = std::getenv("MVO_CHECK_KEEP_SITES");
  const fs::path base = keep != nullptr ? fs::path(keep) : scratch("mvo-check-test");
  int n = 0;
  for (const auto& c : kSites) {
    const fs::path dir = make_site(base / ("site" + std::to_string(n++)), c);
    const SiteCheck result = check_site(dir.string(), probes_as(c.user));
#ifdef _WIN32
    // Who may write a directory is a matter of access control lists there, not judged.
    if (c.user != nullptr) continue;
#endif
    const auto halt =
        std::find_if(result.findings.begin(), result.findings.end(),
                     [](const Finding& f) { return f.severity == Severity::kError && f.halts; });
    const bool halts = halt != result.findings.end();
    EXPECT_EQ(lines_of(result), expected_lines(c.findings, dir)) << c.name;
    EXPECT_EQ(exit_status(result.findings), status_of(c)) << c.name;
    EXPECT_EQ(result.loads, !halts) << c.name;
    EXPECT_TRUE(!c.log_dir || fs::is_empty(dir / "log"))
        << c.name << ": the site's log was written";
    // For the parity test: the gateway's message where it halts, else that it starts.
    if (keep != nullptr && status_of(c) == 2) {
      std::ofstream(dir / (halts ? "halts.txt" : "starts.txt")) << (halts ? halt->text : "");
    }
    if (keep == nullptr || status_of(c) < 2) fs::remove_all(dir);
  }
  if (keep == nullptr) fs::remove_all(base);
}

// pin.txt's faults, who may read it, and the remembered refusal (log/sim-pin.refused, written as
// the gateway writes it). Modes are octal. The exact lines show that no PIN is ever printed.
TEST(CheckPin, FindingsOfPinTxtAndTheRefusalMemory) {
  const auto readable = [](const std::string& mode) {
    return "configuration/pin.txt: warning: other users may read the SIM's PIN (mode " + mode +
           "): chmod 600 configuration/pin.txt";
  };
  const std::string refused = "log/sim-pin.refused: warning: the SIM refused ";
  const struct {
    const char* name;
    int mode = 0400;  // pin.txt's; 0: no pin.txt
    std::vector<std::string> findings;
    const char* refused = nullptr;  // the PIN log/sim-pin.refused records; nullptr: no such file
    int record_mode = 0600;
    const char* user = nullptr;  // --user
    std::string pin_txt = "2580\n";
  } cases[] = {
      {.name = "no pin.txt", .mode = 0},
      {.name = "a PIN only its owner reads", .mode = 0600},
      {.name = "a PIN the group reads", .mode = 0440, .findings = {readable("440")}},
      {.name = "not 4 to 8 digits",
       .findings = {"configuration/pin.txt:2: error: PIN in file pin.txt (line 2) is not 4 to 8 "
                    "digits"},
       .pin_txt = "# the PIN\n258\n"},
      {.name = "this PIN refused",
       .findings = {refused + "the PIN of pin.txt (or never answered it): the gateway does not "
                              "enter it again until pin.txt holds another PIN; delete this file "
                              "to let it try once more"},
       .refused = "2580"},
      {.name = "another PIN refused",
       .findings = {refused + "another PIN before: the gateway enters the PIN of pin.txt once"},
       .refused = "1397"},
      {.name = "a refusal the group reads (the unit's umask), no PIN now",
       .mode = 0,
       .findings = {"log/sim-pin.refused: warning: other users may read the record of the SIM's "
                    "PIN, which gives the PIN away to whoever tries all PINs on it (mode 640): "
                    "chmod 600 log/sim-pin.refused",
                    refused + "a PIN before; pin.txt holds none now"},
       .refused = "1397",
       .record_mode = 0640},
      {.name = "a PIN the gateway's user may not read",
       .mode = 0600,
       .findings = {"configuration/pin.txt: error: file pin.txt cannot be read: chown it to the "
                    "gateway's user -- user nobody may not read it, so the gateway run as nobody "
                    "halts there; fix it with: chown nobody: <site>/configuration/pin.txt"},
       .user = "nobody"},
      {.name = "a PIN the gateway's user may read",
       .mode = 0604,
       .findings = {readable("604")},
       .user = "nobody"},
  };
  const fs::path base = scratch("mvo-check-pin-test");
  fs::remove_all(base);
  int n = 0;
  for (const auto& c : cases) {
    const fs::path dir = make_site(base / std::to_string(n++), {});
    const fs::path pin = dir / "configuration" / "pin.txt";
    if (c.mode != 0) {
      std::ofstream(pin) << c.pin_txt;
      fs::permissions(pin, fs::perms(c.mode));
    }
    if (c.refused != nullptr) {
      const fs::path record = dir / "log" / modem::kRefusalFile;
      std::ofstream(record, std::ios::binary)
          << "# comment\r\nrefused abcd " << modem::pin_fingerprint(c.refused, "abcd") << "\r\n";
      fs::permissions(record, fs::perms(c.record_mode));
    }
    // The log directory is not what is judged.
    if (c.user != nullptr) fs::permissions(dir / "log", fs::perms::all);
    const SiteCheck result = check_site(dir.string(), probes_as(c.user));
    std::vector<std::string> expected = expected_lines(c.findings, dir);
#ifdef _WIN32
    // Who may read a file is a matter of access control lists there, not judged.
    if (c.user != nullptr) continue;
    // Windows keeps no POSIX mode bits: no warning about who may read the file.
    std::erase_if(expected,
                  [](const std::string& l) { return l.find("may read") != std::string::npos; });
#endif
    const bool error = std::any_of(expected.begin(), expected.end(), [](const std::string& l) {
      return l.find(": error: ") != std::string::npos;
    });
    EXPECT_EQ(lines_of(result), expected) << c.name;
    EXPECT_EQ(result.tables.pin, c.mode != 0 && !error ? "2580" : "") << c.name;
    EXPECT_EQ(result.loads, !error) << c.name;
    // A read-only file cannot be removed on Windows.
    if (c.mode != 0) fs::permissions(pin, fs::perms::owner_all);
  }
  fs::remove_all(base);
}

TEST(CheckSite, ShownTexts) {
  EXPECT_EQ(visible("  a\x1a\x1b\x7f b \n"), "a^Z^[^? b");
  EXPECT_EQ(to_line({"configuration/human.txt", 3, Severity::kWarning, "w"}, "site/"),
            "site/configuration/human.txt:3: warning: w");
}

// Run in a folder that is no site, mvo-check checks the one site in it, as mvo-report finds it:
// mvo-check.exe double-clicked in the Windows zip's MVO\ checks MVO\site\.
TEST(CheckSite, TheSiteInAFolderThatIsNone) {
  const struct {
    const char* name;
    std::vector<const char*> made;  // directories made in the folder
    const char* site;               // the site checked, within the folder; nullptr: none
    std::string problem;
  } cases[] = {
      {"a site itself", {"configuration", "sub/log"}, "", ""},
      {"the zip's MVO folder", {"site/configuration", "site/log", "docs"}, "site", ""},
      {"no site at all", {"docs"}, "", ""},
      {"two sites",
       {"b/log", "a/configuration"},
       nullptr,
       " holds several sites (a, b): name the one to check"},
  };
  const fs::path base = scratch("mvo-check-folder-test");
  for (const auto& c : cases) {
    fs::remove_all(base);
    for (const char* d : c.made) fs::create_directories(base / d);
    std::string problem;
    const std::string site = default_site(base.string(), problem);
    const std::string expected = c.site == nullptr ? ""
                                 : *c.site == '\0' ? base.string()
                                                   : (base / c.site).string();
    EXPECT_EQ(site, expected) << c.name;
    EXPECT_EQ(problem, c.problem.empty() ? "" : base.string() + c.problem) << c.name;
  }
  fs::remove_all(base);
}

// The shipped example, copied as an operator copies it and given a port that exists, checks
// clean: nothing for a newcomer to puzzle over before the first start.
TEST(CheckSite, TheExampleChecksCleanOnceItsPortIsSet) {
  const fs::path example =
      fs::path(__FILE__).parent_path() / ".." / ".." / ".." / "examples" / "site";
  if (!fs::is_directory(example)) GTEST_SKIP() << "no example site at " << example;
  const fs::path dir = scratch("mvo-check-example-test");
  fs::remove_all(dir);
  fs::copy(example, dir, fs::copy_options::recursive);
  std::ofstream(dir / "configuration" / "cfg.txt", std::ios::trunc) << "port COM1\n";
  const SiteCheck result = check_site(dir.string(), fake_probe);
  EXPECT_EQ(lines_of(result), std::vector<std::string>{});
  fs::remove_all(dir);
}

// The composition example of the scenario tests, through the real gateway and through the preview:
// the same texts to the same numbers, the same refusal on the console and in the error log.
TEST(PreviewReport, SameTextsAsTheGatewaySends) {
  const std::string report = "1,2,3,4,5,6,1";
  const struct {
    const char* name;
    const char* custom;  // nullptr: no custom.txt
    const char* sender;
    std::string text;
    // Why the CST destination gets no text ("": it gets one); the other three get the same each
    // time. nullptr: the message is refused, as the console shows `refusal`.
    const char* custom_reason;
    std::string refusal{};
  } cases[] = {
      {"custom template", "\"x\"\n\"&S: &L m, &V l (&D/&O/&X/&T/&E)\"\n", "+4410",
       "10,2.5,c,400,e,f,1", ""},
      {"template beyond those loaded", "\"x\"\n", "+4410", "10,2.5,c,400,e,f,1",
       "nothing: custom.txt has no template for status code 1"},
      {"empty template", "\"x\"\n\"\"\n", "+4401", report,
       "nothing: the template of status code 1 expands to nothing"},
      {"sender not a number as stored", nullptr, "0044 10", report, nullptr,
       "SMS from un-authorized: 0044 10" + std::string(20, ' ') + "\n"},
      {"too long", nullptr, "+4410", std::string(61, '1'), nullptr,
       "SMS from is too long: " + std::string(61, '1') + std::string(14, ' ') + "\n"},
      {"status beyond human.txt", nullptr, "+4410", "a,b,c,d,e,f,3", nullptr,
       "Illegal status in SMS: 'a,b,c,d,e,f,3'" + std::string(22, ' ') + "\n"},
  };
  for (const auto& c : cases) {
    test::Harness g;
    for (const auto& [name, text] : kGoodSite) g.write_config(name, text);
    g.write_config("destinations.txt",
                   "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"1\"\n"
                   "\"Volume\";\"+333\";HMV;\"0\"\n\"Custom\";\"+444\";CST;\"1\"\n");
    if (c.custom != nullptr) g.write_config("custom.txt", c.custom);
    const SiteCheck site = check_site(g.dir().string(), fake_probe);
    ASSERT_TRUE(site.loads) << c.name;
    const Preview p = preview_report(g.dir().string(), site, c.sender, c.text);

    // The gateway itself, on the same site and message.
    g.wall.set_start(sim::VirtualWallClock::at(2012, 2, 26, 0, 0, 0));
    g.modem.deliver(c.sender, "12/02/26,13:19:42+04", c.text);
    g.clock.stop_at(120000);
    try {
      driver::main_loop(g.env, "\\\\.\\COM1");
    } catch (const sim::SimulationEnd&) {
    }
    EXPECT_EQ(p.refused, c.custom_reason == nullptr) << c.name;
    if (p.refused) {
      EXPECT_EQ(p.console, c.refusal) << c.name;
      EXPECT_NE(g.console().find(c.refusal), std::string::npos) << c.name;
      std::vector<std::string> logged = g.tags();
      std::erase(logged, "On the air");  // the gateway's own start, not the message's
      EXPECT_EQ(p.tags, logged) << c.name;
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
    EXPECT_EQ(p.reasons, (std::vector<std::string>{
                             "", "", "nothing: not subscribed to status code 1", c.custom_reason}))
        << c.name;
    EXPECT_EQ(p.console.rfind("SMS /", 0), 0u) << c.name;
    EXPECT_NE(p.console.find("/" + site.tables.stations[static_cast<std::size_t>(p.station)].name +
                             ": " + c.text + "\n"),
              std::string::npos)
        << c.name;
  }
}

#ifndef _WIN32
// The rule names the device as udev knows it, also when the site names the port by its link.
TEST(CheckSite, ModemManagerRuleFollowsAByIdLink) {
  const fs::path dir = scratch("mvo-check-by-id");
  fs::remove_all(dir);
  fs::create_directories(dir / "by-id");
  std::ofstream(dir / "ttyUSB9").put('x');
  fs::create_symlink("../ttyUSB9", dir / "by-id" / "usb-FTDI_FT232R-if00-port0");
  EXPECT_NE(modem_manager_rule((dir / "by-id" / "usb-FTDI_FT232R-if00-port0").string())
                .find("KERNEL==\"ttyUSB9\""),
            std::string::npos);
  fs::remove_all(dir);
}

// The commands themselves, as mvo-check runs them: stand-ins for systemctl and udevadm first on
// PATH answer as ModemManager's host would.
TEST(CheckSite, ModemManagerAskedThroughItsCommands) {
  const fs::path base = scratch("mvo-check-mm-test");
  fs::remove_all(base);
  const fs::path bin = base / "bin";
  fs::create_directories(bin);
  const fs::path dir = make_site(base / "site", {"", {{"cfg.txt", "x /dev/ttyUSB0\n"}}, {}});
  auto tool = [&](const char* name, const std::string& body) {
    std::ofstream(bin / name) << "#!/bin/sh\n" << body;
    fs::permissions(bin / name, fs::perms::owner_all);
  };
  const char* path = std::getenv("PATH");
  const std::string saved = path != nullptr ? path : "";
  setenv("PATH", (bin.string() + ":" + saved).c_str(), 1);
  const std::string running =
      "[ \"$*\" = \"is-active --quiet ModemManager.service\" ] && exit 0; exit 9\n";
  const std::string device =
      "[ \"$*\" = \"info --query=property --name=/dev/ttyUSB0\" ] || exit 9\n"
      "echo DEVNAME=/dev/ttyUSB0; echo ID_MM_CANDIDATE=1\n";
  const struct {
    const char* name;
    std::string systemctl;
    std::string udevadm;
    std::vector<std::string> findings;
  } cases[] = {
      {"running, device not ignored",
       running,
       device,
       {"configuration/cfg.txt: warning: ModemManager is running and may send its own AT commands "
        "to /dev/ttyUSB0 while the gateway uses it; mark the device ignored: put the line "
        "ACTION==\"add|change\", SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB0\", "
        "ENV{ID_MM_DEVICE_IGNORE}=\"1\" into /etc/udev/rules.d/78-mvo-modem.rules, then run: "
        "udevadm control --reload && udevadm trigger /dev/ttyUSB0"}},
      {"running, device told to leave alone", running, device + "echo ID_MM_DEVICE_IGNORE=1\n", {}},
      {"not running", "exit 3\n", device, {}},
      {"no udev information on the device", running, "exit 4\n", {}},
  };
  for (const auto& c : cases) {
    tool("systemctl", c.systemctl);
    tool("udevadm", c.udevadm);
    EXPECT_EQ(lines_of(check_site(dir.string(), probes_as())), c.findings) << c.name;
  }
  fs::remove_all(bin);
  EXPECT_TRUE(check_site(dir.string(), probes_as()).findings.empty()) << "no such commands";
  setenv("PATH", saved.c_str(), 1);
  std::string out;
  EXPECT_EQ(run_command({"sh", "-c", "printf 'a\\nb'; exit 5"}, out), 5);
  EXPECT_EQ(out, "a\nb");
  EXPECT_EQ(run_command({"mvo-no-such-command"}, out), -1);
  fs::remove_all(base);
}
#endif

}  // namespace
}  // namespace mvo::check
