#pragma once
// The log records, written by the gateway and read by the operator tools: one definition of each
// shape, so the writer and the readers cannot drift apart.
//
//   error log   " <tag>  ,  <asctime stamp>"           the stamp ends in '\n'; a tag may hold '\n'
//   station log "  <zone> , <yy/MM/dd> , <hh:mm:ss>  , <text> \n"
//   traffic log "<yyyy-mm-dd hh:mm:ss>;<dir>;<number>;<name>;<outcome>;<type>;<detail>;<text>\n"
//   state file  "<key>=<value>\n" lines, the whole file replaced at each write
//
// On disk every '\n' is CR LF. The zone is the modem's: a sign and two digits counting quarters
// of an hour (3GPP TS 23.040 / 27.005), so "+08" is UTC+2 and "-04" is UTC-1.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace mvo::logs {

// The record log_error appends, from the tag and the asctime stamp (with its '\n').
std::string error_record(const std::string& tag, const std::string& stamp);

// The record log_station_message appends.
std::string station_record(const std::string& zone, const std::string& date,
                           const std::string& time, const std::string& text);

// A civil date and time, without a zone.
struct CivilTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The date exists (30 February does not) and the time is within a day.
bool valid_civil(const CivilTime& t);
// Seconds from 1970-01-01 00:00:00 to `t` on the same clock (no zone applied).
std::int64_t civil_seconds(const CivilTime& t);
// The inverse of civil_seconds.
CivilTime civil_from_seconds(std::int64_t s);

// The widest zone a time stamp can carry, in quarters of an hour either side of UTC.
inline constexpr int kMaxZoneQuarters = 56;

// "+08" -> 8, "-04" -> -4. False unless a sign, two digits, and within kMaxZoneQuarters.
bool parse_zone(std::string_view zone, int& quarters);

enum class LineFault {
  kNone,
  kMalformed,  // not the shape of a record: torn, empty, a lone CR, cut because too long
  kZone,       // the zone is not a sign and two digits within range
  kDate,       // the date or time does not exist (13th month, 30 February, 25 o'clock)
};

struct StationRecord {
  std::string zone;
  std::string date;
  std::string time;
  std::string text;
  int zone_quarters = 0;
  std::int64_t utc = 0;  // the instant, seconds since 1970-01-01 00:00 UTC
};

// One line of a station log without its line end. Years are 20yy, as the modem's stamp gives
// two digits. On kNone every field of `record` is set; on kZone and kDate the four texts are.
LineFault parse_station_record(std::string_view line, StationRecord& record);

// "Sun Feb 26 13:19:42 2012" (the stamp without its '\n'): day and month names in English, the
// day blank-padded. The weekday name must be one, but need not match the date.
bool parse_asctime(std::string_view stamp, CivilTime& t);

struct ErrorRecord {
  std::string tag;  // as logged: a tag that spanned lines holds its '\n'
  CivilTime time;   // the gateway PC's local time
};

// Rebuilds error-log records from the lines of the file. A record's first line starts with the
// blank of " %s"; a tag holding a line feed continues on a line that does not, and the stamp
// ends the record. Lines that fit neither are counted and skipped. At most one line is held
// back, so a torn record never swallows more than itself.
class ErrorLogReader {
 public:
  // One line without its line end. True when it completed a record, now in record().
  bool feed(std::string_view line);
  // The end of the file: a line still held back is counted as unreadable.
  void finish();
  const ErrorRecord& record() const { return record_; }
  std::uint64_t unreadable() const { return unreadable_; }

 private:
  ErrorRecord record_;
  std::string pending_;
  bool has_pending_ = false;
  std::uint64_t unreadable_ = 0;
};

// Physical lines of a log file with a bounded buffer: a line ends at CR LF, LF or a lone CR
// (so a stray CR is a line of its own, and the record after it stays whole). A line longer than
// `max_line` is returned cut, with `too_long` set; the rest of it is skipped.
class LineReader {
 public:
  LineReader(std::istream& in, std::size_t max_line) : in_(in), max_line_(max_line) {}
  // False at the end of the stream.
  bool next(std::string& line, bool& too_long);

 private:
  bool fill();
  std::istream& in_;
  std::size_t max_line_;
  char buffer_[1 << 16];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool skip_lf_ = false;  // the last line ended in CR: a LF next belongs to it
};

// The traffic log (log/traffic.log): one record for each message read from the modem ("in") and
// for each text due to a destination ("out"), written once its outcome is known. Fields are
// separated by ';'; in every field a '\\', a ';' and every byte below 32 or 127 are written
// "\\xNN" (two upper-case hex digits), so a record is one line whatever a text holds.
//
//   dir  outcome       number        name          type            detail
//   in   accepted      sender        station name                  modem stamp yy/MM/dd,hh:mm:ss+zz
//   in   malformed     sender        station name                  modem stamp
//   in   unauthorized  sender                                      modem stamp
//   in   too-long      sender        station name                  modem stamp
//   in   unreadable    (sender if known)                           the failing tag
//   out  sent          destination   its name      SMC HMN HMV CST the message reference of +CMGS
//   out  refused       destination   its name      type            the modem's answer
//   ("cmgs6.cont.") out  failed        destination   its name      type            the failing tag
//   ("cmgs3") out  not-sent      destination   its name      type            why ("stopped")
//
// The stamp is the gateway PC's local time. An outgoing record's text is the composed text
// without its final Ctrl-Z.
inline constexpr const char* kTrafficLogName = "traffic.log";
inline constexpr int kTrafficFields = 8;

struct TrafficRecord {
  CivilTime stamp;
  std::string direction;  // "in" or "out"
  std::string number;
  std::string name;
  std::string outcome;
  std::string type;
  std::string detail;
  std::string text;
};

// A field with '\\', ';' and control bytes escaped, and its inverse (false on a broken escape).
std::string escape_traffic_field(std::string_view field);
bool unescape_traffic_field(std::string_view field, std::string& out);

// The record with its '\n'.
std::string traffic_record(const TrafficRecord& r);
// One line of the traffic log without its line end. False unless it has the eight fields, a
// valid stamp and sound escapes.
bool parse_traffic_record(std::string_view line, TrafficRecord& r);

// The gateway's state file (log/gateway.state), its sign of life for monitoring. Replaced whole
// (a temporary written, then renamed) on each change of state and at most once a minute while
// the state stands, so a stale `beat_utc` means the gateway is gone or hung.
//
//   version=<mvo version>
//   pid=<process id>
//   state=starting | bringing up | on the air | stopping | stopped | halted
//   since=<yyyy-mm-dd hh:mm:ss>     local time the state began
//   beat=<yyyy-mm-dd hh:mm:ss>      local time of this write
//   beat_utc=<seconds since 1970 UTC>
//   attempt=<n>                      the bring-up attempt (bringing up only)
//   message=<text>                   why it halted (halted only), escaped as a traffic field
//   on_air_utc=<seconds since 1970 UTC>
//                                    the last second the site was on the air: this write while
//                                    on the air; carried over restarts from the file before, so
//                                    an outage counts from here however often the gateway
//                                    restarted; before the site was ever on the air, the second
//                                    the first gateway started. An older gateway's file lacks
//                                    it.
inline constexpr const char* kStateFileName = "gateway.state";
inline constexpr std::size_t kMaxStateFile = 4096;  // a longer file is not a state file

struct GatewayState {
  std::string version;
  long long pid = 0;
  std::string state;
  CivilTime since;
  CivilTime beat;
  std::int64_t beat_utc = 0;
  int attempt = 0;
  std::string message;
  std::optional<std::int64_t> on_air_utc;
};

std::string state_file_text(const GatewayState& s);
// False unless state, beat and beat_utc are present and sound; unknown keys are skipped, and a
// file without on_air_utc (an older gateway's) is read without it.
bool parse_state_file(std::string_view text, GatewayState& s);

// "yyyy-mm-dd hh:mm:ss" and its parser.
std::string iso_stamp(const CivilTime& t);
bool parse_iso_stamp(std::string_view text, CivilTime& t);

}  // namespace mvo::logs
