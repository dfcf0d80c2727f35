#include "modem/serial_line.h"

#include <algorithm>

#include "common/text.h"
#include "logs/life.h"
#include "logs/logs.h"

namespace mvo::modem {

using common::format;
using logs::log_error;
using logs::say;

void open_port(Env& env, const std::string& device) {
  if (!env.port.open(device)) {
    say(env, "cannot open COM port\n");
    log_error(env, "cannot open COM port");
    do {
      logs::delay(env, kOpenRetryMs);
    } while (!env.port.open(device));
  }
  platform::LineSettings settings;
  if (!env.port.get_settings(settings))
    logs::fatal_stop(env, "\n***COM port state is initially bad");
  settings.baud_rate = 19200;
  settings.byte_size = 8;
  settings.parity = 0;
  settings.stop_bits = 0;
  if (!env.port.set_settings(settings)) {
    logs::fatal_stop(env, "\n***COM port state is bad during settings");
  }
  if (!env.port.get_settings(settings)) {
    logs::fatal_stop(env, "\n***COM port state is bad after settings");
  }
  set_port_timeouts(env, kNormalTimeoutMs, kNormalTimeoutMs);
}

void set_port_timeouts(Env& env, std::uint32_t read_ms, std::uint32_t write_ms) {
  env.port.set_timeouts({read_ms, write_ms});
  if (env.service != nullptr) env.service->port_timeouts = {read_ms, write_ms};
}

namespace {

// Puts the time-outs as set back on the port when a read served in slices ends, by return or by
// unwinding.
class SliceGuard {
 public:
  SliceGuard(Env& env, platform::Timeouts set) : env_(env), set_(set), current_(set.read_ms) {}
  ~SliceGuard() {
    if (current_ != set_.read_ms) env_.port.set_timeouts(set_);
  }
  void use(std::uint32_t read_ms) {
    if (read_ms == current_) return;
    env_.port.set_timeouts({read_ms, set_.write_ms});
    current_ = read_ms;
  }

 private:
  Env& env_;
  platform::Timeouts set_;
  std::uint32_t current_;
};

}  // namespace

bool read_port(Env& env, char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (env.service == nullptr) return env.port.read(buffer, size, got);
  const platform::Timeouts set = env.service->port_timeouts;
  const std::int64_t total = set.read_ms;
  const std::int64_t start = env.clock.now_ms();
  SliceGuard slices(env, set);
  for (;;) {
    const std::int64_t left = std::max<std::int64_t>(total - (env.clock.now_ms() - start), 0);
    slices.use(static_cast<std::uint32_t>(logs::wait_slice(env, left)));
    std::size_t part = 0;
    const bool ok = env.port.read(buffer + got, size - got, part);
    got += part;
    // A native read also returns early when a stop is asked for: the rest of the time-out is
    // served below unless the stop cuts the wait.
    if (!ok || got == size || env.clock.now_ms() - start >= total) return ok;
    logs::on_wait(env);
  }
}

void purge_port(Env& env) { env.port.purge(); }

bool read_chars(Env& env, std::string& line, std::size_t buffer_size) {
  logs::delay(env, 200);
  line.clear();
  const std::size_t keep = buffer_size == 0 ? 0 : buffer_size - 1;
  std::size_t count = 0;
  bool started = false;
  bool going = true;
  auto store = [&](char c) {
    if (count < keep) line += c;
    ++count;
  };
  std::size_t received = 0;
  // An endless stream of CR or LF is stored nowhere and never ends a line by itself: the bound
  // on received bytes ends it all the same.
  while (going && count < kMaxReplyLine && received < kMaxLineBytes) {
    char byte = 0;
    std::size_t got = 0;
    const bool read_ok = read_port(env, &byte, 1, got);
    logs::on_wait(env);
    if (!read_ok) {
      say(env, format("ReadFile in read_chars1 failed (%s).", line.c_str()));
      log_error(env, "read_chars1");
      return false;
    }
    const bool came = got == 1;
    if (came) ++received;
    if (started) {
      if (came && byte != '\r' && byte != '\n') store(byte);
      if (!came || byte == '\n' || byte == 26) going = false;
    } else if (came && byte != '\r' && byte != '\n') {
      store(byte);
      started = true;
    }
    if (!came) started = true;
  }
  // The line is text: it ends at its first zero byte (the GSM "@"), as a C string would, so no
  // zero byte ever reaches a command or a forwarded text.
  const std::size_t zero = line.find('\0');
  if (zero != std::string::npos) line.resize(zero);
  return true;
}

namespace {

constexpr const char* kUnsolicited[] = {
    "+CMTI:",     "+CMT:",     "+CDSI:",  "+CDS:",  "+CBM:",  "+CREG:", "+CGREG:",
    "+CEREG:",    "+CIEV:",    "+CRING:", "+CLIP:", "RING",   "^",      "RDY",
    "Call Ready", "SMS Ready", "+CFUN:",  "+CPIN:", "+QIND:", "+PACSP"};

// The prefix of an unsolicited line that `line` begins with, or nullptr.
const char* unsolicited_prefix(const std::string& line) {
  for (const char* prefix : kUnsolicited) {
    if (line.rfind(prefix, 0) == 0) return prefix;
  }
  return nullptr;
}

}  // namespace

bool is_unsolicited(const std::string& line) { return unsolicited_prefix(line) != nullptr; }

bool read_reply(Env& env, std::string& line, std::size_t buffer_size, const std::string& awaited) {
  for (int skipped = 0;; ++skipped) {
    if (!read_chars(env, line, buffer_size)) return false;
    const char* prefix = unsolicited_prefix(line);
    if (prefix == nullptr || skipped == kMaxSkippedLines || awaited.rfind(prefix, 0) == 0) {
      return true;
    }
  }
}

bool WriteChars(Env& env, const std::string& text) {
  purge_port(env);
  set_port_timeouts(env, kLongTimeoutMs, kLongTimeoutMs);
  const std::size_t n = text.find('\0') == std::string::npos ? text.size() : text.find('\0');
  std::size_t written = 0;
  const bool ok = env.port.write(text.data(), n, written);
  set_port_timeouts(env, kNormalTimeoutMs, kNormalTimeoutMs);
  if (ok && written == n) return true;
  say(env, format("WriteChars1((%d))((%d))((%d)).", env.port.last_error(), static_cast<int>(n),
                  static_cast<int>(written)));
  log_error(env, "WriteChars1");
  purge_port(env);
  return false;
}

bool get_prompt(Env& env) {
  const std::int64_t start = env.clock.now_ms();
  for (;;) {
    char byte = 0;
    std::size_t got = 0;
    const bool ok = read_port(env, &byte, 1, got);
    logs::on_wait(env);
    if (ok && got == 1 && byte == '>') break;
    if (!ok || env.clock.now_ms() - start >= kPromptBoundMs) {
      say(env, "get_prompt1.");
      log_error(env, "get_prompt1");
      return false;
    }
  }
  purge_port(env);
  return true;
}

}  // namespace mvo::modem
