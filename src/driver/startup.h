#pragma once
// Start-up of the gateway: the notice, the banner and the port name from cfg.txt.
#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace mvo::driver {

using platform::Env;

inline constexpr const char* kDevicePrefix = "\\\\.\\";
inline constexpr std::size_t kPortNameSize = 150;  // the prefix and the name, with its end
inline constexpr std::size_t kMaxPortWord = kPortNameSize - 1 - 4;

inline constexpr const char* kStartNotice = "\n...wait...(5 seconds)\r";
inline constexpr const char* kBanner1 = " RKT 26 FEB 2012                                 \n\n";
inline constexpr const char* kBanner2 = " Q U O R I N D A L E\n";
inline constexpr const char* kBanner3 = "             MARVENTO (MVO)        \n\n";

// The port name: "\\.\" and the second word of configuration/cfg.txt (words after it and further
// lines ignored; one word and white space gives the bare prefix). A missing file, a file that
// ends while its first word is read, and a second word too long for the port name end in
// fatal_stop.
std::string load_port_name(Env& env);

// Prints the three banner lines, then returns load_port_name().
std::string show_banner(Env& env);

// The notice, delay(3000), show_banner. Returns the port name.
std::string start_up(Env& env);

}  // namespace mvo::driver
