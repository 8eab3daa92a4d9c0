// A whole write job against a chip whose answers the input shapes, report by report: passed,
// dropped, stale, cut short, noise, doubled or withheld until the read times out. Whatever the
// answers, the job must end within bounded virtual time with the link released, and "Write to
// EEPROM OK!" must mean the chip holds the image.
#include <chrono>
#include <string>

#include "fuzz_entries.h"
#include "fuzz_input.h"
#include "support/job_harness.h"

namespace qz::fuzz {

namespace {

class InputScript final : public test::WireScript {
 public:
  explicit InputScript(FuzzInput& input) : input_(input) {}
  // An exhausted input passes everything, so short inputs still finish their jobs.
  test::WireAction NextAction() override {
    if (input_.Empty()) return test::WireAction::kPass;
    return static_cast<test::WireAction>(input_.Byte() % test::kWireActions);
  }
  std::uint8_t NextByte() override { return input_.Byte(); }

 private:
  FuzzInput& input_;
};

// Job lengths the input picks from. All are short, so an input runs in a millisecond: the
// steps are those of a developer-mode job (0x4010 bytes), which the property test runs too.
constexpr std::uint16_t kLengths[] = {16, 24, 0x40, 0x88, test::kShortJobLength};

constexpr auto kVirtualTimeBound = std::chrono::minutes(3);

}  // namespace

// Input layout: byte 0 bit 0: the chip starts in firmware mode (erase and re-plug first);
// bit 1: add the chip faults of a random schedule seeded by bytes 1-2; bits 2..4: job length.
// Then one action byte per output report the host writes (plus detail bytes where the action
// takes them).
int FuzzChipReplies(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t setup = input.Byte();
  const std::uint16_t seed = input.Word();
  test::JobRunOptions options;
  options.write_length = kLengths[(setup >> 2 & 0x07) % std::size(kLengths)];
  if ((setup & 0x01) != 0) options.start_mode = sim::ChipMode::kFirmware;
  if ((setup & 0x02) != 0) options.faults = sim::RandomFaults(seed, options.write_length);
  InputScript script(input);
  options.script = &script;

  const test::JobRunResult result = test::RunWriteJob(options);
  Require(result.virtual_time < kVirtualTimeBound, "the job ends within bounded virtual time");
  Require(result.released, "the job leaves no device, handle, flag or button behind");
  Require(result.said_ok == (result.job_started && result.outcome == 0),
          "\"Write to EEPROM OK!\" exactly for outcome 0");
  Require(!result.said_ok || result.eeprom_holds_image,
          "after \"Write to EEPROM OK!\" the EEPROM holds the image");
  return 0;
}

}  // namespace qz::fuzz
