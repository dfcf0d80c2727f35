// mvo-report over a generated site: the time to write the page, the peak resident memory of the
// process, and the page's size.
//   report_bench <mvo-report> <report_site> <dir> <messages>
// The site has 50 stations reporting every 10 minutes; its messages are written by report_site.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: report_bench <mvo-report> <report_site> <dir> <messages>\n");
    return 2;
  }
  const std::string report = argv[1], make_site = argv[2], dir = argv[3], messages = argv[4];
  const std::string site = dir + "/site", page = dir + "/report.html";
  const std::string now = "2026-12-06 10:00";
  const std::string make = "'" + make_site + "' '" + site + "' bulk '" + now + "' 50 " + messages;
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "report_bench: cannot generate the site\n");
    return 1;
  }
  const std::string now_arg = now + "+00";
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    execl(report.c_str(), report.c_str(), site.c_str(), "-o", page.c_str(), "--now",
          now_arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "report_bench: mvo-report failed\n");
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double mib = static_cast<double>(usage.ru_maxrss) / 1024;  // ru_maxrss is in KiB
  const double mb = static_cast<double>(std::filesystem::file_size(page)) / 1e6;
  std::printf("report.write_time %.2f s <10\n", seconds);
  std::printf("report.peak_rss %.1f MiB <64\n", mib);
  std::printf("report.page_size %.2f MB <2\n", mb);
  return 0;
}
