#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/hid_backend.h"
#include "recording/session_recording.h"

namespace qz {
class Clock;
}

namespace qz::sim {

// A virtual chip that plays back a session recording: it shows up under the recorded identity,
// takes exactly the recorded reports in their order and answers each read with the recorded
// report; the recorded arrivals and removals happen right after the report before them (and are
// told to the plug listener). At the first report that differs from the recording it notes the
// divergence, and from then on every write and read fails, so the job ends as with a chip that
// stopped answering.
class ReplayBackend final : public HidBackend {
 public:
  // `clock` (not owned) passes the time-outs of reads the recording shows unanswered.
  ReplayBackend(recording::Recording recording, Clock& clock, std::string path,
                std::string port);

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

  // Receives device-change event types; called under the backend's lock.
  void SetPlugListener(std::function<void(std::uint32_t event_type)> listener);

  // What went wrong, for the operator: the first divergence ("report 17: expected OUT ..., came
  // OUT ..."), or a session that ended before the recording did; "" when it followed the
  // recording to its end.
  [[nodiscard]] std::string Problem() const;

  // For the devices opened on it.
  int Write(std::span<const std::uint8_t> report);
  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout);

 private:
  // Plays the arrivals, removals and power switches that come next in the recording.
  void PlayEventsLocked();
  void DivergeLocked(const std::string& came);

  const recording::Recording recording_;
  Clock& clock_;
  const std::string path_;
  const std::string port_;
  mutable std::mutex mutex_;
  std::size_t next_ = 0;  // into recording_.entries
  std::uint64_t reports_taken_ = 0;
  bool present_ = true;
  std::uint16_t vendor_id_;
  std::uint16_t product_id_;
  std::string divergence_;
  std::function<void(std::uint32_t)> listener_;
};

}  // namespace qz::sim
