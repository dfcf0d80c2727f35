#include "modem/modem.h"

#include "common/fields.h"
#include "common/text.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "modem/pin.h"
#include "modem/serial_line.h"

namespace mvo::modem {

using common::format;
using logs::delay;
using logs::fail;
using logs::log_error;
using logs::say;

namespace {

// One read of up to 150 bytes under the current read time-out; a failed read leaves it empty.
std::string read_block(Env& env) {
  char buffer[150] = {};
  std::size_t got = 0;
  if (!read_port(env, buffer, sizeof buffer, got)) got = 0;
  logs::on_wait(env);
  // The reply is shown as text: it ends at its first NUL byte, as a C string would.
  std::string text(buffer, got);
  return text.substr(0, text.find('\0'));
}

}  // namespace

bool reset_modem(Env& env) {
  if (!WriteChars(env, "ATZ\r")) return fail(env, "Clean up ATZ1 ", "atz1");
  std::string reply = read_block(env);
  delay(env, 200);
  if (reply.find("OK") != std::string::npos) return true;
  return fail(env, format("Clean up ATZ2 (%s)     ", reply.c_str()), "atz2");
}

bool disable_echo(Env& env) {
  if (!WriteChars(env, "ATE0\r")) return fail(env, "Clean up ATE0-1 ", "ate0");
  std::string reply = read_block(env);
  if (reply.find("OK") != std::string::npos) return true;
  return fail(env, format("Clean up ATE0-2 (%s) ", reply.c_str()), "ate0-2");
}

bool pre_at(Env& env, const std::string& command, std::uint32_t reply_timeout_ms,
            std::string* reply) {
  delay(env, 100);
  if (!WriteChars(env, command)) return fail(env, "pre_at1 ", "pre_at1");
  if (reply_timeout_ms != 0) set_port_timeouts(env, reply_timeout_ms, kNormalTimeoutMs);
  std::string line;
  if (!read_reply(env, line, 200)) return fail(env, "pre_at2", "pre_at2");
  if (reply != nullptr) *reply = line;
  if (line == "OK") return true;
  return fail(env,
              format("pre_at3 (reply=%s) (bits=%d) ", line.c_str(), static_cast<int>(line.size())),
              "pre_at3");
}

bool select_storage(Env& env, const std::string& command, std::string* reply) {
  say(env, "\ncpms.0.");
  purge_port(env);
  delay(env, 100);
  if (!WriteChars(env, command)) return fail(env, "Clean up cpms1 ", "cpms1");
  say(env, "1.");
  say(env, "2.");
  std::string line;
  const bool read = read_reply(env, line, 170);
  if (reply != nullptr) *reply = line;
  if (!read || line == "ERROR") {
    return fail(env, format("Clean up cpms2 (%s) ", line.c_str()), "cpms2");
  }
  say(env, "3.");
  if (!read_reply(env, line, 170) || line != "OK") {
    return fail(env, format("Clean up cpms3 (%s) ", line.c_str()), "cpms3");
  }
  say(env, "4..\n");
  return true;
}

// +COPS: <mode>[,<format>,<oper>]
bool query_operator(Env& env, std::string& name, std::string* reply) {
  if (!WriteChars(env, "AT+COPS=0,0;+COPS?\r")) return fail(env, "Clean up cops1 ", "cops1");
  std::string line;
  const bool read = read_reply(env, line, 170);
  if (reply != nullptr) *reply = line;
  if (!read || line == "ERROR") {
    return fail(env, format("Clean up cops2 (%s) ", line.c_str()), "cops2");
  }
  line += ',';
  std::size_t start = line.find_first_not_of(' ');
  std::size_t blank = start == std::string::npos ? std::string::npos : line.find(' ', start);
  if (blank == std::string::npos) {
    return fail(env, format("Clean up cops3 (%s) ", line.c_str()), "cops3");
  }
  const std::string head = line.substr(0, blank);
  if (line.compare(start, blank - start, "+COPS:") != 0) {
    return fail(env, format("Clean up cops3 (%s) ", head.c_str()), "cops3");
  }
  std::string rest = line.substr(blank + 1);
  common::FieldSplitter fields(rest.data(), ",");
  fields.next();  // the selection mode, always there thanks to the appended comma
  if (fields.next() == nullptr)
    return fail(env, format("Clean up cops5 (%s) ", head.c_str()), "cops5");
  const char* oper = fields.next();
  if (oper == nullptr) return fail(env, format("Clean up cops6 (%s) ", head.c_str()), "cops6");
  name = oper;
  if (!read_reply(env, line, 170) || line != "OK") {
    return fail(env, format("Clean up cops7 (%s) ", line.c_str()), "cops7");
  }
  return true;
}

std::string storage_command(const std::string& memory) {
  return "AT+CPMS=\"" + memory + "\",\"" + memory + "\",\"" + memory + "\"\r";
}

bool init_modem(Env& env, const ModemSetup& setup, bool* events_on) {
  if (events_on != nullptr) *events_on = false;
  const std::string& pin = setup.pin;
  auto progress = [&](const char* text) {
    say(env, text);
    delay(env, 50);
  };
  // A step's failure; when the modem's answer was that the SIM wants its PIN, the operator is told.
  std::string last;  // the reply line the failing step judged
  auto fail = [&](const char* text, const char* tag) {
    logs::fail(env, text, tag);
    if (sim_pin_required(last)) {
      logs::fail(env, "unlock_sim0 the SIM needs its PIN (configuration/pin.txt) ",
                 "unlock_sim0 SIM PIN required");
    }
    return false;
  };
  if (!pin.empty() && !unlock_sim(env, pin)) return logs::fail(env, "init_modem2 ", "init_modem2");
  progress("\n...wait...(for about two minutes)\r");
  if (!reset_modem(env)) return fail("init_modem0 ", "init_modem0");
  progress("...wait...(for about two minutes 1)\r");
  if (!disable_echo(env)) return fail("init_modem1 ", "init_modem1");
  say(env, "...wait...(for about two minutes 1 2)\r");
  delay(env, 200);
  progress("...wait...(for about two minutes 1 2 3 4)\r");
  if (!pre_at(env, "AT+CREG=0\r", 0, &last)) return fail("init_modem3 ", "init_modem3");
  progress("...wait...(for about two minutes 1 2 3 4 5)\r");
  if (!pre_at(env, "AT+COPS=0\r", kOperatorTimeoutMs, &last)) {
    return fail("init_modem4 ", "init_modem4");
  }
  set_port_timeouts(env, kNormalTimeoutMs, kNormalTimeoutMs);
  progress("...wait...(for about two minutes 1 2 3 4 5 6)\r");
  if (!pre_at(env, "AT+CMGF=1\r", 0, &last)) return fail("init_modem6 ", "init_modem6");
  progress("...wait...(for about two minutes 1 2 3 4 5 6 7)\r");
  if (!pre_at(env, "AT+CSCS=\"GSM\"\r", 0, &last)) return fail("init_modem7 ", "init_modem7");
  progress("...wait...(for about two minutes 1 2 3 4 5 6 7 8)\r");
  bool events = false;
  if (setup.events) {
    // Any answer but OK leaves the modem as it was: the usual command follows, and the gateway
    // polls until the next bring-up.
    delay(env, 100);
    std::string reply;
    events = WriteChars(env, kEventsCommand) && read_reply(env, reply, 200) && reply == "OK";
    if (!events) {
      say(env, format("no reception events (reply=%s), polling ", reply.c_str()));
      log_error(env, "no reception events");
    }
  }
  if (!events && !pre_at(env, "AT+CNMI=0,0,0,0,1\r", 0, &last)) {
    return fail("init_modem8 ", "init_modem8");
  }
  progress("...wait...(for about two minutes 1 2 3 4 5 6 7 8 9)\r");
  if (!select_storage(env, storage_command(setup.storage), &last)) {
    return fail("init_modem9 ", "init_modem9");
  }
  for (const std::string& command : setup.init) {
    if (!pre_at(env, command + "\r", 0, &last)) return fail("init_modem10 ", "init_modem10");
  }
  progress("...wait...(for about two minutes 1 2 3 4 5 6 7 8 9 10)\r");
  std::string name;
  if (!query_operator(env, name, &last)) return fail("init_modem5 ", "init_modem5");
  say(env, format("OUR OPERATOR TODAY    -  %s                         \n\n", name.c_str()));
  log_error(env, "On the air");
  if (events_on != nullptr) *events_on = events;
  return true;
}

bool handle_modem(Env& env, const std::string& device, const ModemSetup& setup, bool* events_on) {
  delay(env, 500);
  for (int attempt = 0; attempt < kBringUpAttempts; ++attempt) {
    logs::set_state(env, platform::State::kBringingUp, attempt + 1);
    open_port(env, device);
    delay(env, 500);
    if (init_modem(env, setup, events_on)) {
      logs::set_state(env, platform::State::kOnAir);
      return true;
    }
    say(env, "handle_modem0  ");
    log_error(env, "handle_modem0");
    if (!close_modem(env)) return false;
    delay(env, 2000);
  }
  say(env, " +cannot communicate with modem+");
  log_error(env, "cannot communicate with modem");
  return false;
}

bool shut_modem(Env& env) {
  if (env.port.is_open()) {
    WriteChars(env, std::string(1, '\x1a'));
    WriteChars(env, std::string(1, '\x1b'));
    purge_port(env);
  }
  if (!env.port.close()) {
    logs::say_failure(env, format("shut_modem1 (%d) ", env.port.last_error()));
    return false;
  }
  delay(env, 2000);
  return true;
}

bool close_modem(Env& env) {
  for (int attempt = 0; attempt < kShutDownAttempts; ++attempt) {
    if (shut_modem(env)) return true;
    delay(env, 3000);
  }
  say(env, "cannot shutdown modem.");
  log_error(env, "cannot shutodown modem");
  return false;
}

}  // namespace mvo::modem
