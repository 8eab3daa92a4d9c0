// A station report's ports in the form every store keeps them.
#include <nlohmann/json.hpp>

#include "prodlog/store_internal.h"

namespace qz::prodlog {

std::string PortsJson(const std::vector<PortReport>& ports) {
  nlohmann::json list = nlohmann::json::array();
  for (const PortReport& port : ports) {
    nlohmann::json entry = {{"port", port.port}, {"activity", port.activity}};
    if (port.unit_id != 0) entry["unit"] = port.unit_id;
    if (!port.serial.empty()) entry["serial"] = port.serial;
    if (port.percent >= 0) entry["percent"] = port.percent;
    list.push_back(std::move(entry));
  }
  return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<PortReport> PortsOfJson(const std::string& text) {
  const nlohmann::json list = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  std::vector<PortReport> ports;
  if (!list.is_array()) return ports;
  for (const nlohmann::json& entry : list) {
    if (!entry.is_object()) continue;
    PortReport port;
    port.port = entry.value("port", std::string());
    port.activity = entry.value("activity", std::string());
    port.unit_id = entry.value("unit", std::int64_t{0});
    port.serial = entry.value("serial", std::string());
    port.percent = entry.value("percent", -1);
    ports.push_back(std::move(port));
  }
  return ports;
}

}  // namespace qz::prodlog
