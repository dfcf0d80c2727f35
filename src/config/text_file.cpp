#include "config/text_file.h"

#include <fstream>
#include <iterator>
#include <string_view>

namespace mvo::config {

bool read_text(const std::string& path, std::string& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  data.clear();
  // A UTF-8 byte-order mark (what Notepad writes as "UTF-8 with BOM") marks the encoding; it is
  // not content.
  const std::size_t start = raw.rfind(kUtf8Bom, 0) == 0 ? kUtf8Bom.size() : 0;
  for (char c : std::string_view(raw).substr(start)) {
    if (c == 26) break;
    if (c != '\r') data += c;
  }
  return true;
}

bool TextFile::open(const std::string& path) {
  if (!read_text(path, data_)) return false;
  pos_ = 0;
  end_reached_ = false;
  line_number_ = 0;
  line_ends_ = 0;
  return true;
}

Line TextFile::read_line() {
  Line line;
  line_number_ = line_ends_ + 1;
  while (line.text.size() < kMaxLineRead) {
    if (pos_ >= data_.size()) {
      line.hit_end = true;
      end_reached_ = true;
      return line;
    }
    char c = data_[pos_++];
    line.text += c;
    if (c == '\n') {
      ++line_ends_;
      line.has_line_end = true;
      return line;
    }
  }
  // 199 characters without a line end: a complete last line if nothing follows, else the line is
  // longer than the format allows.
  if (pos_ >= data_.size()) {
    line.hit_end = true;
    end_reached_ = true;
  } else {
    line.too_long = true;
  }
  return line;
}

}  // namespace mvo::config
