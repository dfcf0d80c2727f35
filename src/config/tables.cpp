#include "config/tables.h"

#include <algorithm>
#include <cctype>

#include "common/fields.h"
#include "common/halt.h"
#include "common/text.h"
#include "config/pin.h"
#include "config/text_file.h"
#include "logs/logs.h"

namespace mvo::config {

using common::format;
using logs::log_error;
using logs::say;

namespace {

[[noreturn]] void refuse(Env& env, const std::string& text, const char* tag = nullptr) {
  say(env, text);
  if (tag != nullptr) log_error(env, tag);
  common::halt();
}

struct QuoteMessages {
  std::string opening;
  std::string closing;
  const char* tag;  // nullptr: nothing is logged
};

// The text between the quotes of a field: optional blanks, '"', at least one character, '"',
// optional blanks. Only the blank counts as a blank.
std::string between_quotes(Env& env, const std::string& field, const QuoteMessages& m) {
  const long len = static_cast<long>(field.size());
  long i = 0;
  while (i < len - 1 && field[i] == ' ') ++i;
  if (i >= len - 1 || field[i] != '"') refuse(env, m.opening, m.tag);
  long j = len - 1;
  while (j > i + 1 && field[j] == ' ') --j;
  if (j < i + 2 || field[j] != '"') refuse(env, m.closing, m.tag);
  return field.substr(i + 1, j - i - 1);
}

// Keep a tool's Where up to date; the gateway passes none.
void at_line(Where* where, int line) {
  if (where != nullptr) where->line = line;
}
void stored(Where* where) {
  if (where != nullptr) where->entry_lines.push_back(where->line);
}

// Reads a line of a table file, refusing one longer than the format allows.
Line read_table_line(Env& env, TextFile& file, const char* file_name, int entry, Where* where) {
  Line line = file.read_line();
  at_line(where, file.line_number());
  if (line.too_long) {
    refuse(env,
           format(" line of entry %d in file %s is longer than %d characters\n", entry, file_name,
                  static_cast<int>(kMaxLineRead)),
           "line too long");
  }
  return line;
}

// The line with its line end (or, for a last line without one, the end) made a semicolon.
std::string prepare(const Line& line) {
  std::string text = line.text;
  if (line.hit_end && !line.has_line_end) {
    text += ';';
  } else {
    text.back() = ';';
  }
  return text;
}

// Fields 1 and 2 of a stations.txt or destinations.txt line: the checked name and number.
void name_and_number(Env& env, common::FieldSplitter& fields, int entry, std::string& name,
                     std::string& number);

}  // namespace

std::string check_name(Env& env, const std::string& field) {
  std::string name =
      between_quotes(env, field,
                     {"bad formatting of station (type 1)     \n",
                      "bad formatting of station (type 2) \n", "bad formatting of station"});
  if (name.size() > kMaxNameLength) {
    refuse(
        env,
        format(" name is longer than allowed %s %d\n", name.c_str(), static_cast<int>(name.size())),
        "name too long");
  }
  return name;
}

std::string check_cell_number(Env& env, const std::string& field) {
  std::string text =
      between_quotes(env, field,
                     {"bad formatting of cell number \n", "bad formatting of cell number \n",
                      "bad formatting of cell number"});
  return check_cell_characters(env, text);
}

std::string check_cell_characters(Env& env, const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  auto shown = [&](std::size_t k) { return k < text.size() ? text.substr(k, 1) : std::string(); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (i >= text.size() || !(text[i] == '+' || text[i] == '*' || text[i] == '-' || digit(text[i]))) {
    refuse(env, format("cell phone number contains illegal characters(1) %s", shown(i).c_str()),
           "cell phone - illegal characters");
  }
  for (std::size_t k = i + 1; k < text.size(); ++k) {
    if (!(text[k] == ' ' || text[k] == '-' || digit(text[k]))) {
      refuse(env, format("cell phone number contains illegal characters(2) %s", shown(k).c_str()),
             "cell phone - illegal characters");
    }
  }
  std::string number;
  for (char c : text) {
    if (c != ' ' && c != '-') number += c;
  }
  if (number.size() > kMaxNumberLength) {
    refuse(env,
           format(" cell number is longer than allowed %s %d\n", number.c_str(),
                  static_cast<int>(number.size())),
           "cell number too long");
  }
  return number;
}

std::string check_destination_type(Env& env, const std::string& field) {
  for (const char* type : {"SMC", "HMN", "HMV", "CST"}) {
    if (field.find(type) != std::string::npos) return type;
  }
  refuse(env, "no type in destination \n", "no type in destination");
}

void parse_subscriptions(Env& env, const std::string& field,
                         std::array<int, kMaxStatusCodes>& codes, int human_count) {
  std::string list = between_quotes(
      env, field,
      {"bad formatting of sbsc (type 1) \n", "bad formatting of station (type 2) \n", nullptr});
  for (char c : list) {
    if (!(c == ',' || c == ' ' || (c >= '0' && c <= '9'))) {
      refuse(env, "non digit status code registration field \n");
    }
  }
  common::FieldSplitter items(list.data(), ",");
  std::size_t filled = 0;
  while (char* item = items.next()) {
    int code = 0;
    if (!common::scan_int(item, code)) refuse(env, "too many status messages between comma\n");
    if (code < 0 || code >= human_count) {
      refuse(env,
             format("Non existing status code =%d (0 <= code <= %d)\n", code, human_count - 1));
    }
    if (filled == codes.size()) {
      refuse(env, format("too many status codes in subscription list (more than %d)\n",
                         kMaxStatusCodes));
    }
    codes[filled++] = code;
  }
}

namespace {
void name_and_number(Env& env, common::FieldSplitter& fields, int entry, std::string& name,
                     std::string& number) {
  // A line that begins with a zero byte reads as empty to the field splitter: it has no field 1,
  // and is refused as a name without quotes.
  const char* first = fields.next();
  name = check_name(env, first != nullptr ? first : "");
  const char* field = fields.next();
  if (field == nullptr) refuse(env, format("Error type 2 in line %d\n", entry));
  number = check_cell_number(env, field);
}
}  // namespace

std::vector<Station> load_stations(Env& env, Where* where) {
  TextFile file;
  if (!file.open(env.site.path("configuration", "stations.txt"))) {
    refuse(env, "NO STATIONS FILE\n");
  }
  std::vector<Station> stations;
  while (!file.at_end() && stations.size() < kMaxStations) {
    const int entry = static_cast<int>(stations.size());
    Line line = read_table_line(env, file, "stations.txt", entry, where);
    if (line.text.size() < kStationMinLine) continue;
    std::string text = prepare(line);
    common::FieldSplitter fields(text.data(), ";");
    Station station;
    name_and_number(env, fields, entry, station.name, station.number);
    if (fields.next() != nullptr) refuse(env, format("Error type 3 in line %d\n", entry));
    stations.push_back(std::move(station));
    stored(where);
  }
  at_line(where, 0);
  if (stations.empty()) refuse(env, "no valid stations\n");
  return stations;
}

void load_destinations(Env& env, std::vector<Destination>& destinations,
                       SubscriptionMatrix& subscribed, int human_count, Where* where) {
  TextFile file;
  if (!file.open(env.site.path("configuration", "destinations.txt"))) {
    refuse(env, "NO DESTINATION FILE\n");
  }
  destinations.clear();
  std::array<int, kMaxStatusCodes> codes;
  codes.fill(kNoCode);
  while (!file.at_end() && destinations.size() < kMaxDestinations) {
    const int entry = static_cast<int>(destinations.size());
    Line line = read_table_line(env, file, "destinations.txt", entry, where);
    if (line.text.size() < kDestinationMinLine) continue;
    std::string text = prepare(line);
    common::FieldSplitter fields(text.data(), ";");
    Destination destination;
    name_and_number(env, fields, entry, destination.name, destination.number);
    const char* type = fields.next();
    if (type == nullptr) refuse(env, format("Error type 3 in line %d\n", entry));
    destination.type = check_destination_type(env, type);
    destinations.push_back(std::move(destination));
    stored(where);
    const std::size_t j = destinations.size() - 1;
    if (const char* list = fields.next()) {
      parse_subscriptions(env, list, codes, human_count);
      for (int c = 0; c < human_count && c < kMaxStatusCodes; ++c) subscribed[c][j] = false;
      for (int k = 0; k < human_count && k < kMaxStatusCodes; ++k) {
        if (codes[k] < 90) subscribed[codes[k]][j] = true;
      }
    }
    codes.fill(kNoCode);
  }
  at_line(where, 0);
  if (destinations.empty()) refuse(env, "no valid destinations\n");
}

std::vector<std::string> load_human_texts(Env& env, Where* where) {
  TextFile file;
  if (!file.open(env.site.path("configuration", "human.txt"))) refuse(env, "NO human.txt FILE\n");
  std::vector<std::string> texts;
  while (!file.at_end() && texts.size() < kMaxStatusCodes) {
    Line line = file.read_line();
    at_line(where, file.line_number());
    if (line.hit_end && line.text.empty()) break;
    const int number = static_cast<int>(texts.size()) + 1;
    std::string text = line.text;
    if (line.has_line_end) text.pop_back();
    if (line.too_long || text.size() > kMaxStatusTextLength) {
      refuse(env, format(" line %d in file human.txt is too long\n", number));
    }
    texts.push_back(std::move(text));
    stored(where);
  }
  at_line(where, 0);
  return texts;
}

bool load_custom_templates(Env& env, std::vector<std::string>& templates, Where* where) {
  templates.clear();
  TextFile file;
  if (!file.open(env.site.path("configuration", "custom.txt"))) {
    say(env, "No custom.txt FILE\n");
    return false;
  }
  while (!file.at_end() && templates.size() < kMaxStatusCodes) {
    Line line = file.read_line();
    at_line(where, file.line_number());
    if (line.text.empty()) break;
    if (line.text.find_first_not_of(" \n\r") == std::string::npos) break;
    const int number = static_cast<int>(templates.size()) + 1;
    if (line.too_long) refuse(env, format(" line %d in file custom.txt is too long\n", number));
    const std::size_t open = line.text.find('"');
    const std::size_t close =
        open == std::string::npos ? std::string::npos : line.text.find('"', open + 1);
    if (close == std::string::npos) {
      refuse(env, format(" line %d in file custom.txt does not have proper message\n", number));
    }
    std::string text = line.text.substr(open + 1, close - open - 1);
    if (text.size() > kMaxStatusTextLength) {
      refuse(env, format(" line %d in file custom.txt is too long\n", number));
    }
    templates.push_back(std::move(text));
    stored(where);
  }
  at_line(where, 0);
  return true;
}

// options.txt: one switch a line, a word and its value as in cfg.txt ("traffic on"); blank lines
// and lines that begin with '#' are skipped. Absent, every switch is off and nothing is printed.
Options load_options(Env& env, Where* where) {
  Options options;
  TextFile file;
  if (!file.open(env.site.path("configuration", "options.txt"))) return options;
  while (!file.at_end()) {
    Line line = file.read_line();
    at_line(where, file.line_number());
    if (line.too_long) {
      refuse(env, format(" line %d in file options.txt is too long\n", file.line_number()));
    }
    std::string words[3];
    int count = 0;
    std::size_t pos = 0;
    const std::string& t = line.text;
    while (count < 3) {
      pos = t.find_first_not_of(" \t\n", pos);
      if (pos == std::string::npos) break;
      const std::size_t end = std::min(t.find_first_of(" \t\n", pos), t.size());
      words[count++] = t.substr(pos, end - pos);
      pos = end;
    }
    if (count == 0 || words[0][0] == '#') continue;
    const bool known = words[0] == "traffic" || words[0] == "heartbeat" || words[0] == "init" ||
                       words[0] == "storage" || words[0] == "reception";
    if (!known) {
      refuse(env, format(" line %d in file options.txt: unknown option %s\n", file.line_number(),
                         words[0].c_str()));
    }
    if (words[0] == "init") {
      // One AT command the modem's own manual asks for, sent as it stands.
      const std::string& c = words[1];
      bool printable = c.size() >= 2 && c.size() <= kMaxInitCommandLength && c.rfind("AT", 0) == 0;
      for (char ch : c) printable = printable && ch > ' ' && ch < 127;
      if (count != 2 || !printable) {
        refuse(env, format(" line %d in file options.txt: init takes one AT command of at most %d "
                           "printable characters\n",
                           file.line_number(), static_cast<int>(kMaxInitCommandLength)));
      }
      if (options.init.size() == kMaxInitCommands) {
        refuse(env, format(" line %d in file options.txt: more than %d init lines\n",
                           file.line_number(), static_cast<int>(kMaxInitCommands)));
      }
      options.init.push_back(c);
      stored(where);
      continue;
    }
    if (words[0] == "reception") {
      if (count != 2 || (words[1] != "events" && words[1] != "poll")) {
        refuse(env, format(" line %d in file options.txt: reception takes events or poll\n",
                           file.line_number()));
      }
      options.events = words[1] == "events";
      stored(where);
      continue;
    }
    if (words[0] == "storage") {
      if (count != 2 || (words[1] != "SM" && words[1] != "ME" && words[1] != "MT")) {
        refuse(env, format(" line %d in file options.txt: storage takes SM, ME or MT\n",
                           file.line_number()));
      }
      options.storage = words[1];
      stored(where);
      continue;
    }
    if (count != 2 || (words[1] != "on" && words[1] != "off")) {
      refuse(env, format(" line %d in file options.txt: %s takes on or off\n", file.line_number(),
                         words[0].c_str()));
    }
    const bool on = words[1] == "on";
    if (words[0] == "traffic") options.traffic = on;
    if (words[0] == "heartbeat") options.heartbeat = on;
    stored(where);
  }
  at_line(where, 0);
  return options;
}

Tables load_all(Env& env) {
  Tables tables;
  tables.stations = load_stations(env);
  tables.human_texts = load_human_texts(env);
  load_destinations(env, tables.destinations, tables.subscribed,
                    static_cast<int>(tables.human_texts.size()));
  tables.custom_templates_present = load_custom_templates(env, tables.custom_templates);
  tables.options = load_options(env);
  tables.alarms = load_alarms(env, tables.stations, tables.destinations);
  tables.pin = load_pin(env);
  return tables;
}

}  // namespace mvo::config
