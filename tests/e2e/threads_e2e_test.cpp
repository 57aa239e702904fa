// Many instances in one process: sixteen driver instances of libzortw.so,
// one thread each, each on its own pty against its own tiway-sim, starting
// up, defining points, reading and writing at the same time, while another
// thread hands the driver one log function after another. Built by the tsan
// preset too, where ThreadSanitizer watches every access.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "base/point_records.h"
#include "base/records.h"
#include "host/driver.h"
#include "tests/e2e/e2e_host.h"
#include "tests/e2e/sim_process.h"

namespace {

using namespace e2e;

constexpr int kInstances = 16;
constexpr int kRounds = 12;  // write, read back, bit write, discretes, F: per round
constexpr int kFaultEvery = 3;

std::atomic<long> g_linesA{0}, g_linesB{0};
int LogA(int, const char*, ...) {
  g_linesA.fetch_add(1);
  return 0;
}
int LogB(int, const char*, ...) {
  g_linesB.fetch_add(1);
  return 0;
}

struct Outcome {
  std::vector<std::string> failures;  // what went wrong, for the report
  long faults = 0;                    // faults injected: one log line each
};

// One instance's life on its own line.
void Drive(ZorMainFn zorMain, const SimProcess& sim, int n, Outcome& out) {
  const auto fail = [&](const std::string& what) { out.failures.push_back(what); };
  Instance host(zorMain);
  if (host.ColdStart(sim.Port()) != 0) return fail("ColdStart");
  const int station = n % 5 + 1;
  char text[16];
  PointAddress words{}, bit{}, discretes{}, floats{};
  std::snprintf(text, sizeof text, "%02XV%04X", station, 0x100 + 8 * n);
  if (host.Define(text, 0, words) != 0) return fail(std::string("define ") + text);
  std::snprintf(text, sizeof text, "%02XV%04X%X", station, 0x300 + n, n % 16);
  if (host.Define(text, 6, bit) != 0) return fail(std::string("define ") + text);
  std::snprintf(text, sizeof text, "%02XY%04X", station, 0x10 + 4 * n);
  if (host.Define(text, 6, discretes) != 0) return fail(std::string("define ") + text);
  std::snprintf(text, sizeof text, "%02XF%04X", station, 0x200 + 4 * n);
  if (host.Define(text, 0, floats) != 0) return fail(std::string("define ") + text);

  for (int round = 0; round < kRounds; ++round) {
    const std::string where = "instance " + std::to_string(n) + " round " + std::to_string(round);
    // Now and then a reply with a bad checksum: a retry and a log line.
    if (round % kFaultEvery == 0) {
      if (sim.Control("fault bad-checksum@read 1").rfind("ok", 0) != 0) return fail("fault");
      ++out.faults;
    }
    const auto value = static_cast<uint16_t>(0x1000 * (round % 16) + 0x10 * n + 1);
    HostArray out4(4);
    out4[1] = value;
    out4[2] = static_cast<uint16_t>(~value);
    out4[3] = static_cast<uint16_t>(n);
    if (host.Transfer(ZOR_WRITE_BLOCK, words, 3, out4.data()) != 0) fail(where + ": write");
    HostArray in4(4);
    if (host.Transfer(ZOR_READ_BLOCK, words, 3, in4.data()) != 0) fail(where + ": read");
    if (in4.Inside() != std::vector<uint16_t>{value, static_cast<uint16_t>(~value),
                                              static_cast<uint16_t>(n), kGuard}) {
      fail(where + ": read back wrong words");
    }
    HostArray flag(2);
    flag[1] = static_cast<uint16_t>(round & 1);
    if (host.Transfer(ZOR_WRITE_BLOCK, bit, 1, flag.data()) != 0) fail(where + ": bit write");
    HostArray flagIn(2);
    if (host.Transfer(ZOR_READ_BLOCK, bit, 1, flagIn.data()) != 0 || flagIn[1] != (round & 1)) {
      fail(where + ": bit read");
    }
    HostArray coils(3);
    coils[1] = static_cast<uint16_t>(round & 1);
    coils[2] = 1;
    HostArray coilsIn(5);
    if (host.Transfer(ZOR_WRITE_BLOCK, discretes, 2, coils.data()) != 0 ||
        host.Transfer(ZOR_READ_BLOCK, discretes, 2, coilsIn.data()) != 0 ||
        coilsIn.Inside() !=
            std::vector<uint16_t>{kGuard, static_cast<uint16_t>(round & 1), kGuard, 1, kGuard}) {
      fail(where + ": discretes");
    }
    HostArray f(2);
    f[0] = value;  // low word
    f[1] = static_cast<uint16_t>(n);
    HostArray fIn(4);
    if (host.Transfer(ZOR_WRITE_BLOCK, floats, 2, f.data()) != 0 ||
        host.Transfer(ZOR_READ_BLOCK, floats, 2, fIn.data()) != 0 ||
        fIn.Inside() != std::vector<uint16_t>{value, static_cast<uint16_t>(n), kGuard, kGuard}) {
      fail(where + ": F value");
    }
    for (const HostArray* a : {&out4, &in4, &flag, &flagIn, &coils, &coilsIn, &f, &fIn}) {
      if (!a->GuardsIntact()) fail(where + ": guard words");
    }
  }
  if (host.Call(ZOR_STOP) != 0) fail("Stop");
}

TEST(ManyInstances, SixteenThreadsEachOnItsOwnLine) {
  const zortw_host::Driver driver = zortw_host::LoadDriver(ZORTW_LIBRARY_PATH, &LogA);
  ASSERT_NE(driver.zorMain, nullptr) << driver.error;
  const ZorMainFn zorMain = driver.zorMain;
  const ZorSetLogFunctionFn setLog = driver.setLog;  // the hook changes hands during the run
  ASSERT_NE(setLog, nullptr);

  std::vector<std::unique_ptr<SimProcess>> sims;
  for (int n = 0; n < kInstances; ++n) {
    sims.push_back(std::make_unique<SimProcess>());
    sims.back()->trace = false;
    ASSERT_EQ(sims.back()->Start(TIWAY_SIM_PATH, "", {"--configured", "--stations", "1-5"}), "");
  }

  std::vector<Outcome> outcomes(kInstances);
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int n = 0; n < kInstances; ++n) {
    threads.emplace_back([&, n] {
      Drive(zorMain, *sims[n], n, outcomes[n]);
      finished.fetch_add(1);
    });
  }
  // The log hook changes hands while the instances log.
  long swaps = 0;
  while (finished.load() < kInstances) {
    setLog(swaps % 2 == 0 ? &LogB : &LogA);
    ++swaps;
    // Pacing, not waiting for anything: the loop's condition ends it.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  for (std::thread& thread : threads) thread.join();
  setLog(nullptr);

  long faults = 0;
  for (int n = 0; n < kInstances; ++n) {
    EXPECT_EQ(outcomes[n].failures, std::vector<std::string>{}) << "instance " << n;
    faults += outcomes[n].faults;
  }
  // One "loaded successfully" line per start-up and one line per bad
  // checksum, each through one of the two functions, none lost.
  EXPECT_EQ(g_linesA.load() + g_linesB.load(), kInstances + faults);
  EXPECT_GT(swaps, 1);
  for (const auto& sim : sims) EXPECT_EQ(sim->Stats()["bad"], 0);
}

}  // namespace
