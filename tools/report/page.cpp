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
// not UTF-8 read as Latin-1 (configuration files written on Windows often are).
std::string esc(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
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
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      std::size_t n = c >= 0xf0 && c < 0xf5 ? 3 : c >= 0xe0 ? 2 : c >= 0xc2 && c < 0xe0 ? 1 : 0;
      bool ok = n > 0 && i + n < s.size();
      for (std::size_t k = 1; ok && k <= n; ++k) {
        ok = (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80;
      }
      if (ok) {
        out.append(s, i, n + 1);
        i += n;
      } else {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
      }
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

std::string ago(std::int64_t seconds) {
  if (seconds < 0) return "in the future";
  if (seconds < 2 * 3600) return format("%lld min", static_cast<long long>(seconds / 60));
  if (seconds < 3 * 86400) return format("%lld h", static_cast<long long>(seconds / 3600));
  return format("%lld days", static_cast<long long>(seconds / 86400));
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

// A line chart of one series: per column, a stroke from its minimum to its maximum.
void line_chart(std::ostream& out, const char* kind, const char* unit, const Station& st,
                const Axis& axis, int offset_s) {
  const bool level = kind[0] == 'l';
  float lo = 0, hi = 0;
  bool any = false;
  for (const Column& c : st.columns) {
    const bool has = level ? c.has_level : c.has_volume;
    if (!has) continue;
    const float a = level ? c.level_min : c.volume_min;
    const float b = level ? c.level_max : c.volume_max;
    if (!any || a < lo) lo = a;
    if (!any || b > hi) hi = b;
    any = true;
  }
  if (hi - lo < 1e-9f) {
    lo -= 1;
    hi += 1;
  }
  auto y = [&](float v) {
    return kTop + static_cast<int>(std::lround((hi - v) / (hi - lo) * kPlot));
  };
  std::string points;
  int count = 0;
  for (int i = 0; i < kColumns; ++i) {
    const Column& c = st.columns[static_cast<std::size_t>(i)];
    if (!(level ? c.has_level : c.has_volume)) continue;
    const int y1 = y(level ? c.level_max : c.volume_max);
    const int y2 = y(level ? c.level_min : c.volume_min);
    points += format("%d,%d ", kLeft + i, y1);
    ++count;
    if (y2 != y1) {
      points += format("%d,%d ", kLeft + i, y2);
      ++count;
    }
  }
  if (!points.empty()) points.pop_back();
  int bad = 0;
  std::string marks;
  for (int i = 0; i < kColumns; ++i) {
    if (!st.columns[static_cast<std::size_t>(i)].invalid) continue;
    marks += format("M%d %dv-7", kLeft + i, kTop + kPlot);
    ++bad;
  }
  out << format(
             "<svg class=\"chart %s\" data-points=\"%d\" data-invalid=\"%d\" width=\"%d\" "
             "height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\">",
             kind, count, bad, kWidth, kTop + kPlot + kBottom, kWidth, kTop + kPlot + kBottom)
      << format("<text x=\"4\" y=\"%d\">%s</text>", kTop + 10, level ? "level" : "volume")
      << format("<text x=\"4\" y=\"%d\">%s</text>", kTop + 22, unit);
  time_ticks(out, axis, offset_s, kPlot);
  out << format("<rect class=\"frame\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"/>", kLeft, kTop,
                kColumns, kPlot);
  if (any) {
    out << format("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">", kLeft - 4, kTop + 9) << num(hi)
        << "</text>"
        << format("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">", kLeft - 4, kTop + kPlot)
        << num(lo) << "</text>";
  }
  out << "<polyline points=\"" << points << "\"/>";
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
  const int w = std::clamp(kColumns / std::max(1, n), 1, 24);
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
.flag.warn{background:#ef6c00}.flag.good{background:#2e7d32}
.station{margin-bottom:10px}
svg{display:block}svg text{font-size:10px;fill:#555;font-family:sans-serif}
.frame{fill:none;stroke:#bbb}.grid{stroke:#eee}
polyline{fill:none;stroke-width:1.3;stroke-linejoin:round}
.level polyline{stroke:#1565c0}.volume polyline{stroke:#2e7d32}
.bad{stroke:#d50000;stroke-width:2}
.legend{list-style:none;margin:2px 0 0;padding:0 0 0 64px;font-size:12px}
.legend li{display:inline-block;margin-right:14px}
.sw{display:inline-block;width:11px;height:11px;margin-right:4px;vertical-align:-1px}
.onair{fill:#2e7d32;background:#2e7d32}.ufo{fill:#6a1b9a;background:#6a1b9a}
)";

}  // namespace

void write_page(std::ostream& out, const SiteReport& site, const Settings& settings) {
  const int off = settings.display_offset_s;
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      << "<title>MVO report: " << esc(site.site) << "</title><style>" << kStyle;
  for (int c = 0; c < config::kMaxStatusCodes; ++c) {
    out << format(".c%d{fill:%s;background:%s}", c, kCodeColours[c], kCodeColours[c]);
  }
  for (int t = 0; t <= kTagColours; ++t) {
    out << format(".t%d{fill:%s;background:%s}", t, kTagPalette[t], kTagPalette[t]);
  }
  out << "</style></head><body>\n<h1>Stations and gateway</h1>\n"
      << "<p class=\"meta\">Site " << esc(site.site) << ". Written " << show_time(settings.now, off)
      << ". Times are shown in " << show_offset(off)
      << " (this PC's zone); each station time stamp is placed by its own zone. Charts from "
      << show_time(site.axis.start, off) << " to " << show_time(site.axis.end, off) << ".</p>\n";

  // Overview.
  out << "<h2>Overview</h2>\n<table id=\"overview\"><tr><th>Station</th><th>Number</th>"
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
        << "\" data-number=\"" << esc(s.number) << "\"><td><a href=\"#st" << i << "\">"
        << esc(s.name) << "</a></td><td>" << esc(s.number) << "</td><td>";
    if (s.heard) {
      out << show_time(s.last, off) << " <small>(" << ago(settings.now - s.last) << " ago)</small>";
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
      out << "<span class=\"flag silent\">SILENT " << ago(settings.now - s.last) << "</span>";
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
  out << "<h2>Stations</h2>\n";
  for (std::size_t i : order) {
    const Station& s = site.stations[i];
    out << "<section class=\"station\" id=\"st" << i << "\" data-number=\"" << esc(s.number)
        << "\"><h3>" << esc(s.name) << " <small>" << esc(s.number) << "</small></h3>\n";
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
  out << "<h2>Gateway</h2>\n";
  if (!h.log_found) {
    out << "<p>No error log (log/err_log.csv): the gateway has not run in this site.</p>\n";
  } else {
    out << "<p>Last bring-up (\"On the air\"): "
        << (h.last_on_air ? show_time(settings.local_to_utc(*h.last_on_air), off) : "never")
        << ". ";
    if (h.off_air_since) {
      out << "<span class=\"flag silent\">OFF THE AIR</span> since "
          << show_time(settings.local_to_utc(*h.off_air_since), off)
          << " (a failure after the last bring-up, and no bring-up since).";
    } else if (h.last_on_air) {
      out << "<span class=\"flag good\">ON THE AIR</span> (no failure since the last bring-up).";
    }
    out << "</p>\n";
    if (!h.bars.empty()) {
      Bars on_air, failures, ufo;
      on_air.days_per_bar = h.days_per_bar;
      const std::size_t n = h.bars.size();
      on_air.first_day = h.first_day;
      failures = ufo = on_air;
      // Failure series: the most frequent tags in colour, the rest together.
      std::vector<std::size_t> by_count(h.tags.size());
      for (std::size_t i = 0; i < by_count.size(); ++i) by_count[i] = i;
      std::stable_sort(by_count.begin(), by_count.end(), [&](std::size_t a, std::size_t b) {
        return h.tags[a].count > h.tags[b].count;
      });
      std::vector<int> series(kMaxTags + 1, kTagColours);
      for (std::size_t k = 0; k < by_count.size() && k < kTagColours; ++k) {
        series[by_count[k]] = static_cast<int>(k);
      }
      on_air.stacks.assign(n, std::vector<std::uint32_t>(1));
      ufo.stacks = on_air.stacks;
      failures.stacks.assign(n, std::vector<std::uint32_t>(kTagColours + 1));
      for (std::size_t b = 0; b < n; ++b) {
        const DayHealth& d = h.bars[b];
        on_air.stacks[b][0] += d.on_air;
        ufo.stacks[b][0] += d.ufo;
        for (const auto& [tag, count] : d.failures) {
          failures.stacks[b][static_cast<std::size_t>(series[static_cast<std::size_t>(tag)])] +=
              count;
        }
      }
      const std::string per =
          on_air.days_per_bar == 1 ? "day" : format("%d days", on_air.days_per_bar);
      std::vector<std::string> tag_classes;
      for (int t = 0; t <= kTagColours; ++t) tag_classes.push_back(format("t%d", t));
      out << "<h3>Bring-ups (\"On the air\") per " << per << "</h3>\n";
      bar_chart(out, "bringups", on_air, {"onair"});
      out << "<h3>Failures per " << per << " by tag</h3>\n";
      bar_chart(out, "failures", failures, tag_classes);
      out << "<table id=\"tags\"><tr><th>Tag</th><th>Count</th><th>Last</th></tr>\n";
      for (std::size_t k : by_count) {
        out << format("<tr><td><i class=\"sw t%d\"></i>", series[k]) << esc(h.tags[k].tag)
            << format("</td><td class=\"n\">%llu</td><td>",
                      static_cast<unsigned long long>(h.tags[k].count))
            << show_time(settings.local_to_utc(h.tags[k].last), off) << "</td></tr>\n";
      }
      if (h.other_count > 0) {
        out << format(
            "<tr><td><i class=\"sw t%d\"></i>other tags</td><td class=\"n\">%llu</td>"
            "<td></td></tr>\n",
            kTagColours, static_cast<unsigned long long>(h.other_count));
      }
      out << "</table>\n";
      out << "<h3>Un-authorized senders (\"SMS from UFO\") per " << per << "</h3>\n";
      bar_chart(out, "unauthorized", ufo, {"ufo"});
      out << format("<p class=\"note\">%llu messages from numbers not in stations.txt",
                    static_cast<unsigned long long>(h.ufo));
      if (h.last_ufo) out << ", the last at " << show_time(settings.local_to_utc(*h.last_ufo), off);
      out << ". The error log holds the event, not the sender's number, and the gateway keeps no "
             "station log for such a sender: the numbers were shown only on the gateway's "
             "console.</p>\n";
    }
  }
  if (!site.unlisted_logs.empty()) {
    out << "<h3>Station logs of numbers not in stations.txt</h3>\n<table id=\"unlisted\">"
        << "<tr><th>File</th><th>Messages</th></tr>\n";
    for (const auto& [name, count] : site.unlisted_logs) {
      out << "<tr><td>" << esc(name)
          << format("</td><td class=\"n\">%llu</td></tr>\n",
                    static_cast<unsigned long long>(count));
    }
    out << "</table>\n<p class=\"note\">Stations taken off the list keep their log files; an "
           "un-authorized sender never gets one.</p>\n";
  }

  // What could not be read.
  out << "<h2>Unreadable log lines</h2>\n<table id=\"unreadable\"><tr><th>File</th>"
      << "<th>Not a record</th><th>Foreign zone</th><th>Impossible date</th></tr>\n";
  std::uint64_t total = 0;
  for (const Station& s : site.stations) {
    total += s.unreadable.total();
    if (s.unreadable.total() == 0) continue;
    out << "<tr><td>log/" << esc(s.log_name)
        << format(
               "</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td><td class=\"n\">%llu"
               "</td></tr>\n",
               static_cast<unsigned long long>(s.unreadable.malformed),
               static_cast<unsigned long long>(s.unreadable.zone),
               static_cast<unsigned long long>(s.unreadable.date));
  }
  if (h.unreadable > 0) {
    total += h.unreadable;
    out << format("<tr><td>log/err_log.csv</td><td class=\"n\">%llu</td><td></td><td></td></tr>\n",
                  static_cast<unsigned long long>(h.unreadable));
  }
  out << "</table>\n<p class=\"note\">"
      << (total == 0 ? "Every log line could be read."
                     : "These lines were skipped: torn or empty lines, lines longer than "
                       "1024 characters, zones that are not a sign and two digits, dates that "
                       "do not exist.")
      << "</p>\n</body></html>\n";
}

void write_pages(std::ostream& out, const std::vector<SiteEntry>& sites, const Settings& settings) {
  for (const SiteEntry& e : sites) {
    if (e.readable) write_page(out, e.report, settings);
  }
}

}  // namespace mvo::report
