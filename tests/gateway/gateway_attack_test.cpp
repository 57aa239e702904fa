// The real tiway-gateway under attack, loopback only: frames checked byte
// for byte on ONE connection (a desynchronised stream shows there), slots
// filled by idle, trickling and non-reading clients, writers flat out beside
// a reader, the serial device gone and back, SIGTERM with writes in flight.
// During each attack a well-behaved client reads every 10 ms; its latency
// is printed as a figure ("figure: ..."). Each attack lasts
// ZORTW_GW_ATTACK_SECONDS (default 3; scripts/gateway-attack.sh runs longer).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/sim_process.h"
#include "tests/gateway/gateway_process.h"
#include "tests/gateway/raw_client.h"
#include "tests/support/eventually.h"

namespace {

using test_support::Eventually;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using gwtest::Adu;
using gwtest::Hex;
using gwtest::RawClient;
using gwtest::ReadPdu;
using gwtest::WritePdu;
using Got = RawClient::Got;

const char* kSimData = R"(05 V 0064 = 0017 2710 00FF 0003
05 V 0080 = 8001
05 X 0010 = 1 0 1 1
05 Y 0020 = 0 1
0A V 0001 = 0BB8
05 V 0400 = 1111 2222 3333 4444 5555 6666 7777 8888
05 V 0500 = 0001 0000 0001 0001 0000 0000 0001 0000
05 X 0400 = 1 0 1 1 0 0 1 0 0 1 1 1 0 1 0 1
05 Y 0400 = 0 1 1 0 1 0 0 1 1 1 0 0 0 1 1 0
)";

const char* kTables = R"(holding = [{address = 0, count = 4, v = 0x64, writable = true}]
input = [{address = 0, count = 1, v = 0x80}]
coil = [{address = 0, count = 2, y = 0x20, writable = true}]
discrete = [{address = 0, count = 4, x = 0x10}]
[[unit]]
id = 2
line = "l1"
station = 0x0A
holding = [{address = 0, count = 1, v = 0x0001, writable = true}]
)";

std::chrono::seconds AttackTime() {
  const char* text = std::getenv("ZORTW_GW_ATTACK_SECONDS");
  return std::chrono::seconds(text != nullptr ? std::max(1, std::atoi(text)) : 3);
}

// A well-behaved client: one connection (a new one if it is closed), a read
// of holding registers 0-3 of unit 1 every 10 ms.
class Probe {
 public:
  explicit Probe(int port) : port_(port) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Probe() { Stop(); }
  void Stop() {
    go_ = false;
    if (thread_.joinable()) thread_.join();
  }
  struct Figures {
    size_t requests = 0, failed = 0;
    double p50 = 0, p99 = 0, max = 0;
    std::string failures;  // how the failed ones failed
  };
  Figures Result() {
    Stop();
    Figures f;
    f.requests = ms_.size() + failed_;
    f.failed = failed_;
    f.failures = failures_;
    if (!ms_.empty()) {
      std::sort(ms_.begin(), ms_.end());
      f.p50 = ms_[ms_.size() / 2];
      f.p99 = ms_[std::min(ms_.size() - 1, ms_.size() * 99 / 100)];
      f.max = ms_.back();
    }
    return f;
  }
  static void Print(const std::string& attack, const Figures& f) {
    std::printf(
        "figure: %-28s requests %6zu  failed %4zu  p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms%s\n",
        attack.c_str(), f.requests, f.failed, f.p50, f.p99, f.max, f.failures.c_str());
    std::fflush(stdout);
  }

 private:
  void Run() {
    std::unique_ptr<RawClient> client;
    uint16_t tid = 0;
    while (go_) {
      if (!client || !client->Connected()) client = std::make_unique<RawClient>(port_);
      std::vector<uint8_t> answer;
      double ms = 0;
      const uint16_t t = ++tid;
      const Got got = client->Ask(Adu(t, 1, ReadPdu(3, 0, 4)), answer, &ms);
      if (got == Got::Frame && answer.size() == 17 && answer[0] == (t >> 8) &&
          answer[1] == (t & 0xFF) && answer[7] == 3) {
        ms_.push_back(ms);
      } else {
        ++failed_;
        if (failures_.size() < 200) {
          failures_ += got == Got::Closed   ? " closed"
                       : got == Got::Silent ? " silent"
                                            : " answer " + Hex(answer);
        }
        if (got != Got::Frame) client.reset();
      }
      std::this_thread::sleep_for(10ms);  // the client's own pace, not a synchronisation
    }
  }
  int port_;
  std::atomic<bool> go_{true};
  std::vector<double> ms_;
  size_t failed_ = 0;
  std::string failures_;
  std::thread thread_;
};

class GatewayAttack : public ::testing::Test {
 protected:
  // The gateway on its own link to the simulator's pty (so the device can
  // go and come back under the same name).
  void Launch(const std::string& gatewayKeys, const std::string& lineKeys = "", int pollMs = 200,
              int maxAgeMs = 4000, const std::string& tables = kTables,
              std::vector<std::string> simArgs = {}) {
    simArgs.insert(simArgs.end(), {"--configured", "--stations", "5,10"});
    ASSERT_EQ(sim_.Start(TIWAY_SIM_PATH, kSimData, simArgs), "");
    char link[] = "/tmp/XXXXXX";
    const int held = mkstemp(link);
    ASSERT_GE(held, 0);
    close(held);
    unlink(link);
    link_ = link;
    PointLinkAtSim();
    const std::string config = "[gateway]\nstats_interval_s = 3600\n" + gatewayKeys +
                               "[[line]]\nname = \"l1\"\nport = \"" + link_ + "\"\ninstance = 3\n" +
                               lineKeys + "[[unit]]\nid = 1\nline = \"l1\"\nstation = 5\n" +
                               "poll_ms = " + std::to_string(pollMs) +
                               "\nmax_age_ms = " + std::to_string(maxAgeMs) + "\n" + tables;
    ASSERT_EQ(gateway_.Start(TIWAY_GATEWAY_PATH, ZORTW_LIBRARY_PATH, config), "");
    ASSERT_TRUE(Eventually([&] { return Good(); })) << gateway_.Log();
  }
  void TearDown() override {
    if (!link_.empty()) unlink(link_.c_str());
  }
  void PointLinkAtSim() {
    char target[256] = {};
    const ssize_t n = readlink(sim_.Port().c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    unlink(link_.c_str());
    ASSERT_EQ(symlink(target, link_.c_str()), 0);
  }
  // A read of unit 1 on a connection of its own is answered with values.
  bool Good() {
    RawClient c(gateway_.Port());
    std::vector<uint8_t> answer;
    return c.Ask(Adu(1, 1, ReadPdu(3, 0, 4)), answer) == Got::Frame && answer.size() == 17;
  }
  // Registers of the diagnostics unit (247).
  std::vector<uint16_t> Diag(uint16_t address, uint16_t count) {
    RawClient c(gateway_.Port());
    std::vector<uint8_t> a;
    std::vector<uint16_t> out;
    if (c.Ask(Adu(9, 247, ReadPdu(4, address, count)), a) != Got::Frame ||
        a.size() != 9u + 2 * count) {
      return out;
    }
    for (uint16_t i = 0; i < count; ++i)
      out.push_back(static_cast<uint16_t>((a[9 + 2 * i] << 8) | a[10 + 2 * i]));
    return out;
  }

  e2e::SimProcess sim_;
  gwtest::GatewayProcess gateway_;
  std::string link_;
};

// Every function code once, each followed by a valid read on the same
// connection; malformed MBAP headers; pipelined requests; exact bytes back.
TEST_F(GatewayAttack, FramesOnOneConnection) {
  // 128 new connections as fast as the codes 0x80 and up close them: no connection rate.
  Launch("max_connections_per_s = 0\n");
  const int port = gateway_.Port();
  auto valid = [](uint16_t tid) { return Adu(tid, 1, ReadPdu(3, 0, 2)); };
  const std::string validAnswer = "0000000701030400172710";  // after the transaction id
  size_t closedCodes = 0;
  auto client = std::make_unique<RawClient>(port);
  for (int fc = 0; fc < 256; ++fc) {
    // Unit 99 is not configured: functions 1-4 and 6 are served as far as
    // the unit (0x0A); the body 00 00 00 01 is an illegal value for 5
    // (coil value 0001) and 15, 16 (no byte count).
    const uint16_t tid = static_cast<uint16_t>(0x1000 + fc);
    std::vector<uint8_t> both = Adu(tid, 99, {static_cast<uint8_t>(fc), 0, 0, 0, 1});
    const std::vector<uint8_t> next = valid(static_cast<uint16_t>(0x2000 + fc));
    both.insert(both.end(), next.begin(), next.end());
    ASSERT_TRUE(client->Send(both)) << fc;
    std::vector<uint8_t> first, second;
    if (fc >= 0x80) {
      // No well-formed exception exists: the connection is closed, and the
      // read behind it is never answered.
      EXPECT_TRUE(client->ClosedWithin(5s)) << fc;
      ++closedCodes;
      client = std::make_unique<RawClient>(port);
      continue;
    }
    ASSERT_EQ(client->Receive(first), Got::Frame) << fc;
    const uint8_t code = (fc >= 1 && fc <= 4) || fc == 6   ? 0x0A
                         : fc == 5 || fc == 15 || fc == 16 ? 0x03
                                                           : 0x01;
    char expected[40];
    std::snprintf(expected, sizeof expected, "%04x00000003%02x%02x%02x", tid, 99, fc | 0x80, code);
    EXPECT_EQ(Hex(first), expected) << fc;
    ASSERT_EQ(client->Receive(second), Got::Frame) << fc;
    char head[8];
    std::snprintf(head, sizeof head, "%04x", 0x2000 + fc);
    EXPECT_EQ(Hex(second), std::string(head) + validAnswer) << fc;
  }
  EXPECT_EQ(closedCodes, 128u);

  // Pipelined: ten requests in one send, ten answers in order.
  client = std::make_unique<RawClient>(port);
  std::vector<uint8_t> burst;
  for (uint16_t t = 1; t <= 10; ++t) {
    const std::vector<uint8_t> one = t == 5   ? Adu(t, 2, WritePdu(0, 0x0BB9))
                                     : t == 7 ? Adu(t, 1, ReadPdu(3, 9, 1))
                                              : valid(t);
    burst.insert(burst.end(), one.begin(), one.end());
  }
  ASSERT_TRUE(client->Send(burst));
  for (uint16_t t = 1; t <= 10; ++t) {
    std::vector<uint8_t> a;
    ASSERT_EQ(client->Receive(a), Got::Frame) << t;
    char head[8];
    std::snprintf(head, sizeof head, "%04x", t);
    const std::string expected = t == 5   ? std::string(head) + "00000006020600000bb9"
                                 : t == 7 ? std::string(head) + "00000003018302"
                                          : std::string(head) + validAnswer;
    EXPECT_EQ(Hex(a), expected) << t;
  }
  EXPECT_EQ(sim_.Control("dump 0A V 0001"), "ok 0BB9");

  // A read with two extra bytes declared in its length: one answer (0x03),
  // and the stream stays in step.
  std::vector<uint8_t> padded = {0xAA, 0xBB, 0, 0, 0, 8, 1, 3, 0, 0, 0, 2, 0xAA, 0xBB};
  const std::vector<uint8_t> after = valid(0x0CCC);
  padded.insert(padded.end(), after.begin(), after.end());
  ASSERT_TRUE(client->Send(padded));
  std::vector<uint8_t> a;
  ASSERT_EQ(client->Receive(a), Got::Frame);
  EXPECT_EQ(Hex(a),
            "aabb000000030183"
            "03");
  ASSERT_EQ(client->Receive(a), Got::Frame);
  EXPECT_EQ(Hex(a), "0ccc" + validAnswer);
  // FC16 with 124 registers (as many data bytes as fit in a frame): 0x03.
  std::vector<uint8_t> fc16 = {0x10, 0, 0, 0, 124, 248};
  fc16.resize(fc16.size() + 246, 0);
  ASSERT_EQ(client->Ask(Adu(0x16, 1, fc16), a), Got::Frame);
  EXPECT_EQ(Hex(a),
            "0016000000030190"
            "03");
  // A read over a mapped and an unmapped address: 0x02.
  ASSERT_EQ(client->Ask(Adu(0x17, 1, ReadPdu(3, 2, 4)), a), Got::Frame);
  EXPECT_EQ(Hex(a),
            "0017000000030183"
            "02");

  // Headers that are not Modbus TCP close the connection.
  const std::vector<std::vector<uint8_t>> bad = {
      {0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1},        // protocol id 1
      {0, 1, 0xFF, 0xFF, 0, 6, 1, 3, 0, 0, 0, 1},  // protocol id 0xFFFF
      {0, 1, 0, 0, 0, 1, 1},                       // length 1
      {0, 1, 0, 0, 0, 255, 1, 3},                  // length 255
      {0, 1, 0, 0, 0x01, 0xF4, 1, 0x10},           // length 500
  };
  for (const std::vector<uint8_t>& frame : bad) {
    RawClient c(port);
    ASSERT_TRUE(c.Send(frame));
    EXPECT_TRUE(c.ClosedWithin(5s)) << Hex(frame);
  }
  EXPECT_TRUE(gateway_.Alive());
  EXPECT_TRUE(Good());
}

// Idle, trickling and non-reading clients fill every slot; a well-behaved
// client is served throughout and a new client gets in.
TEST_F(GatewayAttack, FullSlotsStillServe) {
  Launch(
      "max_clients = 16\nmax_clients_per_address = 12\nidle_timeout_s = 2\n"
      "request_timeout_ms = 1000\n");
  const int port = gateway_.Port();
  {
    Probe probe(port);
    std::this_thread::sleep_for(AttackTime());  // the attack's length, measured by the probe
    Probe::Print("none", probe.Result());
  }

  // 1. Idle connections in every slot (from another address), then a new
  // client: served. The idle ones are closed after idle_timeout_s.
  {
    Probe probe(port);
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 16; ++i) {
      idle.push_back(std::make_unique<RawClient>(port, i % 2 ? "127.0.0.2" : "127.0.0.12"));
    }
    RawClient fresh(port);
    std::vector<uint8_t> a;
    EXPECT_EQ(fresh.Ask(Adu(1, 1, ReadPdu(3, 0, 4)), a), Got::Frame);
    EXPECT_EQ(a.size(), 17u);
    std::this_thread::sleep_for(AttackTime());
    const Probe::Figures f = probe.Result();
    Probe::Print("16 idle connections", f);
    EXPECT_EQ(f.failed, 0u);
    EXPECT_TRUE(idle.back()->ClosedWithin(30s));
  }
  // 2. Tricklers: one byte every 300 ms; each is closed once its request
  // takes longer than request_timeout_ms.
  {
    Probe probe(port);
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 16; ++i) {
      slow.push_back(std::make_unique<RawClient>(port, i % 2 ? "127.0.0.3" : "127.0.0.13"));
    }
    const std::vector<uint8_t> frame = Adu(1, 1, ReadPdu(3, 0, 4));
    const auto end = Clock::now() + AttackTime();
    size_t sent = 0;
    bool allClosed = false;
    while (Clock::now() < end || !allClosed) {
      allClosed = true;
      for (auto& c : slow) {
        std::vector<uint8_t> a;
        if (c->Receive(a, 1ms) == Got::Closed) continue;
        allClosed = false;
        c->Send({frame[sent % frame.size()]});
      }
      ++sent;
      if (Clock::now() > end + 30s) break;
      std::this_thread::sleep_for(300ms);  // the trickle's pace
    }
    const Probe::Figures f = probe.Result();
    Probe::Print("16 tricklers", f);
    EXPECT_EQ(f.failed, 0u);
    EXPECT_TRUE(allClosed) << gateway_.Log() << " open " << Diag(5, 1).at(0) << " sent " << sent;
  }
  // 3. Clients of one host that pipeline reads and never read the answers:
  // held to the address's limit (12), nothing more read from them once
  // their answers wait, and closed when they take none in time. (Connections with answers in flight
  // are not idle and do not give way: were every slot held by them, a new client would be refused
  // until they are closed; the per-address limit keeps one host from doing that.)
  {
    Probe probe(port);
    std::vector<std::unique_ptr<RawClient>> deaf;
    std::vector<uint8_t> many;
    for (int i = 0; i < 400; ++i) {
      const std::vector<uint8_t> one = Adu(static_cast<uint16_t>(i), 1, ReadPdu(3, 0, 4));
      many.insert(many.end(), one.begin(), one.end());
    }
    for (int i = 0; i < 16; ++i) deaf.push_back(std::make_unique<RawClient>(port, "127.0.0.4"));
    const auto end = Clock::now() + AttackTime();
    size_t closed = 0;
    while (Clock::now() < end || closed < deaf.size()) {
      closed = 0;
      for (auto& c : deaf) closed += c->Send(many) ? 0 : 1;
      if (Clock::now() > end + 60s) break;
    }
    const Probe::Figures f = probe.Result();
    Probe::Print("16 clients never reading", f);
    EXPECT_EQ(f.failed, 0u);
    EXPECT_EQ(closed, deaf.size());
  }
  // Registers 6-9: refused, closed by the gateway: every attacker's
  // connection is one or the other.
  const std::vector<uint16_t> counts = Diag(6, 4);
  ASSERT_EQ(counts.size(), 4u);
  EXPECT_GE(counts[1] + counts[3], 16 + 16 + 16);
  EXPECT_TRUE(gateway_.Alive());
}

// The process's CPU time so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Under a descriptor limit of 32, 40 connections that send nothing: the
// accept loop does not spin, and new clients are still served (an idle
// connection gives way when no descriptor is left).
TEST_F(GatewayAttack, OutOfDescriptorsNeitherSpinsNorShutsOut) {
  gateway_.wrapper = {"/usr/bin/prlimit", "--nofile=32", "--"};
  Launch("max_clients = 64\nmax_clients_per_address = 64\n");
  const int port = gateway_.Port();
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (int i = 0; i < 40; ++i) crowd.push_back(std::make_unique<RawClient>(port, "127.0.0.8"));
  const double cpu = CpuSeconds(gateway_.Pid());
  const auto start = Clock::now();
  Probe probe(port);
  std::this_thread::sleep_for(AttackTime());
  const Probe::Figures f = probe.Result();
  const double used = CpuSeconds(gateway_.Pid()) - cpu;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  Probe::Print("descriptors exhausted", f);
  std::printf("figure: gateway CPU %.2f s in %.2f s with descriptors exhausted\n", used, elapsed);
  EXPECT_EQ(f.failed, 0u);
  EXPECT_LT(used, 0.5 * elapsed);  // a spinning loop takes a whole core
  EXPECT_NE(gateway_.Log().find("no file descriptor left"), std::string::npos) << gateway_.Log();
  EXPECT_TRUE(gateway_.Alive());
}

// One address at its limit: its own oldest idle connection gives way; the
// other address's connections stay.
TEST_F(GatewayAttack, PerAddressLimit) {
  Launch("max_clients = 16\nmax_clients_per_address = 4\n");
  const int port = gateway_.Port();
  std::vector<std::unique_ptr<RawClient>> mine, theirs;
  std::vector<uint8_t> a;
  for (int i = 0; i < 3; ++i) {
    mine.push_back(std::make_unique<RawClient>(port, "127.0.0.5"));
    ASSERT_EQ(mine.back()->Ask(Adu(1, 1, ReadPdu(3, 0, 4)), a), Got::Frame);
  }
  for (int i = 0; i < 6; ++i) {
    theirs.push_back(std::make_unique<RawClient>(port, "127.0.0.6"));
    ASSERT_EQ(theirs.back()->Ask(Adu(1, 1, ReadPdu(3, 0, 4)), a), Got::Frame) << i;
  }
  EXPECT_TRUE(theirs[0]->ClosedWithin(10s));
  EXPECT_TRUE(theirs[1]->ClosedWithin(10s));
  for (auto& c : mine) EXPECT_EQ(c->Ask(Adu(2, 1, ReadPdu(3, 0, 4)), a), Got::Frame);
  for (size_t i = 2; i < theirs.size(); ++i) {
    EXPECT_EQ(theirs[i]->Ask(Adu(2, 1, ReadPdu(3, 0, 4)), a), Got::Frame) << i;
  }
}

// 64 clients of one host that reconnect the moment they are closed, first
// with no connection rate (for the figure), then with the default one:
// beyond it they are closed at once, and a well-behaved client (another
// address) is served throughout.
TEST_F(GatewayAttack, ReconnectStorm) {
  Launch("max_connections_per_s = 0\n");
  const int port = gateway_.Port();
  const auto refused = [&] {
    const std::vector<uint16_t> r = Diag(6, 2);
    return r.size() == 2 ? (uint32_t{r[0]} << 16) | r[1] : 0u;
  };
  for (const char* limit : {"no connection rate", "max_connections_per_s 100"}) {
    if (limit[0] == 'm') {  // the file's default rate, by a reload
      std::ifstream in(gateway_.ConfigPath());
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      text.erase(text.find("max_connections_per_s = 0\n"), 26);
      std::ofstream(gateway_.ConfigPath()) << text;
      gateway_.Signal(SIGHUP);
      ASSERT_TRUE(Eventually([&] { return gateway_.Log().find("reload:") != std::string::npos; }));
    }
    const uint32_t refusedBefore = refused();
    const double cpu = CpuSeconds(gateway_.Pid());
    Probe probe(port);
    std::atomic<bool> go{true};
    std::atomic<size_t> connects{0};
    std::vector<std::thread> storm;
    for (int i = 0; i < 64; ++i) {
      storm.emplace_back([&] {
        while (go) {
          RawClient c(port, "127.0.0.9");
          if (!c.Connected()) continue;
          ++connects;
          while (go && !c.ClosedWithin(100ms)) {
          }
        }
      });
    }
    std::this_thread::sleep_for(AttackTime());  // the attack's length, measured by the probe
    const Probe::Figures f = probe.Result();
    go = false;
    for (std::thread& t : storm) t.join();
    Probe::Print(std::string("64 reconnecting, ") + limit, f);
    std::printf("figure: %zu connects, gateway CPU %.2f s\n", connects.load(),
                CpuSeconds(gateway_.Pid()) - cpu);
    EXPECT_EQ(f.failed, 0u) << limit;
    EXPECT_TRUE(Good()) << limit;
    if (limit[0] == 'm') {
      EXPECT_GT(refused(), refusedBefore);
      EXPECT_TRUE(Eventually([&] {
        return gateway_.Log().find("connections over max_connections_per_s in the last second") !=
               std::string::npos;
      })) << gateway_.Log();
    }
  }
}

// Four writers flat out beside a reader: every table is still read within
// twice its period, so values never pass max_age_ms (2 x poll_ms here) and
// the reader never gets 0x0B.
TEST_F(GatewayAttack, FourWritersBesideAReader) {
  Launch("", "", 1000, 2000);
  const int port = gateway_.Port();
  std::atomic<bool> go{true};
  std::atomic<size_t> writes{0}, writeFailures{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      RawClient c(port);
      std::vector<uint8_t> a;
      for (uint16_t v = 1; go; ++v) {
        const auto request = w == 3 ? Adu(v, 2, WritePdu(0, v))
                                    : Adu(v, 1, WritePdu(static_cast<uint16_t>(w + 1), v));
        if (c.Ask(request, a) == Got::Frame && a.size() == 12) {
          ++writes;
        } else {
          ++writeFailures;
        }
      }
    });
  }
  Probe probe(port);
  // At least three max_age_ms periods, so a starved poll would show.
  std::this_thread::sleep_for(std::max<std::chrono::seconds>(AttackTime(), 6s));
  const Probe::Figures f = probe.Result();
  go = false;
  for (std::thread& t : writers) t.join();
  Probe::Print("4 writers flat out", f);
  std::printf("figure: writes carried out %zu, failed %zu\n", writes.load(), writeFailures.load());
  EXPECT_EQ(f.failed, 0u);
  EXPECT_GT(writes.load(), 20u);
  EXPECT_EQ(writeFailures.load(), 0u);
}

// The simulator (the device) dies and another comes up on the same name:
// the line is reported down, writes are answered 0x0B at once and never
// carried out later, and good values come back by themselves.
TEST_F(GatewayAttack, DeviceGoneAndBack) {
  Launch("", "", 200, 3000);
  const int port = gateway_.Port();
  RawClient c(port);
  std::vector<uint8_t> a;
  sim_.Stop();
  const auto gone = Clock::now();
  ASSERT_TRUE(Eventually([&] {
    const std::vector<uint16_t> phase = Diag(100 + 22, 1);
    return phase.size() == 1 && phase[0] == 3;
  })) << gateway_.Log();
  std::printf("figure: line reported down %.1f s after the device went\n",
              std::chrono::duration<double>(Clock::now() - gone).count());
  EXPECT_EQ(c.Ask(Adu(1, 1, ReadPdu(3, 0, 4)), a), Got::Frame);
  EXPECT_EQ(Hex(a),
            "000100000003018"
            "30b");
  double ms = 0;
  ASSERT_EQ(c.Ask(Adu(2, 1, WritePdu(0, 0x7777)), a, &ms), Got::Frame);
  EXPECT_EQ(Hex(a),
            "000200000003018"
            "60b");
  std::printf("figure: a write while the line is down answered 0x0B in %.3f ms\n", ms);
  EXPECT_NE(gateway_.Log().find("line l1: down"), std::string::npos) << gateway_.Log();

  ASSERT_EQ(sim_.Start(TIWAY_SIM_PATH, kSimData, {"--configured", "--stations", "5,10"}), "");
  PointLinkAtSim();
  const auto back = Clock::now();
  ASSERT_TRUE(Eventually(
      [&] { return c.Ask(Adu(3, 1, ReadPdu(3, 0, 4)), a) == Got::Frame && a.size() == 17; }, 120s))
      << gateway_.Log();
  std::printf("figure: good values %.1f s after the device returned\n",
              std::chrono::duration<double>(Clock::now() - back).count());
  // The write refused while the line was down never reached the controller.
  EXPECT_EQ(sim_.Control("dump 05 V 0064"), "ok 0017");
  ASSERT_EQ(c.Ask(Adu(4, 1, WritePdu(0, 0x0018)), a), Got::Frame);
  EXPECT_EQ(Hex(a), "000400000006010600000018");
  EXPECT_EQ(sim_.Control("dump 05 V 0064"), "ok 0018");
  EXPECT_GE(Diag(100 + 31, 1).at(0), 1);  // times down
}

// Late replies (1.5 s, one read reply in four) on blocks of alike shapes: 8 V
// words, 8 V words holding 0s and 1s, 16 X and 16 Y discretes. Whatever the
// line does, a value served is the controller's value at that address.
TEST_F(GatewayAttack, LateRepliesNeverGiveWrongValues) {
  Launch("", "", 0, 10000, R"(input = [{address = 0, count = 8, v = 0x400}]
holding = [{address = 0, count = 8, v = 0x500}]
discrete = [{address = 0, count = 16, x = 0x400}]
coil = [{address = 0, count = 16, y = 0x400}]
)",
         {"--fault-rate", "delay=1500@read:0.25", "--seed", "7"});
  const int port = gateway_.Port();
  struct Read {
    uint8_t function;
    std::vector<uint8_t> values;  // the answer's data bytes
  };
  const Read reads[] = {
      {4,
       {0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88,
        0x88}},
      {3, {0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0}},
      {2, {0x4D, 0xAE}},  // X 0400.. 1 0 1 1 0 0 1 0 | 0 1 1 1 0 1 0 1, low bit first
      {1, {0x96, 0x63}},  // Y 0400.. 0 1 1 0 1 0 0 1 | 1 1 0 0 0 1 1 0
  };
  RawClient c(port);
  size_t good = 0, stale = 0, wrong = 0;
  const auto end = Clock::now() + std::max<std::chrono::seconds>(AttackTime(), 10s);
  for (uint16_t t = 1; Clock::now() < end; ++t) {
    const Read& r = reads[t % 4];
    std::vector<uint8_t> a;
    ASSERT_EQ(c.Ask(Adu(t, 1, ReadPdu(r.function, 0, r.function <= 2 ? 16 : 8)), a), Got::Frame);
    if (a.size() == 9 && a[7] == (r.function | 0x80) && a[8] == 0x0B) {
      ++stale;
    } else if (a.size() > 9 && a[7] == r.function &&
               std::vector<uint8_t>(a.begin() + 9, a.end()) == r.values) {
      ++good;
    } else {
      ++wrong;
      ADD_FAILURE() << "function " << int(r.function) << ": " << Hex(a);
    }
    std::this_thread::sleep_for(5ms);  // the client's pace
  }
  const long late = sim_.Stats()["faulted"];
  std::printf(
      "figure: late replies (1.5 s, %ld of the line's reads): %zu good, %zu 0x0B, %zu "
      "wrong\n",
      late, good, stale, wrong);
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(good, 0u);
  EXPECT_GT(late, 0) << sim_.Control("stats");
}

// SIGTERM while four clients write flat out: each client gets the answer to
// every write the gateway took, or sees its connection closed before the
// write was taken; the controller holds exactly the last acknowledged value.
TEST_F(GatewayAttack, SigtermWithWritesInFlight) {
  Launch("");
  const int port = gateway_.Port();
  struct Writer {
    uint16_t lastAcked = 0;
    size_t acked = 0, refused = 0;
    bool closed = false, silent = false, malformed = false;
  };
  std::vector<Writer> state(4);
  const uint16_t initial[4] = {0x0017, 0x2710, 0x00FF, 0x0003};
  for (int w = 0; w < 4; ++w) state[static_cast<size_t>(w)].lastAcked = initial[w];
  std::atomic<int> ready{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      Writer& me = state[static_cast<size_t>(w)];
      RawClient c(port);
      std::vector<uint8_t> a;
      for (uint16_t v = 0x100;; ++v) {
        const Got got = c.Ask(Adu(v, 1, WritePdu(static_cast<uint16_t>(w), v)), a);
        if (got == Got::Closed) {
          me.closed = true;
          return;
        }
        if (got == Got::Silent) {
          me.silent = true;
          return;
        }
        if (a.size() == 12 && a[7] == 6 && a[0] == (v >> 8) && a[1] == (v & 0xFF)) {
          me.lastAcked = v;
          if (++me.acked == 20) ++ready;
        } else if (a.size() == 9 && a[7] == 0x86 && a[8] == 0x0B) {
          ++me.refused;
        } else {
          me.malformed = true;
          return;
        }
      }
    });
  }
  ASSERT_TRUE(Eventually([&] { return ready.load() == 4; }));
  EXPECT_EQ(gateway_.Terminate(), 0) << gateway_.Log();
  for (std::thread& t : writers) t.join();
  char expected[40];
  std::snprintf(expected, sizeof expected, "ok %04X %04X %04X %04X", state[0].lastAcked,
                state[1].lastAcked, state[2].lastAcked, state[3].lastAcked);
  EXPECT_EQ(sim_.Control("dump 05 V 0064 4"), expected);
  for (const Writer& w : state) {
    EXPECT_TRUE(w.closed);
    EXPECT_FALSE(w.silent);
    EXPECT_FALSE(w.malformed);
  }
}

}  // namespace
