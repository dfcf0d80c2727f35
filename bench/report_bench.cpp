// mvo-report over generated sites: the time to write the page, the peak resident memory of the
// process, and the page's size; then a hostile error log (LINES lines over 1.5 million distinct
// days), through the page and through --check, whose memory must not grow with the log.
//   report_bench <mvo-report> <report_site> <dir> <messages> [LINES]
// The first site has 50 stations reporting every 10 minutes; its messages are written by
// report_site, as is the hostile log.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Run {
  double seconds = 0;
  double mib = 0;
};

// Runs mvo-report with `args`, its output to /dev/null. False when it fails.
bool run(const std::string& report, const std::vector<std::string>& args, int expect, Run& r) {
  std::fflush(stdout);  // the child must not write the figures again
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    std::vector<char*> argv{const_cast<char*>(report.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(report.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != expect) {
    std::fprintf(stderr, "report_bench: mvo-report failed\n");
    return false;
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.mib = static_cast<double>(usage.ru_maxrss) / 1024;  // ru_maxrss is in KiB
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr,
                 "usage: report_bench <mvo-report> <report_site> <dir> <messages> [LINES]\n");
    return 2;
  }
  const std::string report = argv[1], make_site = argv[2], dir = argv[3], messages = argv[4];
  const std::string site = dir + "/site", page = dir + "/report.html";
  const std::string now = "2026-12-06 10:00";
  const std::string now_arg = now + "+00";
  const std::string make = "'" + make_site + "' '" + site + "' bulk '" + now + "' 50 " + messages;
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "report_bench: cannot generate the site\n");
    return 1;
  }
  Run r;
  if (!run(report, {site, "-o", page, "--now", now_arg}, 0, r)) return 1;
  const double mb = static_cast<double>(std::filesystem::file_size(page)) / 1e6;
  std::printf("report.write_time %.2f s <10\n", r.seconds);
  std::printf("report.peak_rss %.1f MiB <64\n", r.mib);
  std::printf("report.page_size %.2f MB <2\n", mb);
  std::filesystem::remove_all(site);
  if (argc == 5) return 0;

  const std::string lines = argv[5];
  const std::string hostile = dir + "/hostile";
  const std::string make_hostile =
      "'" + make_site + "' '" + hostile + "' hostile '" + now + "' " + lines + " 1500000";
  if (std::system(make_hostile.c_str()) != 0) {
    std::fprintf(stderr, "report_bench: cannot generate the hostile site\n");
    return 1;
  }
  const double log_mb =
      static_cast<double>(std::filesystem::file_size(hostile + "/log/err_log.csv")) / 1e6;
  std::printf("report.hostile_log %.0f MB -\n", log_mb);
  if (!run(report, {hostile, "-o", page, "--now", now_arg}, 0, r)) return 1;
  std::printf("report.hostile_page_time %.2f s <20\n", r.seconds);
  std::printf("report.hostile_page_rss %.1f MiB <16\n", r.mib);
  if (!run(report, {hostile, "--check", "--now", now_arg}, 0, r)) return 1;
  std::printf("report.hostile_check_time %.2f s <20\n", r.seconds);
  std::printf("report.hostile_check_rss %.1f MiB <16\n", r.mib);
  std::filesystem::remove_all(hostile);
  return 0;
}
