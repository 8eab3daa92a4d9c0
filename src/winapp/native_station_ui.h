#pragma once
// The native station window's own control ids and measures, shared by its source files.

#include <string>
#include <vector>

namespace qz::winapp::station_ui {

constexpr UINT kMailboxMessage = WM_APP + 1;
constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 500;
// Before Start the tiles follow the bus: where a chip sits is looked at this often.
constexpr UINT_PTR kIdleTimer = 2;
constexpr UINT kIdleMs = 500;

// control ids of the window's own controls (the setup's dialog controls keep the dialog's ids)
enum : int {
  kLogEdit = 3001,
  kPortsEdit,
  kLoadJob,
  kJobText,
  kStart,
  kStop,
  kStatus,
  kTotals,
  kHistory,
  kImageReport,
  kMessages,
  kSerialFormatEdit,
  kNextSerialEdit,
  kFirstTile = 3100,
};

constexpr int kSetupWidth = 400;
constexpr int kMargin = 10;
constexpr int kRightWidth = 820;

}  // namespace qz::winapp::station_ui
