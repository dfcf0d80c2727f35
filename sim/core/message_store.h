#pragma once
// A GSM modem's message memories as a TS 27.005 modem keeps them: "SM" (the SIM) and "ME" (the
// phone) each have their own slots numbered from 1, and "MT" is the sum of both, the SIM's slots
// first (1..SM capacity), then the phone's (SM capacity + 1 ..), as a Siemens TC35i numbers them.
// A message stored into "MT" fills the SIM first and the phone when the SIM is full.
#include <optional>
#include <string>
#include <vector>

namespace mvo::sim {

enum class Memory { kSM, kME, kMT };

// "SM", "ME", "MT" (any case) -> the memory; nothing for any other name.
std::optional<Memory> memory_named(const std::string& name);
const char* memory_name(Memory memory);

struct SmsEntry {
  Memory memory = Memory::kSM;  // kSM or kME: where the message physically is
  int index = 0;                // its slot in that memory, from 1
  std::string sender;
  std::string stamp;  // yy/MM/dd,hh:mm:ss+zz
  std::string text;
  bool read = false;
};

class MessageStore {
 public:
  MessageStore(int sm_capacity, int me_capacity);

  int capacity(Memory memory) const;
  int used(Memory memory) const;
  // Puts the message into the lowest free slot of `memory`; false when it is full.
  bool put(Memory memory, SmsEntry entry);
  // The messages of `memory` in the order of their indices as `memory` numbers them.
  std::vector<SmsEntry*> list(Memory memory);
  // The index of `entry` as `memory` numbers it.
  int index_in(Memory memory, const SmsEntry& entry) const;
  // Whether `index` names a slot of `memory` at all (1 .. capacity).
  bool in_range(Memory memory, int index) const;
  // The message in slot `index` of `memory`, or nullptr for an empty or unknown slot.
  SmsEntry* at(Memory memory, int index);
  void erase(Memory memory, int index);
  // Deletes the read messages of `memory`, or all of them.
  void erase_all(Memory memory, bool read_only);
  // Every stored message, SIM first, each memory in index order.
  const std::vector<SmsEntry>& all() const { return entries_; }

 private:
  // The physical memory and slot behind `index` of `memory`; false when out of range.
  bool locate(Memory memory, int index, Memory& physical, int& slot) const;
  static bool within(Memory memory, Memory physical) {
    return memory == Memory::kMT || memory == physical;
  }

  int sm_capacity_;
  int me_capacity_;
  std::vector<SmsEntry> entries_;
};

}  // namespace mvo::sim
