#pragma once
// The gateway end to end: composition of the forwarded texts, the fan-out, and the main loop.
#include <cstddef>
#include <ctime>
#include <string>

#include "config/tables.h"
#include "platform/platform.h"
#include "sms/sms.h"

namespace mvo::driver {

using platform::Env;

inline constexpr char kEndOfText = 26;
inline constexpr char kEscape = 27;
// What a Ctrl-Z, ESC or zero byte inside a composed text is sent as.
inline constexpr char kUnsafeByteStandIn = '?';
inline constexpr std::size_t kComposedSize = 600;
// The room for an expansion: the composed text less its end-of-text character and its end.
inline constexpr std::size_t kMaxExpansion = kComposedSize - 2;

// One accepted and parsed report.
struct Report {
  int station_index = 0;
  std::string text;
  sms::Report fields;
  int status_code = 0;
};

// "%a %b %d %Y" and "%I:%M:%S" with English names, whatever the machine's locale.
std::string date_text(const std::tm& t);
std::string time_text(const std::tm& t);

// Expands &S (station name), &D &L &O &V &T &E &X (fields 1, 2, 3, 4, 5, 6, 3); upper case only.
// An expansion longer than kMaxExpansion is cut there (a placeholder value included).
std::string expand_template(const std::string& templ, const std::string& station_name,
                            const sms::Report& fields);

// The text for destination d, or "" when none is due. It ends in exactly one end-of-text
// character; a Ctrl-Z, ESC or zero byte before it is sent as '?'.
std::string compose_text(const config::Tables& tables, const Report& report, std::size_t d);

// Prints "SMS /%s/%s/%s: %s\n" and sends each due destination its text in table order. A failed
// send prints "main2.", logs "main2", waits 5000 ms and the others are still served. False when
// any send failed.
bool forward_report(Env& env, const config::Tables& tables, const Report& report);

// Loads the configuration, then runs modem cycles until the modem can no longer be brought up
// or shut down. Returns the exit status (0).
int main_loop(Env& env, const std::string& port_name);

// Start-up, then the main loop. Halt unwinds as common::Halt.
int run_gateway(Env& env);

// The program's run, in a console or as a service: run_gateway, and after a halt the state
// "halted", the console flushed, and then, unless the Service says a halt ends the process, a
// wait until a stop is asked for, the message on the console. The exit status: 1 after a halt.
int run_site(Env& env);

}  // namespace mvo::driver
