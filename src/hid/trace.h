#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hid/hid_backend.h"

namespace qz {

// One trace line: `direction` ("OUT" or "IN"), then each byte as two upper-case hex digits, all
// separated by single spaces; byte 0 is the report ID. No line break.
[[nodiscard]] std::string FormatTraceLine(std::string_view direction,
                                          std::span<const std::uint8_t> bytes);

// Wraps another backend and writes one line per report written ("OUT ...") and read ("IN ...")
// to `out`: only the bytes the device actually took or delivered. Failed writes, time-outs and
// empty reads write nothing. Devices opened through it may be used from several threads; the
// lines never interleave. `inner` and `out` must outlive the backend and every device it opened.
class TracingBackend final : public HidBackend {
 public:
  TracingBackend(HidBackend& inner, std::ostream& out);

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  // The inner backend's device, wrapped; nullptr when it could not be opened.
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;
  void NotePower(bool on) override { inner_.NotePower(on); }

  // The shared output: the stream and the lock every line is written under.
  struct Sink {
    std::mutex mutex;
    std::ostream* out = nullptr;

    void Line(std::string_view direction, std::span<const std::uint8_t> bytes);
  };

 private:
  HidBackend& inner_;
  std::shared_ptr<Sink> sink_;
};

}  // namespace qz
