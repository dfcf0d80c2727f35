#pragma once
// The gateway's world for tests: a temporary site, virtual time, a console that keeps what was
// printed, and a serial port wired to a modem model or a scripted peer.
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/core/modem_model.h"
#include "sim/core/sim_port.h"
#include "sim/core/virtual.h"

namespace mvo::test {

// A peer that sends scripted bytes at given times and can drop the line at a given time.
class ScriptedPeer final : public sim::Peer {
 public:
  void at(std::int64_t t, std::string bytes) { out_.push_back({t, std::move(bytes)}); }
  void drop_at(std::int64_t t) { drop_ = t; }
  const std::string& received() const { return in_; }

  void input(const char* data, std::size_t size, std::int64_t) override { in_.append(data, size); }
  std::int64_t next_output_time(std::int64_t now) override;
  std::string take_output(std::int64_t now, std::size_t max) override;
  void purge(std::int64_t now) override;
  int line_generation(std::int64_t now) override { return now >= drop_ ? 1 : 0; }
  bool line_up(std::int64_t now) override { return now < drop_; }

 private:
  struct Out {
    std::int64_t at;
    std::string bytes;
  };
  std::vector<Out> out_;
  std::string in_;
  std::int64_t drop_ = std::numeric_limits<std::int64_t>::max();
};

class Harness {
 public:
  explicit Harness(sim::ModemOptions options = {}, bool with_log_dir = true);
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  // Routes the port to a scripted peer instead of the modem model.
  ScriptedPeer& script();
  // Opens the port as open_port leaves it (normal time-outs), without its console texts.
  void open_port();

  void write_config(const std::string& name, const std::string& content);
  std::string read_log(const std::string& name) const;
  bool log_exists(const std::string& name) const;
  // The tags of log/err_log.csv in order (a record's tag may span lines).
  std::vector<std::string> tags() const;
  // How often `tag` stands in the error log, `text` in the console, and how many of the modem's
  // commands begin with `prefix`.
  int tag_count(const std::string& tag) const;
  int console_count(const std::string& text) const;
  int commands_starting(const std::string& prefix) const;
  const std::string& console() const { return console_.text(); }
  void clear_console() { console_.clear(); }
  std::int64_t now() { return clock.now_ms(); }
  const std::filesystem::path& dir() const { return dir_; }
  sim::SimPort& port() { return port_; }

 private:
  std::filesystem::path dir_;
  platform::Site site_;
  sim::MemoryConsole console_;

 public:
  sim::VirtualClock clock;
  sim::VirtualWallClock wall{clock};
  sim::ModemModel modem;

 private:
  std::unique_ptr<ScriptedPeer> scripted_;
  sim::SimPort port_{clock, modem};

 public:
  platform::Env env;
};

}  // namespace mvo::test
