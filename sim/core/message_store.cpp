#include "sim/core/message_store.h"

#include <algorithm>
#include <cctype>

namespace mvo::sim {

std::optional<Memory> memory_named(const std::string& name) {
  std::string up;
  for (char c : name) up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (up == "SM") return Memory::kSM;
  if (up == "ME") return Memory::kME;
  if (up == "MT") return Memory::kMT;
  return std::nullopt;
}

const char* memory_name(Memory memory) {
  switch (memory) {
    case Memory::kSM:
      return "SM";
    case Memory::kME:
      return "ME";
    default:
      return "MT";
  }
}

MessageStore::MessageStore(int sm_capacity, int me_capacity)
    : sm_capacity_(std::max(0, sm_capacity)), me_capacity_(std::max(0, me_capacity)) {}

int MessageStore::capacity(Memory memory) const {
  switch (memory) {
    case Memory::kSM:
      return sm_capacity_;
    case Memory::kME:
      return me_capacity_;
    default:
      return sm_capacity_ + me_capacity_;
  }
}

int MessageStore::used(Memory memory) const {
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(), [&](const SmsEntry& e) {
    return within(memory, e.memory);
  }));
}

bool MessageStore::put(Memory memory, SmsEntry entry) {
  if (memory == Memory::kMT) return put(Memory::kSM, entry) || put(Memory::kME, std::move(entry));
  int slot = 1;
  while (slot <= capacity(memory) && at(memory, slot) != nullptr) ++slot;
  if (slot > capacity(memory)) return false;
  entry.memory = memory;
  entry.index = slot;
  entries_.push_back(std::move(entry));
  // SIM before phone, each in slot order: the order of "MT" and of either memory alone.
  std::sort(entries_.begin(), entries_.end(), [](const SmsEntry& a, const SmsEntry& b) {
    return a.memory != b.memory ? a.memory == Memory::kSM : a.index < b.index;
  });
  return true;
}

std::vector<SmsEntry*> MessageStore::list(Memory memory) {
  std::vector<SmsEntry*> listed;
  for (SmsEntry& e : entries_) {
    if (within(memory, e.memory)) listed.push_back(&e);
  }
  return listed;
}

int MessageStore::index_in(Memory memory, const SmsEntry& entry) const {
  return memory == Memory::kMT && entry.memory == Memory::kME ? sm_capacity_ + entry.index
                                                              : entry.index;
}

bool MessageStore::locate(Memory memory, int index, Memory& physical, int& slot) const {
  if (index < 1 || index > capacity(memory)) return false;
  physical = memory;
  slot = index;
  if (memory == Memory::kMT) {
    physical = index <= sm_capacity_ ? Memory::kSM : Memory::kME;
    if (physical == Memory::kME) slot -= sm_capacity_;
  }
  return true;
}

bool MessageStore::in_range(Memory memory, int index) const {
  Memory physical;
  int slot = 0;
  return locate(memory, index, physical, slot);
}

SmsEntry* MessageStore::at(Memory memory, int index) {
  Memory physical;
  int slot = 0;
  if (!locate(memory, index, physical, slot)) return nullptr;
  for (SmsEntry& e : entries_) {
    if (e.memory == physical && e.index == slot) return &e;
  }
  return nullptr;
}

void MessageStore::erase(Memory memory, int index) {
  const SmsEntry* gone = at(memory, index);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const SmsEntry& e) { return &e == gone; }),
                 entries_.end());
}

void MessageStore::erase_all(Memory memory, bool read_only) {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const SmsEntry& e) {
                                  return within(memory, e.memory) && (e.read || !read_only);
                                }),
                 entries_.end());
}

}  // namespace mvo::sim
