// The report page: one HTML document with inline CSS and SVG, no script and no external resource,
// so it opens from a USB stick on a PC without a network.
#include <algorithm>
#include <cmath>

#include "common/text.h"
#include "config/tables.h"
#include "report.h"

namespace mvo::report {

using common::format;

namespace {

// Chart geometry, in pixels: one column of the plot per kColumns column of the model.
constexpr int kLeft = 64, kRight = 36, kTop = 8, kPlot = 100, kBottom = 18;
constexpr int kWidth = kLeft + kColumns + kRight;
constexpr int kBand = 14;

// Colours of the status codes 0..19 (band and legend) and of the failure tags.
constexpr const char* kCodeColours[config::kMaxStatusCodes] = {
    "#4caf50", "#e53935", "#fb8c00", "#1e88e5", "#8e24aa", "#fdd835", "#00897b",
    "#6d4c41", "#d81b60", "#3949ab", "#7cb342", "#f4511e", "#00acc1", "#5e35b1",
    "#c0ca33", "#757575", "#ad1457", "#0277bd", "#2e7d32", "#ff6f00"};
constexpr int kTagColours = 8;
constexpr const char* kTagPalette[kTagColours + 1] = {"#e53935", "#1e88e5", "#fb8c00",
                                                      "#8e24aa", "#00897b", "#6d4c41",
                                                      "#d81b60", "#3949ab", "#9e9e9e"};

// Text for HTML: markup characters escaped, control characters shown as '?', and bytes that are
// not UTF-8 taken as Windows-1252 (configuration files written on Windows often are).
std::string esc(const std::string& text) {
  const std::string s = common::as_utf8(text);
  std::string out;
  out.reserve(s.size());
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (c == '\n') {
      out += " \xe2\x8f\x8e ";  // the return symbol: a tag that spans lines
    } else if (c < 0x20 || c == 0x7f) {
      out += '?';
    } else {
      out += ch;
    }
  }
  return out;
}

std::string num(double v) {
  if (v != 0 && (std::fabs(v) >= 1e6 || std::fabs(v) < 1e-3)) return format("%.3g", v);
  std::string s = format("%.3f", v);
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

// Time ticks at a round step in the shown zone.
void time_ticks(std::ostream& out, const Axis& axis, int offset_s, int height) {
  static constexpr std::int64_t kSteps[] = {3600,       3 * 3600,   6 * 3600,   12 * 3600,
                                            86400,      2 * 86400,  7 * 86400,  14 * 86400,
                                            28 * 86400, 91 * 86400, 364 * 86400};
  const std::int64_t span = axis.end - axis.start;
  std::int64_t step = kSteps[std::size(kSteps) - 1];
  for (std::int64_t s : kSteps) {
    if (span / s <= 7) {
      step = s;
      break;
    }
  }
  // Weeks and longer start on a Monday (1970-01-05 was one).
  const std::int64_t anchor = step >= 7 * 86400 ? 4 * 86400 : 0;
  const std::int64_t local_start = axis.start + offset_s - anchor;
  std::int64_t t =
      (local_start / step + (local_start % step > 0 ? 1 : 0)) * step + anchor - offset_s;
  for (; t <= axis.end; t += step) {
    const int c = axis.column(t);
    if (c < 0) continue;
    const int x = kLeft + c;
    const logs::CivilTime lt = logs::civil_from_seconds(t + offset_s);
    const std::string label =
        step < 86400 ? format("%02d-%02d %02d:%02d", lt.month, lt.day, lt.hour, lt.minute)
                     : format("%04d-%02d-%02d", lt.year, lt.month, lt.day);
    out << format("<line class=\"grid\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>", x, kTop, x,
                  kTop + height)
        << format("<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">", x, kTop + height + 13) << label
        << "</text>";
  }
}

// A few round values (1, 2 or 5 times a power of ten) from `lo` to `hi`, the range widened to
// the ticks at either end.
std::vector<double> round_ticks(double& lo, double& hi) {
  const double raw = (hi - lo) / 4;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = 10 * magnitude;
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * magnitude >= raw) {
      step = m * magnitude;
      break;
    }
  }
  lo = std::floor(lo / step) * step;
  hi = std::ceil(hi / step) * step;
  std::vector<double> ticks;
  for (int i = 0; i < 12 && lo + i * step <= hi + step / 2; ++i) ticks.push_back(lo + i * step);
  return ticks;
}

// A line chart of one series: per column, a stroke from its minimum to its maximum. The line
// breaks where the station was silent for longer than a few of its usual intervals, so a gap is
// not drawn as steady readings; each piece is one polyline.
void line_chart(std::ostream& out, const char* kind, const char* unit, const Station& st,
                const Axis& axis, int offset_s) {
  const bool level = kind[0] == 'l';
  float lo_f = 0, hi_f = 0;
  bool any = false;
  for (const Column& c : st.columns) {
    const bool has = level ? c.has_level : c.has_volume;
    if (!has) continue;
    const float a = level ? c.level_min : c.volume_min;
    const float b = level ? c.level_max : c.volume_max;
    if (!any || a < lo_f) lo_f = a;
    if (!any || b > hi_f) hi_f = b;
    any = true;
  }
  double lo = lo_f, hi = hi_f;
  if (hi - lo < 1e-6 * std::max(1.0, std::fabs(hi))) {
    lo -= 1;
    hi += 1;
  }
  const std::vector<double> ticks = round_ticks(lo, hi);
  auto y = [&](double v) {
    return kTop + static_cast<int>(std::lround((hi - v) / (hi - lo) * kPlot));
  };
  // Columns further apart than this are two pieces: four usual intervals, at least two columns.
  const double column_s = static_cast<double>(axis.end - axis.start + 1) / kColumns;
  const double gap_columns =
      std::max(2.0, 4.0 * static_cast<double>(st.typical_interval) / column_s);
  std::vector<std::string> pieces;
  int count = 0, previous = -1;
  for (int i = 0; i < kColumns; ++i) {
    const Column& c = st.columns[static_cast<std::size_t>(i)];
    if (!(level ? c.has_level : c.has_volume)) continue;
    if (previous < 0 || i - previous > gap_columns) pieces.emplace_back();
    previous = i;
    std::string& points = pieces.back();
    const int y1 = y(level ? c.level_max : c.volume_max);
    const int y2 = y(level ? c.level_min : c.volume_min);
    points += format("%s%d,%d", points.empty() ? "" : " ", kLeft + i, y1);
    ++count;
    if (y2 != y1) {
      points += format(" %d,%d", kLeft + i, y2);
      ++count;
    }
  }
  int bad = 0;
  std::string marks;
  for (int i = 0; i < kColumns; ++i) {
    if (!st.columns[static_cast<std::size_t>(i)].invalid) continue;
    marks += format("M%d %dv-7", kLeft + i, kTop + kPlot);
    ++bad;
  }
  out << format(
             "<svg class=\"chart %s\" data-points=\"%d\" data-pieces=\"%d\" data-invalid=\"%d\" "
             "width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\">",
             kind, count, static_cast<int>(pieces.size()), bad, kWidth, kTop + kPlot + kBottom,
             kWidth, kTop + kPlot + kBottom)
      << format("<text x=\"4\" y=\"%d\">%s</text>", kTop + 10, level ? "level" : "volume")
      << format("<text x=\"4\" y=\"%d\">%s</text>", kTop + 22, unit);
  time_ticks(out, axis, offset_s, kPlot);
  if (any) {
    for (double v : ticks) {
      const int ty = y(v);
      out << format("<line class=\"grid ytick\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>", kLeft,
                    ty, kLeft + kColumns, ty)
          << format("<text class=\"ytick\" x=\"%d\" y=\"%d\" text-anchor=\"end\">", kLeft - 4,
                    ty + 3)
          << num(v) << "</text>";
    }
  }
  out << format("<rect class=\"frame\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"/>", kLeft, kTop,
                kColumns, kPlot);
  for (const std::string& points : pieces) {
    // A lone point draws no line: a dot shows it (a station with one reading).
    const std::size_t comma = points.find(',');
    if (points.find(' ') == std::string::npos) {
      out << "<circle cx=\"" << points.substr(0, comma) << "\" cy=\"" << points.substr(comma + 1)
          << "\" r=\"2.5\"/>";
    } else {
      out << "<polyline points=\"" << points << "\"/>";
    }
  }
  if (!marks.empty()) out << "<path class=\"bad\" d=\"" << marks << "\"/>";
  out << "</svg>\n";
}

// The status band: runs of columns with the same code, each status held until the next report.
void status_band(std::ostream& out, const Station& st, const std::vector<std::string>& human) {
  out << format("<svg class=\"band\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">", kWidth,
                kBand, kWidth, kBand)
      << format("<text x=\"4\" y=\"11\">status</text>");
  std::vector<bool> seen(config::kMaxStatusCodes, false);
  int code = -1, from = 0;
  int last_column = -1;
  for (int i = 0; i < kColumns; ++i) {
    if (st.columns[static_cast<std::size_t>(i)].code >= 0) last_column = i;
  }
  auto flush = [&](int to) {
    if (code < 0) return;
    out << format("<rect class=\"c%d\" x=\"%d\" y=\"0\" width=\"%d\" height=\"%d\"/>", code,
                  kLeft + from, to - from, kBand);
  };
  for (int i = 0; i <= last_column; ++i) {
    const int c = st.columns[static_cast<std::size_t>(i)].code;
    if (c < 0 || c == code) continue;
    flush(i);
    code = c;
    from = i;
    seen[static_cast<std::size_t>(c)] = true;
  }
  flush(last_column + 1);
  out << "</svg>\n<ul class=\"legend\">";
  for (std::size_t c = 0; c < seen.size(); ++c) {
    if (!seen[c]) continue;
    const std::string text = c < human.size() ? human[c] : format("code %d", static_cast<int>(c));
    out << format("<li><i class=\"sw c%d\"></i>%d ", static_cast<int>(c), static_cast<int>(c))
        << esc(text) << "</li>";
  }
  out << "</ul>\n";
}

// Bars per bucket of days, stacked by series.
struct Bars {
  std::int64_t first_day = 0;
  int days_per_bar = 1;
  std::vector<std::vector<std::uint32_t>> stacks;  // [bar][series]
};

void bar_chart(std::ostream& out, const char* kind, const Bars& bars,
               const std::vector<std::string>& classes) {
  constexpr int kHeight = 80;
  std::uint32_t top = 1;
  for (const auto& s : bars.stacks) {
    std::uint32_t sum = 0;
    for (std::uint32_t v : s) sum += v;
    top = std::max(top, sum);
  }
  const int n = static_cast<int>(bars.stacks.size());
  const int w = std::clamp(kColumns / std::max(1, n), 1, 60);
  out << format("<svg class=\"bars %s\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">", kind,
                kWidth, kTop + kHeight + kBottom, kWidth, kTop + kHeight + kBottom)
      << format("<rect class=\"frame\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"/>", kLeft, kTop,
                kColumns, kHeight)
      << format("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%u</text>", kLeft - 4, kTop + 9, top)
      << format("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">0</text>", kLeft - 4, kTop + kHeight);
  const int label_every = std::max(1, n / 6);
  for (int b = 0; b < n; ++b) {
    const int x = kLeft + b * w;
    int y = kTop + kHeight;
    const auto& s = bars.stacks[static_cast<std::size_t>(b)];
    for (std::size_t k = 0; k < s.size(); ++k) {
      if (s[k] == 0) continue;
      const int h = std::max(1, static_cast<int>(std::lround(1.0 * s[k] / top * kHeight)));
      y -= h;
      out << format("<rect class=\"%s\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"/>",
                    classes[k].c_str(), x, y, std::max(1, w - 1), h);
    }
    if (b % label_every == 0) {
      const logs::CivilTime t =
          logs::civil_from_seconds((bars.first_day + b * bars.days_per_bar) * 86400);
      out << format("<text x=\"%d\" y=\"%d\">%02d-%02d</text>", x, kTop + kHeight + 13, t.month,
                    t.day);
    }
  }
  out << "</svg>\n";
}

constexpr const char* kStyle = R"(
body{font:14px/1.4 system-ui,-apple-system,"Segoe UI",sans-serif;margin:16px 24px;color:#222}
h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:24px 0 8px;border-bottom:2px solid #333}
h3{font-size:15px;margin:14px 0 4px}h3 small{color:#666;font-weight:normal}
.meta,.note{color:#555;font-size:12px}
table{border-collapse:collapse}th,td{padding:3px 9px;border-bottom:1px solid #ddd;text-align:left}
th{background:#f2f2f2}td.n{text-align:right}
tr.silent td{background:#fdecea}tr.invalid td{background:#fff6e0}
.flag{background:#c62828;color:#fff;padding:1px 6px;border-radius:3px;font-weight:bold;font-size:12px}
.flag.warn{background:#ef6c00}.flag.good{background:#2e7d32}.flag.unknown{background:#6d4c41}
.banner{padding:10px 14px;margin:0 0 12px;border-radius:4px;color:#fff;font-size:16px}
.banner b{font-size:20px;margin-right:10px}.banner p{margin:4px 0 0;font-size:14px}
.banner.s0{background:#2e7d32}.banner.s1{background:#ef6c00}.banner.s2{background:#c62828}
.banner.s3{background:#6d4c41}
.station{margin-bottom:10px}
svg{display:block}svg text{font-size:10px;fill:#555;font-family:sans-serif}
.frame{fill:none;stroke:#bbb}.grid{stroke:#eee}
polyline{fill:none;stroke-width:1.3;stroke-linejoin:round}
.level polyline{stroke:#1565c0}.volume polyline{stroke:#2e7d32}
.level circle{fill:#1565c0}.volume circle{fill:#2e7d32}
.bad{stroke:#d50000;stroke-width:2}
.legend{list-style:none;margin:2px 0 0;padding:0 0 0 64px;font-size:12px}
.legend li{display:inline-block;margin-right:14px}
.sw{display:inline-block;width:11px;height:11px;margin-right:4px;vertical-align:-1px}
.onair{fill:#2e7d32;background:#2e7d32}.ufo{fill:#6a1b9a;background:#6a1b9a}
.long{fill:#f9a825;background:#f9a825}.malformed{fill:#ef6c00;background:#ef6c00}
.stop{fill:#78909c;background:#78909c}
)";

const char* const kStateWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

void head(std::ostream& out, const std::string& title) {
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      << "<title>MVO report: " << esc(title) << "</title><style>" << kStyle;
  for (int c = 0; c < config::kMaxStatusCodes; ++c) {
    out << format(".c%d{fill:%s;background:%s}", c, kCodeColours[c], kCodeColours[c]);
  }
  for (int t = 0; t <= kTagColours; ++t) {
    out << format(".t%d{fill:%s;background:%s}", t, kTagPalette[t], kTagPalette[t]);
  }
  out << "</style></head><body>\n";
}

// The verdict and the gateway's state, first on the page: what is wrong comes before the charts.
void banner(std::ostream& out, const SiteReport& site, const Settings& settings,
            const std::string& id) {
  const CheckResult check = check_site(site, settings);
  const GatewayView g = gateway_view(site, settings);
  out << "<div class=\"banner s" << check.code << "\" id=\"" << id << "\" data-state=\""
      << modem_state_name(g.state) << "\"><b>" << kStateWords[check.code] << "</b>"
      << esc(check.text) << "<p>Gateway: <strong>" << esc(g.text) << "</strong>";
  if (site.heartbeat.enabled) {
    out << " (from its state file, log/gateway.state)";
  } else {
    out << " (from the error log)";
  }
  out << "</p></div>\n";
}

void site_body(std::ostream& out, const SiteReport& site, const Settings& settings,
               const std::string& prefix);

}  // namespace

namespace {

void site_body(std::ostream& out, const SiteReport& site, const Settings& settings,
               const std::string& prefix) {
  const int off = settings.display_offset_s;
  out << "<p class=\"meta\">Site " << esc(site.site) << ". Written " << show_time(settings.now, off)
      << ". Times are shown in " << show_offset(off)
      << " (this PC's zone); each station time stamp is placed by its own zone. Charts from "
      << show_time(site.axis.start, off) << " to " << show_time(site.axis.end, off) << ".</p>\n";

  // Overview.
  out << "<h2>Stations, those that need attention first</h2>\n<table id=\"" << prefix
      << "overview\"><tr><th>Station</th><th>Number</th>"
      << "<th>Last message</th><th>Status</th><th>Level (m)</th><th>Volume (l)</th>"
      << "<th>24 h</th><th>7 days</th><th></th></tr>\n";
  const auto order = by_urgency(site, settings);
  for (std::size_t i : order) {
    const Station& s = site.stations[i];
    const bool silent = is_silent(s, settings);
    const bool bad_last = s.heard && !s.last_reading.valid;
    out << "<tr class=\""
        << (silent     ? "silent"
            : bad_last ? "invalid"
                       : "fine")
        << "\" data-number=\"" << esc(s.number) << "\"><td><a href=\"#" << prefix << "st" << i
        << "\">" << esc(s.name) << "</a></td><td>" << esc(s.number) << "</td><td>";
    if (s.heard) {
      out << show_time(s.last, off) << " <small>(" << show_span(settings.now - s.last)
          << " ago)</small>";
    } else {
      out << "never";
    }
    out << "</td><td>";
    const Reading& r = s.last_reading;
    if (r.valid) {
      const std::string text = static_cast<std::size_t>(r.code) < site.human_texts.size()
                                   ? site.human_texts[static_cast<std::size_t>(r.code)]
                                   : format("code %d", r.code);
      out << format("<i class=\"sw c%d\"></i>", r.code) << esc(text) << "</td><td class=\"n\">"
          << esc(r.level_text) << "</td><td class=\"n\">" << esc(r.volume_text);
    } else if (s.heard) {
      out << "not a valid report: <code>" << esc(s.last_text) << "</code></td><td></td><td>";
    } else {
      out << "</td><td></td><td>";
    }
    out << format("</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td><td>",
                  static_cast<unsigned long long>(s.last_24h),
                  static_cast<unsigned long long>(s.last_7d));
    if (!s.heard) {
      out << "<span class=\"flag silent\">NEVER HEARD</span>";
    } else if (silent) {
      out << "<span class=\"flag silent\">SILENT " << show_span(settings.now - s.last) << "</span>";
    } else if (bad_last) {
      out << "<span class=\"flag warn\">INVALID LAST</span>";
    } else {
      out << "<span class=\"flag good\">OK</span>";
    }
    out << "</td></tr>\n";
  }
  out << "</table>\n<p class=\"note\">Silent: no message for more than "
      << num(static_cast<double>(settings.silent_after_s) / 3600) << " h. "
      << "Counts are messages received, valid reports or not.</p>\n";
  if (!site.human_problem.empty()) {
    out << "<p class=\"note\">human.txt could not be read (" << esc(site.human_problem)
        << "): status codes are shown as numbers, 0 to 19 taken as valid.</p>\n";
  }

  // Stations.
  out << "<h2>Station charts</h2>\n";
  for (std::size_t i : order) {
    const Station& s = site.stations[i];
    out << "<section class=\"station\" id=\"" << prefix << "st" << i << "\" data-number=\""
        << esc(s.number) << "\"><h3>" << esc(s.name) << " <small>" << esc(s.number)
        << "</small></h3>\n";
    if (!s.log_found) {
      out << "<p class=\"note\">No log file (log/" << esc(s.log_name)
          << "): nothing received from this station.</p></section>\n";
      continue;
    }
    if (s.in_range == 0) {
      out << "<p class=\"note\">No message in the charted period.</p></section>\n";
      continue;
    }
    line_chart(out, "level", "m", s, site.axis, off);
    line_chart(out, "volume", "l", s, site.axis, off);
    status_band(out, s, site.human_texts);
    out << format("<p class=\"note\">%llu messages charted",
                  static_cast<unsigned long long>(s.in_range));
    if (s.invalid > 0) {
      out << format(
          "; %llu not valid reports (too long or malformed), marked in red on the "
          "time axes",
          static_cast<unsigned long long>(s.invalid));
    }
    if (s.unreadable.total() > 0) {
      out << format("; %llu log lines could not be read",
                    static_cast<unsigned long long>(s.unreadable.total()));
    }
    out << ".</p></section>\n";
  }

  // Gateway health.
  const Health& h = site.health;
  const GatewayView g = gateway_view(site, settings);
  out << "<h2>Gateway</h2>\n<p>";
  const bool up = g.state == ModemState::kOnAir;
  out << "<span class=\"flag " << (up ? "good" : "silent") << "\">";
  for (const char* c = modem_state_name(g.state); *c != '\0'; ++c) {
    out << static_cast<char>(*c >= 'a' && *c <= 'z' ? *c - 32 : *c);
  }
  out << "</span> " << esc(g.text) << ".";
  if (site.heartbeat.enabled && site.heartbeat.found) {
    const logs::GatewayState& st = site.heartbeat.state;
    out << " State file: version " << esc(st.version) << ", state \"" << esc(st.state)
        << "\", last written " << show_time(st.beat_utc, off) << " ("
        << show_span(settings.now - st.beat_utc) << " ago).";
    if (g.off_air_since && g.state != ModemState::kOnAir) {
      out << " Off the air since " << show_time(*g.off_air_since, off)
          << ", however often the gateway restarted.";
    }
  }
  out << "</p>\n";
  if (!h.log_found) {
    out << "<p>No error log (log/err_log.csv): the gateway has not run in this site.</p>\n";
  } else {
    out << "<p>Last bring-up (\"On the air\"): "
        << (h.last_on_air ? show_time(settings.local_to_utc(*h.last_on_air), off) : "never")
        << ". The error log says the gateway is ";
    if (h.off_air_since) {
      out << "off the air since " << show_time(settings.local_to_utc(*h.off_air_since), off)
          << " (\"" << esc(h.off_air_tag) << "\", and no bring-up since).";
    } else if (h.last_on_air) {
      out << "on the air (nothing that ends a modem cycle since the last bring-up).";
    } else {
      out << "never on the air.";
    }
    out << "</p>\n";
    if (!h.bars.empty()) {
      Bars on_air, modem, refused;
      on_air.days_per_bar = h.days_per_bar;
      on_air.first_day = h.first_day;
      const std::size_t n = h.bars.size();
      modem = refused = on_air;
      // Modem faults: the most frequent tags in colour, the rest together. Station content
      // refused: strangers, over-long texts and malformed reports. A stop on request is planned,
      // no fault: it is charted beside the bring-ups.
      std::vector<std::size_t> by_count(h.tags.size());
      for (std::size_t i = 0; i < by_count.size(); ++i) by_count[i] = i;
      std::stable_sort(by_count.begin(), by_count.end(), [&](std::size_t a, std::size_t b) {
        return h.tags[a].count > h.tags[b].count;
      });
      std::vector<int> series(kMaxTags + 1, kTagColours);
      // 1 over-long, 2 malformed, 3 a stop on request; -1 a fault
      std::vector<int> refusal(kMaxTags + 1, -1);
      constexpr int kStop = 3;
      int coloured = 0;
      for (std::size_t k : by_count) {
        const TagGroup group = tag_group(h.tags[k].tag);
        if (group == TagGroup::kStation) {
          refusal[k] = h.tags[k].tag == "SMS too long" ? 1 : 2;
        } else if (group == TagGroup::kStop) {
          refusal[k] = kStop;
        } else if (coloured < kTagColours) {
          series[k] = coloured++;
        }
      }
      on_air.stacks.assign(n, std::vector<std::uint32_t>(2));
      refused.stacks.assign(n, std::vector<std::uint32_t>(3));
      modem.stacks.assign(n, std::vector<std::uint32_t>(kTagColours + 1));
      std::uint64_t modem_total = 0, refused_total = h.ufo, stops = 0;
      for (std::size_t b = 0; b < n; ++b) {
        const DayHealth& d = h.bars[b];
        on_air.stacks[b][0] += d.on_air;
        refused.stacks[b][0] += d.ufo;
        for (const auto& [tag, count] : d.failures) {
          const auto k = static_cast<std::size_t>(tag);
          if (refusal[k] == kStop) {
            on_air.stacks[b][1] += count;
            stops += count;
          } else if (refusal[k] > 0) {
            refused.stacks[b][static_cast<std::size_t>(refusal[k])] += count;
            refused_total += count;
          } else {
            modem.stacks[b][static_cast<std::size_t>(series[k])] += count;
            modem_total += count;
          }
        }
      }
      const std::string per =
          on_air.days_per_bar == 1 ? "day" : format("%d days", on_air.days_per_bar);
      std::vector<std::string> tag_classes;
      for (int t = 0; t <= kTagColours; ++t) tag_classes.push_back(format("t%d", t));
      out << "<h3>Bring-ups (\"On the air\") per " << per;
      if (stops > 0) {
        out << format(", and stops on request (%llu)", static_cast<unsigned long long>(stops));
      }
      out << "</h3>\n";
      bar_chart(out, "bringups", on_air, {"onair", "stop"});
      out << "<h3>Modem, port and network faults per " << per
          << format(" (%llu)", static_cast<unsigned long long>(modem_total)) << "</h3>\n";
      bar_chart(out, "failures", modem, tag_classes);
      out << "<h3>Station messages refused per " << per
          << format(" (%llu)", static_cast<unsigned long long>(refused_total)) << "</h3>\n";
      bar_chart(out, "refused", refused, {"ufo", "long", "malformed"});
      out << "<ul class=\"legend\"><li><i class=\"sw ufo\"></i>from a number not in stations.txt "
             "(\"SMS from UFO\")</li><li><i class=\"sw long\"></i>over 60 characters (\"SMS too "
             "long\")</li><li><i class=\"sw malformed\"></i>not a report (\"Illegal SMS ...\")</li>"
             "</ul>\n";
      out << "<table id=\"" << prefix
          << "tags\"><tr><th>Tag</th><th>Count</th><th>Last</th><th>Meaning</th></tr>\n";
      for (std::size_t k : by_count) {
        const TagInfo* info = find_tag(h.tags[k].tag);
        const std::string swatch = refusal[k] == 1       ? "long"
                                   : refusal[k] == 2     ? "malformed"
                                   : refusal[k] == kStop ? "stop"
                                                         : format("t%d", series[k]);
        out << "<tr><td><i class=\"sw " << swatch << "\"></i>" << esc(h.tags[k].tag)
            << format("</td><td class=\"n\">%llu</td><td>",
                      static_cast<unsigned long long>(h.tags[k].count))
            << show_time(settings.local_to_utc(h.tags[k].last), off) << "</td><td>"
            << (info != nullptr ? esc(info->meaning)
                                : std::string("a tag this mvo-report does not know (a newer "
                                              "gateway's?); taken as the end of the modem cycle"));
        if (info != nullptr && info->effect == CycleEffect::kEnds) out << "; ends the modem cycle";
        out << "</td></tr>\n";
      }
      if (h.other_count > 0) {
        out << format(
            "<tr><td><i class=\"sw t%d\"></i>other tags</td><td class=\"n\">%llu</td>"
            "<td></td><td></td></tr>\n",
            kTagColours, static_cast<unsigned long long>(h.other_count));
      }
      out << "</table>\n";
      out << format("<p class=\"note\">%llu messages from numbers not in stations.txt",
                    static_cast<unsigned long long>(h.ufo));
      if (h.last_ufo) out << ", the last at " << show_time(settings.local_to_utc(*h.last_ufo), off);
      out << (site.traffic.found
                  ? "; the traffic log names the senders (below).</p>\n"
                  : ". The error log holds the event, not the sender's number: the traffic log "
                    "(\"traffic on\" in configuration/options.txt) names them.</p>\n");
    }
  }

  // Traffic: texts per destination, strangers by number.
  const Traffic& t = site.traffic;
  if (t.found) {
    static const char* const kOutcomeWords[kOutcomes] = {"sent", "failed", "refused by the network",
                                                         "not sent", "cut short by a stop"};
    out << "<h3>Texts to destinations in the charted period</h3>\n<table id=\"" << prefix
        << "traffic\"><tr><th>Destination</th><th>Number</th>";
    for (const char* w : kOutcomeWords) out << "<th>" << w << "</th>";
    out << "</tr>\n";
    for (const DestinationTraffic& d : t.destinations) {
      const bool bad = d.count[kFailed] + d.count[kRefused] > 0;
      out << "<tr class=\"" << (bad ? "invalid" : "fine") << "\"><td>" << esc(d.name) << "</td><td>"
          << esc(d.number) << "</td>";
      for (int o = 0; o < kOutcomes; ++o) {
        out << format("<td class=\"n\">%llu", static_cast<unsigned long long>(d.count[o]));
        if (d.count[o] > 0) {
          out << " <small>(last " << show_time(settings.local_to_utc(d.last[o]), off)
              << ")</small>";
        }
        out << "</td>";
      }
      out << "</tr>\n";
    }
    out << "</table>\n";
    if (t.other_destinations > 0) {
      out << format("<p class=\"note\">%llu texts to further numbers not listed.</p>\n",
                    static_cast<unsigned long long>(t.other_destinations));
    }
    if (!t.strangers.empty()) {
      out << "<h3>Un-authorized senders</h3>\n<table id=\"" << prefix
          << "strangers\"><tr><th>Number</th><th>Messages</th></tr>\n";
      for (const auto& [number, count] : t.strangers) {
        out << "<tr><td>" << esc(number)
            << format("</td><td class=\"n\">%llu</td></tr>\n",
                      static_cast<unsigned long long>(count));
      }
      if (t.other_strangers > 0) {
        out << format("<tr><td>others</td><td class=\"n\">%llu</td></tr>\n",
                      static_cast<unsigned long long>(t.other_strangers));
      }
      out << "</table>\n";
    }
  }

  // The gateway's own alarms, newest first.
  if (site.alarms.found) {
    out << "<h3>Alarms sent by the gateway</h3>\n";
    if (!site.alarms.silent.empty()) {
      out << "<p class=\"note\">Silent, texted, and not heard from since:";
      for (const std::string& who : site.alarms.silent) out << " " << esc(who) << ";";
      out << "</p>\n";
    }
    out << "<table id=\"" << prefix << "alarms\"><tr><th>Sent</th><th>Text</th></tr>\n";
    for (auto a = site.alarms.sent.rbegin(); a != site.alarms.sent.rend(); ++a) {
      out << "<tr><td>" << esc(a->shown) << "</td><td>" << esc(a->text) << "</td></tr>\n";
    }
    out << "</table>\n";
    if (site.alarms.sent.empty()) out << "<p class=\"note\">No alarm text sent yet.</p>\n";
  }

  if (!site.unlisted_logs.empty()) {
    out << "<h3>Station logs of numbers not in stations.txt</h3>\n<table id=\"" << prefix
        << "unlisted\"><tr><th>File</th><th>Messages</th></tr>\n";
    for (const auto& [name, count] : site.unlisted_logs) {
      out << "<tr><td>" << esc(name)
          << format("</td><td class=\"n\">%llu</td></tr>\n",
                    static_cast<unsigned long long>(count));
    }
    out << "</table>\n<p class=\"note\">Stations taken off the list keep their log files; an "
           "un-authorized sender never gets one.</p>\n";
  }

  // What could not be read.
  out << "<h2>Unreadable log lines</h2>\n";
  if (!site.problems.empty() || !site.skipped.empty()) {
    out << "<ul id=\"" << prefix << "problems\">";
    for (const std::string& p : site.problems) {
      out << "<li><span class=\"flag unknown\">CANNOT READ</span> " << esc(p) << "</li>";
    }
    for (const std::string& p : site.skipped) out << "<li>skipped " << esc(p) << "</li>";
    out << "</ul>\n";
  }
  out << "<table id=\"" << prefix << "unreadable\"><tr><th>File</th>"
      << "<th>Not a record</th><th>Foreign zone</th><th>Impossible date</th>"
      << "<th>Outside the chart</th></tr>\n";
  std::uint64_t total = 0;
  for (const Station& s : site.stations) {
    total += s.unreadable.total();
    if (s.unreadable.total() == 0) continue;
    out << "<tr><td>log/" << esc(s.log_name)
        << format(
               "</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td><td class=\"n\">%llu"
               "</td><td class=\"n\">%llu</td></tr>\n",
               static_cast<unsigned long long>(s.unreadable.malformed),
               static_cast<unsigned long long>(s.unreadable.zone),
               static_cast<unsigned long long>(s.unreadable.date),
               static_cast<unsigned long long>(s.unreadable.outside));
  }
  if (h.unreadable + h.outside > 0) {
    total += h.unreadable + h.outside;
    out << format(
        "<tr><td>log/err_log.csv</td><td class=\"n\">%llu</td><td></td><td></td>"
        "<td class=\"n\">%llu</td></tr>\n",
        static_cast<unsigned long long>(h.unreadable), static_cast<unsigned long long>(h.outside));
  }
  if (t.unreadable + t.outside > 0) {
    total += t.unreadable + t.outside;
    out << format(
        "<tr><td>log/traffic.log</td><td class=\"n\">%llu</td><td></td><td></td>"
        "<td class=\"n\">%llu</td></tr>\n",
        static_cast<unsigned long long>(t.unreadable), static_cast<unsigned long long>(t.outside));
  }
  out << "</table>\n<p class=\"note\">"
      << (total == 0 ? "Every log line could be read."
                     : "These lines were skipped: torn or empty lines, lines longer than "
                       "1024 characters, zones that are not a sign and two digits, dates that "
                       "do not exist, and records dated before the chart's start (by --since, or "
                       "more than a year back) or more than a day ahead of this PC's clock.")
      << "</p>\n";
}

}  // namespace

void write_page(std::ostream& out, const SiteReport& site, const Settings& settings) {
  head(out, site.site);
  banner(out, site, settings, "banner");
  out << "<h1>Stations and gateway</h1>\n";
  site_body(out, site, settings, "");
  out << "</body></html>\n";
}

void write_pages(std::ostream& out, const std::vector<SiteEntry>& sites, const Settings& settings) {
  head(out, format("%d sites", static_cast<int>(sites.size())));
  const CheckResult all = check_sites(sites);
  out << "<div class=\"banner s" << all.code << "\" id=\"banner\"><b>" << kStateWords[all.code]
      << "</b>" << esc(all.text) << "</div>\n<h1>Sites</h1>\n"
      << "<table id=\"sites\"><tr><th>Site</th><th>Check</th><th>Gateway</th><th>Stations</th>"
      << "</tr>\n";
  std::vector<std::size_t> order(sites.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  static constexpr int kRank[] = {0, 1, 3, 2};
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return kRank[sites[a].check.code] > kRank[sites[b].check.code];
  });
  for (std::size_t i : order) {
    const SiteEntry& e = sites[i];
    out << "<tr class=\"" << (e.check.code == 0 ? "fine" : "silent") << "\"><td><a href=\"#site"
        << i << "\">" << esc(e.name) << "</a></td><td><span class=\"flag "
        << (e.check.code == 0   ? "good"
            : e.check.code == 1 ? "warn"
                                : "silent")
        << "\">" << kStateWords[e.check.code] << "</span> " << esc(e.check.text) << "</td><td>";
    if (e.readable) {
      out << esc(gateway_view(e.report, settings).text) << "</td><td>";
      int silent = 0;
      for (const Station& s : e.report.stations) silent += is_silent(s, settings) ? 1 : 0;
      out << format("%d, %d silent", static_cast<int>(e.report.stations.size()), silent);
    } else {
      out << "</td><td>";
    }
    out << "</td></tr>\n";
  }
  out << "</table>\n";
  for (std::size_t i : order) {
    const SiteEntry& e = sites[i];
    out << "<h1 id=\"site" << i << "\">" << esc(e.name) << "</h1>\n";
    if (!e.readable) {
      out << "<div class=\"banner s3\"><b>UNKNOWN</b>" << esc(e.error) << "</div>\n";
      continue;
    }
    banner(out, e.report, settings, format("banner%d", static_cast<int>(i)));
    site_body(out, e.report, settings, format("s%d-", static_cast<int>(i)));
  }
  out << "</body></html>\n";
}

}  // namespace mvo::report
