// The start-up's progress on the terminal, and the console shared by the
// driver's log lines, the progress line and the results.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "tools/cli/runner.h"

namespace tiway {

namespace {

// Whether a progress line is on the terminal (guarded by ConsoleMutex).
bool g_progressShown = false;

}  // namespace

zortw_host::Result Runner::ColdStartWithProgress(ZorColdStartParams& params) {
  std::atomic<bool> done{false};
  zortw_host::Result result;
  std::thread worker([&] {
    result = instance_.Call(ZOR_COLD_START, &params);
    done = true;
  });
  const std::string what = "configuring the adapter on " + o_.port;
  bool told = false;
  auto tellInterrupted = [&] {
    if (told || !Interrupted()) return;
    told = true;
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (g_progressShown) err_ << "\r\033[K";
    g_progressShown = false;
    err_ << "tiway: interrupted: the start-up in progress ends first (the driver's calls "
            "cannot be interrupted; about 10 s at most); nothing will be sent after it\n"
         << std::flush;
  };
  // An adapter that is already configured answers the first request and
  // start-up ends within a fraction of a second: say nothing then. Only a
  // start-up still running after a second is the ten-second configuration.
  for (int i = 0; i < 50 && !done && !Interrupted(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done) {
    // nothing to show
  } else if (host_.progressTerminal && !Interrupted()) {
    static constexpr char kSpin[] = {'|', '/', '-', '\\'};
    const auto start = Clock::now();
    for (int tick = 0; !done && !Interrupted(); ++tick) {
      {
        std::lock_guard<std::mutex> lock(ConsoleMutex());
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        err_ << "\r" << kSpin[tick % 4] << " " << what << " (about 10 s): " << seconds << " s "
             << std::flush;
        g_progressShown = true;
      }
      for (int i = 0; i < 10 && !done && !Interrupted(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (g_progressShown) err_ << "\r\033[K" << std::flush;
    g_progressShown = false;
  } else if (!Interrupted()) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: " << what << " (about 10 s)...\n" << std::flush;
  }
  while (!done) {
    tellInterrupted();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  worker.join();
  return result;
}

std::string WallClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03d", text, static_cast<int>(ms));
  return out;
}

std::mutex& ConsoleMutex() {
  static std::mutex mutex;
  return mutex;
}

void EchoDriverLine(std::ostream& err, const std::string& line) {
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  if (g_progressShown) err << "\r\033[K";
  err << "driver: " << line << "\n" << std::flush;
}

}  // namespace tiway
