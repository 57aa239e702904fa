#include "sim_text.h"

namespace tiway_sim {

int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex(uint32_t value, int width) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return text;
}

std::optional<uint32_t> ParseUpperHex(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    const int digit = UpperHexValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

std::optional<uint32_t> ParseAnyHex(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return ParseUpperHex(upper);
}

uint16_t Checksum(std::string_view text) {
  std::string padded(text);
  std::size_t count = padded.size();
  if (count % 4 != 0) {
    padded += "00";
    count += count % 4;
  }
  uint32_t sum = 0;
  for (std::size_t group = 0; group < count; group += 4) {
    uint32_t value = 0;
    for (std::size_t i = group; i < group + 4; ++i) {
      const int digit = i < padded.size() ? UpperHexValue(padded[i]) : 0;
      value = value * 16 + static_cast<uint32_t>(digit < 0 ? 0 : digit);
    }
    sum += value;
  }
  return static_cast<uint16_t>((0x10000u - (sum & 0xFFFFu)) & 0xFFFFu);
}

std::string EncodeFrame(std::string_view body) {
  std::string frame = ":" + Hex(static_cast<uint32_t>(body.size() + kEnvelopeChars), 4);
  frame += body;
  frame += Hex(Checksum(std::string_view(frame).substr(1)), 4);
  frame += ';';
  return frame;
}

const char* FrameErrorName(FrameError error) {
  switch (error) {
    case FrameError::kNone:
      return "ok";
    case FrameError::kTooShort:
      return "frame too short";
    case FrameError::kNotHex:
      return "not an upper-case hex digit";
    case FrameError::kLengthMismatch:
      return "length field mismatch";
    case FrameError::kChecksum:
      return "checksum mismatch";
    case FrameError::kTooLong:
      return "frame too long";
  }
  return "?";
}

FrameError ParseFrame(std::string_view frame, std::string& body) {
  body.clear();
  if (frame.size() > kMaxFrameChars) return FrameError::kTooLong;
  // A frame needs room for a two-digit message code besides its envelope.
  if (frame.size() < kEnvelopeChars + 2 || frame.front() != ':' || frame.back() != ';') {
    return FrameError::kTooShort;
  }
  const std::string_view inner = frame.substr(1, frame.size() - 2);
  for (char c : inner) {
    if (UpperHexValue(c) < 0) return FrameError::kNotHex;
  }
  if (*ParseUpperHex(inner.substr(0, 4)) != frame.size()) return FrameError::kLengthMismatch;
  const std::string_view covered = inner.substr(0, inner.size() - 4);
  if (*ParseUpperHex(inner.substr(inner.size() - 4)) != Checksum(covered)) {
    return FrameError::kChecksum;
  }
  body = std::string(covered.substr(4));
  return FrameError::kNone;
}

std::vector<Incoming> Framer::Feed(std::string_view bytes) {
  std::vector<Incoming> frames;
  for (char c : bytes) {
    if (c == ':') {
      if (inFrame_) skipped_ += current_.size();
      current_ = ":";
      inFrame_ = true;
      discarding_ = false;
      continue;
    }
    if (discarding_) {
      ++skipped_;
      if (c == ';') discarding_ = false;
      continue;
    }
    if (!inFrame_) {
      ++skipped_;
      continue;
    }
    current_ += c;
    if (c == ';') {
      frames.push_back({std::move(current_), false});
      current_.clear();
      inFrame_ = false;
    } else if (current_.size() >= kMaxFrameChars) {
      frames.push_back({std::move(current_), true});
      current_.clear();
      inFrame_ = false;
      discarding_ = true;
    }
  }
  return frames;
}

}  // namespace tiway_sim
