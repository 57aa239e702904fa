// One request, one reply: send a frame, receive the reply byte by byte and
// check it.
#pragma once

#include <cstdint>

#include "base/records.h"
#include "nitp/reply_verdict.h"
#include "serial/serial.h"

inline constexpr int32_t ReplyIncomplete = 255;  // bytes came, but no whole reply

// Purges, writes the frame, receives the reply. 0, the serial status of the
// write or read, or ReplyIncomplete.
int32_t Transact(const ZorRequest& request, const char* frame, char* reply);
int32_t SendFrame(const ZorRequest& request, const char* frame, uint32_t length);
int32_t ReceiveReply(const ZorRequest& request, char* reply);

// How many replies the line may still deliver on a port, by the note the
// layer keeps there; 0 for a port not open.
uint32_t RepliesOwed(SerialHandle port);

// 0, 2 (message code 0), a primitive error code, or ReplyInvalid; a refusal
// is logged. CheckReply judges a reply on its own (the adapter's requests);
// CheckReplyTo also requires it to answer the block read or write in
// requestFrame (ReplyInvalid when it does not).
int32_t CheckReply(const ZorRequest& request, const char* reply);
int32_t CheckReplyTo(const ZorRequest& request, const char* reply, const char* requestFrame);

// One request to the adapter itself: the body (at most 579 characters) in a
// plain envelope, sent once, its reply checked once into reply (590 bytes):
// a sound reply must carry the request's message code.
// 1 when no frame could be composed (nothing is sent); else the status of
// Transact when it failed, else that of CheckReply.
int32_t AdapterRequest(const ZorRequest& request, const char* body, char* reply);
