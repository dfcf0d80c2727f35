#pragma once
// mvo-check: a site checked as a whole with the gateway's own loaders, and a status report
// previewed with the gateway's own inbound turn, before any modem is touched.
//
// Everything runs on a scratch copy of the site's configuration, so the site's own log directory
// is never written and its modem port never opened.
#include <functional>
#include <string>
#include <vector>

#include "config/tables.h"

namespace mvo::check {

inline constexpr std::size_t kSmsLength = 160;  // one SMS in the GSM alphabet

enum class Severity { kError, kWarning };

struct Finding {
  std::string file;  // relative to the site: "configuration/stations.txt"
  int line = 0;      // 1 for the first; 0 for the file as a whole
  Severity severity = Severity::kError;
  std::string text;  // for an error, the gateway's own console message when `halts`
  int column = 0;    // the character of the line, 1 for the first; 0 for the line as a whole
  // An error the gateway halts on, with `text` its message; false for an error the gateway
  // starts with but cannot work right (a file it reads as garbage, no log directory).
  bool halts = true;
  // After the gateway's own words: what is wrong in plain words, and what the line should be.
  std::string hint{};
  bool operator==(const Finding&) const = default;
};

// What the operating system says of the port's device, learnt without opening it (stat and
// access only), so a gateway that holds the port is not disturbed.
struct PortState {
  std::string device;  // the device the gateway would open
  bool exists = false;
  bool accessible = false;  // this user may read and write it
};
// `port_name` as the gateway builds it ("\\.\" and the word of cfg.txt); a relative device path
// is taken from the site's directory, the gateway's working directory.
using PortProbe =
    std::function<PortState(const std::string& site_root, const std::string& port_name)>;
PortState probe_port(const std::string& site_root, const std::string& port_name);

struct SiteCheck {
  std::vector<Finding> findings;  // in the order the gateway reads the files, then by line
  config::Tables tables;          // as the gateway would load them; valid when `loads`
  bool loads = false;             // no error: the gateway would start
};

// Checks every configuration file of the site at `root`, each to its end: after a faulty line
// the check goes on as if that line were fixed, so each fault of a file is reported. An error is
// what the gateway halts on; a warning what it accepts but an operator almost surely did not mean.
SiteCheck check_site(const std::string& root, const PortProbe& probe = probe_port);

// Runs a program (argv[0] looked up on PATH) and keeps what it prints on standard output, at most
// 64 KiB; its exit status, or -1 when it cannot be run.
using CommandRunner = std::function<int(const std::vector<std::string>& argv, std::string& output)>;
int run_command(const std::vector<std::string>& argv, std::string& output);

// Whether `user` may read the file `path`, or create and write files in the directory `path` (or
// write the file `path`), judged from its owner, group and mode bits as the kernel would for that
// user (access control lists aside; on Windows only a file's read-only attribute is judged).
enum class Access { kAllowed, kDenied, kMissing };
enum class Want { kRead, kWrite };
using AccessProbe =
    std::function<Access(const std::string& path, const std::string& user, Want want)>;
Access probe_access(const std::string& path, const std::string& user, Want want);
// The name of the user running this program; whether a user of that name exists.
std::string current_user();
bool known_user(const std::string& user);

struct SiteProbes {
  PortProbe port = probe_port;
  // Asks systemctl whether ModemManager runs and udevadm whether the port's device is marked
  // ID_MM_DEVICE_IGNORE; a runner that cannot run them finds no ModemManager.
  CommandRunner run = run_command;
  AccessProbe access = probe_access;
  std::string user;  // who will run the gateway; "" for the current user
};

// As above, with the site's log directory and pin.txt judged for `probes.user` and, on Linux,
// ModemManager asked about the port's device.
SiteCheck check_site(const std::string& root, const SiteProbes& probes);

// The udev rule that keeps ModemManager off the port's `device`: a by-id link is followed to the
// device's own name, which is what the rule's KERNEL matches.
std::string modem_manager_rule(const std::string& device);

// The site mvo-check checks when none is named, run in `dir`: `dir` when it is a site (or holds
// none), else the one site among its subdirectories, as mvo-report finds them (tools/sites.h):
// mvo-check.exe double-clicked in the Windows zip's MVO\ checks MVO\site\. Several: "" and
// `problem` names them.
std::string default_site(const std::string& dir, std::string& problem);

// 0 when there is no finding, 1 when there are only warnings, 2 when the gateway would halt.
int exit_status(const std::vector<Finding>& findings);

// "<prefix><file>:<line>[:<column>]: error: <text>[ -- <hint>]" (no ":<line>" for the file as a
// whole).
std::string to_line(const Finding& finding, const std::string& prefix = "");

// A text shown on one line: line feeds as blanks, blanks and line ends at either end dropped,
// other control bytes in caret form (Ctrl-Z as ^Z).
std::string visible(const std::string& text);

// What the gateway would do with the message `text` from `sender`.
struct Preview {
  bool refused = false;
  bool unreadable = false;        // refused because reading it from the modem failed
  std::string console;            // the refusal, or the "SMS /..." line, as printed
  std::vector<std::string> tags;  // error-log tags of a refusal
  int station = -1;               // accepted: the station index and the status code
  int status_code = -1;
  std::vector<std::string> texts;    // accepted: per destination, the exact text sent or ""
  std::vector<std::string> reasons;  // accepted: per destination without a text, why
};

// Runs the gateway's inbound turn (read_sms, parse_report, forward_report) against the modem
// model in virtual time, on the tables of `site`, which must load (site.loads).
Preview preview_report(const std::string& root, const SiteCheck& site, const std::string& sender,
                       const std::string& text);

}  // namespace mvo::check
