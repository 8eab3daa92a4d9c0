// The station window as a native Windows window: its message loop, Start and Stop, and what the
// station's presenter reports. The setup form and the tiles have files of their own.
// Our headers before the platform's: <windows.h> makes S_OK and E_FAIL macros.
#include "devices/device_session.h"
#include "dialog/control_table.h"
#include "dialog/dialog_template.h"
#include "jobs/job_file.h"

#include "winapp/native_station.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "winapp/native_dialog.h"
#include "winapp/native_station_ui.h"
#include "winapp/win32_dialog_controls.h"

namespace qz::winapp {

using namespace station_ui;

namespace {

constexpr wchar_t kClassName[] = L"Qz670xMpStation";

}  // namespace

NativeStation::NativeStation(HINSTANCE instance, DeviceSession& session, std::string app_name)
    : instance_(instance),
      session_(session),
      clock_(session.GetClock()),
      app_name_(std::move(app_name)) {
  production::StationFace& face = *this;
  presenter_ = std::make_unique<production::StationPresenter>(session_.BusBackend(),
                                                              session_.Hotplug(), clock_, face);
  icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kMainIconResource),
                                        IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  if (std::optional<production::StationSettings> settings =
          production::LoadStationSettings(&config_error_)) {
    station_settings_ = std::move(*settings);
  }
}

NativeStation::~NativeStation() {
  presenter_.reset();  // every job stops as a confirmed close stops it
  Close();
  if (font_ != nullptr) DeleteObject(font_);
  if (big_font_ != nullptr) DeleteObject(big_font_);
}

bool NativeStation::Wake() {
  return window_ != nullptr && PostMessageW(window_, kMailboxMessage, 0, 0) != FALSE;
}

bool NativeStation::Create() {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = &Procedure;
  window_class.hInstance = instance_;
  window_class.hIcon = icon_;
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kClassName;
  if (RegisterClassExW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }
  const std::wstring title = Widen(std::string(kWindowTitle) + " - Station");
  window_ = CreateWindowExW(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                            CW_USEDEFAULT, CW_USEDEFAULT, 1260, 880, nullptr, nullptr, instance_,
                            this);
  if (window_ == nullptr) return false;
  BuildControls();
  setup_->SetStationSettings(station_settings_);
  if (!station_settings_.log.empty()) SetLogFile(station_settings_.log);
  if (!station_settings_.ports.empty()) {
    std::string ports;
    for (const std::string& port : station_settings_.ports) {
      ports += (ports.empty() ? "" : " ") + port;
    }
    SetWindowTextW(GetDlgItem(window_, kPortsEdit), Widen(ports).c_str());
  }
  presenter_->SetConfigError(config_error_);
  ShowSetup();
  RunChanged();
  ShowIdlePorts();
  SetTimer(window_, kIdleTimer, kIdleMs, nullptr);
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  return true;
}


void NativeStation::RunMessageLoop() {
  MSG message;
  while (!presenter_->Ended() && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (window_ != nullptr && IsDialogMessageW(window_, &message) != FALSE) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void NativeStation::PumpMessages() {
  MSG message;
  while (!presenter_->Ended() && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
    if (window_ != nullptr && IsDialogMessageW(window_, &message) != FALSE) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

LRESULT CALLBACK NativeStation::Procedure(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<NativeStation*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ == nullptr) {
    return DefWindowProcW(window, message, wparam, lparam);
  }
  return self->Handle(message, wparam, lparam);
}

LRESULT NativeStation::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED) OnCommand(LOWORD(wparam));
      // a typed origin path is checked when the operator leaves the edit
      if (LOWORD(wparam) == ctl::kOriginPath && HIWORD(wparam) == EN_CHANGE) image_edited_ = true;
      if (LOWORD(wparam) == ctl::kOriginPath && HIWORD(wparam) == EN_KILLFOCUS && image_edited_) {
        CheckImage();
      }
      return 0;
    case WM_CLOSE:
      (void)presenter_->Close();
      return 0;
    case WM_TIMER:
      if (wparam == kTickTimer) presenter_->Tick();
      if (wparam == kIdleTimer) ShowIdlePorts();
      return 0;
    case WM_DRAWITEM:
      DrawTile(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
      return TRUE;
    case WM_CTLCOLORSTATIC: {
      const HWND control = reinterpret_cast<HWND>(lparam);
      const HDC context = reinterpret_cast<HDC>(wparam);
      SetBkMode(context, TRANSPARENT);
      const int id = GetDlgCtrlID(control);
      if ((id == kStatus && presenter_->StatusAlarm()) || id == kMessages ||
          (id == kImageReport && setup_ && setup_->ImageRefused())) {
        SetTextColor(context, RGB(0xb0, 0, 0));
      }
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
      if (message == kMailboxMessage) {
        presenter_->Drain();
        return 0;
      }
      if (message == Win32DialogControls::kRunQueuedMessage) {
        if (controls_) controls_->RunQueued();
        return 0;
      }
      return DefWindowProcW(window_, message, wparam, lparam);
  }
}

void NativeStation::OnCommand(int id) {
  switch (id) {
    case ctl::kBrowseOrigin:
      BrowseImage();
      break;
    case kLoadJob:
      BrowseJob();
      break;
    case kStart:
      (void)StartProduction();
      break;
    case kStop:
      StopProduction();
      break;
    default:
      if (setup_) (void)setup_->OnClicked(id);
      break;
  }
}


// Before Start the tiles show where the chips sit, following them on and off the bus, and the
// listed ports.
void NativeStation::ShowIdlePorts() {
  if (window_ != nullptr) presenter_->ShowIdlePorts(production::ParsePortList(Text(kPortsEdit)));
}

bool NativeStation::Running() const { return presenter_->Running(); }

bool NativeStation::JobsRunning() const { return presenter_->JobsRunning(); }

void NativeStation::RunChanged() {
  if (window_ == nullptr || !setup_) return;
  const bool running = presenter_->Running();
  EnableWindow(GetDlgItem(window_, kStart),
               presenter_->CanStart(setup_->ImageAccepted()) ? TRUE : FALSE);
  EnableWindow(GetDlgItem(window_, kStop), running && !presenter_->Stopping() ? TRUE : FALSE);
  ApplyLocks();
  presenter_->SetSetupState(setup_->ImageAccepted(), station_settings_.require_signed_jobs);
  // (set once: setting it again would put the next tick off again)
  if (running != ticking_) {
    ticking_ = running;
    if (running) {
      SetTimer(window_, kTickTimer, kTickMs, nullptr);
    } else {
      KillTimer(window_, kTickTimer);
    }
  }
  if (presenter_->Started()) KillTimer(window_, kIdleTimer);
}

void NativeStation::StatusChanged() {
  if (window_ != nullptr) {
    SetWindowTextW(GetDlgItem(window_, kStatus), Widen(presenter_->Status()).c_str());
  }
}

std::string NativeStation::StatusText() const { return presenter_->Status(); }

bool NativeStation::StartProduction() {
  production::StartSteps steps;
  steps.image_accepted = setup_->ImageAccepted();
  steps.require_signed_jobs = station_settings_.require_signed_jobs;
  steps.check_overrides = [this] {
    const bool accepted = setup_->CheckOverrides();
    ShowSetup();
    return accepted;
  };
  steps.listed_ports = production::ParsePortList(Text(kPortsEdit));
  steps.prepare = [this](std::string* error) {
    std::optional<production::StationStart> start =
        setup_->PrepareStart(Text(kSerialFormatEdit), Text(kNextSerialEdit), error);
    ShowSetup();
    return start;
  };
  steps.log_location = Text(kLogEdit);
  production::RunPlan plan;
  plan.app_name = app_name_;
  if (session_.Chip() != nullptr) {
    plan.virtual_chip = [this](const std::string& port) { return session_.ChipOnPort(port); };
  }
  return presenter_->Start(steps, std::move(plan));
}

void NativeStation::StopProduction() { presenter_->Stop(); }

station::StationTotals NativeStation::Totals() const {
  const production::TotalsFigures figures = presenter_->Totals();
  station::StationTotals totals;
  totals.units = figures.units;
  totals.passed = figures.passed;
  totals.failed = figures.failed;
  return totals;
}

std::string NativeStation::TotalsText() const {
  return production::TotalsText(presenter_->Totals());
}

void NativeStation::TotalsChanged() {
  if (window_ != nullptr) SetWindowTextW(GetDlgItem(window_, kTotals), Widen(TotalsText()).c_str());
}

void NativeStation::HistoryChanged() {
  if (window_ == nullptr) return;
  HWND list = GetDlgItem(window_, kHistory);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(list);
  int index = 0;
  for (const production::HistoryRow& shown : presenter_->History()) {
    const std::string* cells[] = {&shown.time, &shown.port, &shown.serial, &shown.outcome};
    std::wstring wide = Widen(*cells[0]);
    LVITEMW row{};
    row.mask = LVIF_TEXT;
    row.iItem = index;
    row.pszText = wide.data();
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row));
    for (int column = 1; column < 4; ++column) {
      std::wstring cell = Widen(*cells[column]);
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = cell.data();
      SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(&item));
    }
    ++index;
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

std::vector<std::vector<std::string>> NativeStation::HistoryRows() const {
  std::vector<std::vector<std::string>> rows;
  HWND list = GetDlgItem(window_, kHistory);
  const int count = ListView_GetItemCount(list);
  for (int index = 0; index < count; ++index) {
    std::vector<std::string> row;
    for (int column = 0; column < 4; ++column) {
      wchar_t cell[512] = {};
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = cell;
      item.cchTextMax = 512;
      SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(&item));
      row.push_back(Narrow(cell));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}


bool NativeStation::Confirm(const std::string& question) {
  return confirmer_ ? confirmer_(question)
                    : MessageBoxW(window_, Widen(question).c_str(), Widen(app_name_).c_str(),
                                  MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

void NativeStation::Close() {
  if (window_ != nullptr) {
    KillTimer(window_, kTickTimer);
    KillTimer(window_, kIdleTimer);
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    window_ = nullptr;
  }
  boxes_.clear();
}

}  // namespace qz::winapp
