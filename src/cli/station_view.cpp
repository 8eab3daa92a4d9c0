#include "cli/station_view.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

namespace qz::cli {

namespace {

constexpr const char* kAppName = "qz670x-mp-cli";
// Piped progress: at most one line a second per port.
constexpr std::chrono::seconds kPipedProgressEvery{1};

// The station's word for what a tile shows.
station::PortState StateOf(production::TilePhase phase) {
  switch (phase) {
    case production::TilePhase::kProgramming:
      return station::PortState::kProgramming;
    case production::TilePhase::kReplug:
      return station::PortState::kReplug;
    case production::TilePhase::kPass:
      return station::PortState::kPassed;
    case production::TilePhase::kFail:
      return station::PortState::kFailed;
    case production::TilePhase::kStopped:
      return station::PortState::kStopped;
    default:
      return station::PortState::kWaiting;
  }
}

}  // namespace

StationView::StationView(const Output& output, std::vector<std::string> ports, bool terminal,
                         bool piped, Clock& clock)
    : output_(output), terminal_(terminal), piped_(piped), clock_(clock), order_(std::move(ports)) {}

void StationView::WaitForReports(std::chrono::milliseconds longest) {
  std::unique_lock lock(wake_mutex_);
  woken_cv_.wait_for(lock, longest, [this] { return woken_; });
  woken_ = false;
}

bool StationView::Wake() {
  {
    std::lock_guard lock(wake_mutex_);
    woken_ = true;
  }
  woken_cv_.notify_one();
  return true;
}

void StationView::TileChanged(const std::string& port) {
  // a port taken up after the start gets a line of its own
  if (std::find(order_.begin(), order_.end(), port) == order_.end()) order_.push_back(port);
  changed_ = true;
}

void StationView::Draw() {
  if (!changed_) return;
  changed_ = false;
  Redraw();
}

std::string StationView::Describe(const std::string& port) const {
  std::ostringstream text;
  text << port << "  ";
  const production::TileState* tile = presenter_ == nullptr ? nullptr : presenter_->Tile(port);
  if (tile == nullptr) return text.str() + station::PortStateName(station::PortState::kWaiting);
  const station::PortState state = StateOf(tile->phase);
  switch (state) {
    case station::PortState::kProgramming:
      text << "programming " << std::max(tile->percent, 0) << " %";
      break;
    case station::PortState::kPassed:
      text << "PASS, remove the unit";
      break;
    case station::PortState::kFailed:
      // the unit's message on one line
      text << "FAIL (" << tile->code << ") " << tile->message.substr(0, tile->message.find('\n'));
      if (!tile->detail.empty()) text << ": " << tile->detail;
      text << ", remove the unit";
      break;
    default:
      text << station::PortStateName(state);
  }
  // a waiting port has no unit
  if (state != station::PortState::kWaiting && !tile->serial.empty()) text << "  " << tile->serial;
  return text.str();
}

void StationView::Redraw() {
  if (!terminal_ || output_.json || presenter_ == nullptr) return;
  std::ostream& out = *output_.out;
  if (drawn_ > 0) out << "\x1b[" << drawn_ << 'F';  // back to the first line drawn
  for (const std::string& port : order_) out << "\x1b[2K" << Describe(port) << '\n';
  const production::TotalsFigures totals = presenter_->Totals();
  const double per_hour = totals.hours > 0 ? totals.units / totals.hours : 0;
  out << "\x1b[2K" << "units " << totals.units << "  passed " << totals.passed << "  failed "
      << totals.failed << "  " << static_cast<long>(per_hour) << " units/h"
      << (line_.online ? "" : "  " + prodlog::LineStateText(line_))
      << (results_.waiting == 0 && results_.refused == 0
              ? ""
              : "  " + results::ResultsStateText(results_))
      << '\n'
      << std::flush;
  drawn_ = static_cast<int>(order_.size()) + 1;
}

void StationView::Write(const nlohmann::json& line) { output_.JsonLine(JsonText(line)); }

void StationView::Progress(const std::string& port, int percent) {
  auto [last, first] = percent_.try_emplace(port, -1);
  if (!output_.json || last->second == percent) return;
  if (piped_ && percent != 100) {
    const Clock::Duration now = clock_.Now();
    auto [at, none_yet] = progress_at_.try_emplace(port, now);
    if (!none_yet && now - at->second < kPipedProgressEvery) return;
    at->second = now;
  }
  last->second = percent;
  Write({{"type", "progress"}, {"port", port}, {"percent", percent}});
}

void StationView::Message(const std::string& port, const MessageBoxRequest& message) {
  if (output_.json) {
    nlohmann::json line{{"type", "message"},
                        {"port", port},
                        {"caption", message.caption},
                        {"text", message.text},
                        {"icon", IconName(message.icon)}};
    if (!message.detail.empty()) line["detail"] = message.detail;
    Write(line);
  } else if (!terminal_) {
    *output_.err << port << ": " << message.text << '\n';
  }
}

void StationView::PowerNote(const std::string& port, const std::string& text) {
  if (output_.json) {
    Write({{"type", "power"}, {"port", port}, {"text", text}});
  } else if (!terminal_) {
    *output_.err << port << ": " << text << '\n';
  }
}

void StationView::UnitStarted(const std::string& port, const std::string&) {
  percent_[port] = -1;
}

void StationView::UnitFinished(const station::UnitReport& unit) {
  if (!output_.json) return;
  nlohmann::json line{{"type", "unit"},          {"port", unit.port},
                      {"serial", unit.serial},   {"exit", unit.exit},
                      {"message", unit.message}, {"duration_ms", unit.duration.count()},
                      {"replug", unit.replug}};
  if (!unit.detail.empty()) line["detail"] = unit.detail;
  if (unit.log_failed) line["log_failed"] = true;
  Write(line);
}

void StationView::Problem(const std::string& text) {
  if (output_.json) {
    Write({{"type", "problem"}, {"text", text}});
  } else {
    Finish();
    *output_.err << kAppName << ": " << text << '\n' << std::flush;
  }
}

void StationView::Interrupted(int signal, const std::string& stopped) {
  if (output_.json) Write({{"type", "interrupted"}, {"signal", signal}, {"stopped", stopped}});
}

void StationView::LineState(const prodlog::LineState& state) {
  line_ = state;
  if (output_.json) {
    output_.JsonLine(LineStateJson(state));
  } else {
    Finish();
    *output_.err << kAppName << ": " << prodlog::LineStateReport(line_) << '\n' << std::flush;
    Redraw();
  }
}

void StationView::ResultsState(const results::ResultsState& state) {
  const bool news = state.problem != results_.problem;
  results_ = state;
  if (output_.json) {
    Write({{"type", "results"},
           {"waiting", state.waiting},
           {"refused", state.refused},
           {"problem", state.problem}});
  } else if (news) {
    // a line of its own when a problem comes or goes; the backlog beside the totals
    Finish();
    *output_.err << kAppName << ": " << results::ResultsStateText(state) << '\n' << std::flush;
    Redraw();
  } else {
    changed_ = true;
  }
}

}  // namespace qz::cli
