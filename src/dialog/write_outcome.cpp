#include "dialog/write_outcome.h"

#include <array>

namespace qz {

namespace {

// Outcome N is entry N - 1; the order is the job's own order of steps.
constexpr std::array<std::string_view, 12> kOutcomeExplanations = {{
    // 1
    "the chip's status could not be read: check the cable, the hub and the power",
    // 2
    "the chip's status is not 0: the chip is busy or its EEPROM is missing; re-plug it, then "
    "check that the EEPROM is fitted",
    // 3
    "the chip's identity could not be read: check the cable, the hub and the power",
    // 4
    "the chip does not identify as a QZ670x: check that the right board is plugged in",
    // 5
    "clearing the EEPROM header failed: check the cable, the hub and the power",
    // 6
    "reading the cleared EEPROM header failed: check the cable, the hub and the power",
    // 7
    "the EEPROM header did not read back as cleared: the EEPROM is write-protected or faulty",
    // 8
    "writing the image's body into the EEPROM failed: check the cable, the hub and the power",
    // 9
    "reading the EEPROM back failed: check the cable, the hub and the power",
    // 10
    "committing the EEPROM header failed (a transfer, or its part read back differs): write "
    "the chip again; if it repeats, check the EEPROM",
    // 11
    "the EEPROM header read back after the commit differs from the image: the EEPROM is faulty "
    "or write-protected",
    // 12
    "a byte of the body read back differs from the image: the EEPROM is faulty or "
    "write-protected",
}};

}  // namespace

std::string_view ExplainJobOutcome(int outcome) {
  if (outcome < 1 || outcome > static_cast<int>(kOutcomeExplanations.size())) return {};
  return kOutcomeExplanations[static_cast<std::size_t>(outcome - 1)];
}

}  // namespace qz
