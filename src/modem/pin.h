#pragma once
// The SIM's PIN at bring-up, and the memory of a PIN the SIM refused.
//
// Three wrong PINs lock a SIM behind its PUK, which needs a person on site. So the gateway spends
// at most one of the SIM's tries: before it sends a PIN it writes that PIN's fingerprint to
// log/sim-pin.refused, on the disk (synced) before the PIN goes out, and it removes the file only
// when the SIM shows READY after it. A file that holds the fingerprint of the configured PIN
// therefore means "refused, or its answer never came", and that PIN is not sent again, not after a
// restart and not after a power cut, until pin.txt holds another PIN (or an operator deletes the
// file).
#include <string>

#include "platform/platform.h"

namespace mvo::modem {

using platform::Env;

// In log/; a name no station's log can have.
inline constexpr const char* kRefusalFile = "sim-pin.refused";
// How long the SIM may take to become ready after it took the PIN (modems need some seconds
// before their SMS commands work), and the pause between two questions meanwhile.
inline constexpr std::int64_t kSimReadyBoundMs = 20000;
inline constexpr std::int64_t kSimPollMs = 1000;

// A salted, iterated hash of the PIN, written in the letters 'a' to 'p' (no digit at all): it
// tells PINs apart without showing them. Only a fence against a glance: a PIN has so few digits
// that anyone who can read the file finds it by trying them all. The record's protection is its
// mode: it is written owner-only (0600, whatever the umask), and an older one that others may
// read is made so at the next bring-up with a PIN.
std::string pin_fingerprint(const std::string& pin, const std::string& salt);

enum class Refusal {
  kNone,      // no refusal remembered
  kThisPin,   // the configured PIN was refused (or not answered): it is not sent
  kOtherPin,  // a refusal of another PIN: it goes when the configured PIN is sent
};
// What the file at `path` (log/sim-pin.refused) remembers of `pin`.
// A file there that is not a record of ours (unreadable, empty, edited) counts as a refusal of
// this PIN.
Refusal remembered_refusal(const std::string& path, const std::string& pin);
// The record is of `pin`, sent but not seen taken (no answer, or no READY within the bound): it
// is forgotten when the SIM shows READY, the one sign that it took the PIN.
bool refusal_pending(const std::string& path, const std::string& pin);

// A reply line that says the SIM wants its PIN: "+CME ERROR: 11", "+CMS ERROR: 311", or
// "SIM PIN required" in words.
bool sim_pin_required(const std::string& line);

// The first step of a bring-up with a PIN configured. Asks AT+CPIN?; "READY" goes on. "SIM PIN":
// the PIN goes once, unless a refusal of it is remembered, and the SIM is asked again every
// second until it is ready, for at most 20 s. Anything else (SIM PUK, no SIM, PH-SIM PIN, ...)
// fails with its own text and tag, and no PIN is sent. The PIN never appears in a text or tag.
// The PIN goes only once its record is on the disk (logs::replace_file: written, synced, renamed,
// the directory synced); a step that fails gives "unlock_sim7 cannot write log/sim-pin.refused, no
// PIN sent " (tag unlock_sim7) and no PIN.
bool unlock_sim(Env& env, const std::string& pin);

}  // namespace mvo::modem
