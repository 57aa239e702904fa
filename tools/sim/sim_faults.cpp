#include "sim_faults.h"

#include <algorithm>
#include <charconv>

#include "sim_text.h"

namespace tiway_sim {

namespace {

bool ParseDecimal(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// The number after a mode name: "stray3" or "stray=3"; empty when absent.
std::string_view Suffix(std::string_view text, std::string_view name) {
  std::string_view rest = text.substr(name.size());
  if (!rest.empty() && rest.front() == '=') rest.remove_prefix(1);
  return rest;
}

}  // namespace

static bool ParseFaultMode(std::string_view text, Fault& fault, std::string& error);

bool ParseFault(std::string_view text, Fault& fault, std::string& error) {
  fault = Fault{};
  FaultScope scope = FaultScope::kAny;
  const std::size_t at = text.find('@');
  if (at != std::string_view::npos) {
    const std::string_view name = text.substr(at + 1);
    if (name == "adapter") {
      scope = FaultScope::kAdapter;
    } else if (name == "primitive") {
      scope = FaultScope::kPrimitive;
    } else if (name == "read") {
      scope = FaultScope::kRead;
    } else if (name == "write") {
      scope = FaultScope::kWrite;
    } else if (name != "any") {
      error = "unknown fault scope '@" + std::string(name) +
              "' (@any, @adapter, @primitive, @read, @write)";
      return false;
    }
    text = text.substr(0, at);
  }
  if (!ParseFaultMode(text, fault, error)) return false;
  fault.scope = scope;
  return true;
}

bool ParseStationFault(std::string_view text, int& station, Fault& fault, std::string& error) {
  const std::size_t colon = text.find(':');
  const std::string_view number = text.substr(0, colon);
  const std::optional<uint32_t> value = ParseAnyHex(number);
  if (number.empty() || number.size() > 2 || !value || *value < 1 || *value > 0xFE) {
    error = "station '" + std::string(number) + "' is not two hex digits from 01 to FE";
    return false;
  }
  station = static_cast<int>(*value);
  if (colon == std::string_view::npos) return true;
  return ParseFault(text.substr(colon + 1), fault, error);
}

bool ParseFaultMode(std::string_view text, Fault& fault, std::string& error) {
  auto starts = [text](std::string_view name) { return text.substr(0, name.size()) == name; };
  auto fixed = [&](std::string_view name, FaultKind kind) {
    if (text != name) return false;
    fault.kind = kind;
    return true;
  };
  if (fixed("silence", FaultKind::kSilence) || fixed("bad-checksum", FaultKind::kBadChecksum) ||
      fixed("no-end", FaultKind::kNoEnd) || fixed("short-data", FaultKind::kShortData) ||
      fixed("lower-case", FaultKind::kLowerCase)) {
    return true;
  }
  if (starts("stray")) {
    fault.kind = FaultKind::kStray;
    const std::string_view n = Suffix(text, "stray");
    fault.amount = 1;
    if (!n.empty() && (!ParseDecimal(n, fault.amount) || fault.amount < 1 || fault.amount > 600)) {
      error = "stray needs a byte count from 1 to 600";
      return false;
    }
    return true;
  }
  if (starts("cut")) {
    fault.kind = FaultKind::kCut;
    const std::string_view n = Suffix(text, "cut");
    if (!n.empty() && (!ParseDecimal(n, fault.amount) || fault.amount < 1)) {
      error = "cut needs a character count of at least 1";
      return false;
    }
    return true;
  }
  if (starts("primitive-error=")) {
    fault.kind = FaultKind::kPrimitiveError;
    const std::string_view code = text.substr(16);
    const auto value = ParseAnyHex(code);
    if (!value || code.size() != 4) {
      error = "primitive-error needs a 4-digit hex code, e.g. primitive-error=0102";
      return false;
    }
    fault.amount = *value;
    return true;
  }
  if (starts("delay=")) {
    fault.kind = FaultKind::kDelay;
    if (!ParseDecimal(text.substr(6), fault.amount) || fault.amount > 600000) {
      error = "delay needs milliseconds, e.g. delay=1500";
      return false;
    }
    return true;
  }
  error =
      "unknown fault '" + std::string(text) +
      "' (silence, bad-checksum, stray[N], cut[N], no-end, primitive-error=CODE, "
      "short-data, lower-case, delay=MS; then optionally @adapter, @primitive, @read or @write)";
  return false;
}

static std::string ModeName(const Fault& fault);

std::string FaultName(const Fault& fault) {
  static constexpr const char* kScopes[] = {"", "@adapter", "@primitive", "@read", "@write"};
  return ModeName(fault) + kScopes[static_cast<int>(fault.scope)];
}

static std::string ModeName(const Fault& fault) {
  switch (fault.kind) {
    case FaultKind::kSilence:
      return "silence";
    case FaultKind::kBadChecksum:
      return "bad-checksum";
    case FaultKind::kStray:
      return "stray" + std::to_string(fault.amount);
    case FaultKind::kCut:
      return fault.amount == 0 ? "cut" : "cut" + std::to_string(fault.amount);
    case FaultKind::kNoEnd:
      return "no-end";
    case FaultKind::kPrimitiveError:
      return "primitive-error=" + Hex(fault.amount, 4);
    case FaultKind::kShortData:
      return "short-data";
    case FaultKind::kLowerCase:
      return "lower-case";
    case FaultKind::kDelay:
      return "delay=" + std::to_string(fault.amount);
  }
  return "?";
}

bool FaultApplies(const Fault& fault, RequestClass request) {
  switch (fault.scope) {
    case FaultScope::kAny:
      break;
    case FaultScope::kAdapter:
      if (request != RequestClass::kAdapter) return false;
      break;
    case FaultScope::kPrimitive:
      if (request == RequestClass::kAdapter) return false;
      break;
    case FaultScope::kRead:
      if (request != RequestClass::kRead) return false;
      break;
    case FaultScope::kWrite:
      if (request != RequestClass::kWrite) return false;
      break;
  }
  switch (fault.kind) {
    case FaultKind::kPrimitiveError:
      return request != RequestClass::kAdapter;
    case FaultKind::kShortData:
      return request == RequestClass::kRead;
    default:
      return true;
  }
}

void FaultPlan::Add(const Fault& fault, uint32_t requests) {
  if (requests > 0) counted_.push_back({fault, requests});
}

void FaultPlan::AddRate(const Fault& fault, double probability) {
  rated_.push_back({fault, probability});
}

void FaultPlan::AddEvery(const Fault& fault, uint32_t period) {
  if (period > 0) periodic_.push_back({fault, period});
}

void FaultPlan::AddStation(int station, const Fault& fault) {
  std::erase_if(stations_, [&](const ForStation& s) {
    return s.station == station && s.fault.kind == fault.kind;
  });
  stations_.push_back({station, fault});
}

void FaultPlan::ClearStation(int station) {
  std::erase_if(stations_, [station](const ForStation& s) { return s.station == station; });
}

bool FaultPlan::Silences(int station, RequestClass request) const {
  return std::any_of(stations_.begin(), stations_.end(), [&](const ForStation& s) {
    return s.station == station && s.fault.kind == FaultKind::kSilence &&
           FaultApplies(s.fault, request);
  });
}

void FaultPlan::Clear() {
  stations_.clear();
  counted_.clear();
  periodic_.clear();
  rated_.clear();
}

std::vector<Fault> FaultPlan::Take(RequestClass request, int station) {
  std::vector<Fault> faults;
  for (const ForStation& s : stations_) {
    if (s.station == station && FaultApplies(s.fault, request)) faults.push_back(s.fault);
  }
  for (Counted& counted : counted_) {
    if (counted.remaining > 0 && FaultApplies(counted.fault, request)) {
      faults.push_back(counted.fault);
      --counted.remaining;
    }
  }
  std::erase_if(counted_, [](const Counted& counted) { return counted.remaining == 0; });
  for (Periodic& periodic : periodic_) {
    if (!FaultApplies(periodic.fault, request)) continue;
    if (++periodic.seen == periodic.period) {
      periodic.seen = 0;
      faults.push_back(periodic.fault);
    }
  }
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  for (const Rated& rated : rated_) {
    if (FaultApplies(rated.fault, request) && draw(random_) < rated.probability) {
      faults.push_back(rated.fault);
    }
  }
  return faults;
}

std::string FaultPlan::Describe() const {
  std::string text;
  for (const ForStation& s : stations_) {
    if (!text.empty()) text += ' ';
    text += Hex(static_cast<uint32_t>(s.station), 2) + ":" + FaultName(s.fault);
  }
  for (const Counted& counted : counted_) {
    if (!text.empty()) text += ' ';
    text += FaultName(counted.fault) + ":" + std::to_string(counted.remaining);
  }
  for (const Periodic& periodic : periodic_) {
    if (!text.empty()) text += ' ';
    text += FaultName(periodic.fault) + "/" + std::to_string(periodic.period);
  }
  for (const Rated& rated : rated_) {
    if (!text.empty()) text += ' ';
    text += FaultName(rated.fault) + "@" + std::to_string(rated.probability);
  }
  return text.empty() ? "none" : text;
}

ReplyPlan ApplyLineFaults(std::string frame, const std::vector<Fault>& faults) {
  ReplyPlan plan;
  auto has = [&faults](FaultKind kind) {
    for (const Fault& fault : faults) {
      if (fault.kind == kind) return &fault;
    }
    return static_cast<const Fault*>(nullptr);
  };
  if (has(FaultKind::kBadChecksum) && frame.size() >= kEnvelopeChars) {
    const std::size_t at = frame.size() - 5;
    const uint32_t sum = *ParseUpperHex(std::string_view(frame).substr(at, 4));
    frame.replace(at, 4, Hex(sum + 1, 4));
  }
  if (has(FaultKind::kLowerCase)) {
    for (char& c : frame) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  if (has(FaultKind::kNoEnd) && !frame.empty() && frame.back() == ';') frame.pop_back();
  if (const Fault* cut = has(FaultKind::kCut)) {
    const std::size_t keep = cut->amount == 0 ? frame.size() / 2 : cut->amount;
    if (keep < frame.size()) frame.resize(keep);
  }
  if (const Fault* stray = has(FaultKind::kStray)) {
    plan.bytes.assign(stray->amount, '*');
  }
  plan.bytes += frame;
  for (const Fault& fault : faults) {
    if (fault.kind == FaultKind::kDelay) plan.delayMs = std::max(plan.delayMs, fault.amount);
  }
  plan.silent = has(FaultKind::kSilence) != nullptr;
  if (plan.silent) plan.bytes.clear();
  return plan;
}

std::string ShortenReadReply(std::string body, std::size_t width) {
  // "01", station, length, "20", status, data: a successful read with data.
  if (body.size() < 12 + width || body.substr(0, 2) != "01" || body.substr(8, 2) != "20") {
    return body;
  }
  body.resize(body.size() - width);
  body.replace(4, 4, Hex(static_cast<uint32_t>((body.size() - 8) / 2), 4));
  return body;
}

}  // namespace tiway_sim
