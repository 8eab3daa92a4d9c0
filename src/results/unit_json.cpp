#include "results/unit_json.h"

#include "dialog/write_outcome.h"
#include "prodlog/log_summary.h"

namespace qz::results {

std::string OutcomeDetail(const prodlog::UnitRecord& row) {
  return row.finished ? std::string(ExplainJobOutcome(row.exit_code)) : std::string();
}

nlohmann::json UnitJson(const prodlog::UnitRecord& row) {
  nlohmann::json overrides = nlohmann::json::parse(row.overrides_json, nullptr, false);
  if (overrides.is_discarded()) overrides = row.overrides_json;
  nlohmann::json line = {
      {"type", "unit"},
      {"id", row.unit_id},
      {"state", row.finished ? "finished" : "unfinished"},
      {"station", row.station},
      {"port", row.port},
      {"serial", row.serial.empty() ? nlohmann::json() : nlohmann::json(row.serial)},
      {"serial_released", row.serial_released},
      {"serial_source",
       row.serial_source.empty() ? nlohmann::json() : nlohmann::json(row.serial_source)},
      {"image_path", row.image_path},
      {"image_sha256", row.image_sha256},
      {"mode", row.mode},
      {"write_length", row.write_length},
      {"overrides", overrides},
      {"started", row.started},
      {"ended", nlohmann::json()},
      {"exit", nlohmann::json()},
      {"message", nlohmann::json()},
      {"duration_ms", nlohmann::json()},
      {"transfers", nlohmann::json()},
      {"chip_status", nlohmann::json()},
      {"chip_identity", nlohmann::json()},
      {"eeprom_touched", nlohmann::json()},
      {"replug", nlohmann::json()},
      {"job_name", row.job.name},
      {"job_revision", row.job.revision},
      {"job_sha256", row.job.sha256},
      {"job_key", prodlog::JobKey(row)},
      {"detail", nlohmann::json()},
  };
  if (row.finished) {
    line["ended"] = row.ended;
    line["exit"] = row.exit_code;
    line["message"] = row.message;
    line["duration_ms"] = row.duration_ms;
    line["transfers"] = row.transfers;
    if (row.chip_status) line["chip_status"] = *row.chip_status;
    if (row.chip_identity) line["chip_identity"] = *row.chip_identity;
    line["eeprom_touched"] = row.eeprom_touched;
    line["replug"] = row.replug;
    if (const std::string detail = OutcomeDetail(row); !detail.empty()) line["detail"] = detail;
  }
  return line;
}

}  // namespace qz::results
