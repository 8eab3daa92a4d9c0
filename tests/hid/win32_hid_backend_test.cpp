// The Windows HID adapter against a substitute for setupapi, hid and the kernel's file calls:
// the walk's last-error rules and early ends, the detail record's size field, the two handles,
// the capabilities, and the overlapped read's wait, time-out and cancel.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hid/hid_link.h"
#include "hid/platform/win32_hid_backend.h"

namespace qz {
namespace {

// One interface of the substitute bus, by its setupapi index.
struct FakeInterface {
  std::string path;
  USHORT vid = 0x1D6C;
  USHORT pid = 0x6841;
  bool enumerates = true;
  DWORD size_query_error = ERROR_INSUFFICIENT_BUFFER;
  bool opens = true;           // with flags 0
  bool opens_overlapped = true;
  bool has_attributes = true;
  NTSTATUS caps_status = 0x00110000;
  std::wstring serial = {};
};

// How the next overlapped read goes.
enum class ReadPlan { kAtOnce, kLater, kLaterWithError, kNever, kWaitFails };

struct FakeBus {
  bool set_available = true;
  std::vector<FakeInterface> interfaces;
  DWORD last_error = 0;
  int open_handles = 0;
  int preparsed_out = 0;
  std::vector<DWORD> detail_sizes;  // cbSize seen by each detail fetch
  std::vector<std::pair<std::string, DWORD>> opens;  // path and flags of each CreateFileA
  std::map<HANDLE, std::string> handle_paths;
  int next_handle = 0x100;
  ReadPlan read_plan = ReadPlan::kAtOnce;
  DWORD read_count = 0;
  DWORD waited_ms = 0;
  int cancels = 0;
  bool event_signalled = false;
  std::vector<std::uint8_t> last_write;
};

FakeBus* bus = nullptr;

const FakeInterface* ByPath(const std::string& path) {
  for (const FakeInterface& entry : bus->interfaces) {
    if (entry.path == path) return &entry;
  }
  return nullptr;
}
const FakeInterface* ByHandle(HANDLE handle) {
  const auto found = bus->handle_paths.find(handle);
  return found == bus->handle_paths.end() ? nullptr : ByPath(found->second);
}
HANDLE NewHandle(const std::string& path) {
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(bus->next_handle++));
  bus->handle_paths[handle] = path;
  ++bus->open_handles;
  return handle;
}
HDEVINFO const kSet = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0x50));

const Win32HidApi kFakeApi{
    [](LPGUID guid) { *guid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0, 0x11, 0x11, 0, 0, 0x30}}; },
    [](const GUID*, PCSTR, HWND, DWORD flags) -> HDEVINFO {
      EXPECT_EQ(flags, 0x12u);
      return bus->set_available ? kSet : INVALID_HANDLE_VALUE;
    },
    [](HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) -> BOOL {
      EXPECT_EQ(data->cbSize, sizeof(SP_DEVICE_INTERFACE_DATA));
      if (index >= bus->interfaces.size()) {
        bus->last_error = ERROR_NO_MORE_ITEMS;
        return FALSE;
      }
      data->Reserved = index;
      if (!bus->interfaces[index].enumerates) bus->last_error = ERROR_INVALID_PARAMETER;
      return bus->interfaces[index].enumerates;
    },
    [](HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
       DWORD size, PDWORD required, PSP_DEVINFO_DATA) -> BOOL {
      const FakeInterface& entry = bus->interfaces[data->Reserved];
      const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                              entry.path.size() + 1);
      if (detail == nullptr) {
        if (required != nullptr) *required = needed;
        bus->last_error = entry.size_query_error;
        return FALSE;
      }
      bus->detail_sizes.push_back(detail->cbSize);
      if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || size < needed) return FALSE;
      std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
      return TRUE;
    },
    [](HDEVINFO set) -> BOOL { return set == kSet; },
    [](HANDLE handle, PHIDD_ATTRIBUTES attributes) -> BOOLEAN {
      const FakeInterface* entry = ByHandle(handle);
      if (entry == nullptr || !entry->has_attributes) return FALSE;
      attributes->VendorID = entry->vid;
      attributes->ProductID = entry->pid;
      return TRUE;
    },
    [](HANDLE handle, PVOID buffer, ULONG bytes) -> BOOLEAN {
      const FakeInterface* entry = ByHandle(handle);
      if (entry == nullptr || entry->serial.empty()) return FALSE;
      if ((entry->serial.size() + 1) * sizeof(wchar_t) > bytes) return FALSE;
      std::memcpy(buffer, entry->serial.c_str(), (entry->serial.size() + 1) * sizeof(wchar_t));
      return TRUE;
    },
    [](HANDLE handle, PHIDP_PREPARSED_DATA* data) -> BOOLEAN {
      if (ByHandle(handle) == nullptr) return FALSE;
      *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(handle);
      ++bus->preparsed_out;
      return TRUE;
    },
    [](PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) -> NTSTATUS {
      const FakeInterface* entry = ByHandle(reinterpret_cast<HANDLE>(data));
      caps->InputReportByteLength = 65;
      caps->OutputReportByteLength = 65;
      return entry->caps_status;
    },
    [](PHIDP_PREPARSED_DATA) -> BOOLEAN {
      --bus->preparsed_out;
      return TRUE;
    },
    [](LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
       DWORD flags, HANDLE) -> HANDLE {
      EXPECT_EQ(access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
      EXPECT_EQ(share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
      EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING));
      bus->opens.emplace_back(path, flags);
      const FakeInterface* entry = ByPath(path);
      const bool ok = entry != nullptr &&
                      (flags == FILE_FLAG_OVERLAPPED ? entry->opens_overlapped : entry->opens);
      return ok ? NewHandle(path) : INVALID_HANDLE_VALUE;
    },
    [](HANDLE, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) -> BOOL {
      EXPECT_EQ(overlapped, nullptr);
      const auto* bytes = static_cast<const std::uint8_t*>(buffer);
      bus->last_write.assign(bytes, bytes + size);
      *written = size;
      return TRUE;
    },
    [](HANDLE, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) -> BOOL {
      EXPECT_NE(overlapped, nullptr);
      static_cast<std::uint8_t*>(buffer)[0] = 0;
      static_cast<std::uint8_t*>(buffer)[size - 1] = 0x5A;
      overlapped->Internal = 0;
      overlapped->InternalHigh = bus->read_count;
      switch (bus->read_plan) {
        case ReadPlan::kAtOnce:
          *read = bus->read_count;
          bus->event_signalled = true;
          return TRUE;
        case ReadPlan::kLater:
        case ReadPlan::kLaterWithError:
          bus->event_signalled = true;
          break;
        case ReadPlan::kNever:
        case ReadPlan::kWaitFails:
          break;
      }
      bus->last_error = ERROR_IO_PENDING;
      return FALSE;
    },
    [](HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL) -> BOOL {
      if (bus->read_plan == ReadPlan::kLaterWithError || bus->read_plan == ReadPlan::kNever) {
        bus->last_error = bus->read_plan == ReadPlan::kNever ? ERROR_OPERATION_ABORTED
                                                             : ERROR_DEVICE_NOT_CONNECTED;
        return FALSE;
      }
      *transferred = static_cast<DWORD>(overlapped->InternalHigh);
      return TRUE;
    },
    [](HANDLE) -> BOOL {
      ++bus->cancels;
      return TRUE;
    },
    [](LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCSTR name) -> HANDLE {
      EXPECT_TRUE(manual && initial && name == nullptr);
      bus->event_signalled = true;
      return NewHandle("event");
    },
    [](HANDLE) -> BOOL {
      bus->event_signalled = false;
      return TRUE;
    },
    [](HANDLE, DWORD milliseconds) -> DWORD {
      bus->waited_ms = milliseconds;
      if (bus->read_plan == ReadPlan::kWaitFails) return WAIT_FAILED;
      return bus->event_signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    },
    [](HANDLE handle) -> BOOL {
      bus->handle_paths.erase(handle);
      --bus->open_handles;
      return TRUE;
    },
    [](DWORD error) { bus->last_error = error; },
    []() -> DWORD { return bus->last_error; },
};

class Win32HidBackendTest : public testing::Test {
 protected:
  void SetUp() override {
    bus = &bus_;
    link_.backend = &backend_;
  }
  void TearDown() override {
    CloseHidLink(link_);
    EXPECT_EQ(bus_.open_handles, 0);
    bus = nullptr;
  }

  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const HidDeviceInfo& info : backend_.Enumerate()) paths.push_back(info.path);
    return paths;
  }
  int Search(std::uint16_t pid = 0x6841) {
    return OpenHidDevice(link_, 0x1D6C, pid, &output_length_, &input_length_);
  }

  FakeBus bus_;
  Win32HidBackend backend_{kFakeApi};
  HidLink link_;
  std::uint16_t output_length_ = 0xAAAA;
  std::uint16_t input_length_ = 0xAAAA;
};

TEST_F(Win32HidBackendTest, TheWalkSkipsWhatItCannotUseAndEndsWhereTheRulesSay) {
  bus_.interfaces = {{"a"}, {"b"}, {"c"}, {"d"}, {"e"}, {"f"}};
  bus_.interfaces[1].enumerates = false;
  bus_.interfaces[2].opens = false;
  bus_.interfaces[3].has_attributes = false;
  bus_.interfaces[4].serial = L"QZ-\u00e9001";
  EXPECT_EQ(Paths(), (std::vector<std::string>{"a", "e", "f"}));
  const std::vector<HidDeviceInfo> listed = backend_.Enumerate();
  EXPECT_EQ(listed[1].serial, "QZ-\xc3\xa9" "001") << "UTF-16 serial as UTF-8";
  EXPECT_EQ(listed[0].serial, "");
  EXPECT_EQ(bus_.open_handles, 0) << "every identity handle is closed again";
  for (DWORD size : bus_.detail_sizes) EXPECT_EQ(size, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));

  // a size query that does not ask for a buffer ends the walk there
  bus_.interfaces[4].size_query_error = ERROR_INVALID_USER_BUFFER;
  EXPECT_EQ(Paths(), (std::vector<std::string>{"a"}));

  bus_.set_available = false;
  EXPECT_TRUE(Paths().empty());
}

TEST_F(Win32HidBackendTest, TheSearchTakesTheLowestOfIndices0To255) {
  for (int index = 0; index < 300; ++index) {
    FakeInterface entry{"other" + std::to_string(index)};
    entry.pid = 0x1234;
    bus_.interfaces.push_back(entry);
  }
  bus_.interfaces[256] = {"too-far"};
  EXPECT_EQ(Search(), 0);
  EXPECT_EQ(output_length_, 0);
  EXPECT_EQ(input_length_, 0);
  bus_.interfaces[255] = {"last"};
  bus_.interfaces[254] = {"lower"};
  bus_.opens.clear();
  ASSERT_EQ(Search(), 1);
  EXPECT_EQ(input_length_, 65);
  EXPECT_EQ(output_length_, 65);
  // after the walk: the write handle (flags 0), then the overlapped read handle
  ASSERT_GE(bus_.opens.size(), 2u);
  EXPECT_EQ(bus_.opens[bus_.opens.size() - 2], (std::pair<std::string, DWORD>{"lower", 0}));
  EXPECT_EQ(bus_.opens.back(), (std::pair<std::string, DWORD>{"lower", FILE_FLAG_OVERLAPPED}));
  EXPECT_EQ(bus_.open_handles, 3) << "write handle, read handle and read event";
  CloseHidLink(link_);
  EXPECT_EQ(bus_.open_handles, 0);
}

TEST_F(Win32HidBackendTest, ADeviceWithoutCapabilitiesOrReadHandleIsPassedOver) {
  bus_.interfaces = {{"no-caps"}, {"no-read"}, {"good"}};
  bus_.interfaces[0].caps_status = HIDP_STATUS_INVALID_PREPARSED_DATA;
  bus_.interfaces[1].opens_overlapped = false;
  EXPECT_EQ(backend_.Open("no-caps"), nullptr);
  EXPECT_EQ(backend_.Open("no-read"), nullptr);
  EXPECT_EQ(bus_.open_handles, 0);
  EXPECT_EQ(bus_.preparsed_out, 0) << "the preparsed data goes back whatever the status";
  ASSERT_EQ(Search(), 1);
  EXPECT_EQ(bus_.opens.back().first, "good");
}

TEST_F(Win32HidBackendTest, ReadsAreDecidedByTheWaitOnTheReadEvent) {
  bus_.interfaces = {{"chip"}};
  ASSERT_EQ(Search(), 1);
  std::vector<std::uint8_t> buffer(65, 0xEE);
  struct Case {
    const char* name;
    ReadPlan plan;
    DWORD count;
    int expected;
    int cancels;
  };
  const Case cases[] = {
      {"completed in the call", ReadPlan::kAtOnce, 65, 65, 0},
      {"completed after the call", ReadPlan::kLater, 65, 65, 0},
      {"completed short after the call", ReadPlan::kLater, 9, 9, 0},
      {"ended in an error (unplugged)", ReadPlan::kLaterWithError, 65, 0, 0},
      {"no report within the time-out", ReadPlan::kNever, 0, -1, 1},
      {"the wait itself failed", ReadPlan::kWaitFails, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bus_.read_plan = c.plan;
    bus_.read_count = c.count;
    bus_.cancels = 0;
    EXPECT_EQ(ReadInputReport(link_, buffer.data()), c.expected);
    EXPECT_EQ(bus_.waited_ms, 5000u);
    EXPECT_EQ(bus_.cancels, c.cancels);
    EXPECT_FALSE(bus_.event_signalled) << "the event is reset before the read returns";
  }
  std::vector<std::uint8_t> report(65, 0x11);
  EXPECT_EQ(WriteOutputReport(link_, report.data()), 65);
  EXPECT_EQ(bus_.last_write, report);
}

}  // namespace
}  // namespace qz
