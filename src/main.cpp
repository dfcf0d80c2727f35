// mvo-gateway: builds the real platform objects and runs the gateway in the current directory.
// It reads no input; its arguments are only --help and --version. MVO_TRACE, when set, names a
// file that receives the modem dialogue byte for byte (platform/trace_port.h); unset, nothing
// wraps the port. Under a service manager: NOTIFY_SOCKET and WATCHDOG_USEC (systemd's notices),
// JOURNAL_STREAM (the console as journal lines) and MVO_ON_HALT=exit (a halt ends the process
// with status 1 so that the manager starts it again) are read; see mvo-gateway(8).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "common/halt.h"
#include "common/version.h"
#include "driver/gateway.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "platform/durable.h"
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

namespace {

constexpr const char* kUsage =
    "usage: mvo-gateway [--help | --version]\n"
    "Runs the SMS gateway of the site in the current directory: configuration/ is read once,\n"
    "log/ is written, and the modem named in configuration/cfg.txt is polled until the process\n"
    "is asked to stop (SIGTERM, SIGINT, SIGHUP, Ctrl-C). A report being forwarded is finished\n"
    "first. See mvo-gateway(8).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::printf("mvo-gateway %s\n", mvo::common::kVersion);
      return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
  }
#ifdef SIGPIPE
  // A console that goes away (a closed pipe) must not end the gateway: its writes fail and it
  // goes on, as on Windows.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  mvo::platform::Service service;
  os::install_stop_handlers(service.stop);
  const std::unique_ptr<mvo::platform::Notifier> notifier = os::service_notifier();
  service.notifier = notifier.get();
  const char* on_halt = std::getenv("MVO_ON_HALT");
  service.exit_on_halt = on_halt != nullptr && std::strcmp(on_halt, "exit") == 0;
  service.version = mvo::common::kVersion;
  service.pid = os::process_id();

  // Records of state reach the disk before what depends on them (the SIM's PIN) goes on.
  static os::DiskFiles disk;
  mvo::platform::set_durable_files(&disk);
  os::SteadyClock clock;
  os::LocalWallClock wall;
  os::StdoutConsole plain;
#ifdef _WIN32
  mvo::platform::Console& console = plain;
#else
  os::JournalConsole journal;
  mvo::platform::Console& console =
      os::stdout_is_journal() ? static_cast<mvo::platform::Console&>(journal) : plain;
#endif
  const mvo::platform::Site site = os::current_site();
  NativePort port;
  std::optional<mvo::platform::TracePort> traced;
  if (const char* trace = std::getenv("MVO_TRACE"); trace != nullptr && *trace != '\0') {
    traced.emplace(port, clock, wall, trace);
    if (!traced->ok()) std::fprintf(stderr, "mvo-gateway: cannot write the trace %s\n", trace);
  }
  mvo::platform::SerialPort& modem_port =
      traced ? *traced : static_cast<mvo::platform::SerialPort&>(port);
  mvo::platform::Env env{clock, wall, console, site, modem_port, &service};
  modem_port.watch_writes([&env] { return mvo::logs::write_pause(env); });
  int status = 0;
  try {
    status = mvo::driver::run_gateway(env);
  } catch (const mvo::common::Halt&) {
    mvo::logs::set_halted(env);
    mvo::logs::flush_console(env);
    // Halted: no further work. Under a service manager the process ends, so that it is started
    // again; otherwise it waits, the message on the console, until the operator ends it.
    if (!service.exit_on_halt) {
      while (service.stop.requested == 0) clock.sleep_ms(60000);
    }
    status = 1;
  }
  mvo::logs::flush_console(env);
#ifdef _WIN32
  os::stop_finished();
#endif
  return status;
}
