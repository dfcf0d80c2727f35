// The report: parse_report, the composition for each destination type and the template
// expansion. The input is the message text, then (after byte 0xff) a custom template, then a
// station name; each is cut to what the gateway can hold there (60 characters of an accepted
// text; a template or name as its loader leaves it).
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/gateway.h"
#include "fuzz/support.h"

namespace {

using namespace mvo;
using fuzz::check;
using fuzz::shown;

// What a loader can leave in a text between quotes: no quote, no line end, nothing after a
// byte 26 (it ends the file), no semicolon in a table field, at most `limit` characters.
std::string as_loaded(const std::string& text, std::size_t limit, bool table_field) {
  std::string out;
  for (char c : text) {
    if (c == 26) break;
    if (c != '"' && c != '\r' && c != '\n' && !(table_field && c == ';')) out += c;
  }
  return out.substr(0, limit);
}

// The expansion as the placeholders define it, before any cut.
std::string expanded(const std::string& templ, const std::string& name, const sms::Report& f) {
  std::string out;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    const std::string letters = "SDLOVTEX";
    const std::size_t k =
        i + 1 < templ.size() && templ[i] == '&' ? letters.find(templ[i + 1]) : std::string::npos;
    if (k == std::string::npos) {
      out += templ[i];
      continue;
    }
    static const int kField[] = {-1, 0, 1, 2, 3, 4, 5, 2};
    out += kField[k] < 0 ? name : f[static_cast<std::size_t>(kField[k])];
    ++i;
  }
  return out;
}

config::Tables tables_for(const std::string& name, const std::string& templ) {
  config::Tables t;
  t.stations = {{name, "+4410"}};
  for (int c = 0; c < config::kMaxStatusCodes; ++c) {
    t.human_texts.push_back("status " + std::to_string(c));
    t.custom_templates.push_back(templ);
    for (int d = 1; d < 4; ++d) t.subscribed[c][d] = true;
  }
  t.destinations = {{"copy", "+111", "SMC"},
                    {"level", "+222", "HMN"},
                    {"volume", "+333", "HMV"},
                    {"custom", "+444", "CST"}};
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> parts = fuzz::split(data, size, 3);
  const std::string text = parts[0].substr(0, sms::kMaxAcceptedText);
  const std::string templ =
      as_loaded(parts.size() > 1 ? parts[1] : "&S: &L m", config::kMaxStatusTextLength, false);
  const std::string name =
      as_loaded(parts.size() > 2 ? parts[2] : "Tank3", config::kMaxNameLength, true);

  fuzz::clear_dir("log");
  fuzz::SilentPeer peer;
  fuzz::World world(peer);
  config::Tables tables = tables_for(name, templ);

  driver::Report report;
  report.text = text;
  if (!sms::parse_report(world.env, text, report.fields, report.status_code,
                         static_cast<int>(tables.human_texts.size()))) {
    return 0;
  }
  check(report.status_code >= 0 && report.status_code < config::kMaxStatusCodes,
        "status code out of range", std::to_string(report.status_code));
  for (const std::string& field : report.fields) {
    check(field.find(',') == std::string::npos && field.size() <= text.size(),
          "field with a comma or longer than the text", shown(field));
  }

  const std::string expansion = driver::expand_template(templ, name, report.fields);
  check(expansion == expanded(templ, name, report.fields).substr(0, driver::kMaxExpansion),
        "expansion differs from its placeholders, or is not cut at 598",
        shown(templ) + " -> " + shown(expansion));

  for (bool present : {true, false}) {
    tables.custom_templates_present = present;
    for (std::size_t d = 0; d < tables.destinations.size(); ++d) {
      const std::string composed = driver::compose_text(tables, report, d);
      fuzz::check_composed(composed, tables.destinations[d].type);
      if (d != 0) continue;
      // The copy is the text itself; only the bytes that cannot be sent become '?'.
      const std::string raw = "+4410," + text;
      check(composed.size() == raw.size() + 1, "copy of another length", shown(composed));
      for (std::size_t i = 0; i < raw.size(); ++i) {
        const bool unsafe = raw[i] == 26 || raw[i] == 27 || raw[i] == 0;
        check(composed[i] == (unsafe ? driver::kUnsafeByteStandIn : raw[i]),
              "copy differs from the report", shown(composed));
      }
    }
  }
  return 0;
}
