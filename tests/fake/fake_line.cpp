#include "tests/fake/fake_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fake {
namespace {
FakeLine* g_current = nullptr;  // test-only: the line installed by the running test
}

FakeLine::FakeLine() {
  g_current = this;
  input_.reserve(8192);  // room for the replies of allocation-free runs
}
FakeLine::~FakeLine() {
  if (g_current == this) g_current = nullptr;
}

FakeLine& FakeLine::Current() {
  if (g_current == nullptr) {
    std::fprintf(stderr, "serial call without a FakeLine installed\n");
    std::abort();
  }
  return *g_current;
}

int32_t FakeLine::TimeoutMs(SerialHandle handle) const {
  auto it = open_.find(handle);
  return it == open_.end() ? -1 : it->second.timeoutMs;
}

uint32_t FakeLine::TotalSleepMs() const {
  uint32_t total = 0;
  for (uint32_t s : sleeps) total += s;
  return total;
}

int32_t FakeLine::Open(const char* name, const LineSettings& line, uint16_t handshake,
                       SerialHandle* handle) {
  std::string n = name;
  trace.push_back("open " + n);
  bool isNull = n == kNullPortName;
  bool busy = false;
  for (auto& [h, port] : open_) busy = busy || (!isNull && port.name == n);
  if (n.empty() || missingDevices.count(n) || busy) {
    *handle = kSerialInvalidHandle;
    return SerialCannotOpen;
  }
  auto it = openStatus.find(n);
  if (it != openStatus.end() && it->second != 0) {
    *handle = nextHandle_++;  // opened, then closed again by the failing step
    return it->second;
  }
  *handle = nextHandle_++;
  open_[*handle] = Port{n, isNull, 1000, {}};
  opens.push_back(Opened{n, line, handshake, *handle});
  return SerialOk;
}

int32_t FakeLine::Close(SerialHandle handle) {
  trace.push_back("close");
  if (closeFails || !open_.count(handle)) return SerialIoFailed;
  open_.erase(handle);
  closes.push_back(handle);
  return SerialOk;
}

int32_t FakeLine::SetReadTimeout(SerialHandle handle, int32_t timeout) {
  trace.push_back("timeout " + std::to_string(timeout));
  timeoutsSet.push_back(timeout);
  auto it = open_.find(handle);
  if (timeoutsFail || it == open_.end() || it->second.isNull) return 0;
  int32_t previous = it->second.timeoutMs;
  it->second.timeoutMs = static_cast<int32_t>(static_cast<int64_t>(timeout) * 10);
  return previous / 10;
}

int32_t FakeLine::Purge(SerialHandle handle) {
  if (!allocationFree) trace.push_back("purge");
  ++purges;
  if (!open_.count(handle)) return 1;  // not a port of the line's: nothing touched
  input_.clear();
  return SerialOk;
}

int32_t FakeLine::Write(SerialHandle handle, const void* buffer, uint32_t count,
                        uint32_t* written) {
  ++writeCalls;
  lastWriteLength = static_cast<uint32_t>(std::min<size_t>(count, sizeof lastWrite - 1));
  std::memcpy(lastWrite, buffer, lastWriteLength);
  lastWrite[lastWriteLength] = '\0';
  if (allocationFree) return QuietWrite(handle, count, written);
  std::string frame(static_cast<const char*>(buffer), count);
  trace.push_back("write " + frame);
  if (!open_.count(handle)) return SerialIoFailed;
  if (writeStatus == SerialIoFailed) return SerialIoFailed;
  writes.push_back(frame);
  if (writeStatus == SerialShortWrite) {
    if (written) *written = shortWriteCount;
    return SerialShortWrite;
  }
  if (written) *written = count;
  if (open_[handle].isNull) return SerialOk;
  if (nextReply_ < replies_.size()) {
    input_ += replies_[nextReply_++];
  } else if (responder) {
    input_ += responder(frame);
  }
  return SerialOk;
}

int32_t FakeLine::Read(SerialHandle handle, void* buffer, uint32_t count, uint32_t* received) {
  if (!allocationFree) trace.push_back("read");
  ++reads;
  if (received) *received = 0;
  if (!open_.count(handle)) return SerialIoFailed;
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, input_.size()));
  std::memcpy(buffer, input_.data(), n);
  input_.erase(0, n);
  if (received) *received = n;
  return n == count ? SerialOk : SerialIoFailed;
}

int32_t FakeLine::Sleep(uint32_t milliseconds) {
  ++sleepCalls;
  lastSleepMs = milliseconds;
  if (allocationFree) return 0;
  trace.push_back("sleep " + std::to_string(milliseconds));
  sleeps.push_back(milliseconds);
  return 0;
}

// Write without recording the frame: the scripted reply (never the
// responder, whose result is a new string) becomes readable.
int32_t FakeLine::QuietWrite(SerialHandle handle, uint32_t count, uint32_t* written) {
  auto it = open_.find(handle);
  if (it == open_.end() || writeStatus == SerialIoFailed) return SerialIoFailed;
  if (writeStatus == SerialShortWrite) {
    if (written) *written = shortWriteCount;
    return SerialShortWrite;
  }
  if (written) *written = count;
  if (it->second.isNull) return SerialOk;
  if (nextReply_ < replies_.size()) input_ += replies_[nextReply_++];
  return SerialOk;
}

void* FakeLine::UserData(SerialHandle handle) {
  auto it = open_.find(handle);
  return it == open_.end() ? nullptr : it->second.user;
}

}  // namespace fake

// The serial interface, served by the installed fake line.
using fake::FakeLine;

int32_t SerialOpen(const char* name, const LineSettings& line, uint16_t handshake,
                   SerialHandle* handle) {
  return FakeLine::Current().Open(name, line, handshake, handle);
}
int32_t SerialClose(SerialHandle handle) {
  return FakeLine::Current().Close(handle);
}
int32_t SerialSetReadTimeout(SerialHandle handle, int32_t timeout) {
  return FakeLine::Current().SetReadTimeout(handle, timeout);
}
int32_t SerialPurgeInput(SerialHandle handle) {
  return FakeLine::Current().Purge(handle);
}
int32_t SerialSendBreak(uint32_t milliseconds, SerialHandle) {
  return FakeLine::Current().Sleep(milliseconds);
}
int32_t SerialWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written) {
  return FakeLine::Current().Write(handle, buffer, count, written);
}
int32_t SerialRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t* received) {
  return FakeLine::Current().Read(handle, buffer, count, received);
}
int32_t SerialSleep(uint32_t milliseconds) {
  return FakeLine::Current().Sleep(milliseconds);
}
int32_t SerialExpectInput(SerialHandle, uint32_t count) {
  FakeLine& line = FakeLine::Current();
  ++line.expects;
  line.lastExpected = count;
  return 0;
}
int32_t SerialLimitReception(SerialHandle, uint32_t timeouts, uint32_t maxBytes) {
  FakeLine& line = FakeLine::Current();
  ++line.limits;
  line.lastLimitTimeouts = timeouts;
  line.lastLimit = maxBytes;
  return 0;
}
// No time passes on the fake line: a read that found nothing would find
// nothing for ever.
bool SerialReceptionOver(SerialHandle) {
  return true;
}
bool SerialIsOpen(SerialHandle handle) {
  return FakeLine::Current().IsOpen(handle);
}
void* SerialUserData(SerialHandle handle) {
  return FakeLine::Current().UserData(handle);
}
