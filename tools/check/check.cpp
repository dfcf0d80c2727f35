#include "tools/check/check.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "common/text.h"
#include "config/text_file.h"
#include "driver/gateway.h"
#include "driver/startup.h"
#include "logs/logs.h"
#include "modem/modem.h"
#include "platform/native.h"
#include "sms/sms.h"
#include "tools/check/gsm.h"
#include "tools/check/pin.h"
#include "tools/check/workspace.h"
#include "tools/sites.h"

namespace mvo::check {

using common::format;

namespace {

// Lines that stand in for a faulty line once it has been reported, so the loader reads on as if
// the operator had fixed it: a valid entry (the entry indices of later lines stay as they will
// be), long enough not to be skipped, even as a last line without a line end.
struct Placeholder {
  const char* file;
  const char* line;
};
constexpr Placeholder kPlaceholders[] = {{"stations.txt", "\"?\";\"0\""},
                                         {"human.txt", "?"},
                                         {"destinations.txt", "\"?\";\"00\";HMN"},
                                         {"custom.txt", "\"\""},
                                         {"options.txt", "# ?"},
                                         {"alarms.txt", "to 0"}};

std::string placeholder_for(const std::string& file) {
  for (const auto& p : kPlaceholders) {
    if (file == p.file) return p.line;
  }
  return "";
}

std::string config_path(const std::string& file) { return std::string("configuration/") + file; }

int file_rank(const std::string& path) {
  for (int i = 0; i < static_cast<int>(std::size(kConfigFiles)); ++i) {
    if (path == config_path(kConfigFiles[i])) return i;
  }
  return static_cast<int>(std::size(kConfigFiles));
}

struct Loaded {
  bool ok = false;               // the loader returned, the faulty lines replaced
  std::vector<int> entry_lines;  // the line of each entry
  std::set<int> replaced;        // lines that held a fault
  bool real(std::size_t entry) const {
    return entry < entry_lines.size() && !replaced.contains(entry_lines[entry]);
  }
  int line(std::size_t entry) const { return entry < entry_lines.size() ? entry_lines[entry] : 0; }
};

std::vector<std::string> split_lines(const std::string& data) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = data.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(data.substr(start, end - start));
  }
  lines.push_back(data.substr(start));
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string data;
  for (std::size_t i = 0; i < lines.size(); ++i) data += (i == 0 ? "" : "\n") + lines[i];
  return data;
}

// The lines of a file as the loaders number them: a leading byte-order mark and carriage returns
// are not part of them.
std::vector<std::string> text_lines(const std::string& data) {
  std::string text =
      data.rfind(config::kUtf8Bom, 0) == 0 ? data.substr(config::kUtf8Bom.size()) : data;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return split_lines(text);
}

bool is_utf16(const std::string& data) {
  return data.rfind("\xFF\xFE", 0) == 0 || data.rfind("\xFE\xFF", 0) == 0 ||
         data.find('\0') != std::string::npos;
}

// How each file is written: UTF-16 is an error (the gateway reads it as garbage, halting or not),
// a UTF-8 byte-order mark a warning (this gateway skips it). True when the file is UTF-16.
bool encoding_findings(const Workspace& ws, const std::string& file,
                       std::vector<Finding>& findings) {
  const std::optional<std::string> data = ws.original(file);
  if (!data) return false;
  if (is_utf16(*data)) {
    const bool marked = data->rfind("\xFF\xFE", 0) == 0 || data->rfind("\xFE\xFF", 0) == 0;
    findings.push_back(
        {config_path(file), 0, Severity::kError,
         std::string(marked ? "the file is written in UTF-16 (Notepad's \"UTF-16 LE\" or "
                              "\"Unicode\")"
                            : "the file holds zero bytes, as UTF-16 (Notepad's \"UTF-16 LE\" or "
                              "\"Unicode\") does") +
             ", which the gateway reads as garbage: open it in Notepad, choose Save As and the "
             "encoding \"UTF-8\"",
         0, false});
    return true;
  }
  if (data->rfind(config::kUtf8Bom, 0) == 0) {
    findings.push_back({config_path(file), 1, Severity::kWarning,
                        "the file begins with a byte-order mark (Notepad's encoding \"UTF-8 with "
                        "BOM\"): the gateway skips it, other programs may not; save it with the "
                        "encoding \"UTF-8\""});
  }
  return false;
}

// Every character of a text that goes to phones which the GSM alphabet cannot carry as written.
// `from` and `to` bound the part of the line that is sent (byte offsets).
void gsm_findings(const std::string& file, int line, const std::string& text, std::size_t from,
                  std::size_t to, std::vector<Finding>& findings) {
  if (from >= text.size() || to <= from) return;
  // Columns count characters from the start of the line, as an editor shows them.
  int before = 0;
  for (std::size_t i = 0; i < from; ++i) {
    before += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 ? 1 : 0;
  }
  for (const Unsendable& u : unsendable(text.substr(from, to - from))) {
    findings.push_back({config_path(file), line, Severity::kWarning, u.text, before + u.column});
  }
}

// Runs a loader until it returns, reporting each halt and replacing the line it came from.
template <class Load>
Loaded load_each_fault(Workspace& ws, std::vector<Finding>& findings, const std::string& file,
                       Load load) {
  Loaded loaded;
  std::vector<std::string> lines = split_lines(ws.original(file).value_or(""));
  for (;;) {
    config::Where where;
    const auto halted = ws.halts([&] { load(where); });
    if (!halted) {
      loaded.ok = true;
      loaded.entry_lines = where.entry_lines;
      return loaded;
    }
    findings.push_back({config_path(file), where.line, Severity::kError, visible(*halted)});
    const int line = where.line;
    if (line <= 0 || line > static_cast<int>(lines.size()) || loaded.replaced.contains(line)) {
      return loaded;
    }
    loaded.replaced.insert(line);
    lines[static_cast<std::size_t>(line - 1)] = placeholder_for(file);
    ws.write(file, join_lines(lines));
  }
}

}  // namespace

std::string modem_manager_rule(const std::string& device) {
  // KERNEL matches the device's own name (ttyUSB0), not a by-id link's.
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(device, ec);
  const std::string named = ec ? device : real.string();
  const std::string kernel = named.substr(named.rfind('/') + 1);
  return format(
      "ACTION==\"add|change\", SUBSYSTEM==\"tty\", KERNEL==\"%s\", "
      "ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
      kernel.c_str());
}

namespace {

// ModemManager probes every new serial device it may take for a modem with AT commands, as root,
// whatever the gateway holds; only a device marked ID_MM_DEVICE_IGNORE is left alone.
void modem_manager_warning(const PortState& state, const CommandRunner& run,
                           std::vector<Finding>& findings) {
  const std::string& device = state.device;
  if (device.rfind("/dev/", 0) != 0 || device.rfind("/dev/pts/", 0) == 0) return;
  std::string out;
  if (run({"systemctl", "is-active", "--quiet", "ModemManager.service"}, out) != 0) return;
  if (run({"udevadm", "info", "--query=property", "--name=" + device}, out) != 0) return;
  for (const std::string& line : split_lines(out)) {
    if (line == "ID_MM_DEVICE_IGNORE=1") return;
  }
  findings.push_back(
      {config_path("cfg.txt"), 0, Severity::kWarning,
       format("ModemManager is running and may send its own AT commands to %s while the gateway "
              "uses it; mark the device ignored: put the line %s into "
              "/etc/udev/rules.d/78-mvo-modem.rules, then run: udevadm control --reload && "
              "udevadm trigger %s",
              device.c_str(), modem_manager_rule(device).c_str(), device.c_str())});
}

void port_warnings(const std::string& root, const std::string& port_name, const SiteProbes& probes,
                   std::vector<Finding>& findings) {
  const std::string word = port_name.substr(std::string(driver::kDevicePrefix).size());
  auto warn = [&](const std::string& text) {
    findings.push_back({config_path("cfg.txt"), 0, Severity::kWarning, text});
  };
  if (word.empty()) {
    warn(
        "no port name after the first word: the gateway would try to open the bare \"\\\\.\\\" "
        "every 20 seconds without end");
    return;
  }
  const PortState state = probes.port(root, port_name);
  const std::string shown = visible(state.device == word ? word : word + " (" + state.device + ")");
  if (!state.exists) {
    warn("port " + shown + " does not exist");
  } else if (!state.accessible) {
    warn("port " + shown + ": this user may not open it");
  }
  if (state.exists) modem_manager_warning(state, probes.run, findings);
}

// human.txt as operators leave it: more lines than the gateway reads, blank lines that make a
// status code valid with an empty text.
void human_limits(const Workspace& ws, const config::Tables& t, const Loaded& hu,
                  std::vector<Finding>& findings) {
  if (!hu.ok) return;
  const std::vector<std::string> lines = text_lines(ws.original("human.txt").value_or(""));
  auto blank = [](const std::string& text) {
    return text.find_first_not_of(" \t") == std::string::npos;
  };
  for (std::size_t c = 0; c < t.human_texts.size(); ++c) {
    if (!hu.real(c) || !blank(t.human_texts[c])) continue;
    bool trailing = true;
    for (std::size_t k = c + 1; k < t.human_texts.size(); ++k) trailing &= blank(t.human_texts[k]);
    const std::size_t line = static_cast<std::size_t>(hu.line(c));
    for (std::size_t k = line; k < lines.size(); ++k) trailing &= blank(lines[k]);
    findings.push_back(
        {config_path("human.txt"), hu.line(c), Severity::kWarning,
         trailing ? format("a blank line at the end of the file makes status code %d valid, with "
                           "an empty text: delete it unless stations send code %d",
                           static_cast<int>(c), static_cast<int>(c))
                  : format("status code %d has an empty text: its reports are accepted and "
                           "forwarded without one",
                           static_cast<int>(c))});
  }
  if (t.human_texts.size() < static_cast<std::size_t>(config::kMaxStatusCodes)) return;
  const int first = hu.line(t.human_texts.size() - 1) + 1;
  int last = 0;
  for (int k = first; k <= static_cast<int>(lines.size()); ++k) {
    if (!blank(lines[static_cast<std::size_t>(k - 1)])) last = k;
  }
  if (last == 0) return;
  const std::string which =
      first == last ? format("line %d is", first) : format("lines %d to %d are", first, last);
  findings.push_back(
      {config_path("human.txt"), first, Severity::kWarning,
       format("%s never read: the gateway takes at most %d texts (status codes 0 to %d) and "
              "refuses a report with a higher code as an illegal status",
              which.c_str(), config::kMaxStatusCodes, config::kMaxStatusCodes - 1)});
}

// Every text that goes to phones: station names, human texts, custom templates.
void text_findings(const Workspace& ws, const Loaded& st, const Loaded& hu, const Loaded& cu,
                   const std::set<std::string>& utf16, std::vector<Finding>& findings) {
  auto each = [&](const char* file, const Loaded& loaded, auto part) {
    if (!loaded.ok || utf16.contains(file)) return;
    const std::vector<std::string> lines = text_lines(ws.original(file).value_or(""));
    for (std::size_t e = 0; e < loaded.entry_lines.size(); ++e) {
      const int line = loaded.line(e);
      if (!loaded.real(e) || line < 1 || line > static_cast<int>(lines.size())) continue;
      const std::string& text = lines[static_cast<std::size_t>(line - 1)];
      const auto [from, to] = part(text);
      gsm_findings(file, line, text, from, to, findings);
    }
  };
  auto whole = [](const std::string& text) { return std::make_pair(std::size_t{0}, text.size()); };
  // The name between its quotes; the number holds only characters the loader allows.
  auto quoted = [](const std::string& text) {
    const std::size_t open = text.find('"');
    const std::size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos) return std::make_pair(std::size_t{0}, std::size_t{0});
    return std::make_pair(open + 1, close);
  };
  each("stations.txt", st, quoted);
  each("human.txt", hu, whole);
  each("custom.txt", cu, quoted);
}

// The log directory as the gateway's user meets it: without it the gateway runs but keeps no
// record; one it may not write costs every record too, with a console message nobody reads under
// a service.
void log_findings(const std::string& root, const SiteProbes& probes,
                  std::vector<Finding>& findings) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(root) / "log";
  const std::string user = probes.user.empty() ? current_user() : probes.user;
  std::error_code ec;
  const std::string shown = fs::absolute(dir, ec).lexically_normal().string();
  if (!fs::is_directory(dir, ec)) {
    const std::string owner =
        probes.user.empty() ? "" : format(" && chown %s: %s", user.c_str(), shown.c_str());
    findings.push_back({"log/", 0, Severity::kError,
                        format("there is no log directory: the gateway would run but keep no "
                               "record (station logs, error log); create it: mkdir %s%s",
                               shown.c_str(), owner.c_str()),
                        0, false});
    return;
  }
  auto not_writable = [&](const std::string& file, const char* chown, const std::string& path) {
    findings.push_back(
        {file, 0, Severity::kWarning,
         format("user %s may not write here, so the gateway run as %s would lose its records; "
                "fix it with: %s %s: %s",
                user.c_str(), user.c_str(), chown, user.c_str(), path.c_str())});
  };
  if (probes.access(dir.string(), user, Want::kWrite) == Access::kDenied) {
    not_writable("log/", "chown -R", shown);
    return;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file(ec) && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (probes.access((dir / name).string(), user, Want::kWrite) == Access::kDenied) {
      not_writable("log/" + name, "chown", (fs::path(shown) / name).string());
    }
  }
}

// A report as long as the gateway accepts (60 characters), its level and volume each as long as
// the other six fields leave them.
constexpr std::size_t kLongestField = sms::kMaxAcceptedText - (sms::kFieldCount - 1) * 2;

driver::Report longest_report(int station, int code) {
  driver::Report report;
  report.station_index = station;
  report.status_code = code;
  report.text = std::string(sms::kMaxAcceptedText, 'x');
  report.fields.fill("x");
  report.fields[1] = std::string(kLongestField, 'x');
  report.fields[3] = std::string(kLongestField, 'x');
  return report;
}

// The longest expansion of a template: each of the seven fields holds at least one character and
// all of them at most 60 less the six commas, so the field used most takes the rest.
std::size_t longest_expansion(const std::string& templ, std::size_t longest_name) {
  const sms::Report none{};
  const std::size_t literal = driver::expand_template(templ, "", none).size();
  const std::size_t names = driver::expand_template(templ, "x", none).size() - literal;
  std::size_t uses = 0;
  std::size_t most = 0;
  for (std::size_t k = 0; k + 1 < none.size(); ++k) {
    sms::Report one{};
    one[k].push_back('x');
    const std::size_t n = driver::expand_template(templ, "", one).size() - literal;
    uses += n;
    most = std::max(most, n);
  }
  return literal + names * longest_name + uses + most * (kLongestField - 1);
}

void table_warnings(const config::Tables& t, const Loaded& st, const Loaded& hu, const Loaded& de,
                    const Loaded& cu, std::vector<Finding>& findings) {
  auto warn = [&](const char* file, int line, const std::string& text) {
    findings.push_back({config_path(file), line, Severity::kWarning, text});
  };
  const std::size_t n = t.human_texts.size();
  auto is_smc = [&](std::size_t d) { return t.destinations[d].type == "SMC"; };

  if (st.ok) {
    for (std::size_t s = 0; s < t.stations.size(); ++s) {
      if (!st.real(s)) continue;
      const config::Station& station = t.stations[s];
      const std::string& number = station.number;
      if (number.empty()) {
        warn("stations.txt", st.line(s),
             format("station \"%s\": the number is empty; only a message without a sender "
                    "would match it",
                    station.name.c_str()));
      } else if (number[0] != '+' && number.rfind("00", 0) != 0) {
        warn("stations.txt", st.line(s),
             format("station \"%s\": number %s is in national form (no leading + or 00): a "
                    "sender reported in international form does not match it, and its reports "
                    "are dropped as un-authorized",
                    station.name.c_str(), number.c_str()));
      }
      for (std::size_t e = 0; e < s; ++e) {
        if (st.real(e) && t.stations[e].number == number) {
          warn(
              "stations.txt", st.line(s),
              format("station \"%s\": number %s is also station \"%s\"'s (line %d), which "
                     "always matches first: this station never does",
                     station.name.c_str(), number.c_str(), t.stations[e].name.c_str(), st.line(e)));
          break;
        }
      }
    }
  }

  if (st.ok && hu.ok && de.ok) {
    for (std::size_t s = 0; s < t.stations.size(); ++s) {
      if (!st.real(s)) continue;
      std::size_t longest = 0;
      std::size_t at_d = 0;
      int at_c = 0;
      for (std::size_t d = 0; d < t.destinations.size(); ++d) {
        if (t.destinations[d].type == "CST" && t.custom_templates_present) continue;
        for (std::size_t c = 0; c < n; ++c) {
          const std::string text =
              driver::compose_text(t, longest_report(static_cast<int>(s), static_cast<int>(c)), d);
          if (text.size() > 1 && text.size() - 1 > longest) {
            longest = text.size() - 1;
            at_d = d;
            at_c = static_cast<int>(c);
          }
        }
      }
      if (longest > kSmsLength) {
        const config::Destination& dest = t.destinations[at_d];
        const std::string which =
            dest.type == "SMC" ? "SMC" : format("%s, status code %d", dest.type.c_str(), at_c);
        warn("stations.txt", st.line(s),
             format("station \"%s\": its text for \"%s\" (%s) can reach %d characters; one SMS "
                    "holds %d, so the end would be cut",
                    t.stations[s].name.c_str(), dest.name.c_str(), which.c_str(),
                    static_cast<int>(longest), static_cast<int>(kSmsLength)));
      }
    }
  }

  if (de.ok) {
    for (std::size_t d = 0; d < t.destinations.size(); ++d) {
      if (!de.real(d)) continue;
      const config::Destination& dest = t.destinations[d];
      bool any = false;
      for (std::size_t c = 0; c < n && c < config::kMaxStatusCodes; ++c) any |= t.subscribed[c][d];
      if (!is_smc(d) && !any) {
        warn("destinations.txt", de.line(d),
             format("destination \"%s\" (%s) is subscribed to no status code: it receives nothing",
                    dest.name.c_str(), dest.type.c_str()));
      }
      if (dest.type == "CST" && cu.ok && !t.custom_templates_present) {
        warn("destinations.txt", de.line(d),
             format("destination \"%s\" (CST): there is no custom.txt, so it receives the HMN "
                    "sentence",
                    dest.name.c_str()));
      }
    }
  }

  if (hu.ok && de.ok) {
    for (std::size_t c = 0; c < n && c < config::kMaxStatusCodes; ++c) {
      if (!hu.real(c)) continue;
      bool received = false;
      for (std::size_t d = 0; d < t.destinations.size(); ++d) {
        received |= de.real(d) && (is_smc(d) || t.subscribed[c][d]);
      }
      if (!received) {
        warn("human.txt", hu.line(c),
             format("status code %d (\"%s\") is received by no destination", static_cast<int>(c),
                    visible(t.human_texts[c]).c_str()));
      }
    }
  }

  if (cu.ok && st.ok && t.custom_templates_present) {
    std::size_t longest_name = 0;
    for (std::size_t s = 0; s < t.stations.size(); ++s) {
      if (st.real(s)) longest_name = std::max(longest_name, t.stations[s].name.size());
    }
    for (std::size_t c = 0; c < t.custom_templates.size(); ++c) {
      if (!cu.real(c)) continue;
      const std::size_t longest = longest_expansion(t.custom_templates[c], longest_name);
      if (longest > kSmsLength) {
        warn("custom.txt", cu.line(c),
             format("the template of status code %d can expand to %d characters; one SMS holds "
                    "%d, so the end would be cut",
                    static_cast<int>(c), static_cast<int>(longest), static_cast<int>(kSmsLength)));
      }
    }
  }
}

// The halts of the files operators write by hand, in plain words: keyed by the file and a part
// of the gateway's message as shown (visible()), which the gateway's words keep exact.
struct PlainWords {
  const char* file;
  std::string message;
  std::string words;
};

const std::vector<PlainWords>& plain_words() {
  static const std::string kStation = "a station line is \"Name\";\"+number\"";
  static const std::string kDestination =
      "a destination line is \"Name\";\"+number\";HMN;\"1,2\": a type (SMC, HMN, HMV or CST), "
      "then the status codes it receives (none for SMC)";
  static const std::string kCodes = "the status codes are written \"1,2\"";
  // The gateway's "line" in these messages is the entry's index.
  static const std::string kCounted = " (the gateway numbers the entries from 0)";
  auto table = [] {
    std::vector<PlainWords> t = {
        {"cfg.txt", "NO CFG FILE",
         "configuration/cfg.txt is missing or cannot be read; it holds one line, a word and the "
         "modem's port, such as: port COM5"},
        {"cfg.txt", "NO COM PORT IN CFG FILE",
         "the port comes after a first word, on the same line, such as: port COM5"},
        {"cfg.txt", "COM PORT NAME IN CFG FILE IS TOO LONG",
         format("a port name has at most %d characters", static_cast<int>(driver::kMaxPortWord))},
        {"stations.txt", "NO STATIONS FILE",
         "configuration/stations.txt is missing or cannot be read; it holds one station a line, "
         "\"Name\";\"+number\""},
        {"destinations.txt", "NO DESTINATION FILE",
         "configuration/destinations.txt is missing or cannot be read; it holds one destination a "
         "line: " +
             kDestination},
        {"stations.txt", "bad formatting of station (type 2)",
         "the name has no closing double quote before the semicolon: " + kStation},
        {"destinations.txt", "bad formatting of station (type 2)",
         "the name, or the list of status codes, has no closing double quote: " + kDestination},
        {"stations.txt", "Error type 2 in line",
         "there is no number after the name (a comma in place of the semicolon?): " + kStation +
             kCounted},
        {"destinations.txt", "Error type 2 in line",
         "there is no number after the name (a comma in place of the semicolon?): " + kDestination +
             kCounted},
        {"stations.txt", "Error type 3 in line",
         "there is more than a name and a number on the line: " + kStation + kCounted},
        {"destinations.txt", "Error type 3 in line",
         "there is no type after the number: " + kDestination + kCounted},
        {"stations.txt", "no valid stations",
         "no line of the file is a station (lines shorter than 7 characters are skipped): " +
             kStation},
        {"destinations.txt", "no valid destinations",
         "no line of the file is a destination (lines shorter than 12 characters are skipped): " +
             kDestination},
        {"destinations.txt", "no type in destination",
         "the third field is none of SMC, HMN, HMV and CST, in capitals: " + kDestination},
        {"destinations.txt", "bad formatting of sbsc (type 1)",
         "the list of status codes does not begin with a double quote: " + kCodes},
        {"destinations.txt", "non digit status code registration field",
         "the list of status codes holds only digits, commas and blanks: " + kCodes},
        {"destinations.txt", "too many status messages between comma",
         "a comma is followed by nothing but blanks: " + kCodes},
        {"destinations.txt", "Non existing status code",
         "human.txt has a text for each status code, line 1 for code 0: a code past its last line "
         "does not exist"},
        {"destinations.txt", "too many status codes in subscription list",
         format("a destination lists at most %d status codes", config::kMaxStatusCodes)},
        {"human.txt", "NO human.txt FILE",
         "configuration/human.txt is missing or cannot be read; one text a line, line 1 for "
         "status code 0"},
        {"human.txt", "in file human.txt is too long",
         format("a text has at most %d characters",
                static_cast<int>(config::kMaxStatusTextLength))},
        {"custom.txt", "in file custom.txt does not have proper message",
         "a template is written between double quotes, such as: \"&S: all normal\""},
        {"custom.txt", "in file custom.txt is too long",
         format("a template has at most %d characters between its quotes",
                static_cast<int>(config::kMaxStatusTextLength))},
    };
    // What stations.txt and destinations.txt share: the name and the number.
    for (const auto& [file, form] :
         {std::pair{"stations.txt", kStation}, std::pair{"destinations.txt", kDestination}}) {
      t.push_back({file, "bad formatting of station (type 1)",
                   "the line does not begin with a name in double quotes: " + form});
      t.push_back(
          {file, "name is longer than allowed",
           format("a name has at most %d characters", static_cast<int>(config::kMaxNameLength))});
      t.push_back({file, "bad formatting of cell number",
                   "the number is not in double quotes after the semicolon: " + form});
      t.push_back({file, "cell phone number contains illegal characters(1)",
                   "a number begins with +, *, - or a digit"});
      t.push_back({file, "cell phone number contains illegal characters(2)",
                   "after its first character a number holds only digits, blanks and dashes"});
      t.push_back(
          {file, "cell number is longer than allowed",
           format("a number has at most %d digits", static_cast<int>(config::kMaxNumberLength))});
      t.push_back(
          {file, std::string("in file ") + file + " is longer than",
           format("a line has at most %d characters", static_cast<int>(config::kMaxLineRead)) +
               kCounted});
    }
    return t;
  };
  static const std::vector<PlainWords> words = table();
  return words;
}

// The plain words of a halt of `file` ("configuration/stations.txt"), or "".
std::string plain_words_for(const std::string& file, const std::string& message) {
  for (const PlainWords& p : plain_words()) {
    if (file == config_path(p.file) && message.find(p.message) != std::string::npos) {
      return p.words;
    }
  }
  return "";
}

}  // namespace

std::string visible(const std::string& text) {
  std::string flat = text;
  std::replace(flat.begin(), flat.end(), '\n', ' ');
  const std::size_t first = flat.find_first_not_of(" \r");
  if (first == std::string::npos) return "";
  flat = flat.substr(first, flat.find_last_not_of(" \r") - first + 1);
  std::string out;
  for (char c : flat) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127) {
      out += '^';
      out += static_cast<char>(u == 127 ? '?' : u + 64);
    } else {
      out += c;
    }
  }
  return out;
}

std::string to_line(const Finding& f, const std::string& prefix) {
  const std::string where = f.line <= 0     ? ""
                            : f.column <= 0 ? format(":%d", f.line)
                                            : format(":%d:%d", f.line, f.column);
  return prefix + f.file + where + (f.severity == Severity::kError ? ": error: " : ": warning: ") +
         f.text + (f.hint.empty() ? "" : " -- " + f.hint);
}

std::string default_site(const std::string& dir, std::string& problem) {
  constexpr std::size_t kShown = 5;
  const std::vector<std::string> sites = tools::expand_sites(dir, kShown);
  if (sites.size() == 1) return sites[0];
  std::string names;
  for (std::size_t i = 0; i < sites.size() && i < kShown; ++i) {
    names += (i == 0 ? "" : ", ") + std::filesystem::path(sites[i]).filename().string();
  }
  problem = format("%s holds several sites (%s%s): name the one to check", dir.c_str(),
                   names.c_str(), sites.size() > kShown ? ", ..." : "");
  return "";
}

int exit_status(const std::vector<Finding>& findings) {
  int status = 0;
  for (const auto& f : findings) status = std::max(status, f.severity == Severity::kError ? 2 : 1);
  return status;
}

SiteCheck check_site(const std::string& root, const PortProbe& probe) {
  SiteProbes probes;
  probes.port = probe;
  return check_site(root, probes);
}

SiteCheck check_site(const std::string& root, const SiteProbes& probes) {
  Workspace ws(root);
  SiteCheck result;
  std::vector<Finding>& findings = result.findings;
  config::Tables& t = result.tables;

  std::string port_name;
  if (const auto halted = ws.halts([&] { port_name = driver::load_port_name(ws.env); })) {
    findings.push_back({config_path("cfg.txt"), 0, Severity::kError, visible(*halted)});
  }
  std::set<std::string> utf16;
  for (const char* file : kConfigFiles) {
    if (encoding_findings(ws, file, findings)) utf16.insert(file);
  }
  // The port of a UTF-16 cfg.txt is garbage, not a device to ask about.
  if (!port_name.empty() && !utf16.contains("cfg.txt")) {
    port_warnings(root, port_name, probes, findings);
  }

  const Loaded st = load_each_fault(ws, findings, "stations.txt", [&](config::Where& w) {
    t.stations = config::load_stations(ws.env, &w);
  });
  const Loaded hu = load_each_fault(ws, findings, "human.txt", [&](config::Where& w) {
    t.human_texts = config::load_human_texts(ws.env, &w);
  });
  // Without human.txt the destinations are checked against the largest number of codes.
  const int human_count = hu.ok ? static_cast<int>(t.human_texts.size()) : config::kMaxStatusCodes;
  const Loaded de = load_each_fault(ws, findings, "destinations.txt", [&](config::Where& w) {
    t.subscribed = {};
    config::load_destinations(ws.env, t.destinations, t.subscribed, human_count, &w);
  });
  const Loaded cu = load_each_fault(ws, findings, "custom.txt", [&](config::Where& w) {
    t.custom_templates_present = config::load_custom_templates(ws.env, t.custom_templates, &w);
  });

  load_each_fault(ws, findings, "options.txt",
                  [&](config::Where& w) { t.options = config::load_options(ws.env, &w); });
  // alarms.txt names stations and destinations: it is judged against tables that loaded.
  if (st.ok && de.ok) {
    load_each_fault(ws, findings, "alarms.txt", [&](config::Where& w) {
      t.alarms = config::load_alarms(ws.env, t.stations, t.destinations, &w);
    });
  }
  check_pin(root, ws, probes, t,
            findings);  // read in place: the PIN is not copied to the scratch site

  result.loads = std::none_of(findings.begin(), findings.end(), [](const Finding& f) {
    return f.severity == Severity::kError && f.halts;
  });
  for (Finding& f : findings) {
    if (f.severity == Severity::kError && f.halts && f.hint.empty()) {
      f.hint = plain_words_for(f.file, f.text);
    }
  }
  table_warnings(t, st, hu, de, cu, findings);
  human_limits(ws, t, hu, findings);
  text_findings(ws, st, hu, cu, utf16, findings);
  log_findings(root, probes, findings);
  std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
    const int ra = file_rank(a.file);
    const int rb = file_rank(b.file);
    if (ra != rb) return ra < rb;
    if (a.line != b.line) return a.line < b.line;
    if (a.severity != b.severity) return a.severity == Severity::kError;
    return a.column < b.column;
  });
  return result;
}

Preview preview_report(const std::string& root, const SiteCheck& site, const std::string& sender,
                       const std::string& text) {
  const config::Tables& t = site.tables;
  Workspace ws(root);
  platform::native::LocalWallClock local;
  ws.wall.set_start(local.local_now(), ws.clock.now_ms());
  Preview p;
  if (!modem::handle_modem(ws.env, "\\\\.\\COM1")) {
    throw std::runtime_error("the modem model did not come up");
  }
  ws.take_tags();
  ws.console.clear();
  ws.modem.deliver(sender, "00/01/01,00:00:00+00", text, ws.clock.now_ms());
  // A refused message sends read_sms back to polling: the end of virtual time ends it.
  ws.clock.stop_at(ws.clock.now_ms() + 60000);
  driver::Report report;
  auto refuse = [&] {
    std::string said = ws.console.text();
    for (const char* spinner : {logs::kSpinnerOn, logs::kSpinnerOff}) {
      for (std::size_t at; (at = said.find(spinner)) != std::string::npos;) {
        said.erase(at, std::string(spinner).size());
      }
    }
    p.refused = true;
    p.console = said;
    p.tags = ws.take_tags();
    return p;
  };
  try {
    if (!sms::read_sms(ws.env, report.text, report.station_index, t.stations)) {
      // The message itself broke the exchange (a control byte in it, say): what the gateway
      // printed and logged is the answer.
      p.unreadable = true;
      return refuse();
    }
  } catch (const sim::SimulationEnd&) {
    return refuse();
  }
  if (!sms::parse_report(ws.env, report.text, report.fields, report.status_code,
                         static_cast<int>(t.human_texts.size()))) {
    return refuse();
  }
  ws.console.clear();
  ws.clock.stop_at(ws.clock.now_ms() + 3600000);
  driver::forward_report(ws.env, t, report);
  p.console = ws.console.text();
  p.station = report.station_index;
  p.status_code = report.status_code;
  const auto& outbox = ws.modem.outbox();
  std::size_t sent = 0;
  const int c = report.status_code;
  for (std::size_t d = 0; d < t.destinations.size(); ++d) {
    const config::Destination& dest = t.destinations[d];
    std::string reason;
    std::string received;
    if (driver::compose_text(t, report, d).size() > 1) {
      if (sent < outbox.size() && outbox[sent].number == dest.number) {
        received = outbox[sent++].text;
      } else {
        reason = "nothing: the send failed";
      }
    } else if (!t.subscribed[c][d]) {
      reason = format("nothing: not subscribed to status code %d", c);
    } else if (static_cast<std::size_t>(c) >= t.custom_templates.size()) {
      reason = format("nothing: custom.txt has no template for status code %d", c);
    } else {
      reason = format("nothing: the template of status code %d expands to nothing", c);
    }
    p.texts.push_back(received);
    p.reasons.push_back(reason);
  }
  return p;
}

}  // namespace mvo::check
