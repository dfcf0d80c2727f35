#include "driver/gateway.h"

#include "common/text.h"
#include "driver/startup.h"
#include "logs/logs.h"
#include "modem/modem.h"

namespace mvo::driver {

using common::format;
using logs::delay;
using logs::log_error;
using logs::say;

std::string date_text(const std::tm& t) {
  return format("%s %s %.2d %d", common::day_name(t.tm_wday), common::month_name(t.tm_mon),
                t.tm_mday, 1900 + t.tm_year);
}

std::string time_text(const std::tm& t) {
  int hour = t.tm_hour % 12;
  if (hour == 0) hour = 12;
  return format("%.2d:%.2d:%.2d", hour, t.tm_min, t.tm_sec);
}

std::string expand_template(const std::string& templ, const std::string& station_name,
                            const sms::Report& fields) {
  std::string out;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    const char c = templ[i];
    const std::string* value = nullptr;
    if (c == '&' && i + 1 < templ.size()) {
      switch (templ[i + 1]) {
        case 'S':
          value = &station_name;
          break;
        case 'D':
          value = &fields[0];
          break;
        case 'L':
          value = &fields[1];
          break;
        case 'O':
          value = &fields[2];
          break;
        case 'V':
          value = &fields[3];
          break;
        case 'T':
          value = &fields[4];
          break;
        case 'E':
          value = &fields[5];
          break;
        case 'X':
          value = &fields[2];
          break;
        default:
          break;
      }
    }
    if (value != nullptr) {
      out += *value;
      ++i;
    } else {
      out += c;
    }
    if (out.size() >= kMaxExpansion) {
      out.resize(kMaxExpansion);
      break;
    }
  }
  return out;
}

namespace {

// The body of a text for AT+CMGS: a Ctrl-Z inside it would submit it early and an ESC would
// cancel it, so that the rest, and the commands after it, would become message text for the
// wrong phone; a zero byte would end the write. Each becomes '?', which every phone shows.
std::string entry_safe(std::string body) {
  for (char& c : body) {
    if (c == kEndOfText || c == kEscape || c == '\0') c = kUnsafeByteStandIn;
  }
  return body;
}

}  // namespace

std::string compose_text(const config::Tables& tables, const Report& report, std::size_t d) {
  const config::Destination& dest = tables.destinations[d];
  const config::Station& station = tables.stations[static_cast<std::size_t>(report.station_index)];
  const int c = report.status_code;
  const bool subscribed = c >= 0 && c < config::kMaxStatusCodes && tables.subscribed[c][d];
  auto human = [&](const char* what, const std::string& value, const char* unit) {
    const std::string& text =
        static_cast<std::size_t>(c) < tables.human_texts.size() ? tables.human_texts[c] : "";
    return entry_safe(station.name + " reports: " + text + what + value + unit) + kEndOfText;
  };
  if (dest.type == "SMC") return entry_safe(station.number + "," + report.text) + kEndOfText;
  if (!subscribed) return "";
  if (dest.type == "HMN") return human(" at level of ", report.fields[1], " meter");
  if (dest.type == "HMV") return human(" at volume of ", report.fields[3], " liter");
  if (dest.type == "CST") {
    if (!tables.custom_templates_present) return human(" at level of ", report.fields[1], " meter");
    const std::string templ = static_cast<std::size_t>(c) < tables.custom_templates.size()
                                  ? tables.custom_templates[c]
                                  : "";
    return entry_safe(expand_template(templ, station.name, report.fields)) + kEndOfText;
  }
  return "";
}

bool forward_report(Env& env, const config::Tables& tables, const Report& report) {
  const std::tm now = env.wall.local_now();
  const std::string& name = tables.stations[static_cast<std::size_t>(report.station_index)].name;
  say(env, format("SMS /%s/%s/%s: %s\n", date_text(now).c_str(), time_text(now).c_str(),
                  name.c_str(), report.text.c_str()));
  bool all_sent = true;
  for (std::size_t d = 0; d < tables.destinations.size(); ++d) {
    const std::string text = compose_text(tables, report, d);
    if (text.size() <= 1) continue;
    if (!sms::send_sms(env, text, tables.destinations[d].number)) {
      say(env, "main2.");
      log_error(env, "main2");
      all_sent = false;
      delay(env, 5000);
    }
  }
  return all_sent;
}

int main_loop(Env& env, const std::string& port_name) {
  const config::Tables tables = config::load_all(env);
  const int human_count = static_cast<int>(tables.human_texts.size());
  for (;;) {
    if (!modem::handle_modem(env, port_name)) {
      log_error(env, "out of ext loop");
      say(env, "out of ext loop.");
      return 0;
    }
    bool keep_going = true;
    while (keep_going) {
      Report report;
      if (!sms::read_sms(env, report.text, report.station_index, tables.stations)) {
        say(env, "main1\n");
        log_error(env, "main1");
        delay(env, 5000);
        break;
      }
      if (!sms::parse_report(env, report.text, report.fields, report.status_code, human_count)) {
        delay(env, 5000);
        break;
      }
      keep_going = forward_report(env, tables, report);
    }
    say(env, "out int loop.");
    if (!modem::close_modem(env)) {
      log_error(env, "out of ext loop");
      say(env, "out of ext loop.");
      return 0;
    }
  }
}

int run_gateway(Env& env) {
  const std::string port_name = start_up(env);
  return main_loop(env, port_name);
}

}  // namespace mvo::driver
