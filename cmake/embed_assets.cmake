# cmake -DOUT=file.cpp -DDIR=folder -P embed_assets.cmake: every file of the
# folder as a byte array in a C++ source (gateway/web/assets.h), with its
# Content-Type from its extension. No build chain: the files are served as
# written.
file(GLOB files RELATIVE ${DIR} ${DIR}/*)
list(SORT files)
set(arrays "")
set(table "")
set(index 0)
foreach(name ${files})
  file(READ ${DIR}/${name} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  get_filename_component(ext ${name} LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from gateway/web/assets/ by cmake/embed_assets.cmake.
#include \"gateway/web/assets.h\"

namespace gateway::web {
namespace {
${arrays}}  // namespace
const Asset kAssets[] = {
${table}};
const size_t kAssetCount = ${index};
}  // namespace gateway::web
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
