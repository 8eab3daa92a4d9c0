#include "scripted_hid.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace qz::test {

namespace {

const char* KindName(ScriptRow::Kind kind) {
  switch (kind) {
    case ScriptRow::Kind::kOut: return "Out";
    case ScriptRow::Kind::kWriteFails: return "WriteFails";
    case ScriptRow::Kind::kIn: return "In";
    case ScriptRow::Kind::kInShort: return "InShort";
    case ScriptRow::Kind::kTimeout: return "Timeout";
    case ScriptRow::Kind::kNoRead: return "NoRead";
  }
  return "?";
}

std::string Hex2(std::uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

// Expected and actual, 16 bytes a line, with the differing bytes marked; only lines that differ.
std::string HexDiff(const std::vector<std::uint8_t>& expected,
                    const std::vector<std::uint8_t>& actual) {
  std::ostringstream out;
  const std::size_t length = std::max(expected.size(), actual.size());
  for (std::size_t line = 0; line < length; line += 16) {
    std::string exp_text, act_text, marks;
    bool differs = false;
    for (std::size_t i = line; i < std::min(line + 16, length); ++i) {
      const bool has_exp = i < expected.size();
      const bool has_act = i < actual.size();
      exp_text += has_exp ? Hex2(expected[i]) + " " : "-- ";
      act_text += has_act ? Hex2(actual[i]) + " " : "-- ";
      const bool same = has_exp && has_act && expected[i] == actual[i];
      marks += same ? "   " : "^^ ";
      differs = differs || !same;
    }
    if (!differs) continue;
    out << "  @" << Hex2(static_cast<std::uint8_t>(line)) << " expected " << exp_text << "\n"
        << "      actual   " << act_text << "\n"
        << "               " << marks << "\n";
  }
  return out.str();
}

}  // namespace

ScriptRow Out(std::initializer_list<std::uint8_t> bytes) {
  return {ScriptRow::Kind::kOut, bytes};
}
ScriptRow WriteFails(std::initializer_list<std::uint8_t> bytes) {
  return {ScriptRow::Kind::kWriteFails, bytes};
}
ScriptRow In(std::vector<std::uint8_t> bytes) { return {ScriptRow::Kind::kIn, std::move(bytes)}; }
ScriptRow InShort(std::vector<std::uint8_t> bytes) {
  return {ScriptRow::Kind::kInShort, std::move(bytes)};
}
ScriptRow Timeout() { return {ScriptRow::Kind::kTimeout, {}}; }
ScriptRow NoRead() { return {ScriptRow::Kind::kNoRead, {}}; }

ScriptRow Reply(std::uint8_t sequence, std::uint8_t value, std::vector<std::uint8_t> data) {
  std::vector<std::uint8_t> bytes(9, 0);
  bytes[7] = sequence;
  bytes[8] = value;
  bytes.insert(bytes.end(), data.begin(), data.end());
  return In(std::move(bytes));
}

std::string HexDump(const std::vector<std::uint8_t>& bytes) {
  std::ostringstream out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) out << (i == 0 ? "" : "\n") << "  @" << Hex2(static_cast<std::uint8_t>(i));
    out << ' ' << Hex2(bytes[i]);
  }
  return out.str();
}

struct ScriptedHid::State {
  mutable std::mutex mutex;
  std::vector<ScriptRow> script;
  std::vector<ScriptedInterface> interfaces;
  std::size_t next = 0;
  bool deviated = false;
  std::vector<std::string> opened;
  std::size_t writes = 0;
  std::size_t reads = 0;
  std::chrono::milliseconds last_timeout{-1};

  // Reports the first deviation; later ones are consequences and stay quiet.
  void Deviate(const std::string& what) {
    if (deviated) return;
    deviated = true;
    ADD_FAILURE() << "scripted HID: row " << next << ": " << what;
  }
};

namespace {

class ScriptedDevice final : public HidDevice {
 public:
  ScriptedDevice(std::shared_ptr<ScriptedHid::State> state, const ScriptedInterface& interface)
      : state_(std::move(state)), input_(interface.input_length),
        output_(interface.output_length) {}

  [[nodiscard]] std::uint16_t InputReportLength() const override { return input_; }
  [[nodiscard]] std::uint16_t OutputReportLength() const override { return output_; }

  int Write(std::span<const std::uint8_t> report) override {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->writes;
    const std::vector<std::uint8_t> actual(report.begin(), report.end());
    if (state_->deviated) return -1;
    if (state_->next >= state_->script.size()) {
      state_->Deviate("write past the end of the script:\n" + HexDump(actual));
      return -1;
    }
    const ScriptRow& row = state_->script[state_->next];
    if (row.kind != ScriptRow::Kind::kOut && row.kind != ScriptRow::Kind::kWriteFails) {
      state_->Deviate(std::string("expected ") + KindName(row.kind) + ", got a write:\n" +
                      HexDump(actual));
      return -1;
    }
    if (report.size() != output_) {
      state_->Deviate("write of " + std::to_string(report.size()) + " bytes, output length " +
                      std::to_string(output_));
      return -1;
    }
    std::vector<std::uint8_t> expected = row.bytes;
    if (expected.size() < actual.size()) expected.resize(actual.size(), 0);
    if (expected != actual) {
      state_->Deviate("written report differs:\n" + HexDiff(expected, actual));
      return -1;
    }
    ++state_->next;
    return row.kind == ScriptRow::Kind::kOut ? static_cast<int>(report.size()) : -1;
  }

  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->reads;
    state_->last_timeout = timeout;
    if (state_->deviated) return -1;
    if (state_->next >= state_->script.size()) {
      state_->Deviate("read past the end of the script");
      return -1;
    }
    const ScriptRow& row = state_->script[state_->next];
    switch (row.kind) {
      case ScriptRow::Kind::kTimeout: ++state_->next; return -1;
      case ScriptRow::Kind::kNoRead: ++state_->next; return 0;
      case ScriptRow::Kind::kIn:
      case ScriptRow::Kind::kInShort: {
        const std::size_t count =
            row.kind == ScriptRow::Kind::kIn ? report.size() : row.bytes.size();
        if (row.bytes.size() > report.size() || count == 0) {
          state_->Deviate("reply of " + std::to_string(row.bytes.size()) +
                          " bytes does not fit a read of " + std::to_string(report.size()));
          return -1;
        }
        std::fill(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(count), 0);
        std::copy(row.bytes.begin(), row.bytes.end(), report.begin());
        ++state_->next;
        return static_cast<int>(count);
      }
      case ScriptRow::Kind::kOut:
      case ScriptRow::Kind::kWriteFails:
        state_->Deviate("expected a write of\n" + HexDump(row.bytes) + "\ngot a read");
        return -1;
    }
    return -1;
  }

 private:
  std::shared_ptr<ScriptedHid::State> state_;
  std::uint16_t input_;
  std::uint16_t output_;
};

}  // namespace

ScriptedHid::ScriptedHid(std::vector<ScriptRow> script) : state_(std::make_shared<State>()) {
  state_->script = std::move(script);
  state_->interfaces.push_back({{"scripted:0", 0x1D6C, 0x6841}});
}

void ScriptedHid::SetInterfaces(std::vector<ScriptedInterface> interfaces) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->interfaces = std::move(interfaces);
}

void ScriptedHid::Append(std::vector<ScriptRow> rows) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->script.insert(state_->script.end(), std::make_move_iterator(rows.begin()),
                        std::make_move_iterator(rows.end()));
}

std::vector<HidDeviceInfo> ScriptedHid::Enumerate() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<HidDeviceInfo> list;
  list.reserve(state_->interfaces.size());
  for (const ScriptedInterface& interface : state_->interfaces) list.push_back(interface.info);
  return list;
}

std::unique_ptr<HidDevice> ScriptedHid::Open(const std::string& path) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->opened.push_back(path);
  for (const ScriptedInterface& interface : state_->interfaces) {
    if (interface.info.path != path) continue;
    if (!interface.openable) return nullptr;
    return std::make_unique<ScriptedDevice>(state_, interface);
  }
  return nullptr;
}

testing::AssertionResult ScriptedHid::Finished() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->deviated) return testing::AssertionFailure() << "the transcript deviated";
  if (state_->next != state_->script.size()) {
    return testing::AssertionFailure()
           << "rows " << state_->next << ".." << state_->script.size() - 1 << " not played (next: "
           << KindName(state_->script[state_->next].kind) << ")";
  }
  return testing::AssertionSuccess();
}

std::vector<std::string> ScriptedHid::OpenedPaths() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->opened;
}

std::size_t ScriptedHid::RowsPlayed() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->next;
}

std::size_t ScriptedHid::Writes() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->writes;
}

std::size_t ScriptedHid::Reads() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->reads;
}

std::chrono::milliseconds ScriptedHid::LastReadTimeout() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->last_timeout;
}

bool ScriptedHid::OpenLink(HidLink& link) {
  HidDeviceInfo first;
  {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->interfaces.empty()) return false;
    first = state_->interfaces.front().info;
  }
  link.backend = this;
  std::uint16_t output = 0;
  std::uint16_t input = 0;
  return OpenHidDevice(link, first.vendor_id, first.product_id, &output, &input) == 1;
}

}  // namespace qz::test
