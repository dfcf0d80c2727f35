// mvo-report: the stations' history and the gateway's health as one HTML page, or, with --check,
// one status line for a monitoring system.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "common/text.h"
#include "report.h"

namespace {

using mvo::common::format;
namespace report = mvo::report;
namespace logs = mvo::logs;

constexpr const char* kUsage =
    "usage: mvo-report [SITE] [-o FILE] [--since DATE] [--silent-after HOURS]\n"
    "                  [--offline-after HOURS] [--check]\n"
    "\n"
    "Reads SITE/configuration and SITE/log (SITE defaults to the current directory) and writes\n"
    "one self-contained HTML page, SITE/log/report.html unless -o names another file.\n"
    "\n"
    "  -o FILE                the page to write\n"
    "  --since DATE           chart from DATE (YYYY-MM-DD or \"YYYY-MM-DD HH:MM\", local time);\n"
    "                         default: from the earliest message\n"
    "  --silent-after HOURS   a station is silent after this long without a message (24)\n"
    "  --offline-after HOURS  --check is CRITICAL when the gateway has been off the air this\n"
    "                         long: a failure after its last \"On the air\" and none since (2)\n"
    "  --check                write no page; print one status line and exit 0 OK, 1 WARNING\n"
    "                         (a station silent), 2 CRITICAL (off the air, or every station\n"
    "                         silent), 3 UNKNOWN (the site cannot be read)\n"
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

}  // namespace

int main(int argc, char** argv) {
  std::string site = ".", output, since_text, now_text;
  bool check = false, have_site = false;
  report::Settings settings;
  std::string problem;
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
    } else if (a == "--check") {
      check = true;
    } else if (a == "-o") {
      value(output);
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
    } else if (have_site) {
      problem = "one site only: " + a;
    } else {
      site = a;
      have_site = true;
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

  report::SiteReport model;
  std::string error;
  const bool readable = report::read_site(site, settings, model, error);
  if (check) {
    const report::CheckResult r =
        readable ? report::check_site(model, settings) : report::check_unknown(error);
    std::cout << r.line << "\n";
    return r.code;
  }
  if (!readable) {
    std::cerr << "mvo-report: " << error << "\n";
    return 1;
  }
  if (output.empty()) output = (std::filesystem::path(site) / "log" / "report.html").string();
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (out.is_open()) report::write_page(out, model, settings);
  out.close();
  if (!out) {
    std::cerr << "mvo-report: cannot write " << output << "\n";
    return 1;
  }
  std::cout << output << "\n";
  return 0;
}
