// The driver's log lines. Every line goes to the host's err(level, format,
// instance, values...) at level 32; the format starts "ZOR%02d: TW: ".
#pragma once

#include <cstdint>

#include "base/records.h"

// The host's logging function: printf-style, result ignored.
using ErrFn = ZorLogFn;

inline constexpr int kLogLevel = 32;

// Where lines go: the err that KARVEL.dll exports (Windows), or the function
// the host handed over with ZorSetLogFunction (Linux).
ErrFn LogSink();

template <class... Values>
void LogLine(const ZorRequest& request, const char* format, Values... values) {
  LogSink()(kLogLevel, format, request.instance, values...);
}

// Linux only: the host hands over its log function with ZorSetLogFunction
// (declared by the public header; null restores the standard-error
// fallback).
