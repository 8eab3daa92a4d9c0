// Host cost of the command reports against the virtual chip: time per EEPROM round trip
// (request encoded, written, reply read and matched) and memory held per open link. The chip
// runs on a manual clock, so no pause of the protocol costs real time; what is measured is our
// encoding, matching and the HID layer's calls, not USB.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "base/clock.h"
#include "hid/command_reports.h"
#include "hid/hid_link.h"
#include "sim/sim_hid_backend.h"
#include "sim/virtual_chip.h"

namespace {

// Heap bytes requested while `counting` is set: what opening a device allocates.
std::atomic<bool> counting{false};
std::atomic<std::size_t> counted_bytes{0};

}  // namespace

// Counting replacements of the global allocation functions; GCC cannot tell a replaced pair
// from a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) counted_bytes.fetch_add(size);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace {

struct OpenChip {
  qz::ManualClock clock;
  qz::sim::VirtualChip chip{clock};
  qz::sim::SimHidBackend backend{chip, clock};
  qz::HidLink link;

  OpenChip() {
    link.backend = &backend;
    link.clock = &clock;
    std::uint16_t output = 0;
    std::uint16_t input = 0;
    if (qz::OpenHidDevice(link, chip.VendorId(), chip.ProductId(), &output, &input) != 1) {
      std::abort();
    }
  }
};

// One 8-byte EEPROM write, acknowledged, as the worker's body loop sends them.
void BM_EepromWriteRoundTrip(benchmark::State& state) {
  OpenChip open;
  std::uint8_t sequence = 240;
  std::array<std::uint8_t, 8> data = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint16_t address = 0x7FF8;
  for (auto _ : state) {
    if (!qz::EepromTransfer(open.link, address, false, 8, data.data(), sequence)) {
      state.SkipWithError("write not acknowledged");
      break;
    }
    qz::AdvanceEepromSequence(sequence);
    address = address > 8 ? static_cast<std::uint16_t>(address - 8) : std::uint16_t{0x7FF8};
  }
  // The chip must really have decoded every request.
  state.counters["chip_transfers"] = static_cast<double>(open.chip.EepromTransfers());
}
BENCHMARK(BM_EepromWriteRoundTrip)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

// One 16-byte EEPROM read, as the read-back loop asks for them.
void BM_EepromReadRoundTrip(benchmark::State& state) {
  OpenChip open;
  std::uint8_t sequence = 240;
  std::array<std::uint8_t, 16> data{};
  std::uint16_t address = 0;
  for (auto _ : state) {
    if (!qz::EepromTransfer(open.link, address, true, 16, data.data(), sequence)) {
      state.SkipWithError("read not answered");
      break;
    }
    benchmark::DoNotOptimize(data);
    qz::AdvanceEepromSequence(sequence);
    address = static_cast<std::uint16_t>((address + 16) & 0x7FFF);
  }
  state.counters["chip_transfers"] = static_cast<double>(open.chip.EepromTransfers());
}
BENCHMARK(BM_EepromReadRoundTrip)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

// Memory per open link: the record itself, its two report buffers and what opening the device
// allocated (the device object and anything it holds; with the virtual chip that includes the
// chip's input queue for the new handle).
void BM_OpenLinkMemory(benchmark::State& state) {
  qz::ManualClock clock;
  qz::sim::VirtualChip chip{clock};
  qz::sim::SimHidBackend backend{chip, clock};
  std::size_t device_bytes = 0;
  std::size_t buffer_bytes = 0;
  for (auto _ : state) {
    qz::HidLink link;
    link.backend = &backend;
    buffer_bytes = link.request.capacity() + link.reply.capacity();
    const auto listed = backend.Enumerate();  // the listing is transient, not held by the link
    benchmark::DoNotOptimize(listed);
    counted_bytes = 0;
    counting = true;
    std::unique_ptr<qz::HidDevice> device = backend.Open(listed.front().path);
    counting = false;
    device_bytes = counted_bytes;
    link.device = std::move(device);
    benchmark::DoNotOptimize(link);
  }
  state.counters["sizeof_HidLink"] = static_cast<double>(sizeof(qz::HidLink));
  state.counters["buffer_bytes"] = static_cast<double>(buffer_bytes);
  state.counters["device_bytes"] = static_cast<double>(device_bytes);
  state.counters["total_bytes"] =
      static_cast<double>(sizeof(qz::HidLink) + buffer_bytes + device_bytes);
}
BENCHMARK(BM_OpenLinkMemory)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
