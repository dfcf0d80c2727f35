// The gateway as a Windows service: the dispatcher, the control handler, SetServiceStatus, and
// the Event Log as its console.
#include <windows.h>

#include <cstdio>
#include <string>

#include "logs/life.h"
#include "mvo_messages.h"
#include "platform/native.h"

namespace mvo::platform::native {

namespace {

std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

// What the dispatcher's callbacks reach; set by run_service for the life of the dispatcher.
std::wstring g_name;
const std::function<int(ServiceStatus&)>* g_body = nullptr;
ServiceStatus* g_status = nullptr;
SERVICE_STATUS_HANDLE g_handle = nullptr;

class Manager final : public ControlManager {
 public:
  void report(const ServiceReport& r) override {
    if (g_handle == nullptr) return;
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = r.state;
    s.dwControlsAccepted = r.controls_accepted;
    s.dwWin32ExitCode = r.exit_code;
    s.dwServiceSpecificExitCode = r.service_exit_code;
    s.dwCheckPoint = r.checkpoint;
    s.dwWaitHint = r.wait_hint_ms;
    SetServiceStatus(g_handle, &s);
  }
};

// On the dispatcher's thread: a stop is asked for at once, and the gateway's thread does it.
DWORD WINAPI on_control(DWORD code, DWORD, void*, void*) {
  if (g_status == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  return g_status->control(code) ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, LPWSTR*) {
  g_handle = RegisterServiceCtrlHandlerExW(g_name.c_str(), on_control, nullptr);
  if (g_handle == nullptr) return;
  g_status->start();
  g_status->stopped((*g_body)(*g_status));
}

}  // namespace

int run_service(const std::string& name, const std::function<int(ServiceStatus&)>& body) {
  Manager manager;
  ServiceStatus status(manager, [](bool urgent) { request_stop(urgent); });
  g_name = wide(name);
  g_body = &body;
  g_status = &status;
  SERVICE_TABLE_ENTRYW table[] = {{g_name.data(), service_main}, {nullptr, nullptr}};
  // Returns once the service has stopped.
  if (!StartServiceCtrlDispatcherW(table)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      std::fprintf(stderr,
                   "mvo-gateway: --service is for the Service Control Manager (sc start %s)\n",
                   name.c_str());
    } else {
      std::fprintf(stderr, "mvo-gateway: the service dispatcher failed (%lu)\n", error);
    }
    return 2;
  }
  return 0;
}

EventLogConsole::EventLogConsole(const char* source)
    : source_(RegisterEventSourceW(nullptr, wide(source).c_str())) {}

EventLogConsole::~EventLogConsole() {
  if (source_ != nullptr) DeregisterEventSource(static_cast<HANDLE>(source_));
}

void EventLogConsole::line(int priority, const std::string& text) {
  if (source_ == nullptr) return;
  WORD type = EVENTLOG_INFORMATION_TYPE;
  DWORD id = MVO_EVENT_INFORMATION;
  if (priority <= logs::kPriorityError) {
    type = EVENTLOG_ERROR_TYPE;
    id = MVO_EVENT_ERROR;
  } else if (priority == logs::kPriorityWarning) {
    type = EVENTLOG_WARNING_TYPE;
    id = MVO_EVENT_WARNING;
  }
  const std::wstring w = wide(text);
  const wchar_t* strings[] = {w.c_str()};
  ReportEventW(static_cast<HANDLE>(source_), type, 0, id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace mvo::platform::native
