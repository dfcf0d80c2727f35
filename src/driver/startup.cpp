#include "driver/startup.h"

#include <cctype>

#include "common/text.h"
#include "config/text_file.h"
#include "logs/logs.h"

namespace mvo::driver {

namespace {
bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

std::string load_port_name(Env& env) {
  std::string data;
  if (!config::read_text(env.site.path("configuration", "cfg.txt"), data)) {
    logs::fatal_stop(env, "NO CFG FILE\n");
  }
  // Words are read as "%s" reads them: white space skipped, then up to the next white space.
  std::size_t pos = 0;
  while (pos < data.size() && is_space(data[pos])) ++pos;
  while (pos < data.size() && !is_space(data[pos])) ++pos;
  if (pos >= data.size()) logs::fatal_stop(env, "NO COM PORT IN CFG FILE\n");
  while (pos < data.size() && is_space(data[pos])) ++pos;
  std::size_t start = pos;
  while (pos < data.size() && !is_space(data[pos])) ++pos;
  std::string word = data.substr(start, pos - start);
  if (word.size() > kMaxPortWord) {
    logs::fatal_stop(env,
                     common::format("COM PORT NAME IN CFG FILE IS TOO LONG (%d > %d)\n",
                                    static_cast<int>(word.size()), static_cast<int>(kMaxPortWord)));
  }
  return kDevicePrefix + word;
}

std::string show_banner(Env& env) {
  logs::say(env, kBanner1);
  logs::say(env, kBanner2);
  logs::say(env, kBanner3);
  return load_port_name(env);
}

std::string start_up(Env& env) {
  logs::say(env, kStartNotice);
  logs::delay(env, 3000);
  return show_banner(env);
}

}  // namespace mvo::driver
