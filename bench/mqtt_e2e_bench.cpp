// tiway-gateway's Sparkplug B edge node end to end: the real gateway
// between real simulators (tiway-sim on ptys) and a real mosquitto on a
// loopback port, watched by a subscriber in this process (libmosquitto,
// decoding with the payload schema compiled for C++). bench/mqtt_bench
// measures the edge node's own code on a stand-in core; this one measures
// what a plant would see. It measures and prints; it asserts nothing
// about time.
//
//   build/linux/bin/mqtt_e2e_bench [--quick]
//
// 1. From a change in controller memory to the DDATA at the subscriber:
//    beyond the poll that saw it (arrival minus the metric's timestamp,
//    which is when that poll's read was stored), and from the change.
// 2. Births of 64 devices x 500 metrics (Node Control/Rebirth): time, bytes.
// 3. Replay of 100,000 changes stored (SQLite) while the broker was down.
// 4. CPU per 1,000 changes published (the gateway and the broker).
#include <arpa/inet.h>
#include <dirent.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/mqtt/mq_model.h"
#include "sparkplug_b.pb.h"
#include "tests/e2e/sim_process.h"
#include "tests/gateway/gateway_process.h"
#include "tests/support/loopback.h"

namespace {

using test_support::AcceptsOnLoopback;
using test_support::FreeLoopbackPort;

namespace pb = tiway::sparkplug;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int64_t WallUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

template <typename Pred>
bool Eventually(Pred pred, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// CPU seconds of a process, all its threads, to the nanosecond: the
// first field of each thread's /proc/PID/task/TID/schedstat (the clock
// ticks of /proc/PID/stat are 10 ms, coarser than what is measured here).
std::map<std::string, double> ThreadCpus(pid_t pid) {
  std::map<std::string, double> out;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return out;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream file(tasks + "/" + entry->d_name + "/schedstat");
    unsigned long long run = 0;
    if (file >> run) out[entry->d_name] = static_cast<double>(run) * 1e-9;
  }
  closedir(dir);
  return out;
}

double ProcessCpu(pid_t pid) {
  double sum = 0;
  for (const auto& [tid, seconds] : ThreadCpus(pid)) sum += seconds;
  return sum;
}

// Debian's mosquitto with a configuration of its own on a free loopback
// port; sessions persist across its restarts (the subscriber's session
// keeps what arrives while it reconnects).
class Broker {
 public:
  explicit Broker(const std::string& dir) : dir_(dir), port_(FreeLoopbackPort()) {}
  ~Broker() { Stop(SIGKILL); }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  bool Start() {
    std::ofstream conf(dir_ + "/mosquitto.conf");
    const passwd* me = getpwuid(getuid());
    conf << "user " << (me ? me->pw_name : "root") << "\n"
         << "allow_anonymous true\npersistence true\npersistence_location " << dir_ << "/\n"
         << "queue_qos0_messages true\nmax_queued_messages 0\nmax_inflight_messages 0\n"
         << "listener " << port_ << " 127.0.0.1\n";
    conf.close();
    int out = -1;
    pid_ = e2e::SpawnWithOutputPipe({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"},
                                    dir_ + "/mosquitto.log", &out);
    if (pid_ < 0) return false;
    close(out);
    return Eventually([&] { return AcceptsOnLoopback(port_); }, 10s);
  }
  void Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status = 0;
    if (!Eventually([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, 10s)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

 private:
  std::string dir_;
  int port_;
  pid_t pid_ = -1;
};

// One message as it reached the subscriber.
struct Arrival {
  Clock::time_point at;
  int64_t wallUs = 0;
  std::string verb, device;
  size_t bytes = 0;  // the payload
  pb::Payload payload;
  size_t historical = 0;  // metrics flagged is_historical
};

// A Sparkplug host in this process: libmosquitto on its own thread,
// subscribed to the whole namespace at QoS 1 in a persistent session.
class Subscriber {
 public:
  ~Subscriber() {
    if (mosq_ != nullptr) {
      mosquitto_disconnect(mosq_);
      mosquitto_loop_stop(mosq_, true);
      mosquitto_destroy(mosq_);
    }
  }
  bool Start(int port) {
    mosq_ = mosquitto_new("mqtt-bench-host", false, this);
    if (mosq_ == nullptr) return false;
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
      if (rc != 0) return;
      mosquitto_subscribe(m, nullptr, "spBv1.0/#", 1);
      static_cast<Subscriber*>(self)->connects_++;
    });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->subscribed_ = s->connects_;
      s->subscribedAtUs_ = WallUs();
      s->changed_.notify_all();
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      static_cast<Subscriber*>(self)->OnMessage(m);
    });
    if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return false;
    if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) return false;
    return WaitFor([&](const std::vector<Arrival>&) { return subscribed_ > 0; }, 10s);
  }
  // Waits (bounded) for a condition over the arrivals (under the lock).
  template <typename Pred>
  bool WaitFor(Pred pred, Clock::duration limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return pred(arrivals_); });
  }
  // Runs `f` on the arrivals under the lock.
  template <typename F>
  auto With(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(arrivals_);
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_.size();
  }
  // Subscriptions made so far (one per connection), and when the last was.
  int Subscribed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribed_;
  }
  int64_t SubscribedAtUs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribedAtUs_;
  }
  bool Publish(const std::string& topic, const std::string& payload) {
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, false) == MOSQ_ERR_SUCCESS;
  }
  // The alias of a device's metric, from its last DBIRTH (0 when none).
  uint64_t Alias(const std::string& device, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = aliases_.find(device + "/" + name);
    return it == aliases_.end() ? 0 : it->second;
  }

 private:
  void OnMessage(const mosquitto_message* m) {
    Arrival a;
    a.at = Clock::now();
    a.wallUs = WallUs();
    a.bytes = static_cast<size_t>(m->payloadlen);
    // spBv1.0/GROUP/VERB/NODE[/DEVICE]
    std::vector<std::string> parts;
    std::stringstream topic(m->topic);
    for (std::string part; std::getline(topic, part, '/');) parts.push_back(part);
    if (parts.size() < 4 || parts[1] == "STATE") return;
    a.verb = parts[2];
    a.device = parts.size() > 4 ? parts[4] : "";
    a.payload.ParseFromArray(m->payload, m->payloadlen);
    for (const pb::Payload::Metric& metric : a.payload.metrics()) {
      if (metric.is_historical()) ++a.historical;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (a.verb == "DBIRTH") {
      for (const pb::Payload::Metric& metric : a.payload.metrics())
        aliases_[a.device + "/" + metric.name()] = metric.alias();
    }
    arrivals_.push_back(std::move(a));
    changed_.notify_all();
  }

  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Arrival> arrivals_;
  std::map<std::string, uint64_t> aliases_;
  int connects_ = 0, subscribed_ = 0;
  int64_t subscribedAtUs_ = 0;
};

std::string RebirthPayload() {
  pb::Payload p;
  p.set_timestamp(static_cast<uint64_t>(WallUs() / 1000));
  pb::Payload::Metric* m = p.add_metrics();
  m->set_name(mqtt::kRebirth);
  m->set_datatype(static_cast<uint32_t>(mqtt::DataType::Boolean));
  m->set_boolean_value(true);
  return p.SerializeAsString();
}

std::string MqttSection(int brokerPort, const std::string& extra) {
  return "[mqtt]\nurl = \"mqtt://127.0.0.1:" + std::to_string(brokerPort) +
         "\"\ngroup_id = \"bench\"\nedge_node_id = \"gw1\"\n" + extra;
}

// The fleet: 64 units of 500 metrics each, 8 stations on each of 8 lines
// (a line's transaction takes at least 50 ms, even unpaced: 640 reads on
// one line would take 32 s a cycle). A unit: 400 V words (holding), 50 F
// values (input, 100 registers), 50 X discretes.
constexpr int kLines = 8, kStationsPerLine = 8;
constexpr int kFleetUnits = kLines * kStationsPerLine;
constexpr int kFleetMetrics = 500;

std::string FleetConfig(const std::vector<std::string>& ports, int pollMs,
                        const std::string& mqtt) {
  std::string text = "[gateway]\nstats_interval_s = 3600\n";
  for (int l = 0; l < kLines; ++l) {
    text += "[[line]]\nname = \"l" + std::to_string(l) + "\"\nport = \"" +
            ports[static_cast<size_t>(l)] + "\"\n";
  }
  for (int u = 1; u <= kFleetUnits; ++u) {
    text += "[[unit]]\nid = " + std::to_string(u) + "\nline = \"l" +
            std::to_string((u - 1) / kStationsPerLine) +
            "\"\nstation = " + std::to_string((u - 1) % kStationsPerLine + 1) +
            "\npoll_ms = " + std::to_string(pollMs) +
            "\nmax_age_ms = 600000\n"
            "holding = [{address = 0, count = 400, v = 0x100}]\n"
            "input = [{address = 0, count = 100, f = 0x400}]\n"
            "discrete = [{address = 0, count = 50, x = 0x100}]\n";
  }
  return text + mqtt;
}

// Round `round` of unit `unit`'s memory, as data file lines (a `set`
// command without "set "): every metric differs from the round before.
std::vector<std::string> FleetMemory(int unit, int round) {
  const int station = (unit - 1) % kStationsPerLine + 1;
  char head[32];
  std::vector<std::string> lines;
  std::snprintf(head, sizeof head, "%02X V 0100 =", station);
  std::string v = head;
  for (int k = 0; k < 400; ++k) {
    char word[8];
    std::snprintf(word, sizeof word, " %04X", (round * 401 + unit * 7 + k) & 0xFFFF);
    v += word;
  }
  lines.push_back(v);
  std::snprintf(head, sizeof head, "%02X V 0400 =", station);
  std::string f = head;
  for (int k = 0; k < 50; ++k) {
    // Finite floats from 2 to 4, the round in the high word's mantissa.
    char pair[16];
    std::snprintf(pair, sizeof pair, " %04X %04X", 0x4000 + (round & 0x7F), unit * 50 + k);
    f += pair;
  }
  lines.push_back(f);
  std::snprintf(head, sizeof head, "%02X X 0100 =", station);
  std::string x = head;
  for (int k = 0; k < 50; ++k) x += (round % 2) ? " 1" : " 0";
  lines.push_back(x);
  return lines;
}

// Round `round` into the memory of the first `units` units.
bool SetFleet(std::vector<std::unique_ptr<e2e::SimProcess>>& sims, int units, int round) {
  for (int u = 1; u <= units; ++u) {
    const e2e::SimProcess& sim = *sims[static_cast<size_t>((u - 1) / kStationsPerLine)];
    for (const std::string& line : FleetMemory(u, round)) {
      if (sim.Control("set " + line).rfind("ok", 0) != 0) return false;
    }
  }
  return true;
}

// The edge node's "store now" (SIGUSR1 logs its counters), -1 when not logged.
long InStore(const gwtest::GatewayProcess& gateway) {
  gateway.Signal(SIGUSR1);
  long n = -1;
  Eventually(
      [&] {
        const std::string log = gateway.Log();
        const size_t at = log.rfind("store now ");
        if (at != std::string::npos) n = std::stol(log.substr(at + 10));
        return n >= 0;
      },
      2s);
  return n;
}

size_t DataMetrics(const std::vector<Arrival>& all, size_t from, bool historical) {
  size_t n = 0;
  for (size_t i = from; i < all.size(); ++i) {
    if (all[i].verb == "DDATA") {
      n += historical ? all[i].historical
                      : static_cast<size_t>(all[i].payload.metrics_size()) - all[i].historical;
    }
  }
  return n;
}

bool Fail(const std::string& what, const gwtest::GatewayProcess* gateway = nullptr) {
  std::fprintf(stderr, "mqtt_e2e_bench: %s\n", what.c_str());
  if (gateway != nullptr) std::fprintf(stderr, "%s\n", gateway->Log().c_str());
  return false;
}

// 1. One word changed at a random moment of the poll cycle; the DDATA
// that carries it. The line is paced at 19200 baud, as a real one.
bool Latency(const std::string& dir, int samples) {
  e2e::SimProcess sim;
  sim.trace = false;
  const std::string error = sim.Start(TIWAY_SIM_PATH, "05 V 0064 = 0000 0000 0000 0000\n",
                                      {"--configured", "--stations", "5", "--baud", "19200"});
  if (!error.empty()) return Fail(error);
  Broker broker(dir);
  if (!broker.Start()) return Fail("mosquitto did not start");
  Subscriber host;
  if (!host.Start(broker.Port())) return Fail("the subscriber cannot connect");
  gwtest::GatewayProcess gateway;
  const std::string config =
      "[gateway]\nstats_interval_s = 3600\n[[line]]\nname = \"north\"\nport = \"" + sim.Port() +
      "\"\nbaud = 19200\n[[unit]]\nid = 1\nline = \"north\"\nstation = 0x05\npoll_ms = 0\n"
      "max_age_ms = 5000\nholding = [{address = 0, count = 4, v = 0x64}]\n" +
      MqttSection(broker.Port(), "");
  const std::string started = gateway.Start(TIWAY_GATEWAY_PATH, ZORTW_LIBRARY_PATH, config);
  if (!started.empty()) return Fail(started);
  const auto born = [](const std::vector<Arrival>& all) {
    return std::any_of(all.begin(), all.end(), [](const Arrival& a) { return a.verb == "DBIRTH"; });
  };
  if (!host.WaitFor(born, 30s)) return Fail("no DBIRTH", &gateway);
  const uint64_t alias = host.Alias("north-05", "V0064");

  std::vector<double> beyond, fromChange, inNode, onward;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> pause(0, 60);
  for (int i = 1; i <= samples; ++i) {
    // The change falls anywhere in the cycle (a 4-word read takes 85.4 ms
    // at 19200 baud, the driver's 50 ms pause included).
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const size_t from = host.Count();
    char command[40];
    std::snprintf(command, sizeof command, "set 05 V 0064 %04X", i & 0xFFFF);
    const Clock::time_point changed = Clock::now();
    if (sim.Control(command).rfind("ok", 0) != 0) return Fail("set refused");
    Arrival hit;
    const pb::Payload::Metric* metric = nullptr;
    const bool seen = host.WaitFor(
        [&](const std::vector<Arrival>& all) {
          for (size_t k = from; k < all.size(); ++k) {
            if (all[k].verb != "DDATA") continue;
            for (const pb::Payload::Metric& m : all[k].payload.metrics()) {
              if (m.alias() == alias && m.int_value() == static_cast<uint32_t>(i & 0xFFFF)) {
                hit = all[k];
                return true;
              }
            }
          }
          return false;
        },
        10s);
    if (!seen) return Fail("change " + std::to_string(i) + " never arrived", &gateway);
    for (const pb::Payload::Metric& m : hit.payload.metrics()) {
      if (m.alias() == alias) metric = &m;
    }
    const double arrivedMs = static_cast<double>(hit.wallUs) / 1000.0;
    beyond.push_back(arrivedMs - static_cast<double>(metric->timestamp()));
    fromChange.push_back(Ms(hit.at - changed));
    inNode.push_back(static_cast<double>(hit.payload.timestamp()) -
                     static_cast<double>(metric->timestamp()));
    onward.push_back(arrivedMs - static_cast<double>(hit.payload.timestamp()));
  }
  std::printf(
      "1. A change in controller memory to the DDATA at the subscriber (%d changes, one\n"
      "   4-word read per cycle at 19200 baud, poll_ms 0; QoS 0; timestamps in whole ms):\n",
      samples);
  std::printf("                                              p50        p99        max\n");
  const auto row = [](const char* what, const std::vector<double>& v) {
    std::printf("   %-40s %7.2f ms %7.2f ms %7.2f ms\n", what, Percentile(v, 50), Percentile(v, 99),
                *std::max_element(v.begin(), v.end()));
  };
  row("beyond the poll that saw it", beyond);
  row("  of which in the gateway (to DDATA ts)", inNode);
  row("  of which broker and subscriber", onward);
  row("from the change (includes the wait", fromChange);
  std::printf("   %-40s\n\n", " for the next read)");
  gateway.Terminate();
  return true;
}

// The arrivals' index of the first `verb` at or after `from`, or -1.
long Find(const std::vector<Arrival>& all, size_t from, const char* verb) {
  for (size_t i = from; i < all.size(); ++i) {
    if (all[i].verb == verb) return static_cast<long>(i);
  }
  return -1;
}

// 2-4 on the fleet: 64 stations x 500 metrics on one unpaced line.
bool Fleet(const std::string& dir, int rebirths, int cpuSeconds) {
  std::vector<std::unique_ptr<e2e::SimProcess>> sims;
  std::vector<std::string> ports;
  for (int l = 0; l < kLines; ++l) {
    std::string data;
    for (int u = l * kStationsPerLine + 1; u <= (l + 1) * kStationsPerLine; ++u) {
      for (const std::string& line : FleetMemory(u, 0)) data += line + "\n";
    }
    sims.push_back(std::make_unique<e2e::SimProcess>());
    sims.back()->trace = false;
    const std::string error =
        sims.back()->Start(TIWAY_SIM_PATH, data, {"--configured", "--stations", "1-8"});
    if (!error.empty()) return Fail(error);
    ports.push_back(sims.back()->Port());
  }
  Broker broker(dir);
  if (!broker.Start()) return Fail("mosquitto did not start");
  Subscriber host;
  if (!host.Start(broker.Port())) return Fail("the subscriber cannot connect");
  gwtest::GatewayProcess gateway;
  const std::string config = FleetConfig(
      ports, 500,
      MqttSection(broker.Port(), "store_path = \"" + dir + "/store.db\"\nstore_max = 200000\n"));
  const std::string started = gateway.Start(TIWAY_GATEWAY_PATH, ZORTW_LIBRARY_PATH, config);
  if (!started.empty()) return Fail(started);
  const auto births = [](size_t from) {
    return [from](const std::vector<Arrival>& all) {
      const long n = Find(all, from, "NBIRTH");
      if (n < 0) return false;
      int devices = 0;
      for (size_t i = static_cast<size_t>(n); i < all.size(); ++i)
        devices += all[i].verb == "DBIRTH";
      return devices >= kFleetUnits;
    };
  };
  if (!host.WaitFor(births(0), 120s)) return Fail("not every device was born", &gateway);

  // 2. Births: Node Control/Rebirth, answered without reconnecting.
  std::vector<double> toNbirth, toLast;
  size_t bytes = 0, metrics = 0, messages = 0;
  // The edge node's thread is the one that builds the births: of the
  // gateway's threads, the one whose CPU grows most over a rebirth.
  std::string edgeThread;
  double edgeBirthCpu = 0;
  for (int r = 0; r < rebirths; ++r) {
    const size_t from = host.Count();
    const std::map<std::string, double> before = ThreadCpus(gateway.Pid());
    const Clock::time_point asked = Clock::now();
    if (!host.Publish("spBv1.0/bench/NCMD/gw1", RebirthPayload())) return Fail("NCMD not sent");
    if (!host.WaitFor(births(from), 60s)) return Fail("no rebirth", &gateway);
    if (r == 0) {
      for (const auto& [tid, seconds] : ThreadCpus(gateway.Pid())) {
        const auto was = before.find(tid);
        const double grew = seconds - (was == before.end() ? 0 : was->second);
        if (grew > edgeBirthCpu) {
          edgeBirthCpu = grew;
          edgeThread = tid;
        }
      }
    }
    host.With([&](std::vector<Arrival>& all) {
      const size_t n = static_cast<size_t>(Find(all, from, "NBIRTH"));
      toNbirth.push_back(Ms(all[n].at - asked));
      bytes = metrics = messages = 0;
      Clock::time_point last = all[n].at;
      for (size_t i = n; i < all.size(); ++i) {
        if (all[i].verb != "NBIRTH" && all[i].verb != "DBIRTH") continue;
        bytes += all[i].bytes;
        metrics += static_cast<size_t>(all[i].payload.metrics_size());
        ++messages;
        last = all[i].at;
      }
      toLast.push_back(Ms(last - asked));
      return 0;
    });
  }
  std::printf(
      "2. Births of %d devices x %d metrics (400 UInt16, 50 Float, 50 Boolean each) on\n"
      "   Node Control/Rebirth, %d times (8 lines of 8 stations, unpaced, polling on):\n",
      kFleetUnits, kFleetMetrics, rebirths);
  std::printf("   NCMD to NBIRTH at the subscriber      p50 %7.1f ms  max %7.1f ms\n",
              Percentile(toNbirth, 50), *std::max_element(toNbirth.begin(), toNbirth.end()));
  std::printf("   NCMD to the last DBIRTH               p50 %7.1f ms  max %7.1f ms\n",
              Percentile(toLast, 50), *std::max_element(toLast.begin(), toLast.end()));
  std::printf("   %zu messages, %zu metrics, %zu payload bytes (%.1f bytes a metric)\n\n", messages,
              metrics, bytes, static_cast<double>(bytes) / static_cast<double>(metrics));

  // 3. Replay: the broker goes away, 100,000 changes are stored (50
  // stations x 500 metrics, 4 rounds), the broker comes back.
  const auto ends = [&] {
    const std::string log = gateway.Log();
    size_t n = 0;
    for (size_t at = 0; (at = log.find(" ended: ", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  const size_t endsBefore = ends();
  broker.Stop();
  if (!Eventually([&] { return ends() > endsBefore; }, 30s))
    return Fail("the gateway did not see the broker go", &gateway);
  int round = 0;  // of the fleet's memory: each differs in every metric from the one before
  const int stored = 50, rounds = 4;
  const long perStored = static_cast<long>(stored) * kFleetMetrics;
  const Clock::time_point s0 = Clock::now();
  long inStore = 0;
  for (int r = 1; r <= rounds; ++r) {
    if (!SetFleet(sims, stored, ++round)) return Fail("set refused");
    // Every change of the round polled and stored.
    if (!Eventually([&] { return (inStore = InStore(gateway)) >= perStored * r; }, 120s))
      return Fail("round " + std::to_string(r) + " not stored (" + std::to_string(inStore) + ")",
                  &gateway);
  }
  const double storeSeconds = std::chrono::duration<double>(Clock::now() - s0).count();
  const size_t back = host.Count();
  const int subscriptions = host.Subscribed();
  if (!broker.Start()) return Fail("mosquitto did not start again");
  const bool replayed = host.WaitFor(
      [&](const std::vector<Arrival>& all) {
        return DataMetrics(all, back, true) >= static_cast<size_t>(inStore);
      },
      300s);
  if (!replayed) return Fail("the stored changes did not all arrive", &gateway);
  if (host.With([&](std::vector<Arrival>& all) { return Find(all, back, "NBIRTH"); }) < 0)
    return Fail("historical changes without an NBIRTH before them", &gateway);
  host.With([&](std::vector<Arrival>& all) {
    const size_t n = static_cast<size_t>(Find(all, back, "NBIRTH"));
    size_t first = n;
    while (first < all.size() && all[first].historical == 0) ++first;
    size_t lastBirth = n;
    for (size_t i = n; i < first; ++i) {
      if (all[i].verb == "DBIRTH") lastBirth = i;
    }
    size_t historical = 0, replayMessages = 0;
    size_t last = first;
    for (size_t i = first; i < all.size(); ++i) {
      if (all[i].historical == 0) continue;
      historical += all[i].historical;
      ++replayMessages;
      last = i;
    }
    // The NBIRTH's timestamp is the start of the session (the CONNACK):
    // births and replay are built before the first of them is written.
    const double start = static_cast<double>(all[n].payload.timestamp());
    const auto since = [&](const Arrival& a) {
      return static_cast<double>(a.wallUs) / 1e3 - start;
    };
    std::printf(
        "3. Replay after a reconnect: the broker stopped, %ld changes stored in SQLite\n"
        "   (store_path, WAL; %d rounds of %d stations x %d metrics, %.1f s), the broker\n"
        "   started again. From the session's start (the NBIRTH's timestamp), at the subscriber:\n",
        inStore, rounds, stored, kFleetMetrics, storeSeconds);
    std::printf(
        "   the NBIRTH %8.1f ms, the last DBIRTH %8.1f ms, the last of %zu historical\n"
        "   changes (%zu DDATA) %8.1f ms: %.0f changes/s, births included\n",
        since(all[n]), since(all[lastBirth]), historical, replayMessages, since(all[last]),
        static_cast<double>(historical) * 1e3 / since(all[last]));
    return 0;
  });
  // Whether the subscriber was back before the gateway sent its NBIRTH
  // (its timestamp): otherwise the figure would be the broker's queue.
  const int64_t nbirthMs = host.With([&](std::vector<Arrival>& all) {
    return static_cast<int64_t>(
        all[static_cast<size_t>(Find(all, back, "NBIRTH"))].payload.timestamp());
  });
  if (host.Subscribed() <= subscriptions || host.SubscribedAtUs() / 1000 > nbirthMs)
    std::printf(
        "   (the subscriber came back after the NBIRTH was sent: the figure is partly\n"
        "   the broker's queue)\n");
  std::printf("\n");
  // 4. CPU per 1,000 changes: a window in which the bench rewrites every
  // metric of the fleet again and again (each poll of a block then sees
  // new values), against a window as long without changes (the same
  // polling, and the same comparison of every block read).
  const pid_t gw = gateway.Pid();
  struct Cpu {
    double gateway = 0, edge = 0, broker = 0;  // seconds
  };
  const auto sample = [&] {
    const std::map<std::string, double> threads = ThreadCpus(gw);
    Cpu c;
    for (const auto& [tid, seconds] : threads) c.gateway += seconds;
    const auto edge = threads.find(edgeThread);
    c.edge = edge == threads.end() ? 0 : edge->second;
    c.broker = ProcessCpu(broker.Pid());
    return c;
  };
  // No DDATA for 5 s, more than a poll cycle of the fleet (80 reads at
  // 50 ms on each line): the changes of the last window are all out.
  const auto quiet = [&] {
    return Eventually(
        [&] {
          return host.With([](std::vector<Arrival>& all) {
            for (size_t i = all.size(); i-- > 0;) {
              if (all[i].verb == "DDATA") return Clock::now() - all[i].at > 5s;
            }
            return true;
          });
        },
        60s);
  };
  const auto window = [&](bool change, Cpu& used, size_t& changes, size_t& count) {
    if (!change && !quiet()) return false;
    const size_t from = host.Count();
    const Cpu start = sample();
    const Clock::time_point end = Clock::now() + std::chrono::seconds(cpuSeconds);
    while (Clock::now() < end) {
      if (!change) {
        std::this_thread::sleep_until(end);  // the measuring window
      } else if (!SetFleet(sims, kFleetUnits, ++round)) {
        return false;
      }
    }
    const Cpu stop = sample();
    used.gateway += stop.gateway - start.gateway;
    used.edge += stop.edge - start.edge;
    used.broker += stop.broker - start.broker;
    host.With([&](std::vector<Arrival>& all) {
      changes += DataMetrics(all, from, false);
      for (size_t i = from; i < all.size(); ++i) count += all[i].verb == "DDATA";
      return 0;
    });
    return true;
  };
  // Windows without and with changes in turn, three of each: the
  // machine's other load falls on both alike.
  Cpu idle, busy;
  size_t changes = 0, ddata = 0, idleChanges = 0, idleData = 0;
  for (int pass = 0; pass < 3; ++pass) {
    if (!window(false, idle, idleChanges, idleData) || !window(true, busy, changes, ddata))
      return Fail("set refused, or changes that never stop", &gateway);
  }
  // What is still on its way at the end of a window is not counted: the
  // figures lean high, not low.
  std::printf(
      "4. CPU per 1,000 changes published: %zu changes in %zu DDATA in 3 windows of %d s\n"
      "   (the bench rewriting every metric of the fleet), against 3 as long without changes\n"
      "   (the same polling, %zu changes):\n",
      changes, ddata, cpuSeconds, idleChanges);
  const auto cpuRow = [&](const char* who, double with, double without) {
    std::printf("   %-24s %6.2f ms CPU per 1,000 more (%.3f s CPU with changes, %.3f s without)\n",
                who, (with - without) * 1e6 / static_cast<double>(changes), with, without);
  };
  cpuRow("the edge node's thread", busy.edge, idle.edge);
  cpuRow("tiway-gateway, all", busy.gateway, idle.gateway);
  cpuRow("mosquitto", busy.broker, idle.broker);
  std::printf(
      "   (the edge node's thread: the one whose CPU grew most over a rebirth, %.1f ms)\n"
      "   tiway-gateway's whole CPU with changes, polling of 8 lines included: %.2f ms per "
      "1,000\n\n",
      edgeBirthCpu * 1e3, busy.gateway * 1e6 / static_cast<double>(changes));
  gateway.Terminate();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  if (argc > 1 && !quick) {
    std::fprintf(stderr, "usage: mqtt_e2e_bench [--quick]\n");
    return 2;
  }
  mosquitto_lib_init();
  char pattern[] = "/tmp/mqtt-e2e-bench-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return Fail("no temporary directory") ? 0 : 1;
  const std::string dir = made;
  std::printf("tiway-gateway's Sparkplug B edge node, against mosquitto on 127.0.0.1%s\n\n",
              quick ? " (--quick)" : "");
  bool ok = Latency(dir, quick ? 60 : 400);
  if (ok) {
    const std::string fleet = dir + "/fleet";
    mkdir(fleet.c_str(), 0700);
    ok = Fleet(fleet, quick ? 3 : 10, quick ? 2 : 5);
  }
  gwtest::Shell("rm -rf '" + dir + "'");
  mosquitto_lib_cleanup();
  return ok ? 0 : 1;
}
