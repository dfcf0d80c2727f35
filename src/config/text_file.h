#pragma once
// Configuration files read as text, the same on every platform: a UTF-8 byte-order mark at the
// start is skipped, carriage returns are dropped wherever they stand and a byte 26 ends the file.
// Lines are read in the fgets manner: at most 199 characters including the line end, and the end
// of the file counts as reached only when a read runs out of data (after a last line with a line
// end, one more read yields nothing).
#include <cstddef>
#include <string>
#include <string_view>

namespace mvo::config {

inline constexpr std::size_t kMaxLineRead = 199;
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct Line {
  std::string text;  // as read, the line end included if one was read
  bool has_line_end = false;
  bool hit_end = false;   // the end of the file was reached during this read
  bool too_long = false;  // 199 characters read, no line end, and more data follows
};

// The whole file as text (a leading UTF-8 byte-order mark skipped, CRs dropped, cut at byte 26).
// False when it cannot be opened.
bool read_text(const std::string& path, std::string& data);

class TextFile {
 public:
  // False when the file cannot be opened.
  bool open(const std::string& path);
  Line read_line();
  bool at_end() const { return end_reached_; }
  // The line of the file in which the last read began, 1 for the first (a piece of a line longer
  // than a read keeps the number of the line it belongs to).
  int line_number() const { return line_number_; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
  bool end_reached_ = false;
  int line_number_ = 0;
  int line_ends_ = 0;  // line ends passed so far
};

}  // namespace mvo::config
