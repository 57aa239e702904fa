// The judgement of a received reply, without logging: what CheckReply logs
// and returns, and what a trace shows for each reply. One judge for the
// driver and the tools, so that they never disagree.
#pragma once

#include <cstdint>

inline constexpr int32_t ReplyInvalid = 65535;  // malformed reply or checksum mismatch

// Everything in a primitive reply but its data field: ":", length, message
// code, station, primitive length, primitive code, status, checksum, ";".
inline constexpr int32_t kPrimitiveReplyOverhead = 22;

// What a reply must show to answer its request. To a block read or write:
// message code 01, the request's station, the request's primitive code, and
// for a read a data field of exactly the length its count asks for. To a
// request of the adapter's own: the request's message code (the adapter
// answers each with its own code); the rest of such a reply is the
// adapter's business.
struct ReplyExpectation {
  int32_t messageCode;    // 01 for a block read or write, else the adapter request's code
  int32_t station;        // 1 to 254, from a block request; -1 for the adapter's
  int32_t primitiveCode;  // 0x20 for a read, 0x30 for a write; -1 for the adapter's
  int32_t dataChars;      // a read's data field; -1 for a write (not checked)
};

// Why a reply was refused, one value for each log line of the reply check.
enum ReplyFault : int32_t {
  ReplyAccepted = 0,
  ReplyNoColon,         // no ":" at the start
  ReplyNoEnd,           // a length field that is no length, or no ";" where it says
  ReplyNotHex,          // a character of the body or checksum that is not 0-9, A-F
  ReplyBadChecksum,     // the checksum does not match
  ReplyMessageFailed,   // message code 00: the adapter refused the request
  ReplyPrimitiveError,  // message code 01 with a failed primitive
  ReplyForeign,         // a sound reply, but not to this request
};

struct ReplyVerdict {
  int32_t status;          // CheckReply's status: 0, 2, the primitive error code, ReplyInvalid
  ReplyFault fault;        // ReplyAccepted when status is 0
  int32_t length;          // the frame length the reply gives, 0 when it gives none
  int32_t messageCode;     // -1 when the reply was refused before it was read
  int32_t primitiveError;  // the error code of a failed primitive
};

// Whether the count characters of text are all upper-case hex digits
// (0-9, A-F): the only alphabet of a reply between ":" and ";".
bool AllUpperHex(const char* text, int32_t count);

// Judges a NUL-terminated reply (at most 589 characters are looked at). The
// checks run in this order, and the first that fails decides: the ":", the
// length field (four upper-case hex digits, at least 10, within the text,
// ";" at its end), every character between them upper-case hex, the
// checksum, the message code (00: refused), a failed primitive (its error
// code, or 2 when it reads 0000), and, when expected is given, that the
// reply answers that request.
ReplyVerdict JudgeReply(const char* reply, const ReplyExpectation* expected);

// What the reply to a request frame must show. false for a text that is no
// request frame (its reply is then judged without an expectation).
bool ExpectationOf(const char* requestFrame, ReplyExpectation* expected);

// The log format of a refusal ("ZOR%02d: TW: CheckReply() ..."), taking the
// instance and, for a failed primitive, its error code; null for
// ReplyAccepted and ReplyMessageFailed, which are not logged.
const char* ReplyFaultFormat(ReplyFault fault);
