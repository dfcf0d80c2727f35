#pragma once
// Console texts, the pauses of the whole gateway, the error log, the station logs and the fatal
// stop. Log files live in <site>/log and are written with CR LF line ends on every platform; each
// record is one open-append-close, so it is on disk when the call returns.
#include <cstdint>
#include <ctime>
#include <string>

#include "common/text.h"
#include "platform/platform.h"

namespace mvo::logs {

using platform::Env;

// Prints `text` exactly, flushed; no line end is added. On a console that keeps lines (the
// journal) the text is held until the next text, log record or wait: a text followed by its
// tag gets the tag's priority (logs/life.h), every other text is information. Each line of it
// becomes one journal line, trailing blanks dropped; the spinner is not shown there.
void say(Env& env, const std::string& text);
// Hands a held text to a console that keeps lines, at the information priority.
void flush_console(Env& env);
// say() for a failure that logs no tag of its own: the journal shows it as an error at once.
void say_failure(Env& env, const std::string& text);

// Returns no sooner than `ms` milliseconds on the process clock. It sleeps (an idle gateway must
// cost next to no CPU). A clock that goes backwards restarts the full pause from the new reading.
// ms <= 0 returns at once. With a Service it calls on_wait before each sleep, and a stop request
// (which cuts the sleep short, platform/native.h) unwinds it with common::StopRequest unless a
// report holds the stop.
void delay(Env& env, std::int64_t ms);

// Prints one spinner line ("++ .. --" for a non-zero flag, "-- .. ++" otherwise), then delay(ms).
void show_progress(Env& env, int flag, std::int64_t ms);
inline constexpr const char* kSpinnerOn =
    "++        --                                          \r";
inline constexpr const char* kSpinnerOff =
    "--        ++                                           \r";

// " %s  ,  %s" with the tag and the asctime stamp, appended to log/err_log.csv. When the file
// cannot be opened, written or closed: "Cannot open err_log 1 ", "..2 ", "..3 " with 1000 ms after
// each, then a fourth try, then "..ignored\n " and the record is dropped.
void log_error(Env& env, const std::string& tag);

// "  %s , %s , %s  , %s \n" (zone, date, time, text) appended to log/<station_log_name>; up to
// six attempts 2000 ms apart, then " +cannot storage file %s+ " with the path; nothing is logged.
// A write or close that fails counts as a failed attempt, like an open.
void log_station_message(Env& env, const std::string& number, const std::string& text,
                         const std::string& date, const std::string& time, const std::string& zone);

// The failure site's convention: prints its console text, logs its tag, and returns false.
bool fail(Env& env, const std::string& text, const std::string& tag);

// Prints "%s AND stopping...", logs the message as the tag, and halts (throws common::Halt).
[[noreturn]] void fatal_stop(Env& env, const std::string& message);

// The asctime form: "Sun Feb 26 13:19:42 2012\n" (day blank-padded to three places), always in
// English whatever the locale.
std::string asctime_stamp(const std::tm& t);

// Appends `record` to the file at `path`, every '\n' written as CR LF. False when the file cannot
// be opened, written or closed; the record is then not in the file, not even in part.
bool append_crlf(const std::string& path, const std::string& record);

// Who may read a file replaced whole: whoever the umask lets, or its owner alone (mode 0600 on
// POSIX whatever the umask, from the moment the temporary exists).
enum class Readers { kUmask, kOwnerOnly };

// Replaces the file at `path` whole with `text` (every '\n' written as CR LF), durably, through
// platform::durable_files(): a temporary beside it is written and synced to the disk, renamed
// over it, then the directory is synced. A reader or a power cut meets the old file or the new
// one, never half a file nor a rename without its content. False when a step failed: before the
// rename the old file stands and the temporary is gone; after it (the directory not synced) the
// new file stands but may not outlive a power cut.
bool replace_file(const std::string& path, const std::string& text,
                  Readers readers = Readers::kUmask);

#ifdef _WIN32
inline constexpr bool kWindowsNames = true;
#else
inline constexpr bool kWindowsNames = false;
#endif
// The file name of a station's log in log/: "<number>.csv". Where Windows refuses a character of
// the number in a file name (a leading '*'), it is written as '%' and two hex digits ("*100" gives
// "%2A100.csv"); '%' itself is written "%25" there, so two numbers never share a file. Other
// systems take the number as it is.
std::string station_log_name(const std::string& number, bool windows_names = kWindowsNames);

}  // namespace mvo::logs
