// read_chars over arbitrary bytes and time-outs. The first byte chooses the caller's buffer size
// (bits 0-2) and the read time-out (bit 3: 30000 ms, else 3000 ms); the rest is what the modem
// sends, all at once except where byte 0xff starts a marker:
//   ff ff       a byte 0xff
//   ff 00..7f   a pause of that many quarter seconds
//   ff 80       the line drops here (reads fail from now on)
//   ff 81..fe b b repeated for ever, one a millisecond (the rest of the input is not sent)
// read_chars is called until the input is used up. Each line must fit its buffer, hold no CR, LF
// or zero byte, be the bytes received without CR and LF, end where a line ends, and come within
// a bounded time.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/support.h"
#include "modem/serial_line.h"

namespace {

using namespace mvo;
using fuzz::check;
using fuzz::shown;

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kBufferSizes[] = {1, 2, 5, 150, 170, 200, 201, 4000};

class TimedPeer final : public sim::Peer {
 public:
  struct Byte {
    std::int64_t at;
    char c;
  };
  std::vector<Byte> bytes;
  std::int64_t drop_at = kNever;
  std::int64_t stream_from = kNever;
  char stream_byte = '\r';
  std::string taken;  // every byte read so far

  void input(const char*, std::size_t, std::int64_t) override {}
  std::int64_t next_output_time(std::int64_t now) override {
    std::int64_t next = pos_ < bytes.size() ? bytes[pos_].at : stream_from;
    if (drop_at > now) next = std::min(next, drop_at);
    return next;
  }
  std::string take_output(std::int64_t now, std::size_t max) override {
    std::string out;
    while (out.size() < max && pos_ < bytes.size() && bytes[pos_].at <= now) {
      out += bytes[pos_++].c;
    }
    while (out.size() < max && pos_ == bytes.size() && stream_from <= now) {
      out += stream_byte;
      ++stream_from;
    }
    taken += out;
    return out;
  }
  void purge(std::int64_t) override {}
  int line_generation(std::int64_t now) override { return now >= drop_at ? 1 : 0; }
  bool line_up(std::int64_t now) override { return now < drop_at; }
  bool sent_all() const { return pos_ == bytes.size() && stream_from == kNever; }
  bool streaming() const { return pos_ == bytes.size() && stream_from != kNever; }

 private:
  std::size_t pos_ = 0;
};

// Builds the peer's schedule; returns the sum of the pauses.
std::int64_t schedule(const std::uint8_t* data, std::size_t size, TimedPeer& peer) {
  std::int64_t t = 0;
  std::int64_t pauses = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != 0xff || i + 1 >= size) {
      peer.bytes.push_back({t, static_cast<char>(data[i])});
      continue;
    }
    const std::uint8_t op = data[++i];
    if (op == 0xff) {
      peer.bytes.push_back({t, '\xff'});
    } else if (op < 0x80) {
      t += op * 250;
      pauses += op * 250;
    } else if (op == 0x80) {
      peer.drop_at = std::min(peer.drop_at, t);
    } else {
      if (i + 1 < size) peer.stream_byte = static_cast<char>(data[i + 1]);
      peer.stream_from = t;
      break;
    }
  }
  return pauses;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t buffer_size = kBufferSizes[data[0] & 7];
  const std::uint32_t timeout =
      (data[0] & 8) != 0 ? modem::kLongTimeoutMs : modem::kNormalTimeoutMs;
  TimedPeer peer;
  const std::int64_t pauses = schedule(data + 1, size - 1, peer);
  fuzz::clear_dir("log");
  fuzz::World world(peer);
  world.port.keep_history(false);
  world.port.open("COM1");
  world.port.set_timeouts({timeout, timeout});
  // A call that keeps going past its pauses, two time-outs and one bounded line of a stream
  // never ends.
  const std::int64_t bound = 200 + 2 * timeout + pauses + modem::kMaxLineBytes + 1000;

  int stream_calls = 0;
  for (std::size_t call = 0; call < 2 * size + 8 && stream_calls < 3; ++call) {
    const std::size_t before = peer.taken.size();
    const std::int64_t start = world.clock.now_ms();
    world.clock.stop_at(start + bound);
    std::string line = "left over";
    bool ok = false;
    try {
      ok = modem::read_chars(world.env, line, buffer_size);
    } catch (const sim::SimulationEnd&) {
      fuzz::finding("read_chars never ends",
                    "still reading after " + std::to_string(bound) + " ms, " +
                        std::to_string(peer.taken.size() - before) + " bytes");
    }
    const std::string got = peer.taken.substr(before);
    if (!ok) {
      check(world.clock.now_ms() >= peer.drop_at, "read failure without a dropped line",
            shown(got));
      break;
    }
    check(line.size() <= buffer_size - 1, "line beyond the caller's buffer",
          std::to_string(line.size()) + " characters in " + std::to_string(buffer_size) + " bytes");
    check(got.size() <= modem::kMaxLineBytes, "line took more bytes than its bound",
          std::to_string(got.size()));
    std::string stored;
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (got[i] == '\n' && !stored.empty()) {
        check(i + 1 == got.size(), "bytes read past the LF that ended the line", shown(got));
      }
      if (got[i] != '\r' && got[i] != '\n') stored += got[i];
    }
    check(stored.size() <= modem::kMaxReplyLine, "more than 200 characters stored", shown(got));
    std::string expected = stored.substr(0, buffer_size - 1);
    expected = expected.substr(0, expected.find('\0'));
    check(line == expected, "line is not the bytes received",
          "got " + shown(got) + " line " + shown(line));
    if (peer.sent_all() && got.empty()) break;
    if (peer.streaming()) ++stream_calls;
  }
  return 0;
}
