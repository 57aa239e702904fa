#include "sim_model.h"

#include "sim_text.h"

namespace tiway_sim {

const char* AdapterErrorText(uint16_t code) {
  switch (code) {
    case kAdapterBadFrame:
      return "bad frame length";
    case kAdapterBadChecksum:
      return "checksum mismatch";
    case kAdapterNotHex:
      return "not an upper-case hex digit";
    case kAdapterUnknownMessage:
      return "unknown message code";
    case kAdapterMalformed:
      return "malformed request";
    case kAdapterNoSuchStation:
      return "no such station";
    case kAdapterNotConfigured:
      return "adapter not configured";
    case kAdapterOutOfOrder:
      return "configuration step out of order";
    case kAdapterFrameTooLong:
      return "frame too long";
    default:
      return "adapter error";
  }
}

const char* PrimitiveErrorText(uint16_t code) {
  switch (code) {
    case kPrimitiveNoSuchStation:
      return "no such station";
    case kPrimitiveNotConnected:
      return "station not connected";
    case kPrimitiveUnknownPrimitive:
      return "unknown primitive";
    case kPrimitiveUnknownType:
      return "unknown memory type";
    case kPrimitiveBadLength:
      return "bad primitive length";
    case kPrimitiveAddressOverflow:
      return "address range overflow";
    case kPrimitiveCountTooLarge:
      return "count too large for one reply";
    case kPrimitiveBadData:
      return "write data not whole elements";
    default:
      return "primitive error";
  }
}

bool MemoryTypeFromCode(uint32_t code, MemoryType& type) {
  switch (code) {
    case 0x01:
    case 0x03:
    case 0x04:
    case 0x05:
      type = static_cast<MemoryType>(code);
      return true;
    default:
      return false;
  }
}

bool MemoryTypeFromLetter(char letter, MemoryType& type) {
  switch (letter) {
    case 'V':
    case 'v':
      type = MemoryType::kV;
      return true;
    case 'X':
    case 'x':
      type = MemoryType::kX;
      return true;
    case 'Y':
    case 'y':
      type = MemoryType::kY;
      return true;
    case 'C':
    case 'c':
      type = MemoryType::kC;
      return true;
    default:
      return false;
  }
}

char MemoryTypeLetter(MemoryType type) {
  switch (type) {
    case MemoryType::kV:
      return 'V';
    case MemoryType::kX:
      return 'X';
    case MemoryType::kY:
      return 'Y';
    case MemoryType::kC:
      return 'C';
  }
  return '?';
}

Network::Network(std::set<int> stations) : stations_(std::move(stations)) {}

std::unordered_map<uint16_t, uint8_t>* Network::Bits(int station, MemoryType type) {
  StationMemory& memory = memory_[station];
  switch (type) {
    case MemoryType::kX:
      return &memory.x;
    case MemoryType::kY:
      return &memory.y;
    case MemoryType::kC:
      return &memory.c;
    case MemoryType::kV:
      break;
  }
  return nullptr;
}

uint16_t Network::Read(int station, MemoryType type, uint16_t address) const {
  const auto found = memory_.find(station);
  if (found == memory_.end()) return 0;
  const StationMemory& memory = found->second;
  auto lookup = [address](const auto& map) -> uint16_t {
    const auto it = map.find(address);
    return it == map.end() ? 0 : it->second;
  };
  switch (type) {
    case MemoryType::kV:
      return lookup(memory.words);
    case MemoryType::kX:
      return lookup(memory.x);
    case MemoryType::kY:
      return lookup(memory.y);
    case MemoryType::kC:
      return lookup(memory.c);
  }
  return 0;
}

void Network::Write(int station, MemoryType type, uint16_t address, uint16_t value) {
  if (type == MemoryType::kV) {
    memory_[station].words[address] = value;
  } else {
    (*Bits(station, type))[address] = static_cast<uint8_t>(value & 1);
  }
}

std::string Adapter::Refusal(uint16_t code) {
  return "00" + Hex(code, 4);
}

// Positions 13-14 "00" mark the failure; one filler digit at 15 puts the
// four-digit code at positions 16-19, and a last filler keeps the body a whole
// number of bytes.
std::string Adapter::PrimitiveFailure(std::string_view station, uint16_t code) {
  return "01" + std::string(station) + "0004" + "000" + Hex(code, 4) + "0";
}

void Adapter::SetConfigured(bool configured) {
  configured_ = configured;
  sequenceStep_ = 0;
}

void Adapter::Reset() {
  configured_ = false;
  sequenceStep_ = 0;
  connected_.clear();
}

std::string Adapter::Answer(std::string_view body) {
  if (body.size() < 2 || body.size() % 2 != 0) return Refusal(kAdapterMalformed);
  const std::string_view code = body.substr(0, 2);
  if (code == "01") return Primitive(body);
  if (code == "12") {
    if (body.size() != 2) return Refusal(kAdapterMalformed);
    // 12, adapter revision 0001, number of connected stations, configured flag
    // at frame positions 15-16.
    return "12" + Hex(1, 4) + Hex(static_cast<uint32_t>(connected_.size()), 4) +
           (configured_ ? "01" : "00");
  }
  if (code == "FF") {
    if (body.size() != 2) return Refusal(kAdapterMalformed);
    Reset();
    sequenceStep_ = 1;
    return "FF";
  }
  if (code == "20") {
    if (body != kSetupBody) return Refusal(kAdapterMalformed);
    if (sequenceStep_ != 1) {
      sequenceStep_ = 0;
      return Refusal(kAdapterOutOfOrder);
    }
    sequenceStep_ = 2;
    return "20";
  }
  if (code == "11") {
    if (body.size() != 2) return Refusal(kAdapterMalformed);
    if (sequenceStep_ != 2) {
      sequenceStep_ = 0;
      return Refusal(kAdapterOutOfOrder);
    }
    sequenceStep_ = 3;
    return "11";
  }
  if (code == "30") {
    if (body.size() != 2) return Refusal(kAdapterMalformed);
    if (sequenceStep_ != 3) {
      sequenceStep_ = 0;
      return Refusal(kAdapterOutOfOrder);
    }
    sequenceStep_ = 0;
    configured_ = true;
    return "30";
  }
  if (code == "04") {
    if (body.size() != 4) return Refusal(kAdapterMalformed);
    const int station = static_cast<int>(*ParseUpperHex(body.substr(2, 2)));
    if (!network_.Exists(station)) return Refusal(kAdapterNoSuchStation);
    if (!configured_) return Refusal(kAdapterNotConfigured);
    connected_.insert(station);
    return std::string(body);
  }
  if (code == "06") {
    if (body.size() != 2) return Refusal(kAdapterMalformed);
    std::string reply = "06";
    for (int station : connected_) reply += Hex(static_cast<uint32_t>(station), 2);
    return reply;
  }
  return Refusal(kAdapterUnknownMessage);
}

std::string Adapter::Primitive(std::string_view body) {
  // "01", station, primitive length (bytes from frame position 13), primitive.
  if (body.size() < 8) return Refusal(kAdapterMalformed);
  const std::string_view station = body.substr(2, 2);
  const int st = static_cast<int>(*ParseUpperHex(station));
  if (!network_.Exists(st)) return PrimitiveFailure(station, kPrimitiveNoSuchStation);
  if (connected_.count(st) == 0) return PrimitiveFailure(station, kPrimitiveNotConnected);
  const std::string_view primitive = body.substr(8);
  if (*ParseUpperHex(body.substr(4, 4)) * 2 != primitive.size() || primitive.size() < 4) {
    return PrimitiveFailure(station, kPrimitiveBadLength);
  }
  const uint32_t operation = *ParseUpperHex(primitive.substr(0, 2));
  if (operation != 0x20 && operation != 0x30) {
    return PrimitiveFailure(station, kPrimitiveUnknownPrimitive);
  }
  MemoryType type;
  if (!MemoryTypeFromCode(*ParseUpperHex(primitive.substr(2, 2)), type)) {
    return PrimitiveFailure(station, kPrimitiveUnknownType);
  }
  if (operation == 0x20) return ReadPrimitive(station, st, type, primitive.substr(4));
  return WritePrimitive(station, st, type, primitive.substr(4));
}

std::string Adapter::ReadPrimitive(std::string_view station, int st, MemoryType type,
                                   std::string_view params) {
  // Count (4 digits), then the first element address (4 digits).
  if (params.size() != 8) return PrimitiveFailure(station, kPrimitiveBadLength);
  const uint32_t count = *ParseUpperHex(params.substr(0, 4));
  const uint32_t address = *ParseUpperHex(params.substr(4, 4));
  const std::size_t width = IsDiscrete(type) ? 2 : 4;
  // Envelope, "01", station, length, "20", status: 22 characters besides the data.
  if (kEnvelopeChars + 12 + count * width > kMaxFrameChars) {
    return PrimitiveFailure(station, kPrimitiveCountTooLarge);
  }
  if (count > 0 && address + count - 1 > 0xFFFF) {
    return PrimitiveFailure(station, kPrimitiveAddressOverflow);
  }
  std::string data;
  for (uint32_t k = 0; k < count; ++k) {
    data +=
        Hex(network_.Read(st, type, static_cast<uint16_t>(address + k)), static_cast<int>(width));
  }
  // Reply primitive: code 20, controller status 00 (running), the data.
  return "01" + std::string(station) + Hex(static_cast<uint32_t>(2 + data.size() / 2), 4) + "2000" +
         data;
}

std::string Adapter::WritePrimitive(std::string_view station, int st, MemoryType type,
                                    std::string_view params) {
  // First element address (4 digits), then the data.
  if (params.size() < 4) return PrimitiveFailure(station, kPrimitiveBadLength);
  const uint32_t address = *ParseUpperHex(params.substr(0, 4));
  const std::string_view data = params.substr(4);
  const std::size_t width = IsDiscrete(type) ? 2 : 4;
  if (data.size() % width != 0) return PrimitiveFailure(station, kPrimitiveBadData);
  const uint32_t count = static_cast<uint32_t>(data.size() / width);
  if (count > 0 && address + count - 1 > 0xFFFF) {
    return PrimitiveFailure(station, kPrimitiveAddressOverflow);
  }
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t value = *ParseUpperHex(data.substr(k * width, width));
    network_.Write(st, type, static_cast<uint16_t>(address + k), static_cast<uint16_t>(value));
  }
  return "01" + std::string(station) + "0002" + "3000";
}

}  // namespace tiway_sim
