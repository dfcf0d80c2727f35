// mvo-report: the stations' history and the gateway's health as one HTML page, or, with --check,
// one status line for a monitoring system.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/version.h"
#include "report.h"
#include "tools/sites.h"

namespace {

using mvo::common::format;
namespace report = mvo::report;
namespace logs = mvo::logs;

constexpr const char* kUsage =
    "usage: mvo-report [SITE...] [-o FILE] [--since DATE] [--silent-after HOURS]\n"
    "                  [--offline-after HOURS] [--dead-after MINUTES] [--check] [--metrics FILE]\n"
    "\n"
    "Reads SITE/configuration and SITE/log (SITE defaults to the current directory) and writes\n"
    "one self-contained HTML page, SITE/log/report.html unless -o names another file. Several\n"
    "sites, or a directory whose subdirectories are sites, give one page (report.html unless -o\n"
    "names another) with a row per site on top.\n"
    "\n"
    "  -o FILE                the page to write\n"
    "  --since DATE           chart from DATE (YYYY-MM-DD or \"YYYY-MM-DD HH:MM\", local time);\n"
    "                         default: from the earliest message, at most a year back\n"
    "  --silent-after HOURS   a station is silent after this long without a message (24)\n"
    "  --offline-after HOURS  --check is CRITICAL when the gateway has been off the air this\n"
    "                         long (2): a failure after its last \"On the air\" and none\n"
    "                         since; with the heartbeat on, since the last second on the air,\n"
    "                         however often the gateway restarted\n"
    "  --dead-after MINUTES   with the heartbeat on (options.txt), the gateway is not running\n"
    "                         when log/gateway.state is older than this (10)\n"
    "  --check                write no page; print one status line and exit 0 OK, 1 WARNING\n"
    "                         (a station silent), 2 CRITICAL (off the air, not running,\n"
    "                         stopped, halted, or every station silent), 3 UNKNOWN (a site or\n"
    "                         one of its logs cannot be read); several sites: the worst\n"
    "  --metrics FILE         write the figures in the node_exporter textfile format to FILE\n"
    "                         (replaced whole); no page unless -o is given too\n"
    "  --help                 this text\n";

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM" (a 'T' works in place of the blank), and with `zone` also a
// trailing "+zz" in quarter hours as the modem writes it.
bool parse_when(const std::string& s, std::int64_t& civil, int* zone) {
  logs::CivilTime t;
  char rest[8] = {};
  char sep = ' ';
  const int n = std::sscanf(s.c_str(), "%4d-%2d-%2d%c%2d:%2d%7s", &t.year, &t.month, &t.day, &sep,
                            &t.hour, &t.minute, rest);
  if (n != 3 && n != 6 && n != 7) return false;
  if (n >= 6 && sep != ' ' && sep != 'T') return false;
  if (s.size() != (n == 3 ? 10u : 16u) + (n == 7 ? std::string(rest).size() : 0u)) return false;
  if (n == 7 && (zone == nullptr || !logs::parse_zone(rest, *zone))) return false;
  if (!logs::valid_civil(t)) return false;
  civil = logs::civil_seconds(t);
  return true;
}

bool parse_hours(const std::string& s, std::int64_t& seconds) {
  char* end = nullptr;
  const double h = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !(h > 0) || h > 24.0 * 366 * 100) return false;
  seconds = static_cast<std::int64_t>(h * 3600);
  return true;
}

// The machine's UTC offset at `utc`.
int local_offset(std::time_t utc) {
  const std::tm* local = std::localtime(&utc);
  if (local == nullptr) return 0;
  logs::CivilTime t{local->tm_year + 1900, local->tm_mon + 1, local->tm_mday,
                    local->tm_hour,        local->tm_min,     local->tm_sec};
  return static_cast<int>(logs::civil_seconds(t) - static_cast<std::int64_t>(utc));
}

constexpr int kMaxSites = 200;

// Written to a temporary beside FILE and renamed over it, so a collector never reads half.
bool write_metrics_file(const std::string& file, const std::vector<report::SiteEntry>& sites,
                        const report::Settings& settings) {
  std::random_device random;
  const std::string tmp = file + format(".tmp-%08x", random());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (out.is_open()) report::write_metrics(out, sites, settings);
    out.close();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, file, ec);
  if (!ec) return true;
  std::filesystem::remove(tmp, ec);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> site_args;
  std::string output, since_text, now_text, metrics;
  bool check = false;
  report::Settings settings;
  std::string problem;
  // A monitoring system gets its UNKNOWN line even for a bad option before --check.
  for (int i = 1; i < argc; ++i) check = check || std::string(argv[i]) == "--check";
  for (int i = 1; i < argc && problem.empty(); ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        problem = a + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--version") {
      std::cout << "mvo-report " << mvo::common::kVersion << "\n";
      return 0;
    } else if (a == "--check") {
      check = true;
    } else if (a == "-o") {
      value(output);
    } else if (a == "--metrics") {
      value(metrics);
    } else if (a == "--dead-after") {
      std::int64_t s = 0;
      if (value(v) && !parse_hours(v, s)) problem = a + ": not a positive number of minutes: " + v;
      settings.dead_after_s = s / 60;  // read as hours: minutes * 3600 / 60 seconds
    } else if (a == "--since") {
      value(since_text);
    } else if (a == "--now") {  // for tests: the PC's local time, with its zone as "+zz"
      value(now_text);
    } else if (a == "--silent-after" || a == "--offline-after") {
      if (value(v) &&
          !parse_hours(v, a[2] == 's' ? settings.silent_after_s : settings.offline_after_s)) {
        problem = a + ": not a positive number of hours: " + v;
      }
    } else if (!a.empty() && a[0] == '-') {
      problem = "unknown option " + a;
    } else {
      site_args.push_back(a);
    }
  }

  // Now and the PC's zone: the wall clock, or --now for a deterministic run.
  if (problem.empty() && !now_text.empty()) {
    std::int64_t civil = 0;
    int quarters = 0;
    if (!parse_when(now_text, civil, &quarters)) {
      problem = "--now: expected \"YYYY-MM-DD HH:MM[+zz]\": " + now_text;
    } else {
      settings.display_offset_s = quarters * 15 * 60;
      settings.now = civil - settings.display_offset_s;
      const int fixed = settings.display_offset_s;
      settings.local_to_utc = [fixed](std::int64_t s) { return s - fixed; };
    }
  } else {
    const std::time_t now = std::time(nullptr);
    settings.now = static_cast<std::int64_t>(now);
    settings.display_offset_s = local_offset(now);
    settings.local_to_utc = [](std::int64_t s) {
      // The offset of that moment (summer time differs from winter time).
      const std::int64_t guess = s - local_offset(static_cast<std::time_t>(s));
      return s - local_offset(static_cast<std::time_t>(guess));
    };
  }
  if (problem.empty() && !since_text.empty()) {
    std::int64_t civil = 0;
    if (!parse_when(since_text, civil, nullptr)) {
      problem = "--since: expected YYYY-MM-DD or \"YYYY-MM-DD HH:MM\": " + since_text;
    } else {
      settings.since = settings.local_to_utc(civil);
    }
  }
  if (!problem.empty()) {
    if (check) {
      std::cout << report::check_unknown(problem).line << "\n";
      return 3;
    }
    std::cerr << "mvo-report: " << problem << "\n"
              << std::string(kUsage, std::strchr(kUsage, '\n') - kUsage) << " (see --help)\n";
    return 2;
  }

  if (site_args.empty()) site_args.push_back(".");
  std::vector<report::SiteEntry> sites;
  for (const std::string& arg : site_args) {
    for (const std::string& dir : mvo::tools::expand_sites(arg, kMaxSites)) {
      if (sites.size() >= static_cast<std::size_t>(kMaxSites)) {
        problem = format("more than %d sites", kMaxSites);
        break;
      }
      report::SiteEntry e;
      e.name = dir;
      e.readable = report::read_site(dir, settings, e.report, e.error);
      e.check =
          e.readable ? report::check_site(e.report, settings) : report::check_unknown(e.error);
      sites.push_back(std::move(e));
    }
  }
  if (!problem.empty()) {
    std::cerr << "mvo-report: " << problem << "\n";
    if (check) std::cout << report::check_unknown(problem).line << "\n";
    return check ? 3 : 2;
  }
  const bool many = sites.size() > 1;
  int status = 0;
  if (!metrics.empty() && !write_metrics_file(metrics, sites, settings)) {
    std::cerr << "mvo-report: cannot write " << metrics << "\n";
    status = 1;
  }
  if (check) {
    const report::CheckResult r = many ? report::check_sites(sites) : sites[0].check;
    std::cout << r.line << "\n";
    return status != 0 ? 3 : r.code;
  }
  if (!metrics.empty() && output.empty()) return status;
  if (!many && !sites[0].readable) {
    std::cerr << "mvo-report: " << sites[0].error << "\n";
    return 1;
  }
  if (output.empty()) {
    output = many ? "report.html"
                  : (std::filesystem::path(sites[0].name) / "log" / "report.html").string();
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (out.is_open()) {
    if (many) {
      report::write_pages(out, sites, settings);
    } else {
      report::write_page(out, sites[0].report, settings);
    }
  }
  out.close();
  if (!out) {
    std::cerr << "mvo-report: cannot write " << output << "\n";
    return 1;
  }
  std::cout << output << "\n";
  return status;
}
