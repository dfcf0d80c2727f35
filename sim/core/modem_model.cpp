#include "sim/core/modem_model.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace mvo::sim {

namespace {
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kMaxCommand = 1024;

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// "+CMGS=\"+999\"" -> +999
std::string unquote(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '"'), s.end());
  return s;
}

// Splits "+A;+B" at semicolons outside quotes.
std::vector<std::string> split_commands(const std::string& body) {
  std::vector<std::string> parts(1);
  bool quoted = false;
  for (char c : body) {
    if (c == '"') quoted = !quoted;
    if (c == ';' && !quoted) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

int to_int(const std::string& s, int fallback) {
  try {
    return std::stoi(s);
  } catch (...) {
    return fallback;
  }
}
}  // namespace

ModemModel::ModemModel(ModemOptions options) : opt_(std::move(options)), rng_(opt_.seed) {}

bool ModemModel::line_up(std::int64_t now) {
  for (const auto& [from, to] : drops_) {
    if (now >= from && now < to) return false;
  }
  return true;
}

int ModemModel::line_generation(std::int64_t now) {
  int generation = 0;
  for (const auto& drop : drops_) generation += drop.first <= now ? 1 : 0;
  return generation;
}

void ModemModel::unplug(std::int64_t at, std::int64_t duration_ms) {
  drops_.emplace_back(at, duration_ms > 0 ? at + duration_ms : kNever);
}

void ModemModel::replug(std::int64_t now) {
  for (auto& drop : drops_) {
    if (drop.second == kNever && drop.first <= now) drop.second = now;
  }
}

void ModemModel::deliver(std::string sender, std::string stamp, std::string text, std::int64_t at) {
  pending_.push_back(
      {at, SmsEntry{0, std::move(sender), std::move(stamp), std::move(text), false}});
}

SmsEntry* ModemModel::slot(int index) {
  for (auto& e : store_) {
    if (e.index == index) return &e;
  }
  return nullptr;
}

void ModemModel::settle(std::int64_t now) {
  if (!line_up(now)) {
    // A modem without power keeps nothing it was about to say, nor a half-typed command.
    out_.clear();
    cmd_.clear();
    entering_ = false;
  }
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->at > now || static_cast<int>(store_.size()) >= opt_.capacity) {
      ++it;
      continue;
    }
    int index = 1;
    while (slot(index) != nullptr) ++index;
    it->entry.index = index;
    store_.push_back(it->entry);
    std::sort(store_.begin(), store_.end(),
              [](const SmsEntry& a, const SmsEntry& b) { return a.index < b.index; });
    it = pending_.erase(it);
  }
}

const std::vector<SmsEntry>& ModemModel::store(std::int64_t now) {
  settle(now);
  return store_;
}

void ModemModel::emit(std::int64_t at, std::string bytes) {
  at = std::max(at, last_out_);
  last_out_ = at;
  out_.push_back({at, std::move(bytes)});
}

std::int64_t ModemModel::next_output_time(std::int64_t now) {
  settle(now);
  std::int64_t next = out_.empty() ? kNever : out_.front().at;
  // A drop to come ends a read on a port opened before it.
  for (const auto& drop : drops_) {
    if (drop.first > now) next = std::min(next, drop.first);
  }
  return next;
}

std::string ModemModel::take_output(std::int64_t now, std::size_t max) {
  settle(now);
  std::string taken;
  while (!out_.empty() && out_.front().at <= now && taken.size() < max) {
    Out& front = out_.front();
    const std::size_t n = std::min(max - taken.size(), front.bytes.size());
    taken += front.bytes.substr(0, n);
    front.bytes.erase(0, n);
    if (front.bytes.empty()) out_.pop_front();
  }
  return taken;
}

void ModemModel::purge(std::int64_t now) {
  settle(now);
  while (!out_.empty() && out_.front().at <= now) out_.pop_front();
}

void ModemModel::input(const char* data, std::size_t size, std::int64_t now) {
  settle(now);
  if (!line_up(now)) return;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (entering_) {
      if (c == 26) {
        submit(now);
      } else if (c == 27) {
        entering_ = false;
        line(now + opt_.latency_ms, "OK");
      } else {
        if (echo_) emit(now, std::string(1, c));
        if (entry_text_.size() < kMaxCommand) entry_text_ += c;
      }
      continue;
    }
    if (c == 26 || c == 27) continue;
    if (echo_) emit(now, std::string(1, c));
    if (c == '\r') {
      const std::string cmd = cmd_;
      cmd_.clear();
      command(cmd, now);
    } else if (c != '\n' && cmd_.size() < kMaxCommand) {
      cmd_ += c;
    }
  }
}

const FaultRule* ModemModel::fault_for(const std::string& key, bool send_kind) {
  for (auto& f : faults_) {
    const bool is_send =
        f.rule.kind == FaultKind::kSendCmsError || f.rule.kind == FaultKind::kSendOkOnly ||
        f.rule.kind == FaultKind::kSendCmgsThenError || f.rule.kind == FaultKind::kSendSilent;
    if (is_send != send_kind) continue;
    if (send_kind ? key != f.rule.match : !starts(key, f.rule.match.c_str())) continue;
    if (f.rule.count >= 0 && f.used >= f.rule.count) continue;
    if (f.rule.chance < 1.0 &&
        std::uniform_real_distribution<double>(0, 1)(rng_) >= f.rule.chance) {
      continue;
    }
    ++f.used;
    return &f.rule;
  }
  return nullptr;
}

void ModemModel::command(const std::string& raw, std::int64_t now) {
  std::string cmd = raw;
  while (!cmd.empty() && cmd.back() == ' ') cmd.pop_back();
  while (!cmd.empty() && cmd.front() == ' ') cmd.erase(0, 1);
  const std::string up = upper(cmd);
  if (!starts(up, "AT")) return;
  if (opt_.keep_history) {
    commands_.push_back(cmd);
    command_times_.push_back(now);
  }
  std::int64_t t = now + opt_.latency_ms;

  if (const FaultRule* f = fault_for(up, false)) {
    switch (f->kind) {
      case FaultKind::kError:
        line(t, "ERROR");
        return;
      case FaultKind::kCmsError:
        line(t, "+CMS ERROR: " + std::to_string(f->code));
        return;
      case FaultKind::kReply: {
        std::string text = f->text;
        std::size_t start = 0;
        for (;;) {
          const std::size_t bar = text.find('|', start);
          line(t, text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
          if (bar == std::string::npos) break;
          start = bar + 1;
        }
        return;
      }
      case FaultKind::kSilent:
        return;
      case FaultKind::kSlow:
        t += f->delay_ms;
        break;
      case FaultKind::kGarbage: {
        std::string junk;
        std::uniform_int_distribution<int> byte(33, 126);
        for (int i = 0; i < 24; ++i) junk += static_cast<char>(byte(rng_));
        emit(t, junk);
        return;
      }
      case FaultKind::kLongLine:
        emit(t, std::string(300, 'X'));
        return;
      case FaultKind::kDropLine:
        unplug(t, f->delay_ms);
        return;
      default:
        break;
    }
  }

  if (up == "AT") return line(t, "OK");
  if (starts(up, "ATZ")) {
    echo_ = true;
    text_mode_ = false;
    csdh_ = false;
    charset_ = "IRA";
    return line(t, "OK");
  }
  if (up == "ATE0" || up == "ATE") {
    echo_ = false;
    return line(t, "OK");
  }
  if (up == "ATE1") {
    echo_ = true;
    return line(t, "OK");
  }
  if (up == "ATI" || up == "ATI0") {
    line(t, "MVO GSM modem simulator");
    return line(t, "OK");
  }
  if (!starts(up, "AT+")) return line(t, "ERROR");

  std::vector<std::string> info;
  final_ = "OK";
  delay_ = 0;
  for (const std::string& part : split_commands(cmd.substr(2))) {
    if (!extended(part, now, info)) break;
    if (entering_) return;
  }
  for (const std::string& i : info) emit(t + delay_, i);
  line(t + delay_, final_);
}

bool ModemModel::extended(const std::string& part, std::int64_t now,
                          std::vector<std::string>& info) {
  const std::string up = upper(part);
  auto error = [&](std::string result = "ERROR") {
    final_ = std::move(result);
    info.clear();
    return false;
  };
  auto say = [&](const std::string& text) { info.push_back("\r\n" + text + "\r\n"); };
  auto value = [&](std::size_t prefix) { return part.size() > prefix ? part.substr(prefix) : ""; };
  auto count_used = [&]() { return std::to_string(store(now).size()); };
  const std::string cap = std::to_string(opt_.capacity);

  if (starts(up, "+CREG=")) return true;
  if (up == "+CREG?") return say("+CREG: 0,1"), true;
  if (up == "+COPS=0") return delay_ += opt_.cops_delay_ms, true;
  if (starts(up, "+COPS=?"))
    return say("+COPS: (2,\"" + opt_.operator_name + "\",\"MVO\",\"00101\"),,(0-4),(0-2)"), true;
  if (starts(up, "+COPS=")) {
    const std::size_t comma = up.find(',');
    if (comma != std::string::npos) cops_format_ = to_int(up.substr(comma + 1), 0);
    return true;
  }
  if (up == "+COPS?") {
    if (cops_format_ == 2) return say("+COPS: 0,2,\"00101\""), true;
    return say("+COPS: 0," + std::to_string(cops_format_) + ",\"" + opt_.operator_name + "\""),
           true;
  }
  if (up == "+CMGF=1") return text_mode_ = true, true;
  if (up == "+CMGF=0") return opt_.text_only ? error() : (text_mode_ = false, true);
  if (up == "+CMGF?") return say(std::string("+CMGF: ") + (text_mode_ ? "1" : "0")), true;
  if (up == "+CMGF=?") return say(opt_.text_only ? "+CMGF: (1)" : "+CMGF: (0,1)"), true;
  if (up == "+CSCS?") return say("+CSCS: \"" + charset_ + "\""), true;
  if (up == "+CSCS=?") return say("+CSCS: (\"GSM\",\"IRA\")"), true;
  if (starts(up, "+CSCS=")) return charset_ = unquote(value(6)), true;
  if (starts(up, "+CNMI=?")) return say("+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)"), true;
  if (starts(up, "+CNMI=")) return true;
  if (up == "+CNMI?") return say("+CNMI: 0,0,0,0,1"), true;
  if (up == "+CPMS=?")
    return say("+CPMS: (\"MT\",\"SM\",\"ME\"),(\"MT\",\"SM\",\"ME\"),(\"MT\",\"SM\",\"ME\")"), true;
  if (up == "+CPMS?") {
    const std::string u = count_used();
    return say("+CPMS: \"MT\"," + u + "," + cap + ",\"MT\"," + u + "," + cap + ",\"MT\"," + u +
               "," + cap),
           true;
  }
  if (starts(up, "+CPMS=")) {
    const std::string u = count_used();
    return say("+CPMS: " + u + "," + cap + "," + u + "," + cap + "," + u + "," + cap), true;
  }
  if (starts(up, "+CMGL")) {
    if (!text_mode_) return error("+CMS ERROR: 302");
    std::string want = up.size() > 6 ? unquote(up.substr(6)) : "REC UNREAD";
    for (SmsEntry& e : store_) {
      const char* stat = e.read ? "REC READ" : "REC UNREAD";
      if (want != "ALL" && want != stat) continue;
      // With AT+CSDH=1 the header shows the type of address and the length as well.
      const std::string more = csdh_ ? ",145," + std::to_string(e.text.size()) : "";
      info.push_back("\r\n+CMGL: " + std::to_string(e.index) + ",\"" + stat + "\",\"" + e.sender +
                     "\",,\"" + e.stamp + "\"" + more + "\r\n" + e.text + "\r\n");
      e.read = true;
    }
    return true;
  }
  if (starts(up, "+CMGR=")) {
    if (!text_mode_) return error("+CMS ERROR: 302");
    SmsEntry* e = slot(to_int(value(6), -1));
    if (e == nullptr) {
      if (opt_.empty_slot_cms_error) return error("+CMS ERROR: 321");
      return say("+CMGR: 0,,0"), true;
    }
    const char* stat = e->read ? "REC READ" : "REC UNREAD";
    const std::string more =
        csdh_ ? ",145,4,0,0,\"+99900000000\",145," + std::to_string(e->text.size()) : "";
    info.push_back("\r\n+CMGR: \"" + std::string(stat) + "\",\"" + e->sender + "\",,\"" + e->stamp +
                   "\"" + more + "\r\n" + e->text + "\r\n");
    e->read = true;
    return true;
  }
  if (starts(up, "+CMGD=")) {
    const std::string args = value(6);
    const std::size_t comma = args.find(',');
    const int flag = comma == std::string::npos ? 0 : to_int(args.substr(comma + 1), 0);
    if (flag >= 1) {
      store_.clear();
      return true;
    }
    const int index = to_int(args, -1);
    store_.erase(std::remove_if(store_.begin(), store_.end(),
                                [&](const SmsEntry& e) { return e.index == index; }),
                 store_.end());
    return true;
  }
  if (starts(up, "+CMGS=")) {
    if (!text_mode_) return error("+CMS ERROR: 302");
    std::string number = value(6);
    const std::size_t comma =
        number.find(',', number.rfind('"') == std::string::npos ? 0 : number.rfind('"'));
    if (comma != std::string::npos) number = number.substr(0, comma);
    entry_number_ = unquote(number);
    entry_text_.clear();
    entering_ = true;
    emit(now + opt_.latency_ms, "\r\n> ");
    return true;
  }
  if (starts(up, "+CFUN=")) return true;
  if (up == "+CFUN?") return say("+CFUN: 1"), true;
  if (up == "+CGMI" || up == "+GMI") return say("MVO"), true;
  if (up == "+CGMM" || up == "+GMM") return say("MVO GSM Simulator"), true;
  if (up == "+CGMR" || up == "+GMR") return say("1.0"), true;
  if (up == "+CGSN" || up == "+GSN") return say("351234567890123"), true;
  if (up == "+CIMI") return say("001010123456789"), true;
  if (up == "+CPIN?") return say("+CPIN: READY"), true;
  if (up == "+CSQ") return say("+CSQ: 20,99"), true;
  if (up == "+CPAS") return say("+CPAS: 0"), true;
  if (up == "+CSCA?") return say("+CSCA: \"+99900000000\",145"), true;
  if (up == "+CSDH=1" || up == "+CSDH=0" || up == "+CSDH") return csdh_ = up == "+CSDH=1", true;
  if (up == "+CSDH?") return say(std::string("+CSDH: ") + (csdh_ ? "1" : "0")), true;
  if (starts(up, "+CMEE") || starts(up, "+CSDH") || starts(up, "+CSMP") || starts(up, "+CSCA=") ||
      starts(up, "+CSMS")) {
    if (up.back() == '?') return say(up.substr(0, up.size() - 1) + ": 0"), true;
    return true;
  }
  return error();
}

void ModemModel::submit(std::int64_t now) {
  entering_ = false;
  const std::int64_t t = now + opt_.latency_ms + opt_.cmgs_delay_ms;
  if (const FaultRule* f = fault_for(entry_number_, true)) {
    switch (f->kind) {
      case FaultKind::kSendCmsError:
        return line(t, "+CMS ERROR: 500");
      case FaultKind::kSendOkOnly:
        return line(t, "OK");
      case FaultKind::kSendCmgsThenError:
        line(t, "+CMGS: " + std::to_string(next_mr_++));
        return line(t, "ERROR");
      case FaultKind::kSendSilent:
        return;
      default:
        break;
    }
  }
  Submitted sent{now, entry_number_, entry_text_ + '\x1a'};
  if (opt_.keep_history) outbox_.push_back(sent);
  if (on_submit) on_submit(sent);
  line(t, "+CMGS: " + std::to_string(next_mr_++));
  line(t, "OK");
}

}  // namespace mvo::sim
