// Scan time against the number of video nodes, with a fake `udevadm` that
// takes 20 ms per run. The udev children of one scan run side by side, so 32
// nodes should cost little more than one.
//
// The platform lists a fake /dev of N names and forwards run_command to the
// real Linux implementation, so each query is a real shell and child process.
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "morvane/uvc_stereo/discovery.hpp"
#include "platform/platform.hpp"

namespace {

namespace platform = morvane::uvc_stereo::platform;

class FakeDevPlatform final : public platform::Platform {
 public:
  explicit FakeDevPlatform(int nodes) {
    for (int i = 0; i < nodes; ++i) names_.push_back("video" + std::to_string(i));
  }
  int usb_init() override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  void usb_exit() override {}
  ssize_t usb_get_device_list(libusb_device***) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  void usb_free_device_list(libusb_device**, int) override {}
  int usb_get_device_descriptor(libusb_device*, libusb_device_descriptor*) override {
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  std::uint8_t usb_get_bus_number(libusb_device*) override { return 0; }
  std::uint8_t usb_get_device_address(libusb_device*) override { return 0; }
  int usb_open(libusb_device*, libusb_device_handle**) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  void usb_close(libusb_device_handle*) override {}
  int usb_kernel_driver_active(libusb_device_handle*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int usb_detach_kernel_driver(libusb_device_handle*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int usb_attach_kernel_driver(libusb_device_handle*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int usb_claim_interface(libusb_device_handle*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int usb_release_interface(libusb_device_handle*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int usb_set_configuration(libusb_device_handle*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int usb_control_transfer(libusb_device_handle*, std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t,
                           unsigned char*, std::uint16_t, unsigned int) override {
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  const char* usb_error_name(int) override { return "LIBUSB_ERROR_NOT_SUPPORTED"; }

  bool path_exists(const std::string& path) override { return path == "/dev"; }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    if (path != "/dev") return false;
    names = names_;
    return true;
  }
  bool read_file_line(const std::string&, char*, int) override { return false; }
  std::unique_ptr<platform::CommandStream> run_command(const std::string& command) override {
    return platform::linux_platform().run_command(command);
  }
  int video_open(const std::string&, int) override {
    errno = ENOENT;
    return -1;
  }
  int video_ioctl(int, unsigned long, void*) override {
    errno = EBADF;
    return -1;
  }
  int video_close(int) override {
    errno = EBADF;
    return -1;
  }
  int monotonic_time(timespec* now) override { return platform::linux_platform().monotonic_time(now); }
  int sleep(const timespec* request, timespec* remaining) override {
    return platform::linux_platform().sleep(request, remaining);
  }

 private:
  std::vector<std::string> names_;
};

void BM_Scan(benchmark::State& state) {
  const int nodes = static_cast<int>(state.range(0));
  FakeDevPlatform fake(nodes);
  platform::ScopedPlatform scope(fake);
  std::size_t found = 0;
  for (auto _ : state) {
    auto result = morvane::uvc_stereo::scan_devices();
    if (!result.ok()) {
      state.SkipWithError(result.message.c_str());
      return;
    }
    found = result.value->size();
    benchmark::DoNotOptimize(found);
  }
  if (found != static_cast<std::size_t>(nodes)) {
    state.SkipWithError("the fake udevadm did not answer for every node");
    return;
  }
  state.counters["nodes"] = nodes;
}
BENCHMARK(BM_Scan)->Arg(1)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// Keeps the real time per iteration of each run so main can print the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred && run.iterations > 0) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

// Writes a udevadm that sleeps 20 ms and reports one supported camera per
// node (its own ID_PATH, so every node is a camera of its own), and puts its
// directory first on PATH.
bool install_fake_udevadm(std::string& dir) {
  char templ[] = "/tmp/morvane_scan_bench_XXXXXX";
  if (!mkdtemp(templ)) return false;
  dir = templ;
  std::ofstream script(dir + "/udevadm");
  // Prints first, then becomes `sleep`: one process per query, alive 20 ms.
  script << "#!/bin/sh\n"
            "echo ID_VENDOR_ID=0c45\n"
            "echo ID_MODEL_ID=0643\n"
            "echo \"ID_PATH=bench-$5\"\n"
            "exec sleep 0.02\n";
  script.close();
  if (chmod((dir + "/udevadm").c_str(), 0755) != 0) return false;
  const char* old_path = std::getenv("PATH");
  std::string path = dir + ":" + (old_path ? old_path : "/usr/bin:/bin");
  return setenv("PATH", path.c_str(), 1) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  if (!install_fake_udevadm(dir)) {
    std::fprintf(stderr, "cannot install the fake udevadm\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::remove((dir + "/udevadm").c_str());
  rmdir(dir.c_str());

  auto one = reporter.times.find("BM_Scan/1/iterations:10/real_time");
  auto many = reporter.times.find("BM_Scan/32/iterations:10/real_time");
  if (one == reporter.times.end() || many == reporter.times.end()) {
    std::printf("ratio not available (a run was filtered out or failed)\n");
    return 0;
  }
  double ratio = many->second / one->second;
  std::printf("scan of 32 nodes / scan of 1 node = %.2fx (target below 3x; one after the other would be ~32x)\n",
              ratio);
  return 0;
}
