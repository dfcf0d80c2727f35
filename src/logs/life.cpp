#include "logs/life.h"

#include <algorithm>
#include <fstream>

#include "common/halt.h"
#include "logs/logs.h"

namespace mvo::logs {

using platform::State;

namespace {

CivilTime civil(const std::tm& t) {
  return {1900 + t.tm_year, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

// The last second the site was on the air, from the state file the gateway before this one
// left, so that an outage goes on counting across restarts. Without a sound file (a new site),
// from now.
std::int64_t last_on_air(Env& env, std::int64_t now_utc) {
  std::ifstream in(env.site.path("log", kStateFileName), std::ios::binary);
  std::string text(kMaxStateFile + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  GatewayState old;
  if (text.size() > kMaxStateFile || !parse_state_file(text, old)) return now_utc;
  // An older gateway's file tells it only while on the air.
  std::int64_t at =
      old.state == state_name(State::kOnAir) ? old.beat_utc : old.on_air_utc.value_or(now_utc);
  return std::min(at, now_utc);
}

// The state file, replaced whole: a reader sees the old one or the new one, never a part.
void write_state_file(Env& env) {
  platform::Service& s = *env.service;
  const std::int64_t now_utc = env.wall.utc_seconds();
  if (s.on_air_utc < 0) s.on_air_utc = last_on_air(env, now_utc);
  if (s.state == State::kOnAir) s.on_air_utc = now_utc;
  GatewayState g;
  g.version = s.version;
  g.pid = s.pid;
  g.state = state_name(s.state);
  g.since = civil(s.state_since);
  g.beat = civil(env.wall.local_now());
  g.beat_utc = now_utc;
  g.attempt = s.state == State::kBringingUp ? s.attempt : 0;
  g.message = s.state_message;
  g.on_air_utc = s.on_air_utc;
  const std::string path = env.site.path("log", kStateFileName);
  replace_file(path, state_file_text(g));
  s.last_beat_ms = env.clock.now_ms();
}

std::string status_text(const platform::Service& s) {
  if (s.state == State::kBringingUp)
    return common::format("bringing the modem up, attempt %d", s.attempt);
  if (s.state == State::kHalted) return "halted: " + s.state_message;
  return state_name(s.state);
}

std::int64_t patience_ms(const platform::Service& s) {
  return s.stop.urgent != 0 ? kUrgentPatienceMs : kStopPatienceMs;
}

std::int64_t write_reserve_ms(const platform::Service& s) {
  return s.stop.urgent != 0 ? kUrgentWriteReserveMs : kStopWriteReserveMs;
}

// The watchdog at half its interval, and the moment a stop was first seen.
void keep_time(platform::Service& s, std::int64_t now) {
  if (s.notifier != nullptr && s.state != State::kHalted) {
    const std::int64_t every = s.notifier->watchdog_ms() / 2;
    if (every > 0 && (s.last_watchdog_ms < 0 || now - s.last_watchdog_ms >= every)) {
      s.notifier->notify("WATCHDOG=1");
      s.last_watchdog_ms = now;
    }
  }
  if (s.stop.requested != 0 && s.stop_seen_ms < 0) s.stop_seen_ms = now;
}

}  // namespace

void on_wait(Env& env) {
  platform::Service* s = env.service;
  if (s == nullptr) return;
  flush_console(env);
  // Called for every byte read: the clock is read only when something here needs it.
  if (s->notifier != nullptr || s->state_file || s->stop.requested != 0) {
    const std::int64_t now = env.clock.now_ms();
    keep_time(*s, now);
    if (s->state_file && s->state != State::kNone &&
        (s->last_beat_ms < 0 || now - s->last_beat_ms >= kBeatIntervalMs)) {
      write_state_file(env);
    }
    if (s->stop.requested != 0 && s->send_waiting && s->stop.held != 0 &&
        now - s->stop_seen_ms >= patience_ms(*s)) {
      throw common::StopOverdue();
    }
  }
  if (s->stop.cuts_waits()) throw common::StopRequest();
}

std::int64_t wait_slice(Env& env, std::int64_t ms) {
  platform::Service* s = env.service;
  if (s == nullptr || ms <= 0) return ms;
  // A halted gateway feeds the watchdog no more: its waits are not cut for it.
  const bool watched =
      s->notifier != nullptr && s->notifier->watchdog_ms() / 2 > 0 && s->state != State::kHalted;
  const bool cut = s->stop.requested != 0 && s->send_waiting && s->stop_seen_ms >= 0;
  if (!watched && !cut) return ms;
  const std::int64_t now = env.clock.now_ms();
  if (watched) {
    const std::int64_t next =
        s->last_watchdog_ms < 0 ? now : s->last_watchdog_ms + s->notifier->watchdog_ms() / 2;
    ms = std::min(ms, std::max<std::int64_t>(next - now, 0));
  }
  if (cut) ms = std::min(ms, std::max<std::int64_t>(s->stop_seen_ms + patience_ms(*s) - now, 0));
  return ms;
}

bool write_pause(Env& env) {
  platform::Service* s = env.service;
  if (s == nullptr) return false;
  const std::int64_t now = env.clock.now_ms();
  keep_time(*s, now);
  return s->stop.requested != 0 && now - s->stop_seen_ms >= patience_ms(*s) + write_reserve_ms(*s);
}

StopHold::StopHold(Env& env) : service_(env.service) {
  if (service_ == nullptr) return;
  before_ = service_->stop.held;
  service_->stop.held = 1;
}

StopHold::~StopHold() {
  if (service_ != nullptr) service_->stop.held = before_;
}

bool stop_overdue(Env& env) {
  platform::Service* s = env.service;
  if (s == nullptr || s->stop.requested == 0) return false;
  const std::int64_t now = env.clock.now_ms();
  if (s->stop_seen_ms < 0) s->stop_seen_ms = now;
  return now - s->stop_seen_ms >= patience_ms(*s);
}

SendWaiting::SendWaiting(Env& env) : service_(env.service) {
  if (service_ != nullptr) service_->send_waiting = true;
}

SendWaiting::~SendWaiting() {
  if (service_ != nullptr) service_->send_waiting = false;
}

const char* state_name(State state) {
  switch (state) {
    case State::kNone:
      return "";
    case State::kStarting:
      return "starting";
    case State::kBringingUp:
      return "bringing up";
    case State::kOnAir:
      return "on the air";
    case State::kStopping:
      return "stopping";
    case State::kStopped:
      return "stopped";
    case State::kHalted:
      return "halted";
  }
  return "";
}

void set_state(Env& env, State state, int attempt, const std::string& message) {
  platform::Service* s = env.service;
  if (s == nullptr) return;
  const bool changed = state != s->state || attempt != s->attempt;
  if (state != s->state) {
    s->state_since = env.wall.local_now();
    if (s->state == State::kOnAir && s->state_file) s->on_air_utc = env.wall.utc_seconds();
  }
  s->state = state;
  s->attempt = attempt;
  s->state_message = message;
  if (changed && s->notifier != nullptr) s->notifier->notify("STATUS=" + status_text(*s));
  // A run's first write is made even for a state already set: a halt at start was set before
  // options.txt was known to turn the file on.
  if (s->state_file && (changed || s->last_beat_ms < 0)) write_state_file(env);
}

void set_halted(Env& env) {
  platform::Service* s = env.service;
  if (s == nullptr) return;
  std::string message = s->state == State::kHalted ? s->state_message : s->last_text;
  const std::size_t first = message.find_first_not_of(" \r\n");
  const std::size_t last = message.find_last_not_of(" \r\n");
  message = first == std::string::npos ? "" : message.substr(first, last - first + 1);
  set_state(env, State::kHalted, 0, message);
}

void notify(Env& env, const std::string& notice) {
  if (env.service != nullptr && env.service->notifier != nullptr) {
    env.service->notifier->notify(notice);
  }
}

void log_traffic(Env& env, TrafficRecord record) {
  if (env.service == nullptr || !env.service->traffic_log) return;
  const std::string path = env.site.path("log", kTrafficLogName);
  static constexpr const char* kRetryTexts[] = {"Cannot open traffic log 1 ", "..2 ", "..3 "};
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::tm now = env.wall.local_now();
    record.stamp = civil(now);
    if (append_crlf(path, traffic_record(record))) return;
    if (attempt < 3) {
      say(env, kRetryTexts[attempt]);
      delay(env, 1000);
    }
  }
  say(env, "..ignored\n ");
}

int priority_of_tag(const std::string& tag) {
  if (tag == "On the air") return kPriorityInfo;
  if (tag == "stopped on request") return kPriorityNotice;
  if (tag == "SMS from UFO" || tag == "SMS too long" || tag.rfind("Illegal SMS", 0) == 0 ||
      tag == "no reception events") {
    return kPriorityWarning;
  }
  return kPriorityError;
}

}  // namespace mvo::logs
