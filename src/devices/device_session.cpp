#include "devices/device_session.h"

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/file_path.h"
#include <mutex>
#include <optional>

#include "base/clock.h"
#include "hid/platform/platform.h"
#include "hid/port_scoped_backend.h"
#include "hid/trace.h"
#include "recording/session_recording.h"
#include "sim/replay_chip.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_hotplug.h"
#include "sim/virtual_chip.h"

namespace qz {

namespace {

struct SessionHook {
  Clock* clock = nullptr;
  std::function<void(DeviceSession&)> on_session;
};

std::mutex hook_mutex;
std::optional<SessionHook> hook;

std::optional<SessionHook> CurrentHook() {
  std::lock_guard lock(hook_mutex);
  return hook;
}

std::string SimPort(int number) { return "sim-" + std::to_string(number); }

}  // namespace

std::optional<sim::Fault> ParsePortFault(std::string_view text, std::string* port,
                                          std::string* error) {
  port->clear();
  const std::size_t colon = text.find(':');
  if (text.starts_with("sim-") && colon != std::string_view::npos) {
    *port = std::string(text.substr(0, colon));
    text.remove_prefix(colon + 1);
  }
  return sim::ParseFault(text, error);
}

struct DeviceSession::Parts {
  SystemClock system_clock;
  ManualClock virtual_clock;
  Clock* clock = &system_clock;
  std::vector<std::unique_ptr<sim::VirtualChip>> chips;
  std::vector<std::unique_ptr<sim::SimHidBackend>> sim_backends;
  std::vector<std::string> sim_files;  // per chip; empty: not kept
  std::unique_ptr<MergedHidBackend> merged_backend;
  std::unique_ptr<HidBackend> platform_backend;
  std::unique_ptr<std::ofstream> trace_file;
  std::unique_ptr<TracingBackend> tracing_backend;
  std::unique_ptr<PortScopedBackend> port_backend;
  std::vector<std::unique_ptr<sim::ReplayBackend>> replays;
  std::unique_ptr<recording::RecordingBackend> recorder;
  std::unique_ptr<HotplugSource> hotplug;  // before the chips in destruction: it listens to them
  HidBackend* bus = nullptr;
  HidBackend* backend = nullptr;
  bool finished = false;
};

DeviceSession::DeviceSession() : parts_(std::make_unique<Parts>()) {}

DeviceSession::~DeviceSession() {
  (void)Finish(nullptr);
  parts_->hotplug.reset();
}

std::unique_ptr<DeviceSession> DeviceSession::Create(const DeviceConfig& config,
                                                     std::string* error, Clock* clock) {
  const auto fail = [&](std::string why) -> std::unique_ptr<DeviceSession> {
    if (error != nullptr) *error = std::move(why);
    return nullptr;
  };
  const std::optional<SessionHook> test_hook = CurrentHook();
  if (clock == nullptr && test_hook) clock = test_hook->clock;

  const int chip_count = config.simulate;
  if (!config.sim_replay.empty() && (chip_count > 0 || !config.sim_eeprom.empty() ||
                                     !config.sim_mode.empty() || !config.sim_faults.empty())) {
    return fail("--sim-replay plays back chips of its own: it takes no --simulate, --sim-eeprom, "
                "--sim-mode or --sim-fault");
  }
  if (config.sim_virtual_time && chip_count == 0 && config.sim_replay.empty()) {
    return fail("--sim-virtual-time needs --simulate or --sim-replay");
  }
  if (static_cast<int>(config.sim_replay.size()) > kMaxVirtualChips) {
    return fail("--sim-replay: the virtual station holds " + std::to_string(kMaxVirtualChips) +
                " chips");
  }
  std::vector<recording::Recording> recordings;
  for (const std::string& file : config.sim_replay) {
    std::string why;
    std::optional<recording::Recording> loaded = recording::LoadRecording(file, &why);
    if (!loaded) return fail(why);
    if (!config.image_sha256.empty() && !loaded->image_sha256.empty() &&
        (loaded->image_sha256 != config.image_sha256 ||
         loaded->image_length != config.image_length)) {
      return fail(file + ": recorded with another image (SHA-256 " + loaded->image_sha256 + ", " +
                  std::to_string(loaded->image_length) + " bytes); this one has SHA-256 " +
                  config.image_sha256 + ", " + std::to_string(config.image_length) + " bytes");
    }
    recordings.push_back(std::move(*loaded));
  }
  if (chip_count == 0 &&
      (!config.sim_eeprom.empty() || !config.sim_mode.empty() || !config.sim_faults.empty())) {
    return fail("--sim-eeprom, --sim-mode and --sim-fault need --simulate");
  }
  if (chip_count < 0 || chip_count > kMaxVirtualChips) {
    return fail("--simulate takes 1 to " + std::to_string(kMaxVirtualChips) + " chips, not " +
                std::to_string(chip_count));
  }
  sim::ChipOptions chip_options;
  chip_options.replug_after_erase = !config.sim_wait_for_replug;
  if (config.sim_mode == "firmware") {
    chip_options.forced_mode = sim::ChipMode::kFirmware;
  } else if (config.sim_mode == "rom") {
    chip_options.forced_mode = sim::ChipMode::kRom;
  } else if (!config.sim_mode.empty()) {
    return fail("--sim-mode must be firmware or rom, not \"" + config.sim_mode + "\"");
  }
  struct PortFault {
    std::string port;
    sim::Fault fault;
  };
  std::vector<PortFault> faults;
  for (const std::string& text : config.sim_faults) {
    std::string why;
    std::string port;
    const std::optional<sim::Fault> fault = ParsePortFault(text, &port, &why);
    if (!fault) return fail(why);
    bool known = port.empty();
    for (int k = 1; k <= chip_count && !known; ++k) known = port == SimPort(k);
    if (!known) return fail("--sim-fault " + text + ": there is no virtual chip on " + port);
    faults.push_back(PortFault{port, *fault});
  }

  std::unique_ptr<DeviceSession> session(new DeviceSession());
  Parts& parts = *session->parts_;
  if (clock != nullptr) {
    parts.clock = clock;
  } else if (config.sim_virtual_time) {
    parts.clock = &parts.virtual_clock;
  } else {
    UseFinePlatformTimer();  // the system clock's real pauses, on the bus or a virtual chip's
  }
  parts.finished = true;  // a half-made session saves nothing

  if (chip_count > 0) {
    // One chip keeps the single-file form; more chips (or a directory) keep one file per port.
    namespace fs = std::filesystem;
    std::error_code ignored;
    const fs::path eeprom_path = PathFromUtf8(config.sim_eeprom);
    const bool per_port =
        !config.sim_eeprom.empty() && (chip_count > 1 || fs::is_directory(eeprom_path, ignored));
    if (per_port) {
      std::error_code made;
      fs::create_directories(eeprom_path, made);
      if (made || !fs::is_directory(eeprom_path, ignored)) {
        return fail(config.sim_eeprom + ": cannot make the EEPROM directory");
      }
    }
    std::vector<sim::VirtualChip*> listening;
    std::vector<HidBackend*> parts_of_bus;
    for (int k = 1; k <= chip_count; ++k) {
      auto chip = std::make_unique<sim::VirtualChip>(*parts.clock, chip_options);
      std::string file = config.sim_eeprom;
      if (per_port) file = PathToUtf8(eeprom_path / PathFromUtf8(SimPort(k) + ".bin"));
      std::string why;
      if (!file.empty() && !chip->LoadEeprom(file, &why)) return fail(why);
      for (const PortFault& fault : faults) {
        if (fault.port.empty() || fault.port == SimPort(k)) chip->AddFault(fault.fault);
      }
      // the first chip keeps the path it always had
      const std::string path = k == 1 ? std::string(sim::kChipPath) : "sim:" + std::to_string(k - 1);
      parts.sim_backends.push_back(
          std::make_unique<sim::SimHidBackend>(*chip, *parts.clock, path, SimPort(k)));
      parts_of_bus.push_back(parts.sim_backends.back().get());
      listening.push_back(chip.get());
      parts.sim_files.push_back(file);
      parts.chips.push_back(std::move(chip));
    }
    if (chip_count == 1) {
      parts.bus = parts.sim_backends.front().get();
    } else {
      parts.merged_backend = std::make_unique<MergedHidBackend>(std::move(parts_of_bus));
      parts.bus = parts.merged_backend.get();
    }
    parts.hotplug = std::make_unique<sim::SimHotplugSource>(std::move(listening));
  } else if (!recordings.empty()) {
    std::vector<HidBackend*> parts_of_bus;
    auto source = std::make_unique<sim::SimHotplugSource>();
    for (std::size_t k = 0; k < recordings.size(); ++k) {
      const std::string path = k == 0 ? std::string(sim::kChipPath) : "sim:" + std::to_string(k);
      parts.replays.push_back(std::make_unique<sim::ReplayBackend>(
          std::move(recordings[k]), *parts.clock, path, SimPort(static_cast<int>(k) + 1)));
      parts.replays.back()->SetPlugListener(
          [hotplug = source.get()](std::uint32_t event_type) { hotplug->InjectEvent(event_type); });
      parts_of_bus.push_back(parts.replays.back().get());
    }
    if (parts_of_bus.size() == 1) {
      parts.bus = parts_of_bus.front();
    } else {
      parts.merged_backend = std::make_unique<MergedHidBackend>(std::move(parts_of_bus));
      parts.bus = parts.merged_backend.get();
    }
    parts.hotplug = std::move(source);
  } else {
    parts.platform_backend = MakePlatformHidBackend();
    parts.bus = parts.platform_backend.get();
    parts.hotplug = MakePlatformHotplugSource();
  }

  if (!config.trace.empty()) {
    errno = 0;
    parts.trace_file = std::make_unique<std::ofstream>(PathFromUtf8(config.trace), std::ios::trunc);
    if (!*parts.trace_file) {
      return fail(config.trace + ": cannot open the trace file" + SystemReasonSuffix());
    }
    parts.tracing_backend = std::make_unique<TracingBackend>(*parts.bus, *parts.trace_file);
    parts.bus = parts.tracing_backend.get();
  }
  parts.backend = parts.bus;
  if (!config.port.empty()) {
    parts.port_backend = std::make_unique<PortScopedBackend>(*parts.bus, config.port);
    parts.backend = parts.port_backend.get();
  }
  if (!config.record.empty()) {
    std::string why;
    parts.recorder = recording::RecordingBackend::Create(
        *parts.backend, *parts.clock, config.record,
        recording::SessionFacts{config.program, config.image_sha256, config.image_length}, &why);
    if (!parts.recorder) return fail(why);
    parts.backend = parts.recorder.get();
  }

  parts.finished = false;
  if (test_hook && test_hook->on_session) test_hook->on_session(*session);
  return session;
}

HidBackend& DeviceSession::Backend() { return *parts_->backend; }
HidBackend& DeviceSession::BusBackend() { return *parts_->bus; }
HotplugSource* DeviceSession::Hotplug() { return parts_->hotplug.get(); }
recording::RecordingBackend* DeviceSession::Recorder() { return parts_->recorder.get(); }
Clock& DeviceSession::GetClock() { return *parts_->clock; }

sim::VirtualChip* DeviceSession::Chip() {
  return parts_->chips.empty() ? nullptr : parts_->chips.front().get();
}

sim::SimHidBackend* DeviceSession::SimBackend() {
  return parts_->sim_backends.empty() ? nullptr : parts_->sim_backends.front().get();
}

sim::VirtualChip* DeviceSession::ChipOnPort(std::string_view port) {
  for (std::size_t k = 0; k < parts_->chips.size(); ++k) {
    if (port == SimPort(static_cast<int>(k) + 1)) return parts_->chips[k].get();
  }
  return nullptr;
}

std::vector<std::string> DeviceSession::SimPorts() const {
  std::vector<std::string> ports;
  for (std::size_t k = 0; k < parts_->chips.size(); ++k) {
    ports.push_back(SimPort(static_cast<int>(k) + 1));
  }
  return ports;
}

bool DeviceSession::Finish(std::string* error) {
  Parts& parts = *parts_;
  if (parts.finished) return true;
  parts.finished = true;
  bool ok = true;
  if (parts.trace_file) {
    parts.trace_file->flush();
    if (!*parts.trace_file) {
      ok = false;
      if (error != nullptr) *error = "cannot write the trace file";
    }
  }
  if (parts.recorder && !parts.recorder->Finish()) {
    ok = false;
    if (error != nullptr) *error = "cannot write the recording file";
  }
  for (const std::unique_ptr<sim::ReplayBackend>& replay : parts.replays) {
    const std::string problem = replay->Problem();
    if (problem.empty()) continue;
    ok = false;
    if (error != nullptr) *error = problem;
  }
  for (std::size_t k = 0; k < parts.chips.size(); ++k) {
    if (parts.sim_files[k].empty()) continue;
    std::string why;
    if (!parts.chips[k]->SaveEeprom(parts.sim_files[k], &why)) {
      ok = false;
      if (error != nullptr) *error = why;
    }
  }
  return ok;
}

ScopedDeviceSessionHook::ScopedDeviceSessionHook(Clock& clock,
                                                 std::function<void(DeviceSession&)> on_session) {
  std::lock_guard lock(hook_mutex);
  hook = SessionHook{&clock, std::move(on_session)};
}

ScopedDeviceSessionHook::~ScopedDeviceSessionHook() {
  std::lock_guard lock(hook_mutex);
  hook.reset();
}

}  // namespace qz
