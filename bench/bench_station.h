#pragma once

// What the station benchmarks share: an observer that only notes a failure, and a sample image
// on disk for the station to write.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "image/image_buffer.h"
#include "image/sample_image.h"
#include "station/station.h"

namespace qz::bench {

class QuietStation final : public station::StationObserver {
 public:
  void OnPortState(const std::string&, station::PortState) override {}
  void OnProgress(const std::string&, int) override {}
  void OnMessage(const std::string&, const MessageBoxRequest&) override {}
  void OnUnitStarted(const std::string&, const std::string&) override {}
  void OnUnitFinished(const station::UnitReport& unit) override {
    if (!unit.passed) failed = true;
  }
  void OnTotals(const station::StationTotals&) override {}
  void OnProblem(const std::string&) override { failed = true; }
  bool failed = false;
};

// A valid sample image in a temporary file, made once per process.
inline const std::string& SampleImagePath() {
  static const std::string path = [] {
    char name[] = "/tmp/qz-station-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    static ImageBuffer image;
    BuildSampleImage({}, image);
    std::ofstream file(name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(kImageSize));
    return std::string(name);
  }();
  return path;
}

}  // namespace qz::bench
