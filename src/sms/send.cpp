#include "common/halt.h"
#include "common/text.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "modem/serial_line.h"
#include "sms/sms.h"

namespace mvo::sms {

using common::format;
using logs::delay;
using logs::fail;
using logs::log_error;
using logs::say;
using modem::kLongTimeoutMs;
using modem::kNormalTimeoutMs;
using modem::set_port_timeouts;
using modem::WriteChars;

namespace {

// Leaves a pending text entry: Ctrl-Z, ESC, purge.
void abort_entry(Env& env) {
  WriteChars(env, std::string(1, '\x1a'));
  WriteChars(env, std::string(1, '\x1b'));
  modem::purge_port(env);
}

// Leaves a text entry that holds part of a text: ESC alone cancels it. A Ctrl-Z would submit
// what got through, and the modem would stay in the entry for the next command otherwise.
void cancel_entry(Env& env) {
  WriteChars(env, std::string(1, '\x1b'));
  modem::purge_port(env);
}

// The failure site's convention, with the tag kept for the traffic log.
bool fail_as(Env& env, SendResult* result, const std::string& text, const std::string& tag) {
  if (result != nullptr) *result = {"failed", tag};
  return fail(env, text, tag);
}

void normal_timeouts(Env& env) { set_port_timeouts(env, kNormalTimeoutMs, kNormalTimeoutMs); }

}  // namespace

// > then, after the text: +CMGS: <mr>  then "OK"
bool send_message(Env& env, const std::string& text, const std::string& number,
                  SendResult* result) {
  const std::string command = "AT+CMGS=\"" + number + "\"\r";
  if (!WriteChars(env, command))
    return fail_as(env, result, format("CMGS1((%s)).", command.c_str()), "cmgs1");
  delay(env, 500);
  if (!modem::get_prompt(env)) {
    fail_as(env, result, "CMGS21", "cmgs21");
    abort_entry(env);
    return false;
  }
  delay(env, 200);
  if (!WriteChars(env, text)) {
    fail_as(env, result, format("CMGS3((%s)).", text.c_str()), "cmgs3");
    cancel_entry(env);
    return false;
  }
  delay(env, 500);
  set_port_timeouts(env, kLongTimeoutMs, kNormalTimeoutMs);

  std::string line;
  for (int attempt = 1;; ++attempt) {
    if (modem::read_reply(env, line, kLineSize)) break;
    fail_as(env, result, format("CMGS4((%s)).", line.c_str()), "cmgs4");
    if (attempt == 3) {
      abort_entry(env);
      normal_timeouts(env);
      return false;
    }
  }
  if (line.empty() && !modem::read_reply(env, line, kLineSize)) {
    fail_as(env, result, format("CMGS4A((%s)).", line.c_str()), "cmgs4a");
    normal_timeouts(env);
    return false;
  }
  if (line.empty() && !modem::read_reply(env, line, kLineSize)) {
    fail_as(env, result, format("CMGS4B((%s)).", line.c_str()), "cmgs4b");
    normal_timeouts(env);
    return false;
  }
  if (line.rfind("OK", 0) == 0) {
    fail_as(env, result, format("CMGS5((%s))", line.c_str()), "cmgs5");
    normal_timeouts(env);
    return false;
  }
  if (line.rfind("+CMGS", 0) == 0) {
    // +CMGS: <mr>
    const std::size_t colon = line.find(':');
    std::string reference = colon == std::string::npos ? "" : line.substr(colon + 1);
    while (!reference.empty() && reference.front() == ' ') reference.erase(0, 1);
    // The network has taken the text, whatever follows.
    if (result != nullptr) result->taken = true;
    normal_timeouts(env);
    delay(env, 400);
    if (!modem::read_reply(env, line, kLineSize) || line != "OK") {
      fail_as(env, result, format("CMGS7((%s)).", line.c_str()), "cmgs7");
      if (result != nullptr) result->taken = true;
      return false;
    }
    if (result != nullptr) *result = {"sent", reference, true};
    return true;
  }
  fail_as(env, result,
          format("CMGS6((%s)).Probably wrong destination((%s)).", line.c_str(), number.c_str()),
          "cmgs6.cont.");
  if (result != nullptr) *result = {"refused", line};
  modem::purge_port(env);
  normal_timeouts(env);
  return true;
}

bool send_sms(Env& env, const std::string& text, const std::string& number, SendResult* result) {
  normal_timeouts(env);
  bool sent = false;
  try {
    logs::SendWaiting waiting(env);
    sent = send_message(env, text, number, result);
    if (!sent) {
      logs::say_failure(env, format(".Failed to send_sms1  (text=%s) (cellular=%s).\n ",
                                    text.c_str(), number.c_str()));
      char drain[200] = {};
      std::size_t got = 0;
      modem::read_port(env, drain, sizeof drain, got);
      logs::on_wait(env);
    }
  } catch (const common::StopOverdue&) {
    // A stop has waited as long as it may while this text was under way: whatever stage it had
    // reached, ESC leaves the entry without submitting anything more. The text may have gone out.
    if (result != nullptr) *result = {"unconfirmed", "stopped", result->taken};
    cancel_entry(env);
    sent = false;
  }
  normal_timeouts(env);
  delay(env, 200);
  return sent;
}

}  // namespace mvo::sms
