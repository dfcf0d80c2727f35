#include "report.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "common/fields.h"
#include "common/halt.h"
#include "common/text.h"
#include "config/tables.h"
#include "logs/life.h"
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
std::int64_t day_of(std::int64_t t) { return t >= 0 ? t / 86400 : -((-t + 86399) / 86400); }
}  // namespace

void set_window(Health& h, std::int64_t start_local, std::int64_t end_local) {
  h.first_day = day_of(start_local);
  const std::int64_t days = day_of(end_local) - h.first_day + 1;
  h.days_per_bar = static_cast<int>((days + kMaxBars - 1) / kMaxBars);
  h.bars.assign(static_cast<std::size_t>((days + h.days_per_bar - 1) / h.days_per_bar), {});
}

void add_error_record(Health& h, const logs::ErrorRecord& r) {
  const std::int64_t t = logs::civil_seconds(r.time);
  ++h.records;
  if (!h.first_record || t < *h.first_record) h.first_record = t;
  if (!h.last_record || t > *h.last_record) h.last_record = t;
  switch (cycle_effect(r.tag)) {
    case CycleEffect::kOnAir:
      h.last_on_air = t;
      h.off_air_since.reset();
      h.off_air_tag.clear();
      break;
    case CycleEffect::kEnds:
      if (!h.off_air_since) {
        h.off_air_since = t;
        h.off_air_tag = r.tag;
      }
      // A stop names itself even after a failure: it is why the gateway is gone.
      if (r.tag == kStoppedOnRequest) h.off_air_tag = r.tag;
      break;
    case CycleEffect::kGoesOn:
    case CycleEffect::kCallerEnds:
      break;
  }
  if (r.tag == "SMS from UFO") h.last_ufo = t;
  // The rest is the history shown: the chart window only.
  const std::int64_t bar = h.days_per_bar > 0 ? (day_of(t) - h.first_day) / h.days_per_bar : -1;
  if (day_of(t) < h.first_day || bar >= static_cast<std::int64_t>(h.bars.size())) {
    ++h.outside;
    return;
  }
  DayHealth& d = h.bars[static_cast<std::size_t>(bar)];
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

void add_traffic_record(Traffic& t, const logs::TrafficRecord& r) {
  ++t.records;
  const std::int64_t when = logs::civil_seconds(r.stamp);
  if (r.direction == "in") {
    if (r.outcome != "unauthorized") return;
    for (auto& [number, count] : t.strangers) {
      if (number == r.number) {
        ++count;
        return;
      }
    }
    if (t.strangers.size() < kMaxNumbers) {
      t.strangers.emplace_back(r.number, 1);
    } else {
      ++t.other_strangers;
    }
    return;
  }
  // Alarm texts have their own table (log/alarms.state): they are no destination's traffic.
  if (r.direction != "out" || r.type == "ALM") return;
  static const char* const kNames[kOutcomes] = {"sent", "failed", "refused", "not-sent",
                                                "unconfirmed"};
  int o = 0;
  while (o < kOutcomes && r.outcome != kNames[o]) ++o;
  if (o == kOutcomes) return;
  DestinationTraffic* d = nullptr;
  for (DestinationTraffic& x : t.destinations) {
    if (x.number == r.number) d = &x;
  }
  if (d == nullptr) {
    if (t.destinations.size() == kMaxNumbers) {
      ++t.other_destinations;
      return;
    }
    t.destinations.push_back({r.number, r.name, {}, {}});
    d = &t.destinations.back();
  }
  if (!r.name.empty()) d->name = r.name;
  ++d->count[o];
  d->last[o] = std::max(d->last[o], when);
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

enum class Opened { kOk, kAbsent, kProblem };

// Opens a file of the site for reading. Only a regular file is read: a FIFO would block the
// reader for ever and a device (a link to /dev/zero) never ends. kAbsent: no such file;
// kProblem, with `why`: there is one, and it cannot be read.
Opened open_file(const fs::path& path, std::ifstream& in, std::string& why) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (st.type() == fs::file_type::not_found) return Opened::kAbsent;
  if (ec) {
    why = ec.message();
    return Opened::kProblem;
  }
  if (!fs::is_regular_file(st)) {
    why = "not a regular file";
    return Opened::kProblem;
  }
  errno = 0;
  in.open(path, std::ios::binary);
  if (!in.is_open()) {
    why = errno != 0 ? std::generic_category().message(errno) : "cannot be opened";
    return Opened::kProblem;
  }
  return Opened::kOk;
}

// Reads every record of a station log; `each(record, fault)` for each line.
template <typename F>
Opened scan_station_log(const fs::path& path, std::string& why, F each) {
  std::ifstream in;
  const Opened opened = open_file(path, in, why);
  if (opened != Opened::kOk) return opened;
  logs::LineReader lines(in, kMaxLogLine);
  std::string line;
  bool too_long = false;
  logs::StationRecord record;
  while (lines.next(line, too_long)) {
    const logs::LineFault fault =
        too_long ? logs::LineFault::kMalformed : logs::parse_station_record(line, record);
    each(record, fault);
  }
  if (in.bad()) {
    why = "read error";
    return Opened::kProblem;
  }
  return Opened::kOk;
}

void count_fault(Unreadable& u, logs::LineFault fault) {
  if (fault == logs::LineFault::kMalformed) ++u.malformed;
  if (fault == logs::LineFault::kZone) ++u.zone;
  if (fault == logs::LineFault::kDate) ++u.date;
}

// configuration/options.txt: "heartbeat on" and "traffic on" lines; '#' starts a comment.
void read_options(const fs::path& site, SiteReport& out) {
  std::ifstream in;
  std::string why;
  const Opened opened = open_file(site / "configuration" / "options.txt", in, why);
  if (opened == Opened::kProblem) out.problems.push_back("configuration/options.txt: " + why);
  if (opened != Opened::kOk) return;
  logs::LineReader lines(in, kMaxLogLine);
  std::string line;
  bool too_long = false;
  for (int n = 0; n < 1000 && lines.next(line, too_long); ++n) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line + " ") {
      if (c == '#') break;
      if (c == ' ' || c == '\t' || c == '\r') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if (words.size() != 2) continue;
    const bool on = words[1] == "on";
    if (words[0] == "heartbeat") out.heartbeat.enabled = on;
    if (words[0] == "traffic") out.traffic.enabled = on;
  }
}

// A small file of log/, read whole up to one byte past `max` (so a longer one shows as such).
// False when it is absent or cannot be read; the latter is named in `problems`.
bool read_small_file(const fs::path& log, const char* file, std::size_t max, SiteReport& out,
                     std::string& text) {
  std::ifstream in;
  std::string why;
  const Opened opened = open_file(log / file, in, why);
  if (opened == Opened::kProblem) out.problems.push_back(std::string("log/") + file + ": " + why);
  if (opened != Opened::kOk) return false;
  text.assign(max + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return true;
}

void read_state_file(const fs::path& log, SiteReport& out) {
  std::string text;
  if (!read_small_file(log, logs::kStateFileName, logs::kMaxStateFile, out, text)) return;
  if (text.size() > logs::kMaxStateFile || !logs::parse_state_file(text, out.heartbeat.state)) {
    out.problems.push_back(std::string("log/") + logs::kStateFileName + ": not a state record");
    return;
  }
  out.heartbeat.found = true;
}

void read_alarm_state(const fs::path& log, SiteReport& out) {
  std::string text;
  if (!read_small_file(log, alarms::kStateFileName, alarms::kMaxStateFile, out, text)) return;
  alarms::AlarmState state;
  if (!alarms::parse_state(text, state)) {
    out.problems.push_back(std::string("log/") + alarms::kStateFileName + ": not an alarm state");
    return;
  }
  out.alarms.found = true;
  out.alarms.sent = state.sent;
  for (const alarms::StationWatch& w : state.stations) {
    if (!w.alarmed) continue;
    std::string who = w.number;
    for (const Station& s : out.stations) {
      if (s.number == w.number) who = s.name + " (" + w.number + ")";
    }
    out.alarms.silent.push_back(who);
  }
}

void read_traffic_log(const fs::path& log, std::int64_t start_local, std::int64_t end_local,
                      SiteReport& out) {
  std::ifstream in;
  std::string why;
  const Opened opened = open_file(log / logs::kTrafficLogName, in, why);
  if (opened == Opened::kProblem) {
    out.problems.push_back(std::string("log/") + logs::kTrafficLogName + ": " + why);
  }
  if (opened != Opened::kOk) return;
  Traffic& t = out.traffic;
  t.found = true;
  logs::LineReader lines(in, kMaxLogLine);
  std::string line;
  bool too_long = false;
  logs::TrafficRecord r;
  while (lines.next(line, too_long)) {
    if (too_long || !logs::parse_traffic_record(line, r)) {
      ++t.unreadable;
      continue;
    }
    const std::int64_t when = logs::civil_seconds(r.stamp);
    if (when < start_local || when > end_local) {
      ++t.outside;
      continue;
    }
    add_traffic_record(t, r);
  }
}

}  // namespace

bool read_site(const std::string& dir, const Settings& settings, SiteReport& out,
               std::string& error) {
  const fs::path site(dir);
  out = SiteReport{};
  out.site = dir;
  std::error_code ec;
  if (!fs::is_directory(site / "log", ec)) {
    error = ec && ec != std::errc::no_such_file_or_directory
                ? "cannot read " + dir + "/log: " + ec.message()
                : "no log directory in " + dir;
    return false;
  }
  for (const char* name : {"stations.txt", "human.txt"}) {
    // A file there but unreadable is not the missing file the loader would call it.
    std::ifstream probe;
    std::string why;
    if (open_file(site / "configuration" / name, probe, why) == Opened::kProblem) {
      error = std::string("cannot read configuration/") + name + ": " + why;
      return false;
    }
  }
  if (!load_configuration(site, out, error)) return false;
  read_options(site, out);
  const int human_count = out.human_problem.empty() ? static_cast<int>(out.human_texts.size())
                                                    : config::kMaxStatusCodes;
  const fs::path log = site / "log";

  // First pass: each station's extent, latest message and counts.
  const std::int64_t floor =
      settings.since ? *settings.since : settings.now - settings.max_history_s;
  std::optional<std::int64_t> earliest;
  std::int64_t latest = settings.now;
  for (Station& st : out.stations) {
    std::string why;
    const Opened opened = scan_station_log(
        log / st.log_name, why, [&](const logs::StationRecord& r, logs::LineFault fault) {
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
          if (r.utc >= floor && (!earliest || r.utc < *earliest)) earliest = r.utc;
          if (r.utc > settings.now - 24 * 3600) ++st.last_24h;
          if (r.utc > settings.now - 7 * 24 * 3600) ++st.last_7d;
        });
    st.log_found = opened == Opened::kOk;
    if (opened == Opened::kProblem) out.problems.push_back("log/" + st.log_name + ": " + why);
    if (st.heard) {
      st.last_reading = read_message(st.last_text, human_count);
      // A stamp far ahead of the clock (a station or network clock gone wrong) would squeeze
      // every chart; the axis ends a day after now at the latest.
      latest = std::clamp(st.last, latest, settings.now + 86400);
    }
  }

  // The axis runs from --since (or the earliest message, at most max_history back) to now (or a
  // later stamp, at most a day ahead). Everything outside is counted, not drawn.
  out.axis.start = settings.since ? *settings.since : earliest.value_or(settings.now - 86400);
  out.axis.end = std::max(latest, out.axis.start + 3600);

  // Second pass: the chart columns, and the gaps between messages in powers of two seconds.
  for (Station& st : out.stations) {
    if (!st.heard) continue;
    st.columns.assign(kColumns, Column{});
    std::uint64_t gaps[64] = {};
    std::optional<std::int64_t> previous;
    std::string why;
    scan_station_log(log / st.log_name, why,
                     [&](const logs::StationRecord& r, logs::LineFault fault) {
                       if (fault != logs::LineFault::kNone) return;
                       const Reading reading = read_message(r.text, human_count);
                       if (!reading.valid) ++st.invalid;
                       if (out.axis.column(r.utc) < 0) {
                         ++st.unreadable.outside;
                         return;
                       }
                       ++st.in_range;
                       add_to_columns(st.columns, out.axis, r.utc, reading);
                       if (previous && r.utc > *previous) {
                         ++gaps[std::bit_width(static_cast<std::uint64_t>(r.utc - *previous))];
                       }
                       previous = r.utc;
                     });
    std::uint64_t total = 0, seen = 0;
    for (std::uint64_t n : gaps) total += n;
    for (int b = 0; b < 64 && total > 0; ++b) {
      seen += gaps[b];
      if (2 * seen >= total) {
        st.typical_interval = std::int64_t{1} << b;
        break;
      }
    }
  }

  // The error log, over the same window in the PC's local time.
  const std::int64_t start_local = out.axis.start + settings.display_offset_s;
  const std::int64_t end_local = out.axis.end + settings.display_offset_s;
  set_window(out.health, start_local, end_local);
  {
    std::ifstream in;
    std::string why;
    const Opened opened = open_file(log / "err_log.csv", in, why);
    if (opened == Opened::kProblem) out.problems.push_back("log/err_log.csv: " + why);
    out.health.log_found = opened == Opened::kOk;
    if (opened == Opened::kOk) {
      logs::LineReader lines(in, kMaxLogLine);
      logs::ErrorLogReader reader;
      std::string line;
      bool too_long = false;
      while (lines.next(line, too_long)) {
        if (too_long) {
          ++out.health.unreadable;
          continue;
        }
        if (reader.feed(line)) add_error_record(out.health, reader.record());
      }
      reader.finish();
      out.health.unreadable += reader.unreadable();
    }
  }
  if (out.heartbeat.enabled) read_state_file(log, out);
  if (out.traffic.enabled) read_traffic_log(log, start_local, end_local, out);
  read_alarm_state(log, out);

  // Logs of numbers not in stations.txt (a station taken off the list keeps its file).
  fs::directory_iterator it(log, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".csv" || name == "err_log.csv") continue;
    if (std::any_of(out.stations.begin(), out.stations.end(),
                    [&](const Station& s) { return s.log_name == name; })) {
      continue;
    }
    if (out.unlisted_logs.size() >= 50) break;
    std::uint64_t n = 0;
    std::string why;
    const Opened opened =
        scan_station_log(entry.path(), why, [&](const logs::StationRecord&, logs::LineFault fault) {
          if (fault == logs::LineFault::kNone) ++n;
        });
    if (opened == Opened::kOk) {
      out.unlisted_logs.emplace_back(name, n);
    } else if (out.skipped.size() < 50) {
      out.skipped.push_back("log/" + name + ": " + why);
    }
  }
  if (ec) out.problems.push_back("log/: cannot list: " + ec.message());
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

std::string show_span(std::int64_t s) {
  if (s < 0) return "in the future";
  if (s < 3600) return common::format("%lld min", static_cast<long long>(s / 60));
  if (s < 3 * 86400) return common::format("%lld h", static_cast<long long>(s / 3600));
  return common::format("%lld days", static_cast<long long>(s / 86400));
}

namespace {
// "14:02" on the day of `now`, the date before it otherwise.
std::string show_since(std::int64_t utc, const Settings& settings) {
  const int off = settings.display_offset_s;
  const std::string when = show_time(utc, off);
  return when.substr(0, 10) == show_time(settings.now, off).substr(0, 10) ? when.substr(11) : when;
}
}  // namespace

const char* modem_state_name(ModemState s) {
  switch (s) {
    case ModemState::kOnAir:
      return "on the air";
    case ModemState::kOffAir:
      return "off the air";
    case ModemState::kNeverOnAir:
      return "never on the air";
    case ModemState::kNotRunning:
      return "not running";
    case ModemState::kStopped:
      return "stopped";
    case ModemState::kHalted:
      return "halted";
    case ModemState::kUnknown:
      break;
  }
  return "unknown";
}

GatewayView gateway_view(const SiteReport& site, const Settings& settings) {
  GatewayView v;
  const int off = settings.display_offset_s;
  const Heartbeat& hb = site.heartbeat;
  if (hb.enabled) {
    // The state file is the gateway's own word; its age says whether the gateway still speaks.
    if (!hb.found) {
      v.state = ModemState::kNotRunning;
      v.text = std::string("not running: no log/") + logs::kStateFileName +
               " (the heartbeat is on in options.txt)";
      return v;
    }
    const logs::GatewayState& g = hb.state;
    const std::int64_t since = settings.local_to_utc(logs::civil_seconds(g.since));
    v.since = since;
    const std::int64_t age = settings.now - g.beat_utc;
    // Off the air from the last second the site was on it, which the gateway carries over its
    // restarts; an older gateway's file gives only the state's start.
    v.off_air_since = g.state == "on the air" ? g.beat_utc : g.on_air_utc.value_or(since);
    if (g.state == "stopped") {
      v.state = ModemState::kStopped;
      v.text = "stopped on request at " + show_time(since, off);
    } else if (g.state == "halted") {
      v.state = ModemState::kHalted;
      v.text = "halted: " + g.message + " (since " + show_time(since, off) + ")";
    } else if (age > settings.dead_after_s) {
      v.state = ModemState::kNotRunning;
      v.since = g.beat_utc;
      v.text = "not running: last sign of life " + show_time(g.beat_utc, off) + " (" +
               show_span(age) + " ago, state " + g.state + ")";
    } else if (age > 2 * logs::kBeatIntervalMs / 1000) {
      // A beat missed: whatever the file says, the gateway may be gone or hung.
      v.state = ModemState::kUnknown;
      v.since = g.beat_utc;
      v.text = "last sign of life " + show_span(age) + " ago (at " +
               show_since(g.beat_utc, settings) + ", state " + g.state + ")";
    } else if (g.state == "on the air") {
      v.state = ModemState::kOnAir;
      v.off_air_since.reset();
      v.text = "on the air since " + show_time(since, off);
    } else {
      v.state = ModemState::kOffAir;
      if (g.state == "bringing up") {
        v.text = "bringing the modem up since " + show_since(since, settings) +
                 common::format(" (attempt %d)", g.attempt);
      } else if (g.state == "stopping") {
        v.text = "stopping";
      } else {
        v.text = g.state + " since " + show_since(since, settings);
      }
    }
    return v;
  }
  const Health& h = site.health;
  if (!h.log_found || !h.last_on_air) {
    v.state = ModemState::kNeverOnAir;
    v.text = h.log_found ? "never on the air" : "never on the air (no log/err_log.csv)";
    return v;
  }
  if (h.off_air_since) {
    const std::int64_t since = settings.local_to_utc(*h.off_air_since);
    v.since = since;
    v.off_air_since = since;
    if (h.off_air_tag == kStoppedOnRequest) {
      v.state = ModemState::kStopped;
      v.text = "stopped on request at " + show_time(since, off);
    } else {
      v.state = ModemState::kOffAir;
      v.text = "off the air since " + show_time(since, off) + " (\"" + h.off_air_tag + "\")";
    }
    return v;
  }
  v.state = ModemState::kOnAir;
  v.since = settings.local_to_utc(*h.last_on_air);
  v.text = "on the air since " + show_time(*v.since, off);
  return v;
}

namespace {
const char* const kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// One line, and no '|' before the performance data: names are the operator's text.
std::string one_line(std::string text) {
  for (char& ch : text) {
    if (ch == '|') ch = '/';
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  return text;
}

CheckResult result(int code, const std::string& text, const std::string& perf) {
  CheckResult r;
  r.code = code;
  r.text = one_line(text);
  r.line =
      std::string("MVO ") + kStates[code] + " - " + r.text + (perf.empty() ? "" : " | " + perf);
  return r;
}
}  // namespace

CheckResult check_unknown(const std::string& why) { return result(3, why, ""); }

CheckResult check_site(const SiteReport& site, const Settings& settings) {
  std::vector<std::string> silent;
  for (std::size_t i : by_urgency(site, settings)) {
    const Station& s = site.stations[i];
    if (!is_silent(s, settings)) continue;
    silent.push_back(s.heard ? s.name + " (" + show_span(settings.now - s.last) + ")"
                             : s.name + " (never heard)");
  }
  const int count = static_cast<int>(site.stations.size());
  const std::string perf =
      common::format("silent=%d;1;%d;0;%d", static_cast<int>(silent.size()), count, count);
  auto join = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
    return s;
  };
  // What could not be read leaves the verdict open: a permission is no fault of the gateway.
  if (!site.problems.empty()) {
    std::string text = "cannot read " + site.problems[0];
    if (site.problems.size() > 1) {
      text += common::format(" (and %d more)", static_cast<int>(site.problems.size() - 1));
    }
    return result(3, text, perf);
  }
  const GatewayView g = gateway_view(site, settings);
  std::string off_air;
  switch (g.state) {
    case ModemState::kOffAir:
    case ModemState::kUnknown:
      if (g.off_air_since && settings.now - *g.off_air_since > settings.offline_after_s) {
        const std::string how_long =
            "off the air for " + show_span(settings.now - *g.off_air_since);
        off_air = site.heartbeat.enabled
                      ? g.text + ": " + how_long
                      : how_long + " since " +
                            show_time(*g.off_air_since, settings.display_offset_s) + " (\"" +
                            site.health.off_air_tag + "\")";
      }
      break;
    case ModemState::kNeverOnAir:
    case ModemState::kNotRunning:
    case ModemState::kStopped:
    case ModemState::kHalted:
      off_air = g.text;
      break;
    case ModemState::kOnAir:
      break;
  }
  std::string text;
  int code = 0;
  if (!off_air.empty() || static_cast<int>(silent.size()) == count) {
    code = 2;
    if (!off_air.empty()) text = "gateway " + off_air;
    if (static_cast<int>(silent.size()) == count) {
      text += (text.empty() ? "" : "; ") + common::format("every station silent (%d): ", count) +
              join(silent);
    }
  } else if (!silent.empty()) {
    code = 1;
    text = common::format("%d of %d stations silent: ", static_cast<int>(silent.size()), count) +
           join(silent);
  } else {
    text = common::format("%d stations reporting, gateway ", count) +
           (g.state == ModemState::kOnAir ? std::string("on the air") : g.text);
  }
  return result(code, text, perf);
}

CheckResult check_sites(const std::vector<SiteEntry>& sites) {
  // Worst first: a site down, then one that cannot be judged, then a silent station.
  static constexpr int kRank[] = {0, 1, 3, 2};
  std::vector<std::size_t> order(sites.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return kRank[sites[a].check.code] > kRank[sites[b].check.code];
  });
  int worst = 0, counts[4] = {};
  std::string text;
  for (std::size_t i : order) {
    const CheckResult& c = sites[i].check;
    ++counts[c.code];
    if (kRank[c.code] > kRank[worst]) worst = c.code;
    if (c.code == 0) continue;
    text += (text.empty() ? "" : "; ") + sites[i].name + " " + kStates[c.code] + ": " + c.text;
  }
  const std::string ok =
      common::format("%d of %d sites OK", counts[0], static_cast<int>(sites.size()));
  text = text.empty() ? ok : text + " (" + ok + ")";
  return result(
      worst, text,
      common::format("sites=%d ok=%d warning=%d critical=%d unknown=%d",
                     static_cast<int>(sites.size()), counts[0], counts[1], counts[2], counts[3]));
}

}  // namespace mvo::report
