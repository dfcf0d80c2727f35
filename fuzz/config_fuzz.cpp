// The configuration: the five files of a site cut from one input (cfg.txt, stations.txt,
// human.txt, destinations.txt, custom.txt, separated by byte 0xff; a file the input does not
// reach is absent). A configuration either loads or halts with its message; one that loads must
// hold only what the loaders promise, and every text composed from it must be fit to send.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/halt.h"
#include "driver/gateway.h"
#include "driver/startup.h"
#include "fuzz/support.h"

namespace {

using namespace mvo;
using fuzz::check;

// A number as check_cell_characters leaves it: '+' or '*' only first, then digits.
bool number_ok(const std::string& n) {
  if (n.size() > config::kMaxNumberLength) return false;
  for (std::size_t i = 0; i < n.size(); ++i) {
    const char c = n[i];
    if (!((c >= '0' && c <= '9') || (i == 0 && (c == '+' || c == '*')))) return false;
  }
  return true;
}

void check_tables(const config::Tables& t) {
  const std::size_t human = t.human_texts.size();
  check(!t.stations.empty() && t.stations.size() <= config::kMaxStations, "station count",
        std::to_string(t.stations.size()));
  for (const auto& s : t.stations) {
    check(s.name.size() <= config::kMaxNameLength, "station name too long", fuzz::shown(s.name));
    check(number_ok(s.number), "station number", fuzz::shown(s.number));
  }
  check(human <= config::kMaxStatusCodes, "human text count", std::to_string(human));
  for (const auto& h : t.human_texts) {
    check(h.size() <= config::kMaxStatusTextLength, "human text too long", fuzz::shown(h));
  }
  check(!t.destinations.empty() && t.destinations.size() <= config::kMaxDestinations,
        "destination count", std::to_string(t.destinations.size()));
  for (std::size_t d = 0; d < t.destinations.size(); ++d) {
    const auto& dest = t.destinations[d];
    check(dest.name.size() <= config::kMaxNameLength, "destination name too long",
          fuzz::shown(dest.name));
    check(number_ok(dest.number), "destination number", fuzz::shown(dest.number));
    check(dest.type == "SMC" || dest.type == "HMN" || dest.type == "HMV" || dest.type == "CST",
          "destination type", fuzz::shown(dest.type));
    for (std::size_t c = human; c < config::kMaxStatusCodes; ++c) {
      check(!t.subscribed[c][d], "subscription to a status code without a human text",
            std::to_string(c));
    }
  }
  check(t.custom_templates.size() <= config::kMaxStatusCodes, "template count",
        std::to_string(t.custom_templates.size()));
  for (const auto& tp : t.custom_templates) {
    check(tp.size() <= config::kMaxStatusTextLength, "template too long", fuzz::shown(tp));
  }
}

// Every destination's text for each status code, from the first and the last station.
void check_compositions(const config::Tables& t) {
  driver::Report report;
  report.text = "10,2.5,c,400,e,f,1";
  report.fields = {"10", "2.5", "c", "400", "e", "f", "1"};
  for (std::size_t s : {std::size_t{0}, t.stations.size() - 1}) {
    report.station_index = static_cast<int>(s);
    for (std::size_t c = 0; c < t.human_texts.size(); ++c) {
      report.status_code = static_cast<int>(c);
      for (std::size_t d = 0; d < t.destinations.size(); ++d) {
        fuzz::check_composed(driver::compose_text(t, report, d),
                             "station " + std::to_string(s) + " code " + std::to_string(c) +
                                 " destination " + std::to_string(d));
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kFiles[] = {"cfg.txt", "stations.txt", "human.txt", "destinations.txt",
                                       "custom.txt"};
  const std::vector<std::string> parts = fuzz::split(data, size, 5);
  for (std::size_t i = 0; i < 5; ++i) {
    fuzz::put_file("configuration", kFiles[i], i < parts.size() ? &parts[i] : nullptr);
  }
  fuzz::clear_dir("log");
  fuzz::SilentPeer peer;
  fuzz::World world(peer);
  platform::Env& env = world.env;

  try {
    const std::string port_name = driver::load_port_name(env);
    check(port_name.rfind(driver::kDevicePrefix, 0) == 0 &&
              port_name.size() <= driver::kPortNameSize - 1,
          "port name", fuzz::shown(port_name));
  } catch (const common::Halt&) {
  }
  try {
    const config::Tables tables = config::load_all(env);
    check_tables(tables);
    check_compositions(tables);
  } catch (const common::Halt&) {
    // A configuration fault: the loader has printed its message; nothing more to hold.
  }
  return 0;
}
