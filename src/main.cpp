// mvo-gateway: builds the real platform objects and runs the gateway in the current directory.
// It reads no arguments and no input.
#include "common/halt.h"
#include "driver/gateway.h"

#ifdef _WIN32
#include "platform/win32/win32_platform.h"
namespace os = mvo::platform::win32;
#else
#include "platform/posix/posix_platform.h"
namespace os = mvo::platform::posix;
#endif

int main() {
  os::SteadyClock clock;
  os::LocalWallClock wall;
  os::StdoutConsole console;
  const mvo::platform::Site site = os::current_site();
  os::NativePort port;
  mvo::platform::Env env{clock, wall, console, site, port};
  try {
    return mvo::driver::run_gateway(env);
  } catch (const mvo::common::Halt&) {
    // Halted: no further work and no exit until the operator ends the process.
    for (;;) clock.sleep_ms(60000);
  }
}
