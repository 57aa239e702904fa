// The formats of the driver's log lines (C++), published beside zortw.h for
// hosts that read the lines their log function receives: the driver writes
// with them, and the host library (host/log_lines.h) reads lines back
// against the same text, so that writer and reader cannot drift. Each takes the instance
// first ("ZOR%02d"), then the values named.
#pragma once

namespace log_format {

inline constexpr char kColdStartOpenFailed[] = "ZOR%02d: TW: ColdStart(): Fail to open %s";
inline constexpr char kColdStartLoaded[] =
    "ZOR%02d: TW: ColdStart(): TIWAY Driver loaded successfully";
// The adapter configuration failed with that status; ColdStart returns 0.
inline constexpr char kColdStartFailed[] = "ZOR%02d: TW: ColdStart(): Fail rc = %d ";
inline constexpr char kWarmStartFailed[] = "ZOR%02d: TW: WarmStart(): Fail rc = %d ";
inline constexpr char kWarmStartEnded[] = "ZOR%02d: TW: WarmStart(): ended successfully rc = %d";
inline constexpr char kConfigureFailed[] = "ZOR%02d: TW: ConfigureAdapter(): fail rc = %d";
inline constexpr char kReconnectFailed[] =
    "ZOR%02d: TW: ReconnectSecondarys(): Failed to connect scondary devices: %02X";

// The reply check's refusals: one line per refused reply.
inline constexpr char kReplyNoColon[] = "ZOR%02d: TW: CheckReply() - not a valid reply string ':'";
inline constexpr char kReplyNoEnd[] = "ZOR%02d: TW: CheckReply() - not a valid reply string ';'";
inline constexpr char kReplyNotHex[] =
    "ZOR%02d: TW: CheckReply() - not a valid reply string: not upper-case hex";
inline constexpr char kReplyBadChecksum[] = "ZOR%02d: TW: CheckReply() bcc error";
inline constexpr char kReplyPrimitiveError[] = "ZOR%02d: TW: CheckReply() - primitive error: %04X";
inline constexpr char kReplyForeign[] =
    "ZOR%02d: TW: CheckReply() - reply does not answer the request";

}  // namespace log_format
