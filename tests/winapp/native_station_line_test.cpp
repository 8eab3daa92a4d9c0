// The native station window on a line database (the throwaway server the line tests make, over
// TLS with verify-full): its log field takes the line's location, its status line says when the
// line goes away and when it is back, and every unit reaches the line once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

// Our headers before the platform's: <windows.h> makes S_OK and E_FAIL macros.
#include "base/clock.h"
#include "base/file_path.h"
#include "devices/device_session.h"
#include "prodlog/pq.h"
#include "prodlog/production_log.h"
#include "support/sample_images.h"

#include "winapp/pump_until.h"
#include "winapp/native_station.h"

namespace qz::winapp {
namespace {

constexpr auto kTimeout = std::chrono::minutes(3);
constexpr const char* kDatabase = "native_station_line";

std::string ReadLine(const std::string& path) {
  std::ifstream file(PathFromUtf8(path));
  std::string line;
  std::getline(file, line);
  return line;
}

class NativeStationLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* cluster = std::getenv("QZ_TEST_PG");
    ASSERT_NE(cluster, nullptr) << "QZ_TEST_PG: the test server's folder";
    const std::string port = ReadLine(std::string(cluster) + "/port");
    ASSERT_FALSE(port.empty());
    const std::string tls = std::string("?sslmode=verify-full&sslrootcert=") + cluster +
                            "/tls/ca.crt";
    admin_ = prodlog::pq::Connection::Open(
        "postgresql://postgres@localhost:" + port + "/postgres" + tls, {});
    ASSERT_TRUE(admin_->Ok()) << admin_->Error();
    Admin(std::string("DROP DATABASE IF EXISTS ") + kDatabase + " WITH (FORCE)");
    Admin(std::string("CREATE DATABASE ") + kDatabase);
    line_ = "postgresql://postgres@localhost:" + port + "/" + kDatabase + tls;
    // the line's schema, as `log --upgrade-schema` makes it
    prodlog::LogError error;
    ASSERT_NE(prodlog::ProductionLog::Open(line_, &error), nullptr) << error.message;

    // the journal's default folder is the account's %LOCALAPPDATA%
    ASSERT_EQ(_wputenv_s(L"LOCALAPPDATA", PathFromUtf8(dir_.File("local")).c_str()), 0);
    test::WriteBytes(image_, test::SampleBytes());
    DeviceConfig config;
    config.simulate = 2;
    std::string problem;
    session_ = DeviceSession::Create(config, &problem, &clock_);
    ASSERT_NE(session_, nullptr) << problem;
    window_ = std::make_unique<NativeStation>(GetModuleHandleW(nullptr), *session_, "qz670x-mp");
    ASSERT_TRUE(window_->Create()) << GetLastError();
    window_->SetImagePath(image_);
  }
  void TearDown() override {
    window_.reset();
    std::string error;
    if (session_) {
      EXPECT_TRUE(session_->Finish(&error)) << error;
    }
    line_admin_.reset();
    if (admin_ && admin_->Ok()) {
      Admin(std::string("DROP DATABASE IF EXISTS ") + kDatabase + " WITH (FORCE)");
    }
  }

  void Admin(const std::string& sql) {
    const prodlog::pq::Result result = admin_->Exec(sql.c_str());
    ASSERT_TRUE(result.Ok()) << sql << ": " << result.Error();
  }
  // A value from the line's database, on a connection of the test's own (made again after the
  // line was away: its connections went then).
  std::string Scalar(const std::string& sql) {
    if (!line_admin_) line_admin_ = prodlog::pq::Connection::Open(line_, {});
    const prodlog::pq::Result result = line_admin_->Exec(sql.c_str());
    EXPECT_TRUE(result.Ok()) << sql << ": " << result.Error();
    return result.Ok() && result.Rows() == 1 ? result.Text(0, 0) : std::string();
  }
  // The line's database refuses every connection, and those it had are cut; and back.
  void LineAway() {
    line_admin_.reset();
    Admin(std::string("ALTER DATABASE ") + kDatabase + " ALLOW_CONNECTIONS false");
    Admin(std::string("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '") +
          kDatabase + "'");
  }
  void LineBack() { Admin(std::string("ALTER DATABASE ") + kDatabase + " ALLOW_CONNECTIONS true"); }

  template <typename Predicate>
  bool PumpUntil(Predicate done) {
    return winapp::PumpUntil(*window_, done, kTimeout);
  }
  bool StatusSays(const std::string& text) {
    return window_->StatusText().find(text) != std::string::npos;
  }

  test::ScratchDir dir_;
  std::string image_ = dir_.File("image.bin");
  std::string line_;
  std::unique_ptr<prodlog::pq::Connection> admin_;
  std::unique_ptr<prodlog::pq::Connection> line_admin_;
  ManualClock clock_;
  std::unique_ptr<DeviceSession> session_;
  std::unique_ptr<NativeStation> window_;
};

TEST_F(NativeStationLineTest, StatusLineFollowsTheLineAndEveryUnitLandsOnce) {
  window_->SetLogFile(line_);
  ASSERT_TRUE(window_->StartProduction()) << window_->StatusText();
  EXPECT_EQ(window_->LogPath(), line_);
  const auto rows = [&] { return std::atoi(Scalar("SELECT count(*) FROM qz670x.units").c_str()); };
  ASSERT_TRUE(PumpUntil([&] { return rows() >= 2; })) << window_->StatusText();

  LineAway();
  ASSERT_TRUE(PumpUntil([&] { return StatusSays("line log offline"); })) << window_->StatusText();
  // units go on while the line is away, into the journal
  const int before = window_->Totals().units;
  ASSERT_TRUE(PumpUntil([&] { return window_->Totals().units >= before + 2; }));
  LineBack();
  ASSERT_TRUE(PumpUntil([&] { return StatusSays("line log online"); })) << window_->StatusText();

  window_->StopProduction();
  ASSERT_TRUE(PumpUntil([&] { return !window_->Running(); }));
  window_.reset();  // closing the station pushes what its journal still holds
  const std::string units = Scalar("SELECT count(*) FROM qz670x.units WHERE ended IS NOT NULL");
  EXPECT_GE(std::atoi(units.c_str()), before + 2);
  EXPECT_EQ(Scalar("SELECT count(DISTINCT unit_uid) FROM qz670x.units"),
            Scalar("SELECT count(*) FROM qz670x.units"));
}

}  // namespace
}  // namespace qz::winapp
