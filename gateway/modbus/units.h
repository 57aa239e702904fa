// The Modbus side's address map over the core: unit ids, the four tables
// (which table of a unit holds an address, its points and their bits), the
// diagnostics unit; reads answered from the core's samples, writes turned
// into the core's point writes and audited in its format.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/core/gateway.h"
#include "gateway/modbus/answers.h"
#include "gateway/modbus/pdu.h"

namespace gateway::modbus {

// The index in unit.tables of the table of `kind` that maps `address`, or
// nullopt when none does (tables of one kind never overlap).
std::optional<size_t> TableAt(const Unit& unit, Kind kind, uint32_t address);

// The point writes that carry out a write of `values` from `address` of
// `kind` on `unit`: one per table the range crosses, in address order (F
// values with their words in the order the driver takes). kOk, or
// kIllegalAddress when any element is not in a writable table or the range
// cuts an F value in half.
uint8_t SplitWrite(const Unit& unit, Kind kind, uint32_t address,
                   const std::vector<uint16_t>& values, std::vector<PointWrite>& pieces);

// The audit line's parts of a Modbus write: who ("ADDR:PORT", "[V6]:PORT"),
// what ("unit U function F address A values ..."), the answer ("answered
// ok", "answered exception 0x0B").
std::string Actor(const std::string& address, uint16_t port);
std::string WriteWhat(const Request& request);
std::string AnswerText(uint8_t answer);
// The whole audit line of a write refused before it reached the core.
std::string AuditRefusal(const std::string& actor, const Request& request, uint8_t answer,
                         const char* why);

class Units {
 public:
  explicit Units(Gateway& core) : core_(core) {}

  // A read of `count` registers or bits from `address`: values into `out`
  // (bits as 0/1), or the exception to answer. Counted per unit.
  uint8_t Read(int unitId, Kind kind, uint32_t address, uint32_t count, std::vector<uint16_t>& out,
               Clock::time_point now);
  // A write (functions 5, 6, 15, 16) from `actor`: `done` gets the
  // exception to answer (kOk when carried out) and the driver's status
  // (kNotSent when refused first), once, on a line's thread or at once on
  // the caller's. Tables without `writable` refuse writes with 0x02; F values
  // are written whole. Audited once, refused or not.
  using WriteDone = std::function<void(uint8_t code, int32_t status)>;
  void Submit(const Request& request, const std::string& actor, WriteDone done);
  // The same for `values` at `address` (function 16 or 15), and waiting for
  // the answer (tests).
  void WriteAsync(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values,
                  WriteDone done);
  uint8_t Write(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values);

 private:
  Gateway& core_;
};

}  // namespace gateway::modbus
