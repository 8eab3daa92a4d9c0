#include "production/station_run.h"

#include <utility>

#include "production/log_recorder.h"
#include "results/result_delivery.h"
#include "serials/program_runner.h"
#include "serials/serial_program.h"
#include "virtual_station/virtual_operator.h"

namespace qz::production {

StationRun::StationRun() = default;

StationRun::~StationRun() {
  (void)Join();
  results_.reset();  // before the recorder that wakes it and the log it reads
}

std::unique_ptr<StationRun> StationRun::OpenLog(const RunPlan& plan, prodlog::LogError* error) {
  std::unique_ptr<StationRun> run(new StationRun());
  run->log_location_ = plan.log_location;
  prodlog::LogOptions options = plan.log_options;
  options.result_targets = results::TargetNames(plan.results);
  run->log_ = prodlog::OpenUnitLog(run->log_location_, plan.unit_start, options, error);
  if (!run->log_) return nullptr;
  if (!plan.serial_program.empty() || plan.results.Any()) {
    run->program_runner_ = serials::MakeProcessRunner();
  }
  if (plan.results.Any() && !run->OpenResults(plan, error)) return nullptr;
  if (!plan.serial_program.empty()) {
    run->program_ = std::make_unique<serials::ProgramSerials>(
        *run->program_runner_,
        serials::ProgramSerials::Options{plan.serial_program, plan.unit_start.station,
                                         plan.serial_program_timeout, plan.serial_ahead});
  }
  run->recorder_ = std::make_unique<LogRecorder>(*run->log_, plan.unit_start, run->program_.get());
  return run;
}

bool StationRun::OpenResults(const RunPlan& plan, prodlog::LogError* error) {
  error->kind = prodlog::LogError::Kind::kIo;
  const std::string file = log_->LocalFile();
  outbox_ = file.empty() ? nullptr
                         : prodlog::ResultOutbox::Open(file, error,
                                                       plan.log_options.busy_timeout_ms);
  if (!outbox_) return false;
  senders_ = results::MakeSenders(plan.results, *program_runner_, &error->message);
  return !senders_.empty();
}

void StationRun::Build(HidBackend& bus, HotplugSource* hotplug, Clock& clock, RunPlan plan,
                       station::StationObserver& observer) {
  if (plan.virtual_chip) {
    virtual_operator_ = std::make_unique<station::VirtualOperator>(
        clock, std::move(plan.virtual_chip), plan.virtual_pause);
  }
  station::StationConfig config;
  config.ports = std::move(plan.ports);
  config.take_up_new_ports = plan.take_up_new_ports;
  config.choices = std::move(plan.choices);
  config.loop = plan.loop;
  config.units = plan.units;
  if (plan.replug_timeout) config.replug_timeout = *plan.replug_timeout;
  config.app_name = std::move(plan.app_name);
  config.replug = plan.replug;
  config.power_replug = plan.power_replug;
  config.wrap_port = std::move(plan.wrap_port);
  station_ = std::make_unique<station::Station>(bus, hotplug, clock, std::move(config), observer,
                                                recorder_.get(), virtual_operator_.get());
  if (outbox_) {
    results_ = std::make_unique<results::ResultDelivery>(std::move(outbox_), std::move(senders_),
                                                         clock);
    results_flush_ = plan.results_flush;
    recorder_->SetCompleted([delivery = results_.get()] { delivery->Wake(); });
  }
}

void StationRun::Start(std::function<void()> stopped) {
  if (results_) results_->Start();
  runner_ = std::thread([this, stopped = std::move(stopped)] {
    exit_code_ = station_->Run();
    // the last units' results, for a while; the rest wait for the next start
    if (results_) (void)results_->Flush(results_flush_);
    if (stopped) stopped();
  });
}

int StationRun::Join() {
  if (runner_.joinable()) runner_.join();
  return exit_code_;
}

void StationRun::RequestStop() { station_->RequestStop(); }

int StationRun::StopRequests() const { return station_->StopRequests(); }

void StationRun::StopNow() {
  while (station_->StopRequests() < 2) station_->RequestStop();
  (void)Join();
}

station::StationTotals StationRun::Totals() const { return station_->Totals(); }

std::int64_t StationRun::UnitOn(const std::string& port) const { return recorder_->UnitOn(port); }

}  // namespace qz::production
