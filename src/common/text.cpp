#include "common/text.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace mvo::common {

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    out.assign(buf.data(), static_cast<std::size_t>(n));
  }
  va_end(args);
  return out;
}

std::string bounded(const std::string& text, std::size_t size) {
  return size == 0 ? std::string() : text.substr(0, size - 1);
}

bool scan_int(const char* text, int& value) {
  const char* p = text;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  long long v = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    if (v < static_cast<long long>(INT_MAX) + 1) v = v * 10 + (*p - '0');
    ++p;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  value = static_cast<int>(v);
  return true;
}

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0: no overlong form, no surrogate, nothing
// beyond U+10FFFF.
std::size_t utf8_length(std::string_view s, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = byte(at);
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) low = 0xa0;
    if (c == 0xed) high = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (at + n > s.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if ((byte(at + k) & 0xc0) != 0x80) return 0;
  }
  return n;
}

// Windows-1252 from 0x80 to 0x9f; from 0xa0 up it is Latin-1, the code point of the same number.
constexpr char16_t kWindows1252[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};

}  // namespace

std::string as_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += text[i++];
      continue;
    }
    if (const std::size_t n = utf8_length(text, i); n > 0) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    const char32_t u = c < 0xa0 ? kWindows1252[c - 0x80] : c;
    if (u < 0x800) {
      out += static_cast<char>(0xc0 | (u >> 6));
    } else {
      out += static_cast<char>(0xe0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3f));
    }
    out += static_cast<char>(0x80 | (u & 0x3f));
    ++i;
  }
  return out;
}

const char* day_name(int tm_wday) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  return kDays[(tm_wday >= 0 && tm_wday < 7) ? tm_wday : 0];
}

const char* month_name(int tm_mon) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return kMonths[(tm_mon >= 0 && tm_mon < 12) ? tm_mon : 0];
}

}  // namespace mvo::common
