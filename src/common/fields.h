#pragma once
// The one tokenizer of the gateway: cuts a text into fields in place.
//
// Each next() call: with no position left, or the position at the end of the text, there is no
// field. Otherwise a run of separators is skipped; the field runs to the next separator, which is
// overwritten with '\0' and passed, or to the end of the text, which leaves no position. Runs of
// separators count as one, leading separators are skipped, and when only separators remain after
// the last separator taken, one final empty field is yielded (a text of separators only gives one
// empty field; an empty text gives none).
//
// The splitter works on the caller's buffer: fields stay valid as long as the buffer does.
#include <string>

namespace mvo::common {

class FieldSplitter {
 public:
  // `text` must be NUL-terminated and outlive the splitter; it is modified in place.
  FieldSplitter(char* text, std::string separators);
  // The next field, or nullptr when there is none.
  char* next();

 private:
  bool is_separator(char c) const;
  char* pos_;
  std::string separators_;
};

}  // namespace mvo::common
