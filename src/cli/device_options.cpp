#include "cli/device_options.h"

#include <fstream>
#include <mutex>
#include <optional>

#include "base/clock.h"
#include "hid/platform/hidapi_backend.h"
#include "hid/platform/udev_hotplug.h"
#include "hid/trace.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_hotplug.h"
#include "sim/virtual_chip.h"

namespace qz::cli {

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

}  // namespace

void DeviceOptions::AddTo(CLI::App& command) {
  CLI::Option* simulate_flag = command.add_flag(
      "--simulate", simulate, "Talk to a virtual chip instead of the USB HID devices");
  command
      .add_option("--sim-eeprom", sim_eeprom,
                  "EEPROM content of the virtual chip: read at start when the file exists "
                  "(32768 bytes), else all 0xFF; written back at the end")
      ->type_name("FILE")
      ->needs(simulate_flag);
  command
      .add_option("--sim-mode", sim_mode,
                  "Mode of the virtual chip at plug-in (default: firmware when the EEPROM holds a "
                  "firmware header, else rom)")
      ->check(CLI::IsMember({"firmware", "rom"}))
      ->needs(simulate_flag);
  command
      .add_option("--sim-fault", sim_faults,
                  "Misbehaviour of the virtual chip, repeatable: status=N, identity=HEX, "
                  "no-reply@K, stale@K, corrupt@ADDR, no-reply-reg=HEX, absent, "
                  "lie@ADDR (a write over ADDR is acknowledged but that byte not stored), "
                  "garbage@K (the K-th EEPROM transfer is answered with random bytes), "
                  "dup@K (its reply comes twice), "
                  "unplug@K (the chip drops off the bus at the K-th EEPROM transfer and comes "
                  "back 1.5 s later in the same mode), "
                  "replug-firmware (after an erase it comes back running its firmware), "
                  "random=SEED (a schedule of these faults drawn from SEED)")
      ->type_name("SPEC")
      ->allow_extra_args(false)
      ->check([](const std::string& text) {
        std::string error;
        return sim::ParseFault(text, &error) ? std::string() : error;
      })
      ->needs(simulate_flag);
  command.add_option("--trace", trace, "Write every HID report sent and received to FILE")
      ->type_name("FILE");
}

struct DeviceSession::Parts {
  SystemClock system_clock;
  Clock* clock = &system_clock;
  std::unique_ptr<sim::VirtualChip> chip;
  std::unique_ptr<sim::SimHidBackend> sim_backend;
  std::unique_ptr<HidapiBackend> hidapi_backend;
  std::unique_ptr<std::ofstream> trace_file;
  std::unique_ptr<TracingBackend> tracing_backend;
  std::unique_ptr<HotplugSource> hotplug;  // before the chip in destruction: it listens to it
  HidBackend* backend = nullptr;
  std::string sim_eeprom;
  bool finished = false;
};

DeviceSession::DeviceSession() : parts_(std::make_unique<Parts>()) {}

DeviceSession::~DeviceSession() { (void)Finish(nullptr); }

std::unique_ptr<DeviceSession> DeviceSession::Create(const DeviceOptions& options,
                                                     std::string* error, Clock* clock) {
  const auto fail = [&](std::string why) -> std::unique_ptr<DeviceSession> {
    if (error != nullptr) *error = std::move(why);
    return nullptr;
  };
  const std::optional<SessionHook> test_hook = CurrentHook();
  if (clock == nullptr && test_hook) clock = test_hook->clock;

  if (!options.simulate &&
      (!options.sim_eeprom.empty() || !options.sim_mode.empty() || !options.sim_faults.empty())) {
    return fail("--sim-eeprom, --sim-mode and --sim-fault need --simulate");
  }
  sim::ChipOptions chip_options;
  if (options.sim_mode == "firmware") {
    chip_options.forced_mode = sim::ChipMode::kFirmware;
  } else if (options.sim_mode == "rom") {
    chip_options.forced_mode = sim::ChipMode::kRom;
  } else if (!options.sim_mode.empty()) {
    return fail("--sim-mode must be firmware or rom, not \"" + options.sim_mode + "\"");
  }
  std::vector<sim::Fault> faults;
  for (const std::string& text : options.sim_faults) {
    std::string why;
    const std::optional<sim::Fault> fault = sim::ParseFault(text, &why);
    if (!fault) return fail(why);
    faults.push_back(*fault);
  }

  std::unique_ptr<DeviceSession> session(new DeviceSession());
  Parts& parts = *session->parts_;
  if (clock != nullptr) parts.clock = clock;
  parts.finished = true;  // a half-made session saves nothing

  if (options.simulate) {
    parts.chip = std::make_unique<sim::VirtualChip>(*parts.clock, chip_options);
    std::string why;
    if (!options.sim_eeprom.empty() && !parts.chip->LoadEeprom(options.sim_eeprom, &why)) {
      return fail(why);
    }
    for (const sim::Fault& fault : faults) parts.chip->AddFault(fault);
    parts.sim_backend = std::make_unique<sim::SimHidBackend>(*parts.chip, *parts.clock);
    parts.backend = parts.sim_backend.get();
    parts.hotplug = std::make_unique<sim::SimHotplugSource>(parts.chip.get());
    parts.sim_eeprom = options.sim_eeprom;
  } else {
    parts.hidapi_backend = std::make_unique<HidapiBackend>();
    parts.backend = parts.hidapi_backend.get();
    parts.hotplug = std::make_unique<UdevHotplugSource>();
  }

  if (!options.trace.empty()) {
    parts.trace_file = std::make_unique<std::ofstream>(options.trace, std::ios::trunc);
    if (!*parts.trace_file) return fail(options.trace + ": cannot open the trace file");
    parts.tracing_backend = std::make_unique<TracingBackend>(*parts.backend, *parts.trace_file);
    parts.backend = parts.tracing_backend.get();
  }

  parts.finished = false;
  if (test_hook && test_hook->on_session) test_hook->on_session(*session);
  return session;
}

HidBackend& DeviceSession::Backend() { return *parts_->backend; }
HotplugSource* DeviceSession::Hotplug() { return parts_->hotplug.get(); }
Clock& DeviceSession::GetClock() { return *parts_->clock; }
sim::VirtualChip* DeviceSession::Chip() { return parts_->chip.get(); }
sim::SimHidBackend* DeviceSession::SimBackend() { return parts_->sim_backend.get(); }

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
  if (parts.chip && !parts.sim_eeprom.empty()) {
    std::string why;
    if (!parts.chip->SaveEeprom(parts.sim_eeprom, &why)) {
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

}  // namespace qz::cli
