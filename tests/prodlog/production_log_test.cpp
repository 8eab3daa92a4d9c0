// The production log: serial numbers across connections and processes, the release rule,
// unfinished rows, and the log's failures.
#include <gtest/gtest.h>

#include <sqlite3.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/file_path.h"
#include "prodlog/production_log.h"
#ifdef _WIN32
#include "support/child_process.h"
#include "support/sample_images.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace qz::prodlog {
namespace {

namespace fs = std::filesystem;

class ProductionLogTest : public testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    scratch_ = std::make_unique<test::ScratchDir>();
    // a name beyond the ANSI code page: the log reaches the file through the wide functions
    dir_ = PathFromUtf8(scratch_->path()) / PathFromUtf8("journal \xCE\xB1\xCF\x89");
    fs::create_directories(dir_);
#else
    char pattern[] = "/tmp/qz_production_log_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    chmod(pattern, 0755);
#endif
    path_ = PathToUtf8(dir_ / "production.sqlite3");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::unique_ptr<ProductionLog> OpenLog(const LogOptions& options = {}) const {
    LogError error;
    auto log = ProductionLog::Open(path_, &error, options);
    EXPECT_TRUE(log) << error.message;
    return log;
  }

  static UnitStart Start(const std::string& port, const std::string& format = "L7-####",
                         std::uint64_t first = 1) {
    UnitStart start;
    start.station = "bench-a";
    start.port = port;
    start.image_path = "/images/fw.bin";
    start.image_sha256 = std::string(64, 'a');
    start.mode = "factory";
    start.write_length = 0x8000;
    start.overrides = {{"product", "Qz \"Pro\""}};
    if (!format.empty()) start.serial_format = SerialFormat::Parse(format, nullptr);
    start.serial_start = first;
    return start;
  }

  static UnitEnd End(bool touched, int exit_code = 0) {
    UnitEnd end;
    end.exit_code = exit_code;
    end.message = exit_code == 0 ? "Write to EEPROM OK!" : "failed";
    end.duration_ms = 1000;
    end.eeprom_touched = touched;
    return end;
  }

  // Begins and completes `count` units on `log`; returns their serials.
  static std::vector<std::string> Program(ProductionLog& log, int count, bool touched) {
    std::vector<std::string> serials;
    for (int i = 0; i < count; ++i) {
      LogError error;
      const auto unit = log.BeginUnit(Start("1-1"), &error);
      if (!unit) {
        ADD_FAILURE() << error.message;
        break;
      }
      EXPECT_TRUE(log.CompleteUnit(unit->unit_id, End(touched), &error)) << error.message;
      serials.push_back(unit->serial);
    }
    return serials;
  }

  std::vector<UnitRecord> Rows() const {
    auto log = OpenLog();
    LogError error;
    auto rows = log->Rows({}, &error);
    EXPECT_TRUE(rows) << error.message;
    return rows ? *rows : std::vector<UnitRecord>{};
  }

  fs::path dir_;
  std::string path_;
#ifdef _WIN32
  std::unique_ptr<test::ScratchDir> scratch_;
#endif
};

#ifdef _WIN32
// The second process of the race below: programs its units into the log its argument names.
constexpr int kRaceUnits = 40;
TEST_F(ProductionLogTest, ChildProgramsUnits) {
  const std::string path = test::ChildArgument();
  if (path.empty()) GTEST_SKIP() << "run by ProcessesSharingTheFileNeverGetTheSameNumber";
  auto log = ProductionLog::Open(path, nullptr);
  ASSERT_TRUE(log);
  EXPECT_EQ(Program(*log, kRaceUnits, true).size(), std::size_t{kRaceUnits});
}
#endif

TEST_F(ProductionLogTest, ProcessesSharingTheFileNeverGetTheSameNumber) {
  ASSERT_TRUE(OpenLog());  // the schema exists before the race
#ifdef _WIN32
  constexpr int kUnits = kRaceUnits;
  test::ChildTest child("ProductionLogTest.ChildProgramsUnits", path_);
  ASSERT_TRUE(child.Started());
  auto log = OpenLog();
  const auto mine = Program(*log, kUnits, true);
  ASSERT_EQ(child.Wait(), 0);
#else
  constexpr int kUnits = 40;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto log = ProductionLog::Open(path_, nullptr);
    const bool ok = log && Program(*log, kUnits, true).size() == kUnits;
    _exit(ok ? 0 : 1);
  }
  auto log = OpenLog();
  const auto mine = Program(*log, kUnits, true);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif

  std::set<std::string> serials;
  for (const UnitRecord& row : Rows()) serials.insert(row.serial);
  EXPECT_EQ(serials.size(), 2u * kUnits);
  EXPECT_EQ(*serials.begin(), "L7-0001");
  EXPECT_EQ(*serials.rbegin(), "L7-0080");
}

TEST_F(ProductionLogTest, ConnectionsSharingTheFileNeverHoldTheSameNumber) {
  ASSERT_TRUE(OpenLog());
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([this, t] {
      auto log = ProductionLog::Open(path_, nullptr);
      ASSERT_TRUE(log);
      for (int i = 0; i < 20; ++i) (void)Program(*log, 1, (i + t) % 3 != 0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  // a released number may come back, a kept one never
  std::set<std::string> kept;
  for (const UnitRecord& row : Rows()) {
    if (!row.serial_released) {
      EXPECT_TRUE(kept.insert(row.serial).second) << row.serial;
    }
  }
}

TEST_F(ProductionLogTest, OnlyUntouchedNumbersComeBackLowestFirst) {
  auto log = OpenLog();
  LogError error;
  const auto a = log->BeginUnit(Start("1-1"), &error);  // L7-0001: touched, kept
  const auto b = log->BeginUnit(Start("1-2"), &error);  // L7-0002: untouched, released
  const auto c = log->BeginUnit(Start("1-3"), &error);  // L7-0003: never completed
  const auto d = log->BeginUnit(Start("1-4"), &error);  // L7-0004: untouched, released
  ASSERT_TRUE(a && b && c && d) << error.message;
  ASSERT_TRUE(log->CompleteUnit(a->unit_id, End(true, 7), &error));
  ASSERT_TRUE(log->CompleteUnit(d->unit_id, End(false, 22), &error));
  ASSERT_TRUE(log->CompleteUnit(b->unit_id, End(false, 22), &error));
  EXPECT_FALSE(log->CompleteUnit(b->unit_id, End(true), &error));  // once only
  EXPECT_EQ(error.kind, LogError::Kind::kUsage);
  log.reset();  // a restart: unit c stays unfinished, as after a crash

  log = OpenLog();
  EXPECT_EQ(Program(*log, 3, true), (std::vector<std::string>{"L7-0002", "L7-0004", "L7-0005"}));
  // a later start skips lower released numbers but never goes back below the counter
  EXPECT_EQ(log->BeginUnit(Start("1-1", "L7-####", 3), &error)->serial, "L7-0006");

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows[1].serial, "L7-0002");
  EXPECT_TRUE(rows[1].serial_released);
  EXPECT_FALSE(rows[2].finished);  // c
  EXPECT_EQ(rows[2].serial, "L7-0003");
  EXPECT_FALSE(rows[7].finished);
  EXPECT_EQ(rows[0].overrides_json, R"({"product":"Qz \"Pro\"","serial":"L7-0001"})");
}

TEST_F(ProductionLogTest, ACounterThatOutgrowsItsRunStopsWithoutARow) {
  auto log = OpenLog();
  LogError error;
  const auto eight = log->BeginUnit(Start("1-1", "U#", 8), &error);
  const auto nine = log->BeginUnit(Start("1-1", "U#", 8), &error);
  ASSERT_TRUE(eight && nine);
  EXPECT_FALSE(log->BeginUnit(Start("1-1", "U#", 8), &error));
  EXPECT_EQ(error.kind, LogError::Kind::kSerialExhausted);
  EXPECT_NE(error.message.find("\"U#\""), std::string::npos) << error.message;
  // a released number is still there to give
  ASSERT_TRUE(log->CompleteUnit(nine->unit_id, End(false), &error));
  EXPECT_EQ(log->BeginUnit(Start("1-1", "U#", 8), &error)->serial, "U9");
  EXPECT_FALSE(log->BeginUnit(Start("1-1", "U#", 8), &error));
  EXPECT_EQ(Rows().size(), 3u);
}

TEST_F(ProductionLogTest, AnOlderFileIsUpgradedAndRowsCarryTheJobAndTheReplug) {
  {  // a file as the previous schema left it, with one finished unit
    auto log = OpenLog();
    ASSERT_TRUE(log);
    Program(*log, 1, true);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP INDEX units_unpushed; DROP TABLE serial_leases; DROP TABLE journal;"
                         " DROP TABLE station_state; DROP TABLE results",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  for (const char* column : {"job_name", "job_revision", "job_sha256", "job_key", "replug",
                             "unit_uid", "pushed", "serial_source"}) {
    const std::string drop = std::string("ALTER TABLE units DROP COLUMN ") + column;
    ASSERT_EQ(sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  sqlite3_exec(db, "PRAGMA user_version = 2", nullptr, nullptr, nullptr);
  sqlite3_close(db);

  {  // a reader (`log`, the dashboard) reads it as it is, with the defaults of what it lacks
    LogOptions reading;
    reading.read_only = true;
    LogError error;
    auto reader = ProductionLog::Open(path_, &error, reading);
    ASSERT_TRUE(reader) << error.message;
    const auto old_rows = reader->Rows(LogFilter{}, &error);
    ASSERT_TRUE(old_rows) << error.message;
    ASSERT_EQ(old_rows->size(), 1u);
    EXPECT_EQ((*old_rows)[0].serial_source, "counter");
    EXPECT_EQ((*old_rows)[0].replug, "");
    const auto states = reader->StationStates(&error);  // from before the reports: none
    ASSERT_TRUE(states) << error.message;
    EXPECT_TRUE(states->empty());
  }

  auto log = OpenLog();
  ASSERT_TRUE(log);
  UnitStart start = Start("1-2");
  start.job = {"speaker-fw", "7", std::string(64, 'b'), "factory-2026"};
  LogError error;
  const auto unit = log->BeginUnit(start, &error);
  ASSERT_TRUE(unit) << error.message;
  UnitEnd end = End(true);
  end.replug = "power";
  ASSERT_TRUE(log->CompleteUnit(unit->unit_id, end, &error)) << error.message;
  log.reset();

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].job.name, "");
  EXPECT_EQ(rows[0].serial, "L7-0001");
  EXPECT_EQ(rows[1].serial, "L7-0002");
  EXPECT_EQ(rows[1].job.name, "speaker-fw");
  EXPECT_EQ(rows[1].job.revision, "7");
  EXPECT_EQ(rows[1].job.sha256, std::string(64, 'b'));
  EXPECT_EQ(rows[1].job.key, "factory-2026");
  EXPECT_EQ(rows[1].replug, "power");
}

// A station's report replaces its earlier one and reads back whole, ports included; a reader
// sees every station's.
TEST_F(ProductionLogTest, StationReportsAreOneRowPerStation) {
  StationState first;
  first.station = "line-1";
  first.host = "pc-7";
  first.version = "1.0.0";
  first.job = {"speaker-fw", "7", "", "factory-2026"};
  first.image_path = "/images/a.bin";
  first.ports = {{"1-1", "writing", 12, "L7-0003", 40}, {"1-2", "idle", 0, "", -1}};
  first.reported = "2026-12-09T08:00:00.000Z";
  StationState later = first;
  later.ports = {{"1-1", "stopped", 0, "", -1}};
  later.backlog = 3;
  later.last_push = "2026-12-09T08:00:01.000Z";
  later.reported = "2026-12-09T08:00:02.000Z";
  later.ended = true;
  StationState other = first;
  other.station = "line-2";
  LogError error;
  {
    auto log = OpenLog();
    ASSERT_TRUE(log);
    for (const StationState* state : {&first, &other, &later}) {
      ASSERT_TRUE(log->ReportStation(*state, &error)) << error.message;
    }
  }
  LogOptions reading;
  reading.read_only = true;
  const auto states = OpenLog(reading)->StationStates(&error);
  ASSERT_TRUE(states) << error.message;
  ASSERT_EQ(states->size(), 2u);
  const StationState& read = (*states)[0];
  EXPECT_EQ(read.station, "line-1");
  EXPECT_EQ(read.host, "pc-7");
  EXPECT_EQ(read.job.key, "factory-2026");
  EXPECT_EQ(read.backlog, 3);
  EXPECT_EQ(read.last_push, later.last_push);
  EXPECT_EQ(read.reported, later.reported);
  EXPECT_TRUE(read.ended);
  ASSERT_EQ(read.ports.size(), 1u);
  EXPECT_EQ(read.ports[0].activity, "stopped");
  const StationState& two = (*states)[1];
  EXPECT_FALSE(two.backlog);
  ASSERT_EQ(two.ports.size(), 2u);
  EXPECT_EQ(two.ports[0].unit_id, 12);
  EXPECT_EQ(two.ports[0].serial, "L7-0003");
  EXPECT_EQ(two.ports[0].percent, 40);
  EXPECT_EQ(two.ports[1].percent, -1);
}

TEST_F(ProductionLogTest, ClearErrorsForFilesItCannotUse) {
  LogError error;
  // corrupt
  std::ofstream(PathFromUtf8(path_)) << std::string(8192, 'x');
  EXPECT_FALSE(ProductionLog::Open(path_, &error));
  EXPECT_EQ(error.kind, LogError::Kind::kIo);
  EXPECT_NE(error.message.find("not a production log or it is damaged"), std::string::npos)
      << error.message;
  EXPECT_NE(error.message.find(path_), std::string::npos);
  fs::remove(PathFromUtf8(path_));

  // a missing directory
  EXPECT_FALSE(ProductionLog::Open(PathToUtf8(dir_ / "no" / "log.sqlite3"), &error));
  EXPECT_NE(error.message.find("cannot be opened"), std::string::npos) << error.message;

  // from a newer program
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_FALSE(ProductionLog::Open(path_, &error));
  EXPECT_NE(error.message.find("newer version"), std::string::npos) << error.message;
  fs::remove(PathFromUtf8(path_));

  // locked by another station's write
  auto log = OpenLog(LogOptions{false, 0});
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_FALSE(log->BeginUnit(Start("1-1"), &error));
  EXPECT_NE(error.message.find("locked"), std::string::npos) << error.message;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(log->BeginUnit(Start("1-1"), &error)) << error.message;
}

TEST_F(ProductionLogTest, AReadOnlyFileIsRefusedForWritingAndExportedForReading) {
  ASSERT_TRUE(OpenLog());
#ifdef _WIN32
  // the read-only attribute; Wine run as root writes such a file anyway, and there only another
  // program's handle that shares no writing makes it read-only
  const fs::path file = dir_ / "production.sqlite3";
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  HANDLE holder = INVALID_HANDLE_VALUE;
  if (std::ofstream(file, std::ios::app)) {
    holder = CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  }
  LogError error;
  EXPECT_FALSE(ProductionLog::Open(path_, &error));
  EXPECT_NE(error.message.find("read-only"), std::string::npos) << error.message;
  EXPECT_TRUE(ProductionLog::Open(path_, &error, LogOptions{true, 0})) << error.message;
  if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
  fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
#else
  // root writes anything: check as an unprivileged user in a child process
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    if (geteuid() != 0) {
      chmod(path_.c_str(), 0444);
      chmod(dir_.c_str(), 0555);
    }
    LogError error;
    const bool refused = !ProductionLog::Open(path_, &error) &&
                         error.message.find("read-only") != std::string::npos;
    const bool read = ProductionLog::Open(path_, &error, LogOptions{true, 0}) != nullptr;
    _exit(refused && read ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod(dir_.c_str(), 0755);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

#ifdef _WIN32
TEST_F(ProductionLogTest, DefaultPathIsInTheLocalApplicationData) {
  const wchar_t* saved = _wgetenv(L"LOCALAPPDATA");
  const std::wstring restore = saved != nullptr ? saved : L"";
  ASSERT_EQ(_wputenv_s(L"LOCALAPPDATA", (dir_ / "data").wstring().c_str()), 0);
  std::string error;
  EXPECT_EQ(DefaultLogPath(&error), PathToUtf8(dir_ / "data" / "qz670x-mp" / "production.sqlite3"))
      << error;
  EXPECT_TRUE(fs::is_directory(dir_ / "data" / "qz670x-mp"));
  (void)_wputenv_s(L"LOCALAPPDATA", restore.c_str());
}
#else
TEST_F(ProductionLogTest, DefaultPathIsInTheXdgDataDirectory) {
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
  std::string error;
  EXPECT_EQ(DefaultLogPath(&error), (dir_ / "data" / "qz670x-mp" / "production.sqlite3").string());
  EXPECT_TRUE(fs::is_directory(dir_ / "data" / "qz670x-mp"));
  if (saved != nullptr) {
    setenv("XDG_DATA_HOME", restore.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}
#endif

}  // namespace
}  // namespace qz::prodlog
