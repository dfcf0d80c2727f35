#include "config/alarms.h"

#include <algorithm>

#include "common/halt.h"
#include "common/text.h"
#include "config/tables.h"
#include "config/text_file.h"
#include "logs/logs.h"

namespace mvo::config {

using common::format;

namespace {

constexpr const char* kBlanks = " \t\n";

[[noreturn]] void refuse_line(Env& env, int line, const std::string& why) {
  logs::say(env, format(" line %d in file alarms.txt: %s\n", line, why.c_str()));
  common::halt();
}

std::string trimmed(const std::string& s) {
  const std::size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string::npos) return "";
  const std::size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

// A name as written: blanks around it dropped, and one pair of quotes around it.
std::string unquoted(const std::string& s) {
  std::string t = trimmed(s);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
  return t;
}

// A number of its own: an optional '+', then digits, blanks and dashes (dropped), as in
// destinations.txt. Empty when it is not one.
std::string own_number(const std::string& s) {
  std::string number;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c >= '0' && c <= '9') {
      number += c;
    } else if (c == '+' && i == 0) {
      number += c;
    } else if (c != ' ' && c != '-') {
      return "";
    }
  }
  const bool has_digit = number.find_first_of("0123456789") != std::string::npos;
  return has_digit && number.size() <= kMaxNumberLength ? number : "";
}

}  // namespace

bool parse_alarm_time(const std::string& word, std::int64_t& seconds) {
  std::size_t i = 0;
  std::int64_t n = 0;
  while (i < word.size() && word[i] >= '0' && word[i] <= '9') {
    n = n * 10 + (word[i] - '0');
    if (n > kMaxAlarmBound) return false;
    ++i;
  }
  if (i == 0) return false;
  std::int64_t unit = 3600;
  if (i + 1 == word.size()) {
    switch (word[i]) {
      case 'm':
        unit = 60;
        break;
      case 'h':
        unit = 3600;
        break;
      case 'd':
        unit = 86400;
        break;
      default:
        return false;
    }
  } else if (i != word.size()) {
    return false;
  }
  seconds = n * unit;
  return seconds >= 60 && seconds <= kMaxAlarmBound;
}

AlarmSettings load_alarms(Env& env, const std::vector<Station>& stations,
                          const std::vector<Destination>& destinations, Where* where) {
  AlarmSettings a;
  TextFile file;
  if (!file.open(env.site.path("configuration", "alarms.txt"))) return a;
  // Each station's own bound wins over the general one, whatever their order in the file.
  std::int64_t general = 0;
  std::vector<std::int64_t> own(stations.size(), 0);
  bool watches = false;
  auto at = [&](int line) {
    if (where != nullptr) where->line = line;
  };
  while (!file.at_end()) {
    const Line line = file.read_line();
    const int n = file.line_number();
    at(n);
    if (line.too_long) {
      logs::say(env, format(" line %d in file alarms.txt is too long\n", n));
      common::halt();
    }
    std::string text = trimmed(line.text);
    if (text.empty() || text[0] == '#') continue;
    // A comment may also follow a line's words, after a blank.
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '#' && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
        text = trimmed(text.substr(0, i));
        break;
      }
    }
    const std::size_t key_end = std::min(text.find_first_of(kBlanks), text.size());
    const std::string key = text.substr(0, key_end);
    const std::string rest = trimmed(text.substr(key_end));
    if (key == "silent") {
      // The time is the last word; what stands before it names a station.
      const std::size_t last = rest.find_last_of(kBlanks);
      const std::string time_word = last == std::string::npos ? rest : rest.substr(last + 1);
      const std::string who = last == std::string::npos ? "" : unquoted(rest.substr(0, last));
      std::int64_t seconds = 0;
      if (!parse_alarm_time(time_word, seconds)) {
        refuse_line(env, n, "silent takes a time such as 90m, 6h or 2d");
      }
      if (who.empty()) {
        general = seconds;
      } else {
        bool found = false;
        for (std::size_t i = 0; i < stations.size(); ++i) {
          if (stations[i].name == who || stations[i].number == who) {
            own[i] = seconds;
            found = true;
          }
        }
        if (!found) refuse_line(env, n, format("no station %s in stations.txt", who.c_str()));
      }
      watches = true;
    } else if (key == "off-air") {
      std::int64_t seconds = 0;
      if (!parse_alarm_time(rest, seconds)) {
        refuse_line(env, n, "off-air takes a time such as 90m, 6h or 2d");
      }
      a.off_air_after = seconds;
      watches = true;
    } else if (key == "to") {
      const std::string who = unquoted(rest);
      if (who.empty()) refuse_line(env, n, "to takes a destination's name or a number");
      AlarmRecipient r;
      const auto d = std::find_if(destinations.begin(), destinations.end(),
                                  [&](const Destination& x) { return x.name == who; });
      if (d != destinations.end()) {
        r.name = d->name;
        r.number = d->number;
      } else {
        r.number = own_number(who);
        if (r.number.empty()) {
          refuse_line(env, n, format("no destination %s in destinations.txt", who.c_str()));
        }
      }
      if (static_cast<int>(a.recipients.size()) >= kMaxAlarmRecipients) {
        refuse_line(env, n, format("more than %d recipients", kMaxAlarmRecipients));
      }
      // A recipient named twice (by name and by number) gets each alarm once.
      const bool again = std::any_of(a.recipients.begin(), a.recipients.end(),
                                     [&](const AlarmRecipient& x) { return x.number == r.number; });
      if (!again) a.recipients.push_back(r);
    } else if (key == "per-hour") {
      int value = 0;
      bool ok = !rest.empty() && rest.size() <= 2;
      for (char c : rest) {
        if (c < '0' || c > '9') ok = false;
        if (ok) value = value * 10 + (c - '0');
      }
      if (!ok || value < 1 || value > kMaxAlarmsPerHour) {
        refuse_line(env, n, format("per-hour takes a number from 1 to %d", kMaxAlarmsPerHour));
      }
      a.per_hour = value;
    } else {
      refuse_line(env, n, format("unknown word %s", key.c_str()));
    }
    if (where != nullptr) where->entry_lines.push_back(n);
  }
  at(0);
  if (watches && a.recipients.empty()) {
    logs::say(env, " file alarms.txt: no recipient (a to line) for its alarms\n");
    common::halt();
  }
  a.silent_after.resize(stations.size());
  for (std::size_t i = 0; i < stations.size(); ++i)
    a.silent_after[i] = own[i] != 0 ? own[i] : general;
  a.on = watches;
  return a;
}

}  // namespace mvo::config
