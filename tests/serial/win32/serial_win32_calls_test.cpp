// The Windows backend against a recording table of system calls: the exact
// calls it makes, in order, and what it does when any one of them fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "serial/win32/win32_calls.h"

namespace {

// A pretend device behind the recording table. The table's entries are plain
// function pointers, so they reach the device of the running test through
// this pointer.
struct FakeDevice {
  std::vector<std::string> calls;  // "CreateFileA", "GetCommState", ... in order
  int failAt = -1;                 // index in calls of the one call that fails

  HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
  std::string openedName;
  DWORD access = 0, share = 99, disposition = 0, flags = 0;
  bool securityGiven = true, templateGiven = true;

  DCB state{};                 // the line state the device reports
  DWORD lengthAsked = 0;       // DCBlength on entry to GetCommState
  std::vector<DCB> statesSet;  // every DCB given to SetCommState
  COMMTIMEOUTS timeouts = {7, 8, 0, 9, 11};
  std::vector<COMMTIMEOUTS> timeoutsSet;
  std::vector<DWORD> queueSizes;  // SetupComm's two sizes, per call
  std::vector<HANDLE> closed;

  std::string input;               // bytes waiting to be read
  DWORD maxPerRead = 0xFFFFFFFFu;  // bytes a read delivers at most
  std::vector<DWORD> readsAsked;   // byte count of each ReadFile
  std::vector<DWORD> readsGot;     // bytes delivered by each ReadFile
  std::string written;             // bytes taken by WriteFile
  DWORD writeLimit = 0xFFFFFFFFu;  // bytes a write takes at most
  std::vector<DWORD> sleeps;
  std::vector<DWORD> purgeFlags;  // PurgeComm's flags, per call
  ULONGLONG now = 1000000;        // the tick clock
};

FakeDevice* device = nullptr;

// Records a call; true when this is the call that fails.
bool Fails(const char* name) {
  device->calls.push_back(name);
  return static_cast<int>(device->calls.size()) - 1 == device->failAt;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE templ) {
  device->openedName = name;
  device->access = access;
  device->share = share;
  device->securityGiven = sa != nullptr;
  device->disposition = disposition;
  device->flags = flags;
  device->templateGiven = templ != nullptr;
  if (Fails("CreateFileA")) return INVALID_HANDLE_VALUE;
  // Every open gives a handle of its own, as the system does.
  static uintptr_t next = 0x2000;
  device->handle = reinterpret_cast<HANDLE>(next += 4);
  return device->handle;
}
BOOL WINAPI FakeGetCommState(HANDLE, LPDCB dcb) {
  device->lengthAsked = dcb->DCBlength;
  if (Fails("GetCommState")) return FALSE;
  *dcb = device->state;
  return TRUE;
}
BOOL WINAPI FakeSetCommState(HANDLE, LPDCB dcb) {
  if (Fails("SetCommState")) return FALSE;
  device->statesSet.push_back(*dcb);
  device->state = *dcb;
  return TRUE;
}
BOOL WINAPI FakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
  if (Fails("GetCommTimeouts")) return FALSE;
  *timeouts = device->timeouts;
  return TRUE;
}
BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
  if (Fails("SetCommTimeouts")) return FALSE;
  device->timeoutsSet.push_back(*timeouts);
  device->timeouts = *timeouts;
  return TRUE;
}
BOOL WINAPI FakeSetupComm(HANDLE, DWORD in, DWORD out) {
  device->queueSizes = {in, out};
  return Fails("SetupComm") ? FALSE : TRUE;
}
BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
  if (Fails("ClearCommError")) return FALSE;
  *errors = 0;
  std::memset(status, 0, sizeof *status);
  status->cbInQue = static_cast<DWORD>(device->input.size());
  return TRUE;
}
BOOL WINAPI FakeReadFile(HANDLE, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
  device->readsAsked.push_back(count);
  if (overlapped != nullptr || Fails("ReadFile")) return FALSE;
  DWORD n = count < device->input.size() ? count : static_cast<DWORD>(device->input.size());
  if (n > device->maxPerRead) n = device->maxPerRead;
  std::memcpy(buffer, device->input.data(), n);
  device->input.erase(0, n);
  *got = n;
  device->readsGot.push_back(n);
  return TRUE;
}
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID buffer, DWORD count, LPDWORD done,
                          LPOVERLAPPED overlapped) {
  if (overlapped != nullptr || Fails("WriteFile")) return FALSE;
  const DWORD n = count < device->writeLimit ? count : device->writeLimit;
  device->written.append(static_cast<const char*>(buffer), n);
  *done = n;
  return TRUE;
}
BOOL WINAPI FakeSetCommBreak(HANDLE) {
  return Fails("SetCommBreak") ? FALSE : TRUE;
}
BOOL WINAPI FakeClearCommBreak(HANDLE) {
  return Fails("ClearCommBreak") ? FALSE : TRUE;
}
BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  if (Fails("CloseHandle")) return FALSE;
  device->closed.push_back(handle);
  return TRUE;
}
VOID WINAPI FakeSleep(DWORD ms) {
  device->sleeps.push_back(ms);
  Fails("Sleep");
}
BOOL WINAPI FakePurgeComm(HANDLE, DWORD flags) {
  device->purgeFlags.push_back(flags);
  return Fails("PurgeComm") ? FALSE : TRUE;
}
// The clock is read, not recorded: only the calls that reach the device are.
ULONGLONG WINAPI FakeGetTickCount64() {
  return device->now;
}

constexpr Win32Calls kFakeCalls = {
    &FakeCreateFileA,     &FakeGetCommState, &FakeSetCommState,   &FakeGetCommTimeouts,
    &FakeSetCommTimeouts, &FakeSetupComm,    &FakeClearCommError, &FakeReadFile,
    &FakeWriteFile,       &FakeSetCommBreak, &FakeClearCommBreak, &FakeCloseHandle,
    &FakeSleep,           &FakePurgeComm,    &FakeGetTickCount64,
};

// Each test starts with a port open on the pretend device (its opening not
// recorded) and closes every port it opened at the end.
class Win32Backend : public ::testing::Test {
 protected:
  Win32Backend() {
    device = &dev;
    SerialOpenWith(kFakeCalls, "COM9", LineSettings{19200, 7, 0, 1}, 8, &port);
    const HANDLE handle = dev.handle;
    dev = FakeDevice{};
    dev.handle = handle;
  }
  ~Win32Backend() override {
    dev.failAt = -1;
    for (SerialHandle handle : {port, opened}) SerialCloseWith(kFakeCalls, handle);
    device = nullptr;
  }

  SerialHandle Handle() const { return port; }
  int32_t Open(const char* name, uint16_t handshake = 8, LineSettings line = {19200, 7, 0, 1}) {
    FakeDevice kept = dev;
    dev.failAt = -1;
    SerialCloseWith(kFakeCalls, opened);  // the previous case's port
    dev = kept;
    return SerialOpenWith(kFakeCalls, name, line, handshake, &opened);
  }

  FakeDevice dev;
  SerialHandle port = 0;
  SerialHandle opened = 0;
};

using Calls = std::vector<std::string>;

// A handle the backend did not give out, or has closed, reaches no call.
TEST_F(Win32Backend, HandlesAreTheTablesAndForeignOnesMakeNoCall) {
  ASSERT_EQ(Open("COM5"), SerialOk);
  const SerialHandle closed = opened;
  ASSERT_EQ(SerialCloseWith(kFakeCalls, closed), SerialOk);
  ASSERT_EQ(Open("COM5"), SerialOk);  // its slot again, most likely
  dev.calls.clear();
  for (SerialHandle handle : {0x1234u, 0u, kSerialInvalidHandle, closed, Handle() + 0x100u}) {
    SCOPED_TRACE(handle);
    char bytes[4] = {};
    uint32_t count = 77;
    EXPECT_EQ(SerialWriteWith(kFakeCalls, handle, "abcd", 4, &count), SerialIoFailed);
    EXPECT_EQ(SerialReadWith(kFakeCalls, handle, bytes, 4, &count), SerialIoFailed);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SerialPurgeInputWith(kFakeCalls, handle), 1);
    EXPECT_EQ(SerialSetReadTimeoutWith(kFakeCalls, handle, 30), 0);
    EXPECT_EQ(SerialCloseWith(kFakeCalls, handle), SerialIoFailed);
  }
  EXPECT_TRUE(dev.calls.empty());
  EXPECT_EQ(DeviceOf(opened), dev.handle);
  EXPECT_EQ(DeviceOf(closed), INVALID_HANDLE_VALUE);
}

TEST_F(Win32Backend, OpenMakesItsCallsInOrder) {
  ASSERT_EQ(Open("COM3"), SerialOk);
  EXPECT_EQ(dev.calls,
            (Calls{"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "SetupComm"}));
  EXPECT_EQ(DeviceOf(opened), dev.handle);
  EXPECT_EQ(dev.openedName, "COM3");
  EXPECT_EQ(dev.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(dev.share, 0u);
  EXPECT_FALSE(dev.securityGiven);
  EXPECT_EQ(dev.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(dev.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  EXPECT_FALSE(dev.templateGiven);
  EXPECT_EQ(dev.lengthAsked, 28u);
  ASSERT_EQ(dev.timeoutsSet.size(), 1u);
  const COMMTIMEOUTS& t = dev.timeoutsSet[0];
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
  // A write may take twice its line time (10 bits at 19200 baud: 2 ms a
  // byte, rounded up) and half a second more.
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 2u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 500u);
  // The driver keeps the HANDLE itself.
  EXPECT_EQ(reinterpret_cast<HANDLE>(uintptr_t{opened}), dev.handle);
  EXPECT_EQ(dev.queueSizes, (std::vector<DWORD>{1200, 1200}));
  EXPECT_TRUE(dev.closed.empty());
}

TEST_F(Win32Backend, OpenClosesTheHandleWhenAStepFails) {
  struct Case {
    int failAt;
    int32_t status;
    Calls calls;
  };
  const Case cases[] = {
      {0, SerialCannotOpen, {"CreateFileA"}},
      {1, SerialNoLineState, {"CreateFileA", "GetCommState", "CloseHandle"}},
      {2, SerialCannotOpen, {"CreateFileA", "GetCommState", "SetCommTimeouts", "CloseHandle"}},
      {3,
       SerialLineRefused,
       {"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "CloseHandle"}},
      // The queue sizes are a request; a refusal leaves the port open.
      {4,
       SerialOk,
       {"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "SetupComm"}},
  };
  for (const Case& c : cases) {
    FakeDevice fresh;
    dev = fresh;
    dev.failAt = c.failAt;
    EXPECT_EQ(Open("COM1"), c.status) << "failing call " << c.failAt;
    EXPECT_EQ(dev.calls, c.calls) << "failing call " << c.failAt;
    if (c.failAt == 0) {
      EXPECT_EQ(opened, kSerialInvalidHandle);
      EXPECT_TRUE(dev.closed.empty());
    } else {
      // The out-parameter holds a handle even when it has been closed again.
      EXPECT_NE(opened, kSerialInvalidHandle);
      EXPECT_EQ(DeviceOf(opened), c.status == SerialOk ? dev.handle : INVALID_HANDLE_VALUE);
      EXPECT_EQ(dev.closed.size(), c.status == SerialOk ? 0u : 1u);
      if (!dev.closed.empty()) {
        EXPECT_EQ(dev.closed[0], dev.handle);
      }
    }
  }
}

TEST_F(Win32Backend, OnlyTheExactNameNulIsTheDummyPort) {
  ASSERT_EQ(Open("NUL", 0x0303), SerialOk);
  EXPECT_EQ(dev.calls, Calls{"CreateFileA"});
  EXPECT_EQ(DeviceOf(opened), dev.handle);

  for (const char* name : {"nul", "NUL ", "Nul", "NUL:"}) {
    FakeDevice fresh;
    dev = fresh;
    dev.failAt = 1;  // a device without line state
    EXPECT_EQ(Open(name), SerialNoLineState) << name;
    EXPECT_EQ(dev.calls, (Calls{"CreateFileA", "GetCommState", "CloseHandle"})) << name;
  }
}

TEST_F(Win32Backend, HandshakeMaskSelectsDtrAndRts) {
  struct Case {
    uint16_t handshake;
    unsigned dtr;
    unsigned rts;
  };
  const Case cases[] = {
      {0x0000, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
      {0x0008, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},  // what ColdStart uses
      {0x0001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {0x0100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {0x8001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},  // enable wins over handshake
      {0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
      {0x0002, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
      {0x0200, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
      {0x3202, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},     // enable wins over both
      {0x3000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},  // handshake wins over toggle
      {0x1000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
      {0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
      {0xA000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE},
      {0xFFFF, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
      {0x4C74, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},  // only unexamined bits
  };
  for (const Case& c : cases) {
    FakeDevice fresh;
    dev = fresh;
    ASSERT_EQ(Open("COM2", c.handshake), SerialOk);
    ASSERT_EQ(dev.statesSet.size(), 1u);
    EXPECT_EQ(dev.statesSet[0].fDtrControl, c.dtr) << std::hex << c.handshake;
    EXPECT_EQ(dev.statesSet[0].fRtsControl, c.rts) << std::hex << c.handshake;
  }
}

// The members SerialOpen sets, and every other one as the device reported it.
void ExpectLineState(const DCB& before, const DCB& after, const LineSettings& line) {
  DCB expected = before;
  expected.BaudRate = line.baudRate;
  expected.fBinary = 1;
  expected.fParity = 1;
  expected.fOutxCtsFlow = 0;
  expected.fOutxDsrFlow = 0;
  expected.fDtrControl = DTR_CONTROL_DISABLE;
  expected.fDsrSensitivity = 0;
  expected.fOutX = 0;
  expected.fInX = 0;
  expected.fErrorChar = 0;
  expected.fNull = 0;
  expected.fRtsControl = RTS_CONTROL_DISABLE;
  expected.fAbortOnError = 0;
  expected.ByteSize = static_cast<BYTE>(line.dataBits);
  expected.Parity = static_cast<BYTE>(line.parity);
  expected.StopBits = static_cast<BYTE>(line.stopBits);
  expected.ErrorChar = static_cast<char>(0xFC);
  EXPECT_EQ(std::memcmp(&expected, &after, sizeof(DCB)), 0);
  // Spot checks that do not rely on the copy above.
  EXPECT_EQ(after.XonLim, before.XonLim);
  EXPECT_EQ(after.XoffChar, before.XoffChar);
  EXPECT_EQ(after.fTXContinueOnXoff, before.fTXContinueOnXoff);
  EXPECT_EQ(static_cast<unsigned char>(after.ErrorChar), 0xFCu);
}

TEST_F(Win32Backend, LineSettingsChangeOnlyTheirMembers) {
  struct Case {
    unsigned char fill;  // every byte of the line state the device reports
    LineSettings line;
  };
  const Case cases[] = {
      {0x00, {19200, 7, 0, 1}},
      {0xFF, {9600, 8, 2, 0}},
      {0xA5, {65535, 0x0105, 0x0301, 0x0204}},  // only the low bytes count
  };
  for (const Case& c : cases) {
    FakeDevice fresh;
    dev = fresh;
    std::memset(&dev.state, c.fill, sizeof dev.state);
    const DCB before = dev.state;
    ASSERT_EQ(Open("COM4", 0x0008, c.line), SerialOk);
    ASSERT_EQ(dev.statesSet.size(), 1u);
    const DCB& after = dev.statesSet[0];
    EXPECT_EQ(after.BaudRate, c.line.baudRate);
    EXPECT_EQ(after.ByteSize, c.line.dataBits & 0xFF);
    EXPECT_EQ(after.StopBits, c.line.stopBits & 0xFF);
    EXPECT_EQ(after.Parity, c.line.parity & 0xFF);
    ExpectLineState(before, after, c.line);
  }
}

TEST_F(Win32Backend, SetReadTimeoutReturnsThePreviousValue) {
  ASSERT_EQ(Open("COM1"), SerialOk);
  dev.calls.clear();
  dev.timeoutsSet.clear();
  dev.timeouts = {7, 8, 1000, 9, 11};  // as opened, with the other members set by someone else

  EXPECT_EQ(SerialSetReadTimeoutWith(kFakeCalls, Handle(), 300), 100);
  ASSERT_EQ(dev.timeoutsSet.size(), 1u);
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, 3000u);
  EXPECT_EQ(dev.timeouts.ReadIntervalTimeout, 7u);
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutMultiplier, 8u);
  EXPECT_EQ(dev.timeouts.WriteTotalTimeoutMultiplier, 9u);
  EXPECT_EQ(dev.timeouts.WriteTotalTimeoutConstant, 11u);

  // The same value again: read, nothing written.
  EXPECT_EQ(SerialSetReadTimeoutWith(kFakeCalls, Handle(), 300), 300);
  EXPECT_EQ(dev.timeoutsSet.size(), 1u);
  EXPECT_EQ(dev.calls, (Calls{"GetCommTimeouts", "SetCommTimeouts", "GetCommTimeouts"}));

  dev.timeouts.ReadTotalTimeoutConstant = 55;  // remainder dropped
  EXPECT_EQ(SerialSetReadTimeoutWith(kFakeCalls, Handle(), 10), 5);
  dev.timeouts.ReadTotalTimeoutConstant = 0xFFFFFFFFu;
  EXPECT_EQ(SerialSetReadTimeoutWith(kFakeCalls, Handle(), 10), 429496729);
}

TEST_F(Win32Backend, SetReadTimeoutFailuresGiveZero) {
  dev.timeouts.ReadTotalTimeoutConstant = 1000;
  dev.failAt = 0;
  EXPECT_EQ(SerialSetReadTimeoutWith(kFakeCalls, Handle(), 300), 0);
  EXPECT_EQ(dev.calls, Calls{"GetCommTimeouts"});

  dev.calls.clear();
  dev.failAt = 1;
  EXPECT_EQ(SerialSetReadTimeoutWith(kFakeCalls, Handle(), 300), 0);
  EXPECT_EQ(dev.calls, (Calls{"GetCommTimeouts", "SetCommTimeouts"}));
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Win32Backend, ReadTimeoutNeitherOverflowsNorWaitsForever) {
  struct Case {
    int32_t timeout;
    DWORD ms;
  };
  const Case cases[] = {
      {1, 10},
      {300, 3000},
      {429496729, 4294967290u},
      {429496730, 0xFFFFFFFEu},  // would wrap to 4 in 32 bits
      {INT32_MAX, 0xFFFFFFFEu},
      {0, 10},  // all-zero read time-outs would wait for the whole count
      {-1, 10},
      {INT32_MIN, 10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadTimeoutMs(c.timeout), c.ms) << c.timeout;
    dev.timeouts.ReadTotalTimeoutConstant = 1234;
    SerialSetReadTimeoutWith(kFakeCalls, Handle(), c.timeout);
    EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, c.ms) << c.timeout;
    EXPECT_NE(dev.timeouts.ReadTotalTimeoutConstant, 0u);
  }
}

TEST_F(Win32Backend, PurgeOfAnEmptyQueueReadsNothing) {
  dev.timeouts.ReadTotalTimeoutConstant = 3000;
  EXPECT_EQ(SerialPurgeInputWith(kFakeCalls, Handle()), 0);
  EXPECT_EQ(dev.calls, Calls{"ClearCommError"});
  EXPECT_TRUE(dev.readsAsked.empty());
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, 3000u);
}

TEST_F(Win32Backend, PurgeDrainsInBlocksAndRestoresTheTimeout) {
  dev.timeouts.ReadTotalTimeoutConstant = 3000;
  dev.input = std::string(600, 'x');
  EXPECT_EQ(SerialPurgeInputWith(kFakeCalls, Handle()), 0);
  EXPECT_EQ(dev.calls, (Calls{"ClearCommError", "GetCommTimeouts", "SetCommTimeouts", "ReadFile",
                              "ReadFile", "GetCommTimeouts", "SetCommTimeouts"}));
  EXPECT_EQ(dev.readsAsked, (std::vector<DWORD>{512, 512}));
  EXPECT_EQ(dev.readsGot, (std::vector<DWORD>{512, 88}));
  ASSERT_EQ(dev.timeoutsSet.size(), 2u);
  EXPECT_EQ(dev.timeoutsSet[0].ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, 3000u);
  EXPECT_TRUE(dev.input.empty());
}

TEST_F(Win32Backend, PurgeEndsOnlyOnAShortRead) {
  dev.timeouts.ReadTotalTimeoutConstant = 1000;
  dev.input = std::string(1024, 'y');  // two full blocks, then a read that finds nothing
  EXPECT_EQ(SerialPurgeInputWith(kFakeCalls, Handle()), 0);
  EXPECT_EQ(dev.readsGot, (std::vector<DWORD>{512, 512, 0}));
}

TEST_F(Win32Backend, PurgeFailuresAndTimeoutsNotRestored) {
  // The error state cannot be cleared: drain anyway; successful reads give 0.
  dev.timeouts.ReadTotalTimeoutConstant = 1000;
  dev.input = "abc";
  dev.failAt = 0;
  EXPECT_EQ(SerialPurgeInputWith(kFakeCalls, Handle()), 0);
  EXPECT_EQ(dev.readsGot, std::vector<DWORD>{3});
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, 1000u);

  // The last drain read fails: 1, and the time-out is still put back.
  FakeDevice fresh;
  dev = fresh;
  dev.timeouts.ReadTotalTimeoutConstant = 1000;
  dev.input = std::string(700, 'z');
  dev.failAt = 4;  // ClearCommError, Get-, SetCommTimeouts, ReadFile, ReadFile
  EXPECT_EQ(SerialPurgeInputWith(kFakeCalls, Handle()), 1);
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, 1000u);

  // A previous time-out under 10 ms reads as 0: nothing is restored.
  dev = fresh;
  dev.timeouts.ReadTotalTimeoutConstant = 5;
  dev.input = "q";
  EXPECT_EQ(SerialPurgeInputWith(kFakeCalls, Handle()), 0);
  EXPECT_EQ(dev.timeoutsSet.size(), 1u);
  EXPECT_EQ(dev.timeouts.ReadTotalTimeoutConstant, 50u);
}

TEST_F(Win32Backend, WriteIsOneRequest) {
  uint32_t written = 77;
  EXPECT_EQ(SerialWriteWith(kFakeCalls, Handle(), "", 0, &written), SerialOk);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(dev.calls, Calls{"WriteFile"});

  EXPECT_EQ(SerialWriteWith(kFakeCalls, Handle(), ":0123;", 6, nullptr), SerialOk);
  EXPECT_EQ(dev.written, ":0123;");

  // A write that ran out of its time-out: the rest is not retried, and what
  // the device still holds of it is dropped, never sent later.
  dev.writeLimit = 2;
  EXPECT_EQ(SerialWriteWith(kFakeCalls, Handle(), "abcdef", 6, &written), SerialShortWrite);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(dev.calls, (Calls{"WriteFile", "WriteFile", "WriteFile", "PurgeComm"}));
  EXPECT_EQ(dev.purgeFlags, std::vector<DWORD>{PURGE_TXABORT | PURGE_TXCLEAR});

  dev.failAt = 4;
  written = 77;
  EXPECT_EQ(SerialWriteWith(kFakeCalls, Handle(), "abc", 3, &written), SerialIoFailed);
  EXPECT_EQ(written, 77u);
}

TEST_F(Win32Backend, ReadCollectsUntilCountOrSilence) {
  char buffer[16] = {};
  uint32_t received = 99;

  // Nothing arrives: 7, with 0 received.
  EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), buffer, 1, &received), SerialIoFailed);
  EXPECT_EQ(received, 0u);

  // 4 of 10 arrive, then silence: the second read asks for the other 6.
  dev.readsAsked.clear();
  dev.input = "ABCD";
  EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), buffer, 10, &received), SerialIoFailed);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(dev.readsAsked, (std::vector<DWORD>{10, 6}));
  EXPECT_EQ(std::string(buffer, 4), "ABCD");

  // The bytes arrive in pieces: each read continues where the last stopped.
  dev.readsAsked.clear();
  dev.input = "0123456789";
  dev.maxPerRead = 3;
  EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), buffer, 10, &received), SerialOk);
  EXPECT_EQ(received, 10u);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  EXPECT_EQ(dev.readsAsked, (std::vector<DWORD>{10, 7, 4, 1}));
  EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), buffer, 0, nullptr), SerialOk);

  // A failed request: 7, with the bytes so far.
  dev.calls.clear();
  dev.input = "xyz";
  dev.maxPerRead = 2;
  dev.failAt = 1;
  EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), buffer, 3, &received), SerialIoFailed);
  EXPECT_EQ(received, 2u);
}

TEST_F(Win32Backend, ReadOfMoreThan65535BytesAsksInPieces) {
  std::vector<char> buffer(70000);
  dev.input = std::string(70000, 'k');
  uint32_t received = 0;
  EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), buffer.data(), 70000, &received), SerialOk);
  EXPECT_EQ(received, 70000u);
  EXPECT_EQ(dev.readsAsked, (std::vector<DWORD>{65535, 4465}));
}

TEST_F(Win32Backend, CloseBreakAndSleep) {
  // A failed close leaves the handle open and the caller's.
  dev.failAt = 0;
  EXPECT_EQ(SerialCloseWith(kFakeCalls, Handle()), SerialIoFailed);
  EXPECT_EQ(DeviceOf(Handle()), dev.handle);
  dev.failAt = -1;
  EXPECT_EQ(SerialCloseWith(kFakeCalls, Handle()), SerialOk);
  ASSERT_EQ(dev.closed.size(), 1u);
  EXPECT_EQ(dev.closed[0], dev.handle);
  EXPECT_EQ(SerialCloseWith(kFakeCalls, Handle()), SerialIoFailed);  // already closed
  ASSERT_EQ(Open("COM1"), SerialOk);
  port = opened;
  opened = 0;

  dev.calls.clear();
  dev.failAt = 0;  // the break's results are ignored
  EXPECT_EQ(SerialSendBreakWith(kFakeCalls, 250, Handle()), 0);
  EXPECT_EQ(dev.calls, (Calls{"SetCommBreak", "Sleep", "ClearCommBreak"}));
  EXPECT_EQ(dev.sleeps, std::vector<DWORD>{250});

  EXPECT_EQ(SerialSleepWith(kFakeCalls, 50), 0);
  EXPECT_EQ(dev.sleeps, (std::vector<DWORD>{250, 50}));
}

}  // namespace

// The read after a long write waits its line time on top of the time-out
// (the time-out is changed for that one read and put back); no read outlasts
// the reception's bound, and once the bound has passed none is made.
TEST_F(Win32Backend, ReadsCountFromTheRequestsEndAndStopAtTheReceptionBound) {
  SerialSetReadTimeoutWith(kFakeCalls, Handle(), 100);  // 1000 ms
  const std::string request(289, 'A');                  // 289 characters: 150 ms at 19200 baud
  ASSERT_EQ(SerialWriteWith(kFakeCalls, Handle(), request.data(), 289, nullptr), SerialOk);
  ASSERT_EQ(SerialLimitReceptionWith(Handle(), 1, 592), 0);  // 1000 ms + 309 ms
  dev.calls.clear();
  dev.timeoutsSet.clear();
  char byte = 0;
  EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), &byte, 1, nullptr), SerialIoFailed);
  EXPECT_EQ(dev.calls,
            (Calls{"GetCommTimeouts", "SetCommTimeouts", "ReadFile", "SetCommTimeouts"}));
  ASSERT_EQ(dev.timeoutsSet.size(), 2u);
  EXPECT_EQ(dev.timeoutsSet[0].ReadTotalTimeoutConstant, 1000u + 150u);
  EXPECT_EQ(dev.timeoutsSet[1].ReadTotalTimeoutConstant, 1000u);

  // 1,200 ms later only the bound's rest is waited; past it, nothing.
  struct Step {
    ULONGLONG later;
    Calls calls;
    DWORD wait;
  };
  const Step steps[] = {
      {1200,
       {"GetCommTimeouts", "SetCommTimeouts", "ReadFile", "SetCommTimeouts"},
       150 + 1309 - 1200},
      {400, {}, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.later);
    dev.now += step.later;
    dev.calls.clear();
    dev.timeoutsSet.clear();
    EXPECT_EQ(SerialReadWith(kFakeCalls, Handle(), &byte, 1, nullptr), SerialIoFailed);
    EXPECT_EQ(dev.calls, step.calls);
    if (step.wait != 0) {
      EXPECT_EQ(dev.timeoutsSet.at(0).ReadTotalTimeoutConstant, step.wait);
    }
  }
}
