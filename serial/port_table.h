// The ports a serial backend has opened, keyed by the handles it gave out.
//
// A backend hands the driver a handle of this table, never the system's own
// descriptor or HANDLE, and looks every handle up before it makes a system
// call. A number the backend never gave out, or one it gave out and has
// closed since, finds no port: the operation fails without touching
// whatever file the process may hold under that number.
//
// A handle carries the slot's index in its low bits and the slot's
// generation above them. The generation moves on at every open of the
// slot, so a handle that was closed stays invalid when its slot is reused.
// Handles are never 0 ("no port") and never kSerialInvalidHandle.
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
      return &slot.port;
    }
    return nullptr;
  }

  // The open succeeded: the handle is valid from now on.
  void Publish(SerialHandle handle) {
    SlotOf(handle).live.store(handle, std::memory_order_release);
  }

  // The open failed: the slot is free again and the handle never valid.
  void Abandon(SerialHandle handle) {
    SlotOf(handle).claimed.store(false, std::memory_order_release);
  }

  // The port of a valid handle, or nullptr.
  Port* Find(SerialHandle handle) {
    if (handle == 0 || handle == kSerialInvalidHandle) return nullptr;
    Slot& slot = SlotOf(handle);
    if (slot.live.load(std::memory_order_acquire) != handle) return nullptr;
    return &slot.port;
  }

  // Takes the handle out of use before its close: its port, or nullptr when
  // the handle is not valid (or another thread retired it first). Finish
  // with Release, or with Publish when the port stays open after all.
  Port* Retire(SerialHandle handle) {
    if (handle == 0 || handle == kSerialInvalidHandle) return nullptr;
    Slot& slot = SlotOf(handle);
    SerialHandle expected = handle;
    if (!slot.live.compare_exchange_strong(expected, 0, std::memory_order_acquire)) return nullptr;
    return &slot.port;
  }

  // The retired port is closed: the slot is free.
  void Release(SerialHandle handle) { Abandon(handle); }

 private:
  struct Slot {
    std::atomic<SerialHandle> live{0};  // the valid handle of the slot, 0 when none
    std::atomic<bool> claimed{false};   // open, or an open or close in progress
    uint32_t generation = 0;            // changed only by the claimant
    Port port{};
  };

  Slot& SlotOf(SerialHandle handle) { return slots_[handle & (kSlots - 1)]; }

  Slot slots_[kSlots];
};

}  // namespace serial_table
