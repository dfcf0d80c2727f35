// The modem dialogue: the whole gateway (main_loop, from bring-up through listing, reading,
// deleting and sending to shut-down and the next bring-up) in virtual time, against a modem whose
// every answer comes from the input. The input is a list of answers separated by byte 0xff. Each
// command the gateway finishes (a line ending in CR, or a message text ending in Ctrl-Z) takes the
// next answer; when the answers run out, the run ends. The first byte of an answer says how it
// comes, the rest is what the modem sends:
//   bits 0-1  after 5 ms, at once, after 1 s, or after 35 s (beyond every read time-out)
//   bit 2     its second half 3.5 s after the first (a read time-out inside a line)
//   bit 3     the line drops after it for 5 s (unplugged and plugged in again)
//   bit 4     it repeats for ever, a byte a millisecond, until the gateway writes again
//   bit 5     the next close of the port fails (bit 6: the port is released all the same)
//   bit 7     one of the writes that lead to this answer goes wrong: the next two bytes say which
//             and how, the rest is what the modem sends. First byte: bits 0-1 the 1st to 4th
//             write after the previous answer was taken (for the first answer, of the run), bit 2
//             it fails instead of timing out; bits 3-6 with the second byte's bits 0-6 the bytes
//             it puts through before that, 0 to 2047 ((first >> 3 & 15) * 128 + (second & 127)),
//             and a failing write never its last one. So any write can be cut short or failed at
//             any of its bytes.
//
// The modem takes what it is sent as a real one does: after AT+CMGS="<number>" CR every byte is
// message text until a Ctrl-Z sends it or an ESC written on its own cancels it. A command line
// that a cut write left unfinished runs into the next write's bytes; the modem refuses such a
// line with ERROR (whatever the input says) and does not act on it. On every run:
//   - every command is "AT" and printable characters, ended by CR; outside a text nothing else
//     is written but the Ctrl-Z and ESC of an abort;
//   - no command is sent as text: no write into a text entry begins with "AT";
//   - no text reaches a phone it was not composed for: AT+CMGS names a destination; a text never
//     holds CR, LF, ESC or a zero byte; it is written whole with its Ctrl-Z in one write, so a
//     Ctrl-Z never submits what a cut or failed write left in the entry; and what is sent is
//     empty (an abort after a lost prompt) or the text that destination's type composes;
//   - the gateway never reads for 40 virtual minutes without writing (a read that never ends),
//     never halts on a modem answer, and station log records fit their fields.
// Each input runs twice: as it is, then with a line a modem sends of its own accord (+CREG: 1,
// ^RSSI: 17, RDY, ...) put into each answer after a LF (where the gateway's lines end), at a place
// chosen from the answer's bytes: before its first line or after any line, but never
//   - after a +CMGR: or +CMGL: header, nor behind the first line of an answer to AT+CMGR (what
//     follows a read's header is read as it comes: the text, then OK);
//   - where it pushes the OK of ATZ or ATE0 out of the one read of 150 bytes that judges them;
//   - into an answer that holds such a line already (the 8-line bound) or 900 lines (the bound of
//     a listing's drain);
//   - into an input with an answer split, followed by a drop, repeated, or later than every
//     time-out: each line read costs the gateway its pause, which moves it against such timing.
// Such a line is never the answer, so the second run must judge as the first did. Findings:
//   - a text recorded refused that went out (the first run recorded it sent);
//   - a delivered report counted failed (a text the first run recorded sent, recorded otherwise);
//   - a cycle ended by such a line: right after an answer that holds one, the gateway writes
//     what it did not write without it (an abort, a reset, another command).
// Once the runs part for another reason (the time the extra lines took), nothing after compares.
// MVO_FUZZ_SHOW=1 prints the console and the texts sent of each run, also when a finding stops
// it (to follow a finding).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "common/halt.h"
#include "driver/gateway.h"
#include "fuzz/support.h"
#include "logs/records.h"
#include "modem/serial_line.h"
#include "sms/sms.h"

namespace {

using namespace mvo;
using fuzz::check;
using fuzz::finding;
using fuzz::shown;

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinute = 60 * 1000;
constexpr std::int64_t kQuietBoundMs = 40 * kMinute;
constexpr std::int64_t kDelays[] = {5, 0, 1000, 35000};
constexpr std::size_t kBlockRead = 150;          // the one read that judges ATZ and ATE0
constexpr std::size_t kLongestUnsolicited = 24;  // of with_unsolicited's lines, CR LF included

// The answers ran out: the run is over.
struct InputDone {};

// What each destination of the site below may be sent (prefix, suffix).
struct Expected {
  const char* number;
  std::vector<std::pair<std::string, std::string>> shapes;
};
const std::vector<Expected>& expected() {
  static const std::vector<Expected> kExpected = {
      {"+111", {{"+1,", ""}, {"+2,", ""}}},
      {"+222", {{"Tank3 reports: ", " meter"}, {"Pump North reports: ", " meter"}}},
      {"+333",
       {{"Tank3 reports: Normal at volume of ", " liter"},
        {"Pump North reports: Normal at volume of ", " liter"}}},
      {"+444",
       {{"Tank3 says ", ""}, {"Pump North says ", ""}, {"Tank3: ", " m"}, {"Pump North: ", " m"}}}};
  return kExpected;
}

void write_site() {
  const std::string files[][2] = {
      {"cfg.txt", "port COM1\n"},
      {"stations.txt", "\"Tank3\";\"+1\"\n\"Pump North\";\"+2\"\n"},
      {"human.txt", "Normal\nOverflow\nLow level\n"},
      {"destinations.txt",
       "\"Control\";\"+111\";SMC\n\"Operator\";\"+222\";HMN;\"1,2\"\n"
       "\"Logistics\";\"+333\";HMV;\"0\"\n\"Manager\";\"+444\";CST;\"0,1,2\"\n"},
      {"custom.txt", "\"&S says &L/&V\"\n\"&S: &L m\"\n"},
      {"options.txt", "traffic on\n"}};
  for (const auto& [name, content] : files) {
    fuzz::put_file("configuration", name.c_str(), &content);
  }
}

class DialoguePeer final : public sim::Peer {
 public:
  struct Answer {
    std::uint8_t how = 0;
    std::string bytes;
    // A write that goes wrong before this answer is taken (how bit 7): the `fault_write`th after
    // the previous answer, putting `fault_count` bytes through, then timing out or failing.
    int fault_write = 0;
    bool fault_fails = false;
    std::size_t fault_count = 0;
  };
  DialoguePeer(std::vector<Answer> answers, bool unsolicited)
      : answers_(std::move(answers)), unsolicited_(unsolicited) {
    // Each line read costs the gateway its pause: against answers with a timing of their own (a
    // split, a drop, a stream, or an answer after every time-out, which lands in whatever the
    // gateway then does) the run with the lines would be judged at other moments, not otherwise.
    for (const Answer& a : answers_) unsolicited_ = unsolicited_ && (a.how & (3 | 4 | 8 | 16)) < 3;
  }
  sim::SimPort* port = nullptr;

  void input(const char* data, std::size_t size, std::int64_t now) override {
    if (line_generation(now) != generation_) {
      // A modem without power forgets what it was about to say and any text half entered.
      generation_ = line_generation(now);
      entering_ = false;
      command_.clear();
      command_cut_ = false;
      out_.clear();
      stream_.clear();
    }
    last_write_ = now;
    ++write_serial_;
    writes.emplace_back(std::string(data, size), next_);
    if (entering_ && size >= 2 && data[0] == 'A' && data[1] == 'T') {
      finding("a command sent as text",
              "to " + number_ + ": " + shown(entry_) + " then " + shown(std::string(data, size)));
    }
    if (entering_ && size == 1 && data[0] == driver::kEscape) {
      entering_ = false;
      sent_ += number_ + " cancelled " + shown(entry_) + "\n";
      return;
    }
    for (std::size_t i = 0; i < size; ++i) take_byte(data[i], now);
    if (!entering_ && !command_.empty() && port != nullptr && port->cut_short()) {
      command_cut_ = true;
    }
  }

  // Plans the fault of the first answer; each answer taken plans the next one's.
  void plan_fault() {
    if (port == nullptr) return;
    if (next_ == answers_.size() || answers_[next_].fault_write == 0) {
      port->plan_write_fault(0, 0, false);
      return;
    }
    const Answer& a = answers_[next_];
    port->plan_write_fault(port->writes() + a.fault_write, a.fault_count, a.fault_fails);
  }

  std::int64_t next_output_time(std::int64_t now) override {
    watch(now);
    // The stream follows whatever was queued before it.
    std::int64_t next = !out_.empty() ? out_.front().at : stream_.empty() ? kNever : stream_at_;
    for (const auto& drop : drops_) {
      if (drop.first > now) next = std::min(next, drop.first);
    }
    return next;
  }

  std::string take_output(std::int64_t now, std::size_t max) override {
    watch(now);
    std::string taken;
    while (!out_.empty() && out_.front().at <= now && taken.size() < max) {
      const std::size_t n = std::min(max - taken.size(), out_.front().bytes.size());
      taken += out_.front().bytes.substr(0, n);
      out_.front().bytes.erase(0, n);
      if (out_.front().bytes.empty()) out_.pop_front();
    }
    while (out_.empty() && !stream_.empty() && stream_at_ <= now && taken.size() < max) {
      taken += stream_[stream_pos_++ % stream_.size()];
      ++stream_at_;
    }
    return taken;
  }

  void purge(std::int64_t now) override {
    while (!out_.empty() && out_.front().at <= now) out_.pop_front();
    stream_.clear();
  }

  int line_generation(std::int64_t now) override {
    int generation = 0;
    for (const auto& drop : drops_) generation += drop.first <= now ? 1 : 0;
    return generation;
  }

  bool line_up(std::int64_t now) override {
    for (const auto& [from, to] : drops_) {
      if (now >= from && now < to) return false;
    }
    return true;
  }

  // Every text sent, one a line: "<number> <text>", and every entry cancelled by an ESC:
  // "<number> cancelled <what it held>".
  const std::string& sent() const { return sent_; }
  // Every write as it came, with the number of answers taken before it; and for each answer
  // taken, whether an unsolicited line was put into it.
  std::vector<std::pair<std::string, std::size_t>> writes;
  std::vector<bool> injected;

  // Whatever was written outside a text must have been a whole command (or one a cut write left
  // unfinished).
  void finish() const {
    check(command_.empty() || command_cut_, "bytes outside a text that are no command",
          shown(command_));
  }

 private:
  struct Out {
    std::int64_t at;
    std::string bytes;
  };

  void watch(std::int64_t now) const {
    if (now - last_write_ > kQuietBoundMs) {
      finding("a read that never ends", "the gateway has read for " +
                                            std::to_string((now - last_write_) / kMinute) +
                                            " virtual minutes without writing");
    }
  }

  void take_byte(char c, std::int64_t now) {
    if (entering_) {
      if (c == driver::kEndOfText) {
        entering_ = false;
        check(entry_.empty() || entry_write_ == write_serial_, "a half-written text submitted",
              "to " + number_ + ": " + shown(entry_));
        check_text();
        sent_ += number_ + " " + shown(entry_) + "\n";
        answer(now);
        return;
      }
      check(c != driver::kEscape, "ESC inside a text cancels it",
            "to " + number_ + ": " + shown(entry_));
      check(c != '\0' && c != '\r' && c != '\n', "zero byte or line end inside a text",
            "to " + number_ + ": " + shown(entry_ + c));
      if (entry_.empty()) entry_write_ = write_serial_;
      entry_ += c;
      return;
    }
    if (c == driver::kEndOfText || c == driver::kEscape) {
      // The modem ignores them on a line a cut write left unfinished.
      check(command_.empty() || command_cut_, "abort byte inside a command", shown(command_ + c));
      return;
    }
    if (c != '\r') {
      command_ += c;
      return;
    }
    const std::string command = command_;
    command_.clear();
    if (command_cut_) {
      // Two commands run together: no modem acts on that line.
      command_cut_ = false;
      answer(now, "", "\r\nERROR\r\n");
      return;
    }
    bool printable = command.rfind("AT", 0) == 0;
    for (char k : command) printable = printable && k >= 0x20 && k < 0x7f;
    check(printable, "bytes outside a text that are no command", shown(command));
    if (command.rfind("AT+CMGS=\"", 0) == 0) {
      number_ = command.substr(9, command.size() - 10);
      bool known = false;
      for (const auto& e : expected()) {
        known = known || command == "AT+CMGS=\"" + std::string(e.number) + "\"";
      }
      check(known, "AT+CMGS to a number that is no destination", shown(command));
      entering_ = true;
      entry_.clear();
    }
    answer(now, command);
  }

  void check_text() const {
    if (entry_.empty()) return;
    check(entry_.size() <= driver::kComposedSize - 2, "text beyond the composed text",
          std::to_string(entry_.size()));
    for (const auto& e : expected()) {
      if (number_ != e.number) continue;
      for (const auto& [prefix, suffix] : e.shapes) {
        if (entry_.size() >= prefix.size() + suffix.size() && entry_.rfind(prefix, 0) == 0 &&
            entry_.compare(entry_.size() - suffix.size(), suffix.size(), suffix) == 0) {
          return;
        }
      }
    }
    finding("a text that its destination's type does not compose",
            "to " + number_ + ": " + shown(entry_));
  }

  // A modem answers in order: nothing overtakes what it has queued before.
  void emit(std::int64_t at, std::string bytes) {
    if (!out_.empty()) at = std::max(at, out_.back().at);
    out_.push_back({at, std::move(bytes)});
  }

  // Takes the next answer to `command` ("" for a text); `refusal` replaces what it says.
  void answer(std::int64_t now, const std::string& command = "", const char* refusal = nullptr) {
    if (next_ == answers_.size()) throw InputDone{};
    Answer a = answers_[next_++];
    if (refusal != nullptr) a.bytes = refusal;
    plan_fault();
    std::string first = a.bytes;  // what comes at once: the first half of a split answer
    if ((a.how & 4) != 0) first.resize(a.bytes.size() / 2);
    if (unsolicited_ && refusal == nullptr) {
      const std::size_t plain = first.size();
      // ATZ and ATE0 are judged on one read of 150 bytes: a line must not push their OK out.
      const bool block = command == "ATZ" || command == "ATE0";
      if (!block || first.size() + kLongestUnsolicited <= kBlockRead) {
        first = with_unsolicited(first, next_, command.rfind("AT+CMGR", 0) == 0);
      }
      injected.resize(next_, false);
      injected[next_ - 1] = first.size() != plain;
    }
    const std::int64_t at = now + kDelays[a.how & 3];
    std::int64_t end = at;
    if ((a.how & 4) != 0) {
      const std::size_t half = a.bytes.size() / 2;
      emit(at, first);
      end = at + 3500;
      emit(end, a.bytes.substr(half));
    } else {
      emit(at, first);
    }
    end = out_.back().at;
    if ((a.how & 16) != 0 && !a.bytes.empty()) {
      stream_ = a.bytes;
      stream_pos_ = 0;
      stream_at_ = end + 1;
    }
    if ((a.how & 8) != 0) drops_.emplace_back(end + 1, end + 5001);
    if ((a.how & 32) != 0 && port != nullptr) port->fail_closes(1, (a.how & 64) != 0);
  }

  // `bytes` with one unsolicited line at a boundary where it can never be taken for the answer;
  // `bytes` as they are when it has no such place.
  // `read`: the answer to AT+CMGR, whose lines the gateway takes as they come after the first.
  static std::string with_unsolicited(const std::string& bytes, std::size_t serial, bool read) {
    static const char* const kLines[] = {
        "+CREG: 1",   "^RSSI: 17",  "RDY",      "+CGREG: 1",       "+CMTI: \"SM\",3",  "SMS Ready",
        "^MODE: 5,4", "Call Ready", "+CFUN: 1", "+QIND: SMS DONE", "^BOOT:1,0,0,0,75", "+CEREG: 1"};
    // Lines as the gateway reads them: up to LF (or Ctrl-Z), CRs dropped, cut at a zero byte.
    std::vector<std::size_t> places{0};
    std::size_t lines = 0;
    bool after_read = read;
    bool header = false;
    for (std::size_t start = 0, end; start < bytes.size(); start = end + 1) {
      end = bytes.find_first_of("\n\x1a", start);
      if (end == std::string::npos) break;
      std::string line = bytes.substr(start, end - start);
      line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
      line.resize(std::min(line.size(), line.find('\0')));
      if (!line.empty()) {
        if (modem::is_unsolicited(line) || ++lines >= 900) return bytes;
        header = line.rfind("+CMGR:", 0) == 0 || line.rfind("+CMGL:", 0) == 0;
        after_read = after_read || line.rfind("+CMGR:", 0) == 0;
      }
      if (bytes[end] == '\n' && !header && !after_read) places.push_back(end + 1);
    }
    const std::size_t hash = bytes.size() * 31 + serial * 7;
    std::string out = bytes;
    out.insert(places[hash % places.size()],
               std::string("\r\n") + kLines[hash % std::size(kLines)] + "\r\n");
    return out;
  }

  std::vector<Answer> answers_;
  bool unsolicited_ = false;
  std::size_t next_ = 0;
  std::deque<Out> out_;
  std::string stream_;
  std::size_t stream_pos_ = 0;
  std::int64_t stream_at_ = kNever;
  std::vector<std::pair<std::int64_t, std::int64_t>> drops_;
  int generation_ = 0;
  std::int64_t last_write_ = 0;
  bool entering_ = false;
  std::string command_;
  // command_ holds what a cut write left: the line runs into the next write's bytes.
  bool command_cut_ = false;
  // Every write counted, and the one that put the entry's first byte.
  long write_serial_ = 0;
  long entry_write_ = 0;
  std::string number_;
  std::string entry_;
  std::string sent_;
};

// "  <zone> , <date> , <time>  , <text> " CR LF: zone 3, date and time 8, text below 4000.
void check_station_logs() {
  constexpr std::size_t kLongest = 2 + 3 + 3 + 8 + 3 + 8 + 5 + (sms::kMessageSize - 1) + 1;
  std::error_code ignored;
  for (const auto& entry :
       std::filesystem::directory_iterator(fuzz::site().root() + "/log", ignored)) {
    if (entry.path().filename() == "err_log.csv" || entry.path().filename() == "traffic.log") {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
      check(end - start <= kLongest, "station log record beyond its fields",
            std::to_string(end - start) + " bytes");
    }
    check(start == log.size(), "station log record without its line end", shown(log.substr(start)));
  }
}

// The run that MVO_FUZZ_SHOW shows.
fuzz::World* shown_run = nullptr;
const DialoguePeer* shown_peer = nullptr;
void show_run() {
  if (shown_run == nullptr) return;  // a finding of the comparison, after both runs
  std::fprintf(stderr, "%s\n--- sent:\n%s--- %lld virtual ms\n", shown_run->console.text().c_str(),
               shown_peer->sent().c_str(), static_cast<long long>(shown_run->clock.now_ms()));
}

// What a run judged: the outcome of each text in order, and what the gateway wrote.
struct Judged {
  std::vector<std::string> outcomes;  // "<outcome> <number> <text>"
  std::vector<std::pair<std::string, std::size_t>> writes;
  std::vector<bool> injected;
};

Judged judged() {
  Judged j;
  const std::string root = fuzz::site().root() + "/log/";
  std::ifstream traffic(root + "traffic.log", std::ios::binary);
  for (std::string line; std::getline(traffic, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    logs::TrafficRecord r;
    if (logs::parse_traffic_record(line, r) && r.direction == "out") {
      j.outcomes.push_back(r.outcome + " " + r.number + " " + shown(r.text));
    }
  }
  return j;
}

Judged run(const std::vector<DialoguePeer::Answer>& answers, bool unsolicited) {
  fuzz::clear_dir("log");
  const std::int64_t count = static_cast<std::int64_t>(answers.size());
  DialoguePeer peer(answers, unsolicited);
  fuzz::World world(peer);
  platform::Service service;  // where options.txt turns the traffic log on
  world.env.service = &service;
  if (std::getenv("MVO_FUZZ_SHOW") != nullptr) {
    shown_run = &world;
    shown_peer = &peer;
    fuzz::on_finding(show_run);
  }
  peer.port = &world.port;
  peer.plan_fault();
  world.port.keep_history(false);
  // Each answer is taken by a write, and the gateway never waits 45 minutes between two.
  world.clock.stop_at((count + 2) * 45 * kMinute);
  try {
    driver::main_loop(world.env, "COM1");
  } catch (const InputDone&) {
  } catch (const sim::SimulationEnd&) {
    finding("the gateway ran past its time bound", std::to_string((count + 2) * 45) +
                                                       " virtual minutes for " +
                                                       std::to_string(count) + " answers");
  } catch (const common::Halt&) {
    finding("the gateway halted on a modem answer",
            shown(world.console.text().substr(
                world.console.text().size() > 300 ? world.console.text().size() - 300 : 0)));
  }
  if (shown_run != nullptr) show_run();
  shown_run = nullptr;
  shown_peer = nullptr;
  peer.finish();
  check_station_logs();
  Judged j = judged();
  j.writes = std::move(peer.writes);
  j.injected = std::move(peer.injected);
  return j;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  write_site();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<DialoguePeer::Answer> answers;
  for (const std::string& part : fuzz::split(data, size, size + 1)) {
    if (part.empty()) continue;
    DialoguePeer::Answer a{static_cast<std::uint8_t>(part[0]), part.substr(1)};
    if ((a.how & 0x80) != 0) {
      const auto byte = [&](std::size_t i) {
        return i < part.size() ? static_cast<std::uint8_t>(part[i]) : std::uint8_t{0};
      };
      a.fault_write = 1 + (byte(1) & 3);
      a.fault_fails = (byte(1) & 4) != 0;
      a.fault_count = ((byte(1) >> 3) & 15) * 128u + (byte(2) & 127u);
      a.bytes = part.size() > 3 ? part.substr(3) : std::string();
    }
    answers.push_back(std::move(a));
  }
  const Judged plain = run(answers, false);
  const Judged with = run(answers, true);
  // The first write that differs, and the answer the gateway took last before it: when that
  // answer holds no line of ours, the runs parted on timing alone (each line read costs the
  // gateway its pause), and nothing after it compares.
  const auto& pw = plain.writes;
  const auto& ww = with.writes;
  std::size_t w = 0;
  while (w < pw.size() && w < ww.size() && pw[w].first == ww[w].first) ++w;
  const bool parted = w < pw.size() || w < ww.size();
  if (parted) {
    const std::size_t taken = w < ww.size() ? ww[w].second : pw[w].second;
    if (taken == 0 || taken > with.injected.size() || !with.injected[taken - 1]) return 0;
  }
  for (std::size_t i = 0; i < plain.outcomes.size() && i < with.outcomes.size(); ++i) {
    if (plain.outcomes[i] == with.outcomes[i]) continue;
    if (plain.outcomes[i].rfind("sent ", 0) != 0) break;
    const std::string detail = plain.outcomes[i] + " / " + with.outcomes[i];
    if (with.outcomes[i].rfind("refused ", 0) == 0) {
      finding("a text recorded refused that went out", detail);
    }
    finding("a delivered report counted failed", detail);
  }
  if (parted) {
    const auto written = [](const auto& writes, std::size_t i) {
      return i < writes.size() ? shown(writes[i].first) : std::string("(the end)");
    };
    finding("a cycle ended by such a line",
            "then " + written(pw, w) + ", with the line " + written(ww, w));
  }
  return 0;
}
