/* A host in C: reads one block of points through the zortw driver.
 *
 *   read_block PORT POINT COUNT [DATA-BITS PARITY]
 *   read_block /tmp/tw0 05V0064 4 8 0      (a simulator's pty: 8 bits, no parity)
 *
 * GetDriverInfo, a zeroed context of contextSize bytes, ColdStart,
 * CheckBlock, ReadBlock, Stop; the words are printed in hex, one per line.
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
  uint16_t words[ZOR_MAX_BLOCK_WORDS];
  int32_t status, count, i;

  if (argc != 4 && argc != 6) {
    fprintf(stderr, "usage: read_block PORT POINT COUNT [DATA-BITS PARITY]\n");
    return 1;
  }
  count = atoi(argv[3]);
  if (strlen(argv[1]) > ZOR_PORT_NAME_MAX || count < 1 || count > ZOR_MAX_BLOCK_WORDS) {
    fprintf(stderr, "read_block: a port name of at most %d characters, 1 to %d words\n",
            ZOR_PORT_NAME_MAX, ZOR_MAX_BLOCK_WORDS);
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
    block.address = definition.address;
    block.elementCount = count;
    block.data = words;
    status = call(context, ZOR_READ_BLOCK, &block);
    if (status == ZOR_OK) {
      for (i = 0; i < count; ++i) printf("%s+%d = 0x%04X\n", argv[2], (int)i, words[i]);
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
