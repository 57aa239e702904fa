// The edge node's logic without a broker: the [mqtt] section, the model,
// the session (seq, bdSeq, births, data by exception, deaths, commands,
// the primary host) and the stores. What it publishes is decoded with the
// payload schema.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/mqtt/mq_model.h"
#include "gateway/mqtt/mq_node.h"
#include "gateway/mqtt/mq_store.h"
#include "sparkplug_b.pb.h"

namespace {

namespace pb = tiway::sparkplug;

const char* kBase = R"([[line]]
name = "north"
port = "/dev/ttyS0"
[[unit]]
id = 1
line = "north"
station = 0x05
holding = [{address = 0, count = 2, v = 0x64, writable = true, signed = true},
           {address = 10, count = 2, f = 0x200, writable = true, word_order = "low-first", deadband = 0.5}]
discrete = [{address = 0, count = 2, x = 0x10}]
coil = [{address = 0, count = 2, y = 0x20}]
[[unit]]
id = 2
name = "boiler"
line = "north"
station = 0x0A
input = [{address = 0, count = 1, v = 0x1}]
)";

gateway::ConfigResult Parse(const std::string& mqtt) {
  return gateway::ParseConfig(std::string(kBase) + mqtt, "gw.toml");
}

TEST(MqttConfig, SectionKeysAndDeviceIdsAreCheckedWithTheirLine) {
  const struct {
    std::string mqtt, error;  // error "": accepted
  } rows[] = {
      {"", ""},
      {"[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\n", ""},
      {"[mqtt]\nurls = [\"mqtts://a:8883\", \"mqtt://[::1]:1\"]\ngroup_id = \"g\"\n"
       "edge_node_id = \"n\"\nca_file = \"ca.pem\"\n",
       ""},
      {"[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\npasword_file = "
       "\"p\"\n",
       "gw.toml:22: unknown key 'pasword_file' in [mqtt]"},
      {"[mqtt]\nurl = \"tcp://h:1\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\n",
       "gw.toml:19: 'tcp://h:1' is not mqtt://HOST:PORT or mqtts://HOST:PORT"},
      {"[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"a/b\"\nedge_node_id = \"n\"\n",
       "gw.toml:20: group_id 'a/b' must be UTF-8 text without + / or #"},
      {"[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\n", "gw.toml:18: [mqtt] needs edge_node_id"},
      {"[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\nca_file = \"c\"\n",
       "gw.toml:18: ca_file, cert_file, key_file and tls_verify need an mqtts:// url"},
      {"[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\n"
       "password_file = \"p\"\n",
       "gw.toml:22: password_file needs username"},
      {"[[unit]]\nid = 3\nname = \"boiler\"\nline = \"north\"\nstation = 3\n"
       "input = [{address = 0, count = 1, v = 1}]\n[mqtt]\nurl = \"mqtt://h:1\"\n"
       "group_id = \"g\"\nedge_node_id = \"n\"\n",
       "gw.toml:18: MQTT device id 'boiler' is used by two units"},
  };
  for (const auto& row : rows) {
    const gateway::ConfigResult result = Parse(row.mqtt);
    EXPECT_EQ(result.error, row.error) << row.mqtt;
  }
  // Table keys of the edge node: signed on V tables, deadband on F tables.
  const gateway::ConfigResult bad = gateway::ParseConfig(
      "[[line]]\nname = \"a\"\nport = \"p\"\n[[unit]]\nid = 1\nline = \"a\"\nstation = 1\n"
      "input = [{address = 0, count = 2, f = 0x200, signed = true}]\n",
      "x.toml");
  EXPECT_EQ(bad.error, "x.toml:8: signed applies to V tables only");
  const gateway::ConfigResult ok = Parse(
      "[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\nkeepalive_s = 12\n");
  ASSERT_TRUE(ok.config) << ok.error;
  EXPECT_EQ(ok.config->mqtt.clientId, "tiway-g-n");
  EXPECT_FALSE(ok.config->mqtt.writes);
  EXPECT_EQ(ok.config->mqtt.keepaliveS, 12);
}

TEST(MqttModel, DevicesMetricsAliasesAndDatatypesFollowTheTables) {
  const gateway::ConfigResult r =
      Parse("[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\n");
  ASSERT_TRUE(r.config) << r.error;
  const mqtt::Model model = mqtt::BuildModel(*r.config);
  ASSERT_EQ(model.devices.size(), 2u);
  EXPECT_EQ(model.devices[0].id, "north-05");
  EXPECT_EQ(model.devices[1].id, "boiler");
  std::vector<std::string> names;
  std::vector<uint64_t> aliases;
  for (const auto& d : model.devices) {
    for (const auto& m : d.metrics) {
      names.push_back(m.name + ":" + std::to_string(static_cast<int>(m.type)) +
                      (m.writable ? "w" : ""));
      aliases.push_back(m.alias);
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"V0064:2w", "V0065:2w", "F0200:9w", "Y0020:11",
                                             "Y0021:11", "X0010:11", "X0011:11", "V0001:6"}));
  // Aliases: after bdSeq, the two controls and three per line, one each, unique.
  EXPECT_EQ(aliases, (std::vector<uint64_t>{6, 7, 8, 9, 10, 11, 12, 13}));
  const mqtt::MetricDef& f = model.devices[0].metrics[2];
  EXPECT_EQ(f.memory, 'V');
  EXPECT_EQ(f.element, 0x200u);
  EXPECT_EQ(f.deadband, 0.5);
}

// Records what the node publishes; `up` false refuses (the session is gone).
struct Recorder : mqtt::Publisher {
  std::vector<mqtt::Message> sent;
  bool up = true;
  bool Publish(const mqtt::Message& m) override {
    if (!up) return false;
    sent.push_back(m);
    return true;
  }
  pb::Payload At(size_t i) const {
    pb::Payload p;
    EXPECT_TRUE(p.ParseFromString(sent.at(i).payload));
    return p;
  }
  std::vector<std::string> Types() const {  // "NBIRTH", "DDATA/north-05" ...
    std::vector<std::string> out;
    for (const auto& m : sent) out.push_back(m.topic.substr(std::strlen("spBv1.0/g/")));
    return out;
  }
};

uint64_t FloatBits(float f) {
  uint32_t w = 0;
  std::memcpy(&w, &f, sizeof w);
  return w;
}

class NodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const gateway::ConfigResult r = Parse(
        "[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\nedge_node_id = \"n\"\nwrites = true\n" +
        extra_);
    ASSERT_TRUE(r.config) << r.error;
    config_ = *r.config;
    model_ = mqtt::BuildModel(config_);
  }
  mqtt::EdgeNode& Node() {
    if (!node_) node_ = std::make_unique<mqtt::EdgeNode>(model_, config_.mqtt, store_, rec_);
    return *node_;
  }
  // Device 0's values: V0064, V0065, F0200, Y0020, Y0021, X0010, X0011.
  std::vector<mqtt::Value> Unit1(uint64_t v64, float f, uint64_t timeMs = 1000) {
    std::vector<uint64_t> bits = {v64, 2, FloatBits(f), 0, 1, 1, 0};
    std::vector<mqtt::Value> out;
    for (uint64_t b : bits) out.push_back(mqtt::Value{b, true, timeMs});
    return out;
  }
  std::vector<mqtt::Value> Unit2(uint64_t v) { return {mqtt::Value{v, true, 1000}}; }

  std::string extra_;
  gateway::Config config_;
  mqtt::Model model_;
  mqtt::MemoryStore store_{1000};
  Recorder rec_;
  std::unique_ptr<mqtt::EdgeNode> node_;
};

TEST_F(NodeTest, BirthsThenDataByExceptionWithSeqAcrossAllMessagesAndWrap) {
  mqtt::EdgeNode& node = Node();
  node.Sample(0, Unit1(7, 1.0f), true, 500);
  node.Sample(1, Unit2(3), true, 500);
  node.SessionStarted(41, 1000);
  ASSERT_EQ(rec_.Types(),
            (std::vector<std::string>{"NBIRTH/n", "DBIRTH/n/north-05", "DBIRTH/n/boiler"}));
  const pb::Payload nbirth = rec_.At(0);
  EXPECT_EQ(nbirth.seq(), 0u);
  EXPECT_EQ(nbirth.metrics(0).name(), "bdSeq");
  EXPECT_EQ(nbirth.metrics(0).long_value(), 41u);
  EXPECT_EQ(nbirth.metrics(1).name(), "Node Control/Rebirth");
  EXPECT_FALSE(nbirth.metrics(1).boolean_value());
  const pb::Payload dbirth = rec_.At(1);
  EXPECT_EQ(dbirth.seq(), 1u);
  ASSERT_EQ(dbirth.metrics_size(), 7);
  EXPECT_EQ(dbirth.metrics(0).int_value(), 7u);
  EXPECT_EQ(dbirth.metrics(2).float_value(), 1.0f);
  EXPECT_EQ(dbirth.metrics(2).datatype(), 9u);
  // The same values: nothing. A change under the deadband: nothing; a
  // signed word: its two's complement in the 32-bit field.
  node.Sample(0, Unit1(7, 1.0f), true, 1100);
  node.Sample(0, Unit1(7, 1.4f), true, 1200);
  EXPECT_EQ(rec_.sent.size(), 3u);
  node.Sample(0, Unit1(0xFFFE, 1.6f, 1300), true, 1301);
  ASSERT_EQ(rec_.sent.size(), 4u);
  const pb::Payload ddata = rec_.At(3);
  ASSERT_EQ(ddata.metrics_size(), 2);
  EXPECT_FALSE(ddata.metrics(0).has_name());
  EXPECT_EQ(ddata.metrics(0).alias(), 6u);
  EXPECT_EQ(static_cast<int32_t>(ddata.metrics(0).int_value()), -2);
  EXPECT_EQ(ddata.metrics(0).timestamp(), 1300u);
  EXPECT_EQ(ddata.metrics(1).float_value(), 1.6f);
  EXPECT_EQ(ddata.seq(), 3u);
  // seq runs 0-255 over every message, then 0 again.
  for (uint64_t v = 0; v < 300; ++v) node.Sample(1, Unit2(100 + v), true, 2000 + v);
  EXPECT_EQ(rec_.At(rec_.sent.size() - 1).seq(), (3u + 300u) % 256u);
  // Rebirth: NBIRTH seq 0 with the same bdSeq and the lines' current
  // counters (not yet due in an NDATA), then every DBIRTH.
  node.Lines({{"running", 9, 1}}, false, 4000);
  const size_t before = rec_.sent.size();
  node.Rebirth(5000);
  ASSERT_EQ(rec_.sent.size(), before + 3);
  EXPECT_EQ(rec_.At(before).seq(), 0u);
  EXPECT_EQ(rec_.At(before).metrics(0).long_value(), 41u);
  EXPECT_EQ(rec_.At(before).metrics(4).long_value(), 9u);  // Lines/north/Transactions
  EXPECT_EQ(rec_.At(before + 2).metrics(0).int_value(), 399u);
}

TEST_F(NodeTest, SilentDeviceDiesAndIsBornAgain) {
  mqtt::EdgeNode& node = Node();
  node.Sample(0, Unit1(7, 1.0f), true, 500);
  node.SessionStarted(0, 1000);
  auto stale = Unit1(7, 1.0f);
  stale[4].good = false;
  node.Sample(0, stale, true, 1100);
  node.Sample(0, stale, true, 1200);            // dead already: nothing more
  node.Sample(0, Unit1(9, 1.0f), false, 1300);  // line down: still dead
  node.Sample(0, Unit1(9, 1.0f), true, 1400);
  EXPECT_EQ(rec_.Types(), (std::vector<std::string>{"NBIRTH/n", "DBIRTH/n/north-05",
                                                    "DDEATH/n/north-05", "DBIRTH/n/north-05"}));
  EXPECT_EQ(rec_.At(2).seq(), 2u);
  EXPECT_EQ(rec_.At(2).metrics_size(), 0);
  EXPECT_EQ(rec_.At(3).metrics(0).int_value(), 9u);
}

TEST_F(NodeTest, ChangesWithoutASessionAreStoredAndFollowTheBirthsAsHistorical) {
  mqtt::EdgeNode& node = Node();
  node.Sample(0, Unit1(1, 1.0f, 100), true, 100);  // first values: the birth's
  node.SessionStarted(0, 150);
  rec_.up = false;  // the broker went away: the DDATA fails, so it is stored
  node.Sample(0, Unit1(2, 1.0f, 200), true, 200);
  EXPECT_FALSE(node.Publishing());
  node.Sample(0, Unit1(3, 1.0f, 300), true, 300);
  node.Sample(0, Unit1(3, 9.0f, 400), true, 400);
  EXPECT_EQ(store_.Size(), 3u);
  rec_.up = true;
  rec_.sent.clear();
  node.SessionStarted(1, 500);
  ASSERT_EQ(rec_.Types(),
            (std::vector<std::string>{"NBIRTH/n", "DBIRTH/n/north-05", "DDATA/n/north-05"}));
  const pb::Payload history = rec_.At(2);
  ASSERT_EQ(history.metrics_size(), 3);
  const uint64_t times[] = {200, 300, 400};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(history.metrics(i).is_historical());
    EXPECT_EQ(history.metrics(i).timestamp(), times[i]);
  }
  EXPECT_EQ(history.metrics(0).int_value(), 2u);
  EXPECT_EQ(history.metrics(1).int_value(), 3u);
  EXPECT_EQ(history.metrics(2).float_value(), 9.0f);
  EXPECT_EQ(history.seq(), 2u);
  EXPECT_EQ(store_.Size(), 0u);
  // The bound: the oldest go, counted.
  mqtt::MemoryStore small(2);
  small.Append({{"d", 1, 6, 1, 1}, {"d", 1, 6, 2, 2}, {"d", 1, 6, 3, 3}});
  std::vector<mqtt::StoredChange> kept;
  small.Peek(10, kept);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].bits, 2u);
  EXPECT_EQ(small.Dropped(), 1u);
}

class PrimaryHostTest : public NodeTest {
 protected:
  PrimaryHostTest() { extra_ = "primary_host_id = \"scada\"\n"; }
};

TEST_F(PrimaryHostTest, BirthsWaitForTheHostAndAStaleStateIsIgnored) {
  mqtt::EdgeNode& node = Node();
  node.Sample(1, Unit2(1), true, 100);
  node.SessionStarted(0, 100);
  node.Sample(1, Unit2(2), true, 200);
  EXPECT_TRUE(rec_.sent.empty());
  node.HostState("{\"online\": true, \"timestamp\": 5000}", 300);
  EXPECT_EQ(rec_.Types(),
            (std::vector<std::string>{"NBIRTH/n", "DBIRTH/n/boiler", "DDATA/n/boiler"}));
  // An older STATE (a late copy) changes nothing; a newer offline stores.
  node.HostState("{\"online\": false, \"timestamp\": 4000}", 400);
  EXPECT_TRUE(node.Publishing());
  node.HostState("{\"online\":false,\"timestamp\":6000}", 500);
  node.Sample(1, Unit2(3), true, 600);
  EXPECT_EQ(rec_.sent.size(), 3u);
  EXPECT_EQ(store_.Size(), 1u);
  node.HostState("not json", 700);
  node.HostState("{\"online\": true, \"timestamp\": 7000}", 800);
  EXPECT_EQ(rec_.sent.size(), 6u);
  EXPECT_TRUE(rec_.At(5).metrics(0).is_historical());
}

std::string Command(const std::vector<std::function<void(pb::Payload::Metric&)>>& metrics) {
  pb::Payload p;
  p.set_timestamp(1);
  for (const auto& fill : metrics) fill(*p.add_metrics());
  return p.SerializeAsString();
}

TEST_F(NodeTest, CommandsWriteOnlyWritableMetricsWithTheirDatatype) {
  mqtt::EdgeNode& node = Node();
  std::vector<mqtt::Write> writes;
  std::vector<std::string> refusals;
  const std::string dcmd = "spBv1.0/g/DCMD/n/north-05";
  const auto run = [&](const std::string& topic, const std::string& payload) {
    writes.clear();
    refusals.clear();
    return node.OnCommand(topic, payload, writes, refusals);
  };
  const struct {
    std::function<void(pb::Payload::Metric&)> fill;
    std::string refusal;  // "": written
  } rows[] = {
      {[](auto& m) {
         m.set_name("V0064");
         m.set_int_value(static_cast<uint32_t>(-5));
       },
       ""},
      {[](auto& m) {
         m.set_alias(8);
         m.set_float_value(2.5f);
       },
       ""},
      {[](auto& m) {
         m.set_name("V0064");
         m.set_int_value(40000);
       },
       "V0064: needs an Int16"},
      {[](auto& m) {
         m.set_name("F0200");
         m.set_double_value(2.5);
       },
       "F0200: needs a finite Float"},
      {[](auto& m) {
         m.set_name("F0200");
         m.set_float_value(NAN);
       },
       "F0200: needs a finite Float"},
      {[](auto& m) {
         m.set_name("V0065");
         m.set_datatype(3);  // Int32, to an Int16 metric
         m.set_int_value(5);
       },
       "V0065: datatype 3 is not the metric's (2)"},
      {[](auto& m) {
         m.set_name("X0010");
         m.set_boolean_value(true);
       },
       "X0010: read only"},
      {[](auto& m) {
         m.set_name("V9999");
         m.set_int_value(1);
       },
       "'V9999': no such metric"},
      {[](auto& m) {
         m.set_alias(3);
         m.set_int_value(1);
       },
       "alias 3: no such metric"},
  };
  for (const auto& row : rows) {
    run(dcmd, Command({row.fill}));
    if (row.refusal.empty()) {
      EXPECT_EQ(writes.size(), 1u);
      EXPECT_TRUE(refusals.empty()) << refusals[0];
    } else {
      EXPECT_TRUE(writes.empty());
      ASSERT_EQ(refusals.size(), 1u);
      EXPECT_NE(refusals[0].find(row.refusal), std::string::npos) << refusals[0];
    }
  }
  run(dcmd, Command({rows[0].fill, rows[1].fill}));
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bits, 0xFFFBu);
  EXPECT_EQ(writes[1].bits, FloatBits(2.5f));
  run("spBv1.0/g/DCMD/n/nobody", Command({rows[0].fill}));
  EXPECT_EQ(refusals.size(), 1u);
  EXPECT_EQ(run("spBv1.0/g/NCMD/n", Command({[](auto& m) {
                  m.set_name("Node Control/Rebirth");
                  m.set_boolean_value(true);
                }})),
            mqtt::EdgeNode::Command::Rebirth);
  EXPECT_EQ(run("spBv1.0/g/NCMD/n", Command({[](auto& m) {
                  m.set_alias(mqtt::kAliasNextServer);
                  m.set_boolean_value(true);
                }})),
            mqtt::EdgeNode::Command::NextServer);
  EXPECT_EQ(run(dcmd, "\xff\xff garbage"), mqtt::EdgeNode::Command::None);
  EXPECT_EQ(refusals.size(), 1u);
  // With writes off (the default) nothing is written.
  mqtt::Settings off = config_.mqtt;
  off.writes = false;
  mqtt::EdgeNode quiet(model_, off, store_, rec_);
  writes.clear();
  refusals.clear();
  quiet.OnCommand(dcmd, Command({rows[0].fill}), writes, refusals);
  EXPECT_TRUE(writes.empty());
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_NE(refusals[0].find("writes are off"), std::string::npos);
}

TEST(MqttStore, SqliteKeepsChangesInOrderAndBdSeqAcrossAReopen) {
  char dir[] = "/tmp/mqtt-store-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/store.db";
  std::string error;
  {
    auto store = mqtt::SqliteStore::Open(path, 3, error);
    ASSERT_TRUE(store) << error;
    store->Append({{"a", 6, 6, 1, 10}, {"b", 7, 9, 2, 20}});
    store->Append({{"a", 6, 6, 3, 30}, {"a", 6, 6, 4, 40}});  // one over the bound
    EXPECT_EQ(store->Size(), 4u);                             // not yet committed
    store->Flush();
    store->SaveBdSeq(255);
    EXPECT_EQ(store->Dropped(), 1u);
  }
  auto store = mqtt::SqliteStore::Open(path, 3, error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->LoadBdSeq(), 255u);
  EXPECT_EQ(store->Size(), 3u);
  std::vector<mqtt::StoredChange> kept;
  store->Peek(2, kept);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].device, "b");
  EXPECT_EQ(kept[0].timeMs, 20u);
  EXPECT_EQ(kept[1].bits, 3u);
  store->Remove(2);
  store->Peek(5, kept);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].bits, 4u);
  store.reset();
  EXPECT_EQ(system(("rm -rf " + std::string(dir)).c_str()), 0);
}

}  // namespace
