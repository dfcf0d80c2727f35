#include "sim/core/modem_model.h"

#include <algorithm>
#include <cctype>
#include <iterator>
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

ModemModel::ModemModel(ModemOptions options)
    : opt_(std::move(options)), rng_(opt_.seed), store_(opt_.sm_capacity, opt_.me_capacity) {
  pin_tries_ = opt_.sim_pin_tries;
  power_up();
  // A modem of a family with habits has just been switched on, together with its client.
  if (!opt_.habits.name.empty()) boot(0);
}

void use_profile(const Habits& profile, ModemOptions& options) {
  options.habits = profile;
  options.sm_capacity = profile.sm_capacity;
  options.me_capacity = profile.me_capacity;
}

void ModemModel::power_up() {
  echo_ = true;
  text_mode_ = false;
  charset_ = "IRA";
  cops_format_ = 0;
  csdh_ = false;
  entering_ = false;
  announce_ = false;
  sim_busy_until_ = 0;
  if (!opt_.sim_present) {
    sim_ = SimState::kAbsent;
  } else if (opt_.sim_pin.empty()) {
    sim_ = SimState::kReady;
  } else {
    sim_ = pin_tries_ > 0 ? SimState::kPin : SimState::kPuk;
  }
}

SimState ModemModel::sim_state(std::int64_t now) {
  settle(now);
  return sim_;
}

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

void ModemModel::unplug(std::int64_t at, std::int64_t duration_ms, bool power_loss) {
  drops_.emplace_back(at, duration_ms > 0 ? at + duration_ms : kNever);
  if (power_loss) power_cuts_.push_back(at);
}

void ModemModel::replug(std::int64_t now) {
  for (auto& drop : drops_) {
    if (drop.second == kNever && drop.first <= now) drop.second = now;
  }
}

void ModemModel::deliver(std::string sender, std::string stamp, std::string text, std::int64_t at,
                         std::optional<Memory> memory) {
  SmsEntry entry;
  entry.sender = std::move(sender);
  entry.stamp = std::move(stamp);
  entry.text = std::move(text);
  pending_.push_back({at, std::move(entry), memory});
}

void ModemModel::settle(std::int64_t now) {
  // Nothing reaches a modem without power, so its power-up may as well happen when it is seen.
  for (std::int64_t at : power_cuts_) {
    if (at <= now) boot_cut_ = std::max(boot_cut_, at);
  }
  const auto cut = std::remove_if(power_cuts_.begin(), power_cuts_.end(),
                                  [&](std::int64_t at) { return at <= now; });
  if (cut != power_cuts_.end()) {
    power_cuts_.erase(cut, power_cuts_.end());
    power_up();
  }
  if (boot_cut_ >= 0) {
    // The boot lines follow the power's return, known once the drop has an end.
    for (const auto& [from, to] : drops_) {
      if (from == boot_cut_ && to != kNever) {
        boot(to);
        boot_cut_ = -1;
        break;
      }
    }
  }
  if (!line_up(now)) {
    // A modem without power keeps nothing it was about to say, nor a half-typed command.
    out_.clear();
    cmd_.clear();
    entering_ = false;
  }
  release_unsolicited(now);
  // The store has stood still since the last settle, so a message that finds room now found it
  // at its own time or, when it was waiting for a slot, at the last settle (the command that
  // freed one), however late the store is looked at again.
  const std::int64_t since = std::min(settled_, now);
  settled_ = std::max(settled_, now);
  for (auto it = pending_.begin(); it != pending_.end();) {
    const Memory memory = it->memory.value_or(receive_memory_);
    if (it->at <= now && store_.used(memory) < store_.capacity(memory)) {
      const std::int64_t stored_at = std::max(it->at, since);
      if (it->entry.stamp.empty() && stamp_at) it->entry.stamp = stamp_at(stored_at);
      const int index = free_index(memory);
      store_.put(memory, std::move(it->entry));
      const bool dropped = opt_.events_dropped > 0 &&
                           std::uniform_real_distribution<double>(0, 1)(rng_) < opt_.events_dropped;
      if (announce_ && !dropped && line_up(stored_at)) {
        unsolicited(stored_at,
                    "+CMTI: \"" + std::string(memory_name(memory)) + "\"," + std::to_string(index));
      }
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
}

const std::vector<SmsEntry>& ModemModel::store(std::int64_t now) {
  settle(now);
  return store_.all();
}

int ModemModel::free_index(Memory memory) {
  for (int i = 1; store_.in_range(memory, i); ++i) {
    if (store_.at(memory, i) == nullptr) return i;
  }
  return 0;
}

void ModemModel::emit(std::int64_t at, std::string bytes) {
  at = std::max(at, last_out_);
  last_out_ = at;
  out_.push_back({at, std::move(bytes)});
}

std::int64_t ModemModel::next_output_time(std::int64_t now) {
  settle(now);
  std::int64_t next = std::min(out_.empty() ? kNever : out_.front().at, next_unsolicited());
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
      // Ctrl-Z submits the text; ESC leaves the entry without sending.
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
        f.rule.kind == FaultKind::kSendCmgsThenError || f.rule.kind == FaultKind::kSendSilent ||
        f.rule.kind == FaultKind::kSendSlow || f.rule.kind == FaultKind::kSendReply;
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
  if (faulted(up, t) || basic(up, t) || vendor(up, t)) return;
  if (!starts(up, "AT+")) return line(t, "ERROR");

  Reply reply;
  for (const std::string& part : split_commands(cmd.substr(2))) {
    const Command c{part, upper(part), now, t};
    if (sim_blocks(c, reply) || !extended(c, reply)) break;
    if (entering_) return;
  }
  for (const std::string& i : reply.info) emit(t + reply.delay, i);
  line(t + reply.delay, reply.final);
}

bool ModemModel::faulted(const std::string& up, std::int64_t& t) {
  const FaultRule* f = fault_for(up, false);
  if (f == nullptr) return false;
  switch (f->kind) {
    case FaultKind::kError:
      line(t, "ERROR");
      return true;
    case FaultKind::kCmsError:
      line(t, "+CMS ERROR: " + std::to_string(f->code));
      return true;
    case FaultKind::kReply: {
      std::size_t start = 0;
      for (;;) {
        const std::size_t bar = f->text.find('|', start);
        line(t, f->text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) return true;
        start = bar + 1;
      }
    }
    case FaultKind::kSilent:
      return true;
    case FaultKind::kSlow:
      t += f->delay_ms;
      return false;
    case FaultKind::kGarbage: {
      std::string junk;
      std::uniform_int_distribution<int> byte(33, 126);
      for (int i = 0; i < 24; ++i) junk += static_cast<char>(byte(rng_));
      emit(t, junk);
      return true;
    }
    case FaultKind::kLongLine:
      emit(t, std::string(300, 'X'));
      return true;
    case FaultKind::kDropLine:
      unplug(t, f->delay_ms);
      return true;
    default:
      return false;
  }
}

bool ModemModel::basic(const std::string& up, std::int64_t t) {
  if (up == "AT") {
  } else if (starts(up, "ATZ")) {
    // The profile comes back; the memory selection is kept in non-volatile memory.
    echo_ = true;
    text_mode_ = false;
    csdh_ = false;
    charset_ = "IRA";
  } else if (up == "ATE0" || up == "ATE") {
    echo_ = false;
  } else if (up == "ATE1") {
    echo_ = true;
  } else if (up == "ATI" || up == "ATI0") {
    line(t, "MVO GSM modem simulator");
  } else {
    return false;
  }
  line(t, "OK");
  return true;
}

bool ModemModel::extended(const Command& c, Reply& reply) {
  for (auto family :
       {&ModemModel::family, &ModemModel::sim, &ModemModel::network, &ModemModel::settings,
        &ModemModel::storage, &ModemModel::sending, &ModemModel::identity}) {
    const Step step = (this->*family)(c, reply);
    if (step != Step::kUnknown) return step == Step::kDone;
  }
  reply.fail();
  return false;
}
ModemModel::Step ModemModel::network(const Command& c, Reply& r) {
  const std::string& up = c.up;
  if (starts(up, "+CREG=")) return Step::kDone;
  if (up == "+CREG?") return r.say("+CREG: 0,1");
  if (up == "+COPS=0") {
    r.delay += opt_.cops_delay_ms;
    return Step::kDone;
  }
  if (starts(up, "+COPS=?"))
    return r.say("+COPS: (2,\"" + opt_.operator_name + "\",\"MVO\",\"00101\"),,(0-4),(0-2)");
  if (starts(up, "+COPS=")) {
    const std::size_t comma = up.find(',');
    if (comma != std::string::npos) cops_format_ = to_int(up.substr(comma + 1), 0);
    return Step::kDone;
  }
  if (up == "+COPS?") {
    if (cops_format_ == 2) return r.say("+COPS: 0,2,\"00101\"");
    return r.say("+COPS: 0," + std::to_string(cops_format_) + ",\"" + opt_.operator_name + "\"");
  }
  if (up == "+CSQ") return r.say("+CSQ: 20,99");
  return Step::kUnknown;
}

// Message format, character set, indications and the other settings a client makes once.
ModemModel::Step ModemModel::settings(const Command& c, Reply& r) {
  const std::string& up = c.up;
  if (up == "+CMGF=1") {
    text_mode_ = true;
    return Step::kDone;
  }
  if (up == "+CMGF=0") {
    if (opt_.text_only) return r.fail();
    text_mode_ = false;
    return Step::kDone;
  }
  if (up == "+CMGF?") return r.say(std::string("+CMGF: ") + (text_mode_ ? "1" : "0"));
  if (up == "+CMGF=?") return r.say(opt_.text_only ? "+CMGF: (1)" : "+CMGF: (0,1)");
  if (up == "+CSCS?") return r.say("+CSCS: \"" + charset_ + "\"");
  if (up == "+CSCS=?") return r.say("+CSCS: (\"GSM\",\"IRA\")");
  if (starts(up, "+CSCS=")) {
    charset_ = unquote(c.value(6));
    return Step::kDone;
  }
  if (starts(up, "+CNMI=?")) return r.say("+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)");
  if (starts(up, "+CNMI=")) {
    const bool events = starts(up, "+CNMI=2,1");
    if (events && opt_.refuse_events) return r.fail("ERROR");
    announce_ = events;
    return Step::kDone;
  }
  if (up == "+CNMI?") return r.say("+CNMI: 0,0,0,0,1");
  if (up == "+CSDH=1" || up == "+CSDH=0" || up == "+CSDH") {
    csdh_ = up == "+CSDH=1";
    return Step::kDone;
  }
  if (up == "+CSDH?") return r.say(std::string("+CSDH: ") + (csdh_ ? "1" : "0"));
  if (up == "+CSCA?") return r.say("+CSCA: \"+99900000000\",145");
  if (starts(up, "+CMEE") || starts(up, "+CSDH") || starts(up, "+CSMP") || starts(up, "+CSCA=") ||
      starts(up, "+CSMS")) {
    if (up.back() == '?') return r.say(up.substr(0, up.size() - 1) + ": 0");
    return Step::kDone;
  }
  return Step::kUnknown;
}

ModemModel::Step ModemModel::storage(const Command& c, Reply& r) {
  const std::string& up = c.up;
  if (up == "+CPMS=?") {
    return r.say("+CPMS: (\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\")");
  }
  if (up == "+CPMS?") {
    std::string text = "+CPMS: ";
    const Memory memories[] = {read_memory_, write_memory_, receive_memory_};
    for (int i = 0; i < 3; ++i) {
      text += std::string(i > 0 ? "," : "") + "\"" + memory_name(memories[i]) + "\"," +
              std::to_string(store_.used(memories[i])) + "," +
              std::to_string(store_.capacity(memories[i]));
    }
    return r.say(text);
  }
  if (starts(up, "+CPMS=")) return select_memories(c, r);
  if (starts(up, "+CMGL")) return list_messages(c, r);
  if (starts(up, "+CMGR=")) return read_message(c, r);
  if (starts(up, "+CMGD=")) return delete_messages(c, r);
  return Step::kUnknown;
}

// AT+CPMS=<mem1>[,<mem2>[,<mem3>]] -> +CPMS: <used1>,<total1>,<used2>,<total2>,<used3>,<total3>
ModemModel::Step ModemModel::select_memories(const Command& c, Reply& r) {
  Memory* slots[] = {&read_memory_, &write_memory_, &receive_memory_};
  Memory chosen[] = {read_memory_, write_memory_, receive_memory_};
  const std::string args = c.value(6);
  std::size_t start = 0;
  for (int i = 0;; ++i) {
    const std::size_t comma = args.find(',', start);
    std::string name =
        unquote(args.substr(start, comma == std::string::npos ? comma : comma - start));
    name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
    const std::optional<Memory> m = memory_named(name);
    if (i >= 3 || !m) return r.fail("+CMS ERROR: 302");
    chosen[i] = *m;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::string text = "+CPMS: ";
  for (int i = 0; i < 3; ++i) {
    *slots[i] = chosen[i];
    if (i > 0) text += ",";
    text +=
        std::to_string(store_.used(chosen[i])) + "," + std::to_string(store_.capacity(chosen[i]));
  }
  return r.say(text);
}

// AT+CMGL[=<stat>] -> per message of <mem1>: +CMGL: <index>,<stat>,<oa>,,<scts>[,<tooa>,<length>]
// and its text line.
ModemModel::Step ModemModel::list_messages(const Command& c, Reply& r) {
  if (!text_mode_) return r.fail("+CMS ERROR: 302");
  const std::string want = c.up.size() > 6 ? unquote(c.up.substr(6)) : "REC UNREAD";
  for (SmsEntry* e : store_.list(read_memory_)) {
    const char* stat = e->read ? "REC READ" : "REC UNREAD";
    if (want != "ALL" && want != stat) continue;
    // With AT+CSDH=1 the header shows the type of address and the length as well.
    const std::string more = csdh_ ? ",145," + std::to_string(e->text.size()) : "";
    r.info.push_back("\r\n+CMGL: " + std::to_string(store_.index_in(read_memory_, *e)) + ",\"" +
                     stat + "\",\"" + e->sender + "\"" + alpha() + "\"" + e->stamp + "\"" + more +
                     "\r\n" + e->text + "\r\n");
    e->read = true;
  }
  return Step::kDone;
}

// AT+CMGR=<index> -> +CMGR: <stat>,<oa>,,<scts>[,<tooa>,<fo>,<pid>,<dcs>,<sca>,<tosca>,<length>]
// and the text line; an empty slot of <mem1> as "+CMGR: 0,,0" (Siemens) or +CMS ERROR: 321, a
// slot the memory does not have as +CMS ERROR: 321.
ModemModel::Step ModemModel::read_message(const Command& c, Reply& r) {
  if (!text_mode_) return r.fail("+CMS ERROR: 302");
  const int index = to_int(c.value(6), -1);
  if (!store_.in_range(read_memory_, index)) return r.fail("+CMS ERROR: 321");
  SmsEntry* e = store_.at(read_memory_, index);
  if (e == nullptr) {
    if (opt_.empty_slot_cms_error) return r.fail("+CMS ERROR: 321");
    return r.say("+CMGR: 0,,0");
  }
  const char* stat = e->read ? "REC READ" : "REC UNREAD";
  const std::string more =
      csdh_ ? ",145,4,0,0,\"+99900000000\",145," + std::to_string(e->text.size()) : "";
  r.info.push_back("\r\n+CMGR: \"" + std::string(stat) + "\",\"" + e->sender + "\"" + alpha() +
                   "\"" + e->stamp + "\"" + more + "\r\n" + e->text + "\r\n");
  e->read = true;
  return Step::kDone;
}

// AT+CMGD=<index>[,<delflag>]: delflag 1 to 3 deletes the read messages of <mem1> (it holds no
// sent or unsent ones), 4 all of them; an empty slot deletes as "OK".
ModemModel::Step ModemModel::delete_messages(const Command& c, Reply& r) {
  const std::string args = c.value(6);
  const std::size_t comma = args.find(',');
  const int flag = comma == std::string::npos ? 0 : to_int(args.substr(comma + 1), -1);
  if (flag < 0 || flag > 4) return r.fail("+CMS ERROR: 302");
  if (flag >= 1) {
    store_.erase_all(read_memory_, flag < 4);
    return Step::kDone;
  }
  const int index = to_int(args, -1);
  if (!store_.in_range(read_memory_, index)) return r.fail("+CMS ERROR: 321");
  store_.erase(read_memory_, index);
  return Step::kDone;
}

ModemModel::Step ModemModel::sending(const Command& c, Reply& r) {
  if (!starts(c.up, "+CMGS=")) return Step::kUnknown;
  if (!text_mode_) return r.fail("+CMS ERROR: 302");
  std::string number = c.value(6);
  const std::size_t comma =
      number.find(',', number.rfind('"') == std::string::npos ? 0 : number.rfind('"'));
  if (comma != std::string::npos) number = number.substr(0, comma);
  entry_number_ = unquote(number);
  entry_text_.clear();
  entering_ = true;
  emit(c.at, "\r\n> ");
  return Step::kDone;
}

ModemModel::Step ModemModel::identity(const Command& c, Reply& r) {
  const std::string& up = c.up;
  if (starts(up, "+CFUN=")) return Step::kDone;
  if (up == "+CFUN?") return r.say("+CFUN: 1");
  if (up == "+CGMI" || up == "+GMI") return r.say("MVO");
  if (up == "+CGMM" || up == "+GMM") return r.say("MVO GSM Simulator");
  if (up == "+CGMR" || up == "+GMR") return r.say("1.0");
  if (up == "+CGSN" || up == "+GSN") return r.say("351234567890123");
  if (up == "+CIMI") return r.say("001010123456789");
  if (up == "+CPAS") return r.say("+CPAS: 0");
  return Step::kUnknown;
}

ModemModel::Step ModemModel::sim(const Command& c, Reply& r) {
  if (!starts(c.up, "+CPIN")) return Step::kUnknown;
  if (sim_ == SimState::kAbsent) return r.fail("+CME ERROR: 10");
  if (c.now < sim_busy_until_) return r.fail("+CME ERROR: 14");
  if (c.up == "+CPIN?") {
    switch (sim_) {
      case SimState::kPin:
        return r.say("+CPIN: SIM PIN");
      case SimState::kPuk:
        return r.say("+CPIN: SIM PUK");
      default:
        return r.say("+CPIN: READY");
    }
  }
  if (!starts(c.up, "+CPIN=")) return r.fail();
  if (sim_ == SimState::kPuk) return r.fail("+CME ERROR: 12");
  if (sim_ != SimState::kPin) return r.fail("+CME ERROR: 3");
  if (unquote(c.value(6)) != opt_.sim_pin) {
    if (--pin_tries_ <= 0) sim_ = SimState::kPuk;
    return r.fail("+CME ERROR: 16");
  }
  pin_tries_ = opt_.sim_pin_tries;
  sim_ = SimState::kReady;
  sim_busy_until_ = c.now + opt_.sim_ready_ms;
  return Step::kDone;
}

// The commands that need the SIM: the network, the message memories and the settings a modem
// keeps on it. While it is locked or busy they fail as TS 27.007 says (+CME ERROR: 10 not
// inserted, 11 PIN required, 12 PUK required, 14 busy).
bool ModemModel::sim_blocks(const Command& c, Reply& r) {
  static const char* const kNeedSim[] = {"+COPS", "+CPMS", "+CMGL", "+CMGR", "+CMGD", "+CMGS",
                                         "+CMGF", "+CNMI", "+CSCA", "+CIMI", "+CSMS"};
  if (std::none_of(std::begin(kNeedSim), std::end(kNeedSim),
                   [&](const char* p) { return starts(c.up, p); })) {
    return false;
  }
  switch (sim_) {
    case SimState::kAbsent:
      r.fail("+CME ERROR: 10");
      return true;
    case SimState::kPin:
      r.fail("+CME ERROR: 11");
      return true;
    case SimState::kPuk:
      r.fail("+CME ERROR: 12");
      return true;
    default:
      if (c.now >= sim_busy_until_) return false;
      r.fail("+CME ERROR: 14");
      return true;
  }
}

void ModemModel::submit(std::int64_t now) {
  entering_ = false;
  std::int64_t t = now + opt_.latency_ms + result_delay();
  const FaultRule* reply = nullptr;
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
      case FaultKind::kSendSlow:
        t += f->delay_ms;
        break;
      case FaultKind::kSendReply:
        reply = f;
        break;
      default:
        break;
    }
  }
  Submitted sent{now, entry_number_, entry_text_ + '\x1a'};
  if (opt_.keep_history) outbox_.push_back(sent);
  if (on_submit) on_submit(sent);
  if (reply != nullptr) {
    const std::string mr = std::to_string(next_mr_++);
    for (std::size_t start = 0;;) {
      const std::size_t bar = reply->text.find('|', start);
      std::string l = reply->text.substr(start, bar == std::string::npos ? bar : bar - start);
      for (std::size_t at; (at = l.find('#')) != std::string::npos;) l.replace(at, 1, mr);
      line(t, l);
      if (bar == std::string::npos) return;
      start = bar + 1;
    }
  }
  line(t, "+CMGS: " + std::to_string(next_mr_++));
  line(t, "OK");
}

// A power-up at `at`: the boot lines, the SIM's busy spell, the periodic lines from the start.
void ModemModel::boot(std::int64_t at) {
  const Habits& h = opt_.habits;
  for (const auto& [after, text] : h.boot_lines) scheduled_.emplace_back(at + after, text);
  if (h.busy_after_boot_ms > 0) sim_busy_until_ = at + h.busy_after_boot_ms;
  next_registration_ = h.registration_every_ms > 0 ? at + h.registration_every_ms : -1;
  next_status_ = h.status_every_ms > 0 ? at + h.status_every_ms : -1;
}

std::int64_t ModemModel::next_unsolicited() const {
  std::int64_t next = kNever;
  for (const auto& line : scheduled_) next = std::min(next, line.first);
  if (next_registration_ >= 0) next = std::min(next, next_registration_);
  if (next_status_ >= 0) next = std::min(next, next_status_);
  return next;
}

// Releases the lines due by `now` into the output, each at its own time; a line that falls while
// the line is down is never heard.
void ModemModel::release_unsolicited(std::int64_t now) {
  for (auto it = scheduled_.begin(); it != scheduled_.end();) {
    if (it->first > now) {
      ++it;
      continue;
    }
    if (line_up(it->first)) unsolicited(it->first, it->second);
    it = scheduled_.erase(it);
  }
  static const char* const kStatus[] = {"^RSSI: 17", "^HCSQ: \"LTE\",55,40,120,20", "^MODE: 5,4"};
  for (; next_status_ >= 0 && next_status_ <= now; next_status_ += opt_.habits.status_every_ms) {
    if (line_up(next_status_)) unsolicited(next_status_, kStatus[status_turn_++ % 3]);
  }
  for (; next_registration_ >= 0 && next_registration_ <= now;
       next_registration_ += opt_.habits.registration_every_ms) {
    if (!line_up(next_registration_)) continue;
    unsolicited(next_registration_, "+CREG: 1");
    unsolicited(next_registration_, "+CGREG: 1");
  }
}

// A line of the modem's own accord, among the replies by its time: released only once due, it
// is never later than a reply still to come.
void ModemModel::unsolicited(std::int64_t at, const std::string& text) {
  auto it = std::find_if(out_.begin(), out_.end(), [&](const Out& o) { return o.at > at; });
  out_.insert(it, Out{at, "\r\n" + text + "\r\n"});
  last_out_ = std::max(last_out_, at);
}

// AT^CURC=<0|1>: the vendor status lines off or on, for a family that sends them.
bool ModemModel::vendor(const std::string& up, std::int64_t t) {
  if (opt_.habits.status_every_ms <= 0 || (up != "AT^CURC=0" && up != "AT^CURC=1")) return false;
  next_status_ = up == "AT^CURC=1" ? t + opt_.habits.status_every_ms : -1;
  line(t, "OK");
  return true;
}

// A family without "MT" refuses a selection that names it, and does not offer it.
ModemModel::Step ModemModel::family(const Command& c, Reply& r) {
  if (opt_.habits.has_mt || !starts(c.up, "+CPMS=")) return Step::kUnknown;
  if (c.up == "+CPMS=?") return r.say("+CPMS: (\"SM\",\"ME\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")");
  if (unquote(c.up).find("MT") != std::string::npos) return r.fail("+CMS ERROR: 302");
  return Step::kUnknown;
}

std::int64_t ModemModel::result_delay() {
  const Habits& h = opt_.habits;
  if (h.send_max_ms <= 0) return opt_.cmgs_delay_ms;
  return std::uniform_int_distribution<std::int64_t>(h.send_min_ms, h.send_max_ms)(rng_);
}

}  // namespace mvo::sim
