// What each camera service costs on the wire, measured on the virtual
// camera: USB control transfers and their bytes, video-node ioctls, and the
// time slept (prescribed waits plus the controller library's own polls and
// settle times). From these it derives the wall time each operation takes
// at 0.125 ms, 0.5 ms and 1 ms per control transfer.
//
// Run: bench_services --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace {

using namespace morvane::uvc_stereo;

std::string calibration_document() {
  std::string text = "{\n  \"model\": \"stereo\",\n  \"rows\": [\n";
  int row = 0;
  while (text.size() < 2030) {
    text +=
        "    { \"i\": " + std::to_string(row) + ", \"k\": [ 612.25, -0.0412, " + std::to_string(row * 3) + ".5 ] },\n";
    ++row;
  }
  return text + "    { \"i\": -1 }\n  ]\n}\n";
}

struct Measure {
  std::uint64_t transfers = 0;
  std::uint64_t data_bytes = 0;
  std::uint64_t ioctls = 0;
  std::uint64_t slept_ns = 0;
};

class Wire {
 public:
  explicit Wire(morvane::testing::VirtualCameraRig& rig) : rig_(rig) {}
  void start() {
    rig_.camera().clear_logs();
    imu_before_ = rig_.camera().imu_samples_served();
    clock_before_ = rig_.clock().now_ns();
  }
  Measure stop() {
    Measure m;
    for (const auto& record : rig_.camera().transfer_log()) {
      ++m.transfers;
      m.data_bytes += record.request.length;
    }
    m.ioctls = rig_.camera().imu_samples_served() - imu_before_;
    m.slept_ns = rig_.clock().now_ns() - clock_before_;
    return m;
  }

 private:
  morvane::testing::VirtualCameraRig& rig_;
  std::uint64_t imu_before_ = 0;
  std::uint64_t clock_before_ = 0;
};

void report(benchmark::State& state, const Measure& m) {
  using benchmark::Counter;
  const double slept_ms = static_cast<double>(m.slept_ns) / 1e6;
  state.counters["transfers"] = Counter(static_cast<double>(m.transfers));
  state.counters["data_bytes"] = Counter(static_cast<double>(m.data_bytes));
  // Each control transfer also carries an 8-byte setup packet.
  state.counters["wire_bytes"] = Counter(static_cast<double>(m.data_bytes + 8 * m.transfers));
  state.counters["ioctls"] = Counter(static_cast<double>(m.ioctls));
  state.counters["sleep_ms"] = Counter(slept_ms);
  state.counters["ms@0.125"] = Counter(static_cast<double>(m.transfers) * 0.125 + slept_ms);
  state.counters["ms@0.5"] = Counter(static_cast<double>(m.transfers) * 0.5 + slept_ms);
  state.counters["ms@1"] = Counter(static_cast<double>(m.transfers) * 1.0 + slept_ms);
}

DeviceInfo first_camera() {
  Result<std::vector<DeviceInfo>> devices = scan_devices();
  if (!devices.ok() || devices.value->empty()) return {};
  return devices.value->front();
}

// Runs `op` once per iteration on a fresh device; reports the last run's
// figures (every run costs the same on the deterministic virtual camera).
template <typename Setup, typename Op>
void run(benchmark::State& state, std::uint32_t capabilities, Setup setup, Op op) {
  morvane::testing::VirtualCameraRig rig;
  DeviceInfo info = first_camera();
  OpenDeviceOptions options;
  options.required_capabilities = capabilities;
  Result<Device> opened = open_device(info, options);
  if (!opened.ok()) {
    state.SkipWithError(opened.message.c_str());
    return;
  }
  Device& device = *opened.value;
  if (!setup(device)) {
    state.SkipWithError("set-up failed");
    return;
  }
  Wire wire(rig);
  Measure last;
  for (auto _ : state) {
    wire.start();
    if (!op(device, info)) {
      state.SkipWithError("operation failed");
      return;
    }
    last = wire.stop();
  }
  report(state, last);
}

bool store_document(Device& device) { return device.write_json(calibration_document()).ok(); }
bool nothing(Device&) { return true; }

void BM_ReadJson2KiB(benchmark::State& state) {
  run(state, 0, store_document, [](Device& d, const DeviceInfo&) { return d.read_json().ok(); });
}
void BM_WriteJson2KiB(benchmark::State& state) {
  const std::string document = calibration_document();
  run(state, 0, nothing, [&](Device& d, const DeviceInfo&) { return d.write_json(document).ok(); });
}
void BM_OpenDevice(benchmark::State& state) {
  const auto capabilities = static_cast<std::uint32_t>(state.range(0));
  run(state, 0, store_document, [capabilities](Device&, const DeviceInfo& info) {
    OpenDeviceOptions options;
    options.required_capabilities = capabilities;
    return open_device(info, options).ok();
  });
}
void BM_OpenImu(benchmark::State& state) {
  run(state, 0, nothing, [](Device& d, const DeviceInfo&) {
    const bool ok = d.open_imu().ok();
    return d.close_imu().ok() && ok;
  });
}
void BM_ReadImu(benchmark::State& state) {
  run(
      state, 0, [](Device& d) { return d.open_imu().ok(); },
      [](Device& d, const DeviceInfo&) { return d.read_imu().ok(); });
}

BENCHMARK(BM_ReadJson2KiB)->Iterations(2);
BENCHMARK(BM_WriteJson2KiB)->Iterations(2);
BENCHMARK(BM_OpenDevice)->Arg(0x0)->Arg(0x1)->Arg(0x2)->Arg(0x4)->Arg(0x7)->Iterations(2);
BENCHMARK(BM_OpenImu)->Iterations(2);
BENCHMARK(BM_ReadImu)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
