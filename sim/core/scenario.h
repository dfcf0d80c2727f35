#pragma once
// The scenario file of mvo-modem-sim: plain text, one directive per line, '#' starts a comment.
//
//   operator <name...>                  the network operator's name
//   latency <ms> | cops-delay <ms> | cmgs-delay <ms> | seed <n>
//   empty-slot cms|cmgr                 how an empty slot is read: +CMS ERROR: 321 or +CMGR: 0,,0
//   capacity SM|ME <n>                  the slots of the SIM (30) or of the phone (25)
//   store [SM|ME|MT] <sender> <text...>            a message stored at start
//   deliver <at-ms> [SM|ME|MT] <sender> <text...>  a message arriving <at-ms> after start
//        Without a memory a message lands in the one selected for received messages (SM until a
//        client selects another with AT+CPMS); MT fills the SIM first, then the phone.
//   fault <prefix> <kind> [args] [count <n>] [chance <p>]
//        kinds: error | cms <code> | reply <line|line...> | silent | slow <ms> | garbage |
//               longline | drop <ms>   (drop 0: until the end of the run)
//        slow on AT+CMGS delays its prompt "> "
//   send-fault <number> cms500|ok-only|cmgs-error|silent|slow <ms> [count <n>] [chance <p>]
//        slow: the submission is accepted, its result comes <ms> later than cmgs-delay says
//   unplug <at-ms> <for-ms>             the line drops, and comes back after <for-ms>
//   power-cut <at-ms> <for-ms>          an unplug that takes the modem's power too: it comes back
//                                       with echo on, PDU mode, and a SIM asking for its PIN again
//   sim-pin <pin> [tries <n>]           the SIM asks for this PIN at power-up; <n> wrong PINs
//                                       left (3; 0: it wants its PUK)
//   sim-ready <ms>                      how long the SIM is busy after the right PIN (3000)
//   no-sim                              no SIM in the modem
//   profile <name>                      a modem family's habits and store (profile.h); lines
//                                       after it (capacity ...) change it further
//   end <at-ms>                         the program ends by itself
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/modem_model.h"

namespace mvo::sim {

struct ScenarioMessage {
  std::int64_t at = 0;
  std::optional<Memory> memory;  // none: the memory selected for received messages
  std::string sender;
  std::string text;
};

struct Scenario {
  ModemOptions options;
  std::vector<ScenarioMessage> messages;
  std::vector<FaultRule> faults;
  std::vector<std::pair<std::int64_t, std::int64_t>> unplugs;
  std::vector<std::pair<std::int64_t, std::int64_t>> power_cuts;
  std::int64_t end_at = -1;
};

// Parses the text of a scenario file; false with `error` naming the line when a line is wrong.
bool parse_scenario(const std::string& text, Scenario& scenario, std::string& error);

}  // namespace mvo::sim
