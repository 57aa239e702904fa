# Fails when a host in the tree declares its own copy of the host's side of
# ZorMain: a function-pointer type taking a ZorRequest*, a command code or
# ReplyInvalid as a number, or ZorMain looked up by name. Hosts take all of
# it from the public header (include/zortw/zortw.h) and the host library
# (host/). Run at build time (the host_copies_check target):
#
#   cmake -DROOT=<source dir> -DSTAMP=<file> -P cmake/check_host_copies.cmake
#
# Scanned: tools/, tests/, bench/, fuzz/, examples/ (and ROOT itself when it
# holds none of them: the self-test's fixtures).
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
  message(FATAL_ERROR "ROOT not set")
endif()

set(globs)
foreach(dir tools tests bench fuzz examples)
  if(IS_DIRECTORY ${ROOT}/${dir})
    list(APPEND globs ${ROOT}/${dir}/*.h ${ROOT}/${dir}/*.hpp ${ROOT}/${dir}/*.c
         ${ROOT}/${dir}/*.cpp)
  endif()
endforeach()
if(NOT globs)
  set(globs ${ROOT}/*.h ${ROOT}/*.c ${ROOT}/*.cpp)
endif()
file(GLOB_RECURSE files ${globs})

# Where the raw boundary is the thing under test: the DLL's exports and
# calling convention, looked up by hand on purpose.
set(allowed_lookup tests/boundary/dll_load_test.cpp)

set(commands
    ColdStart|WarmStart|DefinePoint|CheckBlock|ReadBlock|ReadBlockUnchecked|WriteBlock|WriteBlockUnchecked|Stop|ClosePort|OpenPort|GetDriverInfo|ReopenPort)
set(upper
    COLD_START|WARM_START|DEFINE_POINT|CHECK_BLOCK|READ_BLOCK|READ_BLOCK_UNCHECKED|WRITE_BLOCK|WRITE_BLOCK_UNCHECKED|STOP|CLOSE_PORT|OPEN_PORT|GET_DRIVER_INFO|REOPEN_PORT)
set(patterns
    # int32_t (*)(ZorRequest*), int32_t(__stdcall*)(ZorRequest* request)...
    "\\([A-Za-z_ ]*\\*[ ]*[A-Za-z_]*\\)[ ]*\\([ ]*(struct[ ]+)?ZorRequest[ ]*\\*"
    # kColdStart = 1, ColdStart = 1, COLD_START = 1
    "[^A-Za-z0-9_.>](k?(${commands})|(ZOR_)?(${upper}))[ ]*=[ ]*[0-9]"
    # kReplyInvalid = 65535
    "[^A-Za-z0-9_]k?ReplyInvalid[ ]*=[ ]*(65535|0x[Ff][Ff][Ff][Ff])"
    # dlsym(library, "ZorMain"), GetProcAddress(module, "ZorMain")
    "(dlsym|GetProcAddress)[ ]*\\([^;]*\"_?ZorMain")

set(found "")
foreach(file ${files})
  file(RELATIVE_PATH rel ${ROOT} ${file})
  if(rel MATCHES "(^|/)fixtures/")
    continue()  # the self-test's copies
  endif()
  file(STRINGS ${file} lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    foreach(pattern ${patterns})
      if(" ${line}" MATCHES "${pattern}")
        if(pattern MATCHES "dlsym" AND rel IN_LIST allowed_lookup)
          continue()
        endif()
        string(STRIP "${line}" shown)
        string(APPEND found "  ${rel}:${number}: ${shown}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(found)
  message(FATAL_ERROR
          "A host declares its own copy of the host's side of ZorMain; use the public header "
          "(zortw/zortw.h: ZorMainFn, ZOR_* command codes and statuses) and the host library "
          "(host/driver.h: LoadDriver) instead:\n${found}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
