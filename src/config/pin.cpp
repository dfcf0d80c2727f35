#include "config/pin.h"

#include <algorithm>
#include <filesystem>

#include "common/halt.h"
#include "common/text.h"
#include "config/text_file.h"
#include "logs/logs.h"

namespace mvo::config {

namespace {

[[noreturn]] void refuse(platform::Env& env, const std::string& text) {
  // No tag: a tag is data in the error log, and this file's data must stay out of every log.
  logs::say(env, text);
  common::halt();
}

}  // namespace

bool valid_pin(const std::string& text) {
  return text.size() >= kMinPinLength && text.size() <= kMaxPinLength &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string load_pin(platform::Env& env, Where* where) {
  TextFile file;
  const std::string path = env.site.path("configuration", kPinFile);
  if (!file.open(path)) {
    // A pin.txt this user cannot read (made by root, then chmod 600) must not pass for no PIN.
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
      refuse(env, " file pin.txt cannot be read: chown it to the gateway's user\n");
    }
    return "";
  }
  std::string pin;
  int pin_line = 0;
  while (!file.at_end()) {
    const Line line = file.read_line();
    if (where != nullptr) where->line = file.line_number();
    if (line.too_long) {
      refuse(env, common::format(" line %d in file pin.txt is too long\n", file.line_number()));
    }
    const std::string& t = line.text;
    const std::size_t start = t.find_first_not_of(" \t\n");
    if (start == std::string::npos || t[start] == '#') continue;
    const std::size_t end = t.find_last_not_of(" \t\n");
    const std::string word = t.substr(start, end - start + 1);
    if (pin_line != 0) {
      refuse(env,
             common::format(" line %d in file pin.txt: one PIN only, already given on line %d\n",
                            file.line_number(), pin_line));
    }
    if (!valid_pin(word)) {
      refuse(env, common::format(" PIN in file pin.txt (line %d) is not 4 to 8 digits\n",
                                 file.line_number()));
    }
    pin = word;
    pin_line = file.line_number();
    if (where != nullptr) where->entry_lines.push_back(pin_line);
  }
  if (where != nullptr) where->line = 0;
  return pin;  // a file of comments only sends no PIN, as if it were absent
}

}  // namespace mvo::config
