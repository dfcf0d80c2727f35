#pragma once
// configuration/pin.txt: the SIM's PIN, kept in a file of its own so that it can be made
// readable by the gateway's user alone. Optional: without the file no PIN is ever sent.
#include <string>

#include "config/tables.h"
#include "platform/platform.h"

namespace mvo::config {

inline constexpr const char* kPinFile = "pin.txt";
inline constexpr std::size_t kMinPinLength = 4;
inline constexpr std::size_t kMaxPinLength = 8;

// Whether `text` is a PIN the SIM could take: 4 to 8 digits.
bool valid_pin(const std::string& text);

// Reads configuration/pin.txt: one line with the PIN, blanks around it allowed; blank lines and
// lines beginning with '#' are skipped. A missing file, or one of comments only, gives "" (no PIN).
// Any other content halts with " PIN in file pin.txt ..." and nothing logged; the PIN itself is
// never shown. `where` as for the other loaders (tables.h): its one entry is the PIN's line.
std::string load_pin(platform::Env& env, Where* where = nullptr);

}  // namespace mvo::config
