// End-to-end tests of the shipped zortw.dll under Wine: loaded with
// LoadLibrary (through the host library) and called through ZorMain with the
// standard calling convention, the stand-in KARVEL.dll beside it taking the
// log lines, its COM port mapped to the native simulator's pty by
// tests/e2e/run-wine-e2e.sh, which also relays the simulator's control
// socket to a TCP port. The tests run in order on one instance: the first
// pays for the full adapter configuration.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

#include "base/point_records.h"
#include "base/records.h"
#include "host/driver.h"
#include "tests/e2e/e2e_host.h"

extern "C" __declspec(dllimport) int KarvelLineCount();
extern "C" __declspec(dllimport) const char* KarvelLine(int index);
extern "C" __declspec(dllimport) int KarvelLevel(int index);
extern "C" __declspec(dllimport) void KarvelClear();

namespace {

using namespace e2e;

std::vector<std::string> Log() {
  std::vector<std::string> lines;
  for (int i = 0; i < KarvelLineCount(); ++i) {
    lines.push_back(std::to_string(KarvelLevel(i)) + " " + KarvelLine(i));
  }
  return lines;
}

std::string Line(const std::string& text) {
  return "32 ZOR07: TW: " + text;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// One control command over the TCP relay; its one-line answer.
std::string Control(const std::string& command) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return "error socket";
  DWORD limit = 5000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(Env("ZORTW_E2E_CONTROL_PORT").c_str())));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return "error connect";
  }
  const std::string text = command + "\n";
  send(s, text.data(), static_cast<int>(text.size()), 0);
  std::string answer;
  char c;
  while (answer.empty() || answer.back() != '\n') {
    if (recv(s, &c, 1, 0) != 1) break;
    answer += c;
  }
  closesocket(s);
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  return answer;
}

long Frames() {
  std::istringstream words(Control("stats"));
  std::string word;
  while (words >> word) {
    if (word.rfind("frames=", 0) == 0) return std::atol(word.c_str() + 7);
  }
  return -1;
}

void Reset() {
  KarvelClear();
  Control("stats reset");
}

class WineE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // The library stays loaded for the life of the process, as in a host.
    const zortw_host::Driver driver = zortw_host::LoadDriver("zortw.dll");
    if (driver.zorMain == nullptr) return;
    host_ = new Instance(driver.zorMain);
    Control("set 05 V 0064 = 1111 2222 3333 4444 0008 0007 00FF 0001");  // words and bits of words
    Control("set 05 X 0010 = 1 0 1 1");
    Control("set 0A F 0200 = 12345678 9ABCDEF0");
    KarvelClear();
    // The simulator starts unconfigured: the full configuration, 10 s.
    coldStart_ = host_->ColdStart(Env("ZORTW_E2E_COM"), 10);
  }
  static void TearDownTestSuite() {
    if (host_ != nullptr) host_->Call(ZOR_STOP);
    delete host_;
    host_ = nullptr;
    WSACleanup();
  }
  void SetUp() override {
    ASSERT_NE(host_, nullptr) << "zortw.dll or its ZorMain could not be loaded";
    ASSERT_NE(Env("ZORTW_E2E_COM"), "") << "run through tests/e2e/run-wine-e2e.sh";
  }

  PointAddress Define(const char* text, int32_t hostDataType = 0) {
    PointAddress address{};
    EXPECT_EQ(host_->Define(text, hostDataType, address), 0) << text;
    return address;
  }

  static Instance* host_;
  static int32_t coldStart_;
};

// portHandle is the HANDLE that CreateFileA gave: the process holds it, and
// the port's time-outs read through it are those the driver set (the reply
// time-out after the adapter configuration; writes bounded).
void ExpectTheComPortsHandle(uint32_t portHandle) {
  const HANDLE port = reinterpret_cast<HANDLE>(uintptr_t{portHandle});
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(port, &flags)) << GetLastError();
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts)) << GetLastError();
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);  // readTimeout 100
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_NE(timeouts.WriteTotalTimeoutConstant, 0u);
}

Instance* WineE2E::host_ = nullptr;
int32_t WineE2E::coldStart_ = -1;

TEST_F(WineE2E, ColdStartConfiguresTheAdapterOverTheComPort) {
  EXPECT_EQ(coldStart_, 0);
  EXPECT_EQ(Log(), std::vector<std::string>{Line("ColdStart(): TIWAY Driver loaded successfully")});
  EXPECT_EQ(Frames(), 5);  // 12, FF, the set-up, 11, 30
  EXPECT_EQ(host_->Context().readTimeout, 100);
  EXPECT_EQ(host_->Context().settings.handshake, 8);
  ExpectTheComPortsHandle(host_->Context().portHandle);
}

TEST_F(WineE2E, DefinitionsConnectAndBlockReadsOfWordsPlaceThem) {
  Reset();
  const PointAddress words = Define("05V0064");
  EXPECT_EQ(Control("connected"), "ok 05");
  HostArray three(4);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK, words, 3, three.data()), 0);
  EXPECT_EQ(three.Inside(), (std::vector<uint16_t>{0x1111, 0x2222, 0x3333, kGuard}));
  HostArray one(3);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK_UNCHECKED, words, 1, one.data()), 0);
  EXPECT_EQ(one.Inside(), (std::vector<uint16_t>{kGuard, 0x1111, kGuard}));
  EXPECT_EQ(Frames(), 3);  // the connect and two reads
  EXPECT_TRUE(three.GuardsIntact() && one.GuardsIntact());
  EXPECT_TRUE(Log().empty());
}

TEST_F(WineE2E, WordWriteTakesItsValuesFromData1On) {
  Reset();
  HostArray data(3);
  data[0] = 0xDEAD;
  data[1] = 0x0BB8;
  data[2] = 0x0FA0;
  EXPECT_EQ(host_->Transfer(ZOR_WRITE_BLOCK, Define("05V0100"), 2, data.data()), 0);
  EXPECT_EQ(Control("dump 05 V 00FF 4"), "ok 0000 0BB8 0FA0 0000");
  EXPECT_EQ(Frames(), 1);
}

TEST_F(WineE2E, SingleBitWriteReadsChangesAndWritesTheWord) {
  Reset();
  HostArray data(2);
  data[1] = 1;
  EXPECT_EQ(host_->Transfer(ZOR_WRITE_BLOCK, Define("05V006AA", 6), 1, data.data()), 0);
  EXPECT_EQ(Control("dump 05 V 006A"), "ok 04FF");
  EXPECT_EQ(Frames(), 2);  // the read of the word, then its write
  HostArray bit(3);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK, Define("05V006AA", 6), 1, bit.data()), 0);
  EXPECT_EQ(bit.Inside(), (std::vector<uint16_t>{kGuard, 1, kGuard}));
}

TEST_F(WineE2E, DiscretesReadIntoEverySecondWordAndWriteFromConsecutiveWords) {
  HostArray read(9);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK, Define("05X0010", 6), 4, read.data()), 0);
  constexpr uint16_t G = kGuard;
  EXPECT_EQ(read.Inside(), (std::vector<uint16_t>{G, 1, G, 0, G, 1, G, 1, G}));
  HostArray write(4);
  write[1] = 1;
  write[2] = 0;
  write[3] = 1;
  EXPECT_EQ(host_->Transfer(ZOR_WRITE_BLOCK, Define("05Y0040", 6), 3, write.data()), 0);
  EXPECT_EQ(Control("dump 05 Y 0040 4"), "ok 1 0 1 0");
}

TEST_F(WineE2E, FReadTakesFourWordsPerValue) {
  HostArray data(7);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK, Define("0AF0200"), 4, data.data()), 0);
  constexpr uint16_t G = kGuard;
  EXPECT_EQ(data.Inside(), (std::vector<uint16_t>{0x5678, 0x1234, G, G, 0xDEF0, 0x9ABC, G}));
}

TEST_F(WineE2E, BadChecksumsAreRetriedAndNeverReachTheArray) {
  const PointAddress words = Define("05V0064");
  Reset();
  ASSERT_EQ(Control("fault bad-checksum 2").rfind("ok", 0), 0u);
  HostArray data(4);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK, words, 3, data.data()), 0);
  EXPECT_EQ(data.Inside(), (std::vector<uint16_t>{0x1111, 0x2222, 0x3333, kGuard}));
  EXPECT_EQ(Frames(), 3);
  EXPECT_EQ(Log(), std::vector<std::string>(2, Line("CheckReply() bcc error")));

  Reset();
  ASSERT_EQ(Control("fault bad-checksum 3").rfind("ok", 0), 0u);
  HostArray untouched(4);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK, words, 3, untouched.data()), ZOR_REPLY_INVALID);
  EXPECT_EQ(untouched.Inside(), std::vector<uint16_t>(4, kGuard));
  EXPECT_EQ(Frames(), 3);
  EXPECT_EQ(Log(), std::vector<std::string>(3, Line("CheckReply() bcc error")));
}

TEST_F(WineE2E, WarmStartReconnectsAStationTheAdapterLost) {
  Define("0AV0001");
  ASSERT_EQ(Control("disconnect 0A"), "ok");
  Reset();
  EXPECT_EQ(host_->Call(ZOR_WARM_START), 0);
  EXPECT_EQ(Log(), std::vector<std::string>{Line("WarmStart(): ended successfully rc = 0")});
  EXPECT_EQ(Control("connected"), "ok 05 0A");
  EXPECT_EQ(Frames(), 3);  // 12, 06, 04 0A
}

TEST_F(WineE2E, PortCommandsCloseAndOpenTheComPort) {
  EXPECT_EQ(host_->Call(ZOR_CLOSE_PORT), 0);
  EXPECT_EQ(host_->Context().portHandle, 0u);
  EXPECT_EQ(host_->Call(ZOR_OPEN_PORT), 0);
  EXPECT_NE(host_->Context().portHandle, 0u);
  // A fresh open: the read time-out of a new port.
  const HANDLE port = reinterpret_cast<HANDLE>(uintptr_t{host_->Context().portHandle});
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
  HostArray data(3);
  EXPECT_EQ(host_->Transfer(ZOR_READ_BLOCK, Define("05V0064"), 1, data.data()), 0);
  EXPECT_EQ(data[1], 0x1111);
}

}  // namespace
