// The line's port: starting the instance (ColdStart with back-off, then the
// CheckBlocks), telling a failed port from silent stations, and closing and
// opening it again.
#include <sys/stat.h>

#include <algorithm>

#include "gateway/core/line.h"
#include "host/log_lines.h"
#include "host/port_diagnosis.h"
#include "host/status.h"

namespace gateway {

bool Line::StartInstance() {
  ZorDriverInfo info{};
  if (!instance_.Info(info).ok() || info.contextSize <= 0) {
    Log("line " + config_.name + ": GetDriverInfo failed");
    return false;
  }
  haveContext_ = true;
  return OpenAndCheckBlocks();
}

bool Line::OpenAndCheckBlocks() {
  const auto readTimeout = static_cast<int32_t>(config_.replyTimeoutMs / 10);
  // Back-off between attempts: 0.5 s, doubling up to 5 s. The first five
  // failures are logged, then one in twelve (a minute apart).
  auto pause = std::chrono::milliseconds(500);
  for (int attempt = 1;; ++attempt) {
    phase_ = Phase::Configuring;
    phaseSince_ = Clock::now().time_since_epoch().count();
    const zortw_host::Result started = instance_.Start(config_.port, readTimeout, config_.line);
    const int32_t status = started.status;
    if (status == ZOR_OK) {
      // The port is open; the adapter's configuration may still have failed.
      if (const auto failed = zortw_host::AdapterFailure(started.log)) {
        const Configured configured = ConfigureAgain(*failed);
        if (configured == Configured::Stopping) return false;
        if (configured == Configured::PortGone) {
          // Closed: opened and configured again from the start.
          if (!WaitFor(pause)) return false;
          continue;
        }
      }
      break;
    }
    phase_ = Phase::PortFailed;
    if (attempt <= 5 || attempt % 12 == 0) {
      // The cause of a port that does not open, as tiway names it.
      const std::string why = status == ZOR_LINE_FAILURE
                                  ? "cannot open port " + config_.port + ": " +
                                        zortw_host::DiagnosePort(config_.port, config_.line).text
                                  : zortw_host::StatusMeaning(status, zortw_host::Step::ColdStart);
      Log("line " + config_.name + ": ColdStart returned " + std::to_string(status) + " (" + why +
          "; attempt " + std::to_string(attempt) + "); trying again in " +
          std::to_string(pause.count()) + " ms");
    }
    if (!WaitFor(pause)) return false;
    pause = std::min<std::chrono::milliseconds>(2 * pause, std::chrono::seconds(5));
  }
  struct stat device {};
  haveDevice_ = stat(config_.port.c_str(), &device) == 0;
  deviceId_ = device.st_rdev;
  deviceInode_ = device.st_ino;
  lastSuccess_ = Clock::now();
  failuresSinceSuccess_ = 0;
  fastFailures_ = 0;
  for (auto& mark : silent_) mark = false;
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const Block& block = blocks_[b];
    const std::string text = PointText(block.station, block.memory, block.first, -1);
    const int32_t status =
        instance_
            .CheckBlock(text, block.memory == 'V' ? ZOR_HOST_TYPE_WORD : ZOR_HOST_TYPE_BIT,
                        static_cast<int32_t>(block.count), addresses_[b])
            .status;
    defined_[b] = status == ZOR_OK;
    if (status != ZOR_OK) {
      Log("line " + config_.name + ": the driver refused the block " + text + " x" +
          std::to_string(block.count) + " (CheckBlock " + std::to_string(status) + ")");
    }
  }
  phase_ = Phase::Running;
  phaseSince_ = Clock::now().time_since_epoch().count();
  Log("line " + config_.name + ": running, " + std::to_string(blocks_.size()) +
      (blocks_.size() == 1 ? " read" : " reads") + " per cycle");
  return true;
}

Line::Configured Line::ConfigureAgain(int32_t failed) {
  // Back-off between attempts: 1 s, doubling up to 30 s. The first five
  // failures are logged, then one in ten. An adapter unplugged meanwhile
  // (its device gone or another, or the port failing at once) is not tried
  // again on the old handle: the port is closed and opened again.
  phase_ = Phase::ConfiguringFailed;
  phaseSince_ = Clock::now().time_since_epoch().count();
  struct stat opened {};
  const bool haveOpened = stat(config_.port.c_str(), &opened) == 0;
  auto pause = std::chrono::milliseconds(1000);
  int32_t status = failed;
  for (int attempt = 1;; ++attempt) {
    if (attempt <= 5 || attempt % 10 == 0) {
      Log("line " + config_.name + ": configuring the adapter on " + config_.port +
          " failed (status " + std::to_string(status) + ": " +
          zortw_host::StatusMeaning(status, zortw_host::Step::Adapter) + "; attempt " +
          std::to_string(attempt) + "); its devices are dead until it succeeds; trying again " +
          "(WarmStart) in " + std::to_string(pause.count()) + " ms");
    }
    if (!WaitFor(pause)) return Configured::Stopping;
    status = instance_.WarmStart().status;
    if (status == ZOR_OK) {
      Log("line " + config_.name + ": the adapter is configured (WarmStart, attempt " +
          std::to_string(attempt) + ")");
      return Configured::Yes;
    }
    struct stat now {};
    const bool present = stat(config_.port.c_str(), &now) == 0;
    if (status == ZOR_LINE_FAILURE || (haveOpened && (!present || now.st_rdev != opened.st_rdev ||
                                                      now.st_ino != opened.st_ino))) {
      const int32_t closed = instance_.Call(ZOR_CLOSE_PORT, nullptr).status;
      Log("line " + config_.name + ": port " + config_.port +
          (status == ZOR_LINE_FAILURE ? " fails"
           : present                  ? " now names another device"
                                      : " is gone") +
          " while the adapter's configuration failed: closed (ClosePort " + std::to_string(closed) +
          "); opening it again");
      return Configured::PortGone;
    }
    pause = std::min<std::chrono::milliseconds>(2 * pause, std::chrono::seconds(30));
  }
}

bool Line::PortFailed(Clock::time_point now) {
  // The device behind the port's name is gone or another one (a re-plugged
  // adapter, a restarted pty): the open handle is on a dead device.
  struct stat device {};
  const bool present = stat(config_.port.c_str(), &device) == 0;
  if (haveDevice_ && (!present || device.st_rdev != deviceId_ || device.st_ino != deviceInode_)) {
    Log("line " + config_.name + ": port " + config_.port +
        (present ? " now names another device" : " is gone"));
    return true;
  }
  // Three transactions in a row failed without waiting for a reply: the
  // port hangs up or fails its I/O.
  if (fastFailures_ >= 3) {
    Log("line " + config_.name + ": port " + config_.port +
        " fails at once (hang-up or I/O error)");
    return true;
  }
  // Nothing has succeeded for three transactions and 10 s (or three reply
  // time-outs when longer): a port that no longer carries anything, or
  // every station silent; opening the port and configuring the adapter
  // again cures the first and costs the second nothing it still had. Each
  // time it did not help, the wait doubles (up to 5 min).
  const auto quiet = std::max<std::chrono::milliseconds>(
      quiet_, std::chrono::milliseconds(3 * config_.replyTimeoutMs));
  if (failuresSinceSuccess_ >= 3 && now - lastSuccess_ >= quiet) {
    quiet_ = std::min<std::chrono::milliseconds>(2 * quiet_, std::chrono::minutes(5));
    Log("line " + config_.name + ": no transaction has succeeded for " +
        std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(now - lastSuccess_).count()) +
        " s (" + std::to_string(failuresSinceSuccess_) + " failures)");
    return true;
  }
  return false;
}

bool Line::Recover() {
  counters_.downs.Add();
  const auto downSince = Clock::now();
  phase_ = Phase::PortFailed;
  phaseSince_ = Clock::now().time_since_epoch().count();
  SpoilCache();
  FailQueuedWrites();
  const int32_t closed = instance_.Call(ZOR_CLOSE_PORT, nullptr).status;
  Log("line " + config_.name + ": down: port " + config_.port + " closed (ClosePort " +
      std::to_string(closed) + "); opening it again");
  if (!OpenAndCheckBlocks()) return false;
  Log("line " + config_.name + ": back up, " +
      std::to_string(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - downSince).count()) +
      " ms after it went down");
  for (auto& due : due_) due = Clock::time_point{};
  return true;
}

}  // namespace gateway
