// The port's device as the operating system sees it, learnt without opening it.
#include "driver/startup.h"
#include "tools/check/check.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_platform.h"
#endif

namespace mvo::check {

#ifdef _WIN32
PortState probe_port(const std::string&, const std::string& port_name) {
  PortState state;
  state.device = port_name.substr(std::string(driver::kDevicePrefix).size());
  // The DOS device names the system knows; whether this user may open one cannot be learnt
  // without opening it, so a known device counts as accessible.
  char target[512];
  state.exists = QueryDosDeviceA(state.device.c_str(), target, sizeof target) != 0;
  state.accessible = state.exists;
  return state;
}
#else
PortState probe_port(const std::string& site_root, const std::string& port_name) {
  PortState state;
  state.device = platform::posix::device_path(port_name);
  const std::string path = !state.device.empty() && state.device[0] != '/'
                               ? site_root + "/" + state.device
                               : state.device;
  struct stat info {};
  state.exists = ::stat(path.c_str(), &info) == 0;
  state.accessible = state.exists && ::access(path.c_str(), R_OK | W_OK) == 0;
  return state;
}
#endif

}  // namespace mvo::check
