#include "station/replug_handler.h"

#include "hid/chip_identities.h"
#include "hid/hid_backend.h"

namespace qz::station {

namespace {

// Where the bus shows the chip: on `device` in ROM mode or running its firmware, elsewhere,
// or nowhere.
ChipSeen LookForChip(HidBackend& bus, const std::string& device) {
  ChipSeen seen = ChipSeen::kNone;
  for (const HidDeviceInfo& info : bus.Enumerate()) {
    if (info.vendor_id != kQzVendorId) continue;
    if (info.port != device) {
      if (seen == ChipSeen::kNone) seen = ChipSeen::kElsewhere;
      continue;
    }
    const bool rom = info.product_id == kRomIdentities[0].product_id ||
                     info.product_id == kRomIdentities[1].product_id;
    if (rom) return ChipSeen::kRom;
    seen = ChipSeen::kFirmware;
  }
  return seen;
}

// Switches the port's power off and on; ok when the chip is back in ROM mode on its port, else
// why not.
PowerReplugger::Outcome SwitchPower(PowerReplugger* replugger, const ReplugCall& call) {
  PowerReplugger::Outcome outcome;
  if (replugger == nullptr) {
    outcome.why = "this platform cannot switch a port's power";
  } else if (call.device.empty()) {
    outcome.why = "the chip's USB port is not known";
  } else {
    if (call.say) call.say(call.device + ": switching the port's power off and on again");
    HidBackend& notes = call.notes != nullptr ? *call.notes : call.bus;
    outcome = replugger->Replug(
        call.device, [&] { return LookForChip(call.bus, call.device); }, call.stop,
        [&notes](bool on) { notes.NotePower(on); });
  }
  return outcome;
}

}  // namespace

ReplugResult OperatorReplug::Replug(const ReplugCall& /*call*/) { return {}; }

ReplugResult PowerReplug::Replug(const ReplugCall& call) {
  const PowerReplugger::Outcome outcome = SwitchPower(replugger_, call);
  if (outcome.ok) return {ReplugBy::kPower, {}, {}};
  ReplugResult result{ReplugBy::kFailed, {}, {}};
  result.failure =
      "the chip could not be re-plugged by switching its port's power: " + outcome.why;
  if (call.say) call.say(result.failure);
  return result;
}

ReplugResult AutoReplug::Replug(const ReplugCall& call) {
  const PowerReplugger::Outcome outcome = SwitchPower(replugger_, call);
  if (outcome.ok) return {ReplugBy::kPower, {}, {}};
  ReplugResult result;
  if (replugger_ == nullptr || replugger_->FirstFallback(call.device)) {
    result.fallback = "the operator re-plugs the chip: " + outcome.why;
    if (call.say) call.say(result.fallback);
  }
  return result;
}

std::unique_ptr<ReplugHandler> MakeReplugHandler(ReplugMode mode, PowerReplugger* replugger) {
  switch (mode) {
    case ReplugMode::kPower:
      return std::make_unique<PowerReplug>(replugger);
    case ReplugMode::kAuto:
      return std::make_unique<AutoReplug>(replugger);
    case ReplugMode::kOperator:
      break;
  }
  return std::make_unique<OperatorReplug>();
}

}  // namespace qz::station
