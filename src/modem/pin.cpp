#include "modem/pin.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "common/text.h"
#include "logs/life.h"
#include "logs/logs.h"
#include "modem/serial_line.h"

namespace mvo::modem {

using common::format;
using logs::delay;
using logs::fail;

namespace {

// A PIN the SIM refused, and a PIN sent whose taking has not been seen yet (no answer, or no
// READY after it): neither is sent again; only the second is forgotten when the SIM shows READY.
constexpr const char* kRecordKey = "refused ";
constexpr const char* kPendingKey = "pending ";
constexpr int kHashRounds = 4096;
constexpr int kMaxReplyLines = 6;
constexpr std::size_t kMaxRecordFile = 4096;

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// 64 bits as 16 letters 'a' to 'p': a record of letters only can never hold a PIN's digits.
std::string letters64(std::uint64_t v) {
  std::string out(16, 'a');
  for (std::size_t i = 16; i-- > 0; v >>= 4) out[i] = static_cast<char>('a' + (v & 15));
  return out;
}

// The salt and the fingerprint of the record in the file, or false when there is none.
bool read_record(const std::string& path, std::string& salt, std::string& fingerprint,
                 bool* pending = nullptr) {
  // The gateway's own record is a few hundred bytes; whatever else the file may hold is not read.
  std::ifstream file(path, std::ios::binary);
  std::string head(kMaxRecordFile, '\0');
  file.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(file.gcount()));
  std::istringstream in(head);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool is_pending = starts(line, kPendingKey);
    if (!starts(line, kRecordKey) && !is_pending) continue;
    if (pending != nullptr) *pending = is_pending;
    const std::string rest = line.substr(std::string(kRecordKey).size());
    const std::size_t blank = rest.find(' ');
    if (blank == std::string::npos) return false;
    salt = rest.substr(0, blank);
    fingerprint = rest.substr(blank + 1);
    return !salt.empty() && !fingerprint.empty();
  }
  return false;
}

std::string refusal_path(Env& env) { return env.site.path("log", kRefusalFile); }

// Written before the PIN goes out, so that a gateway that dies before the answer comes does not
// send it again either.
bool remember_refusal(Env& env, const std::string& pin, const char* key = kPendingKey) {
  std::random_device random;
  const std::string salt = letters64((static_cast<std::uint64_t>(random()) << 32) ^
                                     static_cast<std::uint64_t>(random()));
  return logs::replace_file(
      refusal_path(env),
      "# The SIM refused the PIN of configuration/pin.txt, or its answer never came. The gateway\n"
      "# does not send that PIN again until pin.txt holds another one. Delete this file to let it\n"
      "# try once more (a SIM takes three wrong PINs, then wants its PUK).\n" +
          std::string(key) + salt + " " + pin_fingerprint(pin, salt) + "\n",
      logs::Readers::kOwnerOnly);
}

// A record written before records were made owner-only (with the umask's mode, 0640 or 0644) is
// made so when the gateway meets it: its fingerprint gives the PIN away to whoever reads it. A
// link is left alone: the gateway changes only a file of its own. Windows keeps its access
// rights in the folder, not in mode bits.
void keep_private(const std::string& path) {
#ifndef _WIN32
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec || !fs::is_regular_file(status)) return;
  if ((status.permissions() & (fs::perms::group_all | fs::perms::others_all)) == fs::perms::none) {
    return;
  }
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ec);
#else
  (void)path;
#endif
}

void forget_refusal(Env& env) { std::remove(refusal_path(env).c_str()); }

// The lines of a reply: echo lines (a modem not yet told ATE0 repeats the command) and up to
// kMaxSkippedLines unsolicited ones skipped, the first other line in `info`, the final result in
// `final` ("" when none came in time).
bool read_reply(Env& env, std::string& info, std::string& final) {
  info.clear();
  final.clear();
  int skipped = 0;
  for (int i = 0; i < kMaxReplyLines; ++i) {
    std::string line;
    if (!read_chars(env, line)) return false;
    if (line.empty()) return true;
    const std::string up = upper(line);
    if (starts(up, "AT")) continue;
    // A line the modem sends of its own accord (boot and network notices) is no reply, but
    // "+CPIN:" is the answer awaited here.
    if (!starts(up, "+CPIN:") && modem::is_unsolicited(line) && skipped < kMaxSkippedLines) {
      ++skipped;
      --i;
      continue;
    }
    if (up == "OK" || up == "ERROR" || starts(up, "+CME ERROR") || starts(up, "+CMS ERROR")) {
      final = line;
      return true;
    }
    if (info.empty()) info = line;
  }
  return true;
}

// AT+CPIN? -> "READY", "SIM PIN", "SIM PUK", ...; an error result as it came ("+CME ERROR: 10");
// "" when no answer came.
std::string query_pin(Env& env) {
  delay(env, 100);
  if (!WriteChars(env, "AT+CPIN?\r")) return "";
  std::string info, final;
  if (!read_reply(env, info, final)) return "";
  if (final == "OK" && starts(upper(info), "+CPIN:")) {
    std::string state = info.substr(6);
    const std::size_t start = state.find_first_not_of(' ');
    return start == std::string::npos ? "" : state.substr(start);
  }
  return final == "OK" ? "" : final;
}

bool is_busy(const std::string& answer) {
  return answer == "+CME ERROR: 14" || upper(answer).find("SIM BUSY") != std::string::npos;
}

bool is_absent(const std::string& answer) {
  return answer == "+CME ERROR: 10" || upper(answer).find("NOT INSERTED") != std::string::npos;
}

// What the SIM says that lets no PIN go: its text and tag.
bool not_usable(Env& env, const std::string& answer) {
  if (answer.empty()) return fail(env, "unlock_sim1 (no answer to AT+CPIN?) ", "unlock_sim1");
  if (upper(answer) == "SIM PUK") {
    return fail(env, "unlock_sim2 SIM locked: it wants its PUK, no PIN sent ",
                "unlock_sim2 SIM PUK");
  }
  if (is_absent(answer)) {
    return fail(env, format("unlock_sim3 no SIM in the modem (%s) ", answer.c_str()),
                "unlock_sim3 no SIM");
  }
  return fail(env, format("unlock_sim4 SIM not ready (%s), no PIN sent ", answer.c_str()),
              "unlock_sim4");
}

// Asks until the SIM is no longer busy, for at most the bound from now; the last answer.
std::string settled_answer(Env& env) {
  const std::int64_t start = env.clock.now_ms();
  std::string answer = query_pin(env);
  while (is_busy(answer) && env.clock.now_ms() - start < kSimReadyBoundMs) {
    delay(env, kSimPollMs);
    answer = query_pin(env);
  }
  return answer;
}

}  // namespace

std::string pin_fingerprint(const std::string& pin, const std::string& salt) {
  // FNV-1a over salt and PIN, then rounds of the splitmix64 finaliser.
  std::uint64_t h = 14695981039346656037ull;
  for (char c : salt + ":" + pin) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  for (int i = 0; i < kHashRounds; ++i) {
    h += 0x9e3779b97f4a7c15ull;
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
    h ^= h >> 31;
  }
  return letters64(h);
}

Refusal remembered_refusal(const std::string& path, const std::string& pin) {
  std::string salt, fingerprint;
  if (!read_record(path, salt, fingerprint)) {
    // A file there that cannot be read, or holds no record of ours, may stand for a refusal: the
    // PIN is not risked on it.
    // (An empty file is what a power cut can leave of a record just written.)
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) ? Refusal::kThisPin : Refusal::kNone;
  }
  return pin_fingerprint(pin, salt) == fingerprint ? Refusal::kThisPin : Refusal::kOtherPin;
}

bool refusal_pending(const std::string& path, const std::string& pin) {
  std::string salt, fingerprint;
  bool pending = false;
  return read_record(path, salt, fingerprint, &pending) && pending &&
         pin_fingerprint(pin, salt) == fingerprint;
}

bool sim_pin_required(const std::string& line) {
  return line == "+CME ERROR: 11" || line == "+CMS ERROR: 311" ||
         upper(line).find("SIM PIN REQUIRED") != std::string::npos;
}

bool unlock_sim(Env& env, const std::string& pin) {
  keep_private(refusal_path(env));
  std::string answer = settled_answer(env);
  if (upper(answer) == "READY") {
    // A PIN sent before whose taking was not seen (its answer lost, or READY late): the SIM
    // shows it took it.
    if (refusal_pending(refusal_path(env), pin)) forget_refusal(env);
    return true;
  }
  if (upper(answer) != "SIM PIN") return not_usable(env, answer);

  switch (remembered_refusal(refusal_path(env), pin)) {
    case Refusal::kThisPin:
      return fail(env,
                  "unlock_sim5 the SIM refused the PIN of pin.txt before (log/sim-pin.refused): "
                  "not entered again until pin.txt changes ",
                  "unlock_sim5 PIN refused before");
    case Refusal::kOtherPin:
      forget_refusal(env);  // pin.txt holds another PIN now: it gets its one try
      break;
    case Refusal::kNone:
      break;
  }
  // From the record until the SIM shows READY a stop waits (at most the ready bound): a stop that
  // cut this short would leave a PIN the SIM may have taken remembered as pending.
  logs::StopHold hold(env);
  if (!remember_refusal(env, pin)) {
    // A record that may stand without being on the disk would keep a PIN never sent from ever
    // being sent: there was none before (another PIN's went above), and there is none now.
    forget_refusal(env);
    return fail(env, "unlock_sim7 cannot write log/sim-pin.refused, no PIN sent ", "unlock_sim7");
  }
  // Echo off first: a modem that echoes would hold the PIN in a line that a failed read prints.
  std::string info, final;
  delay(env, 100);
  if (WriteChars(env, "ATE0\r")) read_reply(env, info, final);
  delay(env, 100);
  final.clear();
  if (!WriteChars(env, "AT+CPIN=\"" + pin + "\"\r") || !read_reply(env, info, final) ||
      final.empty()) {
    final = "no answer";
  }
  if (final != "OK") {
    // A refusal in words is remembered as such; no answer stays pending, forgotten only if the
    // SIM later shows READY.
    if (final != "no answer") remember_refusal(env, pin, kRecordKey);
    return fail(env,
                format("unlock_sim6 the SIM refused the PIN of pin.txt (%s): not entered again "
                       "until pin.txt changes ",
                       final.c_str()),
                "unlock_sim6 PIN refused");
  }

  // Taken: the SIM needs some seconds before it is ready.
  const std::int64_t start = env.clock.now_ms();
  for (;;) {
    delay(env, kSimPollMs);
    answer = query_pin(env);
    if (upper(answer) == "READY") {
      forget_refusal(env);
      return true;
    }
    if (!is_busy(answer) && upper(answer) != "SIM PIN") return not_usable(env, answer);
    if (env.clock.now_ms() - start >= kSimReadyBoundMs) {
      return fail(env,
                  format("unlock_sim8 SIM not ready %d s after its PIN ",
                         static_cast<int>(kSimReadyBoundMs / 1000)),
                  "unlock_sim8");
    }
  }
}

}  // namespace mvo::modem
