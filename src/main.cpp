// mvo-gateway: builds the real platform objects and runs the gateway in its site: the current
// directory, or the one --site names. It reads no input; its arguments are --help, --version,
// --site DIR and (Windows) --service NAME. MVO_TRACE, when set, names a file that receives the
// modem dialogue byte for byte (platform/trace_port.h); unset, nothing wraps the port. Under a
// service manager: NOTIFY_SOCKET and WATCHDOG_USEC (systemd's notices), JOURNAL_STREAM (the
// console as journal lines) and MVO_ON_HALT=exit (a halt ends the process with status 1 so that
// the manager starts it again) are read; as a Windows service the Service Control Manager gets
// the same notices and the Event Log the console's lines; see mvo-gateway(8).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

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
    "usage: mvo-gateway [--site DIR] [--service NAME] | --help | --version\n"
    "Runs the SMS gateway of the site in the current directory, or in DIR: configuration/ is\n"
    "read once, log/ is written, and the modem named in configuration/cfg.txt is polled until\n"
    "the process is asked to stop (SIGTERM, SIGINT, SIGHUP, Ctrl-C). A report being forwarded\n"
    "is finished first. On Windows, --service NAME runs it as the service NAME of the Service\n"
    "Control Manager, its events in the Application log (source MVO). See mvo-gateway(8).\n";

// The gateway in the working directory, with the real platform objects, as its console and the
// service manager it runs under see it. Its exit status.
int run_here(mvo::platform::Service& service, mvo::platform::Console& console) {
  // Records of state reach the disk before what depends on them (the SIM's PIN) goes on.
  static os::DiskFiles disk;
  mvo::platform::set_durable_files(&disk);
  os::SteadyClock clock;
  os::LocalWallClock wall;
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
  const int status = mvo::driver::run_site(env);
  mvo::logs::flush_console(env);
  return status;
}

void describe(mvo::platform::Service& service) {
  service.version = mvo::common::kVersion;
  service.pid = os::process_id();
}

std::string no_site(const char* dir) {
  return std::string("mvo-gateway: cannot enter the site directory ") + dir;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("mvo-gateway %s\n", mvo::common::kVersion);
    return 0;
  }
  const char* site_dir = nullptr;
  const char* service_name = nullptr;
  for (int i = 1; i < argc; i += 2) {
    const char** value = std::strcmp(argv[i], "--site") == 0      ? &site_dir
                         : std::strcmp(argv[i], "--service") == 0 ? &service_name
                                                                  : nullptr;
    if (value == nullptr || *value != nullptr || i + 1 >= argc || argv[i + 1][0] == '\0') {
      std::fputs(kUsage, stderr);
      return 2;
    }
    *value = argv[i + 1];
  }
  if (service_name != nullptr) {
#ifdef _WIN32
    return os::run_service(service_name, [site_dir](mvo::platform::ServiceStatus& status) {
      mvo::platform::Service service;
      os::install_service_stop(service.stop);
      service.notifier = &status;
      // No operator waits at a service's console: a halt ends it, with its exit code.
      service.exit_on_halt = true;
      describe(service);
      os::EventLogConsole console("MVO");
      if (site_dir != nullptr && !os::enter_directory(site_dir)) {
        console.line(mvo::logs::kPriorityError, no_site(site_dir));
        return 2;
      }
      return run_here(service, console);
    });
#else
    std::fputs(
        "mvo-gateway: --service is for Windows; systemd runs the gateway as "
        "mvo-gateway@NAME (see mvo-gateway(8))\n",
        stderr);
    return 2;
#endif
  }
  if (site_dir != nullptr && !os::enter_directory(site_dir)) {
    std::fprintf(stderr, "%s\n", no_site(site_dir).c_str());
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
  describe(service);
  os::StdoutConsole plain;
#ifdef _WIN32
  const int status = run_here(service, plain);
  os::stop_finished();
  return status;
#else
  os::JournalConsole journal;
  return run_here(service,
                  os::stdout_is_journal() ? static_cast<mvo::platform::Console&>(journal) : plain);
#endif
}
