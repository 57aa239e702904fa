// The Sparkplug B edge node's session, without sockets: topics, births and
// deaths, seq and bdSeq, data by exception, commands, the primary host's
// STATE, and store and forward. One thread calls it (the MQTT thread); what
// it sends goes through a Publisher (the transport, or a test's recorder).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gateway/config/mqtt_settings.h"
#include "gateway/mqtt/mq_model.h"
#include "gateway/mqtt/mq_store.h"

namespace tiway::sparkplug {
class Payload;
}

namespace mqtt {

struct Message {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
};

class Publisher {
 public:
  virtual ~Publisher() = default;
  // False when the message could not be handed to the session (it is gone).
  virtual bool Publish(const Message& message) = 0;
};

// A metric's value as one poll left it.
struct Value {
  uint64_t bits = 0;    // in its metric's datatype (BitsOf)
  bool good = false;    // read well, and not older than its table's max_age_ms
  uint64_t timeMs = 0;  // when the poll that read it ended (UTC ms)
  int32_t quality = 0;  // tags: kQualityGood, kQualityBad or kQualityStale
};

struct LineStatus {
  std::string state;  // gateway::PhaseName: "running", "port failed", ...
  uint64_t transactions = 0, failures = 0;
};

// A DCMD write the node accepted: the device, its metric and the value.
struct Write {
  size_t device = 0;
  size_t metric = 0;
  uint64_t bits = 0;
  double number = 0;  // a tag's: the value in engineering units
};

struct NodeCounters {
  // undeliverable: stored changes given up because their device or metric
  // is gone from the configuration.
  uint64_t published = 0, stored = 0, replayed = 0, undeliverable = 0;
  uint64_t commands = 0, writes = 0, refusals = 0, rebirths = 0;
};

class EdgeNode {
 public:
  EdgeNode(const Model& model, const Settings& settings, Store& store, Publisher& publisher);

  std::string Topic(const char* type, const std::string& device = "") const;
  // The NDEATH payload for a session with this bdSeq (the MQTT will).
  std::string DeathPayload(uint64_t bdSeq) const;

  // A session is up (CONNACK received, commands and STATE subscribed).
  // Without a primary host the births go out at once.
  void SessionStarted(uint64_t bdSeq, uint64_t nowMs);
  void SessionLost();
  // A message on spBv1.0/STATE/<primary host>.
  void HostState(const std::string& payload, uint64_t nowMs);
  bool HostOnline() const { return hostOnline_; }

  enum class Command { None, Rebirth, NextServer };
  // An NCMD or DCMD: writes accepted go to `writes`, refusals (logged by
  // the caller) to `refusals`.
  Command OnCommand(const std::string& topic, const std::string& payload,
                    std::vector<Write>& writes, std::vector<std::string>& refusals);
  // The model was replaced in place (a reload): the devices' state starts
  // again; the caller samples them and asks for births.
  void ModelChanged();
  // Births again in the same session (same bdSeq): Node Control/Rebirth.
  void Rebirth(uint64_t nowMs);

  // One poll of a device's metrics (in the model's order); `lineUp` false
  // when its line's port has failed. Publishes what changed, a DDEATH or a
  // DBIRTH, or stores the changes while no session publishes.
  void Sample(size_t device, const std::vector<Value>& values, bool lineUp, uint64_t nowMs);
  // The lines' state and counters; counters are published only when
  // `withCounters` (the caller paces them), a state as soon as it changes.
  void Lines(const std::vector<LineStatus>& lines, bool withCounters, uint64_t nowMs);

  bool Publishing() const { return session_ && born_; }
  // What the node has to say in the log since the last call (stored
  // changes given up, with the reason).
  std::vector<std::string> TakeNotes() { return std::exchange(notes_, {}); }
  bool DeviceAlive(size_t device) const { return devices_[device].alive; }
  const NodeCounters& Counters() const { return counters_; }
  uint8_t LastSeq() const { return static_cast<uint8_t>(seq_ - 1); }

 private:
  struct DeviceState {
    std::vector<Value> current;    // as last polled
    std::vector<uint64_t> known;   // the value subscribers have (or will have, stored)
    std::vector<int32_t> quality;  // tags: the quality subscribers have
    bool polled = false;           // a poll has been seen since the start
    bool alive = false;            // line up and every value good
    bool born = false;             // DBIRTH sent in this session (no DDEATH since)
  };
  void Births(uint64_t nowMs);
  void DeviceBirth(size_t device, uint64_t nowMs);
  void DeviceDeath(size_t device, uint64_t nowMs);
  // A device's DDATA of `p` while a session publishes, else `changes` into
  // the store.
  void PublishOrStore(const DeviceDef& def, tiway::sparkplug::Payload& p,
                      const std::vector<StoredChange>& changes, uint64_t nowMs);
  void SampleTags(size_t device, const std::vector<Value>& values, bool lineUp, uint64_t nowMs);
  void Replay(size_t device, uint64_t nowMs);
  void DropUndeliverable();
  bool Send(const std::string& topic, std::string payload);
  bool Changed(const MetricDef& metric, uint64_t known, uint64_t now) const;
  uint64_t NextSeq() { return static_cast<uint64_t>(seq_++); }

  const Model& model_;
  const Settings& settings_;
  Store& store_;
  Publisher& publisher_;
  std::vector<DeviceState> devices_;
  std::vector<LineStatus> lines_;     // as subscribers know them
  std::vector<LineStatus> linesNow_;  // as last reported (the births carry these)
  bool session_ = false, born_ = false;
  bool hostOnline_ = false;
  uint64_t hostTimestamp_ = 0;
  uint64_t bdSeq_ = 0;
  uint8_t seq_ = 0;
  NodeCounters counters_;
  std::vector<std::string> notes_;
};

// "{"online": true, "timestamp": 1700000000000}": false when it is not
// such a JSON object.
bool ParseHostState(const std::string& payload, bool& online, uint64_t& timestamp);

}  // namespace mqtt
