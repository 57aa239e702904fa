// The edge node on the network: libmosquitto driven from a thread of its
// own (poll(2) on the client's socket and an eventfd, so a poll's change
// goes out without waiting for a timer), one MQTT session at a time with
// its will (NDEATH, QoS 1), keepalive, reconnection with back-off and
// fail-over along `urls`, TLS. The gateway's core is reached through Core.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/core/edge_state.h"
#include "gateway/mqtt/mq_config.h"
#include "gateway/mqtt/mq_model.h"
#include "gateway/mqtt/mq_node.h"
#include "gateway/mqtt/mq_store.h"

struct mosquitto;

namespace mqtt {

// What the edge node needs from the gateway: current values, the lines'
// state, and writes. Called on the MQTT thread.
class Core {
 public:
  virtual ~Core() = default;
  // The device's values from its line's cache (in the model's order);
  // false when its line is not running.
  virtual bool ReadDevice(const DeviceDef& device, std::vector<Value>& out) = 0;
  virtual std::vector<LineStatus> LineStatuses() = 0;
  // Carries out a write through the line's queue, as a Modbus write is
  // checked and carried out, with one audit line naming `actor`.
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
  // A line read a block (any thread): the devices it holds are sampled.
  void BlockRead(size_t line, size_t block);
  // Which devices each block of each line holds: blocks[line][block].
  void SetBlockDevices(std::vector<std::vector<std::vector<size_t>>> blocks) {
    blockDevices_ = std::move(blocks);
  }
  std::string StatsText() const;
  // The counters and the session's state as of the last round (any thread).
  gateway::EdgeState Snapshot() const;
  const Settings& Cfg() const { return settings_; }

  // Holds the edge node's thread between two rounds (the lock's owner may
  // then call Rebind).
  std::unique_lock<std::mutex> Pause() { return std::unique_lock<std::mutex>(loopMutex_); }
  // New devices and blocks with the same broker (while paused): `writes`
  // is taken, the session stays, and births follow if the devices changed.
  void Rebind(const Settings& settings, Model model,
              std::vector<std::vector<std::vector<size_t>>> blocks);

 private:
  struct Session;
  struct Attempt;
  void Run();
  bool Connect();    // starts one attempt at the current url
  void Attempted();  // takes the attempt's outcome, or gives it up after 10 s
  void Disconnect(bool graceful, const std::string& why);
  void Drain();  // pending block reads into samples
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
  gateway::EdgeState snapshot_;
  std::string password_;
  std::string bdSeqFile_;
  uint64_t bdSeq_ = 0;
  bool haveBdSeq_ = false, previousHad_ = false;
  size_t urlIndex_ = 0;
  std::chrono::milliseconds backoff_{500};
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::chrono::steady_clock::time_point lastCounters_{};
  std::chrono::steady_clock::time_point lastTick_{};

  std::vector<std::vector<std::vector<size_t>>> blockDevices_;
  std::mutex loopMutex_;  // held by the thread but while it waits in poll(2)
  std::mutex pendingMutex_;
  std::set<std::pair<size_t, size_t>> pending_;
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::atomic<uint64_t> connects_{0}, connectFailures_{0}, sessionsLost_{0};
};

}  // namespace mqtt
