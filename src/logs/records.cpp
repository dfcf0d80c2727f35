#include "logs/records.h"

#include "common/civil.h"
#include "common/text.h"

namespace mvo::logs {

std::string error_record(const std::string& tag, const std::string& stamp) {
  return common::format(" %s  ,  %s", tag.c_str(), stamp.c_str());
}

std::string station_record(const std::string& zone, const std::string& date,
                           const std::string& time, const std::string& text) {
  return common::format("  %s , %s , %s  , %s \n", zone.c_str(), date.c_str(), time.c_str(),
                        text.c_str());
}

namespace {

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

using common::days_from_civil;

// Exactly `n` decimal digits.
bool digits(std::string_view s, std::size_t at, std::size_t n, int& value) {
  if (at + n > s.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

int name_index(std::string_view name, const char* (*table)(int), int count) {
  for (int i = 0; i < count; ++i) {
    if (name == table(i)) return i;
  }
  return -1;
}

}  // namespace

bool valid_civil(const CivilTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= days_in_month(t.year, t.month) &&
         t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 &&
         t.second < 60;
}

std::int64_t civil_seconds(const CivilTime& t) {
  return days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

CivilTime civil_from_seconds(std::int64_t s) {
  std::int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
  std::int64_t rest = s - days * 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  CivilTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2));
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest % 3600 / 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

bool parse_zone(std::string_view zone, int& quarters) {
  int value = 0;
  if (zone.size() != 3 || (zone[0] != '+' && zone[0] != '-') || !digits(zone, 1, 2, value)) {
    return false;
  }
  if (value > kMaxZoneQuarters) return false;
  quarters = zone[0] == '-' ? -value : value;
  return true;
}

// "  <zone> , <yy/MM/dd> , <hh:mm:ss>  , <text> "
LineFault parse_station_record(std::string_view line, StationRecord& r) {
  if (line.size() < 2 || line.substr(0, 2) != "  " || line.back() != ' ') {
    return LineFault::kMalformed;
  }
  const std::size_t zone_end = line.find(" , ", 2);
  if (zone_end == std::string_view::npos) return LineFault::kMalformed;
  const std::size_t date_end = line.find(" , ", zone_end + 3);
  if (date_end == std::string_view::npos) return LineFault::kMalformed;
  const std::size_t time_end = line.find("  , ", date_end + 3);
  if (time_end == std::string_view::npos || time_end + 4 > line.size() - 1) {
    return LineFault::kMalformed;
  }
  r.zone = line.substr(2, zone_end - 2);
  r.date = line.substr(zone_end + 3, date_end - zone_end - 3);
  r.time = line.substr(date_end + 3, time_end - date_end - 3);
  r.text = line.substr(time_end + 4, line.size() - 1 - (time_end + 4));
  if (!parse_zone(r.zone, r.zone_quarters)) return LineFault::kZone;
  CivilTime t;
  const std::string_view d = r.date, h = r.time;
  if (d.size() != 8 || h.size() != 8 || d[2] != '/' || d[5] != '/' || h[2] != ':' || h[5] != ':' ||
      !digits(d, 0, 2, t.year) || !digits(d, 3, 2, t.month) || !digits(d, 6, 2, t.day) ||
      !digits(h, 0, 2, t.hour) || !digits(h, 3, 2, t.minute) || !digits(h, 6, 2, t.second)) {
    return LineFault::kDate;
  }
  t.year += 2000;
  if (!valid_civil(t)) return LineFault::kDate;
  r.utc = civil_seconds(t) - static_cast<std::int64_t>(r.zone_quarters) * 15 * 60;
  return LineFault::kNone;
}

// "Www Mmm dd hh:mm:ss yyyy"
bool parse_asctime(std::string_view s, CivilTime& t) {
  if (s.size() != 24 || s[3] != ' ' || s[7] != ' ' || s[10] != ' ' || s[13] != ':' ||
      s[16] != ':' || s[19] != ' ') {
    return false;
  }
  if (name_index(s.substr(0, 3), common::day_name, 7) < 0) return false;
  const int month = name_index(s.substr(4, 3), common::month_name, 12);
  if (month < 0) return false;
  t.month = month + 1;
  const bool padded = s[8] == ' ';
  if (!(padded ? digits(s, 9, 1, t.day) : digits(s, 8, 2, t.day))) return false;
  if (!digits(s, 11, 2, t.hour) || !digits(s, 14, 2, t.minute) || !digits(s, 17, 2, t.second) ||
      !digits(s, 20, 4, t.year)) {
    return false;
  }
  return valid_civil(t);
}

namespace {
constexpr std::string_view kStampSeparator = "  ,  ";
constexpr std::size_t kStampLength = 24;

// A line that ends in the separator and a valid stamp: where its tag part ends, or npos.
std::size_t stamp_start(std::string_view line, CivilTime& t) {
  if (line.size() < kStampSeparator.size() + kStampLength) return std::string_view::npos;
  const std::size_t sep = line.size() - kStampLength - kStampSeparator.size();
  if (line.substr(sep, kStampSeparator.size()) != kStampSeparator) return std::string_view::npos;
  if (!parse_asctime(line.substr(sep + kStampSeparator.size()), t)) return std::string_view::npos;
  return sep;
}
}  // namespace

bool ErrorLogReader::feed(std::string_view line) {
  CivilTime t;
  const std::size_t sep = stamp_start(line, t);
  const bool head = !line.empty() && line[0] == ' ';
  if (sep == std::string_view::npos) {
    // A line without its stamp: the first line of a tag that holds a line feed, or a torn one.
    if (has_pending_) ++unreadable_;
    has_pending_ = head;
    if (head) {
      pending_.assign(line.substr(1));
    } else {
      ++unreadable_;
    }
    return false;
  }
  if (head && sep >= 1) {
    if (has_pending_) ++unreadable_;
    has_pending_ = false;
    record_.tag.assign(line.substr(1, sep - 1));
  } else if (has_pending_) {
    has_pending_ = false;
    record_.tag = pending_;
    record_.tag += '\n';
    record_.tag.append(line.substr(0, sep));
  } else {
    ++unreadable_;
    return false;
  }
  record_.time = t;
  return true;
}

void ErrorLogReader::finish() {
  if (has_pending_) ++unreadable_;
  has_pending_ = false;
}

bool LineReader::fill() {
  if (!in_) return false;
  in_.read(buffer_, sizeof buffer_);
  pos_ = 0;
  end_ = static_cast<std::size_t>(in_.gcount());
  return end_ > 0;
}

bool LineReader::next(std::string& line, bool& too_long) {
  line.clear();
  too_long = false;
  bool any = false;
  for (;;) {
    if (pos_ == end_ && !fill()) break;
    if (skip_lf_) {
      skip_lf_ = false;
      if (buffer_[pos_] == '\n') {
        ++pos_;
        continue;
      }
    }
    any = true;
    std::size_t stop = pos_;
    while (stop < end_ && buffer_[stop] != '\n' && buffer_[stop] != '\r') ++stop;
    const std::size_t n = stop - pos_;
    const std::size_t room = max_line_ - line.size();
    if (n > room) too_long = true;
    line.append(buffer_ + pos_, n < room ? n : room);
    pos_ = stop;
    if (stop < end_) {
      skip_lf_ = buffer_[stop] == '\r';
      ++pos_;
      break;
    }
  }
  return any;
}

}  // namespace mvo::logs

namespace mvo::logs {

std::string iso_stamp(const CivilTime& t) {
  return common::format("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                        t.second);
}

bool parse_iso_stamp(std::string_view s, CivilTime& t) {
  if (s.size() != 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' ||
      s[16] != ':') {
    return false;
  }
  CivilTime r;
  if (!digits(s, 0, 4, r.year) || !digits(s, 5, 2, r.month) || !digits(s, 8, 2, r.day) ||
      !digits(s, 11, 2, r.hour) || !digits(s, 14, 2, r.minute) || !digits(s, 17, 2, r.second) ||
      !valid_civil(r)) {
    return false;
  }
  t = r;
  return true;
}

std::string escape_traffic_field(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127 || c == ';' || c == '\\') {
      out += common::format("\\x%02X", static_cast<unsigned>(u));
    } else {
      out += c;
    }
  }
  return out;
}

bool unescape_traffic_field(std::string_view field, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (i + 4 > field.size() || field[i + 1] != 'x') return false;
    int value = 0;
    for (std::size_t k = i + 2; k < i + 4; ++k) {
      const char h = field[k];
      const int v = h >= '0' && h <= '9' ? h - '0' : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
      if (v < 0) return false;
      value = value * 16 + v;
    }
    out += static_cast<char>(value);
    i += 3;
  }
  return true;
}

std::string traffic_record(const TrafficRecord& r) {
  std::string out = iso_stamp(r.stamp);
  for (const std::string* f :
       {&r.direction, &r.number, &r.name, &r.outcome, &r.type, &r.detail, &r.text}) {
    out += ';';
    out += escape_traffic_field(*f);
  }
  return out + '\n';
}

bool parse_traffic_record(std::string_view line, TrafficRecord& r) {
  std::string_view parts[kTrafficFields];
  std::size_t start = 0;
  for (int i = 0; i < kTrafficFields; ++i) {
    const std::size_t end = i + 1 < kTrafficFields ? line.find(';', start) : line.size();
    if (end == std::string_view::npos) return false;
    parts[i] = line.substr(start, end - start);
    start = end + 1;
  }
  if (parts[kTrafficFields - 1].find(';') != std::string_view::npos) return false;
  TrafficRecord out;
  if (!parse_iso_stamp(parts[0], out.stamp)) return false;
  std::string* fields[] = {&out.direction, &out.number, &out.name, &out.outcome,
                           &out.type,      &out.detail, &out.text};
  for (int i = 1; i < kTrafficFields; ++i) {
    if (!unescape_traffic_field(parts[i], *fields[i - 1])) return false;
  }
  if (out.direction != "in" && out.direction != "out") return false;
  r = std::move(out);
  return true;
}

std::string state_file_text(const GatewayState& s) {
  std::string out =
      common::format("version=%s\npid=%lld\nstate=%s\nsince=%s\nbeat=%s\n", s.version.c_str(),
                     s.pid, s.state.c_str(), iso_stamp(s.since).c_str(), iso_stamp(s.beat).c_str());
  out += common::format("beat_utc=%lld\n", static_cast<long long>(s.beat_utc));
  if (s.attempt > 0) out += common::format("attempt=%d\n", s.attempt);
  if (!s.message.empty()) out += "message=" + escape_traffic_field(s.message) + "\n";
  if (s.on_air_utc)
    out += common::format("on_air_utc=%lld\n", static_cast<long long>(*s.on_air_utc));
  return out;
}

bool parse_state_file(std::string_view text, GatewayState& s) {
  GatewayState out;
  bool has_state = false, has_beat = false, has_utc = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "version") {
      out.version = std::string(value);
    } else if (key == "pid" || key == "beat_utc" || key == "attempt" || key == "on_air_utc") {
      if (value.empty() || value.size() > 18) return false;
      long long n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
      }
      if (key == "pid") out.pid = n;
      if (key == "on_air_utc") out.on_air_utc = n;
      if (key == "attempt") out.attempt = static_cast<int>(n > 1000000 ? 1000000 : n);
      if (key == "beat_utc") {
        out.beat_utc = n;
        has_utc = true;
      }
    } else if (key == "state") {
      out.state = std::string(value);
      has_state = !value.empty();
    } else if (key == "since") {
      if (!parse_iso_stamp(value, out.since)) return false;
    } else if (key == "beat") {
      if (!parse_iso_stamp(value, out.beat)) return false;
      has_beat = true;
    } else if (key == "message") {
      if (!unescape_traffic_field(value, out.message)) return false;
    }
  }
  if (!has_state || !has_beat || !has_utc) return false;
  s = std::move(out);
  return true;
}

}  // namespace mvo::logs
