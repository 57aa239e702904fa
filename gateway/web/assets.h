// The status page's files, embedded at build time (gateway/web/assets/).
#pragma once

#include <cstddef>

namespace gateway::web {

struct Asset {
  const char* path;  // "/index.html"
  const char* type;  // its Content-Type
  const unsigned char* data;
  size_t size;
};

extern const Asset kAssets[];
extern const size_t kAssetCount;

}  // namespace gateway::web
