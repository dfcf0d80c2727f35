#include "common/text.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "sms/sms.h"

namespace mvo::sms {

using common::format;

std::string entry_safe(std::string body) {
  for (char& c : body) {
    if (c == '\x1a' || c == '\x1b' || c == '\0') c = '?';
  }
  return body;
}

std::vector<SendResult> fan_out(Env& env, const std::vector<Outgoing>& texts) {
  std::vector<SendResult> results;
  results.reserve(texts.size());
  for (const Outgoing& out : texts) {
    const std::string text =
        out.text.empty() ? out.text : entry_safe(out.text.substr(0, out.text.size() - 1)) + '\x1a';
    logs::TrafficRecord record;
    record.direction = "out";
    record.number = out.number;
    record.name = out.name;
    record.type = out.type;
    record.text = text.empty() ? text : text.substr(0, text.size() - 1);
    SendResult result;
    if (logs::stop_overdue(env)) {
      // A stop has waited for this fan-out as long as it may: what is left is named, not lost
      // without a word.
      logs::say(env, format("not sent on stop: %s (%s).\n", out.name.c_str(), out.number.c_str()));
      logs::log_error(env, "not sent on stop " + out.number);
      result = {"not-sent", "stopped"};
      record.outcome = result.outcome;
      record.detail = result.detail;
      logs::log_traffic(env, std::move(record));
      results.push_back(result);
      continue;
    }
    const bool sent = send_sms(env, text, out.number, &result);
    record.outcome = result.outcome;
    record.detail = result.detail;
    if (result.outcome == "unconfirmed") {
      logs::say(env,
                format("not confirmed on stop: %s (%s).\n", out.name.c_str(), out.number.c_str()));
      logs::log_error(env, "not confirmed on stop " + out.number);
    }
    logs::log_traffic(env, std::move(record));
    if (!sent && result.outcome != "unconfirmed") {
      logs::say(env, "main2.");
      logs::log_error(env, "main2");
      // The pause lets a troubled modem settle before the next text; none is due once a stop
      // can wait no longer.
      if (!logs::stop_overdue(env)) logs::delay(env, 5000);
    }
    results.push_back(result);
  }
  return results;
}

}  // namespace mvo::sms
