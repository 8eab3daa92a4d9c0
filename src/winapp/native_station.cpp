// Our headers before the platform's: <windows.h> makes S_OK and E_FAIL macros.
#include "devices/device_session.h"
#include "dialog/control_table.h"
#include "dialog/dialog_template.h"
#include "prodlog/production_log.h"
#include "prodlog/serial_numbers.h"
#include "jobs/job_file.h"
#include "station/log_recorder.h"
#include "virtual_station/virtual_operator.h"

#include "winapp/native_station.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "winapp/native_dialog.h"
#include "winapp/win32_dialog_controls.h"

namespace qz::winapp {

namespace {

constexpr wchar_t kClassName[] = L"Qz670xMpStation";
constexpr UINT kMailboxMessage = WM_APP + 1;
constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 500;
// Before Start the tiles follow the bus: where a chip sits is looked at this often.
constexpr UINT_PTR kIdleTimer = 2;
constexpr UINT kIdleMs = 500;
constexpr std::size_t kHistoryRows = 50;

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

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

std::string Percent(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", value);
  return text;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

NativeStation::NativeStation(HINSTANCE instance, DeviceSession& session, std::string app_name)
    : instance_(instance),
      session_(session),
      clock_(session.GetClock()),
      app_name_(std::move(app_name)),
      mailbox_(std::make_shared<station::WindowMailbox<NativeStation>>()) {
  icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kMainIconResource),
                                        IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  if (std::optional<jobs::StationSettings> settings = jobs::LoadStationSettings(&config_error_)) {
    station_settings_ = std::move(*settings);
  }
}

NativeStation::~NativeStation() {
  EndNow();
  if (font_ != nullptr) DeleteObject(font_);
  if (big_font_ != nullptr) DeleteObject(big_font_);
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
  mailbox_->SetWake([window = window_] {
    return PostMessageW(window, kMailboxMessage, 0, 0) != FALSE;
  });
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
  if (!config_error_.empty()) SetStatus(config_error_, true);
  ShowSetup();
  UpdateButtons();
  ShowIdlePorts();
  SetTimer(window_, kIdleTimer, kIdleMs, nullptr);
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  return true;
}

void NativeStation::BuildControls() {
  font_ = CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                      CLEARTYPE_QUALITY, 0, L"Tahoma");
  big_font_ = CreateFontW(-20, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                          CLEARTYPE_QUALITY, 0, L"Tahoma");
  const auto make = [this](const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y,
                           int w, int h, int id, DWORD ex_style = 0) {
    HWND control = CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                                   window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   instance_, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    return control;
  };
  int y = kMargin;
  make(L"BUTTON", L"Load job\u2026", WS_TABSTOP | BS_PUSHBUTTON, kMargin, y, 110, 28, kLoadJob);
  make(L"STATIC", L"No job loaded.", SS_NOPREFIX, kMargin + 120, y, kSetupWidth - 120, 62,
       kJobText);
  y += 66;
  BuildSetup(&y);
  const auto field = [&](const wchar_t* label, int id, const wchar_t* hint, DWORD style = 0) {
    make(L"STATIC", label, 0, kMargin, y + 3, 110, 20, -1);
    HWND edit = make(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL | style, kMargin + 115, y,
                     kSetupWidth - 115, 24, id, WS_EX_CLIENTEDGE);
    SendMessageW(edit, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(hint));
    y += 28;
  };
  field(L"Serial format", kSerialFormatEdit, L"e.g. L7-######");
  field(L"Next number", kNextSerialEdit, L"1", ES_NUMBER);
  SendDlgItemMessageW(window_, kNextSerialEdit, EM_LIMITTEXT, 18, 0);
  field(L"Log file", kLogEdit, L"empty: the default log");
  field(L"Ports", kPortsEdit, L"empty: every port with a chip");
  y += 4;
  make(L"BUTTON", L"Start", WS_TABSTOP | BS_DEFPUSHBUTTON, kMargin, y, 190, 34, kStart);
  make(L"BUTTON", L"Stop", WS_TABSTOP | BS_PUSHBUTTON, kMargin + 210, y, 190, 34, kStop);
  y += 40;
  make(L"STATIC", L"", SS_NOPREFIX, kMargin, y, kSetupWidth, 52, kStatus);
  y += 54;
  make(L"STATIC", L"", SS_NOPREFIX, kMargin, y, kSetupWidth, 80, kMessages);

  const int right = kSetupWidth + 2 * kMargin;
  HWND totals = make(L"STATIC", L"", 0, right, kMargin, kRightWidth, 30, kTotals);
  SendMessageW(totals, WM_SETFONT, reinterpret_cast<WPARAM>(big_font_), TRUE);
  HWND history = make(WC_LISTVIEWW, L"", LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL,
                      right, 560, kRightWidth, 250, kHistory, WS_EX_CLIENTEDGE);
  ListView_SetExtendedListViewStyle(history, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  const std::pair<const wchar_t*, int> columns[] = {
      {L"Started (UTC)", 170}, {L"Port", 80}, {L"Serial", 120}, {L"Outcome", 420}};
  int index = 0;
  for (const auto& [name, width] : columns) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(name);
    column.cx = width;
    SendMessageW(history, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index++),
                 reinterpret_cast<LPARAM>(&column));
  }
  RefreshTotals();
}

// The dialog's controls of the setup, made from its control table (class, styles, caption, text
// limit) and placed in one column; the dialog's rules then drive them through jobs::StationSetup.
void NativeStation::BuildSetup(int* y_pos) {
  int y = *y_pos;
  const auto child = [this](const wchar_t* cls, const std::wstring& text, DWORD style, DWORD ex,
                            const RECT& at, int id) {
    HWND control = CreateWindowExW(ex, cls, text.c_str(), style, at.left, at.top,
                                   at.right - at.left, at.bottom - at.top, window_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                                   nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    return control;
  };
  const auto rect = [](int x, int top, int w, int h) { return RECT{x, top, x + w, top + h}; };
  const auto label = [&](const wchar_t* text, const RECT& at, DWORD style = 0) {
    child(L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_NOPREFIX | style, 0, at, -1);
  };

  std::map<int, RECT> place;
  label(L"File Name (Origin)", rect(kMargin, y + 3, 140, 20));
  place[ctl::kOriginPath] = rect(kMargin + 145, y, kSetupWidth - 200, 24);
  place[ctl::kBrowseOrigin] = rect(kMargin + kSetupWidth - 48, y, 48, 24);
  y += 30;
  place[ctl::kFactoryMode] = rect(kMargin, y, 166, 22);
  place[ctl::kDeveloperMode] = rect(kMargin + 166, y, kSetupWidth - 166, 22);
  y += 26;
  child(L"STATIC", L"No image chosen.", WS_CHILD | WS_VISIBLE | SS_NOPREFIX, 0,
        rect(kMargin, y, kSetupWidth, 110), kImageReport);  // six lines: a long product wraps
  y += 114;

  // the overrides, as the dialog groups them
  const int group_top = y;
  y += 22;
  place[ctl::kUpdateEnable] = rect(kMargin + 10, y, 160, 22);
  place[ctl::kReset] = rect(kMargin + kSetupWidth - 80, y, 70, 24);
  y += 28;
  const int edit_left = kMargin + 178;
  const int edit_room = kSetupWidth - 188;
  const auto row = [&](int box, int edit) {
    place[box] = rect(kMargin + 20, y + 1, 156, 22);
    // as wide as the dialog has it (string or hexadecimal number), as far as the column allows
    place[edit] = rect(edit_left, y, std::min(edit_room, FindControl(edit)->width * 3 / 2), 24);
    y += 27;
  };
  row(ctl::kManufacturerBox, ctl::kManufacturerEdit);
  row(ctl::kProductBox, ctl::kProductEdit);
  row(ctl::kSerialBox, ctl::kSerialEdit);
  label(L"High Speed", rect(kMargin + 10, y + 2, 200, 18));
  y += 20;
  row(ctl::kHsBcdBox, ctl::kHsBcdEdit);
  row(ctl::kHsAudioBox, ctl::kHsAudioEdit);
  label(L"Full Speed", rect(kMargin + 10, y + 2, 200, 18));
  y += 20;
  row(ctl::kFsBcdBox, ctl::kFsBcdEdit);
  row(ctl::kFsAudioBox, ctl::kFsAudioEdit);
  place[ctl::kUseEvb] = rect(kMargin + 10, y, kSetupWidth - 20, 22);
  y += 28;
  // (transparent: the window clips its children, and the frame paints no inside of its own)
  child(L"BUTTON", L" USB Descriptor", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, WS_EX_TRANSPARENT,
        rect(kMargin, group_top, kSetupWidth, y - group_top), -1);
  y += 6;

  // in the dialog's tab order; the arrow keys move within the mode radios only
  bool previous_radio = false;
  bool first = true;
  for (int id : jobs::StationSetup::Controls()) {
    const ControlSpec spec = *FindControl(id);
    const bool radio = spec.kind == ControlKind::kRadioButton;
    const bool starts_group = first || radio != previous_radio;
    first = false;
    previous_radio = radio;
    // the EVB box's caption is shortened as in the Qt window (the column is narrower)
    const std::wstring caption =
        id == ctl::kUseEvb ? std::wstring(L" Use EVB VID and PID") : Widen(spec.caption);
    const std::u16string_view cls = ControlClassName(spec.kind);
    HWND control = child(std::wstring(cls.begin(), cls.end()).c_str(), caption,
                         ControlStyle(spec, starts_group), ControlExStyle(spec), place.at(id), id);
    if (spec.kind == ControlKind::kEdit) {
      SendMessageW(control, EM_LIMITTEXT, static_cast<WPARAM>(EditTextLimit(id)), 0);
    }
  }
  controls_ = std::make_unique<Win32DialogControls>(window_);
  setup_ = std::make_unique<jobs::StationSetup>(*controls_, clock_, app_name_);
  *y_pos = y;
}

void NativeStation::ShowSetup() {
  if (window_ == nullptr) return;
  if (!setup_->ImageReport().empty()) {
    SetDlgItemTextW(window_, kImageReport, Widen(JoinLines(setup_->ImageReport())).c_str());
  }
  SetDlgItemTextW(window_, kMessages, Widen(JoinLines(setup_->Messages())).c_str());
  if (setup_->Job() != nullptr) {
    SetDlgItemTextW(window_, kJobText, Widen(JoinLines(setup_->JobReport())).c_str());
  }
}

void NativeStation::CheckImage() {
  image_edited_ = false;
  (void)setup_->CheckImage();
  ShowSetup();
  UpdateButtons();
}

void NativeStation::ApplyLocks() {
  // The rules decide what is enabled within the dialog's controls: fixing the choices disables
  // them all, freeing them gives the rules' own states back. A job's settings are never edited,
  // and a station that requires signed jobs takes none but a job's.
  const bool running = Running();
  const bool fixed = setup_->ChoicesFixed(running);
  if (fixed) {
    if (frozen_.empty()) {
      for (int id : jobs::StationSetup::Controls()) frozen_[id] = controls_->IsEnabled(id);
    }
    for (int id : jobs::StationSetup::Controls()) EnableWindow(GetDlgItem(window_, id), FALSE);
  } else if (!frozen_.empty()) {
    for (const auto& [id, enabled] : frozen_) {
      EnableWindow(GetDlgItem(window_, id), enabled ? TRUE : FALSE);
    }
    frozen_.clear();
  }
  for (int id : {kSerialFormatEdit, kNextSerialEdit}) {
    EnableWindow(GetDlgItem(window_, id), fixed ? FALSE : TRUE);
  }
  for (int id : {kLogEdit, kPortsEdit, kLoadJob}) {
    EnableWindow(GetDlgItem(window_, id), running ? FALSE : TRUE);
  }
}

void NativeStation::SetSerialFields(const std::string& format, const std::string& next) {
  SetDlgItemTextW(window_, kSerialFormatEdit, Widen(format).c_str());
  SetDlgItemTextW(window_, kNextSerialEdit, Widen(next).c_str());
}

void NativeStation::ClickSetupControl(int id) {
  SendDlgItemMessageW(window_, id, BM_CLICK, 0, 0);
}

std::string NativeStation::ImageReportText() const { return Text(kImageReport); }

std::string NativeStation::SetupMessagesText() const { return Text(kMessages); }

bool NativeStation::StartEnabled() const {
  return IsWindowEnabled(GetDlgItem(window_, kStart)) != FALSE;
}

void NativeStation::RemoveTiles() {
  for (auto& [name, view] : ports_) {
    if (view.box != nullptr) DestroyWindow(view.box);
  }
  ports_.clear();
}

// Before Start the tiles show where the chips sit, following them on and off the bus.
void NativeStation::ShowIdlePorts() {
  if (core_ != nullptr || ended_ || window_ == nullptr) return;
  const std::vector<std::string> present = jobs::PortsWithChips(session_.BusBackend());
  bool changed = false;
  for (auto it = ports_.begin(); it != ports_.end();) {
    if (std::find(present.begin(), present.end(), it->first) != present.end()) {
      ++it;
      continue;
    }
    if (it->second.box != nullptr) DestroyWindow(it->second.box);
    it = ports_.erase(it);
    changed = true;
  }
  std::vector<std::string> added;
  for (const std::string& port : present) {
    if (ports_.try_emplace(port).second) added.push_back(port);
  }
  if (!changed && added.empty()) return;
  LayoutTiles();
  for (const std::string& port : added) ShowPort(port);
}

void NativeStation::RunMessageLoop() {
  MSG message;
  while (!ended_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (window_ != nullptr && IsDialogMessageW(window_, &message) != FALSE) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void NativeStation::PumpMessages() {
  MSG message;
  while (!ended_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
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
      OnClose();
      return 0;
    case WM_TIMER:
      if (wparam == kTickTimer) Tick();
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
      if ((id == kStatus && status_alarm_) || id == kMessages ||
          (id == kImageReport && setup_ && setup_->ImageRefused())) {
        SetTextColor(context, RGB(0xb0, 0, 0));
      }
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
      if (message == kMailboxMessage) {
        DrainMailbox();
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

std::string NativeStation::Text(int id) const {
  HWND control = GetDlgItem(window_, id);
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  return Narrow(text);
}

void NativeStation::SetImagePath(const std::string& path) {
  SetDlgItemTextW(window_, ctl::kOriginPath, Widen(path).c_str());
  CheckImage();
}

void NativeStation::SetLogFile(const std::string& path) {
  SetWindowTextW(GetDlgItem(window_, kLogEdit), Widen(path).c_str());
}

void NativeStation::BrowseImage() {
  const std::optional<std::wstring> path =
      file_chooser_ ? file_chooser_(window_) : ChooseBinFile(window_);
  if (!path) return;  // cancelled: the edit keeps its text
  (void)setup_->ChooseImage(Narrow(*path));
  image_edited_ = false;  // checked (or refused) already
  ShowSetup();
  UpdateButtons();
}

void NativeStation::BrowseJob() {
  std::optional<std::wstring> chosen;
  if (file_chooser_) {
    chosen = file_chooser_(window_);
  } else {
    static constexpr wchar_t kFilter[] = L"Production jobs (*.qzjob)\0*.qzjob\0All files\0*.*\0";
    std::wstring path(MAX_PATH * 4, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameW(&dialog) != FALSE) {
      path.resize(wcsnlen(path.c_str(), path.size()));
      chosen = path;
    }
  }
  if (chosen && !chosen->empty()) (void)LoadJob(Narrow(*chosen));
}

bool NativeStation::LoadJob(const std::string& path) {
  if (Running()) return false;
  const bool loaded = setup_->LoadJob(path);
  image_edited_ = false;  // the job's image is checked already
  if (const jobs::LoadedJob* job = setup_->Job(); loaded && job != nullptr) {
    const std::optional<jobs::JobSerial>& serial = job->job.serial;
    SetSerialFields(serial ? serial->format : "", serial ? std::to_string(serial->start) : "");
    SetStatus("Ready: press Start.");
  } else {
    SetStatus("Job refused.", true);
  }
  ShowSetup();
  UpdateButtons();
  return loaded;
}

bool NativeStation::Running() const { return core_ != nullptr && core_->running; }

bool NativeStation::JobsRunning() const {
  if (!Running()) return false;
  return std::any_of(ports_.begin(), ports_.end(), [](const auto& entry) {
    return entry.second.state == station::PortState::kProgramming ||
           entry.second.state == station::PortState::kReplug;
  });
}

void NativeStation::UpdateButtons() {
  if (window_ == nullptr || !setup_) return;
  const bool running = Running();
  EnableWindow(GetDlgItem(window_, kStart),
               !running && !ended_ && config_error_.empty() && setup_->ImageAccepted() ? TRUE
                                                                                       : FALSE);
  EnableWindow(GetDlgItem(window_, kStop), running && !stopping_ ? TRUE : FALSE);
  ApplyLocks();
  const std::string choose = "Choose an image that passes its check to start.";
  const std::string job_only = "This station runs only signed jobs: Load job\u2026 to start.";
  if (config_error_.empty() && !running && !ended_ && core_ == nullptr) {
    if (!setup_->ImageAccepted()) {
      SetStatus(station_settings_.require_signed_jobs ? job_only : choose);
    } else if (status_ == choose || status_ == job_only) {
      SetStatus("Ready: press Start.");
    }
  }
}

void NativeStation::SetStatus(const std::string& text, bool alarm) {
  status_ = text;
  status_alarm_ = alarm;
  if (window_ != nullptr) SetWindowTextW(GetDlgItem(window_, kStatus), Widen(text).c_str());
}

std::string NativeStation::StatusText() const { return status_; }

bool NativeStation::StartProduction() {
  if (Running() || ended_ || !config_error_.empty()) return false;
  if (!setup_->ImageAccepted()) {
    SetStatus(station_settings_.require_signed_jobs
                  ? "Not started: this station runs only signed jobs: Load job\u2026 to start."
                  : "Not started: choose an image that passes its check.",
              true);
    return false;
  }
  // the overrides are checked with the dialog's rules before any chip is touched
  const bool accepted = setup_->CheckOverrides();
  ShowSetup();
  if (!accepted) {
    SetStatus("Not started: the overrides were refused.", true);
    UpdateButtons();
    return false;
  }
  std::string error;
  if (!StartCore(&error)) {
    SetStatus("Not started: " + error, true);
    UpdateButtons();
    return false;
  }
  stopping_ = false;
  started_at_ = clock_.Now();
  SetStatus("Running: plug in the units.");
  SetTimer(window_, kTickTimer, kTickMs, nullptr);
  RefreshTotals();
  RefreshHistory();
  UpdateButtons();
  return true;
}

void NativeStation::StopProduction() {
  if (!Running() || stopping_) return;
  stopping_ = true;
  core_->station->RequestStop();  // running jobs finish, no unit starts
  SetStatus(JobsRunning() ? "Stopping: the running units finish first." : "Stopping.");
  UpdateButtons();
}

bool NativeStation::StartCore(std::string* error) {
  // the ports: as listed, or every port where a chip shows up now
  const std::vector<std::string> listed = jobs::ParsePortList(Text(kPortsEdit));
  const std::optional<std::vector<std::string>> ports =
      jobs::RunPorts(listed, session_.BusBackend(), error);
  if (!ports) return false;
  // the choices, the serial numbers and the log row's start, checked as every unit's will be
  std::optional<jobs::StationStart> start =
      setup_->PrepareStart(Text(kSerialFormatEdit), Text(kNextSerialEdit), error);
  ShowSetup();
  if (!start) return false;

  std::string path = Text(kLogEdit);
  auto core = std::make_unique<station::StationRun>();
  prodlog::LogError log_error;
  core->log = prodlog::OpenUnitLog(path, start->unit_start, {}, &log_error);
  if (!core->log) {
    *error = log_error.message;
    return false;
  }
  core->log->SetLineListener([mailbox = mailbox_](const prodlog::LineState& state) {
    mailbox->Post([state](NativeStation& w) {
      w.SetStatus(prodlog::LineStateText(state), !state.online);
    });
  });
  log_path_ = path;
  core->recorder = std::make_unique<station::LogRecorder>(*core->log, start->unit_start);
  if (session_.Chip() != nullptr) {
    core->virtual_operator = std::make_unique<station::VirtualOperator>(
        clock_, [this](const std::string& port) { return session_.ChipOnPort(port); });
  }

  station::StationConfig config;
  config.ports = *ports;
  config.choices = std::move(start->choices);
  config.loop = true;
  config.take_up_new_ports = listed.empty();
  config.app_name = app_name_;
  core->station = std::make_unique<station::Station>(
      session_.BusBackend(), session_.Hotplug(), clock_, std::move(config), *mailbox_,
      core->recorder.get(), core->virtual_operator.get());

  // tiles: the ports of this run, in order; the station follows the bus from now on
  KillTimer(window_, kIdleTimer);
  RemoveTiles();
  for (const std::string& port : *ports) {
    ports_[port].tile.phase = NativeTile::Phase::kWaiting;
  }
  LayoutTiles();
  core_ = std::move(core);
  core_->Start([mailbox = mailbox_] {
    mailbox->Post([](NativeStation& w) { w.OnCoreStopped(); });
  });
  return true;
}

void NativeStation::LayoutTiles() {
  const int count = static_cast<int>(ports_.size());
  if (count == 0) return;
  const int columns = count <= 1 ? 1 : count <= 4 ? 2 : count <= 9 ? 3 : 4;
  const int rows = (count + columns - 1) / columns;
  const int left = kSetupWidth + 2 * kMargin;
  const int top = 50;
  const int width = kRightWidth;
  const int height = 500;
  const int tile_w = (width - (columns - 1) * kMargin) / columns;
  const int tile_h = (height - (rows - 1) * kMargin) / rows;
  int index = 0;
  for (auto& [port, view] : ports_) {
    const int x = left + (index % columns) * (tile_w + kMargin);
    const int y = top + (index / columns) * (tile_h + kMargin);
    if (view.box == nullptr) {
      view.box = CreateWindowExW(0, L"STATIC", Widen(port).c_str(),
                                 WS_CHILD | WS_VISIBLE | SS_OWNERDRAW, x, y, tile_w, tile_h,
                                 window_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstTile + index)),
                                 instance_, nullptr);
    } else {
      MoveWindow(view.box, x, y, tile_w, tile_h, TRUE);
    }
    ++index;
  }
}

void NativeStation::ShowPort(const std::string& port) {
  auto it = ports_.find(port);
  if (it == ports_.end()) return;
  if (it->second.box == nullptr) LayoutTiles();
  if (it->second.box != nullptr) InvalidateRect(it->second.box, nullptr, TRUE);
  if (tile_hook_) tile_hook_(port, it->second.tile);
}

std::string NativeStation::StateText(const NativeTile& tile) {
  switch (tile.phase) {
    case NativeTile::Phase::kIdle:
      return "stopped";
    case NativeTile::Phase::kWaiting:
      return "waiting for a chip";
    case NativeTile::Phase::kProgramming:
      return "programming " + std::to_string(std::clamp(tile.percent, 0, 100)) + " %";
    case NativeTile::Phase::kReplug:
      return "re-plug the unit";
    case NativeTile::Phase::kPass:
      return tile.remove ? "PASS - remove the unit" : "PASS";
    case NativeTile::Phase::kFail:
      return "FAIL (" + std::to_string(tile.code) + ")" + (tile.remove ? " - remove the unit" : "");
  }
  return {};
}

void NativeStation::DrawTile(const DRAWITEMSTRUCT& item) {
  const NativeTile* tile = nullptr;
  std::string port;
  for (const auto& [name, view] : ports_) {
    if (view.box == item.hwndItem) {
      tile = &view.tile;
      port = name;
    }
  }
  if (tile == nullptr) return;
  COLORREF back = RGB(0xee, 0xee, 0xee);
  COLORREF fore = RGB(0x20, 0x20, 0x20);
  COLORREF edge = RGB(0x90, 0x90, 0x90);
  int border = 2;
  switch (tile->phase) {
    case NativeTile::Phase::kPass:
      back = RGB(0xd6, 0xf5, 0xd6);
      fore = RGB(0x0f, 0x5e, 0x1c);
      edge = RGB(0x1e, 0x8c, 0x2e);
      break;
    case NativeTile::Phase::kFail:
      back = RGB(0xfb, 0xd5, 0xd5);
      fore = RGB(0x8b, 0x00, 0x00);
      edge = RGB(0xc0, 0x10, 0x10);
      border = 4;
      break;
    case NativeTile::Phase::kProgramming:
      back = RGB(0xdd, 0xe8, 0xfa);
      edge = RGB(0x30, 0x60, 0xb0);
      break;
    case NativeTile::Phase::kReplug:
      back = RGB(0xff, 0xf0, 0xc0);
      edge = RGB(0xb0, 0x80, 0x00);
      break;
    default:
      break;
  }
  const HDC dc = item.hDC;
  RECT area = item.rcItem;
  HBRUSH edge_brush = CreateSolidBrush(edge);
  FillRect(dc, &area, edge_brush);
  DeleteObject(edge_brush);
  InflateRect(&area, -border, -border);
  HBRUSH back_brush = CreateSolidBrush(back);
  FillRect(dc, &area, back_brush);
  DeleteObject(back_brush);
  InflateRect(&area, -8, -6);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, fore);

  const auto line = [&](const std::string& text, HFONT font, int height, UINT flags) {
    SelectObject(dc, font);
    RECT box = area;
    box.bottom = std::min<LONG>(area.bottom, area.top + height);
    const std::wstring wide = Widen(text);
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box, flags | DT_NOPREFIX);
    area.top = box.bottom;
  };
  line("Port " + port, font_, 22, DT_SINGLELINE | DT_END_ELLIPSIS);
  line(StateText(*tile), big_font_, 30, DT_SINGLELINE | DT_END_ELLIPSIS);
  if (tile->phase == NativeTile::Phase::kProgramming) {
    RECT bar{area.left, area.top + 2, area.right, area.top + 16};
    FrameRect(dc, &bar, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    RECT done = bar;
    InflateRect(&done, -1, -1);
    done.right = done.left + (done.right - done.left) * std::clamp(tile->percent, 0, 100) / 100;
    HBRUSH bar_brush = CreateSolidBrush(RGB(0x30, 0x60, 0xb0));
    FillRect(dc, &done, bar_brush);
    DeleteObject(bar_brush);
  }
  area.top += 20;
  std::string tail;
  if (!tile->serial.empty()) tail += "serial  " + tile->serial + "    ";
  if (tile->seconds >= 0) tail += "time  " + Seconds(tile->seconds);
  RECT bottom = area;
  bottom.top = std::max(area.top, area.bottom - 20);
  if (!tail.empty()) {
    SelectObject(dc, font_);
    const std::wstring wide = Widen(tail);
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &bottom,
              DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  area.bottom = bottom.top;
  line(tile->message, font_, area.bottom - area.top, DT_WORDBREAK | DT_END_ELLIPSIS);
}

// (a report may close the window: a modal question runs its own message loop)
void NativeStation::DrainMailbox() { mailbox_->Drain(*this, [this] { return ended_; }); }

void NativeStation::OnPortState(const std::string& port, station::PortState state) {
  PortView& port_view = ports_[port];
  NativeTile& tile = port_view.tile;
  const station::PortState previous = port_view.state;
  port_view.state = state;
  switch (state) {
    case station::PortState::kWaiting:
      // the finished unit has been taken away: its outcome stays as one line
      if (previous == station::PortState::kPassed || previous == station::PortState::kFailed) {
        std::string last =
            tile.phase == NativeTile::Phase::kFail
                ? "Last unit: FAIL (" + std::to_string(tile.code) + ") " + tile.serial
                : "Last unit: PASS " + tile.serial;
        tile = NativeTile{};
        tile.message = last;
      }
      tile.phase = NativeTile::Phase::kWaiting;
      break;
    case station::PortState::kProgramming:
      tile.phase = NativeTile::Phase::kProgramming;
      break;
    case station::PortState::kReplug:
      tile.phase = NativeTile::Phase::kReplug;
      break;
    case station::PortState::kPassed:
      tile.phase = NativeTile::Phase::kPass;
      tile.remove = true;
      break;
    case station::PortState::kFailed:
      tile.phase = NativeTile::Phase::kFail;
      tile.remove = true;
      break;
    case station::PortState::kStopped:
      if (tile.phase != NativeTile::Phase::kFail && tile.phase != NativeTile::Phase::kPass) {
        tile.phase = NativeTile::Phase::kIdle;
        tile.percent = 0;
      }
      break;
  }
  ShowPort(port);  // the buttons follow the run, not a port's state
}

void NativeStation::OnPortProgress(const std::string& port, int percent) {
  NativeTile& tile = ports_[port].tile;
  if (tile.phase != NativeTile::Phase::kProgramming || tile.percent == percent) return;
  tile.percent = percent;
  ShowPort(port);
}

void NativeStation::OnPortMessage(const std::string& port, const std::string& text) {
  ports_[port].tile.message = text;
  ShowPort(port);
}

void NativeStation::OnUnitStarted(const std::string& port, const std::string& serial) {
  PortView& view = ports_[port];
  view.unit_started = clock_.Now();
  view.tile = NativeTile{};
  view.tile.phase = NativeTile::Phase::kProgramming;
  view.tile.serial = serial;
  view.tile.seconds = 0;
  ShowPort(port);
}

void NativeStation::OnStationProblem(const std::string& text) { SetStatus(text, true); }

void NativeStation::OnUnitFinished(const station::UnitReport& unit) {
  NativeTile& tile = ports_[unit.port].tile;
  tile.code = unit.exit;
  tile.message = unit.message;
  tile.seconds = std::chrono::duration<double>(unit.duration).count();
  tile.phase = unit.passed ? NativeTile::Phase::kPass : NativeTile::Phase::kFail;
  tile.remove = true;
  if (unit.log_failed) tile.message += "\nIts log row could not be completed.";
  ShowPort(unit.port);
  RefreshTotals();
  history_stale_ = true;  // read again at the next tick: units may end faster than that
}

void NativeStation::OnCoreStopped() {
  if (core_ == nullptr || !core_->running || ended_) return;
  core_->Join();
  core_->running = false;
  stopping_ = false;
  KillTimer(window_, kTickTimer);
  RefreshTotals();
  RefreshHistory();
  SetStatus("Stopped.");
  UpdateButtons();
}

void NativeStation::Tick() {
  const Clock::Duration now = clock_.Now();
  for (auto& [port, view] : ports_) {
    const NativeTile::Phase phase = view.tile.phase;
    if (phase != NativeTile::Phase::kProgramming && phase != NativeTile::Phase::kReplug) continue;
    view.tile.seconds = std::chrono::duration<double>(now - view.unit_started).count();
    ShowPort(port);
  }
  RefreshTotals();
  if (history_stale_) RefreshHistory();
}

station::StationTotals NativeStation::Totals() const {
  if (core_ == nullptr || core_->station == nullptr) return {};
  return core_->station->Totals();
}

std::string NativeStation::TotalsText() const {
  const station::StationTotals totals = Totals();
  const int ended = totals.passed + totals.failed;
  using Hours = std::chrono::duration<double, std::ratio<3600>>;
  const double hours = core_ == nullptr ? 0 : Hours(clock_.Now() - started_at_).count();
  std::string text = "Units " + std::to_string(totals.units) + "     Passed " +
                     std::to_string(totals.passed) + "     Failed " +
                     std::to_string(totals.failed) + "     Yield " +
                     (ended == 0 ? std::string("-") : Percent(100.0 * totals.passed / ended)) +
                     "     Units/h ";
  // under a minute of production the rate says nothing yet
  text += hours < 1.0 / 60.0 ? std::string("-")
                             : std::to_string(static_cast<long long>(totals.units / hours + 0.5));
  return text;
}

void NativeStation::RefreshTotals() {
  if (window_ != nullptr) SetWindowTextW(GetDlgItem(window_, kTotals), Widen(TotalsText()).c_str());
}

void NativeStation::RefreshHistory() {
  history_stale_ = false;
  if (core_ == nullptr || core_->log == nullptr || window_ == nullptr) return;
  prodlog::LogError error;
  const std::optional<std::vector<prodlog::UnitRecord>> rows = core_->log->Rows({}, &error);
  if (!rows) {
    SetStatus(error.message, true);
    return;
  }
  HWND list = GetDlgItem(window_, kHistory);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(list);
  int index = 0;
  for (auto it = rows->rbegin();
       it != rows->rend() && index < static_cast<int>(kHistoryRows); ++it) {
    std::string started = it->started.substr(0, 19);
    std::replace(started.begin(), started.end(), 'T', ' ');
    const std::string outcome =
        !it->finished ? "unfinished"
                      : it->exit_code == 0
                            ? "PASS"
                            : "FAIL (" + std::to_string(it->exit_code) + ") " + it->message;
    const std::string cells[] = {started, it->port, it->serial, outcome};
    std::wstring wide = Widen(cells[0]);
    LVITEMW row{};
    row.mask = LVIF_TEXT;
    row.iItem = index;
    row.pszText = wide.data();
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row));
    for (int column = 1; column < 4; ++column) {
      std::wstring cell = Widen(cells[column]);
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

std::vector<std::string> NativeStation::TilePorts() const {
  std::vector<std::string> ports;
  for (const auto& [port, view] : ports_) ports.push_back(port);
  return ports;
}

const NativeTile* NativeStation::Tile(const std::string& port) const {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : &it->second.tile;
}

void NativeStation::OnClose() {
  if (ended_) return;
  if (JobsRunning()) {
    // Stopping jobs half-way leaves chips without a header: only an explicit yes does it.
    const std::string question(kStopJobsQuestion);
    const bool stop = confirmer_ ? confirmer_(question)
                                 : MessageBoxW(window_, Widen(question).c_str(),
                                               Widen(app_name_).c_str(),
                                               MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
    if (!stop || ended_) return;
  }
  EndNow();
}

void NativeStation::EndNow() {
  if (ended_) return;
  ended_ = true;
  if (core_ != nullptr) {
    core_->StopNow();  // every port's dialog object ends as by its Exit: worker stopped, joined
    core_->running = false;
  }
  mailbox_->SetWake({});
  if (window_ != nullptr) {
    KillTimer(window_, kTickTimer);
    KillTimer(window_, kIdleTimer);
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    window_ = nullptr;
  }
}

}  // namespace qz::winapp
