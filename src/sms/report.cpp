#include "common/fields.h"
#include "common/text.h"
#include "logs/logs.h"
#include "sms/sms.h"

namespace mvo::sms {

using common::format;

namespace {
// Trailing blanks of "Illegal SMS content: '%s'" for a missing field 2..7.
constexpr int kContentBlanks[kFieldCount + 1] = {0, 0, 15, 17, 22, 16, 22, 24};
}  // namespace

bool parse_report(Env& env, const std::string& text, Report& fields, int& status_code,
                  int human_count) {
  std::string work = text + ",";
  common::FieldSplitter splitter(work.data(), ",");
  for (int k = 1; k <= kFieldCount; ++k) {
    const char* field = splitter.next();
    if (field == nullptr) {
      logs::say(env, format("Illegal SMS content: '%s'%*s\n", text.c_str(), kContentBlanks[k], ""));
      logs::log_error(env, format("Illegal SMS content %d", k));
      return false;
    }
    fields[k - 1] = field;
  }
  int code = 0;
  if (!common::scan_int(fields[6].c_str(), code) || code < 0 || code >= human_count) {
    logs::say(env, format("Illegal status in SMS: '%s'%22s\n", text.c_str(), ""));
    logs::log_error(env, "Illegal SMS status flag");
    return false;
  }
  status_code = code;
  return true;
}

}  // namespace mvo::sms
