// The Windows backend on real ports: two COM ports joined back to back (under
// Wine, tests/wine/with-com-ports.sh maps them to the two ends of a pty
// pair). ZORTW_COM_A and ZORTW_COM_B name the ports; without them the tests
// that need a line are skipped. Every wait is bounded by a read time-out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "serial/serial.h"
#include "serial/win32/win32_calls.h"

namespace {

constexpr LineSettings kLine = {9600, 8, 0, 0};
constexpr uint16_t kHandshake = 0x0008;  // DTR and RTS held off, as ColdStart opens

const char* PortName(const char* variable) {
  const char* name = std::getenv(variable);
  return (name != nullptr && *name != '\0') ? name : nullptr;
}

// The bytes waiting on the port now.
DWORD InputWaiting(SerialHandle handle) {
  COMSTAT status{};
  DWORD errors = 0;
  if (!ClearCommError(DeviceOf(handle), &errors, &status)) return 0;
  return status.cbInQue;
}

// Waits (at most two seconds) until count bytes are waiting on the port.
// Waits until count bytes are waiting, for at most 30 s (Wine on a loaded
// machine can take seconds to pass bytes through its pty pair).
DWORD WaitForInput(SerialHandle handle, DWORD count) {
  DWORD waiting = InputWaiting(handle);
  for (int i = 0; i < 3000 && waiting < count; ++i) {
    Sleep(10);
    waiting = InputWaiting(handle);
  }
  return waiting;
}

class ComPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    nameA = PortName("ZORTW_COM_A");
    nameB = PortName("ZORTW_COM_B");
    if (nameA == nullptr || nameB == nullptr)
      GTEST_SKIP() << "ZORTW_COM_A/ZORTW_COM_B not set: run through tests/wine/with-com-ports.sh";
    ASSERT_EQ(SerialOpen(nameA, kLine, kHandshake, &a), SerialOk) << nameA;
    ASSERT_EQ(SerialOpen(nameB, kLine, kHandshake, &b), SerialOk) << nameB;
    // Start from a quiet line.
    SerialPurgeInput(a);
    SerialPurgeInput(b);
  }
  void TearDown() override {
    for (SerialHandle handle : {a, b}) {
      if (handle != 0 && handle != kSerialInvalidHandle) {
        EXPECT_EQ(SerialClose(handle), SerialOk);
      }
    }
  }

  const char* nameA = nullptr;
  const char* nameB = nullptr;
  SerialHandle a = 0;
  SerialHandle b = 0;
};

TEST_F(ComPorts, OpenConfiguresTheLine) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(DeviceOf(a), &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  // The DTR/RTS modes and flow-control flags are not read back here: Wine
  // reports its own idea of them for a pty. The DCB that the backend hands to
  // SetCommState is checked member by member in serial_win32_calls_test.

  // A freshly opened port waits one second per read; the 300 asked for here
  // is then in force.
  EXPECT_EQ(SerialSetReadTimeout(a, 300), 100);
  EXPECT_EQ(SerialSetReadTimeout(a, 300), 300);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(DeviceOf(a), &timeouts));
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 3000u);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, kSerialWriteMarginMs);  // writes are bounded
  // The handle is the HANDLE itself.
  EXPECT_EQ(DeviceOf(a), reinterpret_cast<HANDLE>(uintptr_t{a}));
}

TEST_F(ComPorts, WhatOneEndWritesTheOtherReads) {
  SerialSetReadTimeout(b, 100);
  const char frame[] = ":001E01050006200100040064DE6E;";
  const uint32_t size = sizeof frame - 1;
  uint32_t written = 0;
  ASSERT_EQ(SerialWrite(a, frame, size, &written), SerialOk);
  EXPECT_EQ(written, size);

  char reply[64] = {};
  uint32_t received = 0;
  ASSERT_EQ(SerialRead(b, reply, size, &received), SerialOk);
  EXPECT_EQ(received, size);
  EXPECT_EQ(std::string(reply, received), frame);

  // And the other way, one byte per read as replies are received.
  SerialSetReadTimeout(a, 100);
  ASSERT_EQ(SerialWrite(b, ";:", 2, nullptr), SerialOk);
  char one = 0;
  ASSERT_EQ(SerialRead(a, &one, 1, nullptr), SerialOk);
  EXPECT_EQ(one, ';');
  ASSERT_EQ(SerialRead(a, &one, 1, &received), SerialOk);
  EXPECT_EQ(one, ':');
  EXPECT_EQ(received, 1u);
}

TEST_F(ComPorts, ReadTimesOutWithTheBytesSoFar) {
  SerialSetReadTimeout(b, 20);
  char buffer[16] = {};
  uint32_t received = 99;
  EXPECT_EQ(SerialRead(b, buffer, 1, &received), SerialIoFailed);
  EXPECT_EQ(received, 0u);

  ASSERT_EQ(SerialWrite(a, "WXYZ", 4, nullptr), SerialOk);
  ASSERT_EQ(WaitForInput(b, 4), 4u);
  EXPECT_EQ(SerialRead(b, buffer, 10, &received), SerialIoFailed);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(std::string(buffer, 4), "WXYZ");
}

TEST_F(ComPorts, PurgeDrainsWaitingInputAndRestoresTheTimeout) {
  SerialSetReadTimeout(b, 30);
  EXPECT_EQ(SerialPurgeInput(b), 0);  // nothing waiting
  EXPECT_EQ(SerialSetReadTimeout(b, 30), 30);

  const std::string block(600, 'P');
  ASSERT_EQ(SerialWrite(a, block.data(), 600, nullptr), SerialOk);
  ASSERT_EQ(WaitForInput(b, 600), 600u);
  EXPECT_EQ(SerialPurgeInput(b), 0);
  EXPECT_EQ(InputWaiting(b), 0u);
  EXPECT_EQ(SerialSetReadTimeout(b, 30), 30);

  char one = 0;
  uint32_t received = 99;
  EXPECT_EQ(SerialRead(b, &one, 1, &received), SerialIoFailed);
  EXPECT_EQ(received, 0u);

  // The line still works after the purge.
  ASSERT_EQ(SerialWrite(a, "k", 1, nullptr), SerialOk);
  EXPECT_EQ(SerialRead(b, &one, 1, &received), SerialOk);
  EXPECT_EQ(one, 'k');
}

TEST_F(ComPorts, OpenPortDeviceGivesTheHandle) {
  ASSERT_EQ(SerialClose(a), SerialOk);
  a = 0;
  PortSettings settings{};
  std::strncpy(settings.portName, nameA, sizeof settings.portName - 1);
  settings.line = kLine;
  settings.handshake = kHandshake;
  a = OpenPortDevice(settings);
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, kSerialInvalidHandle);
}

// Needs no line.
TEST(NullPort, SwallowsWritesAndYieldsNothing) {
  SerialHandle handle = 0;
  ASSERT_EQ(SerialOpen("NUL", kLine, 0x0303, &handle), SerialOk);
  ASSERT_NE(handle, 0u);
  ASSERT_NE(handle, kSerialInvalidHandle);
  uint32_t written = 0;
  EXPECT_EQ(SerialWrite(handle, "abcde", 5, &written), SerialOk);
  EXPECT_EQ(written, 5u);
  char one = 0;
  uint32_t received = 99;
  EXPECT_EQ(SerialRead(handle, &one, 1, &received), SerialIoFailed);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(SerialSetReadTimeout(handle, 300), 0);
  EXPECT_EQ(SerialPurgeInput(handle), 0);
  EXPECT_EQ(SerialClose(handle), SerialOk);
}

TEST(MissingDevice, GivesOneAndTheInvalidHandle) {
  SerialHandle handle = 0;
  EXPECT_EQ(SerialOpen("COM97", kLine, kHandshake, &handle), SerialCannotOpen);
  EXPECT_EQ(handle, kSerialInvalidHandle);
  PortSettings settings{};
  std::strcpy(settings.portName, "COM97");
  EXPECT_EQ(OpenPortDevice(settings), 0u);
}

TEST(NotASerialDevice, GivesFourWithTheHandleClosed) {
  char dir[MAX_PATH] = {};
  char path[MAX_PATH] = {};
  ASSERT_NE(GetTempPathA(MAX_PATH, dir), 0u);
  ASSERT_NE(GetTempFileNameA(dir, "zor", 0, path), 0u);  // creates the file
  SerialHandle handle = 0;
  EXPECT_EQ(SerialOpen(path, kLine, kHandshake, &handle), SerialNoLineState);
  ASSERT_NE(handle, kSerialInvalidHandle);
  // Closed already: the file can be deleted, and a second close fails.
  EXPECT_TRUE(DeleteFileA(path));
  EXPECT_EQ(SerialClose(handle), SerialIoFailed);
}

}  // namespace
