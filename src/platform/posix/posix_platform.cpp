#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// How often a watched write that waits for the line tells its watch (SerialPort::watch_writes).
constexpr std::int64_t kWriteWatchMs = 500;
std::int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Set by install_stop_handlers: the stop state the handler sets, and the signal mask of the
// waits (the process's mask without the stop signals).
mvo::platform::StopState* g_stop = nullptr;
sigset_t g_wait_mask;

extern "C" void on_stop_signal(int) {
  if (g_stop != nullptr) g_stop->requested = 1;
}

// poll() that lets the stop signals in while it waits; -1 with EINTR when one came.
int wait_poll(pollfd* fds, nfds_t n, std::int64_t ms) {
  if (g_stop == nullptr) return poll(fds, n, static_cast<int>(ms > INT_MAX ? INT_MAX : ms));
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
  return ppoll(fds, n, &ts, &g_wait_mask);
}

// A wait returns early when a stop is asked for, held or not: the gateway's waits see the request
// at once and serve the rest of their time when the stop is held.
bool stop_asked() { return g_stop != nullptr && g_stop->requested != 0; }
}  // namespace

namespace mvo::platform::native {

std::int64_t SteadyClock::now_ms() { return monotonic_ms(); }

void SteadyClock::sleep_ms(std::int64_t ms) {
  if (ms <= 0) return;
  if (g_stop != nullptr) {
    const std::int64_t deadline = monotonic_ms() + ms;
    for (std::int64_t left = ms; left > 0; left = deadline - monotonic_ms()) {
      if (wait_poll(nullptr, 0, left) < 0 && errno == EINTR && stop_asked()) return;
    }
    return;
  }
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::tm LocalWallClock::local_now() {
  std::time_t now = std::time(nullptr);
  std::tm out{};
  localtime_r(&now, &out);
  return out;
}

std::int64_t LocalWallClock::utc_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void JournalConsole::write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  std::clearerr(stdout);
}

void JournalConsole::line(int priority, const std::string& text) {
  std::string out(1, '<');
  out += static_cast<char>('0' + (priority & 7));
  out += '>';
  // One event, one journal line: a line feed inside would split it.
  for (char c : text) out += c == '\n' ? ' ' : c;
  out += '\n';
  write(out);
}

bool stdout_is_journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

void install_stop_handlers(StopState& stop) {
  g_stop = &stop;
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, sig);
  sigset_t old;
  sigprocmask(SIG_BLOCK, &stops, &old);
  g_wait_mask = old;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigdelset(&g_wait_mask, sig);
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

namespace {

// sd_notify spoken directly: one datagram a notice to the socket NOTIFY_SOCKET names (a path, or
// an abstract name after '@').
class NotifySocket final : public Notifier {
 public:
  NotifySocket(int fd, sockaddr_un address, socklen_t length, std::int64_t watchdog)
      : fd_(fd), address_(address), length_(length), watchdog_ms_(watchdog) {}
  ~NotifySocket() override { ::close(fd_); }
  void notify(const std::string& notice) override {
    sendto(fd_, notice.data(), notice.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&address_), length_);
  }
  std::int64_t watchdog_ms() const override { return watchdog_ms_; }

 private:
  int fd_;
  sockaddr_un address_;
  socklen_t length_;
  std::int64_t watchdog_ms_;
};

}  // namespace

std::unique_ptr<Notifier> service_notifier() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return nullptr;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t n = std::strlen(path);
  if (n >= sizeof address.sun_path) return nullptr;
  std::memcpy(address.sun_path, path, n);
  if (path[0] == '@') address.sun_path[0] = '\0';
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  std::int64_t watchdog = 0;
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  if (usec != nullptr && (pid == nullptr || std::atoll(pid) == static_cast<long long>(getpid()))) {
    watchdog = std::atoll(usec) / 1000;
    if (watchdog < 0) watchdog = 0;
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  return std::make_unique<NotifySocket>(fd, address, length, watchdog);
}

long long process_id() { return static_cast<long long>(getpid()); }

void StdoutConsole::write(const std::string& text) {
  // A console that went away (a closed pipe, an ended ssh session) is no reason to stop: the
  // logs hold every event. SIGPIPE is ignored by the program, so a failed write just fails.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  std::clearerr(stdout);
}

bool enter_directory(const std::string& dir) { return chdir(dir.c_str()) == 0; }

Site current_site() {
  std::vector<char> buf(256);
  while (getcwd(buf.data(), buf.size()) == nullptr && errno == ERANGE) buf.resize(buf.size() * 2);
  return Site(std::string(buf.data()), '/');
}

}  // namespace mvo::platform::native

namespace mvo::platform::posix {

std::string device_path(const std::string& name) {
  std::string n = name;
  if (n.rfind("\\\\.\\", 0) == 0) n = n.substr(4);
  if (n.size() > 3 && (n.compare(0, 3, "COM") == 0 || n.compare(0, 3, "com") == 0)) {
    bool digits = true;
    for (std::size_t i = 3; i < n.size(); ++i) digits = digits && n[i] >= '0' && n[i] <= '9';
    if (digits && n.size() < 8) {
      int number = std::stoi(n.substr(3));
      if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
    }
  }
  return n;
}

namespace {
class KernelOutputQueue final : public OutputQueue {
 public:
  bool queued(int fd, int& count) override { return ioctl(fd, TIOCOUTQ, &count) == 0; }
  void discard(int fd) override { tcflush(fd, TCOFLUSH); }
  std::int64_t now_ms() override { return monotonic_ms(); }
  void pause_ms(std::int64_t ms) override {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    nanosleep(&ts, nullptr);
  }
};
}  // namespace

OutputQueue& kernel_output_queue() {
  static KernelOutputQueue queue;
  return queue;
}

struct TermiosPort::Saved {
  termios tio{};
};

TermiosPort::~TermiosPort() {
  close();
  delete saved_;
}

bool TermiosPort::fail() {
  error_ = errno;
  return false;
}

bool TermiosPort::open(const std::string& device) {
  if (fd_ >= 0) {
    error_ = EBUSY;
    return false;
  }
  const std::string path = device_path(device);
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail();
  // No sharing: a second opener is refused. TIOCEXCL does not hold against root, the advisory
  // lock does (between programs that take it, as this one does). The exclusive flag is set last,
  // once nothing can fail, because only close() clears it again.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error_ = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return false;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    error_ = errno;
    ::close(fd);
    return false;
  }
  // A Windows port has no line discipline: raw bytes both ways, receiver on, modem lines ignored.
  cfmakeraw(&tio);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // VMIN 1 with O_NONBLOCK: an empty read is EAGAIN, so a read of 0 bytes means the line is gone.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    error_ = errno;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  if (saved_ == nullptr) saved_ = new Saved;
  saved_->tio = tio;
  return true;
}

namespace {
std::uint32_t baud_of(speed_t s) {
  switch (s) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}
speed_t speed_of(std::uint32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B19200;
  }
}
}  // namespace

bool TermiosPort::get_settings(LineSettings& settings) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  if (tcgetattr(fd_, &saved_->tio) != 0) return fail();
  const termios& t = saved_->tio;
  settings.baud_rate = baud_of(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      settings.byte_size = 5;
      break;
    case CS6:
      settings.byte_size = 6;
      break;
    case CS7:
      settings.byte_size = 7;
      break;
    default:
      settings.byte_size = 8;
      break;
  }
  settings.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
  settings.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 0;
  return true;
}

bool TermiosPort::set_settings(const LineSettings& settings) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  termios t = saved_->tio;
  cfsetispeed(&t, speed_of(settings.baud_rate));
  cfsetospeed(&t, speed_of(settings.baud_rate));
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  t.c_cflag |= settings.byte_size == 7 ? CS7 : CS8;
  if (settings.parity == 0) t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
  if (settings.stop_bits == 0) t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return fail();
  saved_->tio = t;
  return true;
}

bool TermiosPort::set_timeouts(const Timeouts& timeouts) {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  timeouts_ = timeouts;
  return true;
}

bool TermiosPort::purge() {
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  // Input only: every write has drained before it returned, so there is no output to take back,
  // and on a pseudo-terminal an output flush would discard what the peer has not read yet.
  if (tcflush(fd_, TCIFLUSH) != 0) return fail();
  return true;
}

bool TermiosPort::read(char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  const std::int64_t deadline = monotonic_ms() + timeouts_.read_ms;
  while (got < size) {
    ssize_t r = ::read(fd_, buffer + got, size - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) {
      // End of file on a terminal: the other side is gone.
      error_ = EIO;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail();
    std::int64_t left = deadline - monotonic_ms();
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    int n = wait_poll(&p, 1, left);
    if (n < 0 && errno != EINTR) return fail();
    // A stop: the read ends as a time-out would, with what came (modem::read_port goes on when
    // the stop is held).
    if (n < 0 && stop_asked()) break;
    if (n > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) {
      error_ = EIO;
      return false;
    }
    if (n > 0 && (p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0) {
      error_ = EIO;
      return false;
    }
  }
  return true;
}

bool TermiosPort::write(const char* data, std::size_t size, std::size_t& written) {
  written = 0;
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  const std::int64_t deadline = queue_.now_ms() + timeouts_.write_ms;
  while (written < size) {
    ssize_t r = ::write(fd_, data + written, size - written);
    if (r > 0) {
      written += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return fail();
    std::int64_t left = deadline - queue_.now_ms();
    if (left <= 0 || write_cut()) break;
    // A watched write wakes every half second, so the watch is told while the line is stopped.
    if (write_watch_) left = std::min<std::int64_t>(left, kWriteWatchMs);
    pollfd p{fd_, POLLOUT, 0};
    int n = poll(&p, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (n < 0 && errno != EINTR) return fail();
    if (n > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      error_ = EIO;
      return false;
    }
  }
  // The write completes when its bytes have left the port, as a synchronous WriteFile on a
  // serial port does. What is still queued when the time-out runs out counts as not written and is
  // discarded, so it cannot reach the modem later, after its failure has been reported.
  for (;;) {
    int queued = 0;
    if (!queue_.queued(fd_, queued) || queued <= 0) break;
    const std::int64_t left = deadline - queue_.now_ms();
    if (left <= 0 || write_cut()) {
      queue_.discard(fd_);
      const std::size_t pending = static_cast<std::size_t>(queued);
      written = pending < written ? written - pending : 0;
      break;
    }
    // A byte takes about 0.5 ms at 19200 baud. Some USB drivers report whole transfer buffers as
    // queued, so a pause is never longer than 10 ms: the drain is neither late nor a busy wait.
    std::int64_t pause = std::min<std::int64_t>(queued / 2 + 1, 10);
    if (pause > left) pause = left;
    queue_.pause_ms(pause);
  }
  // A write that timed out short reports success with the count written, as WriteFile does.
  return true;
}

bool TermiosPort::close() {
  if (fd_ < 0) return true;
  const int fd = fd_;
  // The exclusive flag lives on the tty, not on this descriptor: left set, it would refuse every
  // later open by a user without CAP_SYS_ADMIN for as long as anyone else holds the device.
  ioctl(fd, TIOCNXCL);
  // close() releases the descriptor even when it reports an error, so the port is closed either
  // way; the error is still reported.
  fd_ = -1;
  if (::close(fd) != 0) return fail();
  return true;
}

}  // namespace mvo::platform::posix
