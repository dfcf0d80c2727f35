#pragma once
// What the gateway does with messages on the modem: the store commands, sending, inbound polling
// with its sender check, and the status report parser. Every failure prints its console text and
// logs its tag before returning false.
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "config/tables.h"
#include "platform/platform.h"

namespace mvo::sms {

using platform::Env;

inline constexpr const char* kListCommand = "AT+CMGL=\"ALL\"\r";
inline constexpr std::size_t kMessageSize = 4000;
inline constexpr std::size_t kSenderSize = 200;
inline constexpr std::size_t kStampPartSize = 150;
inline constexpr std::size_t kLineSize = 150;
inline constexpr std::size_t kMaxAcceptedText = 60;
inline constexpr int kMaxEmptyDrainLines = 10;
// Lines the listing drain reads without "OK" before it gives up: a full store of a few hundred
// messages lists in fewer.
inline constexpr int kMaxDrainLines = 1000;
inline constexpr int kFieldCount = 7;

struct ReceivedMessage {
  std::string text;
  std::string sender;  // as the header has it, quotes included
  std::string date;    // yy/MM/dd
  std::string time;    // hh:mm:ss
  std::string zone;    // sign and two digits
};

// +CMGL: <index>,<stat>,<oa>,[<alpha>],<scts>  (one per entry, each followed by its text; "OK")
// Lists the store; `found` tells whether an entry was listed and `index` is the first one's.
// The rest of the listing is drained up to "OK"; a port read error, 10 empty lines in a row or
// 1000 lines without "OK" (repeated RING, noise) end the drain as a "cmgl-6" failure.
bool list_messages(Env& env, const std::string& command, bool& found, int& index);

// +CMGR: <stat>,"<oa>",,"yy/MM/dd,hh:mm:ss±zz"  then the text line, then "OK"
// An empty slot ("+CMGR: 0,,0") or a bare "OK" succeed without touching sender and time stamp.
// "ERROR" is a failed read ("Cln CMGR5 (%s) ", "cmgr5"): the modem could not read the slot.
bool read_message(Env& env, int index, ReceivedMessage& message);

bool delete_message(Env& env, int index);

// AT+CMGS="<number>"\r, the prompt, the text unchanged (it ends in byte 26), the result. A text
// write that fails ("cmgs3") leaves the entry with ESC alone, so nothing of it is submitted.
// "+CMGS" then "OK" is sent; any other result than "OK" or "+CMGS" counts as sent too
// ("cmgs6.cont."): a wrong destination must not stop the others.
// What became of one text, for the traffic log: "sent" with the message reference of "+CMGS: n",
// "refused" with the modem's answer (counted as sent, "cmgs6.cont."), "failed" with the tag of
// the step that failed, "not-sent" ("stopped": a stop could wait no longer, the fan-out did not
// start it) or "unconfirmed" ("stopped": a stop out of patience cut its wait short; it may have
// gone out). `taken`: the network gave the text a message reference, whatever followed.
struct SendResult {
  std::string outcome;
  std::string detail;
  bool taken = false;
};
bool send_message(Env& env, const std::string& text, const std::string& number,
                  SendResult* result = nullptr);
// send_message with the failure's own texts, and the stop's patience: a text under way when it
// runs out is left with ESC and reported "unconfirmed".
bool send_sms(Env& env, const std::string& text, const std::string& number,
              SendResult* result = nullptr);

// One text due to one recipient: a report's copy, sentence or template, or an alarm.
struct Outgoing {
  std::string name;    // the recipient as the configuration names it
  std::string number;
  std::string type;    // for the traffic log: SMC, HMN, HMV, CST, ALM
  std::string text;    // the body, ending in byte 26
};

// A body fit for a text entry: a Ctrl-Z inside it would submit it early and an ESC would cancel
// it, so that the rest, and the commands after it, would become message text for the wrong
// phone; a zero byte would end the write. Each becomes '?', which every phone shows.
std::string entry_safe(std::string body);

// The one road out for every text the gateway sends. Sends the texts in order and returns one
// result per text. Inside a body, bytes 26 (which would submit it early), 27 (which would cancel
// it) and 0 (which would end the write) become '?'. Each text gets its traffic record as soon as
// its outcome is known. A failed send is followed by "main2." with its tag and 5000 ms before the
// next text. Once a stop has waited its patience, a text still due is named, not sent ("not sent
// on stop: <name> (<number>).\n", tag "not sent on stop <number>"), and a text whose result was
// cut short is named too ("not confirmed on stop: <name> (<number>).\n", tag
// "not confirmed on stop <number>"). The caller holds the stop (logs::StopHold) for its length.
std::vector<SendResult> fan_out(Env& env, const std::vector<Outgoing>& texts);
// A result that ends the modem cycle after the fan-out: a send that failed or was cut short.
inline bool send_failed(const SendResult& r) {
  return r.outcome == "failed" || r.outcome == "unconfirmed";
}

// Removes the quotes of `sender` in place and looks the bare number up, first match wins.
bool find_station(std::string& sender, int& station_index,
                  const std::vector<config::Station>& stations);

// Polls the store (every ~5 s with the spinner) until a message from a listed station, at most
// 60 characters long, has been read, deleted and written to its station log. False when an
// exchange with the modem failed.
// `stamp` receives the modem's time stamp of the message ("yy/MM/dd,hh:mm:ss+zz"). The message
// is held against a stop from its reading until read_sms returns (logs::StopHold); the caller
// holds it on through its fan-out. Un-authorized, too long and unreadable messages are recorded
// in the traffic log here.
//
// `hooks`, when given, hears of each message read from a listed station (whatever becomes of it)
// and is called at each poll that found the store empty, before the pause. When `between_polls`
// returns false (a text it sent failed, already told), read_sms returns false with `idle_failed`
// set, having printed nothing more.
//
// With `events` (the modem announces each stored message), the pause between two polls is a wait
// on the port, of up to kSweepMs, for a line that begins with "+CMTI:"; the store is listed as
// soon as one comes. Other lines that come meanwhile are dropped.
inline constexpr std::int64_t kSweepMs = 60000;
struct PollHooks {
  std::function<void(int station_index)> heard;
  std::function<bool()> between_polls;
  bool events = false;
  bool idle_failed = false;
};
bool read_sms(Env& env, std::string& text, int& station_index,
              const std::vector<config::Station>& stations, std::string& stamp,
              PollHooks* hooks = nullptr);
inline bool read_sms(Env& env, std::string& text, int& station_index,
                     const std::vector<config::Station>& stations) {
  std::string stamp;
  return read_sms(env, text, station_index, stations, stamp);
}

// One "in" record of the traffic log (when it is on).
void log_inbound(Env& env, const std::string& sender, const std::string& name,
                 const std::string& outcome, const std::string& detail, const std::string& text);

using Report = std::array<std::string, kFieldCount>;

// Splits the text at commas into seven fields (runs of commas count as one) and reads the
// seventh as the status code, valid from 0 to human_count - 1.
bool parse_report(Env& env, const std::string& text, Report& fields, int& status_code,
                  int human_count);

}  // namespace mvo::sms
