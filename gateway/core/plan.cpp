#include "gateway/core/plan.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "zortw/line_time.h"

namespace gateway {

LineCost LineCost::Of(const ZorLineSettings& line) {
  LineCost cost;
  cost.charMs = 1000.0 * LineCharacterBits(line) / std::max<int>(1, line.baudRate);
  return cost;
}

double LineCost::ReadMs(char memory, uint32_t elements) const {
  return (requestChars + CharsPerElement(memory) * static_cast<double>(elements)) * charMs +
         pauseMs;
}

int CharsPerElement(char memory) {
  return memory == 'V' ? 4 : 2;
}

uint32_t MaxBlockElements(char memory) {
  return memory == 'V' ? ZOR_MAX_BLOCK_WORDS : ZOR_MAX_BLOCK_DISCRETES;
}

namespace {

using GroupKey = std::tuple<int, char, uint32_t>;  // station, memory, poll period

// The cheapest cover of the sorted element addresses by blocks: dynamic
// programming over the last block's first element.
void CoverGroup(const GroupKey& key, const std::vector<uint32_t>& at,
                const std::set<uint32_t>& pairStarts, const LineCost& cost,
                std::vector<Block>& out) {
  const auto [station, memory, poll] = key;
  const size_t n = at.size();
  const uint32_t limit = MaxBlockElements(memory);
  // A block may not end on the first word of an F value whose second word is needed.
  auto cutAfter = [&](size_t j) { return j + 1 == n || !pairStarts.count(at[j]); };
  std::vector<double> best(n + 1, 0);
  std::vector<size_t> from(n + 1, 0);
  for (size_t j = 0; j < n; ++j) {
    best[j + 1] = -1;
    if (!cutAfter(j)) continue;
    for (size_t i = j + 1; i-- > 0;) {
      if (at[j] - at[i] + 1 > limit) break;
      if (i > 0 && (!cutAfter(i - 1) || best[i] < 0)) continue;
      const double c = best[i] + cost.ReadMs(memory, at[j] - at[i] + 1);
      if (best[j + 1] < 0 || c < best[j + 1] - 1e-9) {
        best[j + 1] = c;
        from[j + 1] = i;
      }
    }
  }
  std::vector<Block> blocks;
  for (size_t end = n; end > 0; end = from[end]) {
    const size_t i = from[end];
    blocks.push_back(Block{station, memory, at[i], at[end - 1] - at[i] + 1, poll});
  }
  out.insert(out.end(), blocks.rbegin(), blocks.rend());
}

}  // namespace

std::vector<Block> PlanBlocks(const std::vector<Need>& needs, const LineCost& cost, bool coalesce) {
  std::vector<Block> out;
  if (!coalesce) {
    for (const Need& need : needs) {
      const uint32_t limit = MaxBlockElements(need.memory);
      for (uint32_t first = need.first; first <= need.last; first += limit) {
        out.push_back(Block{need.station, need.memory, first,
                            std::min(limit, need.last - first + 1), need.pollMs});
      }
    }
    return out;
  }
  // Each element is read at the shortest period any need asks for it, so an
  // element that two tables share is read once.
  std::map<std::pair<int, char>, std::map<uint32_t, uint32_t>> period;
  std::map<GroupKey, std::set<uint32_t>> pairStarts;
  for (const Need& need : needs) {
    auto& at = period[{need.station, need.memory}];
    for (uint32_t e = need.first; e <= need.last; ++e) {
      auto [it, fresh] = at.emplace(e, need.pollMs);
      if (!fresh) it->second = std::min(it->second, need.pollMs);
    }
  }
  for (const Need& need : needs) {
    if (!need.fPairs) continue;
    const auto& at = period[{need.station, need.memory}];
    for (uint32_t e = need.first; e < need.last; e += 2) {
      // Both words of a value are read at the same period, in one block.
      const uint32_t p = std::min(at.at(e), at.at(e + 1));
      period[{need.station, need.memory}][e] = p;
      period[{need.station, need.memory}][e + 1] = p;
      pairStarts[GroupKey{need.station, need.memory, p}].insert(e);
    }
  }
  std::map<GroupKey, std::vector<uint32_t>> elements;
  for (const auto& [where, at] : period) {
    for (const auto& [e, p] : at) elements[GroupKey{where.first, where.second, p}].push_back(e);
  }
  for (const auto& [key, at] : elements) CoverGroup(key, at, pairStarts[key], cost, out);
  return out;
}

namespace {

Need NeedOf(const Unit& unit, const Table& table) {
  return Need{unit.station,        table.Memory(), table.FirstElement(),
              table.LastElement(), table.pollMs,   table.letter == 'F'};
}

// A tag's words: the two of a 32-bit value read in one block.
Need NeedOf(const Unit& unit, const Tag& tag) {
  return Need{unit.station, tag.Memory(),    tag.element, tag.element + tag.Words() - 1,
              tag.pollMs,   tag.Words() == 2};
}

double PassMs(const std::vector<Block>& blocks, const LineCost& cost) {
  double ms = 0;
  for (const Block& b : blocks) ms += cost.ReadMs(b.memory, b.count);
  return ms;
}

}  // namespace

Plan MakePlan(const Config& config, bool coalesce) {
  Plan plan;
  plan.lines.resize(config.lines.size());
  for (size_t l = 0; l < config.lines.size(); ++l) {
    const LineCost cost = LineCost::Of(config.lines[l].line);
    std::vector<Need> needs;
    for (const Unit& unit : config.units) {
      if (unit.line != l) continue;
      for (const Table& table : unit.tables) needs.push_back(NeedOf(unit, table));
      for (const Tag& tag : unit.tags) needs.push_back(NeedOf(unit, tag));
    }
    LinePlan& line = plan.lines[l];
    line.blocks = PlanBlocks(needs, cost, coalesce);
    line.floorMs = PassMs(line.blocks, cost);
    for (const Block& b : line.blocks) {
      if (b.pollMs > 0) line.loadMsPerS += cost.ReadMs(b.memory, b.count) * 1000.0 / b.pollMs;
      line.continuous = line.continuous || b.pollMs == 0;
    }
    const std::vector<Block> plain = PlanBlocks(needs, cost, false);
    line.uncoalescedReads = plain.size();
    line.uncoalescedMs = PassMs(plain, cost);
  }
  // Per line, the blocks by (station, memory, first element): an element's
  // block is found by a binary search, the first in plan order among blocks
  // that start at the same element.
  struct Key {
    int station;
    char memory;
    uint32_t first;
    uint32_t block;
    bool operator<(const Key& o) const {
      return std::tie(station, memory, first, block) <
             std::tie(o.station, o.memory, o.first, o.block);
    }
  };
  std::vector<std::vector<Key>> index(config.lines.size());
  for (size_t l = 0; l < config.lines.size(); ++l) {
    const std::vector<Block>& blocks = plan.lines[l].blocks;
    for (uint32_t b = 0; b < blocks.size(); ++b) {
      index[l].push_back(Key{blocks[b].station, blocks[b].memory, blocks[b].first, b});
    }
    std::sort(index[l].begin(), index[l].end());
  }
  plan.refs.resize(config.units.size());
  plan.tagRefs.resize(config.units.size());
  for (size_t u = 0; u < config.units.size(); ++u) {
    const Unit& unit = config.units[u];
    const std::vector<Block>& blocks = plan.lines[unit.line].blocks;
    const std::vector<Key>& keys = index[unit.line];
    // The cache place of element e of `memory`, read at `pollMs`.
    const auto refOf = [&](char memory, uint32_t e, uint32_t pollMs) {
      const auto holds = [&](const Block& block) {
        return e >= block.first && e <= block.Last() && (coalesce || block.pollMs == pollMs);
      };
      Ref ref{static_cast<uint32_t>(blocks.size()), 0};
      // Blocks of this station and memory starting at or before e, the
      // nearest first; blocks hold at most 124 elements, so only those
      // starting within that distance can hold e.
      auto it =
          std::upper_bound(keys.begin(), keys.end(), Key{unit.station, memory, e, UINT32_MAX});
      uint32_t best = UINT32_MAX;
      while (it != keys.begin()) {
        --it;
        if (it->station != unit.station || it->memory != memory ||
            e - it->first >= MaxBlockElements(it->memory)) {
          break;
        }
        if (holds(blocks[it->block]) && it->block < best) best = it->block;
      }
      if (best != UINT32_MAX) ref = Ref{best, e - blocks[best].first};
      return ref;
    };
    for (const Table& table : unit.tables) {
      std::vector<Ref> refs;
      for (uint32_t e = table.FirstElement(); e <= table.LastElement(); ++e) {
        refs.push_back(refOf(table.Memory(), e, table.pollMs));
      }
      plan.refs[u].push_back(std::move(refs));
    }
    for (const Tag& tag : unit.tags) {
      std::vector<Ref> refs;
      for (uint32_t w = 0; w < tag.Words(); ++w)
        refs.push_back(refOf(tag.Memory(), tag.element + w, tag.pollMs));
      plan.tagRefs[u].push_back(std::move(refs));
    }
  }
  return plan;
}

std::string DescribePlan(const Config& config, const Plan& plan) {
  std::ostringstream out;
  char text[512];
  // What each block serves, in one pass over the tables: per line and block,
  // the Modbus ranges of the tables whose elements it holds.
  std::vector<std::vector<std::string>> serves(config.lines.size());
  for (size_t l = 0; l < config.lines.size(); ++l) serves[l].resize(plan.lines[l].blocks.size());
  for (size_t u = 0; u < config.units.size(); ++u) {
    const Unit& unit = config.units[u];
    for (size_t t = 0; t < unit.tables.size(); ++t) {
      const Table& table = unit.tables[t];
      const std::vector<Ref>& refs = plan.refs[u][t];
      std::map<uint32_t, std::pair<uint32_t, uint32_t>> ranges;  // block: first, last k
      for (uint32_t k = 0; k < table.count; ++k) {
        const uint32_t block = refs[table.ElementOf(k) - table.FirstElement()].block;
        if (block >= serves[unit.line].size()) continue;
        auto [it, fresh] = ranges.emplace(block, std::make_pair(k, k));
        if (!fresh) it->second.second = k;
      }
      for (const auto& [block, range] : ranges) {
        std::string& s = serves[unit.line][block];
        std::snprintf(text, sizeof text, "%s unit %d %s %u-%u", s.empty() ? "" : ",", unit.id,
                      KindName(table.kind), table.address + range.first,
                      table.address + range.second);
        s += text;
      }
    }
    std::map<uint32_t, size_t> tagsIn;  // block: tags it holds words of
    for (const std::vector<Ref>& refs : plan.tagRefs[u]) {
      if (!refs.empty() && refs[0].block < serves[unit.line].size()) ++tagsIn[refs[0].block];
    }
    for (const auto& [block, count] : tagsIn) {
      std::string& s = serves[unit.line][block];
      std::snprintf(text, sizeof text, "%s unit %d %zu %s", s.empty() ? "" : ",", unit.id, count,
                    count == 1 ? "tag" : "tags");
      s += text;
    }
  }
  for (size_t l = 0; l < config.lines.size(); ++l) {
    const LineConfig& lc = config.lines[l];
    const LinePlan& line = plan.lines[l];
    std::snprintf(text, sizeof text, "line %s (%s, %u baud, instance %d): %zu %s per cycle\n",
                  lc.name.c_str(), lc.port.c_str(), lc.line.baudRate, lc.instance,
                  line.blocks.size(), line.blocks.size() == 1 ? "read" : "reads");
    out << text;
    for (size_t b = 0; b < line.blocks.size(); ++b) {
      const Block& block = line.blocks[b];
      std::snprintf(text, sizeof text, "  read %2zu: %02X%c%04X x%-3u every %u ms serves", b + 1,
                    block.station, block.memory, block.first, block.count, block.pollMs);
      out << text << serves[l][b] << "\n";
    }
    std::snprintf(text, sizeof text,
                  "  line time per cycle %.1f ms (line floor of these reads); without coalescing "
                  "%zu %s, %.1f ms\n",
                  line.floorMs, line.uncoalescedReads,
                  line.uncoalescedReads == 1 ? "read" : "reads", line.uncoalescedMs);
    out << text;
    if (line.continuous) {
      out << "  reads with poll_ms = 0 follow each other without pause\n";
      continue;
    }
    std::snprintf(text, sizeof text, "  line load at the configured periods %.0f ms per second%s\n",
                  line.loadMsPerS,
                  line.loadMsPerS > 1000 ? " (more than the line carries: periods stretch)" : "");
    out << text;
  }
  return out.str();
}

}  // namespace gateway
