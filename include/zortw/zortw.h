/* zortw: the host's interface to the TIWAY I / NITP serial driver.
 *
 * One header for C and C++ hosts on Windows (zortw.dll, 32-bit process) and
 * Linux (libzortw.so). It holds the records a host exchanges with the driver
 * through ZorMain, with their offsets pinned, the command codes, the
 * statuses, the host data types and block limits, and the two functions the
 * library exports. The driver is compiled against this very header.
 *
 * Layout: every offset noted below is that of a 32-bit process (pointers of
 * 4 bytes), the layout of zortw.dll; a 64-bit Linux build keeps the same
 * field order with native pointers. The line settings, the port settings
 * and the context are byte-packed and have the same size in every build.
 * The reference for every command, status and log line is docs/driver.md
 * (installed in /usr/share/doc/libzortw-dev/ with examples/read_block.c, a
 * complete host in C).
 *
 * ---- A host's calls, in order ----------------------------------------------
 *
 * Every call is ZorMain(&request): request.context the instance's context,
 * request.command a code, request.params the command's block.
 *
 *   1. ZOR_GET_DRIVER_INFO (14), context may be NULL: fills ZorDriverInfo
 *      with contextSize (1470) and defaultLine (19200 baud, 7 data bits, one
 *      stop bit, odd parity).
 *   2. Allocate contextSize bytes for each instance and zero them: an
 *      all-zero context has no port open, is inactive and knows no station.
 *      Pass it with every call of the instance; only the driver writes it.
 *   3. ZOR_COLD_START (1), enabled 1: opens the port, then configures the
 *      adapter (about 10 s; at once when the adapter says it is configured).
 *      It returns 2 when the port does not open. It returns 0 even when
 *      the adapter configuration fails: the log line
 *      "ZORnn: TW: ColdStart(): Fail rc = N " tells so, the port stays open,
 *      and ZOR_WARM_START (2) configures again and returns the status. On
 *      Linux hand over the log function (ZorSetLogFunction) before this.
 *   4. ZOR_DEFINE_POINT (3) for a point transferred alone, ZOR_CHECK_BLOCK
 *      (4) for a block of elementCount elements: addressText ("05V0064") in,
 *      address out. Keep the address; copy it into every ZorBlockRequest of
 *      that point. The first point of a station connects the station.
 *   5. ZOR_READ_BLOCK (5) and ZOR_WRITE_BLOCK (7), as often as needed. Each
 *      element's place in data[] depends on the point, the count and the
 *      direction: see "Where elements lie in data[]" below.
 *   6. ZOR_STOP (11) closes the port; then free the context.
 *
 * One caller at a time per instance: the driver takes no locks and starts
 * no threads, and every call runs to its end on the calling thread. It may
 * block for seconds: a block transfer on a silent line for about three reply
 * time-outs, ColdStart and WarmStart for about 10 s. Calls on one context
 * must not overlap; instances (each with its own context and port) may run
 * on different threads.
 *
 * A status means what its command makes of it (the statuses below):
 * 1 is a refusal before anything was sent; 2 from ColdStart, OpenPort or
 * ReopenPort is a port that did not open, from ClosePort or Stop one that
 * did not close, from a block transfer a line failure (no good exchange in
 * three attempts); 7 from WarmStart is no reply (or a failed port read or
 * write) and 255 a reply that came only in part, while from a block
 * transfer both are controller primitive errors.
 *
 * ---- Where elements lie in data[] -------------------------------------------
 *
 * ZorBlockRequest.data is an array of 16-bit words; n is elementCount (for
 * F, 16-bit words: two per value), k counts elements from 0, j values. The
 * array must hold every word named here (at least "words" of them); others
 * are neither read nor written.
 *
 * ZOR_READ_BLOCK (5), ZOR_READ_BLOCK_UNCHECKED (6):
 *   point                where                                         words
 *   V word, n = 1        data[1]; data[0] untouched                    2
 *   V words, n >= 2      element k in data[k]                          n
 *   V single bit         element k (the bit of word k) in data[k+1]:
 *                        0 or 1                                        n + 1
 *   X, Y, C              element k in data[2k+1], 0 or 1;
 *                        data[2k] untouched                            2n
 *   F, n = 2 x values    value j: low word in data[4j], high word in
 *                        data[4j+1]; data[4j+2], data[4j+3] untouched  2n - 2
 *
 * ZOR_WRITE_BLOCK (7), ZOR_WRITE_BLOCK_UNCHECKED (10):
 *   point                where                                         words
 *   V words, any n       element k from data[k+1]; data[0] never sent  n + 1
 *   V single bit, n = 1  bit 0 of data[1]: the driver reads the word,
 *                        sets or clears the bit, writes the word back  2
 *   X, Y, C              element k from data[k+1] (0 or 1)             n + 1
 *   F, n = 2 x values    value j: low word from data[2j], high word
 *                        from data[2j+1]                               n
 *
 * So one element travels in data[1] both ways (an F value in data[0], low,
 * and data[1], high), and blocks differ between the directions: a V block
 * read fills from data[0], a V block write sends from data[1]; discretes are
 * read into every second word, written from consecutive words; an F value
 * takes four words when read, two when written. Reading 05V0064 (0x0023)
 * alone gives data[1] = 0x0023; reading 05F0100 (0x12345678), n = 2, gives
 * data[0] = 0x5678 and data[1] = 0x1234. A read that fails leaves the array
 * as it was, and a write never stores into it.
 */
#ifndef ZORTW_ZORTW_H
#define ZORTW_ZORTW_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZORTW_VERSION_MAJOR 1
#define ZORTW_VERSION_MINOR 0
#define ZORTW_VERSION_PATCH 0

/* How ZorMain is called: the Windows standard calling convention (the
 * callee removes its one 4-byte argument), the C convention on Linux. */
#if defined(_WIN32)
#define ZORTW_CALL __stdcall
#define ZORTW_API
#else
#define ZORTW_CALL
#define ZORTW_API __attribute__((visibility("default")))
#endif

/* ---- records ------------------------------------------------------------ */

#pragma pack(push, 1)

/* Line settings: four 16-bit fields (8 bytes) wherever they appear. */
typedef struct ZorLineSettings {
  uint16_t baudRate; /* 0: bits per second */
  uint16_t dataBits; /* 2: the low byte is the byte size */
  uint16_t stopBits; /* 4: 0 one, 1 one and a half, 2 two */
  uint16_t parity;   /* 6: 0 none, 1 odd, 2 even, 3 mark, 4 space */
} ZorLineSettings;

/* The port settings inside the context (23 bytes). */
typedef struct ZorPortSettings {
  char portName[12];    /* 0: NUL-terminated within the 12 bytes; "NUL" is the dummy port */
  ZorLineSettings line; /* 12 */
  uint16_t handshake;   /* 20: DTR/RTS mode mask */
  uint8_t reserved;     /* 22: cleared by ColdStart, read by nobody */
} ZorPortSettings;

#define ZOR_CONTEXT_SIZE 1470
#define ZOR_FRAME_BUFFER_SIZE 590  /* 589 characters and a NUL */
#define ZOR_STATION_TABLE_SIZE 255 /* indexed by station 0..254 */

/* One driver instance: the host allocates ZOR_CONTEXT_SIZE bytes (the
 * contextSize of GetDriverInfo), zeroed, and passes them with every call. */
typedef struct ZorPortContext {
  int32_t readTimeout;                      /* 0: reply time-out, tens of ms */
  uint32_t portHandle;                      /* 4: the open port; 0 when none */
  uint32_t ready;                           /* 8: non-zero while active */
  ZorPortSettings settings;                 /* 12 */
  char requestFrame[ZOR_FRAME_BUFFER_SIZE]; /* 35: request of the last block transfer */
  char replyBuffer[ZOR_FRAME_BUFFER_SIZE];  /* 625: its reply */
  uint8_t stations[ZOR_STATION_TABLE_SIZE]; /* 1215: 1 once a station was connected */
} ZorPortContext;

#pragma pack(pop)

/* Every call: ZorMain(&request) (20 bytes). */
typedef struct ZorRequest {
  ZorPortContext* context; /* 0: the instance's context */
  int32_t command;         /* 4: a command code below */
  int32_t instance;        /* 8: the host's number for the instance (log lines) */
  uint32_t reserved;       /* 12: never read */
  void* params;            /* 16: the command's parameter block */
} ZorRequest;

/* GetDriverInfo's block, filled by the driver (32 bytes). */
typedef struct ZorDriverInfo {
  int32_t driverId;            /* 0 */
  const char* name;            /* 4 */
  const char* banner;          /* 8: code page 437 */
  int32_t contextSize;         /* 12: bytes to allocate per instance */
  int32_t infoValueA;          /* 16 */
  ZorLineSettings defaultLine; /* 20 */
  int32_t infoValueB;          /* 28 */
} ZorDriverInfo;

/* ColdStart's block (28 bytes). */
typedef struct ZorColdStartParams {
  char portName[12];    /* 0: at most 11 characters and a NUL */
  uint32_t enabled;     /* 12: 0: stay inactive, open nothing */
  int32_t readTimeout;  /* 16: tens of milliseconds */
  ZorLineSettings line; /* 20 */
} ZorColdStartParams;

/* ReopenPort's block (24 bytes). */
typedef struct ZorReopenPortParams {
  char portName[12];    /* 0 */
  int32_t readTimeout;  /* 12: tens of milliseconds; 0 keeps the instance's */
  ZorLineSettings line; /* 16 */
} ZorReopenPortParams;

/* The driver's form of a point (20 bytes), written by DefinePoint and
 * CheckBlock, read by the block transfers. */
typedef struct ZorPointAddress {
  int32_t station;         /* 0: 1 to 254 */
  int32_t typeLetter;      /* 4: 'V', 'F', 'X', 'Y' or 'C' */
  uint32_t elementAddress; /* 8: 1 to 0xFFFF */
  int32_t bitNumber;       /* 12: ZOR_WHOLE_ELEMENT, else 0 to 15 */
  int32_t bitsPerElement;  /* 16: 1, 16 or 32 */
} ZorPointAddress;

/* DefinePoint's and CheckBlock's block (36 bytes). */
typedef struct ZorPointDefinition {
  const char* addressText; /* 0: NUL-terminated, e.g. "01V0010" */
  uint32_t hostField1;     /* 4: the host's */
  int32_t hostDataType;    /* 8: ZOR_HOST_TYPE_* */
  int32_t elementCount;    /* 12: read by CheckBlock only */
  ZorPointAddress address; /* 16: written by the driver */
} ZorPointDefinition;

/* The block transfers' block (44 bytes). */
typedef struct ZorBlockRequest {
  uint32_t hostField0;     /* 0: the host's */
  uint32_t hostField1;     /* 4: the host's */
  ZorPointAddress address; /* 8 */
  uint32_t hostField7;     /* 28: the host's */
  int32_t elementCount;    /* 32: elements; for F, 16-bit words (two per value) */
  uint32_t hostField9;     /* 36: the host's */
  uint16_t* data;          /* 40: the host's 16-bit words, placed as "Where elements lie" says */
} ZorBlockRequest;

/* ---- command codes (ZorRequest.command) --------------------------------- */

enum {
  ZOR_COLD_START = 1,             /* ZorColdStartParams */
  ZOR_WARM_START = 2,             /* no block */
  ZOR_DEFINE_POINT = 3,           /* ZorPointDefinition */
  ZOR_CHECK_BLOCK = 4,            /* ZorPointDefinition */
  ZOR_READ_BLOCK = 5,             /* ZorBlockRequest */
  ZOR_READ_BLOCK_UNCHECKED = 6,   /* ZorBlockRequest */
  ZOR_WRITE_BLOCK = 7,            /* ZorBlockRequest */
  ZOR_WRITE_BLOCK_UNCHECKED = 10, /* ZorBlockRequest */
  ZOR_STOP = 11,                  /* no block */
  ZOR_CLOSE_PORT = 12,            /* no block */
  ZOR_OPEN_PORT = 13,             /* no block */
  ZOR_GET_DRIVER_INFO = 14,       /* ZorDriverInfo; no context needed */
  ZOR_REOPEN_PORT = 15,           /* ZorReopenPortParams */
  ZOR_COMMAND_LAST = 15
};

/* ---- statuses (what ZorMain returns) ------------------------------------- */

enum {
  ZOR_OK = 0,
  /* Refused: a host mistake (a null request, context or block where one is
   * needed), a point or block refused by DefinePoint or CheckBlock, or a
   * transfer on an inactive instance. Nothing was sent. */
  ZOR_REFUSED = 1,
  /* The port could not be opened (ColdStart, OpenPort, ReopenPort) or closed
   * (ClosePort, Stop); from a block transfer, a line failure: no good
   * exchange in three attempts, or the adapter refused (message code 00). */
  ZOR_LINE_FAILURE = 2,
  /* Adapter configuration only (WarmStart, the ColdStart log line): no reply
   * within the time-out, or the port's write or read failed. */
  ZOR_NO_REPLY = 7,
  /* Adapter configuration only: bytes arrived but no complete reply. */
  ZOR_REPLY_INCOMPLETE = 255,
  /* A malformed reply, a checksum mismatch, or a reply that does not answer
   * the request. */
  ZOR_REPLY_INVALID = 65535,
  /* A code without a command (0, 8, 9, anything outside 1 to 15). */
  ZOR_NO_COMMAND = -1
};

/* Any other status from 1 to 65535 of a block transfer or the adapter
 * configuration is the controller's primitive error code. The documented
 * ones: */
enum {
  ZOR_PRIMITIVE_NO_STATION = 0x0101,      /* no such station on the network */
  ZOR_PRIMITIVE_NOT_CONNECTED = 0x0102,   /* the station exists but is not connected */
  ZOR_PRIMITIVE_UNKNOWN = 0x0103,         /* unknown primitive */
  ZOR_PRIMITIVE_BAD_MEMORY_TYPE = 0x0104, /* unknown memory type */
  ZOR_PRIMITIVE_BAD_LENGTH = 0x0105,      /* primitive length or parameters wrong */
  ZOR_PRIMITIVE_RANGE_OVERFLOW = 0x0106,  /* elements would run past FFFF */
  ZOR_PRIMITIVE_COUNT_TOO_LARGE = 0x0107, /* the reply would exceed 589 characters */
  ZOR_PRIMITIVE_PARTIAL_ELEMENT = 0x0108  /* write data not a whole number of elements */
};

/* The adapter configuration (WarmStart's status, the ColdStart log line) may
 * also report the serial layer's own codes: */
enum {
  ZOR_SERIAL_CANNOT_OPEN = 1,   /* open failed, or time-outs could not be set */
  ZOR_SERIAL_SHORT_WRITE = 2,   /* fewer bytes written than asked */
  ZOR_SERIAL_NO_LINE_STATE = 4, /* the device is no serial device */
  ZOR_SERIAL_LINE_REFUSED = 5,  /* the device refused the line settings */
  ZOR_SERIAL_IO_FAILED = 7      /* = ZOR_NO_REPLY: write or read failed, or nothing came */
};

/* The adapter's refusal codes (a reply with message code 00; the driver
 * returns 2 and a trace of the line shows the code): */
enum {
  ZOR_ADAPTER_FRAME_LENGTH = 0x0001,   /* frame too short, or its length disagrees */
  ZOR_ADAPTER_CHECKSUM = 0x0002,       /* the adapter received a damaged request */
  ZOR_ADAPTER_NOT_HEX = 0x0003,        /* a character that is no upper-case hex digit */
  ZOR_ADAPTER_MESSAGE_CODE = 0x0004,   /* unknown message code */
  ZOR_ADAPTER_MALFORMED = 0x0005,      /* wrong body length or contents */
  ZOR_ADAPTER_NO_STATION = 0x0006,     /* connect: no such station */
  ZOR_ADAPTER_NOT_CONFIGURED = 0x0007, /* the adapter is not configured */
  ZOR_ADAPTER_OUT_OF_ORDER = 0x0008,   /* configuration step out of order */
  ZOR_ADAPTER_FRAME_TOO_LONG = 0x0009  /* 589 characters without ';' */
};

/* ---- host data types (ZorPointDefinition.hostDataType) ------------------- */

enum {
  ZOR_HOST_TYPE_WORD = 0, /* 0, 1 and 2: V is a whole 16-bit word */
  ZOR_HOST_TYPE_WORD_LAST = 2,
  ZOR_HOST_TYPE_BIT = 6,    /* V is a single bit (8-character text); X, Y, C */
  ZOR_HOST_TYPE_REFUSED = 7 /* never defines a point */
};

#define ZOR_WHOLE_ELEMENT 255 /* bitNumber of a whole word */

/* ---- block limits ----------------------------------------------------------
 * A block's data fills at most 248 hex characters of a frame: two per
 * discrete, four per 16-bit word. */
#define ZOR_MAX_BLOCK_CHARS 248
#define ZOR_MAX_BLOCK_WORDS 62      /* V words (F: 31 values, 62 words) */
#define ZOR_MAX_BLOCK_DISCRETES 124 /* X, Y, C */
#define ZOR_PORT_NAME_MAX 11        /* characters of a port name */

/* ---- the exports ----------------------------------------------------------- */

/* The one entry point. */
typedef int32_t(ZORTW_CALL* ZorMainFn)(ZorRequest* request);
ZORTW_API int32_t ZORTW_CALL ZorMain(ZorRequest* request);

/* The driver's log function: printf-style, (level 32, format, instance,
 * values...); no line ends in a line feed. On Windows the driver imports
 * err from the host's KARVEL.dll instead. */
typedef int (*ZorLogFn)(int level, const char* format, ...);
#if !defined(_WIN32)
/* Linux only: routes the driver's log lines to log (null: standard error). */
typedef void (*ZorSetLogFunctionFn)(ZorLogFn log);
ZORTW_API void ZorSetLogFunction(ZorLogFn log);
#endif

/* ---- the pinned layout ----------------------------------------------------- */

/* Checked at compile time in C++, in C11 and later, and in older C by a
 * negative array size. */
#if defined(__cplusplus)
#define ZORTW_STATIC_ASSERT(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZORTW_STATIC_ASSERT(cond, what) _Static_assert(cond, what)
#else
#define ZORTW_CONCAT2(a, b) a##b
#define ZORTW_CONCAT(a, b) ZORTW_CONCAT2(a, b)
#define ZORTW_STATIC_ASSERT(cond, what) \
  typedef char ZORTW_CONCAT(zortw_layout_check_, __LINE__)[(cond) ? 1 : -1]
#endif

ZORTW_STATIC_ASSERT(sizeof(ZorLineSettings) == 8, "ZorLineSettings");
ZORTW_STATIC_ASSERT(offsetof(ZorLineSettings, parity) == 6, "ZorLineSettings.parity");
ZORTW_STATIC_ASSERT(sizeof(ZorPortSettings) == 23, "ZorPortSettings");
ZORTW_STATIC_ASSERT(offsetof(ZorPortSettings, handshake) == 20, "ZorPortSettings.handshake");
ZORTW_STATIC_ASSERT(sizeof(ZorPortContext) == ZOR_CONTEXT_SIZE, "ZorPortContext");
ZORTW_STATIC_ASSERT(offsetof(ZorPortContext, settings) == 12, "ZorPortContext.settings");
ZORTW_STATIC_ASSERT(offsetof(ZorPortContext, requestFrame) == 35, "ZorPortContext.requestFrame");
ZORTW_STATIC_ASSERT(offsetof(ZorPortContext, replyBuffer) == 625, "ZorPortContext.replyBuffer");
ZORTW_STATIC_ASSERT(offsetof(ZorPortContext, stations) == 1215, "ZorPortContext.stations");
ZORTW_STATIC_ASSERT(sizeof(ZorColdStartParams) == 28, "ZorColdStartParams");
ZORTW_STATIC_ASSERT(offsetof(ZorColdStartParams, line) == 20, "ZorColdStartParams.line");
ZORTW_STATIC_ASSERT(sizeof(ZorReopenPortParams) == 24, "ZorReopenPortParams");
ZORTW_STATIC_ASSERT(offsetof(ZorReopenPortParams, line) == 16, "ZorReopenPortParams.line");
ZORTW_STATIC_ASSERT(sizeof(ZorPointAddress) == 20, "ZorPointAddress");
ZORTW_STATIC_ASSERT(offsetof(ZorPointAddress, bitsPerElement) == 16, "ZorPointAddress");
#if UINTPTR_MAX == 0xFFFFFFFFu
ZORTW_STATIC_ASSERT(sizeof(ZorRequest) == 20, "ZorRequest");
ZORTW_STATIC_ASSERT(offsetof(ZorRequest, params) == 16, "ZorRequest.params");
ZORTW_STATIC_ASSERT(sizeof(ZorDriverInfo) == 32, "ZorDriverInfo");
ZORTW_STATIC_ASSERT(offsetof(ZorDriverInfo, defaultLine) == 20, "ZorDriverInfo.defaultLine");
ZORTW_STATIC_ASSERT(offsetof(ZorDriverInfo, infoValueB) == 28, "ZorDriverInfo.infoValueB");
ZORTW_STATIC_ASSERT(sizeof(ZorPointDefinition) == 36, "ZorPointDefinition");
ZORTW_STATIC_ASSERT(offsetof(ZorPointDefinition, address) == 16, "ZorPointDefinition.address");
ZORTW_STATIC_ASSERT(sizeof(ZorBlockRequest) == 44, "ZorBlockRequest");
ZORTW_STATIC_ASSERT(offsetof(ZorBlockRequest, elementCount) == 32, "ZorBlockRequest");
ZORTW_STATIC_ASSERT(offsetof(ZorBlockRequest, data) == 40, "ZorBlockRequest.data");
#endif

#undef ZORTW_STATIC_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* ZORTW_ZORTW_H */
