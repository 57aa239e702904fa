// zortw-soak: driver instances on a faulty line, each driven through ZorMain
// alone (libzortw.so loaded as a host does) against its own tiway-sim, with a
// reference model of the controller memory. See docs/reliability.md.
//
// The command runs SOAKERS child processes of itself (so that a crash is a
// child's exit status, not the end of the count), each with one simulator
// on one pty, merges their counts, prints a table and writes JSON.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/soak/soak_model.h"
#include "bench/soak/soak_scan.h"
#include "bench/soak/soak_stats.h"
#include "host/driver.h"
#include "host/instance.h"
#include "tests/e2e/sim_process.h"
#include "zortw/zortw.h"

extern char** environ;

namespace {

using namespace soak;
using Clock = std::chrono::steady_clock;
constexpr int kStations = 6;  // stations 1..6 carry traffic
constexpr uint32_t kWordsFirst = 0x100, kWordsLast = 0x1FF;
constexpr uint32_t kDiscretesFirst = 0x10, kDiscretesLast = 0x8F;
constexpr std::size_t kPad = 8;  // guard words or bytes on each side

struct Options {
  int soakers = 1;
  long perKind = 10000;       // transactions of every kind, over all soakers
  int timeout = 20;           // readTimeout, tens of ms
  double faultRate = 0.2;     // share of replies spoiled
  double lateRate = 0.01;     // share of transactions followed by a late reply
  double mistakeRate = 0.01;  // share of transactions preceded by a host mistake
  unsigned seed = 1;
  int64_t slackMs = 1000;
  double maxSeconds = 1500;
  std::string sim = TIWAY_SIM_PATH;
  std::string driver = ZORTW_LIBRARY_PATH;
  std::string json;
  // The scan-list pattern (soak_scan.h) instead of random stations, and a
  // reply made late every Nth primitive by a factor of the reply time-out.
  std::string pattern = "random";
  int lateEvery = 0;
  double lateFactor = 1.2;
  uint32_t baud = 0;        // the simulator paces the line at this rate (0: unpaced)
  double refuseWrites = 0;  // share of write requests the controller refuses
  std::string simTrace;     // a directory for each simulator's trace
  int child = -1;           // internal: this process is soaker number `child`
  std::string childOut;
};

// 8N1 on the pty, at the simulator's pace (19200 when it does not pace).
ZorLineSettings PtyLine(const Options& o) {
  return {static_cast<uint16_t>(o.baud == 0 ? 19200 : o.baud), 8, 0, 0};
}

std::atomic<long> g_logLines{0};

int CountLine(int, const char*, ...) {
  g_logLines.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// One soaker: one driver instance, one simulator, one model of its memory.
class Soaker {
 public:
  Soaker(const Options& o, int index)
      : o_(o), index_(index), rng_(o.seed * 7919u + static_cast<unsigned>(index)) {}

  // Returns an empty string or why the soak could not start.
  std::string Run(Totals& totals);

 private:
  std::string SetUp();
  int32_t Call(int32_t command, void* params, KindStats& stats, double* ms = nullptr);
  bool ContextIntact() const;
  Shape Pick(Kind kind, int station);
  // Returns the status of the transfer.
  int32_t Transaction(const Shape& shape, KindStats& stats);
  int32_t Read(const Shape& shape, const ZorPointAddress& address, KindStats& stats);
  int32_t Write(const Shape& shape, const ZorPointAddress& address, KindStats& stats);
  void HostMistake(Totals& totals);
  void Timed(const Shape& shape, int32_t status, double ms, KindStats& stats);
  void WaitForRequestsOnTheLine();
  std::vector<uint16_t> Dump(int station, const Span& span);
  std::string InitialMemory();
  // The scan-list pattern, below the random one.
  void RunScan(Totals& totals, Clock::time_point start, long quota);
  void ScanMemory(std::ostringstream& data);
  std::string ArmLateEvery();
  void NoteWrongRead(const Shape& shape, const uint16_t* words);
  uint32_t Random(uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(rng_);
  }

  const Options& o_;
  int index_;
  std::mt19937 rng_;
  e2e::SimProcess sim_;
  ZorMainFn zorMain_ = nullptr;
  std::vector<uint8_t> context_;  // guard bytes, the context, guard bytes
  std::size_t contextSize_ = 0;
  Memory memory_;
  uint16_t canary_ = 0;
  int64_t timeoutMs_ = 0;
  BoundInputs bound_;
  ScanLayout scan_;
  Totals* totals_ = nullptr;
};

std::string Soaker::InitialMemory() {
  std::ostringstream data;
  for (int station = 1; station <= kStations; ++station) {
    for (uint32_t a = kWordsFirst; a <= kWordsLast; a += 16) {
      data << std::hex << station << " V " << a << " =";
      for (uint32_t k = 0; k < 16; ++k) {
        const uint16_t value = static_cast<uint16_t>(Random(0, 0xFFFF));
        memory_.Set(station, 'V', a + k, value);
        data << ' ' << value;
      }
      data << '\n';
    }
    for (char letter : {'X', 'Y', 'C'}) {
      for (uint32_t a = kDiscretesFirst; a <= kDiscretesLast; a += 16) {
        data << station << ' ' << letter << ' ' << a << " =";
        for (uint32_t k = 0; k < 16; ++k) {
          const uint16_t value = static_cast<uint16_t>(Random(0, 1));
          memory_.Set(station, letter, a + k, value);
          data << ' ' << value;
        }
        data << '\n';
      }
    }
  }
  if (o_.pattern == "scan") ScanMemory(data);
  return data.str();
}

bool Soaker::ContextIntact() const {
  for (std::size_t i = 0; i < kPad; ++i) {
    if (context_[i] != static_cast<uint8_t>(canary_ + i) ||
        context_[kPad + contextSize_ + i] != static_cast<uint8_t>(canary_ - i)) {
      return false;
    }
  }
  return true;
}

int32_t Soaker::Call(int32_t command, void* params, KindStats& stats, double* ms) {
  ZorRequest request{};
  request.context = reinterpret_cast<ZorPortContext*>(context_.data() + kPad);
  request.command = command;
  request.instance = index_ % 100;
  request.params = params;
  const ZorRequest before = request;
  const auto start = Clock::now();
  const int32_t status = zorMain_(&request);
  if (ms) *ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!ContextIntact() || std::memcmp(&before, &request, sizeof request) != 0) {
    ++stats.guardViolations;
  }
  return status;
}

std::string Soaker::SetUp() {
  const zortw_host::Driver driver = zortw_host::LoadDriver(o_.driver, &CountLine);
  if (driver.zorMain == nullptr) return driver.error;
  if (driver.setLog == nullptr) return "the driver lacks ZorSetLogFunction";
  zorMain_ = driver.zorMain;

  ZorDriverInfo info{};
  ZorRequest infoRequest{};
  infoRequest.command = ZOR_GET_DRIVER_INFO;
  infoRequest.params = &info;
  if (zorMain_(&infoRequest) != 0 || info.contextSize < static_cast<int32_t>(ZOR_CONTEXT_SIZE)) {
    return "GetDriverInfo failed";
  }
  contextSize_ = static_cast<std::size_t>(info.contextSize);
  canary_ = static_cast<uint16_t>(Random(1, 0xFFFF));
  context_.assign(contextSize_ + 2 * kPad, 0);
  for (std::size_t i = 0; i < kPad; ++i) {
    context_[i] = static_cast<uint8_t>(canary_ + i);
    context_[kPad + contextSize_ + i] = static_cast<uint8_t>(canary_ - i);
  }

  sim_.trace = !o_.simTrace.empty();  // ten minutes of frames are not worth the disk
  std::vector<std::string> simArgs = {
      "--stations", "1-8", "--configured", "--seed",
      std::to_string(o_.seed * 1000u + static_cast<unsigned>(index_))};
  if (o_.baud > 0) {
    simArgs.push_back("--baud");
    simArgs.push_back(std::to_string(o_.baud));
  }
  const std::string error = sim_.Start(o_.sim, InitialMemory(), simArgs);
  if (!error.empty()) return error;

  KindStats setup;
  ZorColdStartParams cold{};
  std::strncpy(cold.portName, sim_.Port().c_str(), sizeof cold.portName - 1);
  cold.enabled = 1;
  cold.readTimeout = 100;
  cold.line = PtyLine(o_);
  if (const int32_t s = Call(ZOR_COLD_START, &cold, setup); s != 0) {
    return "ColdStart gave " + std::to_string(s);
  }
  // The short reply time-out: stored by ReopenPort, applied by WarmStart.
  ZorReopenPortParams reopen{};
  std::strncpy(reopen.portName, sim_.Port().c_str(), sizeof reopen.portName - 1);
  reopen.readTimeout = o_.timeout;
  reopen.line = PtyLine(o_);
  if (Call(ZOR_CLOSE_PORT, nullptr, setup) != 0 || Call(ZOR_REOPEN_PORT, &reopen, setup) != 0 ||
      Call(ZOR_WARM_START, nullptr, setup) != 0) {
    return "ReopenPort or WarmStart failed";
  }
  timeoutMs_ = static_cast<int64_t>(o_.timeout) * 10;
  bound_ = {timeoutMs_, PtyLine(o_).baudRate, 10, o_.slackMs};
  for (int station = 1; station <= kStations; ++station) {
    Shape shape;
    shape.station = station;
    const std::string text = AddressText(shape);
    ZorPointDefinition definition{};
    definition.addressText = text.c_str();
    if (Call(ZOR_DEFINE_POINT, &definition, setup) != 0) return "DefinePoint refused " + text;
  }
  if (setup.guardViolations != 0) return "guard words changed during start-up";

  // About faultRate of the replies spoiled, every mode equally often. A late
  // reply comes half a time-out after the driver's next send, so that it
  // lands in the wait for the next reply, not in a purge.
  const std::string late = "delay=" + std::to_string(timeoutMs_ * 3 / 2 + 50);
  const char* modes[] = {"silence@primitive", "bad-checksum@primitive",
                         "stray3@primitive",  "cut@primitive",
                         "no-end@primitive",  "primitive-error=0105@primitive",
                         "short-data@read",   "lower-case@primitive"};
  const double each = 1.0 - std::pow(1.0 - o_.faultRate, 1.0 / 9.0);
  std::vector<std::string> all(std::begin(modes), std::end(modes));
  all.push_back(late + "@primitive");
  for (const std::string& mode : all) {
    const std::string answer = sim_.Control("fault-rate " + mode + " " + std::to_string(each));
    if (answer.rfind("ok", 0) != 0) return "fault-rate " + mode + ": " + answer;
  }
  return ArmLateEvery();
}

Shape Soaker::Pick(Kind kind, int station) {
  Shape s;
  s.kind = kind;
  s.station = station;
  const auto words = [&](uint32_t most) {
    s.count = static_cast<int32_t>(Random(1, most));
    s.address = Random(kWordsFirst, kWordsLast + 1 - static_cast<uint32_t>(s.count));
  };
  const auto floats = [&](uint32_t most) {
    const uint32_t values = Random(1, most);
    s.letter = 'F';
    s.count = static_cast<int32_t>(2 * values);
    s.address = Random(kWordsFirst / 2, (kWordsLast + 1 - 2 * values) / 2) * 2;
  };
  const auto discretes = [&](const char* letters, uint32_t most) {
    s.letter = letters[Random(0, static_cast<uint32_t>(std::strlen(letters)) - 1)];
    s.count = static_cast<int32_t>(Random(1, most));
    s.address = Random(kDiscretesFirst, kDiscretesLast + 1 - static_cast<uint32_t>(s.count));
  };
  switch (kind) {
    case Kind::kReadWords:
      words(24);
      break;
    case Kind::kReadBits:
      words(8);
      s.bit = static_cast<int>(Random(0, 15));
      break;
    case Kind::kReadFloats:
      floats(8);
      break;
    case Kind::kReadDiscretes:
      discretes("XYC", 32);
      break;
    case Kind::kWriteWords:
      words(16);
      break;
    case Kind::kWriteFloats:
      floats(8);
      break;
    case Kind::kWriteDiscretes:
      discretes("YC", 16);
      break;
    case Kind::kWriteBit:
      words(1);
      s.bit = static_cast<int>(Random(0, 15));
      break;
  }
  return s;
}

// The host's array: guard words, the words the driver sees, guard words.
struct HostArray {
  HostArray(std::size_t words_, uint16_t canary_, uint16_t fill)
      : words(words_ + 2 * kPad, fill), canary(canary_), size(words_) {
    for (std::size_t i = 0; i < kPad; ++i) words[i] = words[kPad + size + i] = canary;
  }
  uint16_t* data() { return words.data() + kPad; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kPad; ++i) {
      if (words[i] != canary || words[kPad + size + i] != canary) return false;
    }
    return true;
  }
  std::vector<uint16_t> words;
  uint16_t canary;
  std::size_t size;
};

ZorBlockRequest Block(const Shape& shape, uint16_t* data, const ZorPointAddress& address) {
  ZorBlockRequest block{};
  block.hostField0 = 0xCAFE0000;
  block.hostField1 = 0x0000F00D;
  block.address = address;
  block.hostField7 = 0x77777777;
  block.elementCount = shape.count;
  block.hostField9 = 0x99999999;
  block.data = data;
  return block;
}

int32_t Soaker::Transaction(const Shape& shape, KindStats& stats) {
  const std::string text = AddressText(shape);
  ZorPointDefinition definition{};
  definition.addressText = text.c_str();
  definition.hostField1 = 0x5A5A5A5A;
  definition.hostDataType = HostDataType(shape);
  definition.elementCount = shape.count;
  const ZorPointDefinition before = definition;
  if (Call(ZOR_DEFINE_POINT, &definition, stats) != 0) {
    std::fprintf(stderr, "soaker %d: DefinePoint refused %s\n", index_, text.c_str());
    ++stats.guardViolations;
    return -1;
  }
  ZorPointDefinition same = definition;
  same.address = before.address;
  if (std::memcmp(&same, &before, sizeof same) != 0) ++stats.guardViolations;
  ++stats.transactions;
  return IsWrite(shape.kind) ? Write(shape, definition.address, stats)
                             : Read(shape, definition.address, stats);
}

void Soaker::Timed(const Shape& shape, int32_t status, double ms, KindStats& stats) {
  ++stats.statuses[status];
  stats.totalMs += ms;
  stats.maxMs = std::max(stats.maxMs, ms);
  if (ms > static_cast<double>(CallBoundMs(shape, bound_))) {
    ++stats.overlongCalls;
    std::fprintf(stderr, "soaker %d: %s took %.0f ms\n", index_, AddressText(shape).c_str(), ms);
  }
}

int32_t Soaker::Read(const Shape& shape, const ZorPointAddress& address, KindStats& stats) {
  const std::vector<Slot> slots = ReadSlots(shape);
  const uint16_t fill = static_cast<uint16_t>(Random(0, 0xFFFF));
  HostArray array(ArrayWords(slots), canary_, fill);
  ZorBlockRequest block = Block(shape, array.data(), address);
  const ZorBlockRequest before = block;
  const std::vector<uint16_t> wordsBefore = array.words;
  double ms = 0;
  const int32_t status = Call(ZOR_READ_BLOCK, &block, stats, &ms);
  Timed(shape, status, ms, stats);
  if (!array.GuardsIntact() || std::memcmp(&before, &block, sizeof block) != 0) {
    ++stats.guardViolations;
  }
  if (status != 0) {
    if (array.words != wordsBefore) ++stats.failedReadTouched;
    return status;
  }
  std::vector<bool> named(array.size, false);
  bool wrong = false;
  for (const Slot& slot : slots) {
    named[slot.index] = true;
    if (array.data()[slot.index] != memory_.Expected(shape.station, slot)) wrong = true;
  }
  if (wrong && ++stats.wrongData <= 3) {
    std::fprintf(stderr, "soaker %d: wrong data from %s count %d\n", index_,
                 AddressText(shape).c_str(), shape.count);
  }
  if (wrong) NoteWrongRead(shape, array.data());
  for (std::size_t i = 0; i < array.size; ++i) {
    if (!named[i] && array.data()[i] != fill) {
      ++stats.guardViolations;
      break;
    }
  }
  return status;
}

// A call can return while its last request is still on the paced line (it
// took an earlier attempt's late reply for the answer): the simulator acts
// on that request once its last character has arrived. Memory is read only
// after that, or the model would miss a write still on its way.
void Soaker::WaitForRequestsOnTheLine() {
  for (int round = 0; round < 20; ++round) {
    std::istringstream answer(sim_.Control("pending"));
    std::string ok;
    long requests = 0, ms = 0;
    if (!(answer >> ok >> requests >> ms) || ok != "ok" || requests == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(ms, 1L, 1000L)));
  }
}

std::vector<uint16_t> Soaker::Dump(int station, const Span& span) {
  WaitForRequestsOnTheLine();
  char command[64];
  std::snprintf(command, sizeof command, "dump %02X %c %04X %d", static_cast<unsigned>(station),
                span.letter, span.address, span.count);
  std::istringstream answer(sim_.Control(command));
  std::string word;
  std::vector<uint16_t> values;
  answer >> word;  // "ok"
  while (answer >> word) values.push_back(static_cast<uint16_t>(std::stoul(word, nullptr, 16)));
  return values;
}

int32_t Soaker::Write(const Shape& shape, const ZorPointAddress& address, KindStats& stats) {
  const std::vector<Slot> slots = WriteSlots(shape);
  const uint16_t fill = static_cast<uint16_t>(Random(0, 0xFFFF));
  HostArray array(ArrayWords(slots), canary_, fill);
  for (const Slot& slot : slots) {
    array.data()[slot.index] =
        static_cast<uint16_t>(slot.letter == 'V' ? Random(0, 0xFFFF) : Random(0, 1));
  }
  const Span span = WrittenSpan(shape);
  std::vector<uint16_t> old, intended;
  for (int k = 0; k < span.count; ++k) {
    old.push_back(memory_.Get(shape.station, span.letter, span.address + static_cast<uint32_t>(k)));
  }
  Memory after = memory_;
  after.Apply(shape.station, slots, array.data());
  for (int k = 0; k < span.count; ++k) {
    intended.push_back(
        after.Get(shape.station, span.letter, span.address + static_cast<uint32_t>(k)));
  }

  ZorBlockRequest block = Block(shape, array.data(), address);
  const ZorBlockRequest before = block;
  const std::vector<uint16_t> wordsBefore = array.words;
  double ms = 0;
  const int32_t status = Call(ZOR_WRITE_BLOCK, &block, stats, &ms);
  Timed(shape, status, ms, stats);
  // A write never stores into the host's array.
  if (array.words != wordsBefore || std::memcmp(&before, &block, sizeof block) != 0) {
    ++stats.guardViolations;
  }
  const std::vector<uint16_t> actual = Dump(shape.station, span);
  // A single-bit write changes one bit: any other bit of the word that
  // changed came from a word its read step took from another reply.
  const bool otherBits = shape.kind == Kind::kWriteBit && actual.size() == 1 &&
                         ((actual[0] ^ old[0]) & static_cast<uint16_t>(~(1u << shape.bit))) != 0;
  if (otherBits) {
    if (++stats.wrongWordStored <= 3) {
      std::fprintf(stderr, "soaker %d: single-bit write to %s (status %d) stored %04X over %04X\n",
                   index_, AddressText(shape).c_str(), status, actual[0], old[0]);
    }
  } else if (status == 0 && actual != intended) {
    if (++stats.okWriteNotInMemory <= 3) {
      std::fprintf(stderr, "soaker %d: write to %s gave 0 but memory does not hold it\n", index_,
                   AddressText(shape).c_str());
    }
  } else if (status != 0 && actual != old) {
    if (actual == intended) {
      ++stats.failedWriteApplied;
    } else {
      ++stats.failedWriteCorrupt;
    }
  }
  // The memory as it is, whatever happened, for the reads to come.
  for (std::size_t k = 0; k < actual.size(); ++k) {
    memory_.Set(shape.station, span.letter, span.address + static_cast<uint32_t>(k), actual[k]);
  }
  return status;
}

// A host's mistake, answered with 1 before anything is touched or sent: a
// null request, context or parameter block, or a read count below 0 or
// beyond what a reply can carry.
void Soaker::HostMistake(Totals& totals) {
  ++totals.hostMistakes;
  const int station = static_cast<int>(Random(1, kStations));
  char text[16];
  std::snprintf(text, sizeof text, "%02XV0100", station);
  ZorPointDefinition definition{};
  definition.addressText = text;
  KindStats stats;
  if (Call(ZOR_DEFINE_POINT, &definition, stats) != 0) ++totals.hostMistakesNotRefused;
  HostArray array(400, canary_, 0x1234);
  ZorBlockRequest block = Block({}, array.data(), definition.address);
  const std::vector<uint8_t> contextBefore = context_;
  const std::vector<uint16_t> wordsBefore = array.words;
  const long framesBefore = sim_.Stats()["frames"];
  ZorRequest request{};
  request.context = reinterpret_cast<ZorPortContext*>(context_.data() + kPad);
  request.command = ZOR_READ_BLOCK;
  request.params = &block;
  int32_t status = 0;
  switch (Random(0, 4)) {
    case 0:
      status = zorMain_(nullptr);
      break;
    case 1:
      request.context = nullptr;
      status = zorMain_(&request);
      break;
    case 2:
      request.params = nullptr;
      status = zorMain_(&request);
      break;
    case 3:
      block.elementCount = -static_cast<int32_t>(Random(1, 1000));
      status = zorMain_(&request);
      break;
    default:
      block.elementCount = static_cast<int32_t>(Random(142, 400));  // 141 words fill a reply
      status = zorMain_(&request);
      break;
  }
  if (status != 1 || context_ != contextBefore || array.words != wordsBefore ||
      sim_.Stats()["frames"] != framesBefore) {
    ++totals.hostMistakesNotRefused;
  }
}

std::string Soaker::Run(Totals& totals) {
  const auto start = Clock::now();
  totals_ = &totals;
  if (std::string error = SetUp(); !error.empty()) return error;
  const long quota = (o_.perKind + o_.soakers - 1) / o_.soakers;
  if (o_.pattern == "scan") RunScan(totals, start, quota);
  int previousStation = 0;
  bool follower = false;
  for (;;) {
    std::vector<Kind> open;
    for (int i = 0; i < kKinds; ++i) {
      if (totals.kinds[i].transactions < quota) open.push_back(static_cast<Kind>(i));
    }
    if (open.empty() || o_.pattern == "scan") break;
    if (std::chrono::duration<double>(Clock::now() - start).count() > o_.maxSeconds) {
      ++totals.incomplete;
      break;
    }
    if (std::uniform_real_distribution<>(0, 1)(rng_) < o_.mistakeRate) HostMistake(totals);
    const Kind kind = open[Random(0, static_cast<uint32_t>(open.size()) - 1)];
    // Never the station of the request before: a late reply then never has
    // the shape of the request that meets it.
    int station = static_cast<int>(Random(1, kStations - 1));
    if (station >= previousStation) ++station;
    if (station == previousStation) ++totals.backToBackSameShape;
    previousStation = station;
    const Shape shape = Pick(kind, station);
    KindStats& stats = totals.kinds[static_cast<int>(kind)];

    // Now and then every send of this request fails and the last reply is
    // late: it arrives while the driver waits for the next request's reply.
    const bool episode = !follower && std::uniform_real_distribution<>(0, 1)(rng_) < o_.lateRate;
    if (episode) {
      const char* scope = IsWrite(kind) && kind != Kind::kWriteBit ? "@write" : "@read";
      sim_.Control(std::string("fault silence") + scope + " 2");
      sim_.Control("fault delay=" + std::to_string(timeoutMs_ * 3 / 2 + 50) + scope + " 3");
      ++totals.lateEpisodes;
    }
    const long framesBefore = follower ? sim_.Stats()["frames"] : 0;
    const int32_t status = Transaction(shape, stats);
    if (follower) {
      if (sim_.Stats()["frames"] - framesBefore > Exchanges(kind)) ++totals.lateFollowersRetried;
      if (status != 0) ++totals.lateFollowersFailed;
    }
    follower = episode && status != 0;
  }
  auto stats = sim_.Stats();
  totals.frames = stats["frames"];
  totals.faultedReplies = stats["faulted"];
  totals.logLines = g_logLines.load();
  totals.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  KindStats stop;
  Call(ZOR_CLOSE_PORT, nullptr, stop);
  if (!o_.simTrace.empty()) {
    std::ofstream(o_.simTrace + "/soaker" + std::to_string(index_) + ".trace") << sim_.Trace();
  }
  sim_.Stop();
  return "";
}

// The scan-list pattern: one station's blocks of the same size read in
// turn, single-bit writes and block writes between (soak_scan.h).

void Soaker::ScanMemory(std::ostringstream& data) {
  for (int block = 0; block < scan_.blocks; ++block) {
    const uint32_t first = scan_.BlockAddress(block);
    for (int32_t k = 0; k < scan_.words; k += 16) {
      data << std::hex << scan_.station << " V " << first + static_cast<uint32_t>(k) << " =";
      for (int32_t j = k; j < std::min(k + 16, scan_.words); ++j) {
        const auto value = static_cast<uint16_t>(Random(0, 0xFFFF));
        memory_.Set(scan_.station, 'V', first + static_cast<uint32_t>(j), value);
        data << ' ' << value;
      }
      data << '\n';
    }
  }
}

// The reply to every Nth primitive comes lateFactor reply time-outs after
// the request's last character (with --baud, when the request has left the
// line; unpaced, when it was written).
std::string Soaker::ArmLateEvery() {
  if (o_.refuseWrites > 0) {
    // A controller that refuses a write now and then (memory protected, a
    // mode change): nothing is written, so a late reply of an earlier write
    // taken for its answer reports a write that was not done.
    const std::string refuse =
        "fault-rate primitive-error=0104@write " + std::to_string(o_.refuseWrites);
    const std::string answer = sim_.Control(refuse);
    if (answer.rfind("ok", 0) != 0) return refuse + ": " + answer;
  }
  if (o_.lateEvery <= 0) return "";
  const auto ms = std::llround(o_.lateFactor * static_cast<double>(timeoutMs_));
  const std::string command =
      "fault-every delay=" + std::to_string(ms) + "@primitive " + std::to_string(o_.lateEvery);
  const std::string answer = sim_.Control(command);
  return answer.rfind("ok", 0) == 0 ? "" : command + ": " + answer;
}

void Soaker::NoteWrongRead(const Shape& shape, const uint16_t* words) {
  if (o_.pattern != "scan" || shape.kind != Kind::kReadWords || shape.count != scan_.words) {
    return;
  }
  const std::vector<uint16_t> got(words, words + shape.count);
  if (OtherBlockHolding(scan_, memory_, shape, got) >= 0) ++totals_->wrongFromOtherBlock;
}

void Soaker::RunScan(Totals& totals, Clock::time_point start, long quota) {
  ScanPattern pattern(scan_);
  const KindStats& reads = totals.kinds[static_cast<int>(Kind::kReadWords)];
  Shape previous;
  bool first = true;
  bool previousTroubled = false;  // the transfer before failed or sent more than once
  while (reads.transactions < quota) {
    if (std::chrono::duration<double>(Clock::now() - start).count() > o_.maxSeconds) {
      ++totals.incomplete;
      break;
    }
    if (std::uniform_real_distribution<>(0, 1)(rng_) < o_.mistakeRate) HostMistake(totals);
    const Shape shape = pattern.Next(rng_);
    if (!first && SameReplyShape(previous, shape)) ++totals.backToBackSameShape;
    const long defectsBefore = Defects(totals);
    const long framesBefore = sim_.Stats()["frames"];
    const int32_t status = Transaction(shape, totals.kinds[static_cast<int>(shape.kind)]);
    if (Defects(totals) > defectsBefore && previousTroubled) ++totals.defectsAfterTrouble;
    previousTroubled = status != 0 || sim_.Stats()["frames"] - framesBefore > Exchanges(shape.kind);
    previous = shape;
    first = false;
  }
}

int RunChild(const Options& o) {
  Totals totals;
  totals.soakers = 1;
  Soaker soaker(o, o.child);
  const std::string error = soaker.Run(totals);
  if (!error.empty()) {
    std::fprintf(stderr, "soaker %d: %s\n", o.child, error.c_str());
    return 3;
  }
  std::ofstream(o.childOut) << ToJson(totals).dump(1) << '\n';
  return 0;
}

// Starts every soaker, waits for them (bounded), merges their counts.
int RunAll(const Options& o, const char* self) {
  char dir[] = "/tmp/zortw-soak-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 2;
  struct Child {
    pid_t pid;
    std::string out;
  };
  std::vector<Child> children;
  for (int i = 0; i < o.soakers; ++i) {
    Child child{-1, std::string(dir) + "/soaker" + std::to_string(i) + ".json"};
    std::vector<std::string> args = {self,
                                     "--soakers",
                                     std::to_string(o.soakers),
                                     "--per-kind",
                                     std::to_string(o.perKind),
                                     "--timeout",
                                     std::to_string(o.timeout),
                                     "--fault-rate",
                                     std::to_string(o.faultRate),
                                     "--late-rate",
                                     std::to_string(o.lateRate),
                                     "--mistake-rate",
                                     std::to_string(o.mistakeRate),
                                     "--seed",
                                     std::to_string(o.seed),
                                     "--slack-ms",
                                     std::to_string(o.slackMs),
                                     "--max-seconds",
                                     std::to_string(o.maxSeconds),
                                     "--pattern",
                                     o.pattern,
                                     "--late-every",
                                     std::to_string(o.lateEvery),
                                     "--late-factor",
                                     std::to_string(o.lateFactor),
                                     "--baud",
                                     std::to_string(o.baud),
                                     "--refuse-writes",
                                     std::to_string(o.refuseWrites),
                                     "--sim-trace",
                                     o.simTrace,
                                     "--sim",
                                     o.sim,
                                     "--driver",
                                     o.driver,
                                     "--child",
                                     std::to_string(i),
                                     "--child-out",
                                     child.out};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&child.pid, self, nullptr, nullptr, argv.data(), environ) != 0) {
      child.pid = -1;
    }
    children.push_back(child);
  }

  Totals totals;
  const auto deadline = Clock::now() + std::chrono::duration<double>(o.maxSeconds + 120);
  std::size_t running = children.size();
  for (Child& child : children) {
    if (child.pid < 0) --running;
  }
  std::vector<int> statuses(children.size(), -1);
  while (running > 0) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      for (std::size_t i = 0; i < children.size(); ++i) {
        if (children[i].pid == pid) {
          statuses[i] = status;
          children[i].pid = 0;
          --running;
        }
      }
      continue;
    }
    if (Clock::now() > deadline) {
      for (Child& child : children) {
        if (child.pid > 0) kill(child.pid, SIGKILL);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // polls child exits
  }
  for (std::size_t i = 0; i < children.size(); ++i) {
    const int status = statuses[i];
    std::ifstream in(children[i].out);
    const bool clean = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && in;
    if (!clean) {
      ++totals.crashes;
      ++totals.soakers;
      std::fprintf(
          stderr, "soaker %zu ended with %s %d\n", i,
          status >= 0 && WIFSIGNALED(status) ? "signal" : "status",
          status < 0 ? -1 : (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status)));
      continue;
    }
    Merge(totals, FromJson(nlohmann::json::parse(in)));
    std::remove(children[i].out.c_str());
  }
  rmdir(dir);

  std::printf("%s", Table(totals).c_str());
  if (!o.json.empty()) {
    nlohmann::json out = ToJson(totals);
    out["run"] = {
        {"pattern", o.pattern},          {"soakers", o.soakers},     {"perKind", o.perKind},
        {"timeoutMs", o.timeout * 10},   {"faultRate", o.faultRate}, {"lateEvery", o.lateEvery},
        {"lateFactor", o.lateFactor},    {"baud", o.baud},           {"seed", o.seed},
        {"refuseWrites", o.refuseWrites}};
    std::ofstream(o.json) << out.dump(2) << '\n';
  }
  return Defects(totals) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"zortw-soak: driver instances through ZorMain against tiway-sim on a faulty line"};
  app.add_option("--soakers", o.soakers, "soaker processes, each with its own simulator")
      ->check(CLI::Range(1, 64));
  app.add_option("--per-kind", o.perKind, "transactions of every kind, over all soakers");
  app.add_option("--timeout", o.timeout, "readTimeout in tens of ms (default 20: 200 ms)")
      ->check(CLI::Range(2, 1000));
  app.add_option("--fault-rate", o.faultRate, "share of replies spoiled (default 0.2)")
      ->check(CLI::Range(0.0, 0.9));
  app.add_option("--late-rate", o.lateRate,
                 "share of requests made to fail with a late last reply (default 0.01)")
      ->check(CLI::Range(0.0, 0.5));
  app.add_option("--mistake-rate", o.mistakeRate,
                 "share of requests preceded by a host mistake that must give 1 (default 0.01)")
      ->check(CLI::Range(0.0, 0.5));
  app.add_option("--sim-trace", o.simTrace,
                 "write each simulator's trace (every frame, timed) to DIR/soakerN.trace");
  app.add_option("--seed", o.seed, "seed of traffic, memory and faults");
  app.add_option("--slack-ms", o.slackMs, "allowance over a call's bound for a loaded machine");
  app.add_option("--max-seconds", o.maxSeconds, "a soaker stops after this long");
  app.add_option("--sim", o.sim, "tiway-sim to run");
  app.add_option("--driver", o.driver, "libzortw.so to load");
  app.add_option("--json", o.json, "write the merged counts here");
  app.add_option("--pattern", o.pattern,
                 "random: random stations, kinds and sizes, never the same station twice in a "
                 "row; scan: one station's 62-word blocks read in turn with single-bit and "
                 "block writes between (--per-kind counts its block reads)")
      ->check(CLI::IsMember({"random", "scan"}));
  app.add_option("--late-every", o.lateEvery,
                 "make the reply to every Nth primitive late (0: never; default 0)")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--late-factor", o.lateFactor,
                 "how late, in reply time-outs, counted from the request's last character "
                 "(default 1.2)")
      ->check(CLI::Range(0.0, 100.0));
  app.add_option("--baud", o.baud,
                 "the simulator paces the line at this rate and the driver's port is set to it "
                 "(default 0: unpaced, the port at 19200)")
      ->check(CLI::Range(0u, 57600u));
  app.add_option("--refuse-writes", o.refuseWrites,
                 "share of write requests the controller refuses with 0104, beside the faults "
                 "(default 0)")
      ->check(CLI::Range(0.0, 0.5));
  app.add_option("--child", o.child)->group("");
  app.add_option("--child-out", o.childOut)->group("");
  CLI11_PARSE(app, argc, argv);
  if (o.child >= 0) return RunChild(o);
  return RunAll(o, "/proc/self/exe");
}
