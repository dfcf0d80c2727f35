#include "common/fields.h"
#include "common/text.h"
#include "logs/logs.h"
#include "modem/serial_line.h"
#include "sms/sms.h"

namespace mvo::sms {

using common::format;
using logs::fail;
using logs::log_error;
using logs::say;
using modem::read_chars;
using modem::WriteChars;

bool list_messages(Env& env, const std::string& command, bool& found, int& index) {
  found = false;
  if (!WriteChars(env, command)) return fail(env, "Cln CMGL1 (write) ", "cmgl-1");
  std::string line;
  if (!modem::read_reply(env, line, kMessageSize)) {
    return fail(env, format("Cln CMGL2 (%s) ", line.c_str()), "cmgl-2");
  }
  if (line == "OK") return true;
  if (line.rfind("+CMGL:", 0) != 0)
    return fail(env, format("Cln CMGL3 (%s) ", line.c_str()), "cmgl-3");
  found = true;
  common::FieldSplitter fields(line.data(), ":,");
  fields.next();
  const char* number = fields.next();
  if (number == nullptr) return fail(env, format("Cln CMGL5 (%s) ", line.c_str()), "cmgl-5");
  if (!common::scan_int(number, index)) index = 0;
  int empty_lines = 0;
  int lines = 0;
  do {
    if (!read_chars(env, line, kMessageSize)) {
      return fail(env, format("Cln CMGL6 (%s) ", line.c_str()), "cmgl-6");
    }
    // A modem that never ends its listing must not hold the gateway here for ever.
    empty_lines = line.empty() ? empty_lines + 1 : 0;
    if (line != "OK" && (empty_lines >= kMaxEmptyDrainLines || ++lines >= kMaxDrainLines)) {
      return fail(env, format("Cln CMGL6 (%s) ", line.c_str()), "cmgl-6");
    }
  } while (line != "OK");
  return true;
}

bool read_message(Env& env, int index, ReceivedMessage& m) {
  if (!WriteChars(env, format("AT+CMGR=%d\r", index))) return fail(env, "Cln CMGR1 ", "cmgr1");
  logs::delay(env, 200);
  std::string& text = m.text;
  if (!modem::read_reply(env, text, kMessageSize)) {
    return fail(env, format("Cln CMGR3 (%s) ", text.c_str()), "cmgr3");
  }
  static constexpr const char* kRetryTexts[] = {"Cln CMGR3A (%s) ", "Cln CMGR3B (%s) ",
                                                "Cln CMGR3C (%s) "};
  static constexpr const char* kRetryTags[] = {"cmgr3a", "cmgr3b", "cmgr3c"};
  for (int retry = 0; retry < 3 && text.empty(); ++retry) {
    if (!modem::read_reply(env, text, kMessageSize)) {
      return fail(env, format(kRetryTexts[retry], text.c_str()), kRetryTags[retry]);
    }
  }
  if (text == "+CMGR: 0,,0") {
    if (!read_chars(env, text, kMessageSize)) {
      return fail(env, format("Cln CMGR4 (%s) ", text.c_str()), "cmgr4");
    }
    return true;
  }
  if (text == "ERROR") return fail(env, format("Cln CMGR5 (%s) ", text.c_str()), "cmgr5");
  if (text == "OK") {
    text.clear();
    return true;
  }
  m.date.clear();
  m.time.clear();
  m.zone.clear();
  std::string header = text + ",";
  common::FieldSplitter fields(header.data(), ",");
  fields.next();
  const char* sender = fields.next();
  if (sender == nullptr) return fail(env, format("Cln CMGR6 (%s) ", header.c_str()), "cmgr6");
  m.sender = common::bounded(sender, kSenderSize);
  const char* date_field = fields.next();
  if (date_field == nullptr) return fail(env, format("Cln CMGR7 (%s) ", header.c_str()), "cmgr7");
  const char* time_field = fields.next();
  if (time_field == nullptr) return fail(env, format("Cln CMGR8 (%s) ", header.c_str()), "cmgr8");
  const std::string date = date_field;
  const std::string time = time_field;
  if (date.size() > 1) m.date = date.substr(1, 8);
  m.time = time.substr(0, 8);
  if (time.size() >= 4) m.zone = time.substr(time.size() - 4, 3);

  if (!read_chars(env, text, kMessageSize)) {
    return fail(env, format("Cln up CMGR9 (%s) ", text.c_str()), "cmgr9");
  }
  std::string line;
  if (text == "OK") {
    if (!read_chars(env, line, kLineSize)) {
      text.clear();
      return true;
    }
    if (line != "OK") return fail(env, format("Cln CMGR10 (%s) ", line.c_str()), "cmgr10");
  }
  if (!read_chars(env, line, kLineSize) || line != "OK") {
    return fail(env, format("Cln CMGR11 (%s) ", line.c_str()), "cmgr11");
  }
  return true;
}

bool delete_message(Env& env, int index) {
  if (!WriteChars(env, format("AT+CMGD=%d\r", index))) return fail(env, "Cln CMGD1 ", "cmgd1");
  std::string line;
  if (!modem::read_reply(env, line, kLineSize) || line != "OK") {
    return fail(env, format("Cln CMGD3 (%s) ", line.c_str()), "cmgd3");
  }
  return true;
}

}  // namespace mvo::sms
