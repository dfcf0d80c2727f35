// The figures for Prometheus, in the text exposition format that node_exporter's textfile
// collector reads: each metric's HELP and TYPE once, then its samples; label values escaped
// ('\\', '"', line feed) and in UTF-8; one line per sample.
#include <cmath>

#include "common/text.h"
#include "report.h"

namespace mvo::report {

namespace {

using common::format;

// A label value: valid UTF-8 (a name saved in Windows-1252 would make the whole file invalid),
// escaped, control characters shown as '?'.
std::string label(const std::string& v) {
  std::string out;
  for (char c : common::as_utf8(v)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      out += '?';
    } else {
      out += c;
    }
  }
  return out;
}

struct Metric {
  const char* name;
  const char* type;
  const char* help;
};

// One metric: its header, then every sample the callback writes with `sample(labels, value)`.
template <typename F>
void metric(std::ostream& out, const Metric& m, F samples) {
  out << "# HELP " << m.name << ' ' << m.help << "\n# TYPE " << m.name << ' ' << m.type << '\n';
  samples([&](const std::string& labels, double value) {
    out << m.name << '{' << labels << "} ";
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
      out << format("%.0f", value);
    } else {
      out << format("%.17g", value);
    }
    out << '\n';
  });
}

constexpr ModemState kAllStates[] = {
    ModemState::kOnAir,   ModemState::kOffAir, ModemState::kNeverOnAir, ModemState::kNotRunning,
    ModemState::kStopped, ModemState::kHalted, ModemState::kUnknown};
constexpr const char* kOutcomeNames[kOutcomes] = {"sent", "failed", "refused", "not-sent",
                                                  "unconfirmed"};

}  // namespace

void write_metrics(std::ostream& out, const std::vector<SiteEntry>& sites,
                   const Settings& settings) {
  auto site_label = [](const SiteEntry& e) { return "site=\"" + label(e.name) + "\""; };
  metric(
      out,
      {"mvo_check_status", "gauge", "The check's verdict: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN."},
      [&](auto sample) {
        for (const SiteEntry& e : sites) sample(site_label(e), e.check.code);
      });
  metric(out, {"mvo_site_readable", "gauge", "1 when the site and all its logs could be read."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             sample(site_label(e), e.readable && e.report.problems.empty() ? 1 : 0);
           }
         });
  metric(out,
         {"mvo_gateway_state", "gauge", "1 for the gateway's present state, 0 for the others."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable) continue;
             const ModemState now = gateway_view(e.report, settings).state;
             for (ModemState s : kAllStates) {
               sample(site_label(e) + ",state=\"" + modem_state_name(s) + "\"", now == s ? 1 : 0);
             }
           }
         });
  metric(out, {"mvo_gateway_on_air", "gauge", "1 when the gateway is on the air."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable) continue;
             sample(site_label(e), gateway_view(e.report, settings).state == ModemState::kOnAir);
           }
         });
  metric(out, {"mvo_bringups", "gauge", "Bring-ups (\"On the air\") in the report window."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (e.readable) sample(site_label(e), static_cast<double>(e.report.health.on_air));
           }
         });
  metric(out, {"mvo_failures", "gauge", "Error-log records in the report window, by tag."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable) continue;
             for (const TagTotal& t : e.report.health.tags) {
               sample(site_label(e) + ",tag=\"" + label(t.tag) + "\"",
                      static_cast<double>(t.count));
             }
             if (e.report.health.other_count > 0) {
               sample(site_label(e) + ",tag=\"other\"",
                      static_cast<double>(e.report.health.other_count));
             }
           }
         });
  metric(out,
         {"mvo_unauthorized_messages", "gauge",
          "Messages from numbers not in stations.txt in the report window."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (e.readable) sample(site_label(e), static_cast<double>(e.report.health.ufo));
           }
         });
  auto station_label = [&](const SiteEntry& e, const Station& s) {
    return site_label(e) + ",station=\"" + label(s.name) + "\",number=\"" + label(s.number) + "\"";
  };
  metric(out,
         {"mvo_station_last_message_age_seconds", "gauge",
          "Seconds since the station's latest message; absent when never heard."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable) continue;
             for (const Station& s : e.report.stations) {
               if (s.heard) sample(station_label(e, s), static_cast<double>(settings.now - s.last));
             }
           }
         });
  metric(out, {"mvo_station_messages", "gauge", "Messages in the station's log."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable) continue;
             for (const Station& s : e.report.stations) {
               sample(station_label(e, s), static_cast<double>(s.messages));
             }
           }
         });
  metric(out, {"mvo_station_messages_24h", "gauge", "Messages of the last 24 hours."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable) continue;
             for (const Station& s : e.report.stations) {
               sample(station_label(e, s), static_cast<double>(s.last_24h));
             }
           }
         });
  metric(out,
         {"mvo_station_silent", "gauge",
          "1 when the station is silent (never heard, or too long quiet)."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable) continue;
             for (const Station& s : e.report.stations) {
               sample(station_label(e, s), is_silent(s, settings) ? 1 : 0);
             }
           }
         });
  metric(out,
         {"mvo_texts", "gauge",
          "Texts due to each destination in the report window, by outcome (traffic log)."},
         [&](auto sample) {
           for (const SiteEntry& e : sites) {
             if (!e.readable || !e.report.traffic.found) continue;
             for (const DestinationTraffic& d : e.report.traffic.destinations) {
               for (int o = 0; o < kOutcomes; ++o) {
                 sample(site_label(e) + ",destination=\"" + label(d.name) + "\",number=\"" +
                            label(d.number) + "\",outcome=\"" + kOutcomeNames[o] + "\"",
                        static_cast<double>(d.count[o]));
               }
             }
           }
         });
}

}  // namespace mvo::report
