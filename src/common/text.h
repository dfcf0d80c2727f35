#pragma once
// Bounded text helpers and the one printf-style formatter of the gateway.
#include <cstddef>
#include <string>
#include <string_view>

namespace mvo::common {

// Formats with the arguments given. `fmt` is always a literal of this program: data (a message
// text, a reply line) is passed as an argument, never as the format.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A text cut to what a buffer of `size` bytes holds (size - 1 characters).
std::string bounded(const std::string& text, std::size_t size);

// Reads a decimal integer in the manner of "%d": leading white space, an optional sign, digits;
// the rest is ignored. Returns false when no digit follows. Values beyond int saturate.
bool scan_int(const char* text, int& value);

// The text as UTF-8, for readers that demand it (a Prometheus label, a journal line, a web page):
// a byte sequence that is valid UTF-8 is kept; every other byte from 0x80 up is taken as
// Windows-1252, which is what Notepad writes, and converted (its five unassigned bytes to the
// control characters of the same number). Bytes below 0x80 are kept as they are.
std::string as_utf8(std::string_view text);

// Abbreviated English names ("Sun", "Jan"), whatever the machine's locale; out of range gives
// the first.
const char* day_name(int tm_wday);
const char* month_name(int tm_mon);

}  // namespace mvo::common
