#include "sim/core/scenario.h"

#include <cctype>
#include <sstream>

namespace mvo::sim {

namespace {

// More slots than any SIM or phone has: a typing error, not a modem.
constexpr std::int64_t kMaxCapacity = 1000;

bool to_number(const std::string& s, std::int64_t& out) {
  try {
    std::size_t used = 0;
    out = std::stoll(s, &used);
    return used == s.size();
  } catch (...) {
    return false;
  }
}

std::string rest_of(std::istringstream& in) {
  std::string rest;
  std::getline(in >> std::ws, rest);
  return rest;
}

// Reads the optional "count <n>" and "chance <p>" behind a fault.
bool options(std::istringstream& in, FaultRule& rule) {
  std::string word;
  while (in >> word) {
    std::string value;
    if (!(in >> value)) return false;
    try {
      if (word == "count") {
        rule.count = std::stoi(value);
      } else if (word == "chance") {
        rule.chance = std::stod(value);
      } else {
        return false;
      }
    } catch (...) {
      return false;
    }
  }
  return true;
}

bool fault(std::istringstream& in, FaultRule& rule) {
  std::string kind;
  if (!(in >> rule.match >> kind)) return false;
  for (char& c : rule.match) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string arg;
  if (kind == "error") {
    rule.kind = FaultKind::kError;
  } else if (kind == "cms") {
    rule.kind = FaultKind::kCmsError;
    std::int64_t code = 0;
    if (!(in >> arg) || !to_number(arg, code)) return false;
    rule.code = static_cast<int>(code);
  } else if (kind == "reply") {
    rule.kind = FaultKind::kReply;
    if (!(in >> rule.text)) return false;
  } else if (kind == "silent") {
    rule.kind = FaultKind::kSilent;
  } else if (kind == "slow" || kind == "drop") {
    rule.kind = kind == "slow" ? FaultKind::kSlow : FaultKind::kDropLine;
    if (!(in >> arg) || !to_number(arg, rule.delay_ms)) return false;
  } else if (kind == "garbage") {
    rule.kind = FaultKind::kGarbage;
  } else if (kind == "longline") {
    rule.kind = FaultKind::kLongLine;
  } else {
    return false;
  }
  return options(in, rule);
}

bool send_fault(std::istringstream& in, FaultRule& rule) {
  std::string kind;
  if (!(in >> rule.match >> kind)) return false;
  if (kind == "cms500") {
    rule.kind = FaultKind::kSendCmsError;
  } else if (kind == "ok-only") {
    rule.kind = FaultKind::kSendOkOnly;
  } else if (kind == "cmgs-error") {
    rule.kind = FaultKind::kSendCmgsThenError;
  } else if (kind == "silent") {
    rule.kind = FaultKind::kSendSilent;
  } else if (kind == "slow") {
    rule.kind = FaultKind::kSendSlow;
    std::string arg;
    if (!(in >> arg) || !to_number(arg, rule.delay_ms) || rule.delay_ms < 0) return false;
  } else if (kind == "reply") {
    rule.kind = FaultKind::kSendReply;
    if (!(in >> rule.text)) return false;
  } else {
    return false;
  }
  return options(in, rule);
}

}  // namespace

bool parse_scenario(const std::string& text, Scenario& s, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t hash = line.find('#');
    const std::string body = line.substr(0, hash);
    std::istringstream in(body);
    std::string key;
    if (!(in >> key)) continue;
    bool ok = true;
    std::int64_t a = 0;
    std::int64_t b = 0;
    std::string word;
    std::string w2;
    if (key == "operator") {
      s.options.operator_name = rest_of(in);
    } else if (key == "latency" || key == "cops-delay" || key == "cmgs-delay" || key == "seed" ||
               key == "end") {
      ok = static_cast<bool>(in >> word) && to_number(word, a) && a >= 0;
      if (key == "latency") s.options.latency_ms = a;
      if (key == "cops-delay") s.options.cops_delay_ms = a;
      if (key == "cmgs-delay") s.options.cmgs_delay_ms = a;
      if (key == "seed") s.options.seed = static_cast<std::uint32_t>(a);
      if (key == "end") s.end_at = a;
    } else if (key == "events") {
      // events refuse | events drop <share>
      double share = 0;
      ok = static_cast<bool>(in >> word) &&
           (word == "refuse" ||
            (word == "drop" && static_cast<bool>(in >> share) && share >= 0 && share <= 1));
      if (word == "refuse") s.options.refuse_events = true;
      if (word == "drop") s.options.events_dropped = share;
    } else if (key == "empty-slot") {
      ok = static_cast<bool>(in >> word) && (word == "cms" || word == "cmgr");
      s.options.empty_slot_cms_error = word == "cms";
    } else if (key == "capacity") {
      ok = static_cast<bool>(in >> word) && (word == "SM" || word == "ME") && (in >> w2) &&
           to_number(w2, a) && a >= 0 && a <= kMaxCapacity;
      (word == "SM" ? s.options.sm_capacity : s.options.me_capacity) = static_cast<int>(a);
    } else if (key == "store" || key == "deliver") {
      ScenarioMessage m;
      if (key == "deliver") ok = static_cast<bool>(in >> word) && to_number(word, m.at);
      ok = ok && static_cast<bool>(in >> m.sender);
      if (m.sender == "SM" || m.sender == "ME" || m.sender == "MT") {
        m.memory = memory_named(m.sender);
        ok = ok && static_cast<bool>(in >> m.sender);
      }
      m.text = rest_of(in);
      s.messages.push_back(m);
    } else if (key == "fault" || key == "send-fault") {
      FaultRule rule;
      ok = key == "fault" ? fault(in, rule) : send_fault(in, rule);
      s.faults.push_back(rule);
    } else if (key == "unplug" || key == "power-cut") {
      ok = static_cast<bool>(in >> word >> w2) && to_number(word, a) && to_number(w2, b);
      (key == "unplug" ? s.unplugs : s.power_cuts).emplace_back(a, b);
    } else if (key == "sim-pin") {
      ok = static_cast<bool>(in >> s.options.sim_pin);
      if (ok && in >> word) {
        ok = word == "tries" && (in >> w2) && to_number(w2, a) && a >= 0 && a <= 10;
        s.options.sim_pin_tries = static_cast<int>(a);
      }
    } else if (key == "sim-ready") {
      ok = static_cast<bool>(in >> word) && to_number(word, a) && a >= 0;
      s.options.sim_ready_ms = a;
    } else if (key == "profile") {
      const Habits* profile = in >> word ? profile_named(word) : nullptr;
      ok = profile != nullptr;
      if (ok) use_profile(*profile, s.options);
    } else if (key == "no-sim") {
      s.options.sim_present = false;
    } else {
      ok = false;
    }
    if (!ok) {
      error = "scenario line " + std::to_string(number) + ": cannot read \"" + line + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace mvo::sim
