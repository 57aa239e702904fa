// The Sparkplug B edge node against a real mosquitto: the edge node's own
// thread and transport (mqtt::Service) on a stand-in core whose values the
// benchmark changes, and a subscriber in a child process (libmosquitto,
// decoding with the payload schema) that stamps each message's arrival on
// CLOCK_MONOTONIC. Measures: from the end of the poll that sees a change to
// the DDATA at the subscriber (p50, p99); the births of 64 devices x 500
// metrics (time, bytes); CPU of the edge node per 1,000 changes published;
// the replay rate of 100,000 stored changes after a reconnect (memory and
// SQLite stores). Run: build/linux/bin/mqtt_bench
#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/mqtt/mq_model.h"
#include "gateway/mqtt/mq_service.h"
#include "sparkplug_b.pb.h"
#include "tests/support/loopback.h"

namespace {

using test_support::AcceptsOnLoopback;
using test_support::FreeLoopbackPort;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int64_t MonoNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

pid_t StartBroker(const std::string& dir, int port) {
  // set_tcp_nodelay: the broker forwards each message at once too.
  // The subscriber's session outlives a restart of the broker: what the
  // broker took while the subscriber was reconnecting waits for it.
  std::ofstream(dir + "/mosquitto.conf")
      << "allow_anonymous true\nset_tcp_nodelay true\npersistence true\npersistence_location "
      << dir << "/\nqueue_qos0_messages true\nmax_queued_messages 0\nlistener " << port
      << " 127.0.0.1\n";
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir + "/mosquitto.conf").c_str(), nullptr);
    _exit(127);
  }
  const auto deadline = Clock::now() + 10s;
  while (!AcceptsOnLoopback(port) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  return pid;
}

void StopBroker(pid_t pid) {
  kill(pid, SIGTERM);  // it saves the sessions
  waitpid(pid, nullptr, 0);
}

// What the subscriber saw of one message.
struct Arrival {
  int64_t ns = 0;      // CLOCK_MONOTONIC at arrival
  char verb[8] = {};   // NBIRTH, DBIRTH, DDATA ...
  uint32_t bytes = 0;  // payload
  uint32_t metrics = 0;
  uint32_t historical = 0;
};

// The subscriber: a child process writing one Arrival per message to `fd`.
pid_t StartSubscriber(int port, int fd) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  mosquitto_lib_init();
  mosquitto* m = mosquitto_new("bench-host", false, &fd);
  mosquitto_connect_callback_set(
      m, [](mosquitto* c, void*, int) { mosquitto_subscribe(c, nullptr, "spBv1.0/#", 1); });
  mosquitto_subscribe_callback_set(m, [](mosquitto*, void* self, int, int, const int*) {
    Arrival a;
    std::strcpy(a.verb, "READY");
    [[maybe_unused]] ssize_t n = write(*static_cast<int*>(self), &a, sizeof a);
  });
  mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
    Arrival a;
    a.ns = MonoNs();
    const std::string topic = msg->topic;
    const size_t v = topic.find('/', topic.find('/') + 1) + 1;
    std::strncpy(a.verb, topic.substr(v, topic.find('/', v) - v).c_str(), sizeof a.verb - 1);
    a.bytes = static_cast<uint32_t>(msg->payloadlen);
    tiway::sparkplug::Payload p;
    if (p.ParseFromArray(msg->payload, msg->payloadlen)) {
      a.metrics = static_cast<uint32_t>(p.metrics_size());
      for (const auto& metric : p.metrics()) a.historical += metric.is_historical() ? 1 : 0;
    }
    [[maybe_unused]] ssize_t n = write(*static_cast<int*>(self), &a, sizeof a);
  });
  while (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) usleep(10000);
  mosquitto_loop_forever(m, -1, 1);
  _exit(0);
}

class Arrivals {
 public:
  explicit Arrivals(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~Arrivals() {
    close(fd_);
    thread_.join();
  }
  // Waits until `pred(list)` holds (bounded); false when it did not.
  template <typename Pred>
  bool Wait(Pred pred, std::chrono::seconds limit = 60s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return pred(list_); });
  }
  std::vector<Arrival> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Arrival> out;
    out.swap(list_);
    return out;
  }

 private:
  void Run() {
    Arrival a;
    while (read(fd_, &a, sizeof a) == static_cast<ssize_t>(sizeof a)) {
      std::lock_guard<std::mutex> lock(mutex_);
      list_.push_back(a);
      changed_.notify_all();
    }
  }
  int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Arrival> list_;
  std::thread thread_;
};

size_t Count(const std::vector<Arrival>& list, const char* verb) {
  return static_cast<size_t>(std::count_if(
      list.begin(), list.end(), [&](const Arrival& a) { return std::strcmp(a.verb, verb) == 0; }));
}

// A core whose values the benchmark sets.
class BenchCore : public mqtt::Core {
 public:
  explicit BenchCore(const mqtt::Model& model) {
    for (const auto& d : model.devices)
      values_.emplace_back(d.metrics.size(), mqtt::Value{0, true, 0});
    version_.assign(values_.size(), 0);
    seen_.assign(values_.size(), 0);
  }
  void Set(size_t device, size_t metric, uint64_t bits) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_[device][metric].bits = bits;
    values_[device][metric].timeMs = NowMs();
    ++version_[device];
  }
  // Waits until the edge node has taken a poll of the device's latest
  // values (as a line's next poll would come only after the last was taken).
  bool WaitSeen(size_t device) {
    std::unique_lock<std::mutex> lock(mutex_);
    return read_.wait_for(lock, 10s, [&] { return seen_[device] == version_[device]; });
  }
  // The values now (the edge node's periodic check): not a poll taken.
  bool ReadDevice(const mqtt::DeviceDef& device, std::vector<mqtt::Value>& out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    out = values_[device.unit];
    for (mqtt::Value& v : out) v.good = true;
    return true;
  }
  // A poll's values are the benchmark's, as set; the poll is taken.
  bool PolledDevice(const mqtt::DeviceDef& device, const gateway::PollResult&,
                    std::vector<mqtt::Value>& out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_[device.unit] = version_[device.unit];
    read_.notify_all();
    out = values_[device.unit];
    for (mqtt::Value& v : out) v.good = true;
    return true;
  }
  std::vector<mqtt::LineStatus> LineStatuses() override { return {{"running", 0, 0}}; }
  void Write(const mqtt::DeviceDef&, const mqtt::MetricDef&, uint64_t,
             const std::string&) override {}
  void Log(const std::string& line) override {
    if (verbose) std::fprintf(stderr, "%s\n", line.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    log_ += line + "\n";
  }
  std::string LogText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  static uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  }
  bool verbose = false;

 private:
  std::mutex mutex_;
  std::condition_variable read_;
  std::vector<std::vector<mqtt::Value>> values_;
  std::vector<uint64_t> version_, seen_;
  std::string log_;
};

// 64 units of 500 V words on one line.
gateway::Config BenchConfig(int port, const std::string& storePath, int devices, int metrics) {
  std::string text = "[[line]]\nname = \"north\"\nport = \"/dev/null\"\n";
  for (int u = 1; u <= devices; ++u) {
    text += "[[unit]]\nid = " + std::to_string(u) +
            "\nline = \"north\"\nstation = " + std::to_string(u) +
            "\nholding = [{address = 0, count = " + std::to_string(metrics) + ", v = 1}]\n";
  }
  text += "[mqtt]\nurl = \"mqtt://127.0.0.1:" + std::to_string(port) +
          "\"\ngroup_id = \"bench\"\nedge_node_id = \"gw\"\nstore_max = 1000000\n";
  if (!storePath.empty()) text += "store_path = \"" + storePath + "\"\n";
  gateway::ConfigResult r = gateway::ParseConfig(text, "bench.toml");
  if (!r.config) {
    std::fprintf(stderr, "%s\n", r.error.c_str());
    std::exit(1);
  }
  return *r.config;
}

std::vector<std::vector<std::vector<size_t>>> OneBlockPerDevice(size_t devices) {
  std::vector<std::vector<std::vector<size_t>>> blocks(1);
  for (size_t d = 0; d < devices; ++d) blocks[0].push_back({d});
  return blocks;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty()
             ? 0
             : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  char dirTemplate[] = "/tmp/mqtt-bench-XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  const int port = FreeLoopbackPort();
  pid_t broker = StartBroker(dir, port);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1;
  const pid_t subscriber = StartSubscriber(port, pipeFds[1]);
  close(pipeFds[1]);
  Arrivals arrivals(pipeFds[0]);
  arrivals.Wait([](const std::vector<Arrival>& l) { return Count(l, "READY") > 0; });
  arrivals.Take();

  // 1. Births of 64 devices x 500 metrics, on a rebirth request.
  {
    const gateway::Config config = BenchConfig(port, "", 64, 500);
    const mqtt::Model model = mqtt::BuildModel(config);
    BenchCore core(model);
    mqtt::Service service(config.mqtt, model, core);
    service.SetBlockDevices(OneBlockPerDevice(64));
    std::string error;
    if (!service.Start(error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    arrivals.Wait([](const std::vector<Arrival>& l) { return Count(l, "DBIRTH") == 64; });
    arrivals.Take();
    mosquitto* m = mosquitto_new(nullptr, true, nullptr);
    mosquitto_connect(m, "127.0.0.1", port, 30);
    tiway::sparkplug::Payload rebirth;
    rebirth.set_timestamp(BenchCore::NowMs());
    auto* metric = rebirth.add_metrics();
    metric->set_name(mqtt::kRebirth);
    metric->set_boolean_value(true);
    const std::string bytes = rebirth.SerializeAsString();
    const int64_t start = MonoNs();
    mosquitto_publish(m, nullptr, "spBv1.0/bench/NCMD/gw", static_cast<int>(bytes.size()),
                      bytes.data(), 0, false);
    mosquitto_loop(m, 100, 1);
    arrivals.Wait([](const std::vector<Arrival>& l) { return Count(l, "DBIRTH") == 64; });
    const std::vector<Arrival> births = arrivals.Take();
    uint64_t total = 0;
    int64_t last = start;
    for (const Arrival& a : births) {
      if (std::strcmp(a.verb, "NBIRTH") == 0 || std::strcmp(a.verb, "DBIRTH") == 0) {
        total += a.bytes;
        last = std::max(last, a.ns);
      }
    }
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
    std::printf(
        "births, 64 devices x 500 metrics: NCMD rebirth to the last DBIRTH %.1f ms, "
        "%llu bytes of payload (%.1f bytes per metric)\n",
        static_cast<double>(last - start) / 1e6, static_cast<unsigned long long>(total),
        static_cast<double>(total) / (64.0 * 500.0));

    // 2. Latency: one change per poll, from the poll's end to the DDATA.
    // 3. CPU of the edge node per 1,000 changes published (one per DDATA,
    //    and 100 per DDATA).
    for (const int perPoll : {1, 100}) {
      const int polls = perPoll == 1 ? 2000 : 200;
      std::vector<double> latencies;
      const double cpu0 = CpuSeconds();
      for (int i = 0; i < polls; ++i) {
        const size_t device = static_cast<size_t>(i) % 64;
        for (int k = 0; k < perPoll; ++k) {
          core.Set(device, static_cast<size_t>(k), static_cast<uint64_t>(i + 1));
        }
        const int64_t sent = MonoNs();
        service.Polls()->Push(gateway::PollResult{0, device, true, {}, {}});
        if (!arrivals.Wait([](const std::vector<Arrival>& l) { return Count(l, "DDATA") == 1; },
                           10s)) {
          std::fprintf(stderr, "no DDATA for poll %d\n", i);
          return 1;
        }
        const std::vector<Arrival> got = arrivals.Take();
        for (const Arrival& a : got) {
          if (std::strcmp(a.verb, "DDATA") == 0)
            latencies.push_back(static_cast<double>(a.ns - sent) / 1e3);
        }
      }
      const double cpu = CpuSeconds() - cpu0;
      const double changes = static_cast<double>(polls) * perPoll;
      std::printf(
          "%d change%s per poll, %d polls: poll to DDATA at the subscriber p50 %.0f us, "
          "p99 %.0f us, max %.0f us; CPU %.1f ms per 1,000 changes (benchmark process)\n",
          perPoll, perPoll == 1 ? "" : "s", polls, Percentile(latencies, 0.5),
          Percentile(latencies, 0.99), Percentile(latencies, 1.0), cpu * 1000.0 / changes * 1000.0);
    }
    service.Stop();
    arrivals.Wait([](const std::vector<Arrival>& l) { return Count(l, "NDEATH") == 1; }, 5s);
    arrivals.Take();
  }

  // 4. Replay of 100,000 changes stored while the broker was away.
  for (const bool sqlite : {false, true}) {
    StopBroker(broker);
    const std::string storePath = sqlite ? dir + "/store.db" : "";
    const gateway::Config config = BenchConfig(port, storePath, 64, 500);
    const mqtt::Model model = mqtt::BuildModel(config);
    BenchCore core(model);
    core.verbose = std::getenv("MQTT_BENCH_VERBOSE") != nullptr;
    mqtt::Service service(config.mqtt, model, core);
    service.SetBlockDevices(OneBlockPerDevice(64));
    std::string error;
    if (!service.Start(error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    // The first values (what the births will carry), then 1,000 polls of
    // 100 changes each.
    for (size_t d = 0; d < 64; ++d) service.Polls()->Push(gateway::PollResult{0, d, true, {}, {}});
    std::this_thread::sleep_for(300ms);
    const int64_t storing = MonoNs();
    for (int i = 0; i < 1000; ++i) {
      const size_t device = static_cast<size_t>(i) % 64;
      core.WaitSeen(device);
      for (size_t k = 0; k < 100; ++k) core.Set(device, k, static_cast<uint64_t>(i + 2));
      service.Polls()->Push(gateway::PollResult{0, device, true, {}, {}});
    }
    // The stats line says when all 100,000 are stored.
    const auto deadline = Clock::now() + 120s;
    while (service.StatsText().find("stored 100000 ") == std::string::npos &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    const double storeMs = static_cast<double>(MonoNs() - storing) / 1e6;
    broker = StartBroker(dir, port);
    const bool all = arrivals.Wait(
        [](const std::vector<Arrival>& l) {
          uint64_t h = 0;
          for (const Arrival& a : l) h += a.historical;
          return h >= 100000;
        },
        120s);
    const std::vector<Arrival> got = arrivals.Take();
    int64_t firstBirth = 0, lastHistory = 0;
    uint64_t historical = 0;
    for (const Arrival& a : got) {
      if (std::strcmp(a.verb, "NBIRTH") == 0 && firstBirth == 0) firstBirth = a.ns;
      if (a.historical > 0) lastHistory = a.ns;
      historical += a.historical;
    }
    const double ms = static_cast<double>(lastHistory - firstBirth) / 1e6;
    // The edge node's own figure: from the end of the births to the last
    // stored change handed to the broker.
    const std::string log = core.LogText();
    const size_t at = log.find("stored changes published (historical) in ");
    const double sendMs = at == std::string::npos ? 0 : std::atof(log.c_str() + at + 41);
    std::printf(
        "replay (%s store): %llu stored changes%s: the edge node published them in %.1f ms "
        "(%.0f changes/s); at the subscriber %.0f ms from the NBIRTH to the last; storing "
        "them took %.0f ms\n",
        sqlite ? "SQLite" : "memory", static_cast<unsigned long long>(historical),
        all ? "" : " (not all arrived)", sendMs, sendMs > 0 ? 100000.0 / (sendMs / 1000.0) : 0.0,
        ms, storeMs);
    service.Stop();
  }
  StopBroker(broker);
  kill(subscriber, SIGKILL);
  waitpid(subscriber, nullptr, 0);
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
