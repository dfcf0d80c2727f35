#pragma once
// The configuration tables of the gateway, read once at start-up and only read afterwards, and
// their loaders. Every loader halts (throws common::Halt) on a fault in its file, after printing
// its message and, where one is given, logging its tag.
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "config/alarms.h"
#include "platform/platform.h"

namespace mvo::config {

using platform::Env;

inline constexpr int kMaxStations = 50;
inline constexpr int kMaxDestinations = 11;
inline constexpr int kMaxStatusCodes = 20;
inline constexpr std::size_t kMaxNameLength = 149;  // names and numbers: 150-byte texts
inline constexpr std::size_t kMaxNumberLength = 149;
inline constexpr std::size_t kMaxStatusTextLength = 169;  // human texts and templates: 170 bytes
inline constexpr int kStationMinLine = 7;
inline constexpr int kDestinationMinLine = 12;
inline constexpr int kNoCode = 99;  // unfilled entry of a subscription code list

struct Station {
  std::string name;
  std::string number;
};

struct Destination {
  std::string name;
  std::string number;
  std::string type;  // "SMC", "HMN", "HMV" or "CST"
};

// subscribed[code][destination]: the destination receives reports with that status code.
using SubscriptionMatrix = std::array<std::array<bool, kMaxDestinations>, kMaxStatusCodes>;

// The switches of configuration/options.txt, each off when the file or its line is absent.
struct Options {
  bool traffic = false;    // log/traffic.log: every message in and every text out
  bool heartbeat = false;  // log/gateway.state: the gateway's state for monitoring
  // The modem's own set-up: commands sent after the storage step, in order ("init AT^CURC=0"),
  // and the memory the storage step selects ("storage SM").
  std::vector<std::string> init;
  std::string storage = "MT";
  // "reception events": the modem announces each stored message (+CMTI:) and the gateway lists
  // its store at once, instead of polling every 5 s.
  bool events = false;
};
inline constexpr std::size_t kMaxInitCommands = 5;
inline constexpr std::size_t kMaxInitCommandLength = 60;

struct Tables {
  std::vector<Station> stations;
  std::vector<std::string> human_texts;  // N = human_texts.size(); status codes 0..N-1
  std::vector<Destination> destinations;
  SubscriptionMatrix subscribed{};
  std::vector<std::string> custom_templates;
  bool custom_templates_present = false;
  Options options;
  AlarmSettings alarms;
  std::string pin;  // the SIM's PIN from pin.txt; empty: none
};

// Where a loader stands in its file, for a tool that points at the line a halt came from. `line`
// is the line being read (1 for the first), 0 for a fault of the whole file (it cannot be opened,
// or holds no valid entry); `entry_lines` is the line of each entry stored, in table order. The
// loaders keep it up to date when given one; the gateway gives none.
struct Where {
  int line = 0;
  std::vector<int> entry_lines;
};

// Field checks shared by stations.txt and destinations.txt. Each returns the checked value or
// halts with its message.
std::string check_name(Env& env, const std::string& field);
std::string check_cell_number(Env& env, const std::string& field);
std::string check_cell_characters(Env& env, const std::string& text);
std::string check_destination_type(Env& env, const std::string& field);
// Fills `codes` (kMaxStatusCodes entries, kNoCode when unfilled) from a quoted list of codes.
void parse_subscriptions(Env& env, const std::string& field,
                         std::array<int, kMaxStatusCodes>& codes, int human_count);

std::vector<Station> load_stations(Env& env, Where* where = nullptr);
std::vector<std::string> load_human_texts(Env& env, Where* where = nullptr);
void load_destinations(Env& env, std::vector<Destination>& destinations,
                       SubscriptionMatrix& subscribed, int human_count, Where* where = nullptr);
// Returns whether custom.txt could be opened; a missing file is no fault.
bool load_custom_templates(Env& env, std::vector<std::string>& templates, Where* where = nullptr);

// Reads configuration/options.txt; a missing file turns nothing on. A line with an unknown
// option, or a value other than on or off, halts with its message.
Options load_options(Env& env, Where* where = nullptr);

// The loaders in the gateway's order: stations, human texts, destinations, custom templates,
// options, alarms, the SIM's PIN (config/pin.h).
Tables load_all(Env& env);

}  // namespace mvo::config
