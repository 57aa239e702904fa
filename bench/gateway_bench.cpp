// tiway-gateway, measured: the poll cycle of a 500-word scan list against
// the line floor (with and without coalescing), and Modbus read latency
// from the cache at 1, 10 and 100 concurrent clients. The simulator paces
// its replies at the line's speed (--baud). Run: build/linux/bin/gateway_bench
#include <modbus/modbus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/sim_process.h"
#include "tests/gateway/gateway_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// 500 V words over stations 1, 2, 3: ranges of 10 words with gaps of 5, 20
// and 45 words in turn (the first two are worth reading through, the last
// is not), as holding registers of units 1, 2, 3.
std::string ScanConfig(const std::string& port, int baud) {
  std::string text =
      "[gateway]\nmax_clients = 200\nmax_clients_per_address = 200\nmax_connections_per_s = 0\n"
      "stats_interval_s = "
      "3600\n[[line]]\nname = \"l\"\n"
      "port = \"" +
      port + "\"\nbaud = " + std::to_string(baud) + "\n";
  const int gaps[] = {5, 20, 45};
  for (int station = 1; station <= 3; ++station) {
    text += "[[unit]]\nid = " + std::to_string(station) +
            "\nline = \"l\"\nstation = " + std::to_string(station) +
            "\npoll_ms = 0\nmax_age_ms = 60000\n";
    const int share = station < 3 ? 167 : 500 - 2 * 167;
    uint32_t element = 0x100, address = 0;
    for (int done = 0, i = 0; done < share; ++i) {
      const int n = std::min(10, share - done);
      text += "[[unit.holding]]\naddress = " + std::to_string(address) +
              "\ncount = " + std::to_string(n) + "\nv = " + std::to_string(element) + "\n";
      done += n;
      address += static_cast<uint32_t>(n);
      element += static_cast<uint32_t>(n + gaps[i % 3]);
    }
  }
  return text;
}

modbus_t* Connect(int port, int unit) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_set_slave(ctx, unit);
  modbus_set_response_timeout(ctx, 10, 0);
  if (modbus_connect(ctx) != 0) {
    modbus_free(ctx);
    return nullptr;
  }
  return ctx;
}

// Diagnostics registers of line 0: cycles (127-128), cycle ms (116-117),
// floor ms (118-119).
bool Diag(modbus_t* ctx, uint32_t& cycles, uint32_t& cycleMs, uint32_t& floorMs) {
  uint16_t r[32];
  if (modbus_read_input_registers(ctx, 100, 32, r) != 32) return false;
  cycleMs = (uint32_t{r[16]} << 16) | r[17];
  floorMs = (uint32_t{r[18]} << 16) | r[19];
  cycles = (uint32_t{r[27]} << 16) | r[28];
  return true;
}

struct Cycle {
  double measuredMs = 0, floorMs = 0;
  std::string plan;
  int reads = 0;  // per cycle, from the plan
};

// Starts the gateway, waits for two cycles, then times `count` cycles.
bool MeasureCycle(gwtest::GatewayProcess& gateway, const std::string& simPort, int baud,
                  bool coalesce, int count, Cycle& out) {
  std::vector<std::string> extra;
  if (!coalesce) extra.push_back("--no-coalesce");
  const std::string error =
      gateway.Start(TIWAY_GATEWAY_PATH, ZORTW_LIBRARY_PATH, ScanConfig(simPort, baud), extra);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  out.plan = gateway.Plan();
  const size_t colon = out.plan.find("): ");
  out.reads = colon == std::string::npos ? 0 : std::atoi(out.plan.c_str() + colon + 3);
  modbus_t* ctx = Connect(gateway.Port(), 247);
  if (ctx == nullptr) return false;
  uint32_t cycles = 0, cycleMs = 0, floorMs = 0;
  auto waitCycles = [&](uint32_t target, Clock::time_point& at) {
    const auto deadline = Clock::now() + 300s;
    while (Clock::now() < deadline) {
      if (Diag(ctx, cycles, cycleMs, floorMs) && cycles >= target) {
        at = Clock::now();
        return true;
      }
      std::this_thread::sleep_for(2ms);
    }
    return false;
  };
  Clock::time_point t0, t1;
  bool ok = waitCycles(2, t0);
  const uint32_t first = cycles;
  ok = ok && waitCycles(first + static_cast<uint32_t>(count), t1);
  out.measuredMs = std::chrono::duration<double, std::milli>(t1 - t0).count() / (cycles - first);
  out.floorMs = floorMs;
  modbus_close(ctx);
  modbus_free(ctx);
  return ok;
}

// Each of `clients` threads reads 10 holding registers of unit 1 `perClient`
// times: back to back (periodMs 0: the most the gateway can serve), or one
// request every periodMs, as a SCADA master polls.
bool MeasureLatency(int port, int clients, int perClient, int periodMs, double& p50, double& p99,
                    double& throughput) {
  std::vector<std::vector<double>> samples(static_cast<size_t>(clients));
  std::atomic<int> failures{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      modbus_t* ctx = Connect(port, 1);
      ready.fetch_add(1);
      if (ctx == nullptr) {
        failures.fetch_add(1);
        return;
      }
      while (!go) std::this_thread::yield();
      uint16_t regs[10];
      auto& mine = samples[static_cast<size_t>(c)];
      mine.reserve(static_cast<size_t>(perClient));
      const auto begin = Clock::now() + std::chrono::milliseconds(periodMs * c / clients);
      for (int i = 0; i < perClient; ++i) {
        if (periodMs > 0)
          std::this_thread::sleep_until(begin + std::chrono::milliseconds(periodMs) * i);
        const auto start = Clock::now();
        if (modbus_read_registers(ctx, 0, 10, regs) != 10) failures.fetch_add(1);
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      modbus_close(ctx);
      modbus_free(ctx);
    });
  }
  while (ready < clients) std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  if (all.empty()) return false;
  std::sort(all.begin(), all.end());
  p50 = all[all.size() / 2];
  p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  throughput = static_cast<double>(all.size()) / seconds;
  if (failures > 0) std::fprintf(stderr, "%d failed reads\n", failures.load());
  return failures == 0;
}

// The time `tiway-gateway --check` takes (reading, checking and planning,
// as systemd's ExecStartPre runs it) for `units` units of 64 tables each.
double PlanningSeconds(int units) {
  std::string text = "[[line]]\nname = \"a\"\nport = \"/dev/null\"\n";
  const char* kinds[] = {"holding", "input", "coil", "discrete"};
  const char* letters[] = {"v", "v", "y", "x"};
  for (int u = 1; u <= units; ++u) {
    text += "[[unit]]\nid = " + std::to_string(u == 247 ? 254 : u) +
            "\nline = \"a\"\nstation = " + std::to_string(u) + "\n";
    for (int t = 0; t < 64; ++t) {
      text += "[[unit." + std::string(kinds[t % 4]) + "]]\naddress = " + std::to_string(t * 10) +
              "\ncount = 8\n" + letters[t % 4] + " = " + std::to_string(1 + t * 12) +
              "\npoll_ms = " + std::to_string(t % 3 == 0 ? 500 : 1000) + "\n";
    }
  }
  char path[] = "/tmp/zortw-plan-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return -1;
  close(fd);
  std::ofstream(path) << text;
  const auto start = Clock::now();
  const std::string out =
      gwtest::Shell(std::string(TIWAY_GATEWAY_PATH) + " --check --config " + path + " | tail -1");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  unlink(path);
  return out.find("configuration ok") != std::string::npos ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int baud = argc > 1 ? std::atoi(argv[1]) : 19200;
  std::printf("planning (tiway-gateway --check), 64 tables per unit:\n");
  for (int units : {32, 64, 128, 253}) {
    std::printf("  %3d units  %6.3f s\n", units, PlanningSeconds(units));
  }
  std::printf("\n");
  e2e::SimProcess sim;
  const std::string simError = sim.Start(
      TIWAY_SIM_PATH, "", {"--configured", "--stations", "1-3", "--baud", std::to_string(baud)});
  if (!simError.empty()) {
    std::fprintf(stderr, "%s\n", simError.c_str());
    return 1;
  }
  std::printf("tiway-gateway benchmark: 500 V words over 3 stations with gaps, %d baud (paced)\n\n",
              baud);
  Cycle plain, merged;
  {
    gwtest::GatewayProcess gateway;
    if (!MeasureCycle(gateway, sim.Port(), baud, false, 3, plain)) return 1;
    gateway.Terminate();
  }
  gwtest::GatewayProcess gateway;
  if (!MeasureCycle(gateway, sim.Port(), baud, true, 5, merged)) return 1;
  const std::string& plan = merged.plan;
  const size_t summary = plan.find("  line time per cycle");
  std::printf(
      "%s\n",
      plan.substr(summary, plan.find('\n', plan.find('\n', summary) + 1) - summary).c_str());
  // The simulator paces only its replies: a pty carries the 30 characters
  // of each request at once, so its floor is lower by that much per read.
  const double charMs = 10000.0 / baud;
  std::printf(
      "poll cycle          reads   measured    line floor  ratio   floor of the     ratio\n"
      "                                                             paced replies\n");
  for (const Cycle* c : {&plain, &merged}) {
    const double replies = c->floorMs - c->reads * 30 * charMs;
    std::printf("%-19s %5d  %8.1f ms  %8.1f ms  %.3f  %8.1f ms      %.3f\n",
                c == &plain ? "without coalescing" : "with coalescing", c->reads, c->measuredMs,
                c->floorMs, c->measuredMs / c->floorMs, replies, c->measuredMs / replies);
  }
  std::printf("\n");

  std::printf(
      "Modbus read latency from the cache (10 holding registers of unit 1; clients in\n"
      "this process, on the same machine)\n");
  std::printf("clients  each polls   requests      p50        p99      requests/s\n");
  for (int periodMs : {20, 0}) {
    for (int clients : {1, 10, 100}) {
      double p50 = 0, p99 = 0, rate = 0;
      const int perClient = periodMs > 0 ? 200 : clients == 100 ? 200 : 10000 / clients;
      if (!MeasureLatency(gateway.Port(), clients, perClient, periodMs, p50, p99, rate)) return 1;
      std::printf("%5d    %-12s %8d   %7.3f ms  %7.3f ms  %9.0f\n", clients,
                  periodMs > 0 ? "every 20 ms" : "flat out", clients * perClient, p50, p99, rate);
    }
  }
  gateway.Terminate();
  return 0;
}
