// Who may do what: the real gateway, driver and simulator with pymodbus as
// the client, from several loopback addresses (127.0.0.x) standing for the
// plant's hosts. Client rules and roles, read-only tables, the audit line,
// the rate limit, per-client counters, writable F values low word first, Y
// and C as discrete inputs, device identification, IPv6 listening and the
// addresses --check refuses.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
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
using gwtest::GatewayProcess;

const char* kSimData = R"(05 V 0064 = 0017 2710 00FF 0003
05 F 0200 = 41200000 00000000
05 Y 0020 = 0 1
05 C 0030 = 1
0A V 0001 = 0BB8
)";

std::string ConfigText(const std::string& port, const std::string& gatewayKeys,
                       const std::string& clients) {
  return "[gateway]\nstats_interval_s = 3600\n" + gatewayKeys +
         "[[line]]\nname = \"l1\"\nport = \"" + port + "\"\n" + R"([[unit]]
id = 1
line = "l1"
station = 0x05
poll_ms = 100
max_age_ms = 4000
holding = [{address = 0, count = 2, v = 0x64, writable = true},
           {address = 10, count = 2, v = 0x66},
           {address = 20, count = 4, f = 0x200, writable = true, word_order = "low-first"}]
discrete = [{address = 0, count = 2, y = 0x20}, {address = 8, count = 1, c = 0x30}]
[[unit]]
id = 2
line = "l1"
station = 0x0A
holding = [{address = 0, count = 1, v = 0x0001, writable = true}]
)" + clients;
}

const char* kClients = R"([[client]]
address = "127.0.0.1"
role = "write"
[[client]]
address = "127.0.0.2/32"
role = "read"
units = [1]
[[client]]
address = "127.0.0.4"
role = "write"
max_requests_per_s = 2
)";

class GatewayAccess : public ::testing::Test {
 protected:
  void Launch(const std::string& gatewayKeys, const std::string& clients) {
    ASSERT_EQ(sim_.Start(TIWAY_SIM_PATH, kSimData, {"--stations", "5,10", "--configured"}), "");
    ASSERT_EQ(gateway_.Start(TIWAY_GATEWAY_PATH, ZORTW_LIBRARY_PATH,
                             ConfigText(sim_.Port(), gatewayKeys, clients)),
              "");
    // Every block of unit 1 read once.
    ASSERT_TRUE(Eventually([&] {
      const std::vector<std::string> got =
          gateway_.Py({"read-hr 1 0 1", "read-hr 1 20 1", "read-di 1 0 1", "read-di 1 8 1"});
      return got.size() == 4 && got[0] == "ok 23" &&
             std::all_of(got.begin(), got.end(), [](const std::string& g) { return g[0] == 'o'; });
    })) << gateway_.Log();
  }
  bool Logged(const std::string& pattern) const {
    return std::regex_search(gateway_.Log(), std::regex(pattern));
  }

  e2e::SimProcess sim_;
  GatewayProcess gateway_;
};

// The audit line: UTC date and time, client address and port, unit,
// function, first address, values, the driver's status, the answer.
const char* kStamp = R"(\n\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";

TEST_F(GatewayAccess, RolesRulesReadOnlyTablesAndTheAuditLine) {
  Launch("diagnostics = \"write\"\n", kClients);
  // An address no rule covers is refused at connect.
  EXPECT_EQ(gateway_.Py({"raw 000100000006010300000001"}, "--source 127.0.0.3"),
            std::vector<std::string>{"closed"});
  // Role read, unit 1 only: reads unit 1; no write, no unit 2, no diagnostics.
  EXPECT_EQ(gateway_.Py({"read-hr 1 0 2", "write-regs 1 0 77", "read-hr 2 0 1", "read-ir 247 0 1"},
                        "--source 127.0.0.2"),
            (std::vector<std::string>{"ok 23 10000", "exception 1", "exception 1", "exception 1"}));
  // Role write: a read-only table is 0x02, a writable one is written; the
  // diagnostics unit (role write only) answers.
  EXPECT_EQ(gateway_.Py({"write-regs 1 10 5", "write-regs 1 0 77", "read-ir 247 0 1"}),
            (std::vector<std::string>{"exception 2", "ok", "ok 1"}));
  EXPECT_EQ(sim_.Control("dump 05 V 0064 3"), "ok 004D 2710 00FF");
  // A malformed write (function 6 a byte short) is audited too.
  EXPECT_EQ(gateway_.Py({"raw 0001000000050106000001"}),
            std::vector<std::string>{"000100000003018603"});

  for (const char* line :
       {R"(refused a client from 127\.0\.0\.3:\d+: no \[\[client\]\])",
        R"(audit: write from 127\.0\.0\.2:\d+ unit 1 function 16 address 0 values 77: status )"
        R"(none \(not sent\), answered exception 0x01 \(its role is read\)\n)",
        R"(audit: write from 127\.0\.0\.1:\d+ unit 1 function 16 address 10 values 5: status )"
        R"(none \(not sent\), answered exception 0x02 \(not a writable address\)\n)",
        R"(audit: write from 127\.0\.0\.1:\d+ unit 1 function 16 address 0 values 77: status )"
        R"(0, answered ok\n)",
        R"(audit: write from 127\.0\.0\.1:\d+ unit 1 function 6 address 0 values: status )"
        R"(none \(not sent\), answered exception 0x03 \(malformed request\)\n)"}) {
    EXPECT_TRUE(Logged(kStamp + std::string(line))) << line << "\n" << gateway_.Log();
  }

  // Per-client counters: in the stats and as diagnostics registers (the
  // first client seen is 127.0.0.1, as ::ffff:127.0.0.1).
  gateway_.Signal(SIGUSR1);
  EXPECT_TRUE(Eventually([&] {
    return gateway_.Log().find(
               "stats client 127.0.0.2: connections 1, requests 4, writes 1 "
               "(failed 1), refusals 3") != std::string::npos;
  })) << gateway_.Log();
  EXPECT_NE(gateway_.Log().find("stats client 127.0.0.3: connections 0, requests 0, writes 0 "
                                "(failed 0), refusals 1"),
            std::string::npos);
  EXPECT_EQ(gateway_.Py({"read-ir 247 10000 8"}),
            std::vector<std::string>{"ok 0 0 0 0 0 65535 32512 1"});

  // A client over its rate (2 a second) is told 0x06 (busy), not served.
  const std::vector<std::string> burst = gateway_.Py({"burst 1 20"}, "--source 127.0.0.4");
  ASSERT_EQ(burst.size(), 1u);
  EXPECT_NE(burst[0].find("exception 6"), std::string::npos) << burst[0];
  EXPECT_NE(burst[0].find("ok "), std::string::npos) << burst[0];
}

TEST_F(GatewayAccess, FloatsLowWordFirstDiscretesAndDeviceIdentification) {
  Launch("diagnostics = \"off\"\n", "");
  // F 0200 = 10.0 (41200000), low word first: registers 0000 4120.
  EXPECT_EQ(gateway_.Py({"read-hr 1 20 4", "write-regs 1 22 0 16416", "write-regs 1 21 1"}),
            (std::vector<std::string>{"ok 0 16672 0 0", "ok", "exception 2"}));
  EXPECT_EQ(sim_.Control("dump 05 V 0200 4"), "ok 4120 0000 4020 0000");  // F 0202 = 2.5
  EXPECT_EQ(gateway_.Py({"read-hr 1 22 2"}), std::vector<std::string>{"ok 0 16416"});
  // Y and C as discrete inputs, read only.
  EXPECT_EQ(gateway_.Py({"read-di 1 0 2", "read-di 1 8 1", "write-coil 1 0 1"}),
            (std::vector<std::string>{"ok 0 1", "ok 1", "exception 2"}));
  // The diagnostics unit is off: as if not configured.
  EXPECT_EQ(gateway_.Py({"read-ir 247 0 1"}), std::vector<std::string>{"exception 10"});
  // Function 43/14: the basic objects, streamed or one by one.
  EXPECT_EQ(gateway_.Py({"device-id 1 1 0", "device-id 2 4 2", "device-id 9 1 0"}),
            (std::vector<std::string>{"ok 0=zortw 1=tiway-gateway 2=" ZORTW_VERSION,
                                      "ok 2=" ZORTW_VERSION, "exception 10"}));
}

// The metrics listener, checked by promtool (Debian's prometheus package;
// the check is skipped without it) and fetched with curl.
// Also: listening on "::" (IPv6 and IPv4 clients), the warning without rules
// beyond loopback, the version in the first log line.
TEST_F(GatewayAccess, MetricsIpv6AndTheFirstLogLines) {
  Launch("listen = \"::\"\nmetrics = \"127.0.0.1:0\"\n", "");
  EXPECT_EQ(gateway_.Py({"read-hr 1 0 1"}, "--host ::1"), std::vector<std::string>{"ok 23"});
  EXPECT_TRUE(
      Logged(std::string(R"(^\d{4}-\d\d-\d\dT[0-9:.]+Z tiway-gateway )") + ZORTW_VERSION +
             " starting[^\n]*\n[^\n]*warning: listening on :: with no \\[\\[client\\]\\] rule"))
      << gateway_.Log();
  std::smatch found;
  const std::string log = gateway_.Log();
  ASSERT_TRUE(
      std::regex_search(log, found, std::regex(R"(metrics: listening on 127\.0\.0\.1:(\d+))")))
      << log;
  const std::string url = "http://127.0.0.1:" + found[1].str();
  ASSERT_EQ(gateway_.Py({"write-regs 1 0 5", "read-hr 1 0 1"}),
            (std::vector<std::string>{"ok", "ok 5"}));
  const std::string text = gwtest::Shell("curl -sS --max-time 10 " + url + "/metrics");
  for (const char* sample :
       {"tiway_gateway_line_up{line=\"l1\"} 1\n",
        "tiway_gateway_line_writes_total{line=\"l1\"} 1\n",
        "tiway_gateway_unit_requests_total{unit=\"1\",line=\"l1\"} ",
        "tiway_gateway_client_writes_total{client=\"127.0.0.1\"} 1\n", "tiway_gateway_connections ",
        "tiway_gateway_info{version=\"" ZORTW_VERSION "\"} 1\n"}) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample << " in\n" << text;
  }
  if (gwtest::Shell("sh -c 'command -v promtool'").empty()) {
    GTEST_SKIP() << "promtool not found (Debian package prometheus): format not checked";
  }
  EXPECT_EQ(gwtest::Shell("curl -sS --max-time 10 " + url +
                          "/metrics | promtool check metrics 2>&1; echo status $?"),
            "status 0\n");
  // 20 connections that never ask: the oldest give way, a scrape is served.
  std::vector<std::unique_ptr<gwtest::RawClient>> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(std::make_unique<gwtest::RawClient>(std::stoi(found[1].str())));
  }
  EXPECT_NE(gwtest::Shell("curl -sS --max-time 10 " + url + "/metrics").find("tiway_gateway_info"),
            std::string::npos);
  // Anything else is refused, and the listener still serves.
  EXPECT_EQ(gwtest::Shell("curl -s -o /dev/null -w '%{http_code}' --max-time 10 " + url + "/x"),
            "404");
  EXPECT_EQ(gwtest::Shell("curl -s -o /dev/null -w '%{http_code}' -X POST --max-time 10 " + url +
                          "/metrics"),
            "405");
}

// SIGHUP: a broken file changes nothing; a good one replaces units, tables
// and rules while connections stay open, and a line whose settings did not
// change keeps running (its values served at once).
TEST_F(GatewayAccess, ReloadKeepsConnectionsAndRefusesABrokenFile) {
  Launch("", kClients);
  gwtest::RawClient writer(gateway_.Port()), reader(gateway_.Port(), "127.0.0.2");
  std::vector<uint8_t> answer;
  const auto ask = [&](gwtest::RawClient& client, uint8_t unit, const std::vector<uint8_t>& pdu) {
    answer.clear();
    return client.Ask(gwtest::Adu(1, unit, pdu), answer) == gwtest::RawClient::Got::Frame
               ? gwtest::Hex(std::vector<uint8_t>(answer.begin() + 7, answer.end()))
               : std::string("no answer");
  };
  ASSERT_EQ(ask(writer, 1, gwtest::ReadPdu(3, 0, 1)), "03020017");
  ASSERT_EQ(ask(reader, 2, gwtest::WritePdu(0, 7)), "8601");  // role read

  const auto reload = [&](const std::string& text, const std::string& expect) {
    std::ofstream(gateway_.ConfigPath()) << text;
    gateway_.Signal(SIGHUP);
    return Eventually([&] { return gateway_.Log().find(expect) != std::string::npos; });
  };
  const std::string base = ConfigText(sim_.Port(), "", "");
  // Line 3 of the file: an unknown key.
  std::string broken = base;
  broken.insert(broken.find("[[line]]"), "bogus = 1\n");
  EXPECT_TRUE(reload(broken, "reload refused, the running configuration stays: " +
                                 gateway_.ConfigPath() + ":3: unknown key 'bogus'"))
      << gateway_.Log();
  EXPECT_EQ(ask(reader, 2, gwtest::WritePdu(0, 7)), "8601");  // the old rules still hold

  // Unit 1's first table read only, its V0066 table moved to a unit 3 on
  // station 05 (two units on a station read points of their own; the line
  // reads the same words: its plan stays), 127.0.0.2 may write.
  std::string good = base;
  good.replace(good.find("v = 0x64, writable = true"), 25, "v = 0x64");
  good.erase(good.find("{address = 10, count = 2, v = 0x66},"), 36);
  good += R"([[unit]]
id = 3
line = "l1"
station = 0x05
poll_ms = 100
holding = [{address = 5, count = 2, v = 0x0066}]
[[client]]
address = "127.0.0.0/29"
role = "write"
)";
  EXPECT_TRUE(
      reload(good, "1 of 1 line kept running, 0 started, 0 stopped; 3 units, 1 client rule"))
      << gateway_.Log();
  EXPECT_EQ(ask(writer, 1, gwtest::WritePdu(0, 7)), "8602");        // now read only
  EXPECT_EQ(ask(writer, 3, gwtest::ReadPdu(3, 5, 1)), "030200ff");  // the kept cache, at once
  EXPECT_EQ(ask(reader, 2, gwtest::WritePdu(0, 9)),
            "060000"
            "0009");  // now role write
  EXPECT_EQ(sim_.Control("dump 0A V 0001"), "ok 0009");

  // A line whose settings change is stopped and started again; the
  // connections stay and its values come back.
  std::string slower = good;
  slower.insert(slower.find("[[unit]]"), "reply_timeout_ms = 2000\n");
  EXPECT_TRUE(reload(slower, "0 of 1 line kept running, 1 started, 1 stopped")) << gateway_.Log();
  EXPECT_TRUE(Eventually([&] { return ask(writer, 1, gwtest::ReadPdu(3, 0, 1)) == "03020017"; }))
      << gateway_.Log();
  EXPECT_EQ(ask(reader, 1, gwtest::ReadPdu(3, 1, 1)), "03022710");
}

// Modbus/TCP Security beside plain TCP, with certificates made by openssl
// (tests/gateway/tls_certs.sh): pymodbus's TLS client and openssl s_client.
TEST_F(GatewayAccess, TlsWithMutualAuthenticationAndRolesFromCertificates) {
  const std::string dir = "/tmp/gw-tls-" + std::to_string(getpid());
  ASSERT_EQ(gwtest::Shell("bash " TLS_CERTS_SH " " + dir), "made\n");
  Launch("idle_timeout_s = 2\n", "[tls]\nport = 0\ncertificate = \"" + dir +
                                     "/server.crt\"\nkey = \"" + dir + "/server.key\"\nca = \"" +
                                     dir + "/ca.crt\"\n" +
                                     "roles = { Operator = \"write\", Viewer = \"read\" }\n"
                                     "subjects = { historian = \"read\" }\n");
  std::smatch found;
  const std::string log = gateway_.Log();
  ASSERT_TRUE(std::regex_search(
      log, found, std::regex(R"(listening \(TLS, Modbus/TCP Security\) on 127\.0\.0\.1:(\d+))")))
      << log;
  const int port = std::stoi(found[1].str());
  const auto tls = [&](const std::string& name, const std::vector<std::string>& commands) {
    std::string line = "/usr/bin/python3 " MODBUS_CLIENT_PY " --tls " + dir + "/" + name + " " +
                       std::to_string(port);
    for (const std::string& c : commands) line += " '" + c + "'";
    return gwtest::Shell(line);
  };
  // Role extension Operator: write; Viewer: read only (0x01); a subject mapped to read.
  EXPECT_EQ(tls("operator", {"write-regs 1 0 55", "read-hr 1 0 1"}), "ok\nok 55\n");
  EXPECT_EQ(tls("viewer", {"read-hr 1 0 1", "write-regs 1 0 56"}), "ok 55\nexception 1\n");
  EXPECT_EQ(tls("historian", {"read-hr 1 0 2", "write-regs 1 0 57"}), "ok 55 10000\nexception 1\n");
  // Expired, or signed by a CA the gateway does not know: no session (with
  // TLS 1.3 the client learns it at its first read: pymodbus's "no answer", -1).
  for (const char* refused : {"expired", "rogue"}) {
    const std::string out = tls(refused, {"read-hr 1 0 1"});
    EXPECT_TRUE(out.rfind("error", 0) == 0 || out == "exception -1\n") << refused << ": " << out;
  }
  EXPECT_EQ(sim_.Control("dump 05 V 0064"), "ok 0037");
  EXPECT_TRUE(
      Logged(R"(audit: write from 127\.0\.0\.1:\d+ unit 1 function 16 address 0 values 56: )"
             R"(status none \(not sent\), answered exception 0x01 \(its role is read\))"))
      << gateway_.Log();
  for (const char* why : {"certificate expired", "unable to get local issuer certificate"}) {
    EXPECT_TRUE(Logged(std::string("TLS handshake failed: certificate verify failed: ") + why))
        << gateway_.Log();
  }
  // openssl s_client: one read with the operator's certificate, TLS 1.2 at
  // least; without a certificate, no answer. (-quiet waits for the gateway
  // to close the connection: idle_timeout_s.)
  const auto sClient = [&](const std::string& options) {
    return gwtest::Shell(
        "printf '\\000\\001\\000\\000\\000\\006\\001\\003\\000\\000\\000\\001' | openssl s_client "
        "-connect 127.0.0.1:" +
        std::to_string(port) + " -CAfile " + dir + "/ca.crt -quiet " + options +
        " 2>/dev/null | od -An -tx1 | tr -d ' \\n'; echo");
  };
  EXPECT_EQ(sClient("-tls1_2 -cert " + dir + "/operator.crt -key " + dir + "/operator.key"),
            "0001000000050103020037\n");
  EXPECT_EQ(sClient(""), "\n");
  // A client that never starts its handshake is closed (request_timeout_ms).
  gwtest::RawClient silent(port);
  EXPECT_TRUE(silent.ClosedWithin(20s));
  // Plain TCP is served at the same time.
  EXPECT_EQ(gateway_.Py({"read-hr 1 0 1"}), std::vector<std::string>{"ok 55"});
  gwtest::Shell("rm -rf " + dir);
}

// systemd's notification protocol, with a socket of the test's own as
// NOTIFY_SOCKET: READY (with the listening address) once the gateway
// listens, WATCHDOG=1 every half period from the event loop, STOPPING=1 on SIGTERM.
TEST_F(GatewayAccess, TellsSystemdReadyAndFeedsTheWatchdog) {
  const std::string path = "/tmp/gw-notify-" + std::to_string(getpid()) + ".sock";
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // The notify socket is read from the start, as systemd does: a datagram
  // socket holds only a few messages (net.unix.max_dgram_qlen, 10 by
  // default), and the gateway's next notification waits until one is read.
  std::mutex lock;
  std::string messages;
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    while (reading) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buffer[512];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      const std::lock_guard<std::mutex> hold(lock);
      messages.append(buffer, static_cast<size_t>(n)).append("|");
    }
  });
  const auto seen = [&] {
    const std::lock_guard<std::mutex> hold(lock);
    return messages;
  };
  const auto receive = [&](const std::string& until, int count) {
    return Eventually(
        [&] {
          const std::string text = seen();
          int n = 0;
          for (size_t at = text.find(until); at != std::string::npos;
               at = text.find(until, at + 1)) {
            ++n;
          }
          return n >= count;
        },
        20s);
  };
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  setenv("WATCHDOG_USEC", "200000", 1);
  Launch("", "");
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  EXPECT_TRUE(receive("WATCHDOG=1", 3)) << seen();
  EXPECT_EQ(
      seen().rfind(
          "READY=1\nSTATUS=listening on 127.0.0.1:" + std::to_string(gateway_.Port()) + "|", 0),
      0u)
      << seen();
  EXPECT_EQ(gateway_.Terminate(), 0);
  EXPECT_TRUE(receive("STOPPING=1", 1)) << seen();
  reading = false;
  reader.join();
  close(fd);
  unlink(path.c_str());
}

// --check refuses an address this host cannot bind (and says the version).
TEST(GatewayCheck, RefusesAnAddressThatCannotBeBound) {
  const std::string dir = "/tmp/gw-check-" + std::to_string(getpid());
  gwtest::Shell("mkdir -p " + dir);
  for (const auto& [listen, ok] : std::vector<std::pair<std::string, bool>>{
           {"192.0.2.1", false}, {"::1", true}, {"127.0.0.1", true}, {"fe80::1", false}}) {
    std::ofstream(dir + "/g.toml") << ConfigText("/dev/ttyS9", "listen = \"" + listen + "\"\n", "");
    const std::string out = gwtest::Shell(std::string(TIWAY_GATEWAY_PATH) + " --config " + dir +
                                          "/g.toml --check 2>&1; echo status $?");
    EXPECT_NE(out.find(ok ? "configuration ok: 1 line, 2 units" : "cannot be bound"),
              std::string::npos)
        << listen << ": " << out;
    EXPECT_NE(out.find(ok ? "status 0" : "status 2"), std::string::npos) << listen << ": " << out;
  }
  EXPECT_EQ(gwtest::Shell(std::string(TIWAY_GATEWAY_PATH) + " --version"),
            "tiway-gateway " ZORTW_VERSION "\n");
  gwtest::Shell("rm -rf " + dir);
}

}  // namespace
