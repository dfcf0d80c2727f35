#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <cstdio>
#include <ctime>
#include <vector>

namespace mvo::platform::native {

// The performance counter: monotonic and fine, where GetTickCount64 moves in steps of ~16 ms.
std::int64_t SteadyClock::now_ms() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  const std::int64_t ticks = static_cast<std::int64_t>(c.QuadPart);
  return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

namespace {

// Set by install_stop_handlers: the stop state a console event sets, an event that cuts a sleep
// short, and whether the process has finished (a close event waits for it).
StopState* g_stop = nullptr;
// 4.5 s of the 5 s the system gives a console process after close, logoff and shutdown.
constexpr int kEndingWaitSteps = 45;
HANDLE g_stop_event = nullptr;
volatile LONG g_finished = 0;

// The thread that runs the gateway: the process's main thread in a console, the service's own
// thread under the Service Control Manager. A stop cancels its port read.
HANDLE g_gateway_thread = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
  if (g_stop == nullptr) return FALSE;
  // After close, logoff and shutdown the system ends the process about 5 s after the event,
  // whether or not this has returned: the stop is urgent, so the fan-out names what it cannot
  // send within its short patience, before the gateway's shut-down.
  const bool ending =
      type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
  request_stop(ending);
  if (ending) {
    for (int i = 0; i < kEndingWaitSteps && g_finished == 0; ++i) Sleep(100);
  }
  return TRUE;
}

void keep_stop(StopState& stop) {
  g_stop = &stop;
  g_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_gateway_thread,
                  0, FALSE, DUPLICATE_SAME_ACCESS);
}

}  // namespace

void request_stop(bool urgent) {
  if (g_stop == nullptr) return;
  if (urgent) g_stop->urgent = 1;
  g_stop->requested = 1;
  if (g_stop_event != nullptr) SetEvent(g_stop_event);
  // A port read in progress (up to 30 s for a text's result) ends now with what came, so the
  // gateway sees the request at once.
  if (g_gateway_thread != nullptr) CancelSynchronousIo(g_gateway_thread);
}

void install_stop_handlers(StopState& stop) {
  keep_stop(stop);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// A service has no console: its stop comes from the control handler (request_stop). Nor does it
// take the console's events: a service gets the logoff event of every user who logs off.
void install_service_stop(StopState& stop) { keep_stop(stop); }

bool enter_directory(const std::string& dir) { return SetCurrentDirectoryA(dir.c_str()) != 0; }

void stop_finished() { g_finished = 1; }

std::unique_ptr<Notifier> service_notifier() { return nullptr; }

long long process_id() { return static_cast<long long>(GetCurrentProcessId()); }

std::int64_t LocalWallClock::utc_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void SteadyClock::sleep_ms(std::int64_t ms) {
  if (g_stop != nullptr && g_stop_event != nullptr && !g_stop->cuts_waits()) {
    // A stop may come: the event cuts the sleep short.
    const DWORD step = ms > 0x7ffffffe ? 0x7ffffffe : static_cast<DWORD>(ms);
    if (g_stop->requested == 0) {
      WaitForSingleObject(g_stop_event, step);
      return;
    }
  }
  if (g_stop != nullptr && g_stop->cuts_waits()) return;
  while (ms > 0) {
    const DWORD step = ms > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(ms);
    Sleep(step);
    ms -= step;
  }
}

std::tm LocalWallClock::local_now() {
  std::time_t now = std::time(nullptr);
  std::tm out{};
  localtime_s(&out, &now);
  return out;
}

void StdoutConsole::write(const std::string& text) {
  // A console that went away is no reason to stop: the logs hold every event.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  std::clearerr(stdout);
}

Site current_site() {
  std::vector<char> buf(MAX_PATH + 1);
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(buf.size()), buf.data());
  if (n >= buf.size()) {
    buf.resize(n + 1);
    n = GetCurrentDirectoryA(static_cast<DWORD>(buf.size()), buf.data());
  }
  std::string root(buf.data(), n);
  // "C:\" already ends in the separator that the paths add.
  if (!root.empty() && root.back() == '\\') root.pop_back();
  return Site(root, '\\');
}

}  // namespace mvo::platform::native

namespace mvo::platform::win32 {

struct CommPort::State {
  DCB dcb{};
};

CommPort::~CommPort() {
  if (is_open()) CloseHandle(static_cast<HANDLE>(handle_));
  delete state_;
}

bool CommPort::is_open() const {
  return handle_ != nullptr && static_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE;
}

int CommPort::last_error() const { return static_cast<int>(error_); }

bool CommPort::open(const std::string& device) {
  // A handle that could not be closed yet is still the port: a failed open must not lose it.
  if (is_open()) {
    error_ = ERROR_BUSY;
    return false;
  }
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error_ = GetLastError();
    handle_ = nullptr;
    return false;
  }
  handle_ = h;
  if (state_ == nullptr) state_ = new State;
  return true;
}

bool CommPort::get_settings(LineSettings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(static_cast<HANDLE>(handle_), &dcb)) {
    error_ = GetLastError();
    return false;
  }
  state_->dcb = dcb;
  settings.baud_rate = dcb.BaudRate;
  settings.byte_size = dcb.ByteSize;
  settings.parity = dcb.Parity;
  settings.stop_bits = dcb.StopBits;
  return true;
}

bool CommPort::set_settings(const LineSettings& settings) {
  DCB dcb = state_->dcb;  // every other field as the driver reported it
  dcb.BaudRate = settings.baud_rate;
  dcb.ByteSize = settings.byte_size;
  dcb.Parity = settings.parity;
  dcb.StopBits = settings.stop_bits;
  if (!SetCommState(static_cast<HANDLE>(handle_), &dcb)) {
    error_ = GetLastError();
    return false;
  }
  state_->dcb = dcb;
  return true;
}

bool CommPort::set_timeouts(const Timeouts& timeouts) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 0;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = timeouts.read_ms;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = timeouts.write_ms;
  if (!SetCommTimeouts(static_cast<HANDLE>(handle_), &t)) {
    error_ = GetLastError();
    return false;
  }
  return true;
}

bool CommPort::purge() {
  // Input only, as on POSIX. A TX purge could take back output: Wine flushes both queues of the
  // tty, and a USB serial adapter's driver discards what a completed WriteFile already handed to
  // the adapter's own buffer. Every write has completed before it returned, so nothing is pending.
  if (!PurgeComm(static_cast<HANDLE>(handle_), PURGE_RXABORT | PURGE_RXCLEAR)) {
    error_ = GetLastError();
    return false;
  }
  return true;
}

bool CommPort::read(char* buffer, std::size_t size, std::size_t& got) {
  DWORD n = 0;
  const BOOL ok =
      ReadFile(static_cast<HANDLE>(handle_), buffer, static_cast<DWORD>(size), &n, nullptr);
  got = n;
  if (ok) return true;
  error_ = GetLastError();
  // Cancelled by a stop request (the console handler): the read ends as a time-out would, with
  // what came; the gateway serves the rest when the stop is held.
  return error_ == ERROR_OPERATION_ABORTED && native::g_stop != nullptr &&
         native::g_stop->requested != 0;
}

bool CommPort::write(const char* data, std::size_t size, std::size_t& written) {
  DWORD n = 0;
  const BOOL ok =
      WriteFile(static_cast<HANDLE>(handle_), data, static_cast<DWORD>(size), &n, nullptr);
  written = n;
  error_ = GetLastError();
  return ok != 0;
}

bool CommPort::close() {
  if (!is_open()) return true;
  // The handle is kept until a close succeeds, so the next attempt closes the same port.
  const BOOL ok = CloseHandle(static_cast<HANDLE>(handle_));
  if (!ok) {
    error_ = GetLastError();
    return false;
  }
  handle_ = nullptr;
  return true;
}

}  // namespace mvo::platform::win32
