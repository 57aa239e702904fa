// The simulated network: the adapter on the line and the secondary stations
// (controllers) behind it, with their memory.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tiway_sim {

// Adapter-level refusals: message code "00" followed by one of these codes.
enum AdapterError : uint16_t {
  kAdapterBadFrame = 0x0001,        // too short, or the length field disagrees
  kAdapterBadChecksum = 0x0002,     // checksum mismatch
  kAdapterNotHex = 0x0003,          // a character that is not an upper-case hex digit
  kAdapterUnknownMessage = 0x0004,  // a message code the adapter does not serve
  kAdapterMalformed = 0x0005,       // wrong body length or contents for its message code
  kAdapterNoSuchStation = 0x0006,   // connect: no station with that address on the network
  kAdapterNotConfigured = 0x0007,   // connect while the adapter is not configured
  kAdapterOutOfOrder = 0x0008,      // configuration step out of order
  kAdapterFrameTooLong = 0x0009,    // more than 589 characters without ";"
};

// Primitive errors: message code "01", "00" at positions 13-14, the code at
// positions 16-19.
enum PrimitiveError : uint16_t {
  kPrimitiveNoSuchStation = 0x0101,     // no station with that address on the network
  kPrimitiveNotConnected = 0x0102,      // the station exists but is not connected
  kPrimitiveUnknownPrimitive = 0x0103,  // neither read (20) nor write (30)
  kPrimitiveUnknownType = 0x0104,       // memory type other than 01 V, 03 X, 04 Y, 05 C
  kPrimitiveBadLength = 0x0105,  // the primitive length field disagrees, or parameters missing
  kPrimitiveAddressOverflow = 0x0106,  // the elements would run past address FFFF
  kPrimitiveCountTooLarge = 0x0107,    // the reply would not fit in 589 characters
  kPrimitiveBadData = 0x0108,          // write data not a whole number of elements
};

const char* AdapterErrorText(uint16_t code);
const char* PrimitiveErrorText(uint16_t code);

// Controller memory types and their two-digit NITP type codes.
enum class MemoryType : uint8_t { kV = 0x01, kX = 0x03, kY = 0x04, kC = 0x05 };
bool MemoryTypeFromCode(uint32_t code, MemoryType& type);
bool MemoryTypeFromLetter(char letter, MemoryType& type);
char MemoryTypeLetter(MemoryType type);
inline bool IsDiscrete(MemoryType type) {
  return type != MemoryType::kV;
}

// Sparse memory of one station over the whole 16-bit address range; what was
// never written reads 0.
struct StationMemory {
  std::unordered_map<uint16_t, uint16_t> words;   // "V"
  std::unordered_map<uint16_t, uint8_t> x, y, c;  // discretes, 0 or 1
};

class Network {
 public:
  explicit Network(std::set<int> stations = {1, 2, 3, 4, 5});

  bool Exists(int station) const { return stations_.count(station) != 0; }
  const std::set<int>& Stations() const { return stations_; }

  // Station must exist. Discretes keep bit 0 of the value only.
  uint16_t Read(int station, MemoryType type, uint16_t address) const;
  void Write(int station, MemoryType type, uint16_t address, uint16_t value);

 private:
  std::unordered_map<uint16_t, uint8_t>* Bits(int station, MemoryType type);
  std::set<int> stations_;
  std::unordered_map<int, StationMemory> memory_;
};

// The adapter's state: configured or not, how far through the configuration
// sequence, and which stations are connected.
class Adapter {
 public:
  explicit Adapter(Network& network) : network_(network) {}

  // Answers one request body (already checked as a frame) with a reply body.
  std::string Answer(std::string_view body);
  // The reply body for a frame that failed its checks.
  static std::string Refusal(uint16_t code);
  static std::string PrimitiveFailure(std::string_view station, uint16_t code);

  bool Configured() const { return configured_; }
  void SetConfigured(bool configured);
  void Reset();  // what "FF" does: unconfigured, no connections
  const std::set<int>& Connected() const { return connected_; }
  void Disconnect(int station) { connected_.erase(station); }
  Network& Net() { return network_; }

 private:
  std::string Primitive(std::string_view body);
  std::string ReadPrimitive(std::string_view station, int st, MemoryType type,
                            std::string_view params);
  std::string WritePrimitive(std::string_view station, int st, MemoryType type,
                             std::string_view params);

  Network& network_;
  bool configured_ = false;
  int sequenceStep_ = 0;  // 0 none; 1 after FF; 2 after 2001..; 3 after 11
  std::set<int> connected_;
};

// The fixed adapter set-up body of the configuration sequence.
inline constexpr std::string_view kSetupBody = "200100040300FE040000";

}  // namespace tiway_sim
