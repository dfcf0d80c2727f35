// The gateway against each modem family of the simulator (sim/core/profile.h), in virtual time,
// once with the options.txt lines the README's "Modems" table gives for it and once with none.
//
// The same seeded workload for every run: two hours of reports from three stations, one every
// 20 to 100 s, a burst of 40 at once (more than some stores hold), and after every sixth text
// sent a report that lands while the gateway sends; two power cuts (at 30 min for 20 s, at
// 80 min for 60 s); then 40 minutes without new reports for the last to be served. Each report
// is due as "<station>,<text>" at two SMC destinations.
//
// Per run, one line: delivered (reports put into the modem), lost (reports a destination never
// received with nothing in the traffic log to say why), sent twice (texts a destination received
// more than once), false refused (texts the traffic log records "refused" that the phone received),
// bring-ups (bring-ups begun; the families make 3 resets: their start and the two power cuts) and
// seconds off the air (from a power cut, or a bring-up begun while on the air, to the next "OUR
// OPERATOR TODAY"). It exits 1 when a run with the recommended options misses a target: lost 0,
// sent twice 0, false refused 0, one bring-up per reset. Also printed: not-sent, the texts a
// destination did not receive that the traffic log says failed (a power cut in the middle of a
// fan-out, say); "lost" counts only those nothing explains.
//   usage: zoo_bench [profile]     MVO_ZOO_SHOW=1 prints the console and the lost reports (stderr)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/gateway.h"
#include "logs/records.h"
#include "sim/core/modem_model.h"
#include "sim/core/sim_port.h"
#include "sim/core/virtual.h"

namespace fs = std::filesystem;
using namespace mvo;

namespace {

constexpr std::int64_t kMinute = 60000;
constexpr std::int64_t kDeliverFor = 120 * kMinute;
constexpr std::int64_t kEnd = kDeliverFor + 40 * kMinute;
constexpr std::pair<std::int64_t, std::int64_t> kPowerCuts[] = {{30 * kMinute, 20000},
                                                                {80 * kMinute, 60000}};
constexpr int kResets = 1 + static_cast<int>(std::size(kPowerCuts));
constexpr const char* kStations[] = {"+4410", "+4420", "+4430"};
constexpr const char* kDestinations[] = {"+111", "+222"};
constexpr const char* kStamp = "24/05/01,10:00:00+00";

// The options.txt lines a site with each family needs (the README's "Modems" table).
const std::map<std::string, std::vector<std::string>> kRecommended = {
    {"industrial-gsm", {}},
    {"lte-module", {"storage SM"}},
    {"usb-stick", {"init AT^CURC=0"}},
    {"classic-terminal", {}}};

// Counts bring-ups and the time off the air from what the gateway prints.
class Watch final : public platform::Console {
 public:
  explicit Watch(sim::VirtualClock& clock) : clock_(clock) {}
  void write(const std::string& text) override {
    const std::int64_t now = clock_.now_ms();
    if (std::getenv("MVO_ZOO_SHOW") != nullptr)
      std::fprintf(stderr, "[%lld] %s", static_cast<long long>(now), text.c_str());
    for (const auto& [at, duration] : kPowerCuts) {
      if (at <= now && at > seen_cut_) {
        seen_cut_ = at;
        off(at);
      }
    }
    if (text.find("...wait...(for about two minutes)") != std::string::npos) {
      ++bring_ups;
      off(now);
    }
    if (text.find("OUR OPERATOR TODAY") != std::string::npos && off_since_ >= 0) {
      off_ms += now - off_since_;
      off_since_ = -1;
    }
  }
  void finish(std::int64_t now) {
    if (off_since_ >= 0) off_ms += now - off_since_;
    off_since_ = -1;
  }
  int bring_ups = 0;
  std::int64_t off_ms = 0;

 private:
  void off(std::int64_t at) {
    if (off_since_ < 0) off_since_ = at;
  }
  sim::VirtualClock& clock_;
  std::int64_t seen_cut_ = -1;
  std::int64_t off_since_ = 0;  // off the air from the start
};

struct Figures {
  int delivered = 0, lost = 0, twice = 0, false_refused = 0, failed = 0, bring_ups = 0;
  int recorded = 0;  // texts in the traffic log: none would leave "false refused" unjudged
  std::int64_t off_s = 0;
};

Figures run(const std::string& profile, const std::vector<std::string>& options) {
  const fs::path dir =
      fs::temp_directory_path() / ("mvo-zoo-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir / "configuration");
  fs::create_directories(dir / "log");
  auto write = [&](const char* name, const std::string& text) {
    std::ofstream(dir / "configuration" / name) << text;
  };
  write("cfg.txt", "port modem\n");
  write("stations.txt", "\"Tank3\";\"+4410\"\n\"Pump North\";\"+4420\"\n\"Gauge 7\";\"+4430\"\n");
  write("human.txt", "Normal\nOverflow\nLow level\n");
  write("destinations.txt", "\"Control room\";\"+111\";SMC\n\"Night desk\";\"+222\";SMC\n");
  std::string lines = "traffic on\n";
  for (const std::string& line : options) lines += line + "\n";
  write("options.txt", lines);

  sim::ModemOptions o;
  use_profile(*sim::profile_named(profile), o);
  o.seed = 35;
  sim::VirtualClock clock;
  sim::VirtualWallClock wall{clock};
  Watch console(clock);
  platform::Site site(dir.string(), '/');
  sim::ModemModel modem(o);
  sim::SimPort port(clock, modem);
  platform::Service service;  // where options.txt turns the traffic log on
  platform::Env env{clock, wall, console, site, port, &service};

  std::mt19937 rng(35);
  std::vector<std::string> due;  // "<station>,<text>" of each report delivered
  auto deliver = [&](std::int64_t at) {
    const int n = static_cast<int>(due.size());
    const std::string station = kStations[n % 3];
    char text[64];
    std::snprintf(text, sizeof text, "n%d,L%d,c,V%d,e,f,%d", n, n, n, n % 3);
    due.push_back(station + "," + text);
    modem.deliver(station, kStamp, text, at);
  };
  for (std::int64_t t = 0;
       (t += std::uniform_int_distribution<std::int64_t>(20000, 100000)(rng)) < kDeliverFor;) {
    deliver(t);
  }
  for (int i = 0; i < 40; ++i) deliver(50 * kMinute);
  for (const auto& [at, duration] : kPowerCuts) modem.unplug(at, duration, true);
  std::map<std::string, int> received;  // "<number>|<text>" -> times
  int texts = 0;
  modem.on_submit = [&](const sim::Submitted& s) {
    ++received[s.number + "|" + s.text.substr(0, s.text.size() - 1)];
    // A report that lands in the store while the gateway sends.
    if (++texts % 6 == 0 && clock.now_ms() < kDeliverFor) {
      deliver(clock.now_ms() + std::uniform_int_distribution<std::int64_t>(1, 3000)(rng));
    }
  };
  clock.stop_at(kEnd);
  try {
    driver::run_gateway(env);
  } catch (const sim::SimulationEnd&) {
  }
  console.finish(kEnd);

  Figures f;
  std::ifstream traffic(dir / "log" / "traffic.log");
  std::set<std::string> told;  // texts the traffic log says did not go, or may not have gone
  for (std::string line; std::getline(traffic, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    logs::TrafficRecord r;
    if (!logs::parse_traffic_record(line, r) || r.direction != "out") continue;
    ++f.recorded;
    if (r.outcome == "sent") continue;
    std::string text = r.text;
    if (!text.empty() && text.back() == '\x1a') text.pop_back();
    const std::string key = r.number + "|" + text;
    told.insert(key);
    if (r.outcome == "refused") f.false_refused += received.count(key) > 0 ? 1 : 0;
  }
  f.delivered = static_cast<int>(due.size());
  for (const std::string& text : due) {
    bool lost = false;
    for (const char* number : kDestinations) {
      const std::string key = std::string(number) + "|" + text;
      const int times = received[key];
      lost = lost || (times == 0 && told.count(key) == 0);
      f.twice += times > 1 ? 1 : 0;
      f.failed += times == 0 && told.count(key) > 0 ? 1 : 0;
    }
    f.lost += lost ? 1 : 0;
    if (lost && std::getenv("MVO_ZOO_SHOW") != nullptr)
      std::fprintf(stderr, "LOST %s\n", text.c_str());
  }
  f.bring_ups = console.bring_ups;
  f.off_s = console.off_ms / 1000;
  std::error_code ec;
  fs::remove_all(dir, ec);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  std::printf("%-17s %-22s %9s %5s %10s %13s %9s %14s %8s\n", "profile", "options", "delivered",
              "lost", "sent-twice", "false-refused", "bring-ups", "s-off-the-air", "not-sent");
  bool met = true;
  for (const auto& p : sim::profiles()) {
    if (!only.empty() && p.name != only) continue;
    const std::vector<std::string>& recommended = kRecommended.at(p.name);
    for (const bool with : {true, false}) {
      if (!with && recommended.empty()) continue;  // the same run again
      const Figures f = run(p.name, with ? recommended : std::vector<std::string>{});
      std::string label;
      for (const std::string& line : with ? recommended : std::vector<std::string>{}) {
        if (!label.empty()) label += ", ";
        label += line;
      }
      if (label.empty()) label = with ? "(none needed)" : "(none)";
      std::printf("%-17s %-22s %9d %5d %10d %13d %9d %14lld %8d\n", p.name.c_str(), label.c_str(),
                  f.delivered, f.lost, f.twice, f.false_refused, f.bring_ups,
                  static_cast<long long>(f.off_s), f.failed);
      std::fflush(stdout);
      if (f.recorded == 0 && f.lost < f.delivered) {
        std::fprintf(stderr, "zoo_bench: no traffic log, the texts cannot be judged\n");
        return 2;
      }
      if (with) {
        met = met && f.lost == 0 && f.twice == 0 && f.false_refused == 0 && f.bring_ups == kResets;
      }
    }
  }
  return met ? 0 : 1;
}
