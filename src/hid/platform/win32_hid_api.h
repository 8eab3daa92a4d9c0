#pragma once

// The setupapi, hid and kernel calls the Windows HID adapter makes, as one table of function
// pointers, so that tests can put a substitute bus in place of the system's.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}

namespace qz {

struct Win32HidApi {
  // setupapi and hid
  void(WINAPI* GetHidGuid)(LPGUID guid);
  HDEVINFO(WINAPI* GetClassDevs)(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags);
  BOOL(WINAPI* EnumDeviceInterfaces)(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid,
                                     DWORD index, PSP_DEVICE_INTERFACE_DATA interface_data);
  BOOL(WINAPI* GetDeviceInterfaceDetail)(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interface_data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                         DWORD detail_size, PDWORD required_size,
                                         PSP_DEVINFO_DATA info);
  BOOL(WINAPI* DestroyDeviceInfoList)(HDEVINFO set);
  BOOLEAN(WINAPI* GetAttributes)(HANDLE device, PHIDD_ATTRIBUTES attributes);
  BOOLEAN(WINAPI* GetSerialNumberString)(HANDLE device, PVOID buffer, ULONG bytes);
  BOOLEAN(WINAPI* GetPreparsedData)(HANDLE device, PHIDP_PREPARSED_DATA* data);
  NTSTATUS(WINAPI* GetCaps)(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);
  BOOLEAN(WINAPI* FreePreparsedData)(PHIDP_PREPARSED_DATA data);
  // kernel
  HANDLE(WINAPI* CreateFileA)(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE template_file);
  BOOL(WINAPI* WriteFile)(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                          LPOVERLAPPED overlapped);
  BOOL(WINAPI* ReadFile)(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                         LPOVERLAPPED overlapped);
  BOOL(WINAPI* GetOverlappedResult)(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                                    BOOL wait);
  BOOL(WINAPI* CancelIo)(HANDLE file);
  HANDLE(WINAPI* CreateEventA)(LPSECURITY_ATTRIBUTES security, BOOL manual_reset,
                              BOOL initial_state, LPCSTR name);
  BOOL(WINAPI* ResetEvent)(HANDLE event);
  DWORD(WINAPI* WaitForSingleObject)(HANDLE object, DWORD milliseconds);
  BOOL(WINAPI* CloseHandle)(HANDLE object);
  void(WINAPI* SetLastError)(DWORD error);
  DWORD(WINAPI* GetLastError)();
};

// The system's own calls.
[[nodiscard]] const Win32HidApi& SystemWin32HidApi();

// A handle is valid when it is neither null nor INVALID_HANDLE_VALUE.
[[nodiscard]] inline bool IsValidHandle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace qz
