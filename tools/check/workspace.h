#pragma once
// The scratch site of mvo-check: a temporary directory holding a copy of a site's configuration
// files and an empty log directory, and a platform in virtual time around it (a console that
// keeps what is printed, the modem model on the port). The gateway's code runs against it as it
// would against the site, and whatever it logs stays in the scratch copy.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/core/modem_model.h"
#include "sim/core/sim_port.h"
#include "sim/core/virtual.h"

namespace mvo::check {

// The configuration files, in the order the gateway reads them.
inline constexpr const char* kConfigFiles[] = {"cfg.txt",          "stations.txt", "human.txt",
                                               "destinations.txt", "custom.txt",   "options.txt",
                                               "alarms.txt"};

class Workspace {
 public:
  // Copies the configuration files of `site_root` that can be read. Throws std::runtime_error
  // when no scratch directory can be made.
  explicit Workspace(const std::string& site_root);
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // The site's own file up to its byte 26, or nullopt when it cannot be read.
  std::optional<std::string> original(const std::string& name) const;
  // Replaces the scratch copy of a configuration file.
  void write(const std::string& name, const std::string& data);
  // The error-log tags written since the last call, in order.
  std::vector<std::string> take_tags();

  // Runs `work`; the console text printed before it halted, or nullopt when it did not halt.
  template <class Work>
  std::optional<std::string> halts(Work&& work);

 private:
  std::filesystem::path dir_;
  std::map<std::string, std::optional<std::string>> originals_;

 public:
  sim::VirtualClock clock;
  sim::VirtualWallClock wall{clock};
  sim::MemoryConsole console;
  sim::ModemModel modem;
  sim::SimPort port{clock, modem};
  platform::Site site;
  platform::Env env;
};

}  // namespace mvo::check

#include "common/halt.h"

template <class Work>
std::optional<std::string> mvo::check::Workspace::halts(Work&& work) {
  console.clear();
  try {
    work();
  } catch (const common::Halt&) {
    return console.text();
  }
  return std::nullopt;
}
