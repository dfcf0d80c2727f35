#pragma once
// mvo-report's model of a site: what each station reported and when, and what the error log says
// about the gateway's health. Logs are streamed (each station log read twice: once for its
// extent and last report, once into the chart columns), so memory is bounded by the page, not by
// the log.
//
// Instants are seconds since 1970-01-01 00:00 UTC. Station records carry their zone; error-log
// stamps are the gateway PC's local time and are placed with `Settings::local_to_utc`.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "logs/records.h"

namespace mvo::report {

inline constexpr int kColumns = 600;              // pixel columns of a chart
inline constexpr std::size_t kMaxLogLine = 1024;  // longer lines are cut and counted unreadable
inline constexpr std::size_t kMaxTags = 48;       // distinct failure tags kept; the rest: "other"
inline constexpr int kMaxBars = 120;              // bars of a per-day chart; more days are grouped

struct Settings {
  std::int64_t now = 0;               // UTC
  int display_offset_s = 0;           // the PC's UTC offset: how the page shows times
  std::optional<std::int64_t> since;  // UTC; charts and per-day counts start here
  std::int64_t silent_after_s = 24 * 3600;
  std::int64_t offline_after_s = 2 * 3600;
  // Local civil seconds of the PC -> UTC.
  std::function<std::int64_t(std::int64_t)> local_to_utc = [](std::int64_t s) { return s; };
};

// Lines of one file that could not be read, by fault.
struct Unreadable {
  std::uint64_t malformed = 0;
  std::uint64_t zone = 0;
  std::uint64_t date = 0;
  std::uint64_t total() const { return malformed + zone + date; }
};

// A message as the gateway judges it: at most 60 characters, seven comma-separated fields, the
// seventh a status code below the number of human texts.
struct Reading {
  bool valid = false;
  int code = -1;
  std::optional<double> level;   // field 2, when it is a number
  std::optional<double> volume;  // field 4, when it is a number
  std::string level_text, volume_text;
};
Reading read_message(const std::string& text, int human_count);

// One pixel column of a station's charts: the extremes of what fell in it (peaks survive).
struct Column {
  float level_min = 0, level_max = 0, volume_min = 0, volume_max = 0;
  bool has_level = false, has_volume = false;
  int code = -1;  // the status of the latest valid report in the column
  std::int64_t code_time = 0;
  bool invalid = false;  // a message that was not a valid report fell in it
};

// The time axis shared by every station chart: [start, end] in kColumns columns.
struct Axis {
  std::int64_t start = 0;
  std::int64_t end = 1;
  // The column of `t`, or -1 outside the axis.
  int column(std::int64_t t) const;
};

// Adds a message to its column: min/max of level and volume, the status of the latest report.
void add_to_columns(std::vector<Column>& columns, const Axis& axis, std::int64_t t,
                    const Reading& reading);

struct Station {
  std::string name;
  std::string number;
  std::string log_name;  // the file under log/: logs::station_log_name
  bool log_found = false;
  std::uint64_t messages = 0;  // readable records
  std::uint64_t invalid = 0;   // messages that were not valid reports
  Unreadable unreadable;
  bool heard = false;
  std::int64_t first = 0, last = 0;  // the earliest and the latest message
  std::string last_text;
  Reading last_reading;
  std::uint64_t last_24h = 0, last_7d = 0;
  std::vector<Column> columns;  // filled by the second pass
  std::uint64_t in_range = 0;   // messages on the chart axis
};

// The silent-station rule: never heard, or nothing for longer than `silent_after_s`.
bool is_silent(const Station& s, const Settings& settings);

struct DayHealth {
  std::uint32_t on_air = 0;
  std::uint32_t ufo = 0;
  std::map<int, std::uint32_t> failures;  // tag index -> count
};

struct TagTotal {
  std::string tag;
  std::uint64_t count = 0;
  std::int64_t last = 0;  // local civil seconds
};

struct Health {
  bool log_found = false;
  std::uint64_t records = 0;
  std::uint64_t unreadable = 0;
  std::map<std::int64_t, DayHealth> days;  // local civil day number -> counts
  std::vector<TagTotal> tags;              // failures, in order of first appearance
  std::uint64_t other_count = 0;           // failures beyond kMaxTags distinct tags
  std::uint64_t on_air = 0, ufo = 0;
  std::optional<std::int64_t> last_on_air;    // local civil seconds
  std::optional<std::int64_t> last_ufo;       // local civil seconds
  std::optional<std::int64_t> off_air_since;  // local civil seconds
  std::optional<std::int64_t> first_record;   // local civil seconds
  std::optional<std::int64_t> last_record;    // local civil seconds
};

// Feeds one error-log record. Every tag but "On the air" and the two that leave the modem up
// ("SMS from UFO", "SMS too long") ends a modem cycle: the gateway is off the air from the first
// of them after the last "On the air" until the next one.
void add_error_record(Health& h, const logs::ErrorRecord& r, std::optional<std::int64_t> since);

struct SiteReport {
  std::string site;
  std::vector<std::string> human_texts;
  std::string human_problem;  // human.txt could not be loaded: the loader's message
  std::vector<Station> stations;
  Health health;
  Axis axis;
  // Logs of numbers that are not (or no longer) in stations.txt: file name and record count.
  std::vector<std::pair<std::string, std::uint64_t>> unlisted_logs;
};

// Reads a site's configuration and logs. False, with `error`, when the site cannot be read
// (no stations.txt, a faulty one, no log directory).
bool read_site(const std::string& dir, const Settings& settings, SiteReport& out,
               std::string& error);

// The status of the site in the monitoring-plugin convention: one line and its exit code
// (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
struct CheckResult {
  int code = 3;
  std::string line;
};
CheckResult check_site(const SiteReport& site, const Settings& settings);
CheckResult check_unknown(const std::string& why);

// The stations most urgent first: never heard, then silent (longest first), then those whose
// latest message was not a valid report, then the rest in file order.
std::vector<std::size_t> by_urgency(const SiteReport& site, const Settings& settings);

// The page: one self-contained HTML document, inline SVG and CSS, no script.
void write_page(std::ostream& out, const SiteReport& site, const Settings& settings);

// "2026-12-06 23:18" for an instant shown at the given offset.
std::string show_time(std::int64_t utc, int offset_s);
// "UTC+01:00"
std::string show_offset(int offset_s);

}  // namespace mvo::report
