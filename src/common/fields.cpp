#include "common/fields.h"

namespace mvo::common {

FieldSplitter::FieldSplitter(char* text, std::string separators)
    : pos_(text), separators_(std::move(separators)) {}

bool FieldSplitter::is_separator(char c) const {
  return c != '\0' && separators_.find(c) != std::string::npos;
}

char* FieldSplitter::next() {
  if (pos_ == nullptr || *pos_ == '\0') return nullptr;
  char* start = pos_;
  while (is_separator(*start)) ++start;
  char* end = start;
  while (*end != '\0' && !is_separator(*end)) ++end;
  if (*end == '\0') {
    pos_ = nullptr;
  } else {
    *end = '\0';
    pos_ = end + 1;
  }
  return start;
}

}  // namespace mvo::common
