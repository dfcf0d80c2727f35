#include "tests/support/harness.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>

namespace mvo::test {

std::int64_t ScriptedPeer::next_output_time(std::int64_t now) {
  std::int64_t next = std::numeric_limits<std::int64_t>::max();
  for (const auto& o : out_) next = std::min(next, o.at);
  if (drop_ > now) next = std::min(next, drop_);
  return next;
}

std::string ScriptedPeer::take_output(std::int64_t now, std::size_t max) {
  std::string taken;
  for (auto it = out_.begin(); it != out_.end() && taken.size() < max;) {
    if (it->at > now) {
      ++it;
      continue;
    }
    const std::size_t n = std::min(max - taken.size(), it->bytes.size());
    taken += it->bytes.substr(0, n);
    it->bytes.erase(0, n);
    it = it->bytes.empty() ? out_.erase(it) : it;
  }
  return taken;
}

void ScriptedPeer::purge(std::int64_t now) {
  std::erase_if(out_, [&](const Out& o) { return o.at <= now; });
}

namespace {
std::filesystem::path fresh_dir() {
  static std::atomic<int> counter{0};
  auto dir =
      std::filesystem::temp_directory_path() /
      ("mvo-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "configuration");
  return dir;
}
}  // namespace

Harness::Harness(sim::ModemOptions options, bool with_log_dir)
    : dir_(fresh_dir()),
      site_(dir_.string(), static_cast<char>(std::filesystem::path::preferred_separator)),
      modem(std::move(options)),
      env{clock, wall, console_, site_, port_} {
  if (with_log_dir) std::filesystem::create_directories(dir_ / "log");
}

Harness::~Harness() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

ScriptedPeer& Harness::script() {
  scripted_ = std::make_unique<ScriptedPeer>();
  port_.attach(*scripted_);
  return *scripted_;
}

void Harness::open_port() {
  port_.open("COM1");
  port_.set_timeouts({3000, 3000});
}

void Harness::write_config(const std::string& name, const std::string& content) {
  std::ofstream out(dir_ / "configuration" / name, std::ios::binary);
  out << content;
}

std::string Harness::read_log(const std::string& name) const {
  std::ifstream in(dir_ / "log" / name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Harness::log_exists(const std::string& name) const {
  return std::filesystem::exists(dir_ / "log" / name);
}

std::vector<std::string> Harness::tags() const {
  static const std::regex kRecord(
      R"( ([\s\S]*?)  ,  [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\r\n)");
  std::vector<std::string> tags;
  const std::string log = read_log("err_log.csv");
  for (std::sregex_iterator it(log.begin(), log.end(), kRecord), end; it != end; ++it) {
    std::string tag = (*it)[1];
    // The file holds CR LF for every line feed of the tag; give the tag back as logged.
    for (std::size_t p = 0; (p = tag.find("\r\n", p)) != std::string::npos;) tag.erase(p, 1);
    tags.push_back(tag);
  }
  return tags;
}

int Harness::tag_count(const std::string& tag) const {
  const auto t = tags();
  return static_cast<int>(std::count(t.begin(), t.end(), tag));
}

int Harness::console_count(const std::string& text) const {
  int n = 0;
  for (std::size_t p = 0; (p = console().find(text, p)) != std::string::npos; p += text.size()) ++n;
  return n;
}

int Harness::commands_starting(const std::string& prefix) const {
  const auto& c = modem.commands();
  return static_cast<int>(std::count_if(
      c.begin(), c.end(), [&](const std::string& s) { return s.starts_with(prefix); }));
}

}  // namespace mvo::test
