#include "host/status.h"

#include <cstdio>

namespace zortw_host {

std::string Hex4(int32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value) & 0xFFFF);
  return text;
}

std::string StatusMeaning(int32_t status, Step step) {
  switch (status) {
    case ZOR_NO_COMMAND:
      return "the driver has no command for this code";
    case ZOR_OK:
      return "success";
    case ZOR_REFUSED:
      if (step == Step::Define) return "the driver refused the point definition";
      if (step == Step::Block) return "refused: the instance is not active (not ready)";
      break;
    case ZOR_LINE_FAILURE:
      if (step == Step::ColdStart) return "the port could not be opened";
      if (step == Step::Stop) return "the port could not be closed";
      if (step == Step::Block) {
        return "line failure: no good exchange in three attempts (the request did not go out "
               "whole or no complete reply came), or the reply carried message code 00 (the "
               "adapter refused the request)";
      }
      return "line failure: the request did not go out whole, or the reply carried message "
             "code 00 (the adapter refused the request)";
    case ZOR_REPLY_INVALID:
      return "invalid reply: the reply was malformed (no ':', a bad length, no ';' where the "
             "length says) or its checksum did not match (a primitive error code 0xFFFF reads "
             "the same)";
    default:
      break;
  }
  if (step != Step::Block && step != Step::Define) {
    if (status == ZOR_NO_REPLY) return kNoReplyAdvice;
    if (status == ZOR_REPLY_INCOMPLETE) {
      return "incomplete reply: bytes arrived but no complete reply (noise before ':', or no "
             "';')";
    }
  }
  if (status > 0 && status < 0x10000) {
    return "primitive error (the controller refused the request), " + PrimitiveErrorMeaning(status);
  }
  return "unexpected status";
}

std::string PrimitiveErrorMeaning(int32_t code) {
  switch (code) {
    case ZOR_PRIMITIVE_NO_STATION:
      return "code 0101: no such station on the network";
    case ZOR_PRIMITIVE_NOT_CONNECTED:
      return "code 0102: the station exists but is not connected";
    case ZOR_PRIMITIVE_UNKNOWN:
      return "code 0103: unknown primitive";
    case ZOR_PRIMITIVE_BAD_MEMORY_TYPE:
      return "code 0104: unknown memory type";
    case ZOR_PRIMITIVE_BAD_LENGTH:
      return "code 0105: the primitive length disagrees with the primitive, or its parameters "
             "are missing";
    case ZOR_PRIMITIVE_RANGE_OVERFLOW:
      return "code 0106: address range overflow (the elements would run past FFFF)";
    case ZOR_PRIMITIVE_COUNT_TOO_LARGE:
      return "code 0107: count too large (the reply would exceed 589 characters)";
    case ZOR_PRIMITIVE_PARTIAL_ELEMENT:
      return "code 0108: write data not a whole number of elements";
    default:
      return "code " + Hex4(code) + " (not a documented code)";
  }
}

std::string PrimitiveErrorAdvice(int32_t code) {
  switch (code) {
    case ZOR_PRIMITIVE_NO_STATION:
      return "check the station number";
    case ZOR_PRIMITIVE_NOT_CONNECTED:
      return "check that the station is powered and on line";
    case ZOR_PRIMITIVE_UNKNOWN:
    case ZOR_PRIMITIVE_BAD_LENGTH:
      return "check the station's model: it does not take this request";
    case ZOR_PRIMITIVE_BAD_MEMORY_TYPE:
      return "check the memory letter of the points (the station has no such memory)";
    case ZOR_PRIMITIVE_RANGE_OVERFLOW:
      return "check the points' element range (it must end at or before FFFF)";
    case ZOR_PRIMITIVE_COUNT_TOO_LARGE:
      return "check the points' count (fewer elements per read)";
    case ZOR_PRIMITIVE_PARTIAL_ELEMENT:
      return "check the size of the data written";
    default:
      return "check the station and its documentation";
  }
}

std::string AdapterRefusalMeaning(int32_t code) {
  switch (code) {
    case ZOR_ADAPTER_FRAME_LENGTH:
      return "code 0001: frame too short, or its length field disagrees with the characters "
             "received";
    case ZOR_ADAPTER_CHECKSUM:
      return "code 0002: checksum mismatch (the adapter received a damaged request)";
    case ZOR_ADAPTER_NOT_HEX:
      return "code 0003: a character that is not an upper-case hex digit";
    case ZOR_ADAPTER_MESSAGE_CODE:
      return "code 0004: unknown message code";
    case ZOR_ADAPTER_MALFORMED:
      return "code 0005: malformed request (wrong body length or contents)";
    case ZOR_ADAPTER_NO_STATION:
      return "code 0006: connect: no such station on the network";
    case ZOR_ADAPTER_NOT_CONFIGURED:
      return "code 0007: the adapter is not configured";
    case ZOR_ADAPTER_OUT_OF_ORDER:
      return "code 0008: configuration step out of order";
    case ZOR_ADAPTER_FRAME_TOO_LONG:
      return "code 0009: frame too long (589 characters without ';')";
    default:
      return "code " + Hex4(code) + " (not a documented code)";
  }
}

}  // namespace zortw_host
