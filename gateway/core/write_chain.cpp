#include "gateway/core/write_chain.h"

#include <algorithm>
#include <utility>

#include "gateway/core/answers.h"
#include "gateway/core/tables.h"

namespace gateway {

uint8_t SplitWrite(const Unit& unit, const WriteRequest& request, std::vector<WriteJob>& jobs) {
  const uint32_t count = static_cast<uint32_t>(request.values.size());
  for (uint32_t i = 0; i < count;) {
    const uint32_t at = request.address + i;
    const std::optional<size_t> t = TableAt(unit, request.kind, at);
    // A table that does not say `writable = true` has no writable address
    // (0x02, as for an address no table maps); half an F value is no value.
    if (!t) return kIllegalAddress;
    const Table& table = unit.tables[*t];
    const uint32_t n = std::min(count - i, table.address + table.count - at);
    const uint32_t k = at - table.address;
    if (!table.writable || (table.letter == 'F' && (k % 2 != 0 || n % 2 != 0))) {
      return kIllegalAddress;
    }
    WriteJob job;
    job.station = unit.station;
    job.memory = table.Memory();
    job.element = table.letter == 'F' ? table.element + k : table.ElementOf(k);
    job.bit = table.BitOf(k);
    job.actor = request.actor;
    job.values.assign(request.values.begin() + i, request.values.begin() + i + n);
    if (table.letter == 'F' && table.lowWordFirst) {
      for (size_t w = 0; w + 1 < job.values.size(); w += 2) {
        std::swap(job.values[w], job.values[w + 1]);
      }
    }
    jobs.push_back(std::move(job));
    i += n;
  }
  return kOk;
}

namespace {

struct Chain {
  std::vector<WriteJob> jobs;
  size_t next = 0;
  std::shared_ptr<Line> line;  // kept alive by the chain (a reload may retire it)
  std::function<void(int32_t)> done;
};

// Submits the next piece; its completion submits the one after it.
void Step(const std::shared_ptr<Chain>& chain) {
  WriteJob& job = chain->jobs[chain->next++];
  job.done = [chain](int32_t status) {
    if (status == ZOR_OK && chain->next < chain->jobs.size()) return Step(chain);
    chain->done(status);
  };
  chain->line->Submit(std::move(job));
}

}  // namespace

void RunWriteChain(std::shared_ptr<Line> line, std::vector<WriteJob> jobs,
                   std::function<void(int32_t status)> done) {
  if (jobs.empty()) return done(ZOR_OK);
  auto chain = std::make_shared<Chain>();
  chain->jobs = std::move(jobs);
  chain->line = std::move(line);
  chain->done = std::move(done);
  Step(chain);
}

uint8_t ExceptionForWrite(int32_t status) {
  if (status == ZOR_OK) return kOk;
  if (status == kNotDone || status == ZOR_LINE_FAILURE) return kGatewayTarget;
  return kDeviceFailure;
}

}  // namespace gateway
