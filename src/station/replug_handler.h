#pragma once

#include <functional>
#include <memory>
#include <string>

#include "portpower/port_power.h"

namespace qz {
class HidBackend;
}

namespace qz::station {

// What a re-plug handler is given once the chip has been erased and its link released.
struct ReplugCall {
  HidBackend& bus;     // the whole bus, to see where the chip comes back
  std::string device;  // the chip's USB device, found before the erase ("": not known)
  std::function<bool()> stop;                      // ends the waits early (may be empty)
  std::function<void(const std::string&)> say;     // one line for the operator (may be empty)
  HidBackend* notes = nullptr;  // where each switch of the power is noted (null: `bus`)
};

// Who brought, or brings, the chip back in ROM mode.
enum class ReplugBy {
  kPower,     // the station switched the port's power and the chip is back
  kOperator,  // the operator re-plugs it: the re-plug box, then the wait for ROM mode
  kFailed,    // the re-plug by power failed and the unit fails with it
};

struct ReplugResult {
  ReplugBy by = ReplugBy::kOperator;
  std::string failure;   // with kFailed: the line the unit ends with
  std::string fallback;  // with kOperator after a failed switch: why (told once a port, else "")
};

// The re-plug step after the erase, one implementation per method; chosen by MakeReplugHandler.
class ReplugHandler {
 public:
  virtual ~ReplugHandler() = default;
  // The method, for the unit's record and the tests.
  [[nodiscard]] virtual ReplugMode Mode() const = 0;
  // Whether it needs the chip's USB device, found before the erase takes the chip off the bus.
  [[nodiscard]] bool NeedsDevice() const { return Mode() != ReplugMode::kOperator; }
  [[nodiscard]] virtual ReplugResult Replug(const ReplugCall& call) = 0;
};

// The operator re-plugs every chip (also in a virtual session, where the virtual chips come
// back by themselves while the box is up).
class OperatorReplug final : public ReplugHandler {
 public:
  [[nodiscard]] ReplugMode Mode() const override { return ReplugMode::kOperator; }
  [[nodiscard]] ReplugResult Replug(const ReplugCall& call) override;
};

// The station switches the port's power; when that fails, so does the unit. `replugger` null:
// this platform cannot switch.
class PowerReplug final : public ReplugHandler {
 public:
  explicit PowerReplug(PowerReplugger* replugger) : replugger_(replugger) {}
  [[nodiscard]] ReplugMode Mode() const override { return ReplugMode::kPower; }
  [[nodiscard]] ReplugResult Replug(const ReplugCall& call) override;

 private:
  PowerReplugger* replugger_;
};

// The station switches the port's power; when that fails the operator re-plugs the chip, told
// why once a port.
class AutoReplug final : public ReplugHandler {
 public:
  explicit AutoReplug(PowerReplugger* replugger) : replugger_(replugger) {}
  [[nodiscard]] ReplugMode Mode() const override { return ReplugMode::kAuto; }
  [[nodiscard]] ReplugResult Replug(const ReplugCall& call) override;

 private:
  PowerReplugger* replugger_;
};

// The handler for `mode` (--replug). `replugger` (not owned, may be null where the platform
// cannot switch) outlives it; a virtual session's switches the virtual chips' ports.
[[nodiscard]] std::unique_ptr<ReplugHandler> MakeReplugHandler(ReplugMode mode,
                                                               PowerReplugger* replugger);

}  // namespace qz::station
