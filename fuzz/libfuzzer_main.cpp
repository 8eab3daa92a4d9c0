// libFuzzer's entry for one target; QZ_FUZZ_ENTRY names the target's function.
#include <cstddef>
#include <cstdint>

#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qz::fuzz::QZ_FUZZ_ENTRY(data, size);
}
