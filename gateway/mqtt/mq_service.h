// The edge node on the network: libmosquitto driven from a thread of its
// own (poll(2) on the client's socket and an eventfd, so a poll's change
// goes out without waiting for a timer), one MQTT session at a time with
// its will (NDEATH, QoS 1), keepalive, reconnection with back-off and
// fail-over along `urls`, TLS. The gateway's core is reached through Core.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/config/mqtt_settings.h"
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
  // The same as `poll` left them: the metrics of its block as it read them
  // (good when it succeeded), the others now.
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
  struct Session;
  struct Attempt;
  void Run();
  bool Connect();    // starts one attempt at the current url
  void Attempted();  // takes the attempt's outcome, or gives it up after 10 s
  void Disconnect(bool graceful, const std::string& why);
  void Drain();        // the polls queued into samples
  void ParkIfAsked();  // between two rounds
  void Tick();
  void UpdateStats();
  void LogReplay(uint64_t before, std::chrono::steady_clock::time_point start);
  void OnConnack(int rc);
  void OnMessage(const std::string& topic, const std::string& payload);
  void Wake();
  uint64_t NowMs() const;
  uint64_t NextBdSeq();
  void RestoreBdSeq(uint64_t unused);

  Settings settings_;
  Model model_;
  Core& core_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Publisher> publisher_;
  std::unique_ptr<EdgeNode> node_;
  std::unique_ptr<Session> session_;
  std::shared_ptr<Attempt> attempt_;
  std::chrono::steady_clock::time_point attemptSince_{};
  mosquitto* sessionHandle_ = nullptr;  // set once the CONNACK came: publishing goes through it
  // A session to end once the client's callback has returned.
  bool endSession_ = false, endGraceful_ = false;
  std::string endWhy_;
  mutable std::mutex statsMutex_;
  std::string stats_;
  std::string password_;
  std::string bdSeqFile_;
  uint64_t bdSeq_ = 0;
  bool haveBdSeq_ = false, previousHad_ = false;
  size_t urlIndex_ = 0;
  std::chrono::milliseconds backoff_{500};
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::chrono::steady_clock::time_point lastCounters_{};
  std::chrono::steady_clock::time_point lastTick_{};

  // The model, blockDevices_ and the session's state are the edge node's
  // thread's, and the caller's of Rebind while the thread is parked.
  std::vector<std::vector<std::vector<size_t>>> blockDevices_;
  std::shared_ptr<gateway::PollQueue> polls_;  // its own lock
  uint64_t pollsDropped_ = 0;                  // as last logged
  std::mutex parkMutex_;                       // guards parkAsked_ and parked_
  std::condition_variable parkChanged_;
  bool parkAsked_ = false, parked_ = false;
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::atomic<uint64_t> connects_{0}, connectFailures_{0}, sessionsLost_{0};
};

}  // namespace mqtt
