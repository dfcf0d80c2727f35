#include "logs/logs.h"

#include <filesystem>
#include <fstream>
#include <string_view>

#include "common/halt.h"
#include "logs/life.h"
#include "logs/records.h"
#include "platform/durable.h"

namespace mvo::logs {

namespace {

// Each line of a held text as one journal line, trailing blanks dropped, empty lines skipped.
// A line ends at a line feed, and at a carriage return that ends the text or is followed by a
// blank (a progress line overwritten by the next); any other control byte, such as a CR inside an
// echoed command or a text's Ctrl-Z, is shown as ^X, since the journal would keep a line holding
// one as binary data; bytes that are not UTF-8 are taken as Windows-1252.
void emit_lines(Env& env, const std::string& text, int priority) {
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t end = from;
    while (end < text.size() && text[end] != '\n' &&
           !(text[end] == '\r' && (end + 1 == text.size() || text[end + 1] == ' ' ||
                                   text[end + 1] == '\n' || text[end + 1] == '\r'))) {
      ++end;
    }
    std::string piece;
    for (std::size_t i = from; i < end; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (c < 32 && c != '\t') {
        piece += '^';
        piece += static_cast<char>(c + 64);
      } else if (c == 127) {
        piece += "^?";
      } else {
        piece += text[i];
      }
    }
    piece = common::as_utf8(piece);
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.pop_back();
    std::size_t lead = 0;
    while (lead < piece.size() && piece[lead] == ' ') ++lead;
    if (lead < piece.size()) env.console.line(priority, piece.substr(lead));
    from = end + 1;
  }
}

void flush_held(Env& env, int priority) {
  if (env.service == nullptr || env.service->held_text.empty()) return;
  std::string text;
  text.swap(env.service->held_text);
  emit_lines(env, text, priority);
}

}  // namespace

void say(Env& env, const std::string& text) {
  if (env.service != nullptr && text.find_first_not_of(" \r\n") != std::string::npos) {
    env.service->last_text = text;
  }
  if (!env.console.wants_lines()) {
    env.console.write(text);
    return;
  }
  flush_held(env, kPriorityInfo);
  if (text == kSpinnerOn || text == kSpinnerOff) return;
  if (env.service == nullptr) {
    emit_lines(env, text, kPriorityInfo);
  } else {
    env.service->held_text = text;
  }
}

void flush_console(Env& env) { flush_held(env, kPriorityInfo); }

void say_failure(Env& env, const std::string& text) {
  say(env, text);
  flush_held(env, kPriorityError);
}

void delay(Env& env, std::int64_t ms) {
  if (ms <= 0) return;
  std::int64_t start = env.clock.now_ms();
  for (;;) {
    std::int64_t now = env.clock.now_ms();
    std::int64_t elapsed = now - start;
    if (elapsed < 0) {
      // The clock went backwards: what was waited before no longer counts.
      start = now;
      elapsed = 0;
    }
    if (elapsed >= ms) return;
    on_wait(env);
    env.clock.sleep_ms(wait_slice(env, ms - elapsed));
  }
}

void show_progress(Env& env, int flag, std::int64_t ms) {
  say(env, flag != 0 ? kSpinnerOn : kSpinnerOff);
  delay(env, ms);
}

namespace {
std::string with_crlf(const std::string& text) {
  std::string data;
  data.reserve(text.size() + 4);
  for (char c : text) {
    if (c == '\n') data += '\r';
    data += c;
  }
  return data;
}
}  // namespace

bool replace_file(const std::string& path, const std::string& text, Readers readers) {
  platform::DurableFiles& files = platform::durable_files();
  const std::string temporary = path + ".tmp";
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  // The content on the disk before the rename: a rename that outlives a power cut must not bring
  // an empty file.
  if (!files.write_new(temporary, with_crlf(text), readers == Readers::kOwnerOnly) ||
      !files.sync_file(temporary) || !files.rename(temporary, path)) {
    std::filesystem::remove(temporary, ignored);
    return false;
  }
  const std::string dir = std::filesystem::path(path).parent_path().string();
  return files.sync_dir(dir.empty() ? "." : dir);
}

std::string asctime_stamp(const std::tm& t) {
  return common::format("%s %s%3d %.2d:%.2d:%.2d %d\n", common::day_name(t.tm_wday),
                        common::month_name(t.tm_mon), t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                        1900 + t.tm_year);
}

bool append_crlf(const std::string& path, const std::string& record) {
  const std::string data = with_crlf(record);
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out.is_open()) return false;
  out.seekp(0, std::ios::end);
  const std::streamoff before = out.tellp();
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out.fail()) return true;
  // A record is on disk whole or not at all: part of one written on a full disk would join the
  // next record. Taking the file back to its old end needs no room; a device such as /dev/full
  // has no end to take back to, and nothing was written there anyway.
  if (before >= 0) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(path, ignored)) {
      std::filesystem::resize_file(path, static_cast<std::uintmax_t>(before), ignored);
    }
  }
  return false;
}

std::string station_log_name(const std::string& number, bool windows_names) {
  std::string name;
  for (char c : number) {
    const unsigned char u = static_cast<unsigned char>(c);
    const bool refused =
        u < 32 || std::string_view("<>:\"/\\|?*%").find(c) != std::string_view::npos;
    if (windows_names && refused) {
      name += common::format("%%%02X", static_cast<unsigned>(u));
    } else {
      name += c;
    }
  }
  return name + ".csv";
}

void log_error(Env& env, const std::string& tag) {
  const std::string path = env.site.path("log", "err_log.csv");
  static constexpr const char* kRetryTexts[] = {"Cannot open err_log 1 ", "..2 ", "..3 "};
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::string record = error_record(tag, asctime_stamp(env.wall.local_now()));
    if (append_crlf(path, record)) {
      flush_held(env, priority_of_tag(tag));
      return;
    }
    if (attempt < 3) {
      say(env, kRetryTexts[attempt]);
      delay(env, 1000);
    }
  }
  say(env, "..ignored\n ");
  flush_held(env, priority_of_tag(tag));
}

void log_station_message(Env& env, const std::string& number, const std::string& text,
                         const std::string& date, const std::string& time,
                         const std::string& zone) {
  const std::string path = env.site.path("log", station_log_name(number));
  const std::string record = station_record(zone, date, time, text);
  for (int attempt = 0; attempt < 6; ++attempt) {
    if (append_crlf(path, record)) return;
    if (attempt < 5) delay(env, 2000);
  }
  say_failure(env, common::format(" +cannot storage file %s+ ", path.c_str()));
}

bool fail(Env& env, const std::string& text, const std::string& tag) {
  say(env, text);
  log_error(env, tag);
  return false;
}

void fatal_stop(Env& env, const std::string& message) {
  say(env, common::format("%s AND stopping...", message.c_str()));
  log_error(env, message);
  set_state(env, platform::State::kHalted, 0, message);
  common::halt();
}

}  // namespace mvo::logs
