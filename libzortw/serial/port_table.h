// The ports a serial backend has opened, keyed by the handles it gave out.
//
// A backend looks every handle up here before it makes a system call. The
// termios backend hands the driver handles of this table, never its
// descriptors; the Windows backend hands out the device HANDLE and keys the
// table by it. A number the backend never gave out, or one it gave out and
// has closed since, finds no port: the operation fails without touching
// whatever file the process may hold under that number.
//
// A handle the table gives out carries the slot's index in its low bits and
// the slot's generation above them. The generation moves on at every open of
// the slot, so a handle that was closed stays invalid when its slot is
// reused. A backend may instead publish a port under a number of the
// system's own (the Windows backend keeps the device HANDLE, which the host
// record defines as the port handle); such a key is found by a scan of the
// table. Keys are never 0 ("no port") and never kSerialInvalidHandle.
//
// With each port the table keeps the bytes the layer's user stores there
// (SerialUserData), the same for every backend.
//
// The table is fixed in size and constant-initialised: no heap, no code run
// at load time. Opens and closes on different threads claim and release
// slots with atomic operations; the port behind a handle belongs to one
// driver instance, whose requests come one at a time, so its contents need
// no lock of their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "serial/serial.h"

namespace serial_table {

inline constexpr uint32_t kIndexBits = 8;
inline constexpr size_t kSlots = size_t{1} << kIndexBits;  // ports open at once, per process
inline constexpr uint32_t kLastGeneration = (0xFFFFFFFFu >> kIndexBits) - 1;

template <typename Port>
class PortTable {
 public:
  // Claims a free slot for an open in progress: its port, with *handle set
  // to the slot's next handle; nullptr (and *handle untouched) when every
  // slot is taken. Finish with Publish or Abandon.
  Port* Claim(SerialHandle* handle) {
    for (uint32_t index = 0; index < kSlots; ++index) {
      Slot& slot = slots_[index];
      bool expected = false;
      if (!slot.claimed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
        continue;
      }
      slot.generation = slot.generation >= kLastGeneration ? 1 : slot.generation + 1;
      *handle = (slot.generation << kIndexBits) | index;
      slot.port = Port{};
      for (unsigned char& byte : slot.user) byte = 0;
      return &slot.port;
    }
    return nullptr;
  }

  // The open succeeded: the port is valid from now on under key, the handle
  // Claim gave (a backend that hands out the table's handles) or a number
  // of the system's own that names the open file (the Windows HANDLE).
  void Publish(SerialHandle claimed, SerialHandle key) {
    SlotOf(claimed).live.store(key, std::memory_order_release);
  }
  void Publish(SerialHandle claimed) { Publish(claimed, claimed); }

  // The open failed: the slot is free again and the handle never valid.
  void Abandon(SerialHandle claimed) {
    SlotOf(claimed).claimed.store(false, std::memory_order_release);
  }

  // The port valid under key, or nullptr.
  Port* Find(SerialHandle key) {
    const int32_t index = IndexOf(key);
    return index < 0 ? nullptr : &slots_[index].port;
  }

  // The user's bytes of the port valid under key (see SerialUserData), or
  // nullptr.
  void* UserData(SerialHandle key) {
    const int32_t index = IndexOf(key);
    return index < 0 ? nullptr : slots_[index].user;
  }

  // Takes the port valid under key out of use before its close: the port,
  // with *slot set for Release or Restore; nullptr when key is not valid (or
  // another thread retired it first).
  Port* Retire(SerialHandle key, uint32_t* slot) {
    const int32_t index = IndexOf(key);
    if (index < 0) return nullptr;
    SerialHandle expected = key;
    if (!slots_[index].live.compare_exchange_strong(expected, 0, std::memory_order_acquire)) {
      return nullptr;
    }
    *slot = static_cast<uint32_t>(index);
    return &slots_[index].port;
  }

  // The retired port is closed: the slot is free.
  void Release(uint32_t slot) { slots_[slot].claimed.store(false, std::memory_order_release); }

  // The retired port stays open after all: valid under key again.
  void Restore(uint32_t slot, SerialHandle key) {
    slots_[slot].live.store(key, std::memory_order_release);
  }

 private:
  struct Slot {
    std::atomic<SerialHandle> live{0};  // the valid handle of the slot, 0 when none
    std::atomic<bool> claimed{false};   // open, or an open or close in progress
    uint32_t generation = 0;            // changed only by the claimant
    Port port{};
    alignas(kSerialUserAlign) unsigned char user[kSerialUserBytes]{};  // the layer above's
  };

  Slot& SlotOf(SerialHandle handle) { return slots_[handle & (kSlots - 1)]; }

  // The slot valid under key: the one its low bits name when the table gave
  // the key out, else any (a key of the system's own); -1 when none.
  int32_t IndexOf(SerialHandle key) {
    if (key == 0 || key == kSerialInvalidHandle) return -1;
    const uint32_t home = key & (kSlots - 1);
    if (slots_[home].live.load(std::memory_order_acquire) == key) return static_cast<int32_t>(home);
    for (uint32_t index = 0; index < kSlots; ++index) {
      if (slots_[index].live.load(std::memory_order_acquire) == key) {
        return static_cast<int32_t>(index);
      }
    }
    return -1;
  }

  Slot slots_[kSlots];
};

}  // namespace serial_table
