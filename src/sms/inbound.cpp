#include <algorithm>

#include "common/text.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "modem/serial_line.h"
#include "sms/sms.h"

namespace mvo::sms {

using common::format;
using logs::log_error;
using logs::say;

bool find_station(std::string& sender, int& station_index,
                  const std::vector<config::Station>& stations) {
  std::string bare;
  for (char c : sender) {
    if (c != '"') bare += c;
  }
  sender = bare;
  for (std::size_t i = 0; i < stations.size(); ++i) {
    if (stations[i].number == sender) {
      station_index = static_cast<int>(i);
      return true;
    }
  }
  return false;
}

namespace {

std::string modem_stamp(const ReceivedMessage& m) { return m.date + "," + m.time + m.zone; }

}  // namespace

void log_inbound(Env& env, const std::string& sender, const std::string& name,
                 const std::string& outcome, const std::string& detail, const std::string& text) {
  logs::TrafficRecord r;
  r.direction = "in";
  r.number = sender;
  r.name = name;
  r.outcome = outcome;
  r.detail = detail;
  r.text = text;
  logs::log_traffic(env, std::move(r));
}

namespace {

// Up to kSweepMs on the port for a line that begins with "+CMTI:". A port that fails ends the
// wait: the listing that follows meets the failure and tells it.
void wait_for_indication(Env& env) {
  const std::int64_t start = env.clock.now_ms();
  std::string line;
  for (;;) {
    const std::int64_t left = kSweepMs - (env.clock.now_ms() - start);
    if (left <= 0) break;
    modem::set_port_timeouts(env, static_cast<std::uint32_t>(left), modem::kNormalTimeoutMs);
    char byte = 0;
    std::size_t got = 0;
    const bool ok = modem::read_port(env, &byte, 1, got);
    logs::on_wait(env);
    if (!ok) break;
    if (got == 0) continue;
    if (byte == '\n') {
      if (line.rfind("+CMTI:", 0) == 0) break;
      line.clear();
    } else if (byte != '\r' && line.size() < modem::kMaxReplyLine) {
      line += byte;
    }
  }
  modem::set_port_timeouts(env, modem::kNormalTimeoutMs, modem::kNormalTimeoutMs);
}

}  // namespace

bool read_sms(Env& env, std::string& text, int& station_index,
              const std::vector<config::Station>& stations, std::string& stamp, PollHooks* hooks) {
  int toggle = 1;
  for (;;) {
    bool found = false;
    int index = 0;
    if (!list_messages(env, kListCommand, found, index)) {
      say(env, "read_sms0 (cmgl1) ");
      log_error(env, "cmgl-1");
      return false;
    }
    if (!found) {
      if (hooks != nullptr && hooks->between_polls && !hooks->between_polls()) {
        hooks->idle_failed = true;
        return false;
      }
      if (hooks != nullptr && hooks->events) {
        wait_for_indication(env);
        continue;
      }
      for (int i = 0; i < 3; ++i) {
        toggle = !toggle;
        logs::show_progress(env, toggle, 1500);
      }
      continue;
    }
    // A fresh record for every read: a reply without a header (an empty slot, "OK", "ERROR")
    // must never inherit the previous message's sender or time stamp.
    ReceivedMessage message;
    // From its reading on, the message is the gateway's to deal with: a stop waits for it.
    logs::StopHold hold(env);
    if (!read_message(env, index, message)) {
      delete_message(env, index);
      say(env, "read_sms1 ");
      log_error(env, "read_sms1");
      message.sender.erase(std::remove(message.sender.begin(), message.sender.end(), '"'),
                           message.sender.end());
      log_inbound(env, message.sender, "", "unreadable", "read_sms1", message.text);
      return false;
    }
    if (!delete_message(env, index)) {
      say(env, "read_sms2 ");
      log_error(env, "read_sms2");
      return false;
    }
    if (!find_station(message.sender, station_index, stations)) {
      say(env, format("SMS from un-authorized: %s%20s\n", message.sender.c_str(), ""));
      log_error(env, "SMS from UFO");
      log_inbound(env, message.sender, "", "unauthorized", modem_stamp(message), message.text);
      continue;
    }
    if (hooks != nullptr && hooks->heard) hooks->heard(station_index);
    logs::log_station_message(env, message.sender, message.text, message.date, message.time,
                              message.zone);
    if (message.text.size() > kMaxAcceptedText) {
      say(env, format("SMS from is too long: %s%14s\n", message.text.c_str(), ""));
      log_error(env, "SMS too long");
      log_inbound(env, message.sender, stations[static_cast<std::size_t>(station_index)].name,
                  "too-long", modem_stamp(message), message.text);
      continue;
    }
    text = message.text;
    stamp = modem_stamp(message);
    return true;
  }
}

}  // namespace mvo::sms
