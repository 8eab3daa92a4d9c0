#pragma once

// The dashboard's pages, scripts and styles (and Chart.js), built into the program from
// src/dashboard/web and the system's Chart.js, so a closed factory network needs nothing else.

#include <cstddef>

namespace qz::dashboard {

struct WebFile {
  const char* path;  // as requested, e.g. "/app.js"
  const char* type;  // its Content-Type
  const unsigned char* data;
  std::size_t size;
};

extern const WebFile kWebFiles[];
extern const std::size_t kWebFileCount;

}  // namespace qz::dashboard
