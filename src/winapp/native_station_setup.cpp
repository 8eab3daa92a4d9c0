// The native station window's setup form: the job, the dialog's own controls, the serial
// numbers, the log, the ports, Start and Stop, the totals and the history list.
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

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

}  // namespace

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
  field(L"Log", kLogEdit, L"a file, postgresql://HOST/DB or service=NAME; empty: the default log");
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
      {L"Started", 256}, {L"Port", 64}, {L"Serial", 100}, {L"Outcome", 390}};
  int index = 0;
  for (const auto& [name, width] : columns) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(name);
    column.cx = width;
    SendMessageW(history, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index++),
                 reinterpret_cast<LPARAM>(&column));
  }
  TotalsChanged();
}

// The dialog's controls of the setup, made from its control table (class, styles, caption, text
// limit) and placed in one column; the dialog's rules then drive them through production::StationSetup.

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
  for (int id : production::StationSetup::Controls()) {
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
  setup_ = std::make_unique<production::StationSetup>(*controls_, clock_, app_name_);
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
  RunChanged();
}

void NativeStation::ApplyLocks() {
  // The rules decide what is enabled within the dialog's controls: fixing the choices disables
  // them all, freeing them gives the rules' own states back. A job's settings are never edited,
  // and a station that requires signed jobs takes none but a job's.
  const bool running = Running();
  const bool fixed = setup_->ChoicesFixed(running);
  if (fixed) {
    if (frozen_.empty()) {
      for (int id : production::StationSetup::Controls()) frozen_[id] = controls_->IsEnabled(id);
    }
    for (int id : production::StationSetup::Controls()) EnableWindow(GetDlgItem(window_, id), FALSE);
  } else if (!frozen_.empty()) {
    for (const auto& [id, enabled] : frozen_) {
      EnableWindow(GetDlgItem(window_, id), enabled ? TRUE : FALSE);
    }
    frozen_.clear();
  }
  for (int id : {kSerialFormatEdit, kNextSerialEdit}) {
    EnableWindow(GetDlgItem(window_, id), fixed ? FALSE : TRUE);
  }
  for (int id : {kPortsEdit, kLoadJob}) {
    EnableWindow(GetDlgItem(window_, id), running ? FALSE : TRUE);
  }
  // read-only rather than greyed out: the operator reads the line a locked station records to
  SendDlgItemMessageW(window_, kLogEdit, EM_SETREADONLY, setup_->LogFixed(running) ? TRUE : FALSE,
                      0);
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
  RunChanged();
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
    presenter_->Note("Ready: press Start.");
  } else {
    presenter_->Note("Job refused.", true);
  }
  ShowSetup();
  RunChanged();
  return loaded;
}


}  // namespace qz::winapp
