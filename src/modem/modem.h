#pragma once
// AT command exchanges of the bring-up, the bring-up itself and the shut-down. Each operation
// returns true when the modem answered as expected; on false its console text and log tag have
// been written after those of the layers below.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mvo::modem {

using platform::Env;

inline constexpr int kBringUpAttempts = 150;
inline constexpr std::uint32_t kOperatorTimeoutMs = 30000;

// What a site adds to the bring-up: the SIM's PIN (configuration/pin.txt), and from options.txt
// the memory of the storage step and commands of the modem's own.
struct ModemSetup {
  std::string pin;
  std::string storage = "MT";
  std::vector<std::string> init;
  bool events = false;  // ask for new-message indications (options.txt: reception events)
};
inline constexpr const char* kEventsCommand = "AT+CNMI=2,1,0,0,0\r";
// The storage step's command for a memory: AT+CPMS="SM","SM","SM".
std::string storage_command(const std::string& memory);

// "ATZ\r", then one read of up to 150 bytes and 200 ms; "OK" must be among the bytes.
bool reset_modem(Env& env);
// "ATE0\r", then one read of up to 150 bytes; "OK" must be among the bytes.
bool disable_echo(Env& env);
// 100 ms, the command, one reply line that must be exactly "OK". A non-zero `reply_timeout_ms`
// governs the reading of that line (write time-out 3000 ms). The "bits=" figure of the pre_at3
// text is the number of characters of the reply line.
// `reply`, when given, receives the reply line judged (the SIM-PIN hint of a bring-up reads it).
bool pre_at(Env& env, const std::string& command, std::uint32_t reply_timeout_ms = 0,
            std::string* reply = nullptr);
// Prints the trace "\ncpms.0." "1." "2." "3." "4..\n"; a first line other than "ERROR", then "OK".
bool select_storage(Env& env, const std::string& command, std::string* reply = nullptr);
// "AT+COPS=0,0;+COPS?\r"; the third field of "+COPS: <mode>,<format>,<oper>" becomes `name`,
// quotes and blanks kept; then "OK".
bool query_operator(Env& env, std::string& name, std::string* reply = nullptr);

// The nine set-up steps with their progress lines; "OUR OPERATOR TODAY ..." and "On the air".
// With a PIN (configuration/pin.txt), unlock_sim (modem/pin.h) comes first ("init_modem2" when
// it fails); without one the dialogue has no step of its own for the SIM. Whatever the PIN, a
// step that fails because the SIM wants its PIN adds the text and tag "unlock_sim0 ...". The
// site's own commands follow the storage step, each through pre_at ("init_modem10 " and its tag
// after pre_at's own when one fails), with no progress line of their own.
// With `setup.events`, step 7 asks for new-message indications first; `*events_on` tells whether
// the modem took them. Refused, "no reception events (reply=...), polling " and its tag
// "no reception events" are written and the step sends its usual command.
bool init_modem(Env& env, const ModemSetup& setup = {}, bool* events_on = nullptr);
// Up to 150 attempts of open_port and init_modem, closing the modem after each failure
// (close_modem). False after " +cannot communicate with modem+", or when the port could not be
// closed after a failed attempt: a port that stays open could never be opened again.
bool handle_modem(Env& env, const std::string& device, const ModemSetup& setup = {},
                  bool* events_on = nullptr);
// Bytes 26 and 27, purge, close, 2000 ms. False when the close fails ("shut_modem1 (%d) "). A port
// no longer open (a POSIX close releases the descriptor even when it reports an error) has no
// text entry to leave: it is closed at once.
bool shut_modem(Env& env);
// shut_modem up to five times, 3000 ms after each failure. False after "cannot shutdown modem."
// and its tag "cannot shutodown modem" when all five failed.
inline constexpr int kShutDownAttempts = 5;
bool close_modem(Env& env);

}  // namespace mvo::modem
