#include "sim_simulator.h"

#include <charconv>

#include "sim_data.h"

namespace tiway_sim {

namespace {

RequestClass Classify(std::string_view body) {
  if (body.size() >= 10 && body.substr(0, 2) == "01") {
    return body.substr(8, 2) == "20" ? RequestClass::kRead : RequestClass::kWrite;
  }
  return RequestClass::kAdapter;
}

// The station a request is addressed to: a primitive's, or the one the
// adapter is asked to connect ("04SS"); -1 for other adapter requests.
int StationOf(std::string_view body) {
  if (!(body.size() >= 4 && (body.substr(0, 2) == "01" || body.substr(0, 2) == "04"))) return -1;
  const std::optional<uint32_t> station = ParseUpperHex(body.substr(2, 2));
  return station ? static_cast<int>(*station) : -1;
}

uint16_t RefusalFor(FrameError error) {
  switch (error) {
    case FrameError::kNotHex:
      return kAdapterNotHex;
    case FrameError::kChecksum:
      return kAdapterBadChecksum;
    case FrameError::kTooLong:
      return kAdapterFrameTooLong;
    default:
      return kAdapterBadFrame;
  }
}

std::string TypeName(std::string_view code) {
  MemoryType type;
  const auto value = ParseUpperHex(code);
  if (value && MemoryTypeFromCode(*value, type)) return std::string(1, MemoryTypeLetter(type));
  return "type " + std::string(code);
}

std::size_t ElementWidth(std::string_view typeCode) {
  return typeCode == "01" ? 4 : 2;
}

// The data field split into elements, "1234 5678".
std::string Elements(std::string_view data, std::size_t width) {
  std::string text;
  for (std::size_t i = 0; i + width <= data.size(); i += width) {
    if (!text.empty()) text += ' ';
    text += data.substr(i, width);
  }
  if (data.size() % width != 0)
    text += " +" + std::string(data.substr(data.size() / width * width));
  return text;
}

std::string Count(std::size_t n) {
  return std::to_string(n);
}

}  // namespace

std::string DescribeRequest(std::string_view body) {
  if (body.size() < 2) return "empty body";
  const std::string_view code = body.substr(0, 2);
  if (code == "12") return "adapter status query";
  if (code == "FF") return "adapter reset";
  if (body == kSetupBody) return "adapter set-up " + std::string(body);
  if (code == "11") return "adapter set-up step 11";
  if (code == "30") return "adapter start (completes configuration)";
  if (code == "04" && body.size() == 4) return "connect station " + std::string(body.substr(2));
  if (code == "06") return "list connected stations";
  if (code != "01" || body.size() < 12) return "message " + std::string(code) + " (unknown)";
  const std::string station(body.substr(2, 2));
  const std::string_view primitive = body.substr(8);
  const std::string_view typeCode = primitive.substr(2, 2);
  if (primitive.substr(0, 2) == "20" && primitive.size() == 12) {
    const uint32_t count = ParseUpperHex(primitive.substr(4, 4)).value_or(0);
    return "station " + station + " read " + TypeName(typeCode) + " address " +
           std::string(primitive.substr(8, 4)) + " count " + Count(count);
  }
  if (primitive.substr(0, 2) == "30" && primitive.size() >= 8) {
    const std::string_view data = primitive.substr(8);
    const std::size_t width = ElementWidth(typeCode);
    return "station " + station + " write " + TypeName(typeCode) + " address " +
           std::string(primitive.substr(4, 4)) + " count " + Count(data.size() / width) +
           (data.empty() ? "" : " data " + Elements(data, width));
  }
  return "station " + station + " primitive " + std::string(primitive.substr(0, 4));
}

std::string DescribeReply(std::string_view body, std::string_view requestBody) {
  if (body.size() < 2) return "empty body";
  const std::string_view code = body.substr(0, 2);
  if (code == "00" && body.size() == 6) {
    const uint16_t error = static_cast<uint16_t>(ParseUpperHex(body.substr(2)).value_or(0));
    return "adapter refuses: error " + std::string(body.substr(2)) + " (" +
           AdapterErrorText(error) + ")";
  }
  if (code == "12" && body.size() == 12) {
    return std::string("adapter status: ") +
           (body.substr(10) == "01" ? "configured" : "not configured") + ", " +
           Count(ParseUpperHex(body.substr(6, 4)).value_or(0)) + " connected";
  }
  if (code == "06") {
    return body.size() == 2 ? "no station connected"
                            : "connected stations " + Elements(body.substr(2), 2);
  }
  if (code == "04") return "station " + std::string(body.substr(2)) + " connected";
  if (code == "01" && body.size() >= 12) {
    const std::string station(body.substr(2, 2));
    const std::string_view primitive = body.substr(8);
    if (primitive.substr(0, 2) == "00" && body.size() >= 15) {
      const std::string_view errorText = body.substr(11, 4);
      const uint16_t error = static_cast<uint16_t>(ParseUpperHex(errorText).value_or(0));
      return "station " + station + " primitive error " + std::string(errorText) + " (" +
             PrimitiveErrorText(error) + ")";
    }
    const std::string status = " status " + std::string(primitive.substr(2, 2)) +
                               (primitive.substr(2, 2) == "00" ? " (running)" : "");
    if (primitive.substr(0, 2) == "30") return "station " + station + " write ok," + status;
    const std::string_view data = primitive.substr(4);
    const std::string_view typeCode =
        requestBody.size() >= 12 ? requestBody.substr(10, 2) : std::string_view("01");
    const std::size_t width = ElementWidth(typeCode);
    return "station " + station + " read ok," + status + ", " + Count(data.size() / width) + " " +
           TypeName(typeCode) + (data.empty() ? "" : ": " + Elements(data, width));
  }
  return "adapter ok (" + std::string(code) + ")";
}

Simulator::Simulator(std::set<int> stations, uint32_t seed)
    : network_(std::move(stations)), adapter_(network_), faults_(seed) {}

Exchange Simulator::Handle(const Incoming& incoming) {
  Exchange exchange;
  exchange.request = incoming.text;
  ++counters_.frames;
  std::string body;
  const FrameError error =
      incoming.tooLong ? FrameError::kTooLong : ParseFrame(incoming.text, body);
  const RequestClass request = error == FrameError::kNone ? Classify(body) : RequestClass::kAdapter;
  const int station = error == FrameError::kNone ? StationOf(body) : -1;
  exchange.faults = faults_.Take(request, station);
  const Fault* primitiveError = nullptr;
  bool shortData = false;
  for (const Fault& fault : exchange.faults) {
    if (fault.kind == FaultKind::kPrimitiveError) primitiveError = &fault;
    if (fault.kind == FaultKind::kShortData) shortData = true;
  }
  // A station that fell silent carries nothing out (a write is not written).
  const bool stationSilent = station >= 0 && faults_.Silences(station, request);

  std::string replyBody;
  if (error != FrameError::kNone) {
    ++counters_.bad;
    exchange.requestNote = std::string("bad frame: ") + FrameErrorName(error);
    replyBody = Adapter::Refusal(RefusalFor(error));
  } else {
    exchange.requestNote = DescribeRequest(body);
    if (request == RequestClass::kAdapter) ++counters_.adapter;
    if (request == RequestClass::kRead) ++counters_.reads;
    if (request == RequestClass::kWrite) ++counters_.writes;
    if (stationSilent) {
      replyBody = "";  // never sent
    } else if (primitiveError != nullptr) {
      // The controller refuses: nothing is read or written.
      replyBody = Adapter::PrimitiveFailure(body.substr(2, 2),
                                            static_cast<uint16_t>(primitiveError->amount));
    } else {
      replyBody = adapter_.Answer(body);
    }
    if (shortData) replyBody = ShortenReadReply(replyBody, ElementWidth(body.substr(10, 2)));
  }
  if (replyBody.size() >= 10 && replyBody.substr(0, 2) == "01" && replyBody.substr(8, 2) == "00") {
    ++counters_.failed;
  }
  if (!exchange.faults.empty()) ++counters_.faulted;
  exchange.replyNote = DescribeReply(replyBody, body);
  exchange.reply = EncodeFrame(replyBody);
  exchange.plan = ApplyLineFaults(exchange.reply, exchange.faults);
  return exchange;
}

namespace {

bool ParseUnsigned(std::string_view text, uint32_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

std::string StationList(const std::set<int>& stations) {
  std::string text = "ok";
  for (int station : stations) text += " " + Hex(static_cast<uint32_t>(station), 2);
  return text;
}

constexpr const char* kHelp =
    "ok commands: fault MODE [N] | fault-every MODE N | fault-rate MODE P | "
    "station-fault SS MODE|clear | seed S | clear | faults | "
    "set SS T AAAA V... | dump SS T AAAA [N] | stations | connected | disconnect SS|all | "
    "configured 0|1 | reset | stats [reset] | line | pending | late [reset] | help";

}  // namespace

std::string Simulator::Control(std::string_view line) {
  const std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return "error empty command";
  const std::string& command = words[0];
  const std::size_t args = words.size() - 1;

  if (command == "help") return kHelp;
  if (command == "fault" && (args == 1 || args == 2)) {
    std::string mode = words[1];
    uint32_t requests = 1;
    const std::size_t colon = mode.rfind(':');
    if (args == 1 && colon != std::string::npos) {
      if (!ParseUnsigned(std::string_view(mode).substr(colon + 1), requests)) {
        return "error bad request count";
      }
      mode.resize(colon);
    } else if (args == 2 && !ParseUnsigned(words[2], requests)) {
      return "error bad request count '" + words[2] + "'";
    }
    Fault fault;
    std::string error;
    if (!ParseFault(mode, fault, error)) return "error " + error;
    faults_.Add(fault, requests);
    return "ok " + FaultName(fault) + " for " + std::to_string(requests) + " request(s)";
  }
  if (command == "fault-rate" && args == 2) {
    Fault fault;
    std::string error;
    if (!ParseFault(words[1], fault, error)) return "error " + error;
    char* end = nullptr;
    const double probability = std::strtod(words[2].c_str(), &end);
    if (end == words[2].c_str() || *end != '\0' || probability < 0 || probability > 1) {
      return "error probability must be between 0 and 1";
    }
    faults_.AddRate(fault, probability);
    return "ok " + FaultName(fault) + " at rate " + words[2];
  }
  if (command == "fault-every" && args == 2) {
    Fault fault;
    std::string error;
    if (!ParseFault(words[1], fault, error)) return "error " + error;
    uint32_t period = 0;
    if (!ParseUnsigned(words[2], period) || period == 0) {
      return "error bad period '" + words[2] + "' (every Nth request, N at least 1)";
    }
    faults_.AddEvery(fault, period);
    return "ok " + FaultName(fault) + " every " + words[2] + " request(s)";
  }
  if (command == "station-fault" && args == 2) {
    int station = 0;
    Fault fault;
    std::string error;
    if (!ParseStationFault(words[1], station, fault, error)) return "error " + error;
    if (!network_.Exists(station)) return "error station '" + words[1] + "' is not on the network";
    if (words[2] == "clear") {
      faults_.ClearStation(station);
      return "ok station " + Hex(static_cast<uint32_t>(station), 2) + " without faults";
    }
    if (!ParseFault(words[2], fault, error)) return "error " + error;
    faults_.AddStation(station, fault);
    return "ok " + FaultName(fault) + " for station " + Hex(static_cast<uint32_t>(station), 2);
  }
  if (command == "seed" && args == 1) {
    uint32_t seed = 0;
    if (!ParseUnsigned(words[1], seed)) return "error bad seed";
    faults_.Seed(seed);
    return "ok";
  }
  if (command == "clear" && args == 0) {
    faults_.Clear();
    return "ok";
  }
  if (command == "faults" && args == 0) return "ok " + faults_.Describe();
  if (command == "set" && args >= 4) {
    const std::string error = ApplyDataLine(line.substr(line.find("set") + 3), network_);
    return error.empty() ? "ok" : "error " + error;
  }
  if (command == "dump" && (args == 3 || args == 4)) {
    const auto station = ParseAnyHex(words[1]);
    if (!station || words[1].size() > 2 || !network_.Exists(static_cast<int>(*station))) {
      return "error station '" + words[1] + "' is not on the network";
    }
    const bool isF = words[2] == "F" || words[2] == "f";
    MemoryType type = MemoryType::kV;
    if (words[2].size() != 1 || (!isF && !MemoryTypeFromLetter(words[2][0], type))) {
      return "error bad type '" + words[2] + "'";
    }
    const auto address = ParseAnyHex(words[3]);
    if (!address || words[3].size() > 4) return "error bad address '" + words[3] + "'";
    uint32_t count = 1;
    if (args == 4 && (!ParseUnsigned(words[4], count) || count < 1 || count > 4096)) {
      return "error bad count '" + words[4] + "'";
    }
    const uint32_t wordsPerValue = isF ? 2 : 1;
    if (*address + count * wordsPerValue - 1 > 0xFFFF) return "error runs past address FFFF";
    std::string text = "ok";
    const int st = static_cast<int>(*station);
    for (uint32_t k = 0; k < count; ++k) {
      const uint16_t at = static_cast<uint16_t>(*address + k * wordsPerValue);
      if (isF) {
        text += " " + Hex(network_.Read(st, type, at), 4) +
                Hex(network_.Read(st, type, static_cast<uint16_t>(at + 1)), 4);
      } else {
        text += " " + Hex(network_.Read(st, type, at), IsDiscrete(type) ? 1 : 4);
      }
    }
    return text;
  }
  if (command == "stations" && args == 0) return StationList(network_.Stations());
  if (command == "connected" && args == 0) return StationList(adapter_.Connected());
  if (command == "disconnect" && args == 1) {
    if (words[1] == "all") {
      const std::set<int> all = adapter_.Connected();
      for (int station : all) adapter_.Disconnect(station);
      return "ok";
    }
    const auto station = ParseAnyHex(words[1]);
    if (!station || words[1].size() > 2) return "error bad station '" + words[1] + "'";
    adapter_.Disconnect(static_cast<int>(*station));
    return "ok";
  }
  if (command == "configured" && args == 1 && (words[1] == "0" || words[1] == "1")) {
    adapter_.SetConfigured(words[1] == "1");
    return "ok";
  }
  if (command == "reset" && args == 0) {
    adapter_.Reset();
    return "ok";
  }
  if (command == "stats" && args == 0) {
    const Counters& c = counters_;
    return "ok frames=" + std::to_string(c.frames) + " reads=" + std::to_string(c.reads) +
           " writes=" + std::to_string(c.writes) + " adapter=" + std::to_string(c.adapter) +
           " bad=" + std::to_string(c.bad) + " failed=" + std::to_string(c.failed) +
           " faulted=" + std::to_string(c.faulted) + " skipped=" + std::to_string(c.skipped) +
           " lag=" + std::to_string(c.lagMs);
  }
  if (command == "stats" && args == 1 && words[1] == "reset") {
    counters_ = Counters{};
    return "ok";
  }
  return "error unknown command or wrong arguments: '" + std::string(line) + "' (try: help)";
}

}  // namespace tiway_sim
