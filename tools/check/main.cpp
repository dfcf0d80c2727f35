// mvo-check [SITE]: checks a site's configuration as the gateway reads it, without opening the
// modem port. mvo-check SITE --report SENDER TEXT: what the gateway would do with that message.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "alarms/watch.h"
#include "common/text.h"
#include "common/version.h"
#include "modem/modem.h"
#include "tools/check/check.h"

namespace {

using mvo::check::Finding;
using mvo::check::Severity;
using mvo::common::format;

constexpr int kUsageStatus = 3;

constexpr const char* kSynopsis =
    "usage: mvo-check [SITE] [--user NAME]\n"
    "       mvo-check [SITE] --report SENDER TEXT\n"
    "       mvo-check [SITE] --alarms\n";

constexpr const char* kUsage =
    "\n"
    "Checks the configuration of the gateway's site SITE (default: the current directory or, when\n"
    "it is no site, the one site in it, such as site\\ beside mvo-check.exe in the Windows zip)\n"
    "with the gateway's own loaders, every file to its end, and prints one line per finding:\n"
    "  configuration/stations.txt:12: error: <the gateway's own message> -- <in plain words>\n"
    "  configuration/human.txt:3: warning: <what it accepts but you almost surely did not mean>\n"
    "The modem port is not opened and nothing is written into the site.\n"
    "\n"
    "--user NAME           the user who will run the gateway (default: you): warns when NAME\n"
    "                      may not write the site's log directory or a log in it.\n"
    "\n"
    "--report SENDER TEXT  shows what the gateway would do with the message TEXT from SENDER:\n"
    "                      refused (its console text and error-log tag), or accepted (its console\n"
    "                      line and, for each destination, the exact text or why none).\n"
    "                      Control bytes are shown as ^Z and the like.\n"
    "--alarms              shows the alarms of configuration/alarms.txt: who is watched and how\n"
    "                      closely, who receives them, and each text as phones will show it\n"
    "                      (with example times).\n"
    "\n"
    "Exit status: 0 clean, 1 warnings only, 2 errors (the gateway would halt, or run without\n"
    "its log directory or on a file it cannot read), 3 usage error;\n"
    "with --report: 0 accepted, 1 refused, 2 the site does not load;\n"
    "with --alarms: 0 alarms set, 1 none set, 2 the site does not load.\n";

void out(const std::string& text) { std::fputs(text.c_str(), stdout); }

int usage_error(const std::string& why) {
  std::fprintf(stderr, "mvo-check: %s\n%s(mvo-check --help tells more)\n", why.c_str(), kSynopsis);
  return kUsageStatus;
}

std::string plural(std::size_t n, const char* word) {
  return format("%d %s%s", static_cast<int>(n), word, n == 1 ? "" : "s");
}

int print_findings(const mvo::check::SiteCheck& site, const std::string& prefix) {
  std::size_t errors = 0;
  bool halts = false;
  for (const Finding& f : site.findings) {
    out(to_line(f, prefix) + "\n");
    errors += f.severity == Severity::kError ? 1 : 0;
    halts |= f.severity == Severity::kError && f.halts;
  }
  const int status = exit_status(site.findings);
  const char* outcome = halts         ? ": the gateway would halt"
                        : status == 2 ? ": the gateway would start, but not work as meant"
                                      : "";
  out(plural(errors, "error") + ", " + plural(site.findings.size() - errors, "warning") + outcome +
      "\n");
  // The modem's own set-up from options.txt, as the bring-up will send it.
  const mvo::config::Options& o = site.tables.options;
  if (site.loads && (o.storage != "MT" || !o.init.empty())) {
    std::string storage = mvo::modem::storage_command(o.storage);
    storage.pop_back();
    out("the bring-up selects the memory with " + storage);
    if (!o.init.empty()) out(", then sends");
    for (std::size_t i = 0; i < o.init.size(); ++i) out((i == 0 ? " " : ", ") + o.init[i]);
    out("\n");
  }
  return status;
}

int print_preview(const mvo::check::SiteCheck& site, const std::string& root,
                  const std::string& sender, const std::string& text) {
  using mvo::check::visible;
  const mvo::check::Preview p = preview_report(root, site, sender, text);
  if (p.refused) {
    out((p.unreadable ? "refused, the message cannot be read: " : "refused: ") +
        visible(p.console) + "\n");
    for (const auto& tag : p.tags) out("  error-log tag: " + visible(tag) + "\n");
    return 1;
  }
  const auto& t = site.tables;
  const auto s = static_cast<std::size_t>(p.station);
  const auto c = static_cast<std::size_t>(p.status_code);
  out(format("accepted: station \"%s\", status code %d (\"%s\")\n", t.stations[s].name.c_str(),
             p.status_code, visible(t.human_texts[c]).c_str()));
  out("console: " + visible(p.console) + "\n");
  for (std::size_t d = 0; d < t.destinations.size(); ++d) {
    const auto& dest = t.destinations[d];
    out(format("  \"%s\" %s %s: ", dest.name.c_str(), dest.number.c_str(), dest.type.c_str()) +
        (p.texts[d].empty() ? p.reasons[d] : visible(p.texts[d])) + "\n");
  }
  return 0;
}

int print_alarms(const mvo::check::SiteCheck& site) {
  const auto& t = site.tables;
  const auto& a = t.alarms;
  if (!a.on) {
    out("no alarms: configuration/alarms.txt is absent or sets none\n");
    return 1;
  }
  out("recipients:\n");
  for (const auto& r : a.recipients) {
    out(r.name.empty() ? format("  %s\n", r.number.c_str())
                       : format("  \"%s\" %s\n", r.name.c_str(), r.number.c_str()));
  }
  out("watched:\n");
  for (std::size_t i = 0; i < t.stations.size(); ++i) {
    const std::int64_t bound = i < a.silent_after.size() ? a.silent_after[i] : 0;
    out(format("  \"%s\" %s: ", t.stations[i].name.c_str(), t.stations[i].number.c_str()) +
        (bound > 0 ? "silent after " + mvo::alarms::duration_text(bound) : "not watched") + "\n");
  }
  out(a.off_air_after > 0 ? "  the modem: a text when it is back after more than " +
                                mvo::alarms::duration_text(a.off_air_after) + " off the air\n"
                          : "  the modem: no text after an outage\n");
  out(format("at most %d alarm text%s an hour\n", a.per_hour, a.per_hour == 1 ? "" : "s"));
  out("texts (example times):\n");
  for (const std::string& text : mvo::alarms::Watch::previews(t)) {
    out("  " + mvo::check::visible(text) + "\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string root;
  bool report = false;
  bool alarms = false;
  std::string sender;
  std::string text;
  mvo::check::SiteProbes probes;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out(std::string(kSynopsis) + kUsage);
      return 0;
    }
    if (a == "--version") {
      out(std::string("mvo-check ") + mvo::common::kVersion + "\n");
      return 0;
    }
    if (a == "--report") {
      if (i + 2 >= args.size()) return usage_error("--report needs SENDER and TEXT");
      report = true;
      sender = args[i + 1];
      text = args[i + 2];
      i += 2;
    } else if (a == "--user") {
      if (i + 1 >= args.size()) return usage_error("--user needs NAME");
      probes.user = args[++i];
      if (!mvo::check::known_user(probes.user)) return usage_error("no such user: " + probes.user);
    } else if (a == "--alarms") {
      alarms = true;
    } else if (!a.empty() && a[0] == '-') {
      return usage_error("unknown option " + a);
    } else if (root.empty()) {
      root = a;
    } else {
      return usage_error("more than one SITE: " + root + " and " + a);
    }
  }
  if (report && alarms) return usage_error("--report and --alarms go one at a time");
  std::string prefix = root.empty() ? "" : (root.back() == '/' ? root : root + "/");
  if (root.empty()) {
    // Not a site itself (the Windows zip's MVO\, where a double-click runs it): the site in it.
    std::string problem;
    root = mvo::check::default_site(".", problem);
    if (root.empty()) return usage_error(problem);
    if (root != ".") {
      prefix = std::filesystem::path(root).filename().string() + "/";
      out("checking " + prefix + "\n");
    }
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec)) return usage_error("no such directory: " + root);
  try {
    const mvo::check::SiteCheck site = mvo::check::check_site(root, probes);
    if (!report && !alarms) return print_findings(site, prefix);
    if (!site.loads) {
      out(report ? "the site does not load, so no report can be previewed:\n"
                 : "the site does not load, so no alarm can be previewed:\n");
      print_findings(site, prefix);
      return 2;
    }
    if (alarms) return print_alarms(site);
    return print_preview(site, root, sender, text);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mvo-check: %s\n", e.what());
    return kUsageStatus;
  }
}
