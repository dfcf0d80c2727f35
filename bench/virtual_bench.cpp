// Figures of the gateway in virtual time, against the modem model with instant replies:
//   overhead.virtual  start-up, bring-up and N reports fanned out: what the prescribed pauses and
//                     time-outs alone cost (the real run is compared with it by bench/run)
//   latency.virtual   from a report landing in the store to the first AT+CMGS of its fan-out
//   heap.*            heap in use during a soak of 100,000 reports
//   capacity.*        reports per hour one gateway forwards with 1, 3, 6 and 11 destinations
//                     while its modem's store never runs dry
// usage: virtual_bench <site-with-configuration> <reports> <mode: overhead|latency|soak|capacity>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "driver/gateway.h"
#include "sim/core/modem_model.h"
#include "sim/core/sim_port.h"
#include "sim/core/virtual.h"

namespace fs = std::filesystem;
using namespace mvo;

namespace {

class NullConsole final : public platform::Console {
 public:
  void write(const std::string&) override {}
};

struct Done {};

struct World {
  explicit World(const fs::path& config, sim::ModemOptions options)
      : dir(fs::temp_directory_path() / ("mvo-bench-" + std::to_string(std::random_device{}()))),
        site(dir.string(), '/'),
        modem(std::move(options)),
        port(clock, modem),
        env{clock, wall, console, site, port} {
    fs::create_directories(dir / "log");
    fs::copy(config / "configuration", dir / "configuration", fs::copy_options::recursive);
  }
  ~World() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path dir;
  platform::Site site;
  sim::VirtualClock clock;
  sim::VirtualWallClock wall{clock};
  NullConsole console;
  sim::ModemModel modem;
  sim::SimPort port;
  platform::Env env;
};

sim::ModemOptions instant() {
  sim::ModemOptions o;
  o.latency_ms = 0;
  o.cops_delay_ms = 0;
  o.cmgs_delay_ms = 0;
  return o;
}

void run(World& w) {
  try {
    driver::run_gateway(w.env);
  } catch (const Done&) {
  } catch (const sim::SimulationEnd&) {
  }
}

constexpr const char* kReport = "10,2.5,c,400,e,f,1";
constexpr const char* kStamp = "24/05/01,10:00:00+00";

// Bytes in use from the heap, large mmapped blocks included.
std::size_t heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: virtual_bench <site> <reports> overhead|latency|soak|capacity\n");
    return 2;
  }
  // A buffer of our own for stdout: the library would allocate one at the first figure printed,
  // and the heap figures would show it as growth.
  static char out_buffer[4096];
  std::setvbuf(stdout, out_buffer, _IOLBF, sizeof out_buffer);
  const fs::path config = argv[1];
  const long reports = std::atol(argv[2]);
  const std::string mode = argv[3];

  if (mode == "overhead") {
    // Every report from Tank3 is due at three destinations (SMC, HMN, CST) in the example site.
    World w(config, instant());
    for (long i = 0; i < reports; ++i) w.modem.deliver("+4410", kStamp, kReport);
    long sent = 0;
    w.modem.on_submit = [&](const sim::Submitted&) {
      if (++sent == reports * 3) throw Done{};
    };
    run(w);
    std::printf("overhead.virtual_ms %lld ms -\n", static_cast<long long>(w.clock.now_ms()));
    return 0;
  }

  if (mode == "latency") {
    World w(config, instant());
    std::mt19937 rng(7);
    std::vector<std::int64_t> landed;
    std::int64_t t = 30000;
    for (long i = 0; i < reports; ++i) {
      t += std::uniform_int_distribution<std::int64_t>(20000, 40000)(rng);
      landed.push_back(t);
      w.modem.deliver("+4410", kStamp, kReport, t);
    }
    w.clock.stop_at(t + 60000);
    run(w);
    std::vector<std::int64_t> latency;
    const auto& cmds = w.modem.commands();
    const auto& times = w.modem.command_times();
    for (std::int64_t at : landed) {
      for (std::size_t i = 0; i < cmds.size(); ++i) {
        if (times[i] >= at && cmds[i].rfind("AT+CMGS=", 0) == 0) {
          latency.push_back(times[i] - at);
          break;
        }
      }
    }
    std::sort(latency.begin(), latency.end());
    std::printf("latency.virtual_median %lld ms -\n",
                static_cast<long long>(latency[latency.size() / 2]));
    std::printf("latency.virtual_max %lld ms -\n", static_cast<long long>(latency.back()));
    return 0;
  }

  if (mode == "soak") {
    sim::ModemOptions o = instant();
    o.keep_history = false;
    World w(config, o);
    w.port.keep_history(false);
    long forwarded = 0;
    long next_mark = 1000;
    std::size_t first = 0;
    // One report every 10 s of virtual time, delivered as the previous one is served.
    w.modem.deliver("+4410", kStamp, kReport, 10000);
    w.modem.on_submit = [&](const sim::Submitted&) {
      static int texts = 0;
      if (++texts % 3 != 0) return;
      ++forwarded;
      if (forwarded == next_mark) {
        const std::size_t heap = heap_in_use();
        if (first == 0) first = heap;
        std::printf("heap.after_%ld_reports %zu bytes %s\n", forwarded, heap,
                    forwarded == 1000 ? "-" : ("<=" + std::to_string(first)).c_str());
        std::fflush(stdout);
        next_mark *= 10;
      }
      if (forwarded == reports) throw Done{};
      w.modem.deliver("+4410", kStamp, kReport, w.clock.now_ms() + 10000);
    };
    run(w);
    return 0;
  }
  if (mode == "capacity") {
    // One station whose reports wait in the store without end; N SMC destinations, so that
    // every report is sent N times. Measured over `reports` reports after a few to settle, with
    // the modem model's own timing (submission result after 100 ms) and with a network that
    // takes 3 s to accept each text, as a busy cell can.
    constexpr long kSettle = 5;
    constexpr long kWaiting = 20;  // the model's store holds 30
    for (const std::int64_t cmgs_ms : {std::int64_t{100}, std::int64_t{3000}}) {
      for (const int destinations : {1, 3, 6, 11}) {
        sim::ModemOptions o;
        o.cmgs_delay_ms = cmgs_ms;
        o.keep_history = false;
        World w(config, o);
        w.port.keep_history(false);
        {
          std::ofstream out(w.dir / "configuration" / "destinations.txt", std::ios::trunc);
          for (int d = 0; d < destinations; ++d) out << "\"D" << d << "\";\"+10" << d << "\";SMC\n";
        }
        for (long i = 0; i < kWaiting; ++i) w.modem.deliver("+4410", kStamp, kReport);
        long texts = 0;
        std::int64_t t0 = 0;
        w.modem.on_submit = [&](const sim::Submitted&) {
          if (++texts % destinations != 0) return;
          const long done = texts / destinations;
          if (done == kSettle) t0 = w.clock.now_ms();
          if (done == kSettle + reports) {
            const double hours = static_cast<double>(w.clock.now_ms() - t0) / 3600000.0;
            std::printf("capacity.destinations_%d%s %.0f reports/h -\n", destinations,
                        cmgs_ms == 100 ? "" : ".slow_network",
                        static_cast<double>(reports) / hours);
            throw Done{};
          }
          w.modem.deliver("+4410", kStamp, kReport);
        };
        run(w);
      }
    }
    return 0;
  }
  return 2;
}
