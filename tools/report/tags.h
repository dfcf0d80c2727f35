#pragma once
// What each error-log tag says about the gateway: whether the modem is on the air after it, who is
// at fault, and a plain-words meaning for the page. One table, in tags.cpp; everything in
// mvo-report that judges a tag asks it.
#include <span>
#include <string_view>

namespace mvo::report {

// The tag's place in a modem cycle (bring-up, serving one message per turn, shut-down).
enum class CycleEffect {
  kOnAir,       // "On the air": a bring-up succeeded
  kGoesOn,      // the cycle goes on: polling continues, or the send counts as done
  kCallerEnds,  // a step failed inside an operation whose caller logs its own tag next; that tag
                // says whether the cycle ends ("main1", "main2", "handle_modem0"), so this one
                // changes nothing by itself (and a retried read may still succeed)
  kEnds,        // the gateway is not on the air from this record on, until the next "On the air"
};

// Who the record is about, for the page's charts.
enum class TagGroup {
  kEvent,    // a bring-up
  kStation,  // a station's (or a stranger's) message refused: the sender's fault, not the modem's
  kModem,    // the modem, the port or the network
  kGateway,  // the gateway's own course: gave up, halted
  kStop,     // a stop on request: planned, no fault
};

struct TagInfo {
  const char* tag;
  CycleEffect effect;
  TagGroup group;
  const char* meaning;  // plain words for an operator
};

// Every tag of the gateway, a fatal stop's message and a configuration halt's tag included.
// "Illegal SMS content N" stands once with N = 2..7 meant; a tag logged with a number after it
// ("not sent on stop +4411") stands without it.
std::span<const TagInfo> all_tags();

// The entry of a tag as logged, or nullptr for a tag the table does not know (a later gateway
// version's).
const TagInfo* find_tag(std::string_view tag);

// The effect of any tag: an unknown one ends the cycle, as a fatal stop's message does (it is the
// tag, and after it the gateway does nothing more).
CycleEffect cycle_effect(std::string_view tag);
TagGroup tag_group(std::string_view tag);

// The stop the gateway logs when the operator or the service manager ends it.
inline constexpr const char* kStoppedOnRequest = "stopped on request";

}  // namespace mvo::report
