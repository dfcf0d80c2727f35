#pragma once
// Bounded text helpers and the one printf-style formatter of the gateway.
#include <cstddef>
#include <string>

namespace mvo::common {

// Formats with the arguments given. `fmt` is always a literal of this program: data (a message
// text, a reply line) is passed as an argument, never as the format.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A text cut to what a buffer of `size` bytes holds (size - 1 characters).
std::string bounded(const std::string& text, std::size_t size);

// Reads a decimal integer in the manner of "%d": leading white space, an optional sign, digits;
// the rest is ignored. Returns false when no digit follows. Values beyond int saturate.
bool scan_int(const char* text, int& value);

// Abbreviated English names ("Sun", "Jan"), whatever the machine's locale; out of range gives
// the first.
const char* day_name(int tm_wday);
const char* month_name(int tm_mon);

}  // namespace mvo::common
