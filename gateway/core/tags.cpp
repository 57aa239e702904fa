#include "gateway/core/tags.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace gateway {

TagValueType ValueTypeOf(const Tag& tag) {
  if (tag.type == TagType::Bool) return TagValueType::Boolean;
  if (tag.scaled) return TagValueType::Double;
  switch (tag.type) {
    case TagType::UInt16:
    case TagType::Bcd16:
      return TagValueType::UInt16;
    case TagType::Int16:
      return TagValueType::Int16;
    case TagType::UInt32:
    case TagType::Bcd32:
      return TagValueType::UInt32;
    case TagType::Int32:
      return TagValueType::Int32;
    default:
      return TagValueType::Float;
  }
}

namespace {

// Four BCD digits; false when one is above 9.
bool FromBcd(uint16_t word, uint32_t& out) {
  out = 0;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const uint32_t digit = (word >> shift) & 0xFu;
    if (digit > 9) return false;
    out = out * 10 + digit;
  }
  return true;
}

uint16_t ToBcd(uint32_t value) {
  uint16_t word = 0;
  for (int shift = 0; shift < 16; shift += 4, value /= 10) {
    word = static_cast<uint16_t>(word | ((value % 10) << shift));
  }
  return word;
}

// The two words as a 32-bit value (the high word first in the value).
uint32_t Join(const Tag& tag, const std::vector<uint16_t>& words) {
  const uint16_t high = tag.lowWordFirst ? words[1] : words[0];
  const uint16_t low = tag.lowWordFirst ? words[0] : words[1];
  return (static_cast<uint32_t>(high) << 16) | low;
}

std::vector<uint16_t> Split(const Tag& tag, uint32_t value) {
  const uint16_t high = static_cast<uint16_t>(value >> 16), low = static_cast<uint16_t>(value);
  return tag.lowWordFirst ? std::vector<uint16_t>{low, high} : std::vector<uint16_t>{high, low};
}

}  // namespace

TagReading Decode(const Tag& tag, const std::vector<uint16_t>& words) {
  TagReading r;
  if (words.size() < tag.Words()) return r;
  r.good = true;
  switch (tag.type) {
    case TagType::Bool:
      r.value = tag.bit >= 0 ? ((words[0] >> tag.bit) & 1u) : (words[0] != 0);
      return r;  // never scaled
    case TagType::UInt16:
      r.value = words[0];
      break;
    case TagType::Int16:
      r.value = static_cast<int16_t>(words[0]);
      break;
    case TagType::UInt32:
      r.value = Join(tag, words);
      break;
    case TagType::Int32:
      r.value = static_cast<int32_t>(Join(tag, words));
      break;
    case TagType::Float: {
      const uint32_t bits = Join(tag, words);
      float f = 0;
      std::memcpy(&f, &bits, sizeof f);
      r.value = f;
      break;
    }
    case TagType::Bcd16: {
      uint32_t v = 0;
      r.good = FromBcd(words[0], v);
      r.value = r.good ? v : 0;
      break;
    }
    case TagType::Bcd32: {
      const uint32_t joined = Join(tag, words);
      uint32_t high = 0, low = 0;
      r.good = FromBcd(static_cast<uint16_t>(joined >> 16), high) &&
               FromBcd(static_cast<uint16_t>(joined), low);
      r.value = r.good ? high * 10000.0 + low : 0;
      break;
    }
  }
  if (tag.scaled && r.good) {
    r.value = tag.engLow +
              (r.value - tag.rawLow) * (tag.engHigh - tag.engLow) / (tag.rawHigh - tag.rawLow);
    if (tag.clamp) {
      r.value =
          std::clamp(r.value, std::min(tag.engLow, tag.engHigh), std::max(tag.engLow, tag.engHigh));
    }
  }
  return r;
}

std::optional<std::vector<uint16_t>> Encode(const Tag& tag, double value, std::string& error) {
  if (!std::isfinite(value)) {
    error = "the value is not a finite number";
    return std::nullopt;
  }
  if (tag.type == TagType::Bool) {
    if (value != 0 && value != 1) {
      error = "a bool takes 0 or 1";
      return std::nullopt;
    }
    return std::vector<uint16_t>{static_cast<uint16_t>(value)};
  }
  double raw = value;
  if (tag.scaled) {
    const double low = std::min(tag.engLow, tag.engHigh), high = std::max(tag.engLow, tag.engHigh);
    if (value < low || value > high) {
      error = "the value " + std::to_string(value) + " is outside eng_low..eng_high (" +
              std::to_string(tag.engLow) + ".." + std::to_string(tag.engHigh) + ")";
      return std::nullopt;
    }
    raw =
        tag.rawLow + (value - tag.engLow) * (tag.rawHigh - tag.rawLow) / (tag.engHigh - tag.engLow);
    if (tag.type != TagType::Float) raw = std::round(raw);
  }
  if (tag.type == TagType::Float) {
    const float f = static_cast<float>(raw);
    if (!std::isfinite(f)) {
      error = "the value does not fit a float";
      return std::nullopt;
    }
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return Split(tag, bits);
  }
  if (raw != std::floor(raw)) {
    error = "a " + std::string(TagTypeName(tag.type)) + " takes whole numbers";
    return std::nullopt;
  }
  double low = 0, high = 0;
  switch (tag.type) {
    case TagType::UInt16:
      high = 65535;
      break;
    case TagType::Int16:
      low = -32768;
      high = 32767;
      break;
    case TagType::UInt32:
      high = 4294967295.0;
      break;
    case TagType::Int32:
      low = -2147483648.0;
      high = 2147483647;
      break;
    case TagType::Bcd16:
      high = 9999;
      break;
    default:  // Bcd32
      high = 99999999;
      break;
  }
  if (raw < low || raw > high) {
    error = "the raw value " + std::to_string(static_cast<int64_t>(raw)) + " does not fit " +
            TagTypeName(tag.type);
    return std::nullopt;
  }
  switch (tag.type) {
    case TagType::UInt16:
    case TagType::Int16:
      return std::vector<uint16_t>{static_cast<uint16_t>(static_cast<int32_t>(raw))};
    case TagType::Bcd16:
      return std::vector<uint16_t>{ToBcd(static_cast<uint32_t>(raw))};
    case TagType::Bcd32: {
      const uint32_t v = static_cast<uint32_t>(raw);
      return Split(tag, (static_cast<uint32_t>(ToBcd(v / 10000)) << 16) | ToBcd(v % 10000));
    }
    default:  // UInt32, Int32
      return Split(tag, static_cast<uint32_t>(static_cast<int64_t>(raw)));
  }
}

}  // namespace gateway
