// mvo-modem-sim: the GSM modem model on a pseudo-terminal, in real time.
//
//   mvo-modem-sim [--link PATH] [--scenario FILE] [--spool DIR] [--outbox FILE]
//                 [--transcript FILE] [--empty-slot cms|cmgr] [--seed N]
//
// Prints "mvo-modem-sim: <device>" when the line is up. --link keeps a symlink at PATH pointing to
// the current device (re-pointed after an unplug). Files dropped in the spool directory become
// incoming messages: the sender on the first line, the text on the second (write the file under a
// name starting with '.', then rename it). Each accepted submission is appended to the outbox as
// one JSON object per line. Ends on SIGINT or SIGTERM, or at the scenario's "end".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

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

// yy/MM/dd,hh:mm:ss+zz of the local time now.
std::string stamp_now() {
  std::time_t t = std::time(nullptr);
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
  int slave = -1;  // kept open so the master never sees a hang-up between gateway sessions
  std::string device;
};

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
  if (line.slave >= 0) ::close(line.slave);
  if (line.master >= 0) ::close(line.master);
  line = Line{};
  if (!link.empty()) {
    std::error_code ec;
    fs::remove(link, ec);
  }
  std::cout << "mvo-modem-sim: line down" << std::endl;
}

int usage() {
  std::cerr << "usage: mvo-modem-sim [--link PATH] [--scenario FILE] [--spool DIR] "
               "[--outbox FILE] [--transcript FILE] [--empty-slot cms|cmgr] [--seed N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link, scenario_path, spool, outbox_path, transcript_path, empty_slot;
  long seed = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (arg == "--link")
      link = value;
    else if (arg == "--scenario")
      scenario_path = value;
    else if (arg == "--spool")
      spool = value;
    else if (arg == "--outbox")
      outbox_path = value;
    else if (arg == "--transcript")
      transcript_path = value;
    else if (arg == "--empty-slot")
      empty_slot = value;
    else if (arg == "--seed")
      seed = std::atol(value.c_str());
    else
      return usage();
  }

  mvo::sim::Scenario scenario;
  if (!scenario_path.empty()) {
    std::ifstream in(scenario_path, std::ios::binary);
    if (!in) {
      std::cerr << "mvo-modem-sim: cannot read " << scenario_path << "\n";
      return 2;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    if (!mvo::sim::parse_scenario(text, scenario, error)) {
      std::cerr << "mvo-modem-sim: " << error << "\n";
      return 2;
    }
  }
  if (empty_slot == "cms") scenario.options.empty_slot_cms_error = true;
  if (empty_slot == "cmgr") scenario.options.empty_slot_cms_error = false;
  if (seed >= 0) scenario.options.seed = static_cast<std::uint32_t>(seed);

  ModemModel modem(scenario.options);
  for (const auto& f : scenario.faults) modem.add_fault(f);
  for (const auto& m : scenario.messages) modem.deliver(m.sender, stamp_now(), m.text, m.at);
  for (const auto& [at, duration] : scenario.unplugs) modem.unplug(at, duration);

  std::ofstream outbox;
  if (!outbox_path.empty()) outbox.open(outbox_path, std::ios::app);
  modem.on_submit = [&](const mvo::sim::Submitted& s) {
    if (!outbox) return;
    std::time_t t = std::time(nullptr);
    std::tm lt{};
    localtime_r(&t, &lt);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &lt);
    outbox << "{\"time\":\"" << when << "\",\"ms\":" << s.at << ",\"number\":\""
           << json_escape(s.number) << "\",\"text\":\"" << json_escape(s.text) << "\"}"
           << std::endl;
  };
  std::ofstream transcript;
  if (!transcript_path.empty()) transcript.open(transcript_path, std::ios::app);

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Line line;
  if (!open_line(line, link)) {
    std::cerr << "mvo-modem-sim: cannot create a pseudo-terminal\n";
    return 1;
  }
  int generation = modem.line_generation(now_ms());
  std::string pending_out;
  std::int64_t next_spool_scan = 0;

  while (!g_stop) {
    const std::int64_t now = now_ms();
    if (scenario.end_at >= 0 && now >= scenario.end_at) break;

    // The line follows the model: down while unplugged, a fresh device when it comes back.
    const bool up = modem.line_up(now);
    if (!up && line.master >= 0) {
      close_line(line, link);
      pending_out.clear();
    }
    if (up && (line.master < 0 || modem.line_generation(now) != generation)) {
      if (line.master >= 0) close_line(line, link);
      if (!open_line(line, link)) break;
      generation = modem.line_generation(now);
    }

    if (!spool.empty() && now >= next_spool_scan) {
      next_spool_scan = now + 200;
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(spool, ec)) {
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
        if (!sender.empty()) modem.deliver(sender, stamp_now(), text, now);
      }
    }

    if (line.master >= 0) {
      pending_out += modem.take_output(now, 4096);
      if (!pending_out.empty()) {
        const ssize_t n = ::write(line.master, pending_out.data(), pending_out.size());
        if (n > 0) {
          if (transcript)
            transcript << now << " > " << printable(pending_out.substr(0, n)) << std::endl;
          pending_out.erase(0, static_cast<std::size_t>(n));
        }
      }
    }

    std::int64_t wait = 200;
    const std::int64_t next = modem.next_output_time(now);
    if (next - now < wait) wait = next - now;
    if (!pending_out.empty()) wait = 5;
    if (wait < 0) wait = 0;
    pollfd p{line.master, POLLIN, 0};
    const int ready = line.master >= 0 ? poll(&p, 1, static_cast<int>(wait)) : 0;
    if (line.master < 0) usleep(static_cast<useconds_t>(wait) * 1000);
    if (ready > 0 && (p.revents & POLLIN)) {
      char buf[512];
      const ssize_t n = ::read(line.master, buf, sizeof buf);
      if (n > 0) {
        if (transcript)
          transcript << now_ms() << " < " << printable(std::string(buf, n)) << std::endl;
        modem.input(buf, static_cast<std::size_t>(n), now_ms());
      }
    }
  }
  close_line(line, link);
  return 0;
}
