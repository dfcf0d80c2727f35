// Writes a site for mvo-report, its records built by the gateway's own record definition.
//   report_site DIR browser NOW
//       three stations up to NOW ("YYYY-MM-DD HH:MM", UTC): Tank North with a level rise and
//       one record stamped in 2000 (a clock reset), Pump East with a day's gap, malformed lines
//       and messages that are not valid reports, Gauge South silent for two days; an error log
//       with bring-ups, failures, refused messages and un-authorized senders; the traffic log on.
//   report_site DIR bulk NOW STATIONS RECORDS
//       STATIONS stations reporting every 10 minutes up to NOW, RECORDS messages in all.
//   report_site DIR hostile NOW LINES DATES
//       three stations reporting for a week up to NOW, and an error log of LINES lines over
//       DATES distinct days from 1970 on (years beyond 6000 for 1.5 million), every 64th line
//       torn: what a log written by PCs with broken clocks for ever could hold.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/text.h"
#include "logs/logs.h"
#include "logs/records.h"

namespace {

using mvo::common::format;
namespace logs = mvo::logs;

void write_file(const std::filesystem::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

// A record as the gateway writes it, its line ending CR LF.
std::string crlf(std::string line) { return line.insert(line.size() - 1, "\r"); }

// One station record at `utc`, stamped in `quarters` quarter hours' zone.
std::string record(std::int64_t utc, int quarters, const std::string& text) {
  const logs::CivilTime t = logs::civil_from_seconds(utc + quarters * 900);
  return crlf(logs::station_record(format("%c%02d", quarters < 0 ? '-' : '+', std::abs(quarters)),
                                   format("%02d/%02d/%02d", t.year % 100, t.month, t.day),
                                   format("%02d:%02d:%02d", t.hour, t.minute, t.second), text));
}

std::string error(std::int64_t local, const std::string& tag) {
  const std::time_t seconds = local;
  std::tm tm{};
  gmtime_r(&seconds, &tm);  // the PC's local time, as the gateway stamps it
  return crlf(logs::error_record(tag, logs::asctime_stamp(tm)));
}

std::string report(double level, double volume, int code) {
  return format("7,%.2f,c,%.0f,e,f,%d", level, volume, code);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: report_site DIR browser|bulk NOW [STATIONS RECORDS]\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const std::string mode = argv[2];
  logs::CivilTime n;
  if (std::sscanf(argv[3], "%d-%d-%d %d:%d", &n.year, &n.month, &n.day, &n.hour, &n.minute) != 5) {
    return 2;
  }
  const std::int64_t now = logs::civil_seconds(n);
  std::filesystem::create_directories(dir / "configuration");
  std::filesystem::create_directories(dir / "log");
  write_file(dir / "configuration" / "human.txt", "Normal\r\nOverflow\r\nLow level\r\n");
  write_file(dir / "configuration" / "cfg.txt", "port COM5\r\n");

  if (mode == "browser") {
    write_file(dir / "configuration" / "stations.txt",
               "\"Tank North\";\"+44 10\"\r\n\"Pump East\";\"+4420\"\r\n"
               "\"Gauge South\";\"+4430\"\r\n");
    std::ofstream tank(dir / "log" / "+4410.csv", std::ios::binary);
    std::ofstream pump(dir / "log" / "+4420.csv", std::ios::binary);
    std::ofstream gauge(dir / "log" / "+4430.csv", std::ios::binary);
    const std::int64_t start = now - 3 * 86400;
    for (std::int64_t t = start; t <= now - 600; t += 1800) {
      const double day = static_cast<double>(t - start) / 86400;
      // Level steady near 1 m, then a rise to 4 m over the last day (overflow above 3.5 m).
      const double level = day < 2 ? 1.0 + 0.05 * std::sin(day * 6) : 1.0 + 3.0 * (day - 2);
      tank << record(t, 8, report(level, level * 400, level > 3.5 ? 1 : 0));
      // Pump East is silent for a day: its lines break there.
      if (day < 0.5 || day > 1.5) {
        pump << record(t + 300, (t / 1800) % 2 ? 4 : 8, report(2 - day * 0.3, 900 - day * 100, 0));
      }
      if (t < now - 2 * 86400) gauge << record(t + 600, 0, report(0.8, 320, 2));
    }
    // A station whose clock fell back to 2000: counted, not drawn.
    tank << record(logs::civil_seconds({2000, 1, 1, 0, 5, 0}), 8, report(1.0, 400, 0));
    // What a damaged Pump East log holds besides its records.
    pump << "  +08 , 26/12/0"
         << "\r\n"                                                              // torn
         << "\r\n"                                                              // empty
         << "\r"                                                                // CR only
         << record(now - 7200, 8, report(1.5, 700, 0)).replace(2, 3, "CET")     // foreign zone
         << record(now - 7000, 8, report(1.5, 700, 0)).replace(11, 5, "02/30")  // no such date
         << record(now - 5000, 8, "7,1.4,c,600,e,f,9")                          // status beyond
         << record(now - 4000, 8, "7,1.4,c")                                    // fields missing
         << record(now - 3000, 8, std::string(70, 'x'));                        // too long
    std::ofstream err(dir / "log" / "err_log.csv", std::ios::binary);
    const std::int64_t local = now + 2 * 3600;
    for (int d = 3; d >= 1; --d) {
      err << error(local - d * 86400 + 300, "On the air");
      err << error(local - d * 86400 + 4000, "SMS from UFO");
      err << error(local - d * 86400 + 9000, "cmgl-2");
      err << error(local - d * 86400 + 9001, "cmgl-1");
      err << error(local - d * 86400 + 9002, "main1");
      err << error(local - d * 86400 + 9100, "On the air");
      err << error(local - d * 86400 + 20000, "Illegal SMS content 4");
      err << error(local - d * 86400 + 20005, "On the air");
    }
    err << error(local - 7200, "cmgs6.cont.");
    err << error(local - 5000, "SMS too long");
    err << error(local - 3600, "SMS from UFO");
    write_file(dir / "configuration" / "options.txt", "traffic on\r\n");
    std::ofstream traffic(dir / "log" / logs::kTrafficLogName, std::ios::binary);
    auto text = [&](std::int64_t at, const char* dir_, const char* number, const char* name,
                    const char* outcome) {
      traffic << crlf(logs::traffic_record({.stamp = logs::civil_from_seconds(at),
                                            .direction = dir_,
                                            .number = number,
                                            .name = name,
                                            .outcome = outcome,
                                            .type = "HMN"}));
    };
    for (int i = 0; i < 20; ++i)
      text(local - 86400 + i * 3600, "out", "+111", "Control room", "sent");
    text(local - 7200, "out", "+222", "Operator", "refused");
    text(local - 7000, "out", "+222", "Operator", "sent");
    text(local - 4000, "in", "+999", "", "unauthorized");
    text(local - 3600, "in", "+999", "", "unauthorized");
    return 0;
  }

  if (mode == "bulk" && argc == 6) {
    const int stations = std::atoi(argv[4]);
    const long records = std::atol(argv[5]);
    if (stations < 1 || stations > 50 || records < 1) return 2;
    std::string list;
    for (int s = 0; s < stations; ++s) list += format("\"Station %d\";\"+44%03d\"\r\n", s, s);
    write_file(dir / "configuration" / "stations.txt", list);
    const long per = records / stations;
    for (int s = 0; s < stations; ++s) {
      std::ofstream out(dir / "log" / format("+44%03d.csv", s), std::ios::binary);
      for (long i = 0; i < per; ++i) {
        const std::int64_t t = now - (per - i) * 600 + s;
        const double level = 2 + std::sin(static_cast<double>(i) / 144 + s) +
                             (i % 997 == 0 ? 3 : 0);  // a daily wave and rare peaks
        out << record(t, 4, report(level, level * 400, i % 997 == 0 ? 1 : 0));
      }
    }
    std::ofstream err(dir / "log" / "err_log.csv", std::ios::binary);
    for (long d = per / 144; d > 0; --d) err << error(now - d * 86400, "On the air");
    return 0;
  }
  if (mode == "hostile" && argc == 6) {
    const long lines = std::atol(argv[4]);
    const long dates = std::atol(argv[5]);
    if (lines < 1 || dates < 1) return 2;
    write_file(dir / "configuration" / "stations.txt",
               "\"Tank North\";\"+4410\"\r\n\"Pump East\";\"+4420\"\r\n\"Gauge\";\"+4430\"\r\n");
    for (int s = 0; s < 3; ++s) {
      std::ofstream out(dir / "log" / format("+44%d0.csv", s + 1), std::ios::binary);
      for (std::int64_t t = now - 7 * 86400; t < now; t += 600) {
        out << record(t + s, 0, report(2 + std::sin(static_cast<double>(t) / 86400), 800, 0));
      }
    }
    static const char* const kTags[] = {"On the air",  "cmgl-2",       "cmgl-1",       "main1",
                                        "cmgs6.cont.", "SMS from UFO", "handle_modem0"};
    std::ofstream err(dir / "log" / "err_log.csv", std::ios::binary);
    for (long i = 0; i < lines; ++i) {
      const std::int64_t day = (i * 7919) % dates;
      err << (i % 64 == 63 ? " torn rec\r\n" : error(day * 86400 + i % 86400, kTags[i % 7]));
    }
    return 0;
  }
  return 2;
}
