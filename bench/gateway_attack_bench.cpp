// tiway-gateway under clients that never read: 64 clients from 64 loopback
// addresses pipeline Modbus reads without ever reading an answer and
// connect again the moment they are closed, while one well-behaved client
// reads 10 holding registers every 20 ms. Prints the well-behaved client's
// latency, the gateway's CPU time and what it spent it on (connections
// accepted, requests answered), per connection and per request.
//
// Run: build/linux/bin/gateway_attack_bench [SECONDS] [ATTACKERS]
// (TIWAY_GATEWAY=PATH measures another build of the gateway.)
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/sim_process.h"
#include "tests/gateway/gateway_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Config(const std::string& port, int metricsPort) {
  // Room for every attacker and the measuring client; the default rate of
  // new connections per address (100 a second) stays.
  return "[gateway]\nmax_clients = 128\nstats_interval_s = 3600\nmetrics = \"127.0.0.1:" +
         std::to_string(metricsPort) +
         "\"\n"
         "[[line]]\nname = \"l\"\nport = \"" +
         port +
         "\"\n[[unit]]\nid = 1\nline = \"l\"\nstation = 1\npoll_ms = 200\nmax_age_ms = 60000\n"
         "[[unit.holding]]\naddress = 0\ncount = 10\nv = 0x100\n";
}

// The gateway's CPU time (user + system) in seconds, from /proc.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A counter of the gateway's Prometheus text, summed over its labels.
double MetricSum(const std::string& text, const std::string& name) {
  double sum = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(name, 0) != 0) continue;
    const char next = line.size() > name.size() ? line[name.size()] : ' ';
    if (next != ' ' && next != '{') continue;
    sum += std::atof(line.c_str() + line.rfind(' ') + 1);
  }
  return sum;
}

std::string Metrics(int port) {
  return gwtest::Shell("curl -s --max-time 5 http://127.0.0.1:" + std::to_string(port) +
                       "/metrics");
}

// One client that never reads: from 127.0.0.(10 + index), writes pipelined
// reads of 10 registers until the gateway closes it, then connects again.
void NonReader(int gatewayPort, int index, const std::atomic<bool>& stop,
               std::atomic<uint64_t>& connects, std::atomic<uint64_t>& sent) {
  std::vector<uint8_t> burst;
  for (int i = 0; i < 64; ++i) {
    const uint8_t frame[] = {
        static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0, 0, 0, 6, 1, 3, 0, 0, 0, 10};
    burst.insert(burst.end(), frame, frame + sizeof frame);
  }
  sockaddr_in local{}, remote{};
  local.sin_family = remote.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(0x7F000000u + 10u + static_cast<uint32_t>(index));
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  remote.sin_port = htons(static_cast<uint16_t>(gatewayPort));
  while (!stop) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return;
    const timeval timeout{10, 0};  // longer than the gateway waits for a reader
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      close(fd);
      std::this_thread::sleep_for(1ms);  // refused: the gateway's rate limit; try again
      continue;
    }
    connects.fetch_add(1);
    while (!stop) {
      const ssize_t n = send(fd, burst.data(), burst.size(), MSG_NOSIGNAL);
      if (n <= 0) break;  // closed by the gateway
      sent.fetch_add(static_cast<uint64_t>(n) / 12);
    }
    close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const int attackers = argc > 2 ? std::atoi(argv[2]) : 64;
  // TIWAY_GATEWAY: another build of the gateway to measure (an earlier one, say).
  const char* other = std::getenv("TIWAY_GATEWAY");
  const std::string gatewayPath = other != nullptr ? other : TIWAY_GATEWAY_PATH;
  e2e::SimProcess sim;
  const std::string simError = sim.Start(TIWAY_SIM_PATH, "", {"--configured", "--stations", "1"});
  if (!simError.empty()) {
    std::fprintf(stderr, "%s\n", simError.c_str());
    return 1;
  }
  // The metrics listener on a port of its own (a fixed one: the run is by hand).
  const int metricsPort = 20000 + static_cast<int>(getpid() % 20000);
  gwtest::GatewayProcess gateway;
  const std::string error =
      gateway.Start(gatewayPath, ZORTW_LIBRARY_PATH, Config(sim.Port(), metricsPort));
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", gateway.Port());
  modbus_set_slave(ctx, 1);
  modbus_set_response_timeout(ctx, 5, 0);
  uint16_t regs[10];
  const auto ready = Clock::now() + 30s;
  bool connected = false;
  while (Clock::now() < ready) {
    if (!connected) connected = modbus_connect(ctx) == 0;
    if (connected && modbus_read_registers(ctx, 0, 10, regs) == 10) break;
    std::this_thread::sleep_for(20ms);
  }

  const auto measure = [&](int withAttackers) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> connects{0}, sent{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < withAttackers; ++i) {
      threads.emplace_back(NonReader, gateway.Port(), i, std::cref(stop), std::ref(connects),
                           std::ref(sent));
    }
    std::this_thread::sleep_for(1s);  // the attack under way before the samples
    const std::string before = Metrics(metricsPort);
    const double cpu0 = CpuSeconds(gateway.Pid());
    const auto start = Clock::now();
    const uint64_t connects0 = connects.load();
    std::vector<double> samples;
    int failures = 0;
    for (auto next = start; Clock::now() < start + std::chrono::seconds(seconds); next += 20ms) {
      std::this_thread::sleep_until(next);
      const auto t0 = Clock::now();
      if (modbus_read_registers(ctx, 0, 10, regs) != 10) {
        ++failures;
        modbus_close(ctx);
        modbus_connect(ctx);
        continue;
      }
      samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(gateway.Pid()) - cpu0;
    const uint64_t accepted = connects.load() - connects0;
    const std::string after = Metrics(metricsPort);
    stop = true;
    for (std::thread& t : threads) t.join();
    const double requests = MetricSum(after, "tiway_gateway_unit_requests_total") -
                            MetricSum(before, "tiway_gateway_unit_requests_total");
    std::sort(samples.begin(), samples.end());
    const auto pct = [&](double p) {
      return samples.empty()
                 ? -1.0
                 : samples[std::min(samples.size() - 1, static_cast<size_t>(p * samples.size()))];
    };
    std::printf(
        "%3d non-readers: good client p50 %.3f ms p99 %.3f ms (%zu reads, %d failed); gateway CPU "
        "%.1f %% of a core; %.0f connections/s, %.0f requests/s answered",
        withAttackers, pct(0.5), pct(0.99), samples.size(), failures, 100 * cpu / elapsed,
        static_cast<double>(accepted) / elapsed, requests / elapsed);
    if (accepted > 0) std::printf("; %.1f us CPU per connection", 1e6 * cpu / accepted);
    if (requests > 0) std::printf(", %.2f us per request", 1e6 * cpu / requests);
    std::printf("\n");
  };
  std::printf("tiway-gateway under clients that never read (%d s a case)\n", seconds);
  measure(0);
  measure(attackers);
  modbus_close(ctx);
  modbus_free(ctx);
  gateway.Terminate();
  if (std::getenv("TIWAY_BENCH_LOG") != nullptr) std::printf("%s", gateway.Log().c_str());
  return 0;
}
