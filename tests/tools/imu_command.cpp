// The imu command in process against a virtual camera whose device clock
// steps ahead while it streams: every output format marks the one sample
// whose stamps were re-anchored, the same sample in each, and counts it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "simulation/default_camera.hpp"

namespace {

namespace tool = morvane::tool;
namespace us = morvane::uvc_stereo;
using ::testing::EndsWith;
using ::testing::HasSubstr;

std::string slurp(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

struct Output {
  int status = 0;
  std::string out, err;
};

class ImuCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-imu-command-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_STATE_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // The command on a fresh simulated camera whose device clock jumps 10 s
  // ahead 4 s after power-on, once the stream's fit is locked (the host
  // slept while the camera counted on), with standard output and error
  // captured.
  Output run(const std::string& format) {
    auto config = morvane::simulation::default_camera_config();
    std::string error;
    EXPECT_TRUE(morvane::simulation::factory_flash(config, config.flash.contents, error)) << error;
    config.flash.size_bytes = morvane::simulation::kFlashSize;
    config.imu.script.steps.push_back({4.0, 10'000'000});
    morvane::emulator::VirtualPlatform platform;
    platform.add_camera(config);
    us::platform::ScopedPlatform installed(platform);
    tool::GlobalOptions global;
    global.simulated = true;
    global.state_file = dir_ + "/unused.flash";
    global.cache = false;
    tool::ImuOptions options;
    options.count = 1200;  // 6 s at 200 Hz
    options.format = format;

    Output o;
    const std::string out_file = dir_ + "/out", err_file = dir_ + "/err";
    std::fflush(nullptr);
    const int saved_out = dup(1), saved_err = dup(2);
    EXPECT_NE(std::freopen(out_file.c_str(), "w", stdout), nullptr);
    EXPECT_NE(std::freopen(err_file.c_str(), "w", stderr), nullptr);
    o.status = tool::cmd_imu(global, options);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    o.out = slurp(out_file);
    o.err = slurp(err_file);
    return o;
  }

  std::string dir_;
};

TEST_F(ImuCommandTest, EveryFormatMarksTheReanchoredSample) {
  // json: the member on every sample, true on the one after the jump.
  Output json_run = run("json");
  ASSERT_EQ(json_run.status, 0) << json_run.err;
  const nlohmann::json doc = nlohmann::json::parse(json_run.out);
  ASSERT_EQ(doc["samples"].size(), 1200u);
  std::vector<long> flagged;
  for (const auto& sample : doc["samples"]) {
    ASSERT_TRUE(sample.contains("discontinuity"));
    if (sample["discontinuity"].get<bool>()) flagged.push_back(sample["index"].get<long>());
  }
  ASSERT_EQ(flagged.size(), 1u);
  const long at = flagged[0];
  ASSERT_GT(at, 0);
  const auto& samples = doc["samples"];
  // Across the jump the counter moved on by the 20-bit distance only, and
  // the missed count is unknown.
  EXPECT_LT(samples[at]["device_counter"].get<std::uint64_t>() - samples[at - 1]["device_counter"].get<std::uint64_t>(),
            1048576u);
  EXPECT_EQ(samples[at]["missed_before"], 0);
  EXPECT_EQ(doc["summary"]["discontinuities"], 1);

  // csv: a last column, 1 on the same sample.
  Output csv_run = run("csv");
  ASSERT_EQ(csv_run.status, 0) << csv_run.err;
  const std::vector<std::string> rows = split(csv_run.out, '\n');
  ASSERT_EQ(rows.size(), 1201u);
  EXPECT_THAT(rows[0], EndsWith(",time_ns,missed_before,discontinuity"));
  std::vector<long> csv_flagged;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> fields = split(rows[i], ',');
    ASSERT_EQ(fields.size(), 13u) << rows[i];
    ASSERT_TRUE(fields.back() == "0" || fields.back() == "1") << rows[i];
    if (fields.back() == "1") csv_flagged.push_back(std::stol(fields[0]));
  }
  EXPECT_EQ(csv_flagged, flagged);
  EXPECT_THAT(csv_run.err, HasSubstr("samples missed, 1 discontinuities\n"));

  // table: a note column that names it, on the same sample.
  Output table_run = run("table");
  ASSERT_EQ(table_run.status, 0) << table_run.err;
  const std::vector<std::string> lines = split(table_run.out, '\n');
  ASSERT_GE(lines.size(), 1202u);
  EXPECT_THAT(lines[0], EndsWith("  note"));
  std::vector<long> table_flagged;
  for (std::size_t i = 1; i <= 1200; ++i)
    if (lines[i].find("discontinuity") != std::string::npos) {
      EXPECT_THAT(lines[i], EndsWith("  discontinuity"));
      table_flagged.push_back(std::stol(lines[i]));
    }
  EXPECT_EQ(table_flagged, flagged);
  EXPECT_THAT(table_run.out, HasSubstr("samples missed, 1 discontinuities\n"));
}

}  // namespace
