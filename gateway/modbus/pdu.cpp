#include "gateway/modbus/pdu.h"

#include <algorithm>

#include "gateway/modbus/answers.h"

namespace gateway::modbus {

namespace {

uint16_t Word(const uint8_t* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

void PutWord(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
  out.push_back(static_cast<uint8_t>(value & 0xFF));
}

// The MBAP header of an answer with `pduSize` bytes of PDU.
std::vector<uint8_t> Header(const uint8_t* frame, size_t pduSize) {
  std::vector<uint8_t> out(frame, frame + 4);  // transaction id, protocol id
  PutWord(out, static_cast<uint32_t>(pduSize + 1));
  out.push_back(frame[6]);
  return out;
}

// Protocol limits (application protocol, functions 1-4, 15, 16).
constexpr uint32_t kMaxReadBits = 2000, kMaxReadRegisters = 125;
constexpr uint32_t kMaxWriteBits = 1968, kMaxWriteRegisters = 123;

}  // namespace

Verdict Parse(const uint8_t* frame, size_t size, Request& request, uint8_t& code) {
  request = Request{};
  request.unit = frame[6];
  request.function = frame[7];
  const uint8_t* pdu = frame + 8;  // after the function code
  const size_t n = size - 8;       // bytes after the function code
  const auto fail = [&](uint8_t c) {
    code = c;
    return Verdict::Exception;
  };
  if (request.function >= 0x80) return Verdict::Refuse;
  switch (request.function) {
    case 1:
    case 2:
    case 3:
    case 4: {
      request.kind = request.function == 1   ? Kind::Coil
                     : request.function == 2 ? Kind::Discrete
                     : request.function == 3 ? Kind::Holding
                                             : Kind::Input;
      if (n != 4) return fail(kIllegalValue);
      request.address = Word(pdu);
      request.count = Word(pdu + 2);
      const bool bits = request.function <= 2;
      const uint32_t limit = bits ? kMaxReadBits : kMaxReadRegisters;
      if (request.count < 1 || request.count > limit) return fail(kIllegalValue);
      if (request.address + request.count > 65536) return fail(kIllegalAddress);
      return Verdict::Serve;
    }
    case 5:
    case 6: {
      request.write = true;
      request.kind = request.function == 5 ? Kind::Coil : Kind::Holding;
      if (n != 4) return fail(kIllegalValue);
      request.address = Word(pdu);
      request.count = 1;
      const uint16_t value = Word(pdu + 2);
      if (request.function == 5) {
        if (value != 0xFF00 && value != 0x0000) return fail(kIllegalValue);
        request.values.push_back(value == 0xFF00 ? 1 : 0);
      } else {
        request.values.push_back(value);
      }
      return Verdict::Serve;
    }
    case 15:
    case 16: {
      request.write = true;
      const bool bits = request.function == 15;
      request.kind = bits ? Kind::Coil : Kind::Holding;
      if (n < 5) return fail(kIllegalValue);
      request.address = Word(pdu);
      request.count = Word(pdu + 2);
      const uint32_t bytes = pdu[4];
      const uint32_t limit = bits ? kMaxWriteBits : kMaxWriteRegisters;
      const uint32_t expected = bits ? (request.count + 7) / 8 : request.count * 2;
      if (request.count < 1 || request.count > limit || bytes != expected || n != 5 + bytes) {
        return fail(kIllegalValue);
      }
      if (request.address + request.count > 65536) return fail(kIllegalAddress);
      const uint8_t* data = pdu + 5;
      for (uint32_t i = 0; i < request.count; ++i) {
        request.values.push_back(bits ? static_cast<uint16_t>((data[i / 8] >> (i % 8)) & 1)
                                      : Word(data + 2 * i));
      }
      return Verdict::Serve;
    }
    case kReadDeviceId: {
      // Only the device identification interface (MEI 14) is served.
      if (n < 1 || pdu[0] != kMeiDeviceId) return fail(kIllegalFunction);
      if (n != 3 || pdu[1] < 1 || pdu[1] > 4) return fail(kIllegalValue);
      request.idCode = pdu[1];
      request.objectId = pdu[2];
      if (request.idCode == 4 && request.objectId > 2) return fail(kIllegalAddress);
      return Verdict::Serve;
    }
    default:
      return fail(kIllegalFunction);
  }
}

std::vector<uint8_t> ExceptionAnswer(const uint8_t* frame, uint8_t code) {
  std::vector<uint8_t> out = Header(frame, 2);
  out.push_back(static_cast<uint8_t>(frame[7] | 0x80));
  out.push_back(code);
  return out;
}

std::vector<uint8_t> ReadAnswer(const uint8_t* frame, const Request& request,
                                const std::vector<uint16_t>& values) {
  const bool bits = request.kind == Kind::Coil || request.kind == Kind::Discrete;
  const size_t bytes = bits ? (request.count + 7) / 8 : 2 * static_cast<size_t>(request.count);
  std::vector<uint8_t> out = Header(frame, 2 + bytes);
  out.push_back(request.function);
  out.push_back(static_cast<uint8_t>(bytes));
  if (bits) {
    const size_t at = out.size();
    out.resize(at + bytes, 0);
    for (uint32_t i = 0; i < request.count; ++i) {
      if (values[i] & 1) out[at + i / 8] = static_cast<uint8_t>(out[at + i / 8] | (1u << (i % 8)));
    }
  } else {
    for (uint32_t i = 0; i < request.count; ++i) PutWord(out, values[i]);
  }
  return out;
}

std::vector<uint8_t> WriteAnswer(const uint8_t* frame) {
  std::vector<uint8_t> out = Header(frame, 5);
  out.insert(out.end(), frame + 7, frame + 12);  // function, address, value or count
  return out;
}

std::vector<uint8_t> IdentificationAnswer(const uint8_t* frame, const Request& request,
                                          const std::vector<std::string>& objects) {
  // An object id past the basic ones restarts the stream at object 0.
  size_t first = request.objectId < objects.size() ? request.objectId : 0;
  size_t last = request.idCode == 4 ? first + 1 : objects.size();
  std::vector<uint8_t> pdu = {kReadDeviceId,
                              kMeiDeviceId,
                              request.idCode,
                              0x81,  // conformity: basic, stream and individual access
                              0x00,  // no more follows
                              0x00,  // next object id
                              static_cast<uint8_t>(last - first)};
  for (size_t i = first; i < last; ++i) {
    const std::string& text = objects[i];
    const size_t size = std::min<size_t>(text.size(), 64);
    pdu.push_back(static_cast<uint8_t>(i));
    pdu.push_back(static_cast<uint8_t>(size));
    pdu.insert(pdu.end(), text.begin(), text.begin() + static_cast<long>(size));
  }
  std::vector<uint8_t> out = Header(frame, pdu.size());
  out.insert(out.end(), pdu.begin(), pdu.end());
  return out;
}

}  // namespace gateway::modbus
