// mvo-modem-sim: the GSM modem model on a pseudo-terminal, in real time.
//
//   mvo-modem-sim [--link PATH] [--scenario FILE] [--spool DIR] [--outbox FILE]
//                 [--transcript FILE] [--empty-slot cms|cmgr] [--seed N] [--profile NAME]
//                 [--help] [--version]
//
// Prints "mvo-modem-sim: <device>" when the line is up. --link keeps a symlink at PATH pointing to
// the current device (re-pointed after an unplug). Files dropped in the spool directory become
// incoming messages: the sender on the first line, the text on the second (write the file under a
// name starting with '.', then rename it). Each accepted submission is appended to the outbox as
// one JSON object per line. Ends on SIGINT or SIGTERM, or at the scenario's "end".
//
// A client that dies while it holds the line exclusively (TIOCEXCL) cannot clear the flag, and a
// pty keeps it as long as its other side is open, so every later open would fail; a serial port
// forgets the flag at its last close. The simulator does the same: it counts the opens and closes
// of the device and clears the flag when the last client has gone.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "common/version.h"
#include "sim/core/modem_model.h"
#include "sim/core/scenario.h"

namespace fs = std::filesystem;
using mvo::sim::ModemModel;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

std::int64_t now_ms() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// yy/MM/dd,hh:mm:ss+zz of the local time at `at` (ms on the run's clock, now_ms()), as the modem
// stamps a message when it lands in its store.
std::string stamp_at(std::int64_t at) {
  const auto then = std::chrono::system_clock::now() - std::chrono::milliseconds(now_ms() - at);
  std::time_t t = std::chrono::system_clock::to_time_t(then);
  std::tm lt{};
  localtime_r(&t, &lt);
  char buf[64];
  const int off = static_cast<int>(lt.tm_gmtoff / 900 % 100);  // quarter hours, as 3GPP counts
  std::snprintf(buf, sizeof buf, "%02d/%02d/%02d,%02d:%02d:%02d%c%02d", lt.tm_year % 100,
                lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, off < 0 ? '-' : '+',
                off < 0 ? -off : off);
  return buf;
}

std::string json_escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct Line {
  int master = -1;
  // Kept open so the master never sees a hang-up between gateway sessions (it is also why the
  // master cannot tell when a client closes, and the fd the exclusive flag is cleared through).
  int slave = -1;
  std::string device;
  int watch = -1;   // inotify: the opens and closes of the device by its clients
  int clients = 0;  // open descriptions of the device besides our own
};

// Watches the opens and closes of the device; without it (no inotify) the line works as before,
// and a client that dies holding it exclusively leaves it so.
void watch_clients(Line& line) {
  line.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (line.watch >= 0 &&
      inotify_add_watch(line.watch, line.device.c_str(), IN_OPEN | IN_CLOSE) >= 0) {
    return;
  }
  std::cerr << "mvo-modem-sim: cannot watch " << line.device << " (errno " << errno
            << "): a client that dies holding the line exclusively leaves it so\n";
  if (line.watch >= 0) ::close(line.watch);
  line.watch = -1;
}

// The last client has gone: the line is no one's any more, as a serial port is after its last
// close.
void release_line(Line& line) {
  int exclusive = 1;
#ifdef TIOCGEXCL
  if (ioctl(line.slave, TIOCGEXCL, &exclusive) != 0) exclusive = 1;
#endif
  if (exclusive == 0 || ioctl(line.slave, TIOCNXCL) != 0) return;
  std::cout << "mvo-modem-sim: the last client left the line held exclusively; released"
            << std::endl;
}

// Counts the opens and closes that came; the count at zero releases the line.
void follow_clients(Line& line) {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = ::read(line.watch, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->mask & IN_Q_OVERFLOW) {
        line.clients = 0;  // the count is lost: no release until it is known again
      } else if (e->mask & IN_OPEN) {
        ++line.clients;
      } else if ((e->mask & IN_CLOSE) && line.clients > 0 && --line.clients == 0) {
        release_line(line);
      }
    }
  }
}

bool open_line(Line& line, const std::string& link) {
  line.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0) return false;
  line.device = ptsname(line.master);
  line.slave = ::open(line.device.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  if (line.slave >= 0 && tcgetattr(line.slave, &tio) == 0) {
    // No line discipline: the pty must not echo the modem's own output back to it.
    cfmakeraw(&tio);
    tcsetattr(line.slave, TCSANOW, &tio);
  }
  if (line.slave >= 0) watch_clients(line);  // after our own open, which it must not count
  if (!link.empty()) {
    std::error_code ec;
    fs::remove(link + ".tmp", ec);
    fs::create_symlink(line.device, link + ".tmp", ec);
    fs::rename(link + ".tmp", link, ec);
  }
  std::cout << "mvo-modem-sim: " << line.device << std::endl;
  return true;
}

void close_line(Line& line, const std::string& link) {
  if (line.watch >= 0) ::close(line.watch);
  if (line.slave >= 0) ::close(line.slave);
  if (line.master >= 0) ::close(line.master);
  line = Line{};
  if (!link.empty()) {
    std::error_code ec;
    fs::remove(link, ec);
  }
  std::cout << "mvo-modem-sim: line down" << std::endl;
}

constexpr const char* kUsage =
    "usage: mvo-modem-sim [--link PATH] [--scenario FILE] [--spool DIR] [--outbox FILE]\n"
    "                     [--transcript FILE] [--empty-slot cms|cmgr] [--seed N]\n"
    "                     [--profile NAME]\n"
    "  --link PATH          keep a symlink at PATH to the current device\n"
    "  --scenario FILE      operator, timing, memories, messages, faults (see the README)\n"
    "  --spool DIR          files dropped here become incoming messages (sender, then text)\n"
    "  --outbox FILE        every accepted submission appended as one JSON object per line\n"
    "  --transcript FILE    every byte in (<) and out (>), with the time in ms\n"
    "  --empty-slot cms     an empty slot reads as +CMS ERROR: 321 (default cmgr: +CMGR: 0,,0)\n"
    "  --seed N             the seed of the faults' chances (overrides the scenario's)\n"
    "  --profile NAME       a modem family's habits and store, before the scenario's lines:\n"
    "%s"
    "  --help               this text\n"
    "  --version            the version of MVO\n";

struct Options {
  std::string link, scenario, spool, outbox, transcript;
  std::optional<bool> empty_slot_cms;
  std::optional<std::uint32_t> seed;
  const mvo::sim::Habits* profile = nullptr;
};

// The usage text with one line for each modem family.
std::string usage() {
  std::string families;
  for (const auto& p : mvo::sim::profiles()) {
    families += "      " + p.name + std::string(18 - p.name.size(), ' ') + p.summary + "\n";
  }
  std::string text = kUsage;
  text.replace(text.find("%s"), 2, families);
  return text;
}

bool to_seed(const char* text, std::uint32_t& seed) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value > UINT32_MAX) return false;
  seed = static_cast<std::uint32_t>(value);
  return true;
}

int usage_error(const std::string& why) {
  if (!why.empty()) std::cerr << "mvo-modem-sim: " << why << "\n";
  std::cerr << usage();
  return 2;
}

// Reads the command line into `o`: -1 to go on, else the exit status (0 after --help, 2 after a
// usage error, the usage printed either way).
int parse_options(int argc, char** argv, Options& o) {
  // The first five take a path each, stored in the field of the same place in `paths`.
  static const option longs[] = {{"link", required_argument, nullptr, 0},
                                 {"scenario", required_argument, nullptr, 0},
                                 {"spool", required_argument, nullptr, 0},
                                 {"outbox", required_argument, nullptr, 0},
                                 {"transcript", required_argument, nullptr, 0},
                                 {"empty-slot", required_argument, nullptr, 0},
                                 {"seed", required_argument, nullptr, 0},
                                 {"profile", required_argument, nullptr, 0},
                                 {"help", no_argument, nullptr, 0},
                                 {"version", no_argument, nullptr, 0},
                                 {nullptr, 0, nullptr, 0}};
  std::string Options::*const paths[] = {&Options::link, &Options::scenario, &Options::spool,
                                         &Options::outbox, &Options::transcript};
  int index = 0;
  for (int opt; (opt = getopt_long(argc, argv, "", longs, &index)) != -1;) {
    if (opt != 0) return usage_error("");  // getopt_long has said what is wrong
    const std::string name = longs[index].name;
    const std::string value = optarg != nullptr ? optarg : "";
    std::uint32_t seed = 0;
    if (index < 5) {
      o.*paths[index] = value;
    } else if (name == "empty-slot") {
      if (value != "cms" && value != "cmgr") return usage_error("--empty-slot takes cms or cmgr");
      o.empty_slot_cms = value == "cms";
    } else if (name == "seed") {
      if (!to_seed(value.c_str(), seed))
        return usage_error("--seed takes a number up to 4294967295");
      o.seed = seed;
    } else if (name == "profile") {
      o.profile = mvo::sim::profile_named(value);
      if (o.profile == nullptr) return usage_error("no modem family named " + value);
    } else if (name == "version") {
      std::cout << "mvo-modem-sim " << mvo::common::kVersion << "\n";
      return 0;
    } else {
      std::cout << usage();
      return 0;
    }
  }
  if (optind < argc) return usage_error(std::string("unexpected argument ") + argv[optind]);
  return -1;
}

bool load_scenario(const std::string& path, mvo::sim::Scenario& scenario) {
  if (path.empty()) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "mvo-modem-sim: cannot read " << path << "\n";
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  if (!mvo::sim::parse_scenario(text, scenario, error)) {
    std::cerr << "mvo-modem-sim: " << error << "\n";
    return false;
  }
  return true;
}

void append_submission(std::ofstream& outbox, const mvo::sim::Submitted& s) {
  if (!outbox) return;
  std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &lt);
  outbox << "{\"time\":\"" << when << "\",\"ms\":" << s.at << ",\"number\":\""
         << json_escape(s.number) << "\",\"text\":\"" << json_escape(s.text) << "\"}" << std::endl;
}

// The model on the pseudo-terminal in real time: the line follows the model's plugs, spooled
// files become messages, output goes out when due, input goes in when it comes.
class Runner {
 public:
  Runner(ModemModel& modem, const Options& o) : modem_(modem), o_(o) {
    if (!o.transcript.empty()) transcript_.open(o.transcript, std::ios::app);
  }

  bool run(std::int64_t end_at) {
    if (!open_line(line_, o_.link)) {
      std::cerr << "mvo-modem-sim: cannot create a pseudo-terminal\n";
      return false;
    }
    generation_ = modem_.line_generation(now_ms());
    while (!g_stop) {
      const std::int64_t now = now_ms();
      if (end_at >= 0 && now >= end_at) break;
      if (!follow_line(now)) break;
      scan_spool(now);
      write_due(now);
      wait_and_read(now);
    }
    close_line(line_, o_.link);
    return true;
  }

 private:
  // Down while unplugged, a fresh device when the line comes back.
  bool follow_line(std::int64_t now) {
    const bool up = modem_.line_up(now);
    if (!up && line_.master >= 0) {
      close_line(line_, o_.link);
      pending_out_.clear();
    }
    if (up && (line_.master < 0 || modem_.line_generation(now) != generation_)) {
      if (line_.master >= 0) close_line(line_, o_.link);
      if (!open_line(line_, o_.link)) return false;
      generation_ = modem_.line_generation(now);
    }
    return true;
  }

  void scan_spool(std::int64_t now) {
    if (o_.spool.empty() || now < next_spool_scan_) return;
    next_spool_scan_ = now + 200;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(o_.spool, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.empty() || name[0] == '.' || !entry.is_regular_file()) continue;
      std::ifstream in(entry.path());
      std::string sender, text;
      std::getline(in, sender);
      std::getline(in, text);
      if (!sender.empty() && sender.back() == '\r') sender.pop_back();
      if (!text.empty() && text.back() == '\r') text.pop_back();
      in.close();
      fs::remove(entry.path(), ec);
      if (!sender.empty()) modem_.deliver(sender, "", text, now);
    }
  }

  void write_due(std::int64_t now) {
    if (line_.master < 0) return;
    pending_out_ += modem_.take_output(now, 4096);
    if (pending_out_.empty()) return;
    const ssize_t n = ::write(line_.master, pending_out_.data(), pending_out_.size());
    if (n <= 0) return;
    if (transcript_)
      transcript_ << now << " > " << printable(pending_out_.substr(0, n)) << std::endl;
    pending_out_.erase(0, static_cast<std::size_t>(n));
  }

  // Sleeps until input comes, a client opens or closes the line, the model's next output is due,
  // or 200 ms (5 ms while output waits for room on the line).
  void wait_and_read(std::int64_t now) {
    std::int64_t wait = std::min<std::int64_t>(200, modem_.next_output_time(now) - now);
    if (!pending_out_.empty()) wait = 5;
    wait = std::max<std::int64_t>(wait, 0);
    if (line_.master < 0) {
      usleep(static_cast<useconds_t>(wait) * 1000);
      return;
    }
    pollfd p[2] = {{line_.master, POLLIN, 0}, {line_.watch, POLLIN, 0}};
    if (poll(p, line_.watch >= 0 ? 2 : 1, static_cast<int>(wait)) <= 0) return;
    if (line_.watch >= 0 && (p[1].revents & POLLIN)) follow_clients(line_);
    if (!(p[0].revents & POLLIN)) return;
    char buf[512];
    const ssize_t n = ::read(line_.master, buf, sizeof buf);
    if (n <= 0) return;
    if (transcript_)
      transcript_ << now_ms() << " < " << printable(std::string(buf, n)) << std::endl;
    modem_.input(buf, static_cast<std::size_t>(n), now_ms());
  }

  ModemModel& modem_;
  const Options& o_;
  std::ofstream transcript_;
  Line line_;
  int generation_ = 0;
  std::string pending_out_;
  std::int64_t next_spool_scan_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int status = parse_options(argc, argv, o); status >= 0) return status;
  mvo::sim::Scenario scenario;
  if (o.profile != nullptr) use_profile(*o.profile, scenario.options);
  if (!load_scenario(o.scenario, scenario)) return 2;
  if (o.empty_slot_cms) scenario.options.empty_slot_cms_error = *o.empty_slot_cms;
  if (o.seed) scenario.options.seed = *o.seed;

  ModemModel modem(scenario.options);
  for (const auto& f : scenario.faults) modem.add_fault(f);
  modem.stamp_at = stamp_at;
  for (const auto& m : scenario.messages) modem.deliver(m.sender, "", m.text, m.at, m.memory);
  for (const auto& [at, duration] : scenario.unplugs) modem.unplug(at, duration);
  for (const auto& [at, duration] : scenario.power_cuts) modem.unplug(at, duration, true);
  std::ofstream outbox;
  if (!o.outbox.empty()) outbox.open(o.outbox, std::ios::app);
  modem.on_submit = [&](const mvo::sim::Submitted& s) { append_submission(outbox, s); };

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return Runner(modem, o).run(scenario.end_at) ? 0 : 1;
}
