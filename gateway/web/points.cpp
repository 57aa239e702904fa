#include "gateway/web/points.h"

#include <cstdio>
#include <limits>

#include "gateway/core/points.h"
#include "gateway/core/tags.h"

namespace gateway::web {

std::string StatusWords(int32_t status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(status) & 0xFFFF);
  switch (status) {
    case ZOR_OK:
      return "ok";
    case ZOR_LINE_FAILURE:
      return "no reply (status 2)";
    case ZOR_REPLY_INVALID:
      return "invalid reply (status 65535)";
    case ZOR_REFUSED:
      return "refused (status 1)";
    case kNoStatusYet:
      return "no transaction yet";
    default:
      return std::string("primitive error ") + hex + " (status " + std::to_string(status) + ")";
  }
}

std::vector<PointView> ReadUnitPoints(const Gateway& g, size_t u, Clock::time_point now) {
  std::vector<PointView> points;
  const Unit& unit = g.Cfg().units[u];
  const Line& line = g.LineAt(unit.line);
  const int32_t last =
      line.Counters().stations[static_cast<size_t>(unit.station)].lastStatus.load();
  char station[8];
  std::snprintf(station, sizeof station, "%02X", unit.station);
  const std::string failed =
      line.CurrentPhase() != Phase::Running
          ? "line " + line.Config().name + " is " + PhaseName(line.CurrentPhase())
          : "station " + std::string(station) + " on line " + line.Config().name + ": " +
                StatusWords(last);
  // The core's points, with its one quality rule.
  const std::vector<std::vector<Sample>> samples = g.ReadUnit(u, now);
  for (size_t t = 0; t < unit.tables.size() && t < samples.size(); ++t) {
    const Table& table = unit.tables[t];
    for (uint32_t k = 0; k < table.count; ++k) {
      PointView p;
      p.kind = table.kind;
      p.address = table.address + k;
      p.point = PointText(unit.station, table.Memory(), table.ElementOf(k), table.BitOf(k));
      const size_t at = table.ElementOf(k) - table.FirstElement();
      if (at >= samples[t].size()) continue;
      const Sample& sample = samples[t][at];
      p.quality = QualityText(sample.quality);
      p.good = sample.quality == Quality::Good;
      if (sample.readAt != Clock::time_point{}) {
        p.ageMs = Ms(now - sample.readAt);
        const int bit = table.BitOf(k);
        p.value = bit >= 0 ? static_cast<uint16_t>((sample.word >> bit) & 1) : sample.word;
      }
      switch (sample.quality) {
        case Quality::Good:
          break;
        case Quality::NeverRead:
          p.reason = line.CurrentPhase() == Phase::Running && last == kNoStatusYet
                         ? failed + ", not read yet"
                         : failed;
          break;
        case Quality::Failed:
          p.reason = failed;
          break;
        case Quality::Stale:
          p.reason = "last good read " + std::to_string(p.ageMs) + " ms ago, max_age_ms " +
                     std::to_string(table.maxAgeMs);
          break;
      }
      points.push_back(std::move(p));
    }
  }
  // The tags: the worst quality of their words, and their value decoded and
  // scaled (a BCD word with a digit above 9 is bad, never a number).
  const std::vector<std::vector<Sample>> tags = g.ReadTags(u, now);
  for (size_t t = 0; t < unit.tags.size() && t < tags.size(); ++t) {
    const Tag& tag = unit.tags[t];
    PointView p;
    p.tag = tag.name;
    p.units = tag.units;
    p.point = PointText(unit.station, tag.Memory(), tag.element, tag.bit);
    Quality worst = Quality::Good;
    Clock::time_point readAt = Clock::time_point::max();
    std::vector<uint16_t> words;
    for (const Sample& sample : tags[t]) {
      if (sample.quality != Quality::Good && worst != Quality::Failed &&
          worst != Quality::NeverRead) {
        worst = sample.quality;
      }
      readAt = std::min(readAt, sample.readAt);
      words.push_back(sample.word);
    }
    if (tags[t].empty()) worst = Quality::NeverRead;
    const TagReading reading = Decode(tag, words);
    if (!tags[t].empty() && readAt != Clock::time_point{}) {
      p.ageMs = Ms(now - readAt);
      p.value = reading.value;
    }
    p.quality = QualityText(worst);
    p.good = worst == Quality::Good && reading.good;
    if (worst == Quality::Good && !reading.good) {
      p.quality = "bad value";
      p.reason = "a BCD digit above 9";
    } else if (worst == Quality::Failed || worst == Quality::NeverRead) {
      p.reason = failed;
    } else if (worst == Quality::Stale) {
      p.reason = "last good read " + std::to_string(p.ageMs) + " ms ago, max_age_ms " +
                 std::to_string(tag.maxAgeMs);
    }
    points.push_back(std::move(p));
  }
  return points;
}

}  // namespace gateway::web
