#include "driver/gateway.h"

#include <optional>

#include "alarms/watch.h"
#include "common/halt.h"
#include "common/text.h"
#include "driver/startup.h"
#include "logs/life.h"
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

std::string compose_text(const config::Tables& tables, const Report& report, std::size_t d) {
  const config::Destination& dest = tables.destinations[d];
  const config::Station& station = tables.stations[static_cast<std::size_t>(report.station_index)];
  const int c = report.status_code;
  const bool subscribed = c >= 0 && c < config::kMaxStatusCodes && tables.subscribed[c][d];
  auto human = [&](const char* what, const std::string& value, const char* unit) {
    const std::string& text =
        static_cast<std::size_t>(c) < tables.human_texts.size() ? tables.human_texts[c] : "";
    return sms::entry_safe(station.name + " reports: " + text + what + value + unit) + kEndOfText;
  };
  if (dest.type == "SMC") return sms::entry_safe(station.number + "," + report.text) + kEndOfText;
  if (!subscribed) return "";
  if (dest.type == "HMN") return human(" at level of ", report.fields[1], " meter");
  if (dest.type == "HMV") return human(" at volume of ", report.fields[3], " liter");
  if (dest.type == "CST") {
    if (!tables.custom_templates_present) return human(" at level of ", report.fields[1], " meter");
    const std::string templ = static_cast<std::size_t>(c) < tables.custom_templates.size()
                                  ? tables.custom_templates[c]
                                  : "";
    return sms::entry_safe(expand_template(templ, station.name, report.fields)) + kEndOfText;
  }
  return "";
}

bool forward_report(Env& env, const config::Tables& tables, const Report& report) {
  const std::tm now = env.wall.local_now();
  const std::string& name = tables.stations[static_cast<std::size_t>(report.station_index)].name;
  say(env, format("SMS /%s/%s/%s: %s\n", date_text(now).c_str(), time_text(now).c_str(),
                  name.c_str(), report.text.c_str()));
  std::vector<sms::Outgoing> texts;
  for (std::size_t d = 0; d < tables.destinations.size(); ++d) {
    std::string text = compose_text(tables, report, d);
    if (text.size() <= 1) continue;
    const config::Destination& dest = tables.destinations[d];
    texts.push_back({dest.name, dest.number, dest.type, std::move(text)});
  }
  bool all_sent = true;
  for (const sms::SendResult& r : sms::fan_out(env, texts))
    all_sent = all_sent && !sms::send_failed(r);
  return all_sent;
}

namespace {

void modem_cycles(Env& env, const config::Tables& tables, const std::string& port_name,
                  alarms::Watch* watch) {
  const int human_count = static_cast<int>(tables.human_texts.size());
  const modem::ModemSetup setup{tables.pin, tables.options.storage, tables.options.init,
                                tables.options.events};
  sms::PollHooks hooks;
  if (watch != nullptr) {
    hooks.heard = [&](int station) { watch->heard(env, station); };
    hooks.between_polls = [&] { return watch->between_polls(env); };
  }
  for (;;) {
    if (!modem::handle_modem(env, port_name, setup, &hooks.events)) {
      log_error(env, "out of ext loop");
      say(env, "out of ext loop.");
      return;
    }
    if (watch != nullptr) watch->on_air(env);
    bool keep_going = true;
    while (keep_going) {
      Report report;
      std::string stamp;
      hooks.idle_failed = false;
      if (!sms::read_sms(env, report.text, report.station_index, tables.stations, stamp,
                         watch != nullptr || hooks.events ? &hooks : nullptr)) {
        // An alarm text that failed has been told as a forward's is: the cycle ends the same way.
        if (hooks.idle_failed) break;
        say(env, "main1\n");
        log_error(env, "main1");
        delay(env, 5000);
        break;
      }
      // The message is off the modem: a stop waits until its fan-out has ended.
      const std::string& sender =
          tables.stations[static_cast<std::size_t>(report.station_index)].number;
      const std::string& name =
          tables.stations[static_cast<std::size_t>(report.station_index)].name;
      std::optional<logs::StopHold> hold(std::in_place, env);
      if (!sms::parse_report(env, report.text, report.fields, report.status_code, human_count)) {
        sms::log_inbound(env, sender, name, "malformed", stamp, report.text);
        hold.reset();
        delay(env, 5000);
        break;
      }
      sms::log_inbound(env, sender, name, "accepted", stamp, report.text);
      keep_going = forward_report(env, tables, report);
    }
    say(env, "out int loop.");
    if (!modem::close_modem(env)) {
      log_error(env, "out of ext loop");
      say(env, "out of ext loop.");
      return;
    }
  }
}

// A stop on request: the modem is left as at the end of a modem cycle (abort bytes, close), and
// the shut-down's own pauses run to their end.
int stop_on_request(Env& env) {
  env.service->stop.held = 1;
  logs::set_state(env, platform::State::kStopping);
  logs::notify(env, "STOPPING=1");
  modem::close_modem(env);
  say(env, "stopped on request.\n");
  log_error(env, "stopped on request");
  logs::set_state(env, platform::State::kStopped);
  return 0;
}

class QuietConsole final : public platform::Console {
 public:
  void write(const std::string&) override {}
};

// A halt at start comes before options.txt is applied (no cfg.txt, a faulty configuration file).
// The state file tells it, as "halted" with the halt's text, when options.txt turns the heartbeat
// on: options.txt is read again for that, printing and logging nothing. A faulty options.txt
// turns nothing on.
void halted_at_start(Env& env) {
  if (env.service == nullptr) return;
  QuietConsole quiet;
  Env quiet_env{env.clock, env.wall, quiet, env.site, env.port};
  try {
    env.service->state_file = config::load_options(quiet_env).heartbeat;
  } catch (const common::Halt&) {
  }
  logs::set_halted(env);
}

config::Tables load_configuration(Env& env) {
  try {
    return config::load_all(env);
  } catch (const common::Halt&) {
    halted_at_start(env);
    throw;
  }
}

}  // namespace

int main_loop(Env& env, const std::string& port_name) {
  const config::Tables tables = load_configuration(env);
  if (env.service != nullptr) {
    env.service->traffic_log = tables.options.traffic;
    env.service->state_file = tables.options.heartbeat;
  }
  logs::set_state(env, platform::State::kStarting);
  logs::notify(env, "READY=1");
  std::optional<alarms::Watch> watch;
  if (tables.alarms.on) {
    watch.emplace(tables, tables.alarms);
    watch->start(env);
  }
  try {
    modem_cycles(env, tables, port_name, watch ? &*watch : nullptr);
  } catch (const common::StopRequest&) {
    return stop_on_request(env);
  }
  return 0;
}

int run_gateway(Env& env) {
  std::string port_name;
  try {
    port_name = start_up(env);
  } catch (const common::StopRequest&) {
    say(env, "stopped on request.\n");
    return 0;
  } catch (const common::Halt&) {
    halted_at_start(env);
    throw;
  }
  return main_loop(env, port_name);
}

int run_site(Env& env) {
  try {
    return run_gateway(env);
  } catch (const common::Halt&) {
    logs::set_halted(env);
    logs::flush_console(env);
    // Halted: no further work. Under a service manager the process ends, so that it is started
    // again; otherwise it waits, the message on the console, until the operator ends it.
    platform::Service* s = env.service;
    if (s != nullptr && !s->exit_on_halt) {
      while (s->stop.requested == 0) env.clock.sleep_ms(60000);
    }
    return 1;
  }
}

}  // namespace mvo::driver
