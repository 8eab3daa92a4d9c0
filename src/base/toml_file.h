#pragma once

// Reading a TOML settings file (toml++), with the operator's message when it cannot be used.

#include <optional>
#include <string>

#include <toml++/toml.h>

namespace qz {

// The table of the file at `path`; nullopt and *error when it cannot be read ("WHAT cannot be
// read: REASON") or is no TOML ("WHAT is not valid TOML (line N): ..."). `what` names the file for the
// operator, e.g. "the station configuration /etc/qz670x-mp/station.toml".
[[nodiscard]] std::optional<toml::table> ReadTomlFile(const std::string& path,
                                                      const std::string& what,
                                                      std::string* error);

}  // namespace qz
