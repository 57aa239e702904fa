// The simulator's protocol core with any bytes: the framer cuts frames out
// of them and the simulator answers each. Lines of the input that start with
// '#' go to the control protocol instead (faults, data, dumps), so that
// answers under faults and with data are reached as well.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "sim_simulator.h"
#include "sim_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  tiway_sim::Simulator sim({1, 2, 5, 0xFE}, 7);
  tiway_sim::Framer framer;
  std::string body;
  while (!input.Empty()) {
    const std::string line = input.Line();
    if (!line.empty() && line[0] == '#') {
      const std::string answer = sim.Control(line.substr(1));
      FUZZ_CHECK(answer.rfind("ok", 0) == 0 || answer.rfind("error", 0) == 0 ||
                 line.find("help") != std::string::npos);
      continue;
    }
    for (const tiway_sim::Incoming& incoming : framer.Feed(line)) {
      FUZZ_CHECK(incoming.text.size() <= tiway_sim::kMaxFrameChars);
      tiway_sim::ParseFrame(incoming.text, body);
      sim.Handle(incoming);
    }
  }
  return 0;
}
