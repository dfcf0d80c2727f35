// The installer's steps around the service that the Windows Installer tables cannot express,
// run by mvo-<version>-win64.msi as custom actions from its Binary table (as LocalSystem):
//
//   mvo-setup-action stop-for-upgrade NAME   a running service: marked to start again, then stopped
//   mvo-setup-action stop NAME               a running service stopped
//   mvo-setup-action restart-if-marked NAME  started again if marked (the mark removed)
//   mvo-setup-action configure NAME          recovery actions, their flag, delayed automatic start
//
// The stop waits for the gateway's whole graceful stop (a report being forwarded goes to all its
// destinations first, up to 75 s), where the installer's own StopServices waits 30 s and would
// then replace files under a running program. The mark lives in the registry because the old
// product's removal, the new files and the restart are separate steps of the installation.
// Exit status 0 when done, 1 when a step failed (the installer goes on either way), 2 on usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr wchar_t kMarkKey[] = L"SOFTWARE\\MVO";
constexpr wchar_t kMarkValue[] = L"RestartAfterSetup";
// Longer than the gateway's bound on its stop (75 s), shorter than anyone's patience.
constexpr DWORD kStopLimitMs = 120000;
constexpr DWORD kPollMs = 500;

class Service {
 public:
  Service(const wchar_t *name, DWORD access) {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager_) service_ = OpenServiceW(manager_, name, access);
  }
  ~Service() {
    if (service_) CloseServiceHandle(service_);
    if (manager_) CloseServiceHandle(manager_);
  }
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;
  SC_HANDLE get() const { return service_; }
  DWORD state() const {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service_, &status) ? status.dwCurrentState : 0;
  }

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

bool running(DWORD state) {
  return state == SERVICE_RUNNING || state == SERVICE_START_PENDING ||
         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING ||
         state == SERVICE_PAUSED;
}

// Asks the service to stop and waits, polling its state, until it has stopped.
bool stop(const Service &service, const wchar_t *name) {
  SERVICE_STATUS status{};
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    std::fwprintf(stderr, L"%ls: stop refused (error %lu)\n", name, GetLastError());
    return false;
  }
  for (DWORD waited = 0; waited < kStopLimitMs; waited += kPollMs) {
    if (service.state() == SERVICE_STOPPED) {
      std::wprintf(L"%ls: stopped\n", name);
      return true;
    }
    Sleep(kPollMs);
  }
  std::fwprintf(stderr, L"%ls: not stopped after %lu s\n", name, kStopLimitMs / 1000);
  return false;
}

bool mark(bool set) {
  if (!set) {
    LSTATUS rc = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kMarkKey, kMarkValue);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kMarkKey);  // only when nothing else is in it
    return rc == ERROR_SUCCESS;
  }
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMarkKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  DWORD one = 1;
  LSTATUS rc = RegSetValueExW(key, kMarkValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one),
                              sizeof one);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

bool marked() {
  DWORD value = 0, size = sizeof value;
  return RegGetValueW(HKEY_LOCAL_MACHINE, kMarkKey, kMarkValue, RRF_RT_REG_DWORD, nullptr, &value,
                      &size) == ERROR_SUCCESS &&
         value == 1;
}

// Restarted 5 s after each of the first three failures; the fourth action, none, is the one the
// service manager repeats for every later failure, until a day without failure resets the count.
// The flag makes a stop with a non-zero exit code (a halt) a failure too.
bool configure(const Service &service, const wchar_t *name) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000},
                         {SC_ACTION_RESTART, 5000},
                         {SC_ACTION_RESTART, 5000},
                         {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 86400;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
  // USB modems need a moment after boot; a delayed start gives them about two minutes.
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  struct {
    DWORD level;
    void *info;
    const wchar_t *what;
  } steps[] = {{SERVICE_CONFIG_FAILURE_ACTIONS, &failure, L"recovery actions"},
               {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, L"recovery on a non-zero exit code"},
               {SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, L"delayed automatic start"}};
  bool ok = true;
  for (const auto &step : steps) {
    if (ChangeServiceConfig2W(service.get(), step.level, step.info)) {
      std::wprintf(L"%ls: %ls set\n", name, step.what);
    } else {
      std::fwprintf(stderr, L"%ls: %ls not set (error %lu)\n", name, step.what, GetLastError());
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc != 3) {
    std::fwprintf(stderr,
                  L"usage: mvo-setup-action stop-for-upgrade|stop|restart-if-marked|configure "
                  L"NAME\n");
    return 2;
  }
  const wchar_t *step = argv[1];
  const wchar_t *name = argv[2];
  bool upgrade = std::wcscmp(step, L"stop-for-upgrade") == 0;
  if (upgrade || std::wcscmp(step, L"stop") == 0) {
    Service service(name, SERVICE_QUERY_STATUS | SERVICE_STOP);
    if (!service.get()) return 0;  // nothing to stop
    DWORD state = service.state();
    // One already stopping is waited for, not marked: its files are replaced after its stop too.
    if (state != SERVICE_STOP_PENDING && !running(state)) return 0;
    if (upgrade && state != SERVICE_STOP_PENDING && !mark(true))
      std::fwprintf(stderr, L"%ls: not marked\n", name);
    return stop(service, name) ? 0 : 1;
  }
  if (std::wcscmp(step, L"restart-if-marked") == 0) {
    if (!marked()) return 0;
    mark(false);
    Service service(name, SERVICE_START);
    if (service.get() && StartServiceW(service.get(), 0, nullptr)) {
      std::wprintf(L"%ls: started again\n", name);
      return 0;
    }
    std::fwprintf(stderr, L"%ls: not started again (error %lu)\n", name, GetLastError());
    return 1;
  }
  if (std::wcscmp(step, L"configure") == 0) {
    // SC_ACTION_RESTART needs the right to start the service as well.
    Service service(name, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (!service.get()) {
      std::fwprintf(stderr, L"%ls: cannot open (error %lu)\n", name, GetLastError());
      return 1;
    }
    return configure(service, name) ? 0 : 1;
  }
  std::fwprintf(stderr, L"unknown step: %ls\n", step);
  return 2;
}
