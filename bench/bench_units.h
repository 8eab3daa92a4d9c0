#pragma once

// What the production log benchmarks share: the start of a unit as a station logs it, a factory
// write of the whole image with counted serial numbers.
#include <string>

#include "prodlog/production_log.h"

namespace qz::bench {

inline prodlog::UnitStart FactoryUnitStart(const std::string& station, int port,
                                           const std::string& serial_format) {
  prodlog::UnitStart start;
  start.station = station;
  start.port = "sim-" + std::to_string(port);
  start.image_path = "/images/fw.bin";
  start.image_sha256 = std::string(64, 'a');
  start.mode = "factory";
  start.write_length = 0x8000;
  start.serial_format = prodlog::SerialFormat::Parse(serial_format, nullptr);
  start.serial_start = 1;
  return start;
}

}  // namespace qz::bench
