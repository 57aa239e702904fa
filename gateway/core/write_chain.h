// The write path from a request to the line: a request split at the tables
// it crosses, the pieces run one after another on the line's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/core/line.h"

namespace gateway {

// A write of registers (holding) or bits (coils), from a Modbus client or
// any other side; `actor` names who asked, in the log of a failed write.
struct WriteRequest {
  int unit = 0;
  Kind kind = Kind::Holding;
  uint32_t address = 0;
  std::vector<uint16_t> values;
  std::string actor;
};

// The jobs that carry out `request` on `unit`: one per table the range
// crosses, in address order (F values with their words in the order the
// driver takes). kOk, or kIllegalAddress when any element is not in a
// writable table or the range cuts an F value in half.
uint8_t SplitWrite(const Unit& unit, const WriteRequest& request, std::vector<WriteJob>& jobs);

// Submits each job to `line` once the one before it has succeeded; `done`
// gets the first failed status, or ZOR_OK after the last, once.
void RunWriteChain(std::shared_ptr<Line> line, std::vector<WriteJob> jobs,
                   std::function<void(int32_t status)> done);

// The exception that answers a write's status: none for ZOR_OK; 0x0B when
// the station did not answer or the write was not carried out (as for a
// read); 0x04 for any other failure.
uint8_t ExceptionForWrite(int32_t status);

}  // namespace gateway
