// The real tiway-gateway as a Sparkplug B edge node, between the real
// simulator and a real mosquitto (Debian's, on a free loopback port with its
// own configuration), watched by a host we did not write: paho-mqtt,
// decoding with the schema compiled for Python. Every wait is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/sim_process.h"
#include "tests/gateway/gateway_process.h"
#include "tests/support/eventually.h"
#include "tests/support/loopback.h"

namespace {

using test_support::AcceptsOnLoopback;
using test_support::Eventually;
using test_support::FreeLoopbackPort;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* kSimData = R"(05 V 0064 = 0017 2710 00FF 0003
05 X 0010 = 1 0 1 1
05 V 0210 = 3F80 0000
0A F 0200 = 41200000
)";

std::string TempDir() {
  char dir[] = "/tmp/mqtt-e2e-XXXXXX";
  return mkdtemp(dir) ? dir : "";
}

void Reap(pid_t& pid, int signal) {
  if (pid <= 0) return;
  kill(pid, signal);
  int status = 0;
  const auto deadline = Clock::now() + 10s;
  while (waitpid(pid, &status, WNOHANG) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  pid = -1;
}

// mosquitto with its own configuration: a plain listener and, with a
// certificate directory, a TLS listener that wants client certificates.
// Sessions persist across its restarts (a host's missed messages wait).
class Broker {
 public:
  explicit Broker(const std::string& dir) : dir_(dir), port_(FreeLoopbackPort()) {}
  ~Broker() { Reap(pid_, SIGKILL); }
  int Port() const { return port_; }
  int TlsPort() const { return tlsPort_; }
  void UseTls(const std::string& certs) {
    certs_ = certs;
    tlsPort_ = FreeLoopbackPort();
  }
  bool Start() {
    std::ofstream conf(dir_ + "/mosquitto.conf");
    // Started as root, mosquitto would become the user "mosquitto": it stays ours.
    const passwd* me = getpwuid(getuid());
    conf << "user " << (me ? me->pw_name : "root") << "\n"
         << "per_listener_settings false\nallow_anonymous true\npersistence true\n"
         << "persistence_location " << dir_ << "/\nqueue_qos0_messages true\n"
         << "listener " << port_ << " 127.0.0.1\n";
    if (!certs_.empty()) {
      conf << "listener " << tlsPort_ << " 127.0.0.1\ncafile " << certs_ << "/ca.crt\ncertfile "
           << certs_ << "/broker.crt\nkeyfile " << certs_ << "/broker.key\n"
           << "require_certificate true\n";
    }
    conf.close();
    int out = -1;
    pid_ = e2e::SpawnWithOutputPipe({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"},
                                    dir_ + "/mosquitto.log", &out);
    if (pid_ < 0) return false;
    close(out);
    return Eventually(
        [&] { return AcceptsOnLoopback(port_) && (certs_.empty() || AcceptsOnLoopback(tlsPort_)); },
        10s);
  }
  void Stop() { Reap(pid_, SIGTERM); }  // saves the sessions

 private:
  std::string dir_, certs_;
  int port_ = 0, tlsPort_ = 0;
  pid_t pid_ = -1;
};

// The Sparkplug host (tests/mqtt/sparkplug_client.py): one line per message.
class Host {
 public:
  Host(const std::string& dir, std::vector<std::string> options) : dir_(dir), options_(options) {}
  ~Host() {
    Reap(pid_, SIGKILL);
    if (fd_ >= 0) close(fd_);
  }
  std::vector<std::string> Args(const std::vector<std::string>& verb) const {
    std::vector<std::string> args = {"/usr/bin/python3", SPARKPLUG_CLIENT_PY, SPARKPLUG_PB2_DIR};
    args.insert(args.end(), options_.begin(), options_.end());
    args.insert(args.end(), verb.begin(), verb.end());
    return args;
  }
  bool Listen() {
    pid_ = e2e::SpawnWithOutputPipe(Args({"listen"}), dir_ + "/host.err", &fd_);
    return pid_ > 0 && Wait("ready", 0);
  }
  // A one-shot publisher (command, STATE), bounded by timeout(1).
  std::string Run(const std::vector<std::string>& verb) const {
    std::string command = "timeout 20";
    for (const std::string& a : Args(verb)) command += " '" + a + "'";
    return gwtest::Shell(command + " 2>&1");
  }
  // Waits for a line starting with `prefix` at or after line `from`; its index.
  int WaitLine(const std::string& prefix, size_t from, std::chrono::milliseconds limit = 30s) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      for (size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return -1;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return -1;
      buffer_.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        lines_.push_back(buffer_.substr(0, end));
        buffer_.erase(0, end + 1);
      }
    }
  }
  bool Wait(const std::string& prefix, size_t from, std::chrono::milliseconds limit = 30s) {
    return WaitLine(prefix, from, limit) >= 0;
  }
  size_t Count() const { return lines_.size(); }
  const std::string& Line(int i) const { return lines_.at(static_cast<size_t>(i)); }
  std::string All() const {
    std::string all;
    for (const std::string& l : lines_) all += l + "\n";
    return all;
  }

 private:
  std::string dir_;
  std::vector<std::string> options_;
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;
};

class MqttE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TempDir();
    ASSERT_FALSE(dir_.empty());
    broker_ = std::make_unique<Broker>(dir_);
  }
  void TearDown() override {
    gateway_.Kill();
    host_.reset();
    broker_.reset();
    sim_.Stop();
    gwtest::Shell("rm -rf " + dir_);
  }
  std::string Config(const std::string& mqtt) const {
    return "[gateway]\nstats_interval_s = 3600\n[[line]]\nname = \"north\"\nport = \"" +
           sim_.Port() + "\"\n" + R"([[unit]]
id = 1
line = "north"
station = 0x05
poll_ms = 50
max_age_ms = 1500
holding = [{address = 0, count = 4, v = 0x64, writable = true},
           {address = 20, count = 2, f = 0x210, writable = true}]
discrete = [{address = 0, count = 4, x = 0x10}]
[[unit]]
id = 2
name = "boiler"
line = "north"
station = 0x0A
poll_ms = 50
max_age_ms = 1500
input = [{address = 10, count = 2, f = 0x200}]
[mqtt]
group_id = "plant"
edge_node_id = "gw1"
store_path = ")" +
           dir_ + "/store.db\"\n" + mqtt;
  }
  // The simulator, the host on the plain listener (when `listen`), the
  // gateway; `gatewayKeys` go into its [gateway] table, `hostOptions` to the host.
  void Launch(const std::string& mqtt, bool listen = true, const std::string& gatewayKeys = "",
              const std::vector<std::string>& hostOptions = {}) {
    ASSERT_EQ(sim_.Start(TIWAY_SIM_PATH, kSimData, {"--configured", "--stations", "5,10"}), "");
    std::vector<std::string> options = {"--port", std::to_string(broker_->Port())};
    options.insert(options.end(), hostOptions.begin(), hostOptions.end());
    host_ = std::make_unique<Host>(dir_, options);
    if (listen) {
      ASSERT_TRUE(host_->Listen());
    }
    std::string config = Config(mqtt);
    config.replace(config.find("[gateway]\n"), 10, "[gateway]\n" + gatewayKeys);
    ASSERT_EQ(gateway_.Start(TIWAY_GATEWAY_PATH, ZORTW_LIBRARY_PATH, config), "");
  }
  std::string Url() const {
    return "url = \"mqtt://127.0.0.1:" + std::to_string(broker_->Port()) + "\"\n";
  }
  // The gateway has polled this value of V0065 (read through Modbus).
  bool Polled(int value) const {
    return Eventually(
        [&] {
          return gateway_.Py({"read-hr 1 1 1"}) ==
                 std::vector<std::string>{"ok " + std::to_string(value)};
        },
        10s);
  }
  std::string Cmd(const std::vector<std::string>& args) const { return host_->Run(args); }

  std::string dir_;
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<Host> host_;
  e2e::SimProcess sim_;
  gwtest::GatewayProcess gateway_;
};

TEST_F(MqttE2e, BirthsDataCommandsSilenceRebirthAndDeathOnSigkill) {
  ASSERT_TRUE(broker_->Start());
  Launch(Url() + "writes = true\n");
  Host& h = *host_;
  // Births with the controller's values; bdSeq 0 from a new store.
  const int nbirth = h.WaitLine("NBIRTH - seq=0 bdSeq=0 ", 0);
  ASSERT_GE(nbirth, 0) << h.All() << gateway_.Log();
  ASSERT_TRUE(h.Wait("DBIRTH north-05 ", 0)) << h.All();
  const int dbirth = h.WaitLine("DBIRTH north-05 ", 0);
  EXPECT_NE(h.Line(dbirth).find("V0064=23 V0065=10000 V0066=255 V0067=3 F0210=1 X0010=true"),
            std::string::npos)
      << h.Line(dbirth);
  ASSERT_TRUE(h.Wait("DBIRTH boiler seq=", 0)) << h.All();
  EXPECT_NE(h.Line(h.WaitLine("DBIRTH boiler", 0)).find("F0200=10"), std::string::npos);

  // A change in controller memory: DDATA with that metric alone.
  ASSERT_EQ(sim_.Control("set 05 V 0065 0001").rfind("ok", 0), 0u);
  const int change = h.WaitLine("DDATA north-05 ", 0);
  ASSERT_GE(change, 0) << h.All();
  EXPECT_NE(h.Line(change).find(" V0065=1"), std::string::npos) << h.Line(change);
  EXPECT_EQ(h.Line(change).find("V0064="), std::string::npos) << h.Line(change);

  // DCMD: a writable word and F value are written; a read-only discrete,
  // an unknown metric and a wrong datatype change nothing.
  const std::string dcmd = "spBv1.0/plant/DCMD/gw1/north-05";
  Cmd({"cmd", dcmd, "V0066", "int", "77", "F0210", "float", "2.5", "X0010", "bool", "false",
       "V0099", "int", "1", "V0067", "float", "1"});
  ASSERT_TRUE(h.Wait("DDATA north-05 seq=", static_cast<size_t>(change) + 1));
  EXPECT_TRUE(Eventually([&] { return sim_.Control("dump 05 V 0066") == "ok 004D"; }, 10s));
  EXPECT_TRUE(Eventually([&] { return sim_.Control("dump 05 V 0210 2") == "ok 4020 0000"; }, 10s));
  EXPECT_EQ(sim_.Control("dump 05 X 0010"), "ok 1");
  EXPECT_EQ(sim_.Control("dump 05 V 0067"), "ok 0003");
  const size_t afterWrite = h.Count();
  EXPECT_TRUE(Eventually(
      [&] {
        h.Wait("DDATA north-05", afterWrite, 200ms);
        return h.All().find("F0210=2.5") != std::string::npos &&
               h.All().find("V0066=77") != std::string::npos;
      },
      10s))
      << h.All();
  const std::string log = gateway_.Log();
  EXPECT_NE(
      log.find("audit: write from mqtt:tiway-plant-gw1 DCMD north-05 V0066 value 77: status 0, "
               "written"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("X0010: read only"), std::string::npos) << log;
  EXPECT_NE(log.find("'V0099': no such metric"), std::string::npos) << log;
  EXPECT_NE(log.find("V0067: needs a UInt16 value"), std::string::npos) << log;

  // Rebirth: NBIRTH again with the same bdSeq, every DBIRTH, no reconnect.
  const size_t beforeRebirth = h.Count();
  Cmd({"cmd", "spBv1.0/plant/NCMD/gw1", "Node Control/Rebirth", "bool", "true"});
  ASSERT_TRUE(h.Wait("NBIRTH - seq=0 bdSeq=0 ", beforeRebirth)) << h.All();
  ASSERT_TRUE(h.Wait("DBIRTH boiler", beforeRebirth)) << h.All();
  EXPECT_EQ(gateway_.Log().find("(bdSeq 1)"), std::string::npos);

  // Stations that stop answering: DDEATH past max_age; back: DBIRTH.
  const size_t beforeSilence = h.Count();
  ASSERT_EQ(sim_.Control("fault silence@read 1000000").rfind("ok", 0), 0u);
  ASSERT_TRUE(h.Wait("DDEATH north-05 seq=", beforeSilence)) << h.All();
  ASSERT_TRUE(h.Wait("DDEATH boiler seq=", beforeSilence)) << h.All();
  ASSERT_EQ(sim_.Control("clear").rfind("ok", 0), 0u);
  ASSERT_TRUE(h.Wait("DBIRTH north-05", beforeSilence, 60s)) << h.All();

  // SIGKILL: the broker delivers the will, NDEATH with the session's bdSeq.
  const size_t beforeKill = h.Count();
  gateway_.Signal(SIGKILL);
  ASSERT_TRUE(h.Wait("NDEATH - seq=- bdSeq=0", beforeKill, 60s)) << h.All();
  EXPECT_EQ(h.All().find("SEQ-GAP"), std::string::npos) << h.All();
}

// Also the edge node's state in /metrics (the [web] listener): the session
// down with changes in the store, then up again with them replayed.
TEST_F(MqttE2e, ValuesTheBrokerMissedArriveHistoricalInOrderAfterTheBirths) {
  ASSERT_TRUE(broker_->Start());
  Launch(Url() + "[web]\nport = 0\n");
  const auto metric = [&](const std::string& sample) {
    std::smatch found;
    const std::string log = gateway_.Log();
    if (!std::regex_search(log, found, std::regex(R"(web: listening on ([0-9.]+:\d+))")))
      return false;
    return std::regex_search(
        gwtest::Shell("curl -sS --max-time 10 http://" + found[1].str() + "/metrics"),
        std::regex(sample));
  };
  Host& h = *host_;
  ASSERT_TRUE(h.Wait("DBIRTH north-05", 0)) << h.All() << gateway_.Log();
  EXPECT_TRUE(Eventually(
      [&] { return metric("\ntiway_gateway_mqtt_session_up\\{broker=\"mqtt://[0-9.:]+\"\\} 1\n"); },
      10s));
  broker_->Stop();
  ASSERT_TRUE(Eventually([&] { return gateway_.Log().find("ended") != std::string::npos; }, 10s))
      << gateway_.Log();
  for (const char* value : {"0005", "0006", "0007"}) {
    ASSERT_EQ(sim_.Control(std::string("set 05 V 0065 ") + value).rfind("ok", 0), 0u);
    ASSERT_TRUE(Polled(std::stoi(value, nullptr, 16)));
  }
  EXPECT_TRUE(Eventually(
      [&] {
        return metric("\ntiway_gateway_mqtt_session_up\\{[^}]*\\} 0\n") &&
               metric("\ntiway_gateway_mqtt_store_depth [1-9][0-9]*\n");
      },
      10s));
  const size_t before = h.Count();
  ASSERT_TRUE(broker_->Start());
  const int birth = h.WaitLine("NBIRTH - seq=0 bdSeq=1 ", before, 60s);
  ASSERT_GE(birth, 0) << h.All() << gateway_.Log();
  const int dbirth = h.WaitLine("DBIRTH north-05", static_cast<size_t>(birth));
  ASSERT_GE(dbirth, 0) << h.All();
  EXPECT_NE(h.Line(dbirth).find("V0065=7 "), std::string::npos) << h.Line(dbirth);
  const int history = h.WaitLine("DDATA north-05", static_cast<size_t>(dbirth));
  ASSERT_GE(history, 0) << h.All();
  EXPECT_NE(h.Line(history).find("V0065=5/h V0065=6/h V0065=7/h"), std::string::npos) << h.All();
  EXPECT_EQ(h.All().find("SEQ-GAP"), std::string::npos) << h.All();
  EXPECT_TRUE(Eventually(
      [&] {
        return metric("\ntiway_gateway_mqtt_replayed_total ([3-9]|[1-9][0-9]+)\n") &&
               metric("\ntiway_gateway_mqtt_store_depth 0\n") &&
               metric("\ntiway_gateway_mqtt_session_up\\{[^}]*\\} 1\n");
      },
      10s));
}

TEST_F(MqttE2e, StoredValuesSurviveAKillWhileTheBrokerIsAwayAndFollowTheBirthsAfterTheStart) {
  ASSERT_TRUE(broker_->Start());
  Launch(Url());
  Host& h = *host_;
  ASSERT_TRUE(h.Wait("DBIRTH north-05", 0)) << h.All() << gateway_.Log();
  broker_->Stop();
  ASSERT_TRUE(Eventually([&] { return gateway_.Log().find("ended") != std::string::npos; }, 10s))
      << gateway_.Log();
  for (const char* value : {"0011", "0012", "0013", "0014", "0015"}) {
    ASSERT_EQ(sim_.Control(std::string("set 05 V 0065 ") + value).rfind("ok", 0), 0u);
    ASSERT_TRUE(Polled(std::stoi(value, nullptr, 16)));
  }
  // All five committed to the store (SIGUSR1 logs its counters), then killed.
  ASSERT_TRUE(Eventually(
      [&] {
        gateway_.Signal(SIGUSR1);
        return gateway_.Log().find("store now 5 ") != std::string::npos;
      },
      10s, 200ms))
      << gateway_.Log();
  gateway_.Kill();
  // The killed gateway's exclusive mark stays on the simulator's pty, whose
  // other side the simulator holds open (a real port's goes with its last
  // close): a new simulator, holding the value the gateway last read.
  sim_.Stop();
  ASSERT_EQ(sim_.Start(TIWAY_SIM_PATH, kSimData, {"--configured", "--stations", "5,10"}), "");
  ASSERT_EQ(sim_.Control("set 05 V 0065 0015").rfind("ok", 0), 0u);
  // The broker first, then the gateway: it connects before its line runs.
  const size_t before = h.Count();
  ASSERT_TRUE(broker_->Start());
  ASSERT_EQ(gateway_.Start(TIWAY_GATEWAY_PATH, ZORTW_LIBRARY_PATH, Config(Url())), "");
  const int birth = h.WaitLine("NBIRTH - seq=0 bdSeq=1 ", before, 60s);
  ASSERT_GE(birth, 0) << h.All() << gateway_.Log();
  const int dbirth = h.WaitLine("DBIRTH north-05", static_cast<size_t>(birth));
  ASSERT_GE(dbirth, 0) << h.All() << gateway_.Log();
  EXPECT_NE(h.Line(dbirth).find("V0065=21 "), std::string::npos) << h.Line(dbirth);
  const int history = h.WaitLine("DDATA north-05", static_cast<size_t>(dbirth));
  ASSERT_GE(history, 0) << h.All() << gateway_.Log();
  EXPECT_NE(h.Line(history).find("V0065=17/h V0065=18/h V0065=19/h V0065=20/h V0065=21/h"),
            std::string::npos)
      << h.All();
  EXPECT_TRUE(Eventually(
      [&] {
        gateway_.Signal(SIGUSR1);
        return gateway_.Log().find("replayed 5 ") != std::string::npos;
      },
      10s, 200ms))
      << gateway_.Log();
  EXPECT_NE(gateway_.Log().find("store now 0 dropped 0 "), std::string::npos) << gateway_.Log();
  EXPECT_EQ(h.All().find("SEQ-GAP"), std::string::npos) << h.All();
}

TEST_F(MqttE2e, BirthsWaitForThePrimaryHostAndStoredChangesFollowItsReturn) {
  ASSERT_TRUE(broker_->Start());
  Launch(Url() + "primary_host_id = \"scada\"\n");
  Host& h = *host_;
  ASSERT_EQ(Cmd({"state", "scada", "offline"}), "sent\n");
  ASSERT_TRUE(
      Eventually([&] { return gateway_.Log().find("mqtt: connected") != std::string::npos; }));
  ASSERT_EQ(sim_.Control("set 05 V 0065 0021").rfind("ok", 0), 0u);
  ASSERT_TRUE(Polled(0x21));
  ASSERT_TRUE(h.Wait("STATE scada", 0));
  EXPECT_EQ(h.All().find("BIRTH"), std::string::npos) << h.All();
  ASSERT_EQ(Cmd({"state", "scada", "online"}), "sent\n");
  const int birth = h.WaitLine("NBIRTH - seq=0 bdSeq=0", 0);
  ASSERT_GE(birth, 0) << h.All() << gateway_.Log();
  // Offline again: NDEATH, and a new session that waits for the host while
  // changes are stored; back: births, then the stored change.
  const size_t online = h.Count();
  ASSERT_EQ(Cmd({"state", "scada", "offline"}), "sent\n");
  ASSERT_TRUE(h.Wait("NDEATH - seq=- bdSeq=0", online)) << h.All() << gateway_.Log();
  ASSERT_TRUE(
      Eventually([&] { return gateway_.Log().find("(bdSeq 1)") != std::string::npos; }, 10s))
      << gateway_.Log();
  ASSERT_EQ(sim_.Control("set 05 V 0065 0022").rfind("ok", 0), 0u);
  ASSERT_TRUE(Polled(0x22));
  ASSERT_EQ(Cmd({"state", "scada", "online"}), "sent\n");
  const int back = h.WaitLine("STATE scada {\"online\": true", online);
  ASSERT_GE(back, 0) << h.All();
  const int again = h.WaitLine("NBIRTH - seq=0 bdSeq=1", online);
  ASSERT_GE(again, 0) << h.All() << gateway_.Log();
  EXPECT_GT(again, back) << h.All();
  const int history = h.WaitLine("DDATA north-05", static_cast<size_t>(again));
  ASSERT_GE(history, 0) << h.All();
  EXPECT_NE(h.Line(history).find("V0065=34/h"), std::string::npos) << h.All();
  EXPECT_LT(h.WaitLine("DBIRTH north-05", static_cast<size_t>(again)), history);
}

TEST_F(MqttE2e, ReloadKeepsTheSessionUnlessTheBrokerSettingsChange) {
  ASSERT_TRUE(broker_->Start());
  Launch(Url());
  Host& h = *host_;
  ASSERT_TRUE(h.Wait("DBIRTH boiler", 0)) << h.All() << gateway_.Log();
  const auto rewrite = [&](const std::string& from, const std::string& to) {
    std::ifstream in(gateway_.ConfigPath());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.replace(text.find(from), from.size(), to);
    std::ofstream(gateway_.ConfigPath()) << text;
    gateway_.Signal(SIGHUP);
  };
  // A device renamed, the broker the same: births again, same bdSeq.
  size_t before = h.Count();
  rewrite("name = \"boiler\"", "name = \"boiler-2\"");
  ASSERT_TRUE(h.Wait("NBIRTH - seq=0 bdSeq=0 ", before)) << h.All() << gateway_.Log();
  ASSERT_TRUE(h.Wait("DBIRTH boiler-2 ", before)) << h.All();
  // Another keepalive: a new session (NDEATH, then bdSeq 1).
  before = h.Count();
  rewrite("edge_node_id = \"gw1\"", "keepalive_s = 20\nedge_node_id = \"gw1\"");
  ASSERT_TRUE(h.Wait("NDEATH - seq=- bdSeq=0", before)) << h.All() << gateway_.Log();
  ASSERT_TRUE(h.Wait("NBIRTH - seq=0 bdSeq=1 ", before)) << h.All() << gateway_.Log();
  EXPECT_EQ(h.All().find("SEQ-GAP"), std::string::npos) << h.All();
}

TEST_F(MqttE2e, TlsWithAClientCertificateOnceTheBrokerComesUp) {
  const std::string certs = dir_ + "/certs";
  ASSERT_NE(gwtest::Shell("bash " TLS_CERTS_SH " " + certs).find("made"), std::string::npos);
  broker_->UseTls(certs);
  // The broker is not there yet: the gateway keeps trying with back-off.
  Launch("url = \"mqtts://127.0.0.1:" + std::to_string(broker_->TlsPort()) + "\"\nca_file = \"" +
             certs + "/ca.crt\"\ncert_file = \"" + certs + "/operator.crt\"\nkey_file = \"" +
             certs + "/operator.key\"\n",
         false);
  ASSERT_TRUE(Eventually([&] {
    return gateway_.Log().find("mqtt: cannot connect to mqtts://") != std::string::npos;
  })) << gateway_.Log();
  ASSERT_TRUE(broker_->Start());
  Host tlsHost(dir_, {"--port", std::to_string(broker_->TlsPort()), "--tls", certs + "/ca.crt",
                      certs + "/viewer.crt", certs + "/viewer.key"});
  ASSERT_TRUE(tlsHost.Listen());
  // The gateway may have connected and sent its births before this host
  // subscribed (births are not retained): a host that joins late asks for
  // them again, as any Sparkplug host does.
  Cmd({"cmd", "spBv1.0/plant/NCMD/gw1", "Node Control/Rebirth", "bool", "true"});
  ASSERT_TRUE(tlsHost.Wait("DBIRTH north-05", 0, 60s)) << tlsHost.All() << gateway_.Log();
  EXPECT_NE(gateway_.Log().find("mqtt: connected to mqtts://"), std::string::npos);
}

TEST_F(MqttE2e, ABrokerCertificateFromAnotherCaIsNamedOnceWithTheReason) {
  const std::string certs = dir_ + "/certs";
  ASSERT_NE(gwtest::Shell("bash " TLS_CERTS_SH " " + certs).find("made"), std::string::npos);
  broker_->UseTls(certs);
  ASSERT_TRUE(broker_->Start());
  Launch("url = \"mqtts://127.0.0.1:" + std::to_string(broker_->TlsPort()) + "\"\nca_file = \"" +
             certs + "/rogue-ca.crt\"\ncert_file = \"" + certs + "/operator.crt\"\nkey_file = \"" +
             certs + "/operator.key\"\n",
         false);
  // Three failed attempts (SIGUSR1 logs the counters), one line saying why.
  ASSERT_TRUE(Eventually(
      [&] {
        gateway_.Signal(SIGUSR1);
        return gateway_.Log().find(" failed 3 ") != std::string::npos;
      },
      30s, 1s))
      << gateway_.Log();
  const std::string log = gateway_.Log();
  const size_t at = log.find("the broker's certificate /CN=mqtt-broker failed verification: ");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string line = log.substr(at, log.find('\n', at) - at);
  EXPECT_NE(line.find("unknown issuer"), std::string::npos) << line;
  EXPECT_NE(line.find("/CN=ca test CA"), std::string::npos) << line;
  EXPECT_NE(line.find("not the CA of ca_file " + certs + "/rogue-ca.crt"), std::string::npos)
      << line;
  EXPECT_EQ(log.find("failed verification", at + line.size()), std::string::npos) << log;
  EXPECT_EQ(log.find("mqtt: connected"), std::string::npos) << log;
}

// The metrics of a birth line, without its verb, device and seq.
std::string MetricsOf(const std::string& birth) {
  size_t at = birth.find(" seq=");
  at = birth.find(' ', at + 1);
  return at == std::string::npos ? "" : birth.substr(at + 1);
}

TEST_F(MqttE2e, TagsByNameTypeScalingQualityAndWritesInEngineeringUnits) {
  // A level in % over V0065 (0..10000 raw), a BCD counter, an Int32 over
  // two words, a bit, a BCD word with a digit above 9, and a tag read once
  // that goes stale; the boiler (no tags) keeps its address metrics.
  std::ofstream(dir_ + "/tags.csv")
      << "device,name,address,type,raw_low,raw_high,eng_low,eng_high,units,description,"
         "poll_ms,max_age_ms,writable\r\n"
         "north-05,Boiler 1/Drum/Level,V0065,uint16,0,10000,0,100,%,\"Drum level, "
         "\"\"wide\"\"\",,,true\r\n"
         "north-05,Boiler 1/Counter,V0064,bcd16,,,,,,,,,true\r\n"
         "north-05,Boiler 1/Total,V0066,int32,,,,,,,,,true\r\n"
         "north-05,Boiler 1/Burner on,V0067.1,bool,,,,,,,,,\r\n"
         "north-05,Boiler 1/Bad BCD,V0066,bcd16,,,,,,,,,\r\n"
         "north-05,Boiler 1/Slow,V0300,uint16,,,,,,,3600000,1000,\r\n"
         "north-05,Boiler 1/Flame,X0010,bool,,,,,,,,,\r\n";
  ASSERT_TRUE(broker_->Start());
  Launch(Url() + "writes = true\n", true, "tags = \"" + dir_ + "/tags.csv\"\n", {"--detail"});
  Host& h = *host_;
  const int dbirth = h.WaitLine("DBIRTH north-05 ", 0);
  ASSERT_GE(dbirth, 0) << h.All() << gateway_.Log();
  const std::string birth = h.Line(dbirth);
  for (const char* metric : {"Boiler_1/Drum/Level=100:Double{engUnit=%,engLow=0,engHigh=100,"
                             "Documentation=Drum_level,_\"wide\",readOnly=false,Quality=192}",
                             "Boiler_1/Counter=17:UInt16{readOnly=false,Quality=192}",
                             "Boiler_1/Total=16711683:Int32{readOnly=false,Quality=192}",
                             "Boiler_1/Burner_on=true:Boolean{readOnly=true,Quality=192}",
                             "Boiler_1/Bad_BCD=0:UInt16{readOnly=true,Quality=-2147483136}"}) {
    EXPECT_NE(birth.find(metric), std::string::npos) << metric << "\n" << birth;
  }
  EXPECT_EQ(birth.find("V0064"), std::string::npos) << birth;
  ASSERT_TRUE(h.Wait("DBIRTH boiler", 0)) << h.All();
  EXPECT_NE(h.Line(h.WaitLine("DBIRTH boiler", 0)).find("F0200=10:Float"), std::string::npos);

  // The tag read once goes stale alone: its quality in a DDATA, no DDEATH.
  const int stale = h.WaitLine("DDATA north-05", 0);
  ASSERT_GE(stale, 0) << h.All();
  EXPECT_TRUE(Eventually(
      [&] {
        h.Wait("DDATA north-05", h.Count(), 200ms);
        return h.All().find("Boiler_1/Slow=0{Quality=-2147483132}") != std::string::npos;
      },
      10s))
      << h.All();
  EXPECT_EQ(h.All().find("DDEATH north-05"), std::string::npos) << h.All();

  // DCMD in engineering units: the raw words land; out of range is refused.
  Cmd({"cmd", "spBv1.0/plant/DCMD/gw1/north-05", "Boiler 1/Drum/Level", "double", "42.5",
       "Boiler 1/Counter", "int", "1234", "Boiler 1/Total", "int", "-2"});
  Cmd({"cmd", "spBv1.0/plant/DCMD/gw1/north-05", "Boiler 1/Drum/Level", "double", "150"});
  EXPECT_TRUE(
      Eventually([&] { return sim_.Control("dump 05 V 0064 4") == "ok 1234 109A FFFF FFFE"; }, 10s))
      << sim_.Control("dump 05 V 0064 4");
  EXPECT_TRUE(Eventually(
      [&] {
        h.Wait("DDATA north-05", h.Count(), 200ms);
        const std::string all = h.All();
        return all.find("Boiler_1/Drum/Level=42.5") != std::string::npos &&
               all.find("Boiler_1/Total=-2") != std::string::npos;
      },
      10s))
      << h.All();
  EXPECT_TRUE(Eventually([&] {
    return gateway_.Log().find(
               "audit: write from mqtt:tiway-plant-gw1 DCMD north-05 tag 'Boiler 1/Drum/Level' "
               "(V0065) value 42.5 words 4250: status 0, written") != std::string::npos;
  })) << gateway_.Log();
  EXPECT_TRUE(Eventually([&] {
    return gateway_.Log().find(
               "value 150: status none (not sent), not written (the value 150.000000 is "
               "outside eng_low..eng_high") != std::string::npos;
  })) << gateway_.Log();
}

TEST_F(MqttE2e, TheExportedTagFileImportedPublishesTheSameValues) {
  ASSERT_TRUE(broker_->Start());
  Launch(Url());
  Host& h = *host_;
  const int first = h.WaitLine("DBIRTH north-05 ", 0);
  ASSERT_GE(first, 0) << h.All() << gateway_.Log();
  const std::string before = MetricsOf(h.Line(first));
  const std::string csv = gwtest::Shell(std::string(TIWAY_GATEWAY_PATH) + " --config " +
                                        gateway_.ConfigPath() + " --export-tags");
  EXPECT_EQ(csv.substr(0, 35), "device,name,address,type,word_order") << csv;
  EXPECT_NE(csv.find("north-05,V0066,V0066,uint16,,,,,,,,,,50,1500,true\r\n"), std::string::npos)
      << csv;
  std::ofstream(dir_ + "/tags.csv") << csv;
  // The same file with the tags: births again (the metrics are tags now),
  // with the same names, values and order.
  std::ifstream in(gateway_.ConfigPath());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text.replace(text.find("[gateway]\n"), 10, "[gateway]\ntags = \"" + dir_ + "/tags.csv\"\n");
  std::ofstream(gateway_.ConfigPath()) << text;
  const size_t mark = h.Count();
  gateway_.Signal(SIGHUP);
  const int again = h.WaitLine("DBIRTH north-05 ", mark);
  ASSERT_GE(again, 0) << h.All() << gateway_.Log();
  EXPECT_EQ(MetricsOf(h.Line(again)), before);
  const int boiler = h.WaitLine("DBIRTH boiler ", mark);
  ASSERT_GE(boiler, 0) << h.All();
  EXPECT_NE(h.Line(boiler).find("F0200=10"), std::string::npos) << h.Line(boiler);
}

}  // namespace
