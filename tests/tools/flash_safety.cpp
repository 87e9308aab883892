// The tool's flash-rewriting commands against a virtual camera whose power
// is cut after every so many SPI operations: whatever the step, the
// camera is left as it was, or the tool names a kept file that `config
// restore` (or a second burn) turns back into the old calibration.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "emulator/firmware_image.hpp"
#include "emulator/virtual_platform.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "platform/platform.hpp"
#include "simulation/default_camera.hpp"
#include "tool.hpp"

namespace {

namespace tool = morvane::tool;
namespace us = morvane::uvc_stereo;
using Bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::uint32_t kCalibration = 0x51000;

std::string slurp(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

Bytes slurp_bytes(const std::string& file) {
  const std::string text = slurp(file);
  return Bytes(text.begin(), text.end());
}

// The text after `marker` up to the end of its line.
std::string after(const std::string& text, const std::string& marker) {
  const std::size_t at = text.find(marker);
  if (at == std::string::npos) return {};
  const std::size_t begin = at + marker.size();
  return text.substr(begin, text.find('\n', begin) - begin);
}

// One virtual camera with the simulated camera's factory flash, behind the
// SDK, with the tool's state directory in a fresh temporary directory.
class Rig {
 public:
  explicit Rig(const std::string& dir) {
    auto config = morvane::simulation::default_camera_config();
    std::string error;
    EXPECT_TRUE(morvane::simulation::factory_flash(config, config.flash.contents, error)) << error;
    config.flash.size_bytes = morvane::simulation::kFlashSize;
    factory_ = config.flash.contents;
    camera_ = &platform_.add_camera(config);
    installed_ = std::make_unique<us::platform::ScopedPlatform>(platform_);
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    options_.simulated = true;
    options_.state_file = dir + "/unused.flash";
    options_.cache = false;
  }

  morvane::emulator::VirtualCamera& camera() { return *camera_; }
  const tool::GlobalOptions& options() const { return options_; }
  std::uint64_t spi_operations() { return camera_->flash_controller().counters().spi_operations; }
  Bytes flash(std::uint32_t at, std::size_t n) { return camera_->flash_contents(at, n); }
  Bytes factory(std::uint32_t at, std::size_t n) const {
    return Bytes(factory_.begin() + at, factory_.begin() + at + n);
  }
  Bytes factory_blob() const {
    auto blob = us::parse_and_validate_raw_blob(factory(kCalibration, 0x10000), us::FlashConfig{});
    return blob.ok() ? blob.value->raw : Bytes();
  }
  // The valid blob at the calibration address, or nothing.
  Bytes stored_blob() {
    auto blob = us::parse_and_validate_raw_blob(flash(kCalibration, 0x10000), us::FlashConfig{});
    return blob.ok() ? blob.value->raw : Bytes();
  }
  void power_back() {
    camera_->clear_faults();
    if (!camera_->attached()) camera_->replug();
  }

  // Runs a command in process: its status and what it wrote to std::cerr
  // (the progress lines on descriptor 2 go to /dev/null).
  template <typename Command>
  int run(Command command, std::string& err) {
    std::ostringstream captured;
    std::streambuf* previous = std::cerr.rdbuf(captured.rdbuf());
    const int saved = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
    const int status = command();
    dup2(saved, 2);
    close(saved);
    std::cerr.rdbuf(previous);
    err = captured.str();
    return status;
  }

 private:
  morvane::emulator::VirtualPlatform platform_;
  morvane::emulator::VirtualCamera* camera_ = nullptr;
  std::unique_ptr<us::platform::ScopedPlatform> installed_;
  Bytes factory_;
  tool::GlobalOptions options_;
};

class FlashSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-flash-safety-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    unsetenv("XDG_STATE_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const Bytes& bytes) {
    std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  // A firmware image for the simulated camera that differs from its
  // factory image everywhere.
  Bytes new_image() {
    auto camera = morvane::simulation::default_camera_config();
    morvane::emulator::FirmwareImageOptions options;
    options.chip_id = camera.chip_id;
    options.rom_row = camera.rom_row;
    options.vid = camera.vid;
    options.pid = camera.pid;
    options.manufacturer = camera.vendor;
    options.serial_number = camera.serial;
    options.version_text =
        "23071"
        "2607010002"
        "STEREOCAM1"
        "2607011200";
    options.seed = 0x7777;
    std::string error;
    auto image = morvane::emulator::build_firmware_image(options, &error);
    EXPECT_TRUE(image.has_value()) << error;
    return image ? image->bytes : Bytes();
  }

  // After a cut: either the camera holds the factory calibration, or the
  // tool's message names the copy, and restoring it brings that back.
  void expect_recoverable(Rig& rig, const std::string& err, bool by_second_burn, const std::string& image) {
    if (rig.stored_blob() == rig.factory_blob()) return;
    const std::string restore = after(err, "config restore ");
    ASSERT_FALSE(restore.empty()) << "the calibration is gone and no copy is named:\n" << err;
    EXPECT_EQ(slurp_bytes(restore), rig.factory_blob()) << restore;
    std::string again;
    int status;
    if (by_second_burn) {
      status = rig.run([&] { return tool::cmd_firmware_burn(rig.options(), image, true, 0x100000); }, again);
      EXPECT_THAT(again, Not(HasSubstr("nothing to keep")));
    } else {
      status = rig.run([&] { return tool::cmd_config_restore(rig.options(), restore); }, again);
    }
    EXPECT_EQ(status, 0) << again;
    EXPECT_EQ(rig.stored_blob(), rig.factory_blob()) << again;
  }

  std::string dir_;
};

// Evenly spread cut points over [1, total], plus every `dense`-th point of
// the last `tail` operations (where the calibration is written back).
std::vector<std::uint64_t> cut_points(std::uint64_t total, int spread, std::uint64_t tail, int dense) {
  std::vector<std::uint64_t> points;
  for (int i = 1; i <= spread; ++i) points.push_back(total * static_cast<std::uint64_t>(i) / (spread + 1));
  const std::uint64_t start = total > tail ? total - tail : 1;
  for (std::uint64_t p = start; p < total; p += static_cast<std::uint64_t>(dense)) points.push_back(p);
  return points;
}

TEST_F(FlashSafetyTest, PowerCutAtAnyStepOfABurnLeavesTheCalibrationOrANamedCopyThatRestoresIt) {
  const Bytes image = new_image();
  write("new.bin", image);
  const std::string image_path = path("new.bin");

  // How many SPI operations a whole burn and a bare calibration write take.
  std::uint64_t total = 0, write_back = 0;
  {
    Rig rig(path("count"));
    std::string err;
    const auto before = rig.spi_operations();
    ASSERT_EQ(rig.run([&] { return tool::cmd_firmware_burn(rig.options(), image_path, true, 0x100000); }, err), 0)
        << err;
    total = rig.spi_operations() - before;
    EXPECT_EQ(rig.flash(0, image.size()), image);
    EXPECT_EQ(rig.stored_blob(), rig.factory_blob());
    us::FlashBlob blob;
    blob.raw = rig.factory_blob();
    const auto start = rig.spi_operations();
    ASSERT_TRUE(us::write_blob_to_device(tool::flash_config_for(us::scan_devices().value->at(0)), blob).ok());
    write_back = rig.spi_operations() - start;
  }
  ASSERT_GT(total, write_back);

  int step = 0, lost = 0, write_back_failures = 0;
  for (std::uint64_t cut : cut_points(total, 24, write_back + 64, static_cast<int>(write_back / 16 + 1))) {
    SCOPED_TRACE("power cut after " + std::to_string(cut) + " of " + std::to_string(total) + " operations");
    Rig rig(path("step" + std::to_string(step)));
    rig.camera().cut_power_after_spi_operations(cut);
    std::string err;
    const int status = rig.run([&] { return tool::cmd_firmware_burn(rig.options(), image_path, true, 0x100000); }, err);
    rig.power_back();
    EXPECT_NE(status, 0) << err;
    if (rig.stored_blob() != rig.factory_blob()) ++lost;
    // A write-back cut short was never read back: not "read back differs".
    if (err.find("writing the calibration back failed") != std::string::npos) {
      ++write_back_failures;
      EXPECT_EQ(status, 4) << err;
    }
    // A failure after the erase names the old firmware too.
    const std::string old_firmware = after(err, "or the previous firmware:\n  ");
    if (!old_firmware.empty()) {
      const std::string file = old_firmware.substr(old_firmware.rfind(' ') + 1);
      const Bytes kept = slurp_bytes(file);
      EXPECT_EQ(Bytes(kept.begin(), kept.begin() + std::min(kept.size(), image.size())),
                rig.factory(0, std::min(kept.size(), image.size())))
          << file;
    }
    expect_recoverable(rig, err, step % 2 == 1, image_path);
    ++step;
  }
  // The sweep reached the steps where the calibration was gone, and those
  // where it was being written back.
  EXPECT_GT(lost, 4);
  EXPECT_GT(write_back_failures, 2);
}

TEST_F(FlashSafetyTest, PowerCutAtAnyStepOfConfigSetLeavesTheOldDocumentOrANamedCopy) {
  write("doc.json", Bytes{'{', '"', 'a', '"', ':', '[', '1', ',', '2', ']', '}'});
  std::uint64_t total = 0;
  {
    Rig rig(path("count"));
    std::string err;
    const auto before = rig.spi_operations();
    ASSERT_EQ(rig.run([&] { return tool::cmd_config_set(rig.options(), path("doc.json")); }, err), 0) << err;
    total = rig.spi_operations() - before;
  }
  int step = 0, lost = 0;
  for (std::uint64_t cut : cut_points(total, 40, 0, 1)) {
    SCOPED_TRACE("power cut after " + std::to_string(cut) + " of " + std::to_string(total) + " operations");
    Rig rig(path("step" + std::to_string(step++)));
    rig.camera().cut_power_after_spi_operations(cut);
    std::string err;
    const int status = rig.run([&] { return tool::cmd_config_set(rig.options(), path("doc.json")); }, err);
    rig.power_back();
    EXPECT_NE(status, 0) << err;
    if (rig.stored_blob() != rig.factory_blob()) {
      ++lost;
      EXPECT_THAT(err, HasSubstr("The flash may now hold no calibration or a partly written one"));
    }
    expect_recoverable(rig, err, false, "");
  }
  EXPECT_GT(lost, 4);
}

}  // namespace
