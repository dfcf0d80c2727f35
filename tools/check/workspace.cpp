#include "tools/check/workspace.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <stdexcept>

namespace mvo::check {

namespace fs = std::filesystem;

namespace {

fs::path make_scratch() {
  static std::atomic<int> counter{0};
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) throw std::runtime_error("no temporary directory: " + ec.message());
  for (int attempt = 0; attempt < 20; ++attempt) {
    const fs::path dir = base / ("mvo-check-" + std::to_string(std::random_device{}()) + "-" +
                                 std::to_string(counter++));
    if (fs::create_directory(dir, ec)) {
      fs::create_directory(dir / "configuration", ec);
      if (!ec) fs::create_directory(dir / "log", ec);
      if (!ec) return dir;
      fs::remove_all(dir, ec);
      break;
    }
  }
  throw std::runtime_error("cannot make a scratch directory in " + base.string());
}

std::optional<std::string> read_file(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return data;
}

}  // namespace

Workspace::Workspace(const std::string& site_root)
    : dir_(make_scratch()),
      site(dir_.string(), static_cast<char>(fs::path::preferred_separator)),
      env{clock, wall, console, site, port} {
  for (const char* name : kConfigFiles) {
    std::optional<std::string> data = read_file(fs::path(site_root) / "configuration" / name);
    if (data) write(name, *data);
    if (data) data = data->substr(0, data->find('\x1a'));
    originals_[name] = std::move(data);
  }
}

Workspace::~Workspace() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

std::optional<std::string> Workspace::original(const std::string& name) const {
  const auto it = originals_.find(name);
  return it == originals_.end() ? std::nullopt : it->second;
}

void Workspace::write(const std::string& name, const std::string& data) {
  std::ofstream out(dir_ / "configuration" / name, std::ios::binary | std::ios::trunc);
  out << data;
}

std::vector<std::string> Workspace::take_tags() {
  // " <tag>  ,  <asctime stamp>" with every line feed written as CR LF.
  static const std::regex kRecord(
      R"( ([\s\S]*?)  ,  [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\r\n)");
  const fs::path path = dir_ / "log" / "err_log.csv";
  const std::string log = read_file(path).value_or("");
  std::vector<std::string> tags;
  for (std::sregex_iterator it(log.begin(), log.end(), kRecord), end; it != end; ++it) {
    std::string tag = (*it)[1];
    std::string plain;
    for (std::size_t i = 0; i < tag.size(); ++i) {
      if (!(tag[i] == '\r' && i + 1 < tag.size() && tag[i + 1] == '\n')) plain += tag[i];
    }
    tags.push_back(plain);
  }
  std::error_code ignored;
  fs::remove(path, ignored);
  return tags;
}

}  // namespace mvo::check
