/* A host in C: reads one block of points through the zortw driver.
 *
 *   read_block PORT POINT COUNT [DATA-BITS PARITY]
 *   read_block /tmp/tw0 05V0064 4 8 0      (a simulator's pty: 8 bits, no parity)
 *
 * POINT is the block's first point: V words, X, Y or C discretes, or F
 * values. COUNT is the block's elementCount: words, discretes, or for F
 * 16-bit words (two per value). GetDriverInfo, a zeroed context of
 * contextSize bytes, ColdStart, CheckBlock, ReadBlock, Stop. Each element is
 * taken from where ReadBlock puts it (zortw.h, "Where elements lie in
 * data[]") and printed on a line of its own:
 *
 *   05V0064+0 = 0x0017        a V word
 *   05X0010+0 = 1             a discrete
 *   0AF0200+0 = 0x41200000    an F value (the first of the block)
 *
 * Exit status 0 on success, 1 on a usage error, 2 when a step failed.
 * Build it against an installed zortw: see CMakeLists.txt beside it, or
 *   cc read_block.c $(pkg-config --cflags --libs zortw)
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zortw/zortw.h>

static int32_t call(ZorPortContext* context, int32_t command, void* params) {
  ZorRequest request;
  memset(&request, 0, sizeof request);
  request.context = context;
  request.command = command;
  request.instance = 1;
  request.params = params;
  return ZorMain(&request);
}

/* Element k of a block of n elements that ReadBlock has stored in data:
 * one V word in data[1], a block of V words from data[0], discretes in every
 * second word from data[1], an F value in four words, low word first. */
static uint32_t read_element(int32_t typeLetter, const uint16_t* data, int32_t n, int32_t k) {
  switch (typeLetter) {
    case 'X':
    case 'Y':
    case 'C':
      return data[2 * k + 1];
    case 'F':
      return (uint32_t)data[4 * k + 1] << 16 | data[4 * k];
    default: /* 'V' */
      return n == 1 ? data[1] : data[k];
  }
}

/* The driver's log lines (Linux: handed over with ZorSetLogFunction). */
static int log_line(int level, const char* format, ...) {
  va_list args;
  (void)level;
  va_start(args, format);
  fputs("driver: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  return 0;
}

int main(int argc, char** argv) {
  ZorDriverInfo info;
  ZorColdStartParams start;
  ZorPointDefinition definition;
  ZorBlockRequest block;
  ZorPortContext* context;
  /* The longest a read needs: 124 discretes at every second word. */
  uint16_t words[2 * ZOR_MAX_BLOCK_DISCRETES];
  int32_t status, count, elements, type, i;

  if (argc != 4 && argc != 6) {
    fprintf(stderr, "usage: read_block PORT POINT COUNT [DATA-BITS PARITY]\n");
    return 1;
  }
  count = atoi(argv[3]);
  if (strlen(argv[1]) > ZOR_PORT_NAME_MAX || count < 1 || count > ZOR_MAX_BLOCK_DISCRETES) {
    fprintf(stderr, "read_block: a port name of at most %d characters, 1 to %d elements\n",
            ZOR_PORT_NAME_MAX, ZOR_MAX_BLOCK_DISCRETES);
    return 1;
  }
#if !defined(_WIN32)
  ZorSetLogFunction(log_line);
#endif

  memset(&info, 0, sizeof info);
  if (call(NULL, ZOR_GET_DRIVER_INFO, &info) != ZOR_OK) return 2;
  printf("driver %s, context %d bytes\n", info.name, info.contextSize);
  context = calloc(1, (size_t)info.contextSize);
  if (context == NULL) return 2;

  memset(&start, 0, sizeof start);
  strcpy(start.portName, argv[1]);
  start.enabled = 1;
  start.readTimeout = 100; /* 1 s */
  start.line = info.defaultLine;
  if (argc == 6) {
    start.line.dataBits = (uint16_t)atoi(argv[4]);
    start.line.parity = (uint16_t)atoi(argv[5]);
  }
  status = call(context, ZOR_COLD_START, &start);
  if (status != ZOR_OK) {
    fprintf(stderr, "read_block: ColdStart returned %d\n", status);
    free(context);
    return 2;
  }

  memset(&definition, 0, sizeof definition);
  definition.addressText = argv[2];
  definition.hostDataType = ZOR_HOST_TYPE_WORD;
  definition.elementCount = count;
  status = call(context, ZOR_CHECK_BLOCK, &definition);
  if (status == ZOR_OK) {
    memset(&block, 0, sizeof block);
    memset(words, 0, sizeof words);
    block.address = definition.address;
    block.elementCount = count;
    block.data = words;
    status = call(context, ZOR_READ_BLOCK, &block);
    if (status == ZOR_OK) {
      type = definition.address.typeLetter;
      elements = type == 'F' ? count / 2 : count;
      for (i = 0; i < elements; ++i) {
        const uint32_t value = read_element(type, words, count, i);
        if (type == 'F') {
          printf("%s+%d = 0x%08lX\n", argv[2], (int)i, (unsigned long)value);
        } else if (type == 'V') {
          printf("%s+%d = 0x%04X\n", argv[2], (int)i, (unsigned)value);
        } else {
          printf("%s+%d = %u\n", argv[2], (int)i, (unsigned)value);
        }
      }
    } else if (status == ZOR_REPLY_INVALID) {
      fprintf(stderr, "read_block: ReadBlock: the reply was invalid\n");
    } else {
      fprintf(stderr, "read_block: ReadBlock returned %d\n", status);
    }
  } else {
    fprintf(stderr, "read_block: CheckBlock refused %s x%d\n", argv[2], (int)count);
  }
  call(context, ZOR_STOP, NULL);
  free(context);
  return status == ZOR_OK ? 0 : 2;
}
