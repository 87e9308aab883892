// SimulatedCamera through the shared libraries, as an application links it.
#include "morvane/uvc_stereo/simulation.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "morvane/uvc_stereo.hpp"

namespace us = morvane::uvc_stereo;

namespace {

constexpr std::size_t kFlashSize = 1u << 20;

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/morvane-sim-" + std::to_string(::getpid()) + "-" + name;
}

// A fresh directory of this test's own.
std::string temp_dir(const std::string& name) {
  const std::string dir = temp_path(name);
  EXPECT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
  return dir;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Used only where the tool is built (the test that runs it).
[[maybe_unused]] std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(d);
  }
  return names;
}

us::DeviceInfo only_camera() {
  auto found = us::scan_devices();
  EXPECT_TRUE(found.ok()) << found.message;
  EXPECT_EQ(found.value->size(), 1u);
  return found.value->empty() ? us::DeviceInfo{} : found.value->front();
}

void store_document(const std::string& json) {
  auto device = us::open_device(only_camera(), us::OpenDeviceOptions{});
  ASSERT_TRUE(device.ok()) << device.message;
  auto written = device.value->write_json(json);
  ASSERT_TRUE(written.ok()) << written.message;
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
      // No lock file can be made in /proc.
      {"/proc/self/mem", us::ErrorCode::io_error, "open /proc/self/mem.lock failed: No such file or directory"},
      {"/", us::ErrorCode::invalid_argument, "/ is not a regular file"},
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

TEST(SimulatedCamera, StartReportsTheSystemErrorAndHoldsNothing) {
  auto sim = us::SimulatedCamera::start({"/proc/no-such-dir/state.flash"});
  ASSERT_FALSE(sim.ok());
  EXPECT_EQ(sim.code, us::ErrorCode::io_error);
  EXPECT_EQ(sim.message.rfind("mkdir /proc/no-such-dir failed: ", 0), 0u) << sim.message;
  auto after = us::SimulatedCamera::start({});
  EXPECT_TRUE(after.ok()) << after.message;
}

// The prompt case: this program holds the simulation (it loaded the flash
// and may sit waiting for its user) while a tool run on the same state file
// stores a document. The tool run waits for the simulation to stop, so
// stopping cannot put the older flash back over its document.
TEST(SimulatedCamera, AToolRunWaitsForTheSimulationSoItsDocumentIsNotLost) {
#ifndef MORVANE_TOOL_PATH
  GTEST_SKIP() << "the command-line tool is not built";
#else
  const std::string dir = temp_dir("prompt");
  const std::string state = dir + "/state/camera.flash";
  auto sim = us::SimulatedCamera::start({state});
  ASSERT_TRUE(sim.ok()) << sim.message;
  // The factory image became the file through a temporary that is gone.
  struct stat st {};
  EXPECT_EQ(::stat(state.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::size_t>(st.st_size), kFlashSize);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(entries(dir + "/state"), (std::set<std::string>{"camera.flash", "camera.flash.lock"}));
  store_document(R"({"by":"library"})");

  std::ofstream(dir + "/doc.json") << R"({"by":"tool"})";
  const std::string command = "(XDG_CACHE_HOME='" + dir + "/cache' XDG_STATE_HOME='" + dir + "/xdg' timeout 60 " +
                              MORVANE_TOOL_PATH + " --simulate='" + state + "' config set '" + dir +
                              "/doc.json' >/dev/null 2>'" + dir + "/tool.err'; echo $? >'" + dir + "/tool.rc') &";
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (int i = 0; i < 1000 && slurp(dir + "/tool.err").find("waiting for another run") == std::string::npos; ++i)
    ::usleep(10'000);
  EXPECT_NE(slurp(dir + "/tool.err").find("waiting for another run"), std::string::npos) << slurp(dir + "/tool.err");
  EXPECT_EQ(slurp(dir + "/tool.rc"), "") << "the tool run did not wait";

  ASSERT_TRUE(sim.value->stop().ok());
  for (int i = 0; i < 3000 && slurp(dir + "/tool.rc").empty(); ++i) ::usleep(10'000);
  EXPECT_EQ(slurp(dir + "/tool.rc"), "0\n") << slurp(dir + "/tool.err");
  auto again = us::SimulatedCamera::start({state});
  ASSERT_TRUE(again.ok()) << again.message;
  EXPECT_EQ(stored_document(), R"({"by":"tool"})");
  ASSERT_TRUE(again.value->stop().ok());
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
#endif
}

// A simulation that changes nothing leaves the file as it was (bytes,
// inode and modification time); a lock held by another user makes start()
// fail at once; a symlink planted at the state file or at its lock is
// refused and left alone, its target unchanged.
TEST(SimulatedCamera, TheStateFileIsWrittenOnlyWhenTheFlashChangesAndNeverThroughALink) {
  const std::string dir = temp_dir("untouched");
  const std::string state = dir + "/camera.flash";
  {
    auto sim = us::SimulatedCamera::start({state});
    ASSERT_TRUE(sim.ok()) << sim.message;
    store_document(R"({"kept":1})");
  }
  const std::string flash = slurp(state);
  ASSERT_EQ(flash.size(), kFlashSize);
  struct stat before {
  }, after{};
  ASSERT_EQ(::stat(state.c_str(), &before), 0);
  ::usleep(20'000);
  {
    auto sim = us::SimulatedCamera::start({state});
    ASSERT_TRUE(sim.ok()) << sim.message;
    EXPECT_EQ(stored_document(), R"({"kept":1})");
    EXPECT_TRUE(sim.value->save().ok());
    EXPECT_TRUE(sim.value->stop().ok());
  }
  ASSERT_EQ(::stat(state.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(slurp(state), flash);

  std::ofstream(dir + "/victim", std::ios::binary) << flash;  // a valid flash: only the refusal keeps it from use
  struct Case {
    std::string link;   // planted at this path, pointing at the victim
    std::string state;  // the state file given to start()
  };
  const Case cases[] = {
      {dir + "/linked.flash", dir + "/linked.flash"},
      {state + ".lock", state},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    std::remove(c.link.c_str());
    ASSERT_EQ(::symlink((dir + "/victim").c_str(), c.link.c_str()), 0);
    {
      auto sim = us::SimulatedCamera::start({c.state});
      EXPECT_FALSE(sim.ok());
      EXPECT_EQ(sim.code, us::ErrorCode::invalid_argument);
      EXPECT_EQ(sim.message, c.link + " is a symbolic link (not followed)");
    }
    struct stat link_st {};
    ASSERT_EQ(::lstat(c.link.c_str(), &link_st), 0);
    EXPECT_TRUE(S_ISLNK(link_st.st_mode)) << "the link was replaced";
    EXPECT_EQ(slurp(dir + "/victim"), flash) << "the link's target was written";
    std::remove(c.link.c_str());
  }
  // Another user holds the lock (a flock of its own open file).
  const int holder = ::open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  {
    auto busy = us::SimulatedCamera::start({state});
    EXPECT_FALSE(busy.ok());
    EXPECT_EQ(busy.code, us::ErrorCode::device_unavailable);
    EXPECT_EQ(busy.message,
              "the simulated camera " + state + " is in use by another run (" + state + ".lock is locked)");
  }
  ::close(holder);

  auto after_all = us::SimulatedCamera::start({});
  EXPECT_TRUE(after_all.ok()) << after_all.message;  // nothing was left active
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

// A change the file cannot take (a file-size limit standing in for a full
// disk) is reported by save() and by stop(), which stops all the same.
TEST(SimulatedCamera, AFailedWriteThroughIsReportedBySaveAndStop) {
  const std::string dir = temp_dir("limit");
  const std::string state = dir + "/camera.flash";
  auto sim = us::SimulatedCamera::start({state});
  ASSERT_TRUE(sim.ok()) << sim.message;
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 4096;  // below the document's address
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  store_document(R"({"lost":true})");
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  std::signal(SIGXFSZ, old_handler);
  const std::string expected = "write " + state + " failed: File too large";
  auto saved = sim.value->save();
  EXPECT_EQ(saved.code, us::ErrorCode::io_error);
  EXPECT_EQ(saved.message, expected);
  auto stopped = sim.value->stop();
  EXPECT_EQ(stopped.code, us::ErrorCode::io_error);
  EXPECT_EQ(stopped.message, expected);
  EXPECT_FALSE(sim.value->active());
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

}  // namespace
