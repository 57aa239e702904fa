// The scripted fake line: a serial backend for unit tests, linked in place of
// the platform backend. A test makes one FakeLine (it installs itself for
// the test's lifetime), scripts what the "peer" answers to each frame
// written, and afterwards reads back everything the driver did on the line.
// Nothing here waits: time-outs and sleeps are recorded, not slept. Like the
// platform backends, the line acts only on handles it opened: any other
// handle fails every operation and touches nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "serial/serial.h"

namespace fake {

class FakeLine {
 public:
  FakeLine();
  ~FakeLine();
  FakeLine(const FakeLine&) = delete;
  FakeLine& operator=(const FakeLine&) = delete;

  // The installed line; aborts the test when there is none.
  static FakeLine& Current();

  // ---- scripting the peer ----
  // Bytes that become readable after the next frame written (one entry per
  // frame, in order). An empty string is silence.
  void Reply(const std::string& bytes) { replies_.push_back(bytes); }
  void Silence() { replies_.push_back(std::string()); }
  // When no scripted reply is left, the responder answers (if set), else silence.
  std::function<std::string(const std::string& frame)> responder;
  // Bytes that are waiting on the line right now (stale input).
  void Feed(const std::string& bytes) { input_ += bytes; }

  // ---- scripting failures ----
  std::set<std::string> missingDevices;       // open gives 1, handle kSerialInvalidHandle
  std::map<std::string, int32_t> openStatus;  // open gives this status (4, 5, ...)
  bool closeFails = false;                    // SerialClose gives 7
  int32_t writeStatus = 0;                    // 7: write fails; 2: short write
  uint32_t shortWriteCount = 0;               // bytes "written" on a short write
  bool timeoutsFail = false;                  // SerialSetReadTimeout gives 0, changes nothing

  // ---- counting heap allocations around driver calls ----
  // While set, the line does its bookkeeping without touching the heap:
  // nothing goes into trace, writes or sleeps (the counters below and
  // lastWrite still record), and scripted replies are appended to input
  // whose room was reserved when the line was made. Script the replies
  // before setting it.
  bool allocationFree = false;
  int writeCalls = 0;         // every SerialWrite, in every mode
  int sleepCalls = 0;         // every SerialSleep, in every mode
  uint32_t lastSleepMs = 0;   // the last SerialSleep, in every mode
  char lastWrite[1024] = {};  // the last frame written (truncated to fit)
  uint32_t lastWriteLength = 0;

  // ---- what the driver did ----
  struct Opened {
    std::string name;
    LineSettings line;
    uint16_t handshake;
    SerialHandle handle;
  };
  std::vector<Opened> opens;         // every successful open
  std::vector<SerialHandle> closes;  // every successful close
  std::vector<std::string> writes;   // every frame written (whole or short)
  std::vector<int32_t> timeoutsSet;  // every SerialSetReadTimeout argument (tens of ms)
  std::vector<uint32_t> sleeps;      // every SerialSleep, in ms
  int purges = 0;                    // every SerialPurgeInput
  int reads = 0;                     // every SerialRead call
  int expects = 0;                   // every SerialExpectInput (not in trace)
  uint32_t lastExpected = 0;         // the count of the last one
  int limits = 0;                    // every SerialLimitReception (not in trace)
  uint32_t lastLimitTimeouts = 0;    // the time-outs of the last one
  uint32_t lastLimit = 0;            // the byte count of the last one
  // One entry per operation, in order: "open COM1", "close", "timeout 300",
  // "purge", "write <frame>", "read", "sleep 50".
  std::vector<std::string> trace;

  // State of the port as the driver left it.
  bool IsOpen(SerialHandle handle) const { return open_.count(handle) != 0; }
  size_t OpenCount() const { return open_.size(); }
  int32_t TimeoutMs(SerialHandle handle) const;  // total read time-out in ms
  const std::string& PendingInput() const { return input_; }
  uint32_t TotalSleepMs() const;

  // ---- the backend's side (called by the Serial* functions) ----
  int32_t Open(const char* name, const LineSettings& line, uint16_t handshake,
               SerialHandle* handle);
  int32_t Close(SerialHandle handle);
  int32_t SetReadTimeout(SerialHandle handle, int32_t timeout);
  int32_t Purge(SerialHandle handle);
  int32_t Write(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written);
  int32_t Read(SerialHandle handle, void* buffer, uint32_t count, uint32_t* received);
  int32_t Sleep(uint32_t milliseconds);

 private:
  int32_t QuietWrite(SerialHandle handle, uint32_t count, uint32_t* written);

  struct Port {
    std::string name;
    bool isNull;
    int32_t timeoutMs;
    alignas(kSerialUserAlign) unsigned char user[kSerialUserBytes];
  };

 public:
  // The bytes kept for the layer's user (nullptr for a handle not open).
  void* UserData(SerialHandle handle);

 private:
  std::map<SerialHandle, Port> open_;
  std::vector<std::string> replies_;
  size_t nextReply_ = 0;
  std::string input_;
  SerialHandle nextHandle_ = 0x100;
};

}  // namespace fake
