#pragma once
// mvo-report's model of a site: what each station reported and when, what the error log, the
// gateway's state file and its traffic log say about the gateway. Logs are streamed (each station
// log read twice: once for its extent and last report, once into the chart columns) into
// fixed-size tallies over the chart window, so memory is bounded by the page, not by the logs:
// records dated outside the window are counted, not kept.
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

#include "alarms/watch.h"
#include "logs/records.h"
#include "tags.h"

namespace mvo::report {

inline constexpr int kColumns = 600;              // pixel columns of a chart
inline constexpr std::size_t kMaxLogLine = 1024;  // longer lines are cut and counted unreadable
inline constexpr std::size_t kMaxTags = 48;       // distinct failure tags kept; the rest: "other"
inline constexpr int kMaxBars = 120;              // bars of a per-day chart; more days are grouped
inline constexpr std::size_t kMaxNumbers = 32;  // destinations and strangers named; the rest summed

struct Settings {
  std::int64_t now = 0;               // UTC
  int display_offset_s = 0;           // the PC's UTC offset: how the page shows times
  std::optional<std::int64_t> since;  // UTC; charts and per-day counts start here
  std::int64_t silent_after_s = 24 * 3600;
  std::int64_t offline_after_s = 2 * 3600;
  // The gateway's state file not rewritten for this long: the gateway is not running, or hung.
  // It is rewritten at least once a minute.
  std::int64_t dead_after_s = 10 * 60;
  // Without --since the charts start at the earliest message, but no further back than this:
  // a stamp years old (a PC whose clock battery died) would squeeze every chart.
  std::int64_t max_history_s = 366 * 24 * 3600;
  // Local civil seconds of the PC -> UTC.
  std::function<std::int64_t(std::int64_t)> local_to_utc = [](std::int64_t s) { return s; };
};

// Lines of one file that could not be read, by fault.
struct Unreadable {
  std::uint64_t malformed = 0;
  std::uint64_t zone = 0;
  std::uint64_t date = 0;
  std::uint64_t outside = 0;  // readable, but dated outside the chart window: counted, not drawn
  std::uint64_t total() const { return malformed + zone + date + outside; }
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
  // The station's usual time between messages: the median of the gaps in the log, to a power of
  // two seconds. A longer silence breaks its chart lines.
  std::int64_t typical_interval = 0;
};

// The silent-station rule: never heard, or nothing for longer than `silent_after_s`.
bool is_silent(const Station& s, const Settings& settings);

struct DayHealth {
  std::uint32_t on_air = 0;
  std::uint32_t ufo = 0;
  std::map<int, std::uint32_t> failures;  // tag index -> count (at most kMaxTags + 1 keys)
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
  std::uint64_t outside = 0;  // records dated outside the chart window
  // Per-bar counts over the chart window, in local civil days: at most kMaxBars bars.
  std::int64_t first_day = 0;
  int days_per_bar = 1;
  std::vector<DayHealth> bars;
  std::vector<TagTotal> tags;     // failures in the window, in order of first appearance
  std::uint64_t other_count = 0;  // failures beyond kMaxTags distinct tags
  std::uint64_t on_air = 0, ufo = 0;
  // The modem's state follows every record, in the order written, whatever its stamp.
  std::optional<std::int64_t> last_on_air;    // local civil seconds
  std::optional<std::int64_t> last_ufo;       // local civil seconds
  std::optional<std::int64_t> off_air_since;  // local civil seconds
  std::string off_air_tag;                    // the record that ended the last cycle
  std::optional<std::int64_t> first_record;   // local civil seconds
  std::optional<std::int64_t> last_record;    // local civil seconds
};

// The chart window in local civil seconds: the bars cover it, records outside are counted.
void set_window(Health& h, std::int64_t start_local, std::int64_t end_local);

// Feeds one error-log record. "On the air" puts the gateway on the air; a tag that ends the modem
// cycle (tags.h) takes it off, until the next "On the air"; other tags leave the state as it is.
void add_error_record(Health& h, const logs::ErrorRecord& r);

// The gateway's state file, when configuration/options.txt turns the heartbeat on.
struct Heartbeat {
  bool enabled = false;  // options.txt holds "heartbeat on"
  bool found = false;    // log/gateway.state read and sound
  logs::GatewayState state;
};

// The traffic log, when configuration/options.txt turns it on: per destination the texts of the
// window by outcome, and the strangers who wrote.
enum Outcome { kSent, kFailed, kRefused, kNotSent, kUnconfirmed, kOutcomes };
struct DestinationTraffic {
  std::string number, name;
  std::uint64_t count[kOutcomes] = {};
  std::int64_t last[kOutcomes] = {};  // local civil seconds; 0: none
};
struct Traffic {
  bool enabled = false;  // options.txt holds "traffic on"
  bool found = false;
  std::uint64_t records = 0, unreadable = 0, outside = 0;
  std::vector<DestinationTraffic> destinations;  // in order of first appearance
  std::uint64_t other_destinations = 0;          // texts to destinations beyond kMaxNumbers
  std::vector<std::pair<std::string, std::uint64_t>> strangers;  // "in" ... "unauthorized"
  std::uint64_t other_strangers = 0;
};
// Feeds one traffic record dated within [start_local, end_local].
void add_traffic_record(Traffic& t, const logs::TrafficRecord& r);

// The gateway's own alarms (configuration/alarms.txt), from log/alarms.state: the latest texts it
// sent, and the stations whose silence was texted and that have not reported since.
struct AlarmsSeen {
  bool found = false;
  std::vector<alarms::SentAlarm> sent;  // oldest first
  std::vector<std::string> silent;      // "Name (+number)"
};

struct SiteReport {
  std::string site;
  std::vector<std::string> human_texts;
  std::string human_problem;  // human.txt could not be loaded: the loader's message
  std::vector<Station> stations;
  Health health;
  Axis axis;
  // Logs of numbers that are not (or no longer) in stations.txt: file name and record count.
  std::vector<std::pair<std::string, std::uint64_t>> unlisted_logs;
  // Files that exist but could not be read, each "log/NAME: why" (permissions, not a regular
  // file): the site cannot be judged from what is left.
  std::vector<std::string> problems;
  // Entries of log/ named like logs but not regular files (a FIFO, a device): skipped.
  std::vector<std::string> skipped;
  Heartbeat heartbeat;
  Traffic traffic;
  AlarmsSeen alarms;
};

// Reads a site's configuration and logs. False, with `error`, when the site cannot be read
// (no stations.txt, a faulty or unreadable one, no log directory). Only regular files are read;
// one that cannot be opened is named in `problems`.
bool read_site(const std::string& dir, const Settings& settings, SiteReport& out,
               std::string& error);

// The status of the site in the monitoring-plugin convention: one line and its exit code
// (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
struct CheckResult {
  int code = 3;
  std::string line;
  std::string text;  // the line without "MVO STATE - " and its performance data
};
CheckResult check_site(const SiteReport& site, const Settings& settings);
CheckResult check_unknown(const std::string& why);

// The gateway's state as the page and the metrics show it. kUnknown: the state file missed a
// beat (older than two), so the gateway may be gone or hung, though not yet past --dead-after.
enum class ModemState { kOnAir, kOffAir, kNeverOnAir, kNotRunning, kStopped, kHalted, kUnknown };
struct GatewayView {
  ModemState state = ModemState::kUnknown;
  std::string text;  // "on the air since ...", "not running: last sign of life ..."
  std::optional<std::int64_t> since;  // UTC
  // kOffAir and kUnknown: from when the site counts as off the air (UTC), for --offline-after.
  std::optional<std::int64_t> off_air_since;
};
GatewayView gateway_view(const SiteReport& site, const Settings& settings);
const char* modem_state_name(ModemState s);

// Several sites: one entry each, read or not.
struct SiteEntry {
  std::string name;  // as given on the command line
  bool readable = false;
  std::string error;
  SiteReport report;
  CheckResult check;
};
// The worst state first (CRITICAL, UNKNOWN, WARNING, OK), naming each site that is not OK.
CheckResult check_sites(const std::vector<SiteEntry>& sites);

// The stations most urgent first: never heard, then silent (longest first), then those whose
// latest message was not a valid report, then the rest in file order.
std::vector<std::size_t> by_urgency(const SiteReport& site, const Settings& settings);

// The page: one self-contained HTML document, inline SVG and CSS, no script. It opens with a
// banner of the gateway's state and the check's verdict; with several sites, a row per site
// first and each site below.
void write_page(std::ostream& out, const SiteReport& site, const Settings& settings);
void write_pages(std::ostream& out, const std::vector<SiteEntry>& sites, const Settings& settings);

// The figures in the node_exporter textfile format (Prometheus text exposition 0.0.4).
void write_metrics(std::ostream& out, const std::vector<SiteEntry>& sites,
                   const Settings& settings);

// "2026-12-06 23:18" for an instant shown at the given offset.
std::string show_time(std::int64_t utc, int offset_s);
// "UTC+01:00"
std::string show_offset(int offset_s);
// A duration: "25 min" under an hour, "5 h" under three days, "4 days" beyond.
std::string show_span(std::int64_t seconds);

}  // namespace mvo::report
