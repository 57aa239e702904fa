// The edge node on the network: libmosquitto driven from a thread of its
// own, the only one it has (poll(2) on the client's socket and an eventfd,
// so a poll's change goes out without waiting for a timer), one MQTT
// session at a time with its will (NDEATH, QoS 1), keepalive, reconnection
// with back-off and fail-over along `urls`, TLS. The gateway's core is
// reached through Core.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/config/mqtt_settings.h"
#include "gateway/core/edge_state.h"
#include "gateway/core/points.h"
#include "gateway/mqtt/mq_model.h"
#include "gateway/mqtt/mq_node.h"
#include "gateway/mqtt/mq_store.h"

struct mosquitto;

namespace mqtt {

// What the edge node needs from the gateway: current values, the values a
// poll read, the lines' state, and writes. Called on the MQTT thread.
class Core {
 public:
  virtual ~Core() = default;
  // The device's values now (in the model's order), good by the core's one
  // rule; false when its line is not running.
  virtual bool ReadDevice(const DeviceDef& device, std::vector<Value>& out) = 0;
  // The values `out` held (the device's as the polls before left them),
  // with the metrics of `poll`'s block as it read them (good when it
  // succeeded); false when its line is not running.
  virtual bool PolledDevice(const DeviceDef& device, const gateway::PollResult& poll,
                            std::vector<Value>& out) = 0;
  virtual std::vector<LineStatus> LineStatuses() = 0;
  // Hands a write of the metric's point to the core (through its line's
  // queue, with the line's write_timeout_ms), audited naming `actor`.
  virtual void Write(const DeviceDef& device, const MetricDef& metric, uint64_t bits,
                     const std::string& actor) = 0;
  // Logs one line (the gateway's log).
  virtual void Log(const std::string& line) = 0;
};

class Service {
 public:
  Service(const Settings& settings, Model model, Core& core);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Opens the store, reads the bdSeq and starts the thread; false (and
  // `error`) when the store cannot be opened.
  bool Start(std::string& error);
  // NDEATH, DISCONNECT, and the thread ends.
  void Stop();
  // Where the core puts each poll's result (the lines' threads); the node
  // samples the devices its block holds, in the order of the polls.
  std::shared_ptr<gateway::PollQueue> Polls() const { return polls_; }
  // Which devices each block of each line holds: blocks[line][block].
  void SetBlockDevices(std::vector<std::vector<std::vector<size_t>>> blocks) {
    blockDevices_ = std::move(blocks);
  }
  std::string StatsText() const;
  // The counters and the session's state as of the last round (any thread).
  gateway::EdgeState Snapshot() const;
  const Settings& Cfg() const { return settings_; }

  // A reload, in this order from the event loop: Park (returns once the
  // edge node's thread has stopped between two rounds and touches neither
  // the core nor its own state), the core reloads, Rebind (new devices and
  // blocks with the same broker: `writes` is taken, the session stays,
  // births follow if the devices changed), Resume.
  void Park();
  void Rebind(const Settings& settings, Model model,
              std::vector<std::vector<std::vector<size_t>>> blocks);
  void Resume();

 private:
  struct Reach;
  struct Session;
  void Run();
  void StartReach();            // resolves the current url, then NextAddress
  void NextAddress();           // a TCP connection to the next of its addresses
  void Reached();               // that connection answered or failed: Open, or the next address
  void Open();                  // the MQTT session with the broker reached
  void Serve(short revents);    // the session's socket is ready
  short SessionEvents() const;  // what the session's socket is polled for
  void Failed(const std::string& why);  // no session from this attempt: the next url
  std::string TlsFailure() const;       // why the session's TLS handshake failed
  void Disconnect(bool graceful, const std::string& why);
  void Drain();        // the polls queued into samples
  void ParkIfAsked();  // between two rounds
  void Tick();
  void UpdateStats();
  void LogReplay(const char* after, uint64_t before, std::chrono::steady_clock::time_point start);
  void LogNotes();
  void OnConnack(int rc);
  void OnMessage(const std::string& topic, const std::string& payload);
  void Wake();
  uint64_t NowMs() const;
  uint64_t NextBdSeq();
  void RestoreBdSeq(uint64_t unused);

  // Owners. "MQTT thread": read and written by Run's thread alone once
  // Start has started it (Start sets them before; Stop reads them after the
  // join). "Paused": also written by Rebind, on the caller's thread while
  // it holds loopMutex_ (Pause), which the MQTT thread holds but while it
  // waits in poll(2).
  Settings settings_;             // paused
  Model model_;                   // paused (the node reads it in place)
  Core& core_;                    // the gateway's: called on the MQTT thread (paused: Rebind)
  std::unique_ptr<Store> store_;  // MQTT thread
  std::unique_ptr<Publisher> publisher_;  // MQTT thread
  std::unique_ptr<EdgeNode> node_;        // MQTT thread (paused: Rebind)
  std::unique_ptr<Reach> reach_;          // MQTT thread
  std::unique_ptr<Session> session_;      // MQTT thread
  mosquitto* sessionHandle_ = nullptr;    // MQTT thread; set once the CONNACK came
  // MQTT thread: a session to end once the client's callback has returned.
  bool endSession_ = false, endGraceful_ = false;
  std::string endWhy_;
  std::map<std::string, std::string> failures_;  // MQTT thread: each url's last, logged once
  mutable std::mutex statsMutex_;                // guards stats_ and snapshot_
  std::string stats_;            // MQTT thread writes, any thread reads (statsMutex_)
  gateway::EdgeState snapshot_;  // likewise
  // MQTT thread (Start before it): the credentials and the bdSeq.
  std::string password_;
  std::string bdSeqFile_;
  uint64_t bdSeq_ = 0;
  bool haveBdSeq_ = false, previousHad_ = false;
  // MQTT thread: where and when the next attempt goes.
  size_t urlIndex_ = 0;
  std::chrono::milliseconds backoff_{500};
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::chrono::steady_clock::time_point lastCounters_{};
  std::chrono::steady_clock::time_point lastTick_{};
  uint64_t connects_ = 0, connectFailures_ = 0, sessionsLost_ = 0;  // MQTT thread

  // The model, blockDevices_ and the session's state are the edge node's
  // thread's, and the caller's of Rebind while the thread is parked.
  std::vector<std::vector<std::vector<size_t>>> blockDevices_;
  // Each device's values as the polls taken so far left them (owner: the
  // node's thread).
  std::vector<std::vector<Value>> polled_;
  std::shared_ptr<gateway::PollQueue> polls_;  // its own lock
  uint64_t pollsDropped_ = 0;                  // as last logged
  std::mutex parkMutex_;                       // guards parkAsked_ and parked_
  std::condition_variable parkChanged_;
  bool parkAsked_ = false, parked_ = false;
  int wakeFd_ = -1;                // Start/Stop; any thread writes to it
  std::atomic<bool> stop_{false};  // Stop sets, the node's thread reads
  std::thread thread_;             // Start starts, Stop joins
};

}  // namespace mqtt
