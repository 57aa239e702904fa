// End-to-end benchmark: libzortw.so loaded as a host loads it and driven
// through ZorMain alone, over pseudo-terminals, against tiway-sim paced at
// 9600 and 19200 baud and unpaced. For each transfer: time per transaction
// (mean, p50, p99), transactions and elements per second, the line floor and
// the ratio to it, CPU and system calls per transaction; then the aggregate
// throughput of 1, 8 and 32 instances on threads. The cases are interleaved
// round by round so that a noisy machine disturbs them alike.
//
//   e2e_bench [--quick] [--csv FILE] [--json FILE] [--no-syscalls]
//
// System calls are counted by `strace -f -c` over runs of this program in
// its single-case mode (--only CASE --rate BAUD --transactions N), two
// lengths each, so that start-up cancels out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/driver.h"
#include "tests/e2e/e2e_host.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using e2e::Instance;

constexpr double kPauseMs = 50;        // the driver's pause after every reply
constexpr int kBitsPerCharacter = 10;  // 8N1 on the pty, 7O1 on a real line: both 10
constexpr int kScaleCounts[] = {1, 8, 32};
constexpr uint32_t kRates[] = {0, 9600, 19200};  // 0: unpaced

enum class Kind { kRead, kWrite, kBit };

struct Case {
  const char* name;
  Kind kind;
  char letter;
  int32_t count;     // the host's elementCount (words for F)
  int32_t elements;  // what one transfer moves: words, discretes or F values
};

constexpr Case kCases[] = {
    {"read-V1", Kind::kRead, 'V', 1, 1},       {"read-V4", Kind::kRead, 'V', 4, 4},
    {"read-V16", Kind::kRead, 'V', 16, 16},    {"read-V62", Kind::kRead, 'V', 62, 62},
    {"read-X124", Kind::kRead, 'X', 124, 124}, {"read-F31", Kind::kRead, 'F', 62, 31},
    {"write-V1", Kind::kWrite, 'V', 1, 1},     {"write-V62", Kind::kWrite, 'V', 62, 62},
    {"write-bit", Kind::kBit, 'V', 1, 1},
};
constexpr const Case& kScaleCase = kCases[3];  // 62-word reads

// Characters on the line for one transfer, both ways, and its exchanges. A
// read request is 30 characters; a reply carries 22 around its data; a write
// request 26 around its data; a write reply is 22.
struct LineLoad {
  int characters;
  int exchanges;
};

LineLoad Load(const Case& c) {
  const int data = c.letter == 'V' || c.letter == 'F' ? 4 * c.count : 2 * c.count;
  switch (c.kind) {
    case Kind::kRead:
      return {30 + 22 + data, 1};
    case Kind::kWrite:
      return {26 + data + 22, 1};
    case Kind::kBit:
      return {(30 + 22 + 4) + (26 + 4 + 22), 2};  // read the word, write it back
  }
  return {0, 1};
}

double FloorMs(const Case& c, uint32_t rate) {
  const LineLoad load = Load(c);
  const double line = rate == 0 ? 0 : 1000.0 * load.characters * kBitsPerCharacter / rate;
  return line + kPauseMs * load.exchanges;
}

int NoLog(int, const char*, ...) {
  return 0;
}

ZorMainFn LoadDriver(const std::string& path) {
  const zortw_host::Driver driver = zortw_host::LoadDriver(path, &NoLog);
  if (driver.zorMain == nullptr) {
    std::fprintf(stderr, "e2e_bench: %s\n", driver.error.c_str());
    std::exit(2);
  }
  return driver.zorMain;
}

// One simulated line and the driver instance on it.
class Line {
 public:
  Line(ZorMainFn zorMain, uint32_t rate) : instance_(zorMain), rate_(rate) {}
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;
  ~Line() {
    instance_.Call(ZOR_STOP);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!link_.empty()) unlink(link_.c_str());
  }

  // Starts the simulator on a pty, cold-starts the driver on it and defines
  // the first point (which connects station 05). False with a message.
  bool Start(const std::string& simPath, std::string& error) {
    char link[] = "/tmp/XXXXXX";  // the driver takes port names of 11 characters
    const int held = mkstemp(link);
    if (held < 0) return (error = "mkstemp failed"), false;
    close(held);
    unlink(link);
    link_ = link;
    std::vector<std::string> args = {
        simPath, "--link", link_, "--stations", "5", "--configured", "--exit-after-idle", "300"};
    if (rate_ > 0) args.insert(args.end(), {"--baud", std::to_string(rate_)});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return (error = "pipe failed"), false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int spawned =
        posix_spawn(&pid_, simPath.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string first;
    const auto deadline = Clock::now() + 10s;
    while (spawned == 0 && first.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      first.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (spawned != 0 || first.rfind("tiway-sim: listening on ", 0) != 0) {
      pid_ = spawned == 0 ? pid_ : -1;
      return (error = "cannot start " + simPath), false;
    }
    ZorLineSettings settings = zortw_host::kPtyLine;
    settings.baudRate = static_cast<uint16_t>(rate_ == 0 ? 19200 : rate_);
    if (const int32_t status = instance_.ColdStart(link_, 100, settings); status != 0) {
      return (error = "ColdStart on " + link_ + ": status " + std::to_string(status)), false;
    }
    ZorPointAddress address{};
    if (const int32_t status = instance_.Define("05V0064", 0, address); status != 0) {
      return (error = "DefinePoint: status " + std::to_string(status)), false;
    }
    return true;
  }

  // One transfer of the case; its status.
  int32_t Transfer(const Case& c) {
    switch (c.kind) {
      case Kind::kRead:
        return instance_.Transfer(ZOR_READ_BLOCK, e2e::Point(5, c.letter, 0x100), c.count, data_);
      case Kind::kWrite:
        for (int i = 0; i <= c.count; ++i) data_[i] = static_cast<uint16_t>(i + counter_);
        ++counter_;
        return instance_.Transfer(ZOR_WRITE_BLOCK, e2e::Point(5, c.letter, 0x400), c.count, data_);
      case Kind::kBit:
        data_[1] = static_cast<uint16_t>(++counter_ & 1);
        return instance_.Transfer(ZOR_WRITE_BLOCK, e2e::Point(5, 'V', 0x600, 3), 1, data_);
    }
    return -1;
  }

  uint32_t Rate() const { return rate_; }

 private:
  Instance instance_;
  uint32_t rate_;
  pid_t pid_ = -1;
  std::string link_;
  uint16_t data_[256] = {};
  uint16_t counter_ = 0;
};

double ThreadCpuUs() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return 1e6 * static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// What one row of results gathers.
struct Cell {
  std::string group;  // "cases" or "instances"
  const Case* c = nullptr;
  uint32_t rate = 0;
  int instances = 1;
  std::vector<double> samplesMs;
  double cpuUs = 0;
  int64_t failures = 0;
  double throughputSum = 0;  // instances: aggregate transactions per second, summed over phases
  int phases = 0;
  double syscalls = NAN;  // per transaction
};

// One timed transfer into the cell.
void Measure(Line& line, Cell& cell, std::vector<double>& samples, double& cpu, int64_t& failures) {
  const double cpu0 = ThreadCpuUs();
  const auto t0 = Clock::now();
  const int32_t status = line.Transfer(*cell.c);
  const auto t1 = Clock::now();
  cpu += ThreadCpuUs() - cpu0;
  if (status != 0) ++failures;
  samples.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
}

// `count` instances read for `seconds`, each on its own thread and line.
void ScalePhase(std::vector<std::unique_ptr<Line>>& pool, int count, double seconds, Cell& cell) {
  struct Result {
    std::vector<double> samples;
    double cpu = 0;
    int64_t failures = 0;
    double perSecond = 0;
  };
  std::vector<Result> results(static_cast<std::size_t>(count));
  std::vector<std::thread> threads;
  const auto start = Clock::now() + 20ms;
  const auto deadline = start + std::chrono::duration<double>(seconds);
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      Result& r = results[static_cast<std::size_t>(i)];
      std::this_thread::sleep_until(start);
      while (Clock::now() < deadline) {
        Measure(*pool[static_cast<std::size_t>(i)], cell, r.samples, r.cpu, r.failures);
      }
      // Each thread's own rate over its own span: no bias from the last
      // transaction running past the deadline.
      r.perSecond = static_cast<double>(r.samples.size()) /
                    std::chrono::duration<double>(Clock::now() - start).count();
    });
  }
  double total = 0;
  for (std::size_t i = 0; i < threads.size(); ++i) {
    threads[i].join();
    Result& r = results[i];
    cell.samplesMs.insert(cell.samplesMs.end(), r.samples.begin(), r.samples.end());
    cell.cpuUs += r.cpu;
    cell.failures += r.failures;
    total += r.perSecond;
  }
  cell.throughputSum += total;
  ++cell.phases;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

struct Row {
  std::string group, name;
  uint32_t rate;
  int instances, elements, characters, exchanges;
  std::size_t samples;
  int64_t failures;
  double mean, p50, p99, txPerSecond, elementsPerSecond, floor, ratio, cpuUs, syscalls;
};

Row MakeRow(const Cell& cell) {
  Row row{};
  row.group = cell.group;
  row.name = cell.c->name;
  row.rate = cell.rate;
  row.instances = cell.instances;
  row.elements = cell.c->elements;
  row.characters = Load(*cell.c).characters;
  row.exchanges = Load(*cell.c).exchanges;
  row.samples = cell.samplesMs.size();
  row.failures = cell.failures;
  double sum = 0;
  for (double s : cell.samplesMs) sum += s;
  row.mean = row.samples == 0 ? NAN : sum / static_cast<double>(row.samples);
  row.p50 = Percentile(cell.samplesMs, 0.50);
  row.p99 = Percentile(cell.samplesMs, 0.99);
  row.txPerSecond = cell.phases > 0 ? cell.throughputSum / cell.phases : 1000.0 / row.mean;
  row.elementsPerSecond = row.txPerSecond * row.elements;
  row.floor = FloorMs(*cell.c, cell.rate);
  row.ratio = row.mean / row.floor;
  row.cpuUs = row.samples == 0 ? NAN : cell.cpuUs / static_cast<double>(row.samples);
  row.syscalls = cell.syscalls;
  return row;
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string SelfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// Runs this program in single-case mode under `strace -f -c` (children are
// left alone once they exec the simulator); the total of system calls.
double StraceTotal(const std::string& caseName, uint32_t rate, int transactions) {
  char out[] = "/tmp/zortw-strace-XXXXXX";
  const int fd = mkstemp(out);
  if (fd < 0) return NAN;
  close(fd);
  std::vector<std::string> args = {"strace",
                                   "-f",
                                   "-b",
                                   "execve",
                                   "-c",
                                   "-o",
                                   out,
                                   SelfPath(),
                                   "--only",
                                   caseName,
                                   "--rate",
                                   std::to_string(rate),
                                   "--transactions",
                                   std::to_string(transactions)};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, "strace", nullptr, nullptr, argv.data(), environ) != 0) {
    unlink(out);
    return NAN;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream file(out);
  std::string text, line;
  double total = NAN;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (!w.empty() && w.back() == "total" && w.size() >= 5) total = std::atof(w[3].c_str());
  }
  unlink(out);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? total : NAN;
}

std::string Fixed(double value, int decimals) {
  if (std::isnan(value)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string RateName(uint32_t rate) {
  return rate == 0 ? "unpaced" : std::to_string(rate);
}

void PrintTable(const std::vector<Row>& rows) {
  std::printf("%-10s %-9s %7s %4s %6s %8s %8s %8s %8s %9s %8s %6s %7s %8s\n", "group", "case",
              "baud", "inst", "n", "mean ms", "p50 ms", "p99 ms", "tx/s", "elem/s", "floor",
              "ratio", "cpu us", "syscall");
  for (const Row& r : rows) {
    std::printf("%-10s %-9s %7s %4d %6zu %8s %8s %8s %8s %9s %8s %6s %7s %8s%s\n", r.group.c_str(),
                r.name.c_str(), RateName(r.rate).c_str(), r.instances, r.samples,
                Fixed(r.mean, 2).c_str(), Fixed(r.p50, 2).c_str(), Fixed(r.p99, 2).c_str(),
                Fixed(r.txPerSecond, 2).c_str(), Fixed(r.elementsPerSecond, 1).c_str(),
                Fixed(r.floor, 2).c_str(), Fixed(r.ratio, 4).c_str(), Fixed(r.cpuUs, 1).c_str(),
                Fixed(r.syscalls, 1).c_str(),
                r.failures > 0 ? ("  FAILED " + std::to_string(r.failures)).c_str() : "");
  }
}

constexpr const char* kColumns[] = {
    "group",     "case",           "baud",     "instances", "elements",      "characters",
    "exchanges", "samples",        "failures", "mean_ms",   "p50_ms",        "p99_ms",
    "tx_per_s",  "elements_per_s", "floor_ms", "ratio",     "cpu_us_per_tx", "syscalls_per_tx"};

std::vector<std::string> Fields(const Row& r) {
  return {r.group,
          r.name,
          std::to_string(r.rate),
          std::to_string(r.instances),
          std::to_string(r.elements),
          std::to_string(r.characters),
          std::to_string(r.exchanges),
          std::to_string(r.samples),
          std::to_string(r.failures),
          Fixed(r.mean, 4),
          Fixed(r.p50, 4),
          Fixed(r.p99, 4),
          Fixed(r.txPerSecond, 4),
          Fixed(r.elementsPerSecond, 3),
          Fixed(r.floor, 4),
          Fixed(r.ratio, 5),
          Fixed(r.cpuUs, 2),
          Fixed(r.syscalls, 2)};
}

void WriteCsv(const std::string& path, const std::vector<Row>& rows, const std::string& meta) {
  std::ofstream file(path);
  file << "# " << meta << "\n";
  for (std::size_t i = 0; i < std::size(kColumns); ++i) file << (i ? "," : "") << kColumns[i];
  file << "\n";
  for (const Row& r : rows) {
    const auto fields = Fields(r);
    for (std::size_t i = 0; i < fields.size(); ++i) file << (i ? "," : "") << fields[i];
    file << "\n";
  }
}

void WriteJson(const std::string& path, const std::vector<Row>& rows, const std::string& meta) {
  std::ofstream file(path);
  file << "{\"meta\": \"" << meta << "\",\n \"rows\": [\n";
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const auto fields = Fields(rows[k]);
    file << "  {";
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const bool text = i < 2;
      const std::string value = fields[i].empty() ? "null" : fields[i];
      file << (i ? ", " : "") << "\"" << kColumns[i] << "\": " << (text ? "\"" : "") << value
           << (text ? "\"" : "");
    }
    file << "}" << (k + 1 < rows.size() ? "," : "") << "\n";
  }
  file << " ]}\n";
}

const Case* FindCase(const std::string& name) {
  for (const Case& c : kCases) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

// --only: one line, `transactions` transfers of one case; nothing printed.
int RunOnly(ZorMainFn zorMain, const std::string& simPath, const Case& c, uint32_t rate,
            int transactions) {
  Line line(zorMain, rate);
  std::string error;
  if (!line.Start(simPath, error)) {
    std::fprintf(stderr, "e2e_bench: %s\n", error.c_str());
    return 2;
  }
  for (int i = 0; i < transactions; ++i) {
    if (line.Transfer(c) != 0) return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string simPath = TIWAY_SIM_PATH, libraryPath = ZORTW_LIBRARY_PATH;
  std::string csvPath = "e2e_bench.csv", jsonPath = "e2e_bench.json", only;
  bool quick = false, syscalls = true;
  uint32_t onlyRate = 0;
  int transactions = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--no-syscalls") {
      syscalls = false;
    } else if (arg == "--csv" && more) {
      csvPath = argv[++i];
    } else if (arg == "--json" && more) {
      jsonPath = argv[++i];
    } else if (arg == "--sim" && more) {
      simPath = argv[++i];
    } else if (arg == "--driver" && more) {
      libraryPath = argv[++i];
    } else if (arg == "--only" && more) {
      only = argv[++i];
    } else if (arg == "--rate" && more) {
      onlyRate = static_cast<uint32_t>(std::atol(argv[++i]));
    } else if (arg == "--transactions" && more) {
      transactions = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: e2e_bench [--quick] [--csv FILE] [--json FILE] [--no-syscalls] "
                   "[--sim PATH] [--driver PATH]\n"
                   "       e2e_bench --only CASE [--rate BAUD] --transactions N\n");
      return 1;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  const ZorMainFn zorMain = LoadDriver(libraryPath);
  if (!only.empty()) {
    const Case* c = FindCase(only);
    if (c == nullptr) return 1;
    return RunOnly(zorMain, simPath, *c, onlyRate, transactions);
  }

  const int rounds = quick ? 5 : 60;
  const double phaseSeconds = quick ? 2 : 4;
  const int repetitions = quick ? 1 : 3;
  const std::string loadBefore = LoadAverage();
  std::fprintf(stderr, "e2e_bench: load average %s; starting %zu simulators\n", loadBefore.c_str(),
               std::size(kRates) * 32);

  // 32 lines per rate; the first of each also runs the case sequence.
  std::map<uint32_t, std::vector<std::unique_ptr<Line>>> pools;
  for (uint32_t rate : kRates) {
    for (int i = 0; i < 32; ++i) {
      pools[rate].push_back(std::make_unique<Line>(zorMain, rate));
      std::string error;
      if (!pools[rate].back()->Start(simPath, error)) {
        std::fprintf(stderr, "e2e_bench: %s\n", error.c_str());
        return 2;
      }
    }
  }

  std::vector<Cell> cells;
  for (uint32_t rate : kRates) {
    for (const Case& c : kCases) {
      Cell cell;
      cell.group = "cases";
      cell.c = &c;
      cell.rate = rate;
      cells.push_back(cell);
    }
  }
  const std::size_t firstScale = cells.size();
  for (uint32_t rate : kRates) {
    for (int count : kScaleCounts) {
      Cell cell;
      cell.group = "instances";
      cell.c = &kScaleCase;
      cell.rate = rate;
      cell.instances = count;
      cells.push_back(cell);
    }
  }

  // The cases, one transfer of each per round, every rate in turn.
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < firstScale; ++k) {
      Cell& cell = cells[k];
      Measure(*pools[cell.rate][0], cell, cell.samplesMs, cell.cpuUs, cell.failures);
    }
    if ((round + 1) % 10 == 0 || round + 1 == rounds) {
      std::fprintf(stderr, "e2e_bench: round %d of %d\n", round + 1, rounds);
    }
  }
  // Instances: 1, 8, 32 in turn, each rate, several times over.
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    for (std::size_t k = firstScale; k < cells.size(); ++k) {
      ScalePhase(pools[cells[k].rate], cells[k].instances, phaseSeconds, cells[k]);
    }
    std::fprintf(stderr, "e2e_bench: instances, pass %d of %d\n", repetition + 1, repetitions);
  }
  pools.clear();

  if (syscalls) {
    // Per transaction: the difference between a long and a short run.
    const int shortRun = quick ? 1 : 2, longRun = quick ? 4 : 12;
    std::fprintf(stderr, "e2e_bench: counting system calls with strace\n");
    for (Cell& cell : cells) {
      if (cell.group != "cases") continue;
      const double a = StraceTotal(cell.c->name, cell.rate, shortRun);
      const double b = StraceTotal(cell.c->name, cell.rate, longRun);
      cell.syscalls = (b - a) / (longRun - shortRun);
    }
  }

  std::vector<Row> rows;
  for (const Cell& cell : cells) rows.push_back(MakeRow(cell));
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  const std::string meta = std::string(date) + "; " + (quick ? "quick" : "full") +
                           " run; load average before " + loadBefore + ", after " + LoadAverage() +
                           "; " + std::to_string(std::thread::hardware_concurrency()) + " CPUs";
  std::printf("%s\n", meta.c_str());
  PrintTable(rows);
  WriteCsv(csvPath, rows, meta);
  WriteJson(jsonPath, rows, meta);
  std::fprintf(stderr, "e2e_bench: wrote %s and %s\n", csvPath.c_str(), jsonPath.c_str());
  for (const Row& r : rows) {
    if (r.failures > 0) return 3;
  }
  return 0;
}
