#include "gateway/mqtt/mq_service.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "gateway/config/config.h"
#include "gateway/mqtt/mq_connection.h"

namespace mqtt {

namespace {

std::once_flag g_libInit;

}  // namespace

namespace {

class MosquittoPublisher : public Publisher {
 public:
  explicit MosquittoPublisher(mosquitto* const* mosq) : mosq_(mosq) {}
  bool Publish(const Message& m) override {
    if (*mosq_ == nullptr) return false;
    return mosquitto_publish(*mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                             m.payload.data(), m.qos, m.retain) == MOSQ_ERR_SUCCESS;
  }

 private:
  mosquitto* const* mosq_;
};

}  // namespace

namespace {

// Poll results the edge node may lag behind before the newest are dropped.
constexpr size_t kPollQueueMax = 10000;

}  // namespace

Service::Service(const Settings& settings, Model model, Core& core)
    : settings_(settings),
      model_(std::move(model)),
      core_(core),
      polls_(std::make_shared<gateway::PollQueue>(kPollQueueMax, [this] { Wake(); })) {}

Service::~Service() {
  Stop();
}

uint64_t Service::NowMs() const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

bool Service::Start(std::string& error) {
  std::call_once(g_libInit, [] { mosquitto_lib_init(); });
  if (!settings_.passwordFile.empty()) {
    std::string reason;
    if (!gateway::ReadFileText(settings_.passwordFile, password_, reason)) {
      error = settings_.passwordFile + ": cannot read the MQTT password: " + reason;
      return false;
    }
    password_ = password_.substr(0, password_.find('\n'));
    while (!password_.empty() && (password_.back() == '\r' || password_.back() == '\n'))
      password_.pop_back();
  }
  if (!settings_.storePath.empty()) {
    std::unique_ptr<SqliteStore> store =
        SqliteStore::Open(settings_.storePath, settings_.storeMax, error);
    if (!store) return false;
    if (std::optional<uint64_t> last = store->LoadBdSeq()) {
      bdSeq_ = *last;
      haveBdSeq_ = true;
    }
    if (store->Size() > 0) {
      core_.Log("mqtt: " + std::to_string(store->Size()) +
                " stored changes from before the start, " + "published after the births");
    }
    store_ = std::move(store);
  } else {
    store_ = std::make_unique<MemoryStore>(settings_.storeMax);
    if (const char* dir = std::getenv("STATE_DIRECTORY")) {
      bdSeqFile_ = std::string(dir) + "/mqtt-bdseq";
      if (std::optional<uint64_t> last = LoadBdSeqFile(bdSeqFile_)) {
        bdSeq_ = *last;
        haveBdSeq_ = true;
      }
    } else {
      core_.Log(
          "mqtt: no store_path and no STATE_DIRECTORY: bdSeq starts again at 0 on each start");
    }
  }
  if (!settings_.tlsVerify) {
    core_.Log("mqtt: WARNING: tls_verify = false: the broker's certificate is not checked");
  }
  publisher_ = std::make_unique<MosquittoPublisher>(&sessionHandle_);
  node_ = std::make_unique<EdgeNode>(model_, settings_, *store_, *publisher_);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    error = "eventfd failed";
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Service::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(parkMutex_);
    stop_ = true;
  }
  parkChanged_.notify_all();
  Wake();
  thread_.join();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

void Service::Wake() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void Service::Park() {
  if (!thread_.joinable()) return;
  std::unique_lock<std::mutex> lock(parkMutex_);
  parkAsked_ = true;
  Wake();
  parkChanged_.wait(lock, [this] { return parked_ || stop_; });
}

void Service::Resume() {
  {
    std::lock_guard<std::mutex> lock(parkMutex_);
    parkAsked_ = false;
  }
  parkChanged_.notify_all();
}

void Service::ParkIfAsked() {
  std::unique_lock<std::mutex> lock(parkMutex_);
  if (!parkAsked_) return;
  parked_ = true;
  parkChanged_.notify_all();
  parkChanged_.wait(lock, [this] { return !parkAsked_ || stop_; });
  parked_ = false;
}

void Service::LogReplay(uint64_t before, SteadyClock::time_point start) {
  const uint64_t n = node_->Counters().replayed - before;
  if (n == 0) return;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - start);
  core_.Log("mqtt: births, then " + std::to_string(n) +
            " stored changes published (historical) in " + std::to_string(us.count() / 1000) + "." +
            std::to_string(us.count() % 1000 / 100) + " ms; " + std::to_string(store_->Size()) +
            " left");
}

void Service::OnMessage(const std::string& topic, const std::string& payload) {
  if (!settings_.primaryHostId.empty() && topic == "spBv1.0/STATE/" + settings_.primaryHostId) {
    const bool was = node_->HostOnline();
    const uint64_t replayed = node_->Counters().replayed;
    const auto start = SteadyClock::now();
    node_->HostState(payload, NowMs());
    LogReplay(replayed, start);
    if (was != node_->HostOnline()) {
      core_.Log("mqtt: primary host " + settings_.primaryHostId +
                (node_->HostOnline() ? " online: births, then the stored changes"
                                     : " offline: changes are stored"));
      if (!node_->HostOnline() && settings_.urls.size() > 1) {
        // Its host lost this broker: walk on to the next.
        endSession_ = true;
        endGraceful_ = true;
        endWhy_ = "the primary host is offline on this broker";
      }
    }
    return;
  }
  std::vector<Write> writes;
  std::vector<std::string> refusals;
  const EdgeNode::Command command = node_->OnCommand(topic, payload, writes, refusals);
  for (const std::string& refusal : refusals) core_.Log("mqtt: command refused: " + refusal);
  for (const Write& w : writes) {
    const DeviceDef& device = model_.devices[w.device];
    core_.Write(device, device.metrics[w.metric], w.bits, "mqtt:" + settings_.clientId);
  }
  if (command == EdgeNode::Command::Rebirth) {
    core_.Log("mqtt: rebirth requested");
    node_->Rebirth(NowMs());
  } else if (command == EdgeNode::Command::NextServer) {
    core_.Log("mqtt: next server requested");
    endSession_ = true;
    endGraceful_ = true;
    endWhy_ = "next server requested";
  }
}

void Service::Drain() {
  // Each poll in turn: a node that lags two polls publishes both changes.
  std::vector<Value> values;
  for (const gateway::PollResult& poll : polls_->Take()) {
    if (poll.line >= blockDevices_.size() || poll.block >= blockDevices_[poll.line].size())
      continue;
    for (size_t d : blockDevices_[poll.line][poll.block]) {
      const bool up = core_.PolledDevice(model_.devices[d], poll, values);
      node_->Sample(d, values, up, NowMs());
    }
  }
  if (const uint64_t dropped = polls_->Dropped(); dropped != pollsDropped_) {
    core_.Log("mqtt: " + std::to_string(dropped - pollsDropped_) +
              " poll results dropped: the edge node lags more than " +
              std::to_string(kPollQueueMax) + " polls");
    pollsDropped_ = dropped;
  }
}

void Service::Tick() {
  const auto now = SteadyClock::now();
  if (now - lastTick_ < kTickPeriod) return;
  lastTick_ = now;
  // Values past their age and lines that went down show without a poll.
  std::vector<Value> values;
  for (size_t d = 0; d < model_.devices.size(); ++d) {
    const bool up = core_.ReadDevice(model_.devices[d], values);
    node_->Sample(d, values, up, NowMs());
  }
  const bool counters = now - lastCounters_ >= kCounterPeriod;
  if (counters) lastCounters_ = now;
  node_->Lines(core_.LineStatuses(), counters, NowMs());
  UpdateStats();
  if (session_ && !session_->connacked && now - session_->started > kConnackTimeout) {
    Disconnect(false, "no CONNACK within 10 s");
    ++urlIndex_;
  }
}

void Service::Run() {
  lastCounters_ = SteadyClock::now();
  node_->Lines(core_.LineStatuses(), true, NowMs());
  uint64_t dropped = 0;
  while (!stop_) {
    ParkIfAsked();
    Attempted();
    if (!session_ && !attempt_ && SteadyClock::now() >= nextAttempt_) {
      if (!Connect()) {
        session_.reset();
        ++urlIndex_;
        nextAttempt_ = SteadyClock::now() + backoff_;
        backoff_ = std::min(kMaxBackoff, backoff_ * 2);
      }
    }
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    int count = 1;
    if (session_) {
      fds[1].fd = mosquitto_socket(session_->mosq);
      fds[1].events =
          static_cast<short>(POLLIN | (mosquitto_want_write(session_->mosq) ? POLLOUT : 0));
      count = fds[1].fd >= 0 ? 2 : 1;
    }
    int timeout = static_cast<int>(kTickPeriod.count());
    if (!session_ && !attempt_) {
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - SteadyClock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(timeout, wait.count())));
    }
    ::poll(fds, static_cast<nfds_t>(count), timeout);
    if (fds[0].revents & POLLIN) {
      uint64_t n = 0;
      [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &n, sizeof n);
    }
    if (session_) {
      int rc = MOSQ_ERR_SUCCESS;
      if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
        rc = mosquitto_loop_read(session_->mosq, 1);
      if (session_ && rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(session_->mosq)) {
        rc = mosquitto_loop_write(session_->mosq, 1);
      }
      if (session_ && rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(session_->mosq);
      if (session_ && endSession_) {
        endSession_ = false;
        Disconnect(endGraceful_, endWhy_);
        ++urlIndex_;
        if (endGraceful_) nextAttempt_ = SteadyClock::now();
      } else if (session_ && rc != MOSQ_ERR_SUCCESS) {
        const std::string reason =
            rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
        Disconnect(false, reason);
        ++urlIndex_;
      }
    }
    Drain();
    Tick();
    store_->Flush();  // the polls of this round, in one transaction
    if (store_->Dropped() != dropped) {
      core_.Log("mqtt: store full (store_max " + std::to_string(settings_.storeMax) +
                "): " + std::to_string(store_->Dropped() - dropped) + " oldest changes dropped");
      dropped = store_->Dropped();
    }
  }
  Disconnect(true, "the gateway is stopping");
  if (attempt_) {
    std::lock_guard<std::mutex> lock(attempt_->mutex);
    attempt_->abandoned = true;
    if (attempt_->done) attempt_->session.reset();
  }
  attempt_.reset();
}

void Service::Rebind(const Settings& settings, Model model,
                     std::vector<std::vector<std::vector<size_t>>> blocks) {
  settings_.writes = settings.writes;
  polls_->Clear();  // block numbers of the old plan
  blockDevices_ = std::move(blocks);
  bool same = model.devices.size() == model_.devices.size() && model.lines == model_.lines;
  for (size_t d = 0; same && d < model.devices.size(); ++d) {
    const DeviceDef &a = model.devices[d], &b = model_.devices[d];
    same = a.id == b.id && a.metrics.size() == b.metrics.size();
    for (size_t i = 0; same && i < a.metrics.size(); ++i) {
      same = a.metrics[i].name == b.metrics[i].name && a.metrics[i].alias == b.metrics[i].alias &&
             a.metrics[i].type == b.metrics[i].type;
    }
  }
  model_ = std::move(model);  // the node reads it in place
  if (same) return;
  core_.Log("mqtt: the devices changed: births again in this session");
  std::vector<Value> values;
  node_->ModelChanged();
  for (size_t d = 0; d < model_.devices.size(); ++d) {
    const bool up = core_.ReadDevice(model_.devices[d], values);
    node_->Sample(d, values, up, NowMs());
  }
  node_->Rebirth(NowMs());
}

std::string Service::StatsText() const {
  std::lock_guard<std::mutex> lock(statsMutex_);
  return stats_;
}

void Service::UpdateStats() {
  const NodeCounters& c = node_->Counters();
  std::string text =
      "mqtt: connects " + std::to_string(connects_.load()) + " failed " +
      std::to_string(connectFailures_.load()) + " sessions lost " +
      std::to_string(sessionsLost_.load()) + " published " + std::to_string(c.published) +
      " stored " + std::to_string(c.stored) + " replayed " + std::to_string(c.replayed) +
      " commands " + std::to_string(c.commands) + " writes " + std::to_string(c.writes) +
      " refused " + std::to_string(c.refusals) + " store now " + std::to_string(store_->Size()) +
      " dropped " + std::to_string(store_->Dropped());
  std::lock_guard<std::mutex> lock(statsMutex_);
  stats_ = std::move(text);
}

}  // namespace mqtt
