#pragma once

// A unit's row as one JSON object: the line `log --json` prints for it, and the body of every
// result delivered to the factory's system.

#include <string>

#include <nlohmann/json.hpp>

#include "prodlog/production_log.h"

namespace qz::results {

// What a finished unit's numbered outcome means, beside the system's message; "" otherwise.
[[nodiscard]] std::string OutcomeDetail(const prodlog::UnitRecord& row);

[[nodiscard]] nlohmann::json UnitJson(const prodlog::UnitRecord& row);

}  // namespace qz::results
