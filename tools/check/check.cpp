#include "tools/check/check.h"

#include <algorithm>
#include <set>
#include <stdexcept>

#include "common/text.h"
#include "driver/gateway.h"
#include "driver/startup.h"
#include "logs/logs.h"
#include "modem/modem.h"
#include "platform/native.h"
#include "sms/sms.h"
#include "tools/check/pin.h"
#include "tools/check/workspace.h"

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

void port_warnings(const std::string& root, const std::string& port_name, const PortProbe& probe,
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
  const PortState state = probe(root, port_name);
  const std::string shown = state.device == word ? word : word + " (" + state.device + ")";
  if (!state.exists) {
    warn("port " + shown + " does not exist");
  } else if (!state.accessible) {
    warn("port " + shown + ": this user may not open it");
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
  const std::string where = f.line > 0 ? format(":%d", f.line) : "";
  return prefix + f.file + where + (f.severity == Severity::kError ? ": error: " : ": warning: ") +
         f.text;
}

int exit_status(const std::vector<Finding>& findings) {
  int status = 0;
  for (const auto& f : findings) status = std::max(status, f.severity == Severity::kError ? 2 : 1);
  return status;
}

SiteCheck check_site(const std::string& root, const PortProbe& probe) {
  Workspace ws(root);
  SiteCheck result;
  std::vector<Finding>& findings = result.findings;
  config::Tables& t = result.tables;

  std::string port_name;
  if (const auto halted = ws.halts([&] { port_name = driver::load_port_name(ws.env); })) {
    findings.push_back({config_path("cfg.txt"), 0, Severity::kError, visible(*halted)});
  } else {
    port_warnings(root, port_name, probe, findings);
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
  check_pin(root, ws, t, findings);  // read in place: the PIN is not copied to the scratch site

  result.loads = exit_status(findings) < 2;
  table_warnings(t, st, hu, de, cu, findings);
  std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
    const int ra = file_rank(a.file);
    const int rb = file_rank(b.file);
    if (ra != rb) return ra < rb;
    if (a.line != b.line) return a.line < b.line;
    return a.severity == Severity::kError && b.severity == Severity::kWarning;
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
