#include "report.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "common/fields.h"
#include "common/halt.h"
#include "common/text.h"
#include "config/tables.h"
#include "logs/logs.h"

namespace mvo::report {

namespace fs = std::filesystem;

namespace {
constexpr std::size_t kMaxAcceptedText = 60;  // longer messages are logged but not forwarded
constexpr int kFieldCount = 7;

std::optional<double> number_of(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  while (end != nullptr && *end == ' ') ++end;
  if (end == text.c_str() || end == nullptr || *end != '\0' || !(v == v) || v > 1e30 || v < -1e30) {
    return std::nullopt;
  }
  return v;
}
}  // namespace

Reading read_message(const std::string& text, int human_count) {
  Reading r;
  if (text.size() > kMaxAcceptedText) return r;
  // The gateway's own cut: the field splitter over the text with a comma appended.
  std::string work = text + ",";
  common::FieldSplitter splitter(work.data(), ",");
  std::string fields[kFieldCount];
  for (auto& field : fields) {
    const char* f = splitter.next();
    if (f == nullptr) return r;
    field = f;
  }
  int code = 0;
  if (!common::scan_int(fields[6].c_str(), code) || code < 0 || code >= human_count) return r;
  r.valid = true;
  r.code = code;
  r.level_text = fields[1];
  r.volume_text = fields[3];
  r.level = number_of(fields[1]);
  r.volume = number_of(fields[3]);
  return r;
}

int Axis::column(std::int64_t t) const {
  if (t < start || t > end) return -1;
  const auto span = static_cast<long double>(end - start) + 1;
  return static_cast<int>(static_cast<long double>(t - start) * kColumns / span);
}

void add_to_columns(std::vector<Column>& columns, const Axis& axis, std::int64_t t,
                    const Reading& reading) {
  const int c = axis.column(t);
  if (c < 0) return;
  Column& col = columns[static_cast<std::size_t>(c)];
  if (!reading.valid) {
    col.invalid = true;
    return;
  }
  auto widen = [](bool& has, float& lo, float& hi, double v) {
    const auto f = static_cast<float>(v);
    if (!has || f < lo) lo = f;
    if (!has || f > hi) hi = f;
    has = true;
  };
  if (reading.level) widen(col.has_level, col.level_min, col.level_max, *reading.level);
  if (reading.volume) widen(col.has_volume, col.volume_min, col.volume_max, *reading.volume);
  if (col.code < 0 || t >= col.code_time) {
    col.code = reading.code;
    col.code_time = t;
  }
}

bool is_silent(const Station& s, const Settings& settings) {
  return !s.heard || settings.now - s.last > settings.silent_after_s;
}

namespace {
const char* const kLeavesModemUp[] = {"On the air", "SMS from UFO", "SMS too long"};
}

void add_error_record(Health& h, const logs::ErrorRecord& r, std::optional<std::int64_t> since) {
  const std::int64_t t = logs::civil_seconds(r.time);
  ++h.records;
  if (!h.first_record || t < *h.first_record) h.first_record = t;
  if (!h.last_record || t > *h.last_record) h.last_record = t;
  if (r.tag == "On the air") {
    h.last_on_air = t;
    h.off_air_since.reset();
  } else if (std::find(std::begin(kLeavesModemUp), std::end(kLeavesModemUp), r.tag) ==
             std::end(kLeavesModemUp)) {
    if (!h.off_air_since) h.off_air_since = t;
  }
  if (r.tag == "SMS from UFO") h.last_ufo = t;
  // The rest is the history shown, from --since on.
  if (since && t < *since) return;
  const std::int64_t day = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
  DayHealth& d = h.days[day];
  if (r.tag == "On the air") {
    ++d.on_air;
    ++h.on_air;
    return;
  }
  if (r.tag == "SMS from UFO") {
    ++d.ufo;
    ++h.ufo;
    return;
  }
  std::size_t i = 0;
  while (i < h.tags.size() && h.tags[i].tag != r.tag) ++i;
  if (i == h.tags.size()) {
    if (h.tags.size() == kMaxTags) {
      ++h.other_count;
      ++d.failures[static_cast<int>(kMaxTags)];
      return;
    }
    h.tags.push_back({r.tag, 0, t});
  }
  ++h.tags[i].count;
  h.tags[i].last = std::max(h.tags[i].last, t);
  ++d.failures[static_cast<int>(i)];
}

namespace {

// The gateway's loaders, run on a private copy of the configuration: a faulty file makes them
// log a tag, and a report must never write into the site it reads.
class QuietClock final : public platform::Clock {
 public:
  std::int64_t now_ms() override { return now_; }
  void sleep_ms(std::int64_t ms) override { now_ += ms; }

 private:
  std::int64_t now_ = 0;
};
class QuietWall final : public platform::WallClock {
 public:
  std::tm local_now() override {
    std::tm t{};
    t.tm_mday = 1;
    t.tm_year = 100;
    return t;
  }
};
class QuietConsole final : public platform::Console {
 public:
  void write(const std::string& text) override {
    if (text_.size() < 4096) text_ += text;
  }
  std::string text_;
};
class NoPort final : public platform::SerialPort {
 public:
  bool open(const std::string&) override { return false; }
  bool is_open() const override { return false; }
  bool get_settings(platform::LineSettings&) override { return false; }
  bool set_settings(const platform::LineSettings&) override { return false; }
  bool set_timeouts(const platform::Timeouts&) override { return false; }
  bool purge() override { return false; }
  bool read(char*, std::size_t, std::size_t&) override { return false; }
  bool write(const char*, std::size_t, std::size_t&) override { return false; }
  bool close() override { return false; }
  int last_error() const override { return 0; }
};

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool load_configuration(const fs::path& site, SiteReport& out, std::string& error) {
  std::error_code ec;
  std::random_device random;
  const fs::path tmp =
      fs::temp_directory_path(ec) / common::format("mvo-report-%08x%08x", random(), random());
  fs::create_directories(tmp / "configuration", ec);
  fs::create_directories(tmp / "log", ec);
  if (ec) {
    error = "cannot make a temporary directory: " + ec.message();
    return false;
  }
  for (const char* name : {"stations.txt", "human.txt"}) {
    fs::copy_file(site / "configuration" / name, tmp / "configuration" / name, ec);
  }
  QuietClock clock;
  QuietWall wall;
  QuietConsole console;
  const platform::Site quiet_site(tmp.string(), static_cast<char>(fs::path::preferred_separator));
  NoPort port;
  platform::Env env{clock, wall, console, quiet_site, port};
  bool ok = true;
  try {
    for (const config::Station& s : config::load_stations(env)) {
      Station st;
      st.name = s.name;
      st.number = s.number;
      st.log_name = logs::station_log_name(s.number);
      out.stations.push_back(std::move(st));
    }
  } catch (const common::Halt&) {
    error = "stations.txt: " + trimmed(console.text_);
    ok = false;
  }
  if (ok) {
    console.text_.clear();
    try {
      out.human_texts = config::load_human_texts(env);
    } catch (const common::Halt&) {
      out.human_problem = trimmed(console.text_);
    }
  }
  fs::remove_all(tmp, ec);
  return ok;
}

// Reads every record of a station log; `each(record, fault)` for each line.
template <typename F>
bool scan_station_log(const fs::path& path, F each) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  logs::LineReader lines(in, kMaxLogLine);
  std::string line;
  bool too_long = false;
  logs::StationRecord record;
  while (lines.next(line, too_long)) {
    const logs::LineFault fault =
        too_long ? logs::LineFault::kMalformed : logs::parse_station_record(line, record);
    each(record, fault);
  }
  return true;
}

void count_fault(Unreadable& u, logs::LineFault fault) {
  if (fault == logs::LineFault::kMalformed) ++u.malformed;
  if (fault == logs::LineFault::kZone) ++u.zone;
  if (fault == logs::LineFault::kDate) ++u.date;
}

}  // namespace

bool read_site(const std::string& dir, const Settings& settings, SiteReport& out,
               std::string& error) {
  const fs::path site(dir);
  out = SiteReport{};
  out.site = dir;
  std::error_code ec;
  if (!fs::is_directory(site / "log", ec)) {
    error = "no log directory in " + dir;
    return false;
  }
  if (!load_configuration(site, out, error)) return false;
  const int human_count = out.human_problem.empty() ? static_cast<int>(out.human_texts.size())
                                                    : config::kMaxStatusCodes;

  // First pass: each station's extent, latest message and counts.
  std::optional<std::int64_t> earliest;
  std::int64_t latest = settings.now;
  for (Station& st : out.stations) {
    st.log_found = scan_station_log(site / "log" / st.log_name,
                                    [&](const logs::StationRecord& r, logs::LineFault fault) {
                                      if (fault != logs::LineFault::kNone) {
                                        count_fault(st.unreadable, fault);
                                        return;
                                      }
                                      ++st.messages;
                                      if (!st.heard || r.utc < st.first) st.first = r.utc;
                                      if (!st.heard || r.utc >= st.last) {
                                        st.last = r.utc;
                                        st.last_text = r.text;
                                      }
                                      st.heard = true;
                                      if (r.utc > settings.now - 24 * 3600) ++st.last_24h;
                                      if (r.utc > settings.now - 7 * 24 * 3600) ++st.last_7d;
                                    });
    if (st.heard) {
      st.last_reading = read_message(st.last_text, human_count);
      if (!earliest || st.first < *earliest) earliest = st.first;
      // A stamp far ahead of the clock (a station or network clock gone wrong) would squeeze
      // every chart; the axis ends a day after now at the latest.
      latest = std::clamp(st.last, latest, settings.now + 86400);
    }
  }

  // The axis runs from --since (or the earliest message) to now (or a later stamp).
  out.axis.start = settings.since ? *settings.since : earliest.value_or(settings.now - 86400);
  out.axis.end = std::max(latest, out.axis.start + 3600);

  // Second pass: the chart columns.
  for (Station& st : out.stations) {
    if (!st.heard) continue;
    st.columns.assign(kColumns, Column{});
    scan_station_log(site / "log" / st.log_name,
                     [&](const logs::StationRecord& r, logs::LineFault fault) {
                       if (fault != logs::LineFault::kNone) return;
                       const Reading reading = read_message(r.text, human_count);
                       if (!reading.valid) ++st.invalid;
                       if (out.axis.column(r.utc) >= 0) ++st.in_range;
                       add_to_columns(st.columns, out.axis, r.utc, reading);
                     });
  }

  // The error log.
  std::ifstream in(site / "log" / "err_log.csv", std::ios::binary);
  out.health.log_found = in.is_open();
  if (in.is_open()) {
    std::optional<std::int64_t> since_local;
    if (settings.since) since_local = *settings.since + settings.display_offset_s;
    logs::LineReader lines(in, kMaxLogLine);
    logs::ErrorLogReader reader;
    std::string line;
    bool too_long = false;
    while (lines.next(line, too_long)) {
      if (too_long) {
        ++out.health.unreadable;
        continue;
      }
      if (reader.feed(line)) add_error_record(out.health, reader.record(), since_local);
    }
    reader.finish();
    out.health.unreadable += reader.unreadable();
  }

  // Logs of numbers not in stations.txt (a station taken off the list keeps its file).
  for (const auto& entry : fs::directory_iterator(site / "log", ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".csv" || name == "err_log.csv") continue;
    if (std::any_of(out.stations.begin(), out.stations.end(),
                    [&](const Station& s) { return s.log_name == name; })) {
      continue;
    }
    if (out.unlisted_logs.size() >= 50) break;
    std::uint64_t n = 0;
    scan_station_log(entry.path(), [&](const logs::StationRecord&, logs::LineFault fault) {
      if (fault == logs::LineFault::kNone) ++n;
    });
    out.unlisted_logs.emplace_back(name, n);
  }
  std::sort(out.unlisted_logs.begin(), out.unlisted_logs.end());
  return true;
}

std::vector<std::size_t> by_urgency(const SiteReport& site, const Settings& settings) {
  auto rank = [&](const Station& s) {
    if (!s.heard) return 0;
    if (is_silent(s, settings)) return 1;
    if (!s.last_reading.valid) return 2;
    return 3;
  };
  std::vector<std::size_t> order(site.stations.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const Station& x = site.stations[a];
    const Station& y = site.stations[b];
    if (rank(x) != rank(y)) return rank(x) < rank(y);
    return rank(x) == 1 && x.last < y.last;
  });
  return order;
}

std::string show_offset(int offset_s) {
  const int m = std::abs(offset_s) / 60;
  return common::format("UTC%c%02d:%02d", offset_s < 0 ? '-' : '+', m / 60, m % 60);
}

std::string show_time(std::int64_t utc, int offset_s) {
  const logs::CivilTime t = logs::civil_from_seconds(utc + offset_s);
  return common::format("%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
}

namespace {
std::string hours(std::int64_t s) {
  return common::format("%.0f h", static_cast<double>(s) / 3600);
}
}  // namespace

CheckResult check_unknown(const std::string& why) { return {3, "MVO UNKNOWN - " + why}; }

CheckResult check_site(const SiteReport& site, const Settings& settings) {
  std::vector<std::string> silent;
  for (std::size_t i : by_urgency(site, settings)) {
    const Station& s = site.stations[i];
    if (!is_silent(s, settings)) continue;
    silent.push_back(s.heard ? s.name + " (" + hours(settings.now - s.last) + ")"
                             : s.name + " (never heard)");
  }
  const int count = static_cast<int>(site.stations.size());
  std::string off_air;
  const Health& h = site.health;
  if (!h.last_on_air) {
    off_air = "never on the air";
  } else if (h.off_air_since) {
    const std::int64_t since = settings.local_to_utc(*h.off_air_since);
    if (settings.now - since > settings.offline_after_s) {
      off_air = "off the air for " + hours(settings.now - since) + " since " +
                show_time(since, settings.display_offset_s);
    }
  }
  CheckResult r;
  std::string text;
  auto join = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
    return s;
  };
  if (!off_air.empty() || static_cast<int>(silent.size()) == count) {
    r.code = 2;
    if (!off_air.empty()) text = "gateway " + off_air;
    if (static_cast<int>(silent.size()) == count) {
      text += (text.empty() ? "" : "; ") + common::format("every station silent (%d): ", count) +
              join(silent);
    }
  } else if (!silent.empty()) {
    r.code = 1;
    text = common::format("%d of %d stations silent: ", static_cast<int>(silent.size()), count) +
           join(silent);
  } else {
    r.code = 0;
    text = common::format("%d stations reporting, gateway on the air", count);
  }
  // One line, and no '|' before the performance data: names are the operator's text.
  for (char& ch : text) {
    if (ch == '|') ch = '/';
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  static const char* const kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  r.line = std::string("MVO ") + kStates[r.code] + " - " + text +
           common::format(" | silent=%d;1;%d;0;%d", static_cast<int>(silent.size()), count, count);
  return r;
}

}  // namespace mvo::report
