#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "fuzz_entries.h"
#include "fuzz_input.h"

namespace qz::fuzz {

void Require(bool holds, std::string_view what) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

const std::string& ScratchDirectory() {
  // Never destroyed: the exit handler below still reads it after static destructors ran.
  static const std::string* const path = [] {
    std::filesystem::path base;
    if (const char* dir = std::getenv("QZ_FUZZ_TMPDIR"); dir != nullptr && *dir != '\0') {
      base = dir;
    } else if (std::error_code ec; std::filesystem::is_directory("/dev/shm", ec)) {
      base = "/dev/shm";
    } else {
      base = std::filesystem::temp_directory_path();
    }
    const std::filesystem::path dir = base / ("qz-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchDirectory(), ec);
    });
    return new std::string(dir.string());
  }();
  return *path;
}

}  // namespace qz::fuzz
