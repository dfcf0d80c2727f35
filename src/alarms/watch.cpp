#include "alarms/watch.h"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "common/text.h"
#include "config/text_file.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "logs/records.h"
#include "sms/sms.h"

namespace mvo::alarms {

using common::format;

namespace {

std::vector<std::string> split_fields(const std::string& value) {
  std::vector<std::string> out(1);
  for (char c : value) {
    if (c == ';') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

bool parse_count(const std::string& text, std::int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool parse_flag(const std::string& text, bool& flag) {
  if (text != "0" && text != "1") return false;
  flag = text == "1";
  return true;
}

// "05/12/2026 14:02" -> "05/12 14:02": the year is plain in a folded text.
std::string short_shown(const std::string& shown) {
  return shown.size() == 16 ? shown.substr(0, 5) + shown.substr(10) : shown;
}

std::string cut(std::string text) {
  if (text.size() > kMaxText) text.resize(kMaxText);
  return text;
}

// One text for the entries of one kind: a single entry in full, several folded after a header,
// as many as fit, and a count of those left for a later text.
void fold(const std::vector<std::size_t>& stations, const std::vector<std::string>& single,
          const std::vector<std::string>& entries, const std::string& header, Due& due) {
  if (stations.size() == 1) {
    due.stations = stations;
    due.text = cut(single[0]);
    return;
  }
  std::string text = header;
  std::size_t taken = 0;
  for (std::size_t i = 0; i < stations.size(); ++i) {
    const std::string part = (taken == 0 ? "" : "; ") + entries[i];
    const std::size_t left = stations.size() - i - 1;
    const std::string more = left == 0 ? "" : format(" (+%d more)", static_cast<int>(left));
    if (taken > 0 && text.size() + part.size() + more.size() > kMaxText) break;
    text += part;
    due.stations.push_back(stations[i]);
    ++taken;
  }
  const std::size_t left = stations.size() - taken;
  if (left > 0) text += format(" (+%d more)", static_cast<int>(left));
  due.text = cut(text);
}

}  // namespace

std::string duration_text(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const std::int64_t minutes = seconds / 60;
  const long long d = minutes / 1440;
  const long long h = minutes / 60 % 24;
  const long long m = minutes % 60;
  if (d > 0) return format("%lldd %lldh", d, h);
  if (h > 0) return format("%lldh %lldm", h, m);
  return format("%lldm", m);
}

std::string state_text(const AlarmState& s) {
  using logs::escape_traffic_field;
  std::string out = format("on-air=%lld\noff-air-due=%lld\n", static_cast<long long>(s.on_air),
                           static_cast<long long>(s.off_air_due));
  for (const StationWatch& w : s.stations) {
    out += "station=" + escape_traffic_field(w.number) + ";" +
           format("%lld", static_cast<long long>(w.since)) + ";" +
           escape_traffic_field(w.since_shown) + ";" + (w.heard ? "1" : "0") + ";" +
           (w.alarmed ? "1" : "0") + ";" + (w.back_due ? "1" : "0") + "\n";
  }
  for (const SentAlarm& a : s.sent) {
    out += format("sent=%lld;", static_cast<long long>(a.utc)) + escape_traffic_field(a.shown) +
           ";" + escape_traffic_field(a.text) + "\n";
  }
  return out;
}

bool parse_state(const std::string& text, AlarmState& result) {
  if (text.size() > kMaxStateFile) return false;
  AlarmState s;
  bool has_on_air = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = line.substr(0, eq);
    const std::vector<std::string> f = split_fields(line.substr(eq + 1));
    if (key == "on-air" && f.size() == 1) {
      if (!parse_count(f[0], s.on_air)) return false;
      has_on_air = true;
    } else if (key == "off-air-due" && f.size() == 1) {
      if (!parse_count(f[0], s.off_air_due)) return false;
    } else if (key == "station" && f.size() == 6) {
      StationWatch w;
      if (!logs::unescape_traffic_field(f[0], w.number) || !parse_count(f[1], w.since) ||
          !logs::unescape_traffic_field(f[2], w.since_shown) || !parse_flag(f[3], w.heard) ||
          !parse_flag(f[4], w.alarmed) || !parse_flag(f[5], w.back_due)) {
        return false;
      }
      s.stations.push_back(w);
    } else if (key == "sent" && f.size() == 3) {
      SentAlarm a;
      if (!parse_count(f[0], a.utc) || !logs::unescape_traffic_field(f[1], a.shown) ||
          !logs::unescape_traffic_field(f[2], a.text)) {
        return false;
      }
      s.sent.push_back(a);
    } else {
      return false;
    }
  }
  if (!has_on_air) return false;
  result = std::move(s);
  return true;
}

Watch::Watch(const config::Tables& tables, const config::AlarmSettings& settings)
    : tables_(tables), settings_(settings) {}

std::string Watch::shown_now(Env& env) const {
  const std::tm t = env.wall.local_now();
  return format("%.2d/%.2d/%d %.2d:%.2d", t.tm_mday, t.tm_mon + 1, 1900 + t.tm_year, t.tm_hour,
                t.tm_min);
}

void Watch::write(Env& env) {
  logs::replace_file(env.site.path("log", kStateFileName), state_text(state_));
  written_on_air_ = state_.on_air;
}

// UTC seconds as the watch judges them: carried on by the steady clock from the last reading of
// the wall clock, so silence is measured on the process's own clock. A wall clock set forward or
// back by more than kClockJumpSeconds moves every kept moment with it, so the ages measured so far
// stand, and the settling time begins again: reports may come in a rush once the PC's time and
// the network's agree again.
std::int64_t Watch::now(Env& env) {
  const std::int64_t wall = env.wall.utc_seconds();
  const std::int64_t ms = env.clock.now_ms();
  if (anchor_ms_ < 0 || ms < anchor_ms_) {
    anchor_utc_ = wall;
    anchor_ms_ = ms;
    return wall;
  }
  const std::int64_t carried = anchor_utc_ + (ms - anchor_ms_) / 1000;
  const std::int64_t jump = wall - carried;
  if (jump >= -kClockJumpSeconds && jump <= kClockJumpSeconds) return carried;
  for (StationWatch& w : state_.stations) w.since += jump;
  if (state_.on_air != 0) state_.on_air += jump;
  for (SentAlarm& a : state_.sent) a.utc += jump;
  written_on_air_ += jump;
  if (brought_up_) settle_until_ = wall + settle_seconds();
  anchor_utc_ = wall;
  anchor_ms_ = ms;
  write(env);
  return wall;
}

std::int64_t Watch::settle_seconds() const {
  // A station watched more closely than the settling time (a site under test) is not held back
  // longer than its own bound.
  std::int64_t settle = kSettleSeconds;
  for (std::int64_t bound : settings_.silent_after) {
    if (bound > 0) settle = std::min(settle, bound);
  }
  return settle;
}

void Watch::start(Env& env) {
  AlarmState stored;
  std::string text;
  // Only a file of the size this gateway writes is read; anything larger is not its state.
  const std::string path = env.site.path("log", kStateFileName);
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  const bool known =
      !ec && size <= kMaxStateFile && config::read_text(path, text) && parse_state(text, stored);
  const std::int64_t now = this->now(env);
  AlarmState s;
  if (known) {
    s.on_air = stored.on_air;
    s.off_air_due = stored.off_air_due;
    s.sent = stored.sent;
  }
  // The stations as listed now, in table order; one no longer listed is forgotten.
  for (const config::Station& station : tables_.stations) {
    const auto old =
        std::find_if(stored.stations.begin(), stored.stations.end(),
                     [&](const StationWatch& w) { return w.number == station.number; });
    if (known && old != stored.stations.end()) {
      s.stations.push_back(*old);
    } else {
      StationWatch w;
      w.number = station.number;
      w.since = now;
      w.since_shown = shown_now(env);
      s.stations.push_back(w);
    }
  }
  state_ = std::move(s);
  clamp_to(now);
  write(env);
}

// A clock set back (a PC whose clock battery died, then corrected) leaves moments in the future:
// they are taken as now, so silence and outages are measured from now on rather than never.
void Watch::clamp_to(std::int64_t now) {
  for (StationWatch& w : state_.stations) w.since = std::min(w.since, now);
  state_.on_air = std::min(state_.on_air, now);
  for (SentAlarm& a : state_.sent) a.utc = std::min(a.utc, now);
}

void Watch::keep_on_air(Env& env, std::int64_t now) {
  clamp_to(now);
  state_.on_air = now;
  if (now - written_on_air_ >= kOnAirWriteSeconds) write(env);
}

void Watch::on_air(Env& env) {
  const std::int64_t now = this->now(env);
  clamp_to(now);
  const std::int64_t off = state_.on_air == 0 ? 0 : now - state_.on_air;
  const bool back = settings_.off_air_after > 0 && off > settings_.off_air_after;
  if (back) state_.off_air_due = std::max(state_.off_air_due, off);
  // Reports the network kept for the modem arrive over some minutes after any outage long enough
  // to let a station look silent, whether or not the outage itself is texted.
  if (!brought_up_ || back || off > kSettleSeconds) settle_until_ = now + settle_seconds();
  brought_up_ = true;
  state_.on_air = now;
  write(env);
}

void Watch::heard(Env& env, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= state_.stations.size()) return;
  const std::int64_t now = this->now(env);
  StationWatch& w = state_.stations[static_cast<std::size_t>(index)];
  w.since = now;
  w.since_shown = shown_now(env);
  w.heard = true;
  if (w.alarmed) {
    w.alarmed = false;
    w.back_due = true;
  }
  state_.on_air = now;
  write(env);
}

int Watch::budget(std::int64_t now) const {
  int in_hour = 0;
  for (const SentAlarm& a : state_.sent) {
    if (a.utc > now - 3600 && a.utc <= now) ++in_hour;
  }
  return std::max(0, settings_.per_hour - in_hour);
}

bool Watch::next_due(std::int64_t now, Due& due) const {
  due = Due{};
  if (state_.off_air_due > 0) {
    due.kind = Due::kOffAir;
    due.text = cut("MVO: gateway back on the air after " + duration_text(state_.off_air_due) +
                   " off the air; reports sent meanwhile may be missed.");
    return true;
  }
  std::vector<std::size_t> back;
  std::vector<std::size_t> silent;
  for (std::size_t i = 0; i < state_.stations.size() && i < tables_.stations.size(); ++i) {
    const StationWatch& w = state_.stations[i];
    const std::int64_t bound = i < settings_.silent_after.size() ? settings_.silent_after[i] : 0;
    if (w.back_due) back.push_back(i);
    if (bound > 0 && !w.alarmed && now - w.since > bound && now >= settle_until_) {
      silent.push_back(i);
    }
  }
  auto who = [&](std::size_t i) {
    return tables_.stations[i].name + " (" + tables_.stations[i].number + ")";
  };
  std::vector<std::string> single;
  std::vector<std::string> entries;
  if (!back.empty()) {
    due.kind = Due::kBack;
    for (std::size_t i : back) {
      single.push_back("MVO: " + who(i) + " reports again, " + state_.stations[i].since_shown);
      entries.push_back(who(i));
    }
    fold(back, single, entries, format("MVO: %d stations report again: ", int(back.size())), due);
    return true;
  }
  if (!silent.empty()) {
    due.kind = Due::kSilent;
    for (std::size_t i : silent) {
      const StationWatch& w = state_.stations[i];
      single.push_back("MVO alarm: " + who(i) + " silent, " +
                       (w.heard ? "last message " : "no message since ") + w.since_shown);
      entries.push_back(who(i) + (w.heard ? " " : " none since ") + short_shown(w.since_shown));
    }
    fold(silent, single, entries, format("MVO alarm: %d stations silent: ", int(silent.size())),
         due);
    return true;
  }
  return false;
}

bool Watch::between_polls(Env& env) {
  const std::int64_t now = this->now(env);
  keep_on_air(env, now);
  Due due;
  if (budget(now) == 0 || !next_due(now, due)) return true;
  // Told before it is sent, and written so: a power cut or a stop mid-way never sends the same
  // alarm twice. The sent entry counts against the hour whatever becomes of the text.
  const AlarmState before = state_;
  mark_told(due);
  state_.sent.push_back({now, shown_now(env), due.text});
  if (state_.sent.size() > kHistory) state_.sent.erase(state_.sent.begin());
  write(env);
  // The text goes to every recipient before a stop may end the gateway, as a report's fan-out
  // does, for as long as a stop may wait.
  logs::StopHold hold(env);
  std::string body = due.text;
  for (char& c : body) {
    // A control byte (from a station's name) would end, cancel or break the entry.
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  }
  std::vector<sms::Outgoing> texts;
  for (const config::AlarmRecipient& r : settings_.recipients) {
    texts.push_back({r.name, r.number, "ALM", body + '\x1a'});
  }
  bool all_sent = true;
  bool reached = false;
  for (const sms::SendResult& r : sms::fan_out(env, texts)) {
    all_sent = all_sent && !sms::send_failed(r);
    // A text the network took (a message reference came, even when no OK followed) or refused
    // for good is done with; one that failed, was cut short or never started is not.
    reached = reached || r.taken || r.outcome == "sent" || r.outcome == "refused";
  }
  if (reached) {
    logs::say(env, "alarm sent: " + body + "\n");
  } else if (!settings_.recipients.empty()) {
    // No recipient received it, whatever ended the turn: the alarm stays due for a later turn,
    // within the hour's budget.
    const std::vector<SentAlarm> sent = state_.sent;
    state_ = before;
    state_.sent = sent;
    write(env);
  }
  return all_sent;
}

void Watch::mark_told(const Due& due) {
  switch (due.kind) {
    case Due::kOffAir:
      state_.off_air_due = 0;
      break;
    case Due::kBack:
      for (std::size_t i : due.stations) state_.stations[i].back_due = false;
      break;
    case Due::kSilent:
      for (std::size_t i : due.stations) state_.stations[i].alarmed = true;
      break;
  }
}

std::vector<std::string> Watch::previews(const config::Tables& tables) {
  std::vector<std::string> out;
  const config::AlarmSettings& a = tables.alarms;
  Watch w(tables, a);
  const std::int64_t now = 100 * 86400;
  for (std::size_t i = 0; i < tables.stations.size(); ++i) {
    StationWatch s;
    s.number = tables.stations[i].number;
    s.since = 0;
    s.since_shown = "05/12/2026 14:02";
    s.heard = true;
    w.state_.stations.push_back(s);
  }
  Due due;
  if (a.off_air_after > 0) {
    w.state_.off_air_due = a.off_air_after + 720;
    if (w.next_due(now, due)) out.push_back(due.text);
    w.state_.off_air_due = 0;
  }
  for (std::size_t i = 0; i < tables.stations.size(); ++i) {
    if (i >= a.silent_after.size() || a.silent_after[i] == 0) continue;
    for (std::size_t j = 0; j < w.state_.stations.size(); ++j)
      w.state_.stations[j].alarmed = j != i;
    if (w.next_due(now, due)) out.push_back(due.text);
    w.state_.stations[i].alarmed = true;
    w.state_.stations[i].back_due = true;
    if (w.next_due(now, due)) out.push_back(due.text);
    w.state_.stations[i].back_due = false;
  }
  // The most a folded text can carry: every watched station silent at once.
  int watched = 0;
  for (std::size_t i = 0; i < tables.stations.size(); ++i) {
    const bool on = i < a.silent_after.size() && a.silent_after[i] > 0;
    w.state_.stations[i].alarmed = !on;
    watched += on ? 1 : 0;
  }
  if (watched > 1 && w.next_due(now, due)) out.push_back(due.text);
  return out;
}

}  // namespace mvo::alarms
