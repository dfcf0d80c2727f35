#include "tools/check/gsm.h"

#include "common/text.h"

namespace mvo::check {

using common::format;

namespace {

// The basic character set, by code. The escape (27) is shown as a blank, as a phone that does not
// know the following code shows it.
constexpr const char* kBasic[128] = {
    "@", "£", "$",  "¥", "è", "é", "ù", "ì", "ò", "Ç", "\n", "Ø", "ø", "\r", "Å", "å",
    "Δ", "_", "Φ",  "Γ", "Λ", "Ω", "Π", "Ψ", "Σ", "Θ", "Ξ",  " ", "Æ", "æ",  "ß", "É",
    " ", "!", "\"", "#", "¤", "%", "&", "'", "(", ")", "*",  "+", ",", "-",  ".", "/",
    "0", "1", "2",  "3", "4", "5", "6", "7", "8", "9", ":",  ";", "<", "=",  ">", "?",
    "¡", "A", "B",  "C", "D", "E", "F", "G", "H", "I", "J",  "K", "L", "M",  "N", "O",
    "P", "Q", "R",  "S", "T", "U", "V", "W", "X", "Y", "Z",  "Ä", "Ö", "Ñ",  "Ü", "§",
    "¿", "a", "b",  "c", "d", "e", "f", "g", "h", "i", "j",  "k", "l", "m",  "n", "o",
    "p", "q", "r",  "s", "t", "u", "v", "w", "x", "y", "z",  "ä", "ö", "ñ",  "ü", "à"};

// The ASCII characters held by the extension table only, behind the escape code.
constexpr const char kExtension[] = "^{}\\[~]|";

// How a phone's line shows: a line end as a visible mark, not a break.
std::string shown(unsigned code) {
  if (code == '\n') return "<line feed>";
  if (code == '\r') return "<carriage return>";
  return kBasic[code & 0x7F];
}

// The length of the UTF-8 sequence that starts at `i`, or 0 when the bytes there are none.
std::size_t utf8_length(const std::string& s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    n = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    n = 3;
  else if (lead >= 0xF0 && lead <= 0xF4)
    n = 4;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

}  // namespace

std::string gsm_character(unsigned code) { return kBasic[code & 0x7F]; }

std::vector<Unsendable> unsendable(const std::string& text) {
  std::vector<Unsendable> found;
  int column = 0;
  for (std::size_t i = 0; i < text.size();) {
    ++column;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      const std::string as_gsm = shown(c);
      if (c >= 0x20 && c < 0x7F && as_gsm == std::string(1, static_cast<char>(c))) continue;
      std::string what;
      if (c < 0x20 || c == 0x7F) {
        what = format("the control character %02X is not text", static_cast<int>(c));
      } else if (std::string(kExtension).find(static_cast<char>(c)) != std::string::npos) {
        what = format(
            "'%c' is in the GSM alphabet only behind an escape code, which the gateway "
            "does not write",
            static_cast<char>(c));
      } else if (c == '`') {
        what = "'`' is not in the GSM alphabet";
      } else {
        what = format("'%c' has another code in the GSM alphabet", static_cast<char>(c));
      }
      found.push_back({column, what + ": the phone will likely show \"" + as_gsm + "\""});
      continue;
    }
    const std::size_t n = utf8_length(text, i);
    const std::size_t taken = n == 0 ? 1 : n;
    std::string bytes;
    std::string as_gsm;
    for (std::size_t k = 0; k < taken; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      bytes += format(k == 0 ? "%02X" : " %02X", static_cast<int>(b));
      as_gsm += shown(b);
    }
    // A modem taking GSM characters has 7 bits a character: the 8th of each byte is lost.
    const std::string what =
        n == 0 ? format("byte %s is not UTF-8 and not in the GSM alphabet", bytes.c_str())
               : format(
                     "'%s' is written as the bytes %s (UTF-8), which the GSM alphabet cannot "
                     "carry",
                     text.substr(i, n).c_str(), bytes.c_str());
    found.push_back({column, what + ": the phone will likely show \"" + as_gsm +
                                 "\"; write it in plain letters"});
    i += taken;
  }
  return found;
}

}  // namespace mvo::check
