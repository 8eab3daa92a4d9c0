// The native station window's tiles: one per port, laid out in a grid and painted by the window.
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

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

std::string NativeStation::StateText(const NativeTile& tile) {
  return production::TileStateText(tile);
}

std::vector<std::string> NativeStation::TilePorts() const {
  std::vector<std::string> ports;
  for (const auto& [port, tile] : presenter_->Tiles()) ports.push_back(port);
  return ports;
}

const NativeTile* NativeStation::Tile(const std::string& port) const {
  return presenter_->Tile(port);
}

void NativeStation::TilesChanged() {
  for (auto it = boxes_.begin(); it != boxes_.end();) {
    if (presenter_->Tile(it->first) != nullptr) {
      ++it;
      continue;
    }
    DestroyWindow(it->second);
    it = boxes_.erase(it);
  }
  LayoutTiles();
}

void NativeStation::TileChanged(const std::string& port) {
  const NativeTile* tile = presenter_->Tile(port);
  if (tile == nullptr || window_ == nullptr) return;
  if (boxes_.count(port) == 0) LayoutTiles();
  if (auto it = boxes_.find(port); it != boxes_.end()) InvalidateRect(it->second, nullptr, TRUE);
  if (tile_hook_) tile_hook_(port, *tile);
}

void NativeStation::LayoutTiles() {
  if (window_ == nullptr) return;
  const int count = static_cast<int>(presenter_->Tiles().size());
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
  for (const auto& [port, tile] : presenter_->Tiles()) {
    const int x = left + (index % columns) * (tile_w + kMargin);
    const int y = top + (index / columns) * (tile_h + kMargin);
    HWND& box = boxes_[port];
    if (box == nullptr) {
      box = CreateWindowExW(0, L"STATIC", Widen(port).c_str(),
                                 WS_CHILD | WS_VISIBLE | SS_OWNERDRAW, x, y, tile_w, tile_h,
                                 window_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstTile + index)),
                                 instance_, nullptr);
    } else {
      MoveWindow(box, x, y, tile_w, tile_h, TRUE);
    }
    ++index;
  }
}

void NativeStation::DrawTile(const DRAWITEMSTRUCT& item) {
  const NativeTile* tile = nullptr;
  std::string port;
  for (const auto& [name, box] : boxes_) {
    if (box == item.hwndItem) {
      tile = presenter_->Tile(name);
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

}  // namespace qz::winapp
