#pragma once

#include <string>

#include "devices/device_session.h"

namespace qz {

// Options of every program that talks to a chip: the real bus, or virtual chips, and what a
// recording says of the program and its image. The command line fills them in (cli/options).
struct DeviceOptions : DeviceConfig {
  // The program (`app_name` and this version) and the image it writes, for a recording's header
  // and a replay's check.
  void DescribeSession(const std::string& image, const std::string& app_name);
};

}  // namespace qz
