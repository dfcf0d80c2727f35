#pragma once
// What the fuzz targets share: an input cut into parts, a site of their own, the gateway's world
// in virtual time, and the checks whose failure is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/core/sim_port.h"
#include "sim/core/virtual.h"

namespace mvo::fuzz {

// Parts of an input are separated by this byte, so a seed stays easy to write with printf.
inline constexpr char kSeparator = '\xff';

// The input cut at kSeparator into at most `max_parts` parts; the last part keeps the rest.
std::vector<std::string> split(const std::uint8_t* data, std::size_t size, std::size_t max_parts);

// Bytes as text: printable ASCII as it is, every other byte as \xNN.
std::string shown(const std::string& bytes);

// A finding: prints "INVARIANT <what>: <detail>" and aborts, so libFuzzer keeps the input.
[[noreturn]] void finding(const std::string& what, const std::string& detail);
// Called by finding() before it prints (a target shows what led there); null for none.
void on_finding(void (*show)());
inline void check(bool ok, const char* what, const std::string& detail) {
  if (!ok) finding(what, detail);
}

// A composed text is empty or ends in exactly one Ctrl-Z with no other Ctrl-Z, ESC or zero byte
// before it, and fits the 600-byte composed text with its end.
void check_composed(const std::string& text, const std::string& where);

// The site of this process: configuration/ and log/ in a fresh directory (on /dev/shm where there
// is one, for speed), removed at exit.
const platform::Site& site();
// Writes site/<dir>/<name>; a null `content` removes the file.
void put_file(const char* dir, const char* name, const std::string* content);
// Removes every file in site/<dir>.
void clear_dir(const char* dir);

// A modem that never says anything, for the targets that need a port but no dialogue.
struct SilentPeer final : sim::Peer {
  void input(const char*, std::size_t, std::int64_t) override {}
  std::int64_t next_output_time(std::int64_t) override { return INT64_MAX; }
  std::string take_output(std::int64_t, std::size_t) override { return ""; }
  void purge(std::int64_t) override {}
  int line_generation(std::int64_t) override { return 0; }
  bool line_up(std::int64_t) override { return true; }
};

// The gateway's world for one input: virtual time, the console in memory, a port on `peer`.
struct World {
  explicit World(sim::Peer& peer) : port(clock, peer) {}
  sim::VirtualClock clock;
  sim::VirtualWallClock wall{clock};
  sim::MemoryConsole console;
  sim::SimPort port;
  platform::Env env{clock, wall, console, site(), port};
};

}  // namespace mvo::fuzz
