#include "fuzz/support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "driver/gateway.h"

namespace mvo::fuzz {

namespace fs = std::filesystem;

std::vector<std::string> split(const std::uint8_t* data, std::size_t size, std::size_t max_parts) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == kSeparator && parts.size() < max_parts) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

std::string shown(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

namespace {
void (*before_finding)() = nullptr;
}  // namespace

void on_finding(void (*show)()) { before_finding = show; }

void finding(const std::string& what, const std::string& detail) {
  if (before_finding != nullptr) before_finding();
  std::fprintf(stderr, "\nINVARIANT %s: %s\n", what.c_str(), detail.c_str());
  std::fflush(stderr);
  std::abort();
}

void check_composed(const std::string& text, const std::string& where) {
  if (text.empty()) return;
  const std::string body = text.substr(0, text.size() - 1);
  check(text.back() == driver::kEndOfText, "composed text without its final Ctrl-Z",
        where + ": " + shown(text));
  check(body.find_first_of(std::string("\x1a\x1b\0", 3)) == std::string::npos,
        "Ctrl-Z, ESC or zero byte inside a composed text", where + ": " + shown(text));
  check(text.size() <= driver::kComposedSize - 1, "composed text beyond its 600 bytes",
        where + ": " + std::to_string(text.size()) + " bytes");
}

namespace {

struct SiteDir {
  SiteDir() {
    const fs::path base =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    dir = base / ("mvo-fuzz-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir / "configuration");
    fs::create_directories(dir / "log");
    site = platform::Site(dir.string(), static_cast<char>(fs::path::preferred_separator));
  }
  ~SiteDir() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  fs::path dir;
  platform::Site site{"", '/'};
};

SiteDir& site_dir() {
  static SiteDir instance;
  return instance;
}

}  // namespace

const platform::Site& site() { return site_dir().site; }

void put_file(const char* dir, const char* name, const std::string* content) {
  const fs::path path = site_dir().dir / dir / name;
  if (content == nullptr) {
    std::error_code ignored;
    fs::remove(path, ignored);
    return;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content->data(), static_cast<std::streamsize>(content->size()));
}

void clear_dir(const char* dir) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(site_dir().dir / dir, ignored)) {
    fs::remove_all(entry.path(), ignored);
  }
}

}  // namespace mvo::fuzz
