#pragma once
// The GSM 7-bit default alphabet (3GPP TS 23.038) as the gateway's texts meet it: the gateway
// selects it with AT+CSCS="GSM" and writes each text's bytes as they stand in the configuration
// files, so a byte is the GSM character of its code, whatever the file meant by it.
#include <string>
#include <vector>

namespace mvo::check {

struct Unsendable {
  int column = 0;    // 1 for the first character of the text
  std::string text;  // what goes wrong and what the phone will likely show
};

// Every character of `text` (one line of a configuration file, as UTF-8 or bytes) that does not
// reach a phone as written. ASCII letters, digits, the blank and the punctuation the GSM alphabet
// holds at the same code are silent.
std::vector<Unsendable> unsendable(const std::string& text);

// The character a phone shows for a GSM code (0 to 127), as UTF-8.
std::string gsm_character(unsigned code);

}  // namespace mvo::check
