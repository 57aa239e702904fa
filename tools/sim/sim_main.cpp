// tiway-sim: a TIWAY I network adapter and its controllers on a serial line.
// See README.md beside this file.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>

#include "sim_data.h"
#include "sim_io.h"
#include "sim_simulator.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
  gStop = 1;
}

struct Options {
  std::string device;
  std::string link;
  uint32_t baud = 0;
  double turnaroundMs = 0;
  int dataBits = 7;
  std::string parity = "odd";
  std::string stopBits = "1";
  std::string stations = "1-5";
  std::string dataFile;
  bool configured = false;
  std::vector<std::string> faults;
  std::vector<std::string> faultRates;
  std::vector<std::string> faultEvery;
  std::vector<std::string> stationFaults;
  uint32_t seed = 1;
  std::string control;
  bool trace = false;
  double exitAfterIdle = 0;
};

class Tracer {
 public:
  explicit Tracer(bool on) : on_(on), start_(tiway_sim::Clock::now()) {}

  void Print(const std::string& text) const {
    if (!on_) return;
    const double seconds = std::chrono::duration<double>(tiway_sim::Clock::now() - start_).count();
    std::fprintf(stderr, "tiway-sim: [%9.3f] %s\n", seconds, text.c_str());
    std::fflush(stderr);
  }

  void Exchange(const tiway_sim::Exchange& exchange) const {
    if (!on_) return;
    Print("<- " + exchange.request + "  " + exchange.requestNote);
    std::string faults;
    for (const tiway_sim::Fault& fault : exchange.faults) faults += " " + FaultName(fault);
    if (exchange.plan.silent) {
      Print("-> (nothing sent: fault" + faults + "; the reply would be " + exchange.reply + ")");
      return;
    }
    std::string text = "-> " + exchange.plan.bytes + "  " + exchange.replyNote;
    if (!faults.empty()) text += "  [fault" + faults + "]";
    Print(text);
  }

 private:
  bool on_;
  tiway_sim::Clock::time_point start_;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "tiway-sim: %s\n", message.c_str());
  return 2;
}

bool ConfigureFaults(const Options& options, tiway_sim::FaultPlan& plan, std::string& error) {
  for (const std::string& text : options.faults) {
    std::string mode = text;
    uint32_t requests = 1;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
      mode = text.substr(0, colon);
      const std::string count = text.substr(colon + 1);
      char* end = nullptr;
      const unsigned long n = std::strtoul(count.c_str(), &end, 10);
      if (count.empty() || *end != '\0' || n == 0 || n > 1000000) {
        error = "bad request count in --fault " + text;
        return false;
      }
      requests = static_cast<uint32_t>(n);
    }
    tiway_sim::Fault fault;
    if (!tiway_sim::ParseFault(mode, fault, error)) return false;
    plan.Add(fault, requests);
  }
  for (const std::string& text : options.faultRates) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      error = "--fault-rate needs MODE:PROBABILITY, e.g. silence:0.1";
      return false;
    }
    tiway_sim::Fault fault;
    if (!tiway_sim::ParseFault(text.substr(0, colon), fault, error)) return false;
    const std::string p = text.substr(colon + 1);
    char* end = nullptr;
    const double probability = std::strtod(p.c_str(), &end);
    if (p.empty() || *end != '\0' || probability < 0 || probability > 1) {
      error = "probability in --fault-rate must be between 0 and 1: " + text;
      return false;
    }
    plan.AddRate(fault, probability);
  }
  for (const std::string& text : options.faultEvery) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      error = "--fault-every needs MODE:N, e.g. delay=240@primitive:10";
      return false;
    }
    tiway_sim::Fault fault;
    if (!tiway_sim::ParseFault(text.substr(0, colon), fault, error)) return false;
    const std::string count = text.substr(colon + 1);
    char* end = nullptr;
    const unsigned long n = std::strtoul(count.c_str(), &end, 10);
    if (count.empty() || *end != '\0' || n == 0 || n > 1000000) {
      error = "bad period in --fault-every " + text + " (every Nth request, N from 1 to 1000000)";
      return false;
    }
    plan.AddEvery(fault, static_cast<uint32_t>(n));
  }
  for (const std::string& text : options.stationFaults) {
    int station = 0;
    tiway_sim::Fault fault;
    if (text.find(':') == std::string::npos) {
      error = "--station-fault needs SS:MODE, e.g. 05:silence";
      return false;
    }
    if (!tiway_sim::ParseStationFault(text, station, fault, error)) return false;
    plan.AddStation(station, fault);
  }
  return true;
}

// Station list items written as the data file and address text write
// stations (two hex digits with a letter or a leading zero: 05, 0A, FE) are
// hex; other numbers are decimal, 0x-prefixed ones hex.
std::string StationListAsHexWhereWritten(const std::string& list) {
  std::string out;
  std::string item;
  auto flush = [&out, &item] {
    const bool twoHex = item.size() == 2 && std::isxdigit(static_cast<unsigned char>(item[0])) &&
                        std::isxdigit(static_cast<unsigned char>(item[1]));
    const bool hexLooking =
        twoHex && (item[0] == '0' || !std::isdigit(static_cast<unsigned char>(item[0])) ||
                   !std::isdigit(static_cast<unsigned char>(item[1])));
    out += hexLooking ? "0x" + item : item;
    item.clear();
  };
  for (char c : list) {
    if (c == ',' || c == '-') {
      flush();
      out += c;
    } else {
      item += c;
    }
  }
  flush();
  return out;
}

// The stations that the data file's lines name (first field, two hex digits).
std::set<int> StationsOfData(const std::string& text) {
  std::set<int> stations;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first.size() != 2) continue;
    char* end = nullptr;
    const long station = std::strtol(first.c_str(), &end, 16);
    if (*end == '\0' && station >= 1 && station <= 254) stations.insert(static_cast<int>(station));
  }
  return stations;
}

int Run(const Options& options) {
  std::set<int> stations;
  std::string error;
  const std::string list =
      options.stations == "all" ? options.stations : StationListAsHexWhereWritten(options.stations);
  if (!tiway_sim::ParseStationList(list, stations, error)) return Fail(error);
  std::string data;
  if (!options.dataFile.empty()) {
    std::ifstream file(options.dataFile);
    if (!file) return Fail("cannot read data file " + options.dataFile);
    std::stringstream text;
    text << file.rdbuf();
    data = text.str();
    // A station the data file fills exists without being listed again.
    const std::set<int> named = StationsOfData(data);
    stations.insert(named.begin(), named.end());
  }
  tiway_sim::Simulator simulator(stations, options.seed);
  if (!options.dataFile.empty()) {
    error = tiway_sim::ApplyDataText(data, simulator.Net());
    if (!error.empty()) return Fail(options.dataFile + ": " + error);
  }
  if (options.configured) simulator.Adapt().SetConfigured(true);
  if (!ConfigureFaults(options, simulator.Faults(), error)) return Fail(error);

  tiway_sim::Line line;
  bool paced = false;
  if (options.device.empty()) {
    if (!tiway_sim::OpenPty(options.link, line, error)) return Fail(error);
    paced = options.baud > 0;
    // Wake-ups on time to a few microseconds: characters are half a millisecond apart.
    if (paced) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  } else {
    tiway_sim::DeviceSettings settings;
    settings.baud = options.baud == 0 ? 19200 : options.baud;
    settings.dataBits = options.dataBits;
    settings.parity = static_cast<char>(std::toupper(options.parity[0]));
    // One and a half stop bits have no termios form: sent as two, as the
    // driver's serial layer does (a receiver checks only the first).
    settings.stopBits = options.stopBits == "1" ? 1 : 2;
    if (!tiway_sim::OpenDevice(options.device, settings, line, error)) return Fail(error);
  }
  tiway_sim::ControlServer control;
  if (!options.control.empty() && !control.Open(options.control, error)) {
    tiway_sim::CloseLine(line);
    return Fail(error);
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("tiway-sim: listening on %s\n", line.name.c_str());
  std::fflush(stdout);

  // Both directions of the line are paced: a request is acted on once its last
  // character has arrived, a reply goes out one character time a character.
  tiway_sim::LinePace pace;
  if (paced) {
    pace.baud = options.baud;
    pace.bitsPerCharacter = tiway_sim::BitsPerCharacter(
        options.dataBits, static_cast<char>(std::toupper(options.parity[0])),
        options.stopBits == "1" ? 1 : 2);
  }
  const auto turnaround = std::chrono::duration_cast<tiway_sim::Clock::duration>(
      std::chrono::duration<double, std::milli>(options.turnaroundMs));
  const Tracer tracer(options.trace);
  tiway_sim::OutputQueue output(pace);
  tiway_sim::LineInput input(pace);
  struct Arrived {
    tiway_sim::Clock::time_point at;  // when its last character has arrived
    tiway_sim::Incoming frame;
  };
  std::deque<Arrived> arrived;  // requests on their way in, oldest first
  auto actOnArrived = [&] {
    while (!arrived.empty() && arrived.front().at <= tiway_sim::Clock::now()) {
      const Arrived request = std::move(arrived.front());
      arrived.pop_front();
      const tiway_sim::Exchange exchange = simulator.Handle(request.frame);
      tracer.Exchange(exchange);
      if (!exchange.plan.silent) {
        const auto late = exchange.plan.delayMs > 0
                              ? std::optional<tiway_sim::Clock::time_point>(request.at)
                              : std::nullopt;
        output.Push(request.at + turnaround + std::chrono::milliseconds(exchange.plan.delayMs),
                    exchange.plan.bytes, late);
      }
    }
  };
  tiway_sim::Framer framer;
  auto lastActivity = tiway_sim::Clock::now();
  bool lineOpen = false;  // pty: somebody has the slave open
  auto answer = [&](const std::string& command) {
    lastActivity = tiway_sim::Clock::now();
    std::string reply;
    if (command == "line") {
      reply = !line.pty ? "ok device" : lineOpen ? "ok open" : "ok closed";
    } else if (command == "pending") {
      // Requests received whose last character has not yet arrived on the
      // paced line (nothing acted on yet), and the milliseconds until the
      // last of them is due.
      const auto now = tiway_sim::Clock::now();
      const auto last = arrived.empty() ? now : std::max(now, arrived.back().at);
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(last - now).count();
      reply = "ok " + std::to_string(arrived.size()) + " " + std::to_string(ms);
    } else if (command == "late") {
      // The replies made late by a delay fault since "late reset": how many
      // have left, and the longest time from a request's arrival to its
      // late reply's last byte leaving (one still waiting counts with its
      // wait so far), in milliseconds rounded up.
      const auto record = output.Late(tiway_sim::Clock::now());
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(record.longest).count();
      reply = "ok " + std::to_string(record.sent) + " " + std::to_string(ms);
    } else if (command == "late reset") {
      output.ResetLate();
      reply = "ok";
    } else {
      reply = simulator.Control(command);
    }
    tracer.Print("control: " + command + " -> " + reply);
    return reply;
  };

  int status = 0;
  // A pty's master reports a hang-up while nobody has the slave open; then
  // the line sits out one short poll at a time instead of spinning.
  bool lineHungUp = false;
  // While the line is open the loop looks at it at least every 20 ms, so
  // that the time between two looks (the lag counter) says how long the
  // simulator was kept from it: a request waits unread, a due reply unsent,
  // at most that long. A test with a short reply time-out reads it to tell
  // a fault it staged from a simulator that a loaded machine held off the CPU.
  constexpr std::chrono::milliseconds kOpenLineLook{20};
  auto lastLook = tiway_sim::Clock::now();
  while (gStop == 0) {
    std::vector<pollfd> fds;
    const bool watchLine = !lineHungUp;
    if (watchLine) fds.push_back({line.fd, POLLIN, 0});
    const std::size_t firstControl = fds.size();
    for (int fd : control.Fds()) fds.push_back({fd, POLLIN, 0});
    const tiway_sim::Clock::time_point next =
        std::min(output.NextDue(),
                 arrived.empty() ? tiway_sim::Clock::time_point::max() : arrived.front().at);
    const std::chrono::milliseconds cap = !watchLine ? std::chrono::milliseconds(50)
                                          : lineOpen ? kOpenLineLook
                                                     : std::chrono::milliseconds(100);
    const timespec wait = tiway_sim::WaitUntil(next, cap);
    const int ready = ppoll(fds.data(), fds.size(), &wait, nullptr);
    const auto looked = tiway_sim::Clock::now();
    if (lineOpen && watchLine) {
      const auto lag = std::chrono::duration_cast<std::chrono::milliseconds>(looked - lastLook);
      uint64_t& longest = simulator.Count().lagMs;
      longest = std::max(longest, static_cast<uint64_t>(lag.count()));
    }
    lastLook = looked;
    if (ready < 0 && errno != EINTR) {
      status = Fail(std::string("poll: ") + std::strerror(errno));
      break;
    }
    lineHungUp = false;
    if (watchLine && ready >= 0) {
      const short events = fds[0].revents;
      const bool hungUp = (events & (POLLHUP | POLLERR)) != 0 && (events & POLLIN) == 0;
      // Said before the first frame the line's user sends is traced.
      if (!hungUp && !lineOpen && line.pty) {
        lineOpen = true;
        tracer.Print("line opened");
      }
      if ((events & POLLIN) != 0) {
        char buffer[1024];
        const ssize_t n = read(line.fd, buffer, sizeof buffer);
        if (n > 0) {
          lastActivity = tiway_sim::Clock::now();
          const std::size_t skippedBefore = framer.SkippedBytes();
          // One byte at a time: each frame is due when its last character is.
          for (ssize_t i = 0; i < n; ++i) {
            const tiway_sim::Clock::time_point at = input.Arrive(lastActivity);
            for (tiway_sim::Incoming& incoming : framer.Feed(std::string_view(buffer + i, 1))) {
              arrived.push_back({at, std::move(incoming)});
            }
          }
          simulator.Count().skipped += framer.SkippedBytes() - skippedBefore;
        }
      }
      if (hungUp) {
        lineHungUp = true;
        if (lineOpen) {
          lineOpen = false;
          output.Clear();   // replies nobody is left to read
          arrived.clear();  // and requests whose sender has gone
          tiway_sim::ResetPty(line);
          tracer.Print("line closed by its user");
        }
      }
    }
    // Requests read in this pass are acted on before the control commands
    // of the same pass are answered: a "stats" sent after a request sees it.
    actOnArrived();
    for (std::size_t i = firstControl; i < fds.size() && ready > 0; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) control.Serve(fds[i].fd, answer);
    }
    actOnArrived();
    const long lateBefore = output.LateSent();
    if (!output.Pump(line.fd)) {
      status = Fail(std::string("writing to the line: ") + std::strerror(errno));
      break;
    }
    if (output.LateSent() != lateBefore) {
      const double ms = std::chrono::duration<double, std::milli>(output.LastLate()).count();
      char text[96];
      std::snprintf(text, sizeof text, "-> late reply left whole %.1f ms after its request", ms);
      tracer.Print(text);
    }
    if (options.exitAfterIdle > 0 && output.Empty() && arrived.empty() &&
        tiway_sim::Clock::now() - lastActivity >
            std::chrono::duration<double>(options.exitAfterIdle)) {
      tracer.Print("idle, exiting");
      break;
    }
  }
  control.Close();
  tiway_sim::CloseLine(line);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"tiway-sim: a TIWAY I network adapter and its controllers on a serial line"};
  app.add_option("--device", options.device,
                 "serve a real serial device instead of a new pseudo-terminal");
  app.add_option("--link", options.link, "create a symlink at PATH to the pseudo-terminal");
  app.add_option("--baud", options.baud,
                 "pty: pace both directions at this line rate (default unpaced); "
                 "device: line speed (default 19200)");
  app.add_option("--data-bits", options.dataBits,
                 "7 or 8 (default 7); on a pty, for the pace's bits per character")
      ->check(CLI::IsMember({7, 8}));
  app.add_option("--parity", options.parity,
                 "none, odd or even (default odd); on a pty, for the pace")
      ->check(CLI::IsMember({"none", "odd", "even"}));
  app.add_option("--stop-bits", options.stopBits,
                 "1, 1.5 or 2 (default 1; 1.5 is sent as 2, as the driver does); on a pty, "
                 "for the pace")
      ->check(CLI::IsMember({"1", "1.5", "2"}));
  app.add_option("--turnaround", options.turnaroundMs,
                 "MS: the adapter's think time between a request's last character and its "
                 "reply (default 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--stations", options.stations,
                 "stations on the network besides those the data file fills: numbers and "
                 "ranges, e.g. 1-5,0x10 or all (default 1-5); two hex digits as the data file "
                 "writes them (05, 0A, FE) are hex");
  app.add_option("--data", options.dataFile, "initial memory from FILE (see README)");
  app.add_flag("--configured", options.configured, "start with the adapter already configured");
  app.add_option("--fault", options.faults,
                 "MODE[:N]: spoil the replies to the next N requests (default 1); repeatable");
  app.add_option("--fault-rate", options.faultRates,
                 "MODE:P: spoil each reply with probability P; repeatable");
  app.add_option("--fault-every", options.faultEvery,
                 "MODE:N: spoil the reply to every Nth request the fault applies to "
                 "(the Nth, the 2Nth ...); repeatable");
  app.add_option("--station-fault", options.stationFaults,
                 "SS:MODE: the fault on every request addressed to station SS (hex), e.g. "
                 "05:silence (a dead station among live ones) or 0A:delay=1500; repeatable");
  app.add_option("--seed", options.seed, "seed for --fault-rate (default 1)");
  app.add_option("--control", options.control, "serve control commands on a unix socket at PATH");
  app.add_flag("--trace", options.trace, "print every frame, decoded, on stderr");
  app.add_option("--exit-after-idle", options.exitAfterIdle,
                 "exit after this many seconds without traffic or control commands");
  app.set_version_flag("--version", std::string("tiway-sim ") + ZORTW_VERSION);
  app.footer(
      "fault modes (--fault MODE[:N], --fault-every MODE:N, --fault-rate MODE:P,\n"
      "control 'fault MODE N', 'fault-every MODE N', 'fault-rate MODE P'):\n"
      "  silence               no reply at all\n"
      "  bad-checksum          the checksum field is off by one\n"
      "  stray, strayN         N stray bytes '*' before the reply (the driver skips two)\n"
      "  cut, cutN             only the first N characters (default half the frame)\n"
      "  no-end                the reply without its ';'\n"
      "  primitive-error=EEEE  the primitive fails with code EEEE (nothing read or written)\n"
      "  short-data            a read reply one element short\n"
      "  lower-case            hex digits in lower case\n"
      "  delay=MS              the reply MS milliseconds late\n"
      "  scopes: MODE@adapter, @primitive, @read, @write (e.g. silence@read:2)\n"
      "  e.g. --fault-every delay=240@primitive:10: every 10th primitive's reply 240 ms late\n"
      "  per station (--station-fault SS:MODE, control 'station-fault SS MODE|clear'): every\n"
      "  request addressed to station SS, e.g. 05:silence (it answers nothing and carries\n"
      "  nothing out, the others answer) or 0A:delay=1500 (its replies 1.5 s late)\n"
      "\n"
      "control commands (--control PATH; one line in, one line out):\n"
      "  fault MODE [N] | fault-every MODE N | fault-rate MODE P | station-fault SS MODE|clear\n"
      "  seed S | clear | faults\n"
      "  set SS T AAAA V... | dump SS T AAAA [N] | stations | connected\n"
      "  disconnect SS|all | configured 0|1 | reset | stats [reset] | line | pending | late "
      "[reset] | help\n"
      "\n"
      "error codes the simulator answers: see tools/sim/README.md (primitive errors 0101-0108,\n"
      "adapter refusals 0001-0009).");
  CLI11_PARSE(app, argc, argv);
  return Run(options);
}
