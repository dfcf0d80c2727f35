// mvo-gateway: builds the real platform objects and runs the gateway in the current directory.
// It reads no arguments and no input. MVO_TRACE, when set, names a file that receives the modem
// dialogue byte for byte (platform/trace_port.h); unset, nothing wraps the port.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/halt.h"
#include "driver/gateway.h"
#include "platform/native.h"
#include "platform/trace_port.h"
#ifdef _WIN32
#include "platform/win32/win32_platform.h"
using mvo::platform::win32::NativePort;
#else
#include "platform/posix/posix_platform.h"
using mvo::platform::posix::NativePort;
#endif

namespace os = mvo::platform::native;

int main() {
#ifdef SIGPIPE
  // A console that goes away (a closed pipe, an ended ssh session) must not end the gateway: its
  // writes fail and it goes on, as on Windows. It is ended by Ctrl-C or SIGTERM.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
#endif
  os::SteadyClock clock;
  os::LocalWallClock wall;
  os::StdoutConsole console;
  const mvo::platform::Site site = os::current_site();
  NativePort port;
  std::optional<mvo::platform::TracePort> traced;
  if (const char* trace = std::getenv("MVO_TRACE"); trace != nullptr && *trace != '\0') {
    traced.emplace(port, clock, wall, trace);
    if (!traced->ok()) std::fprintf(stderr, "mvo-gateway: cannot write the trace %s\n", trace);
  }
  mvo::platform::SerialPort& modem_port =
      traced ? *traced : static_cast<mvo::platform::SerialPort&>(port);
  mvo::platform::Env env{clock, wall, console, site, modem_port};
  try {
    return mvo::driver::run_gateway(env);
  } catch (const mvo::common::Halt&) {
    // Halted: no further work and no exit until the operator ends the process.
    for (;;) clock.sleep_ms(60000);
  }
}
