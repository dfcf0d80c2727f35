#include "tags.h"

#include <string>

namespace mvo::report {

namespace {

using E = CycleEffect;
using G = TagGroup;

// How the gateway's failures chain: a failure site logs its tag and returns failure; each caller
// adds its own. Only the top of a chain decides the modem cycle:
//   - read_sms failing (a listing, reading or deleting step of the inbound turn) is always
//     followed by "main1", and the cycle ends there;
//   - a failed send is followed by "main2" once the send has given up; the fan-out then serves
//     the remaining destinations and the cycle ends after it, with "out int loop.", a shut-down
//     and a new bring-up whose "On the air" follows within seconds. A read of the submission
//     result ("cmgs4") is retried and may still succeed, so the send's own tags end nothing;
//   - "cmgs6.cont." is no failure to the gateway: the network refused the text (a wrong
//     destination, a barred number), the send counts as done, and later reports are forwarded in
//     the same cycle;
//   - a refused incoming message: a stranger ("SMS from UFO") or an over-long text ("SMS too
//     long") is dropped and polling goes on; a report the parser rejects ends the cycle;
//   - the steps of a bring-up are followed by "handle_modem0" (the attempt failed, the next one
//     follows) and the gateway is not on the air until "On the air";
//   - the port layer's own tags sit under whichever operation called it.
constexpr TagInfo kTags[] = {
    {"On the air", E::kOnAir, G::kEvent, "the modem was brought up; the gateway serves messages"},
    // The inbound turn.
    {"SMS from UFO", E::kGoesOn, G::kStation,
     "a message from a number not in stations.txt, dropped"},
    {"SMS too long", E::kGoesOn, G::kStation,
     "a station's message over 60 characters, logged and dropped"},
    {"Illegal SMS content 2", E::kEnds, G::kStation,
     "a station's message with fewer than 7 fields, dropped (N = the missing field)"},
    {"Illegal SMS status flag", E::kEnds, G::kStation,
     "a station's message whose status code has no line in human.txt, dropped"},
    {"main1", E::kEnds, G::kModem, "fetching a message from the modem failed; the modem is reset"},
    {"read_sms1", E::kCallerEnds, G::kModem, "a message could not be read from the modem's store"},
    {"read_sms2", E::kCallerEnds, G::kModem, "a message could not be deleted from the store"},
    {"cmgl-1", E::kCallerEnds, G::kModem, "listing the modem's store failed"},
    {"cmgl-2", E::kCallerEnds, G::kModem, "no answer from the modem to a listing of its store"},
    {"cmgl-3", E::kCallerEnds, G::kModem,
     "the modem answered a listing with neither OK nor a list"},
    {"cmgl-5", E::kCallerEnds, G::kModem, "a listing line without a message index"},
    {"cmgl-6", E::kCallerEnds, G::kModem, "the modem's answer broke off inside a listing"},
    {"cmgr1", E::kCallerEnds, G::kModem, "the command to read a message could not be written"},
    {"cmgr3", E::kCallerEnds, G::kModem, "no answer from the modem to reading a message"},
    {"cmgr3a", E::kCallerEnds, G::kModem, "no answer to reading a message (second try)"},
    {"cmgr3b", E::kCallerEnds, G::kModem, "no answer to reading a message (third try)"},
    {"cmgr3c", E::kCallerEnds, G::kModem, "no answer to reading a message (fourth try)"},
    {"cmgr4", E::kCallerEnds, G::kModem, "the answer for an empty store slot broke off"},
    {"cmgr5", E::kCallerEnds, G::kModem, "the modem answered ERROR to reading a message"},
    {"cmgr6", E::kCallerEnds, G::kModem, "a message header without a sender"},
    {"cmgr7", E::kCallerEnds, G::kModem, "a message header without a date"},
    {"cmgr8", E::kCallerEnds, G::kModem, "a message header without a time"},
    {"cmgr9", E::kCallerEnds, G::kModem, "the text of a message could not be read"},
    {"cmgr10", E::kCallerEnds, G::kModem, "an unexpected line after an empty message text"},
    {"cmgr11", E::kCallerEnds, G::kModem, "no OK after a message's text"},
    {"cmgd1", E::kCallerEnds, G::kModem, "the command to delete a message could not be written"},
    {"cmgd3", E::kCallerEnds, G::kModem, "the modem did not confirm deleting a message"},
    // Sending.
    {"main2", E::kEnds, G::kModem,
     "a text to a destination could not be sent; the modem is reset after the other destinations"},
    {"cmgs1", E::kCallerEnds, G::kModem, "the send command could not be written"},
    {"cmgs21", E::kCallerEnds, G::kModem, "no prompt from the modem for a text to send"},
    {"cmgs3", E::kCallerEnds, G::kModem, "a text to send could not be written to the modem"},
    {"cmgs4", E::kCallerEnds, G::kModem, "no answer yet to a text sent; read again"},
    {"cmgs4a", E::kCallerEnds, G::kModem, "no answer to a text sent (second read)"},
    {"cmgs4b", E::kCallerEnds, G::kModem, "no answer to a text sent (third read)"},
    {"cmgs5", E::kCallerEnds, G::kModem, "the modem said OK to a text without a message reference"},
    {"cmgs6.cont.", E::kGoesOn, G::kModem,
     "the network refused a text (probably a wrong destination number); the gateway goes on"},
    {"cmgs7", E::kCallerEnds, G::kModem, "no OK after the message reference of a text sent"},
    // Bring-up and shut-down.
    {"handle_modem0", E::kEnds, G::kModem, "a bring-up attempt failed; the next one follows"},
    {"init_modem0", E::kCallerEnds, G::kModem, "the modem did not answer the reset (ATZ)"},
    {"init_modem1", E::kCallerEnds, G::kModem, "the modem did not turn its echo off"},
    {"init_modem2", E::kCallerEnds, G::kModem,
     "the SIM could not be unlocked (the unlock_sim tag before it says why)"},
    {"unlock_sim0 SIM PIN required", E::kCallerEnds, G::kModem,
     "a step failed because the SIM wants its PIN: put it in configuration/pin.txt"},
    {"unlock_sim1", E::kCallerEnds, G::kModem, "no answer to AT+CPIN?"},
    {"unlock_sim2 SIM PUK", E::kCallerEnds, G::kModem,
     "the SIM wants its PUK: a person must unlock it; no PIN sent"},
    {"unlock_sim3 no SIM", E::kCallerEnds, G::kModem, "no SIM in the modem"},
    {"unlock_sim4", E::kCallerEnds, G::kModem,
     "a SIM lock the gateway has no key for; no PIN sent"},
    {"unlock_sim5 PIN refused before", E::kCallerEnds, G::kModem,
     "the SIM refused this PIN before: not sent again until pin.txt changes"},
    {"unlock_sim6 PIN refused", E::kCallerEnds, G::kModem,
     "the SIM refused the PIN of pin.txt, or did not answer it; it is not sent again"},
    {"unlock_sim7", E::kCallerEnds, G::kModem,
     "log/sim-pin.refused cannot be written; no PIN sent"},
    {"unlock_sim8", E::kCallerEnds, G::kModem, "the SIM was not ready 20 s after its PIN"},
    {"init_modem3", E::kCallerEnds, G::kModem, "network status reports could not be turned off"},
    {"init_modem4", E::kCallerEnds, G::kModem, "no network: operator selection failed"},
    {"init_modem5", E::kCallerEnds, G::kModem, "the operator's name could not be read"},
    {"init_modem6", E::kCallerEnds, G::kModem, "SMS text mode could not be set"},
    {"init_modem7", E::kCallerEnds, G::kModem, "the character set could not be set"},
    {"init_modem8", E::kCallerEnds, G::kModem, "new-message indications could not be turned off"},
    {"init_modem9", E::kCallerEnds, G::kModem, "the message store could not be selected"},
    {"no reception events", E::kGoesOn, G::kModem,
     "the modem refused to announce new messages (reception events in options.txt); the gateway "
     "polls every 5 s until the next bring-up"},
    {"init_modem10", E::kCallerEnds, G::kModem,
     "the modem refused one of the site's own set-up commands (init in options.txt)"},
    {"atz1", E::kCallerEnds, G::kModem, "the reset command could not be written"},
    {"atz2", E::kCallerEnds, G::kModem, "no OK to the reset command"},
    {"ate0", E::kCallerEnds, G::kModem, "the echo command could not be written"},
    {"ate0-2", E::kCallerEnds, G::kModem, "no OK to the echo command"},
    {"pre_at1", E::kCallerEnds, G::kModem, "a set-up command could not be written"},
    {"pre_at2", E::kCallerEnds, G::kModem, "no answer to a set-up command"},
    {"pre_at3", E::kCallerEnds, G::kModem, "a set-up command was refused (not OK)"},
    {"cpms1", E::kCallerEnds, G::kModem, "the store selection could not be written"},
    {"cpms2", E::kCallerEnds, G::kModem, "the store selection was refused"},
    {"cpms3", E::kCallerEnds, G::kModem, "no OK to the store selection"},
    {"cops1", E::kCallerEnds, G::kModem, "the operator query could not be written"},
    {"cops2", E::kCallerEnds, G::kModem, "the operator query was refused"},
    {"cops3", E::kCallerEnds, G::kModem, "an operator answer of an unknown shape"},
    {"cops5", E::kCallerEnds, G::kModem, "an operator answer without its format"},
    {"cops6", E::kCallerEnds, G::kModem, "no operator: the modem is not registered"},
    {"cops7", E::kCallerEnds, G::kModem, "no OK after the operator answer"},
    {"cannot open COM port", E::kEnds, G::kModem,
     "the modem's port cannot be opened (unplugged? in use?); retried every 20 s"},
    {"cannot communicate with modem", E::kEnds, G::kGateway,
     "150 bring-up attempts failed; the gateway gave up"},
    {"cannot shutodown modem", E::kEnds, G::kGateway,
     "the modem's port could not be closed; the gateway gave up"},
    {"out of ext loop", E::kEnds, G::kGateway, "the gateway ended"},
    {kStoppedOnRequest, E::kEnds, G::kStop,
     "the gateway was stopped by the operator or the service manager"},
    // Logged with the destination's number while a stop waits for a fan-out; the stop's own tag
    // follows.
    {"not sent on stop", E::kCallerEnds, G::kStop,
     "a text still due when a stop could wait no longer was not sent (the number follows)"},
    {"not confirmed on stop", E::kCallerEnds, G::kStop,
     "a stop could wait no longer for a text's result: it may have gone out (the number "
     "follows)"},
    // A fatal stop logs its message as the tag; the gateway then does nothing more.
    {"NO CFG FILE\n", E::kEnds, G::kGateway,
     "configuration/cfg.txt is missing; the gateway halted at start"},
    {"NO COM PORT IN CFG FILE\n", E::kEnds, G::kGateway,
     "configuration/cfg.txt names no port; the gateway halted at start"},
    {"COM PORT NAME IN CFG FILE IS TOO LONG", E::kEnds, G::kGateway,
     "the port in configuration/cfg.txt is too long; the gateway halted at start"},
    {"\n***COM port state is initially bad", E::kEnds, G::kModem,
     "the port's settings could not be read; the gateway halted"},
    {"\n***COM port state is bad during settings", E::kEnds, G::kModem,
     "the port refused 19200 baud 8N1; the gateway halted"},
    {"\n***COM port state is bad after settings", E::kEnds, G::kModem,
     "the port's settings could not be read back; the gateway halted"},
    // Configuration halts at start that log a tag (the others log nothing).
    {"bad formatting of station", E::kEnds, G::kGateway,
     "a station's name in stations.txt is not in quotes; the gateway halted at start"},
    {"bad formatting of cell number", E::kEnds, G::kGateway,
     "a cell number in stations.txt or destinations.txt is not in quotes; the gateway halted"},
    {"no type in destination", E::kEnds, G::kGateway,
     "a destination in destinations.txt has no type; the gateway halted at start"},
    {"line too long", E::kEnds, G::kGateway,
     "a line of stations.txt or destinations.txt is too long; the gateway halted at start"},
    {"name too long", E::kEnds, G::kGateway,
     "a name in stations.txt or destinations.txt is too long; the gateway halted at start"},
    {"cell phone - illegal characters", E::kEnds, G::kGateway,
     "a cell number in stations.txt or destinations.txt holds a character it may not; the "
     "gateway halted at start"},
    {"cell number too long", E::kEnds, G::kGateway,
     "a cell number in stations.txt or destinations.txt is too long; the gateway halted at "
     "start"},
    // The port layer: under whichever operation called it.
    {"WriteChars1", E::kCallerEnds, G::kModem, "a write to the modem's port failed or timed out"},
    {"read_chars1", E::kCallerEnds, G::kModem, "a read from the modem's port failed"},
    {"get_prompt1", E::kCallerEnds, G::kModem, "a read from the port failed waiting for a prompt"},
};

constexpr std::string_view kIllegalContent = "Illegal SMS content ";
// Tags logged with a number after them, found by what they start with.
constexpr std::string_view kNumbered[] = {"not sent on stop ", "not confirmed on stop ",
                                          "COM PORT NAME IN CFG FILE IS TOO LONG "};

}  // namespace

std::span<const TagInfo> all_tags() { return kTags; }

const TagInfo* find_tag(std::string_view tag) {
  // "Illegal SMS content 2" to "... 7": the missing field, one meaning.
  if (tag.size() == kIllegalContent.size() + 1 &&
      tag.substr(0, kIllegalContent.size()) == kIllegalContent) {
    const char n = tag.back();
    if (n >= '2' && n <= '7') tag = "Illegal SMS content 2";
  }
  for (std::string_view head : kNumbered) {
    if (tag.substr(0, head.size()) == head) tag = head.substr(0, head.size() - 1);
  }
  for (const TagInfo& t : kTags) {
    if (tag == t.tag) return &t;
  }
  return nullptr;
}

CycleEffect cycle_effect(std::string_view tag) {
  const TagInfo* t = find_tag(tag);
  return t != nullptr ? t->effect : CycleEffect::kEnds;
}

TagGroup tag_group(std::string_view tag) {
  const TagInfo* t = find_tag(tag);
  return t != nullptr ? t->group : TagGroup::kGateway;
}

}  // namespace mvo::report
