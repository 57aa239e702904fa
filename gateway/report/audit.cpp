#include "gateway/report/audit.h"

#include <cstdio>

#include "gateway/core/gateway.h"

namespace gateway::report {

namespace {

std::string Hex2(uint8_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", code);
  return text;
}

}  // namespace

std::string AuditWrite(const std::string& address, uint16_t port, const modbus::Request& request,
                       int32_t status, uint8_t answer, const char* why) {
  std::string text = "audit: write from " +
                     (address.find(':') != std::string::npos ? "[" + address + "]" : address) +
                     ":" + std::to_string(port) + " unit " + std::to_string(request.unit) +
                     " function " + std::to_string(request.function) + " address " +
                     std::to_string(request.address) + " values";
  constexpr size_t kShown = 32;
  for (size_t i = 0; i < request.values.size() && i < kShown; ++i) {
    text += " " + std::to_string(request.values[i]);
  }
  if (request.values.size() > kShown) {
    text += " ... (" + std::to_string(request.values.size()) + " values)";
  }
  text += ": status ";
  text += status == kNotSent   ? std::string("none (not sent)")
          : status == kNotDone ? std::string("none (not carried out)")
                               : std::to_string(status);
  text += ", answered " + (answer == kOk ? std::string("ok") : "exception " + Hex2(answer));
  if (why != nullptr) text += std::string(" (") + why + ")";
  return text;
}

std::string AuditTagWrite(const std::string& actor, int unit, const std::string& tag,
                          const std::string& address, double value,
                          const std::vector<uint16_t>& words, int32_t status, const char* why) {
  char number[32];
  std::snprintf(number, sizeof number, "%.17g", value);
  std::string text = "audit: write from " + actor + " unit " + std::to_string(unit) + " tag '" +
                     tag + "' (" + address + ") value " + number + " words";
  for (uint16_t w : words) text += " " + std::to_string(w);
  if (words.empty()) text += " none";
  text += ": status ";
  text += status == kNotSent   ? std::string("none (not sent)")
          : status == kNotDone ? std::string("none (not carried out)")
                               : std::to_string(status);
  text += status == ZOR_OK ? ", done" : ", failed";
  if (why != nullptr) text += std::string(" (") + why + ")";
  return text;
}

}  // namespace gateway::report
