// The mailbox between the station's ports and a face: each port's latest progress at the end of
// a drain, or every progress in its place for a face that writes each report down.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "production/window_mailbox.h"

namespace qz::production {
namespace {

// Writes down what it is handed, in order.
struct Transcript {
  void OnPortState(const std::string& port, station::PortState state) {
    lines.push_back(port + " " + station::PortStateName(state));
  }
  void OnPortProgress(const std::string& port, int percent) {
    lines.push_back(port + " " + std::to_string(percent) + " %");
  }
  void OnPortMessage(const std::string& port, const MessageBoxRequest& message) {
    lines.push_back(port + " says " + message.text);
  }
  void OnPowerNote(const std::string& port, const std::string& text) {
    lines.push_back(port + " power: " + text);
  }
  void OnUnitStarted(const std::string&, const std::string&) {}
  void OnUnitFinished(const station::UnitReport&) {}
  void OnStationProblem(const std::string&) {}
  std::vector<std::string> lines;
};

std::vector<std::string> Delivered(bool every_progress) {
  WindowMailbox<Transcript> mailbox;
  mailbox.KeepEveryProgress(every_progress);
  mailbox.OnPortState("sim-1", station::PortState::kProgramming);
  mailbox.OnProgress("sim-1", 10);
  mailbox.OnProgress("sim-1", 20);
  mailbox.OnMessage("sim-1", MessageBoxRequest{"Re-plug", "", MessageIcon::kNone, {}});
  mailbox.OnPowerNote("sim-1", "power cycled");
  mailbox.OnProgress("sim-1", 30);
  Transcript transcript;
  mailbox.Drain(transcript);
  return transcript.lines;
}

TEST(WindowMailbox, EveryProgressInItsPlaceOrTheLatestAtTheEnd) {
  EXPECT_EQ(Delivered(false),
            (std::vector<std::string>{"sim-1 programming", "sim-1 says Re-plug",
                                      "sim-1 power: power cycled", "sim-1 30 %"}));
  EXPECT_EQ(Delivered(true),
            (std::vector<std::string>{"sim-1 programming", "sim-1 10 %", "sim-1 20 %",
                                      "sim-1 says Re-plug", "sim-1 power: power cycled",
                                      "sim-1 30 %"}));
}

}  // namespace
}  // namespace qz::production
