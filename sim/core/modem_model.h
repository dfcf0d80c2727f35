#pragma once
// A GSM modem in text mode, with no I/O of its own: bytes in at a time, bytes out scheduled at
// times. It answers the commands the gateway sends (and the identification and SMS commands
// common clients such as gammu use) framed as real modems frame them, keeps the SIM's and the
// phone's message memories (message_store.h) and an outbox, and injects faults by command
// prefix, by count or by seeded chance.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/core/message_store.h"
#include "sim/core/profile.h"
#include "sim/core/sim_port.h"

namespace mvo::sim {

enum class FaultKind {
  kError,     // "ERROR"
  kCmsError,  // "+CMS ERROR: <code>"
  kReply,     // the given text as the reply lines ('|' separates lines)
  kSilent,    // no reply at all
  kSlow,      // the normal reply, `delay_ms` later
  kGarbage,   // random bytes, no proper reply
  kLongLine,  // 300 bytes without a line end
  kDropLine,  // the line drops for `delay_ms` (0: until replug())
  // Results of a submission (matched against the destination number of AT+CMGS):
  kSendCmsError,       // "+CMS ERROR: 500"
  kSendOkOnly,         // "OK" alone
  kSendCmgsThenError,  // "+CMGS: <mr>" then "ERROR"
  kSendSilent,         // no result at all
  kSendSlow,           // accepted, its result `delay_ms` later than usual
  kSendReply           // accepted, its result the given lines ('|' separates; '#' is the reference)
};

struct FaultRule {
  std::string match;  // command prefix (upper case), or the number for the kSend* kinds
  FaultKind kind = FaultKind::kError;
  int count = -1;       // applies to the first `count` matches; -1: every match
  double chance = 1.0;  // and each time with this probability (seeded)
  int code = 500;
  std::string text;
  std::int64_t delay_ms = 0;
};

struct Submitted {
  std::int64_t at = 0;
  std::string number;
  std::string text;  // as received, the final byte 26 included
};

struct ModemOptions {
  std::int64_t latency_ms = 5;
  std::int64_t cops_delay_ms = 2000;  // "AT+COPS=0"
  std::int64_t cmgs_delay_ms = 100;   // submission result
  bool empty_slot_cms_error = false;  // empty slot: "+CMS ERROR: 321" instead of "+CMGR: 0,,0"
  bool text_only = true;              // "AT+CMGF=0" answered "ERROR"
  std::string operator_name = "MVO Telecom";
  int sm_capacity = 30;  // the SIM's slots
  int me_capacity = 25;  // the phone's slots
  std::uint32_t seed = 1;
  bool keep_history = true;  // keep the outbox and the command list (off for long soaks)
  // The SIM. Without a PIN (the default) it is ready at once and AT+CPIN? says so.
  std::string sim_pin;               // asked for at every power-up when set
  int sim_pin_tries = 3;             // wrong PINs left; at 0 the SIM wants its PUK
  std::int64_t sim_ready_ms = 3000;  // after the right PIN, busy ("+CME ERROR: 14") this long
  bool sim_present = true;           // false: "+CME ERROR: 10" (SIM not inserted)
  Habits habits;                     // a modem family's own ways (profile.h); none by default
  // New-message indications: after AT+CNMI=2,1,... each stored message is announced with
  // +CMTI: "<mem>",<index>, unless the modem refuses that command (ERROR) or drops a share of
  // the announcements.
  bool refuse_events = false;
  double events_dropped = 0.0;
};

// The options of `profile` on top of `options`: its habits and its store's slots.
void use_profile(const Habits& profile, ModemOptions& options);

// What the SIM asks for, as AT+CPIN? names it.
enum class SimState { kReady, kPin, kPuk, kAbsent };

class ModemModel final : public Peer {
 public:
  explicit ModemModel(ModemOptions options = {});

  // Peer
  void input(const char* data, std::size_t size, std::int64_t now) override;
  std::int64_t next_output_time(std::int64_t now) override;
  std::string take_output(std::int64_t now, std::size_t max) override;
  void purge(std::int64_t now) override;
  int line_generation(std::int64_t now) override;
  bool line_up(std::int64_t now) override;

  // Scenario
  void add_fault(FaultRule rule) { faults_.push_back({std::move(rule), 0}); }
  void clear_faults() { faults_.clear(); }
  // An incoming message, stored from `at` on (at once when `at` <= now) into `memory`, by default
  // the memory selected for received messages (the third of AT+CPMS; "SM" at power-up). While
  // that memory is full the message waits, as the network keeps it for a full modem. An empty
  // `stamp` is given by stamp_at when the message lands in the store, as a modem stamps it.
  void deliver(std::string sender, std::string stamp, std::string text, std::int64_t at = 0,
               std::optional<Memory> memory = std::nullopt);
  // The line drops at `at` for `duration_ms` (0: until replug()). With `power_loss` the modem
  // loses its power as well: it comes back with its power-up settings (echo on, PDU mode) and a
  // SIM that asks for its PIN again. A port closed and opened again is no power loss.
  void unplug(std::int64_t at, std::int64_t duration_ms, bool power_loss = false);
  void replug(std::int64_t now);

  // Every stored message, SIM first.
  const std::vector<SmsEntry>& store(std::int64_t now);
  const std::vector<Submitted>& outbox() const { return outbox_; }
  const std::vector<std::string>& commands() const { return commands_; }
  const std::vector<std::int64_t>& command_times() const { return command_times_; }
  // The SIM as it stands at `now`, and the wrong PINs it still takes before it wants its PUK.
  SimState sim_state(std::int64_t now);
  int sim_pin_tries() const { return pin_tries_; }
  // Called for each submission as it is accepted (the pty program appends it to a file).
  std::function<void(const Submitted&)> on_submit;
  // The stamp (yy/MM/dd,hh:mm:ss+zz) of a message delivered without one, from the model time at
  // which it landed in the store: its own time, or the command that freed a slot for it. Unset,
  // such a message keeps its empty stamp.
  std::function<std::string(std::int64_t at)> stamp_at;

 private:
  struct Out {
    std::int64_t at;
    std::string bytes;
  };
  struct ActiveFault {
    FaultRule rule;
    int used;
  };
  struct Pending {
    std::int64_t at;
    SmsEntry entry;
    std::optional<Memory> memory;
  };
  // One command of a command line ("+CMGR=1" of "AT+CMGF=1;+CMGR=1"), as typed and upper case;
  // `at` is when the line's reply is due (a slow fault moves it).
  struct Command {
    std::string text;
    std::string up;
    std::int64_t now;
    std::int64_t at;
    std::string value(std::size_t prefix) const {
      return text.size() > prefix ? text.substr(prefix) : "";
    }
  };
  enum class Step { kUnknown, kDone, kFailed };
  // What a command line answers: information text, then the final result.
  struct Reply {
    std::vector<std::string> info;
    std::string final = "OK";
    std::int64_t delay = 0;
    Step say(const std::string& text) {
      info.push_back("\r\n" + text + "\r\n");
      return Step::kDone;
    }
    // The line stops here: its information text goes, `result` is the final result.
    Step fail(std::string result = "ERROR") {
      final = std::move(result);
      info.clear();
      return Step::kFailed;
    }
  };

  void settle(std::int64_t now);
  void emit(std::int64_t at, std::string bytes);
  void line(std::int64_t at, const std::string& text) { emit(at, "\r\n" + text + "\r\n"); }
  // The first free slot of `memory` as it numbers its slots; 0 when full.
  int free_index(Memory memory);
  void command(const std::string& cmd, std::int64_t now);
  // Answers a command that a fault rule matches; false when the normal reply follows (`t` may
  // have moved).
  bool faulted(const std::string& up, std::int64_t& t);
  // AT, ATZ, ATE, ATI; false for any other command.
  bool basic(const std::string& up, std::int64_t t);
  // One "+" command; false when the line stops there with the final result in `reply`.
  bool extended(const Command& c, Reply& reply);
  // The command families of extended(): kUnknown for a command of another family.
  Step network(const Command& c, Reply& reply);
  Step settings(const Command& c, Reply& reply);
  Step storage(const Command& c, Reply& reply);
  Step select_memories(const Command& c, Reply& reply);
  Step list_messages(const Command& c, Reply& reply);
  Step read_message(const Command& c, Reply& reply);
  Step delete_messages(const Command& c, Reply& reply);
  Step sending(const Command& c, Reply& reply);
  Step identity(const Command& c, Reply& reply);
  // AT+CPIN? and AT+CPIN=<pin>; the SIM's refusal of the commands that need it unlocked.
  Step sim(const Command& c, Reply& reply);
  bool sim_blocks(const Command& c, Reply& reply);
  void power_up();
  // The family's habits (profile.h): lines of its own accord, kept in time order among the
  // replies; its commands; its delays.
  void boot(std::int64_t at);
  void release_unsolicited(std::int64_t now);
  std::int64_t next_unsolicited() const;
  void unsolicited(std::int64_t at, const std::string& text);
  bool vendor(const std::string& up, std::int64_t t);
  Step family(const Command& c, Reply& reply);
  std::string alpha() const { return opt_.habits.alpha_field ? ",\"\"," : ",,"; }
  std::int64_t result_delay();
  void submit(std::int64_t now);
  const FaultRule* fault_for(const std::string& key, bool send_kind);

  ModemOptions opt_;
  std::mt19937 rng_;
  bool echo_ = true;
  bool announce_ = false;  // AT+CNMI=2,1: stored messages are announced
  bool text_mode_ = false;
  std::string charset_ = "IRA";
  int cops_format_ = 0;
  bool csdh_ = false;
  std::string cmd_;
  bool entering_ = false;
  std::string entry_number_;
  std::string entry_text_;
  int next_mr_ = 1;
  std::deque<Out> out_;
  std::int64_t last_out_ = 0;
  MessageStore store_;
  // AT+CPMS: <mem1> lists, reads and deletes; <mem2> writes and sends; <mem3> receives.
  Memory read_memory_ = Memory::kSM;
  Memory write_memory_ = Memory::kSM;
  Memory receive_memory_ = Memory::kSM;
  std::vector<Pending> pending_;
  // The latest time the store was settled at: a waiting message cannot have landed before it.
  std::int64_t settled_ = 0;
  std::vector<Submitted> outbox_;
  std::vector<ActiveFault> faults_;
  std::vector<std::string> commands_;
  std::vector<std::int64_t> command_times_;
  // Line drops: [from, to) windows; to == INT64_MAX until replug().
  std::vector<std::pair<std::int64_t, std::int64_t>> drops_;
  // Power losses not yet undergone, by the time they begin.
  std::vector<std::int64_t> power_cuts_;
  SimState sim_ = SimState::kReady;
  int pin_tries_ = 3;
  std::int64_t sim_busy_until_ = 0;
  // The habits' lines: those to come once (boot lines), and the next of each periodic kind.
  std::vector<std::pair<std::int64_t, std::string>> scheduled_;
  std::int64_t boot_cut_ = -1;  // a power cut whose boot lines wait for the power to come back
  std::int64_t next_registration_ = -1;
  std::int64_t next_status_ = -1;
  int status_turn_ = 0;
};

}  // namespace mvo::sim
