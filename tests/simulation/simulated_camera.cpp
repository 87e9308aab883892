// SimulatedCamera through the shared libraries, as an application links it.
#include "morvane/uvc_stereo/simulation.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "morvane/uvc_stereo.hpp"

namespace us = morvane::uvc_stereo;

namespace {

constexpr std::size_t kFlashSize = 1u << 20;

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/morvane-sim-" + std::to_string(::getpid()) + "-" + name;
}

us::DeviceInfo only_camera() {
  auto found = us::scan_devices();
  EXPECT_TRUE(found.ok()) << found.message;
  EXPECT_EQ(found.value->size(), 1u);
  return found.value->empty() ? us::DeviceInfo{} : found.value->front();
}

std::string stored_document() {
  auto device = us::open_device(only_camera(), us::OpenDeviceOptions{});
  EXPECT_TRUE(device.ok()) << device.message;
  if (!device.ok()) return {};
  auto doc = device.value->read_json();
  EXPECT_TRUE(doc.ok()) << doc.message;
  return doc.ok() ? doc.value->json : std::string();
}

TEST(SimulatedCamera, RoutesTheSharedLibraryToTheVirtualCameraAndKeepsTheFlash) {
  const std::string state = temp_path("state.flash");
  std::remove(state.c_str());
  {
    auto sim = us::SimulatedCamera::start({state});
    ASSERT_TRUE(sim.ok()) << sim.message;
    EXPECT_TRUE(sim.value->active());
    const auto camera = only_camera();
    EXPECT_EQ(camera.serial, "SIM0001");
    EXPECT_NE(stored_document().find("morvane-stereo-calibration"), std::string::npos);
    {
      auto device = us::open_device(camera, us::OpenDeviceOptions{});
      ASSERT_TRUE(device.ok()) << device.message;
      ASSERT_TRUE(device.value->write_json(R"({ "run" : 1 })").ok());
      ASSERT_TRUE(device.value->open_imu().ok());
      EXPECT_EQ(sim.value->open_video_nodes(), 1u);
      auto raw = device.value->read_imu();
      EXPECT_TRUE(raw.ok()) << raw.message;
    }
    EXPECT_EQ(sim.value->open_video_nodes(), 0u);
    EXPECT_EQ(sim.value->open_usb_handles(), 0u);
    // The SDK's 100 ms settle time after the write ran on the virtual clock.
    const auto before = sim.value->now_ns();
    sim.value->advance_time_ns(7);
    EXPECT_EQ(sim.value->now_ns(), before + 7);
    ASSERT_TRUE(sim.value->stop().ok());
    EXPECT_FALSE(sim.value->active());
    EXPECT_TRUE(sim.value->stop().ok());  // twice is fine
  }
  std::ifstream saved(state, std::ios::binary | std::ios::ate);
  ASSERT_TRUE(saved.good());
  EXPECT_EQ(static_cast<std::size_t>(saved.tellg()), kFlashSize);
  {
    auto sim = us::SimulatedCamera::start({state});
    ASSERT_TRUE(sim.ok()) << sim.message;
    EXPECT_EQ(stored_document(), R"({"run":1})");
  }  // the destructor stops it
  auto again = us::SimulatedCamera::start({});
  ASSERT_TRUE(again.ok()) << again.message;  // the factory image, not the state file
  EXPECT_NE(stored_document().find("SIM0001"), std::string::npos);
  std::remove(state.c_str());
}

TEST(SimulatedCamera, RefusesASecondSimulationAndBadStateFiles) {
  const std::string short_state = temp_path("short.flash");
  {
    std::ofstream out(short_state, std::ios::binary);
    out << std::string(100, '\xff');
  }
  struct Case {
    std::string state_file;
    us::ErrorCode code;
    std::string message;
  };
  const Case cases[] = {
      {short_state, us::ErrorCode::invalid_argument,
       short_state + " is not a simulated camera's flash (expected 1048576 bytes)"},
      {"/proc/self/mem", us::ErrorCode::io_error, "read /proc/self/mem failed: Input/output error"},
      {"/", us::ErrorCode::io_error, "read / failed: Is a directory"},
  };
  for (const auto& c : cases) {
    auto sim = us::SimulatedCamera::start({c.state_file});
    ASSERT_FALSE(sim.ok()) << c.state_file;
    EXPECT_EQ(sim.code, c.code) << c.state_file;
    EXPECT_EQ(sim.message, c.message);
  }
  {
    auto first = us::SimulatedCamera::start({});
    ASSERT_TRUE(first.ok()) << first.message;  // the failures above left nothing active
    auto second = us::SimulatedCamera::start({});
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.code, us::ErrorCode::invalid_argument);
    EXPECT_EQ(second.message, "a simulated camera is already active");
    EXPECT_TRUE(first.value->active());
    // Moving hands the simulation over; the moved-from object is inactive.
    us::SimulatedCamera moved = std::move(*first.value);
    EXPECT_TRUE(moved.active());
    EXPECT_FALSE(first.value->active());
    EXPECT_EQ(first.value->save().message, "simulated camera is not active");
  }
  auto after = us::SimulatedCamera::start({});
  EXPECT_TRUE(after.ok()) << after.message;
  std::remove(short_state.c_str());
}

TEST(SimulatedCamera, SaveReportsTheSystemError) {
  auto sim = us::SimulatedCamera::start({"/proc/no-such-dir/state.flash"});
  ASSERT_TRUE(sim.ok()) << sim.message;
  auto saved = sim.value->save();
  EXPECT_EQ(saved.code, us::ErrorCode::io_error);
  EXPECT_EQ(saved.message.rfind("mkdir /proc/no-such-dir failed: ", 0), 0u) << saved.message;
  auto stopped = sim.value->stop();  // stops even though saving fails
  EXPECT_EQ(stopped.code, us::ErrorCode::io_error);
  EXPECT_FALSE(sim.value->active());
}

}  // namespace
