// Burning and exporting a 128 KiB firmware image on the virtual camera, by
// the flash window (8 bytes per request) and by the streaming request (64
// bytes per request). Reported per operation: the control transfers sent,
// the time that passed on the virtual clock (the library's sleeps, and the
// flash's program and erase times the emulated controller firmware waits
// for), and the modelled time on a real bus: transfers times a fixed cost per
// control transfer plus the virtual-clock time. The host time of the
// emulation itself is not a figure of interest.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "emulator/virtual_camera.hpp"
#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "sonix/sonix_cam.h"

namespace {

namespace emulator = morvane::emulator;
namespace platform = morvane::uvc_stereo::platform;

constexpr std::int64_t kImageSize = 128 * 1024;
// One synchronous control transfer (setup, data and status stages, host
// round trip) on a high-speed bus; an assumption of the model.
constexpr double kTransferMs = 0.25;
constexpr int kStreamingRomRow = 15;  // a controller generation with the streaming request

enum Operation { kBurnSpotCheck = 0, kBurnVerify = 1, kExport = 2 };

std::vector<std::uint8_t> image_bytes() {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> out(kImageSize);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng() & 0xFF);
  return out;
}

void BM_Firmware(benchmark::State& state) {
  const bool streaming = state.range(0) != 0;
  const auto operation = static_cast<Operation>(state.range(1));
  const auto image = image_bytes();
  std::vector<std::uint8_t> out(kImageSize);
  double transfers = 0;
  double clock_ms = 0;
  std::int64_t runs = 0;

  for (auto _ : state) {
    state.PauseTiming();
    emulator::CameraConfig config;
    if (streaming) config.rom_row = kStreamingRomRow;
    emulator::VirtualPlatform virtual_platform;
    auto& camera = virtual_platform.add_camera(config);
    platform::ScopedPlatform installed(virtual_platform);
    char vidpid[] = "0c450643";
    int type = 0;
    if (SonixCam_Init(vidpid, config.bus_number, camera.device_address()) != 1 ||
        SonixCam_GetSerialFlashType(&type, 0) != 1 || type == 0) {
      state.SkipWithError("the virtual camera could not be opened");
      SonixCam_UnInit();
      break;
    }
    if (operation == kExport) camera.load_flash(0, image);
    const auto transfers_before = camera.transfer_count();
    const auto clock_before = virtual_platform.clock().now_ns();
    state.ResumeTiming();

    int ok = 0;
    if (operation == kExport) {
      ok = SonixCam_ExportFW(out.data(), kImageSize, nullptr, nullptr);
    } else {
      auto copy = image;
      ok = SonixCam_BurnerFW(copy.data(), kImageSize, nullptr, nullptr, type, operation == kBurnVerify ? 1 : 0);
    }

    state.PauseTiming();
    transfers += static_cast<double>(camera.transfer_count() - transfers_before);
    clock_ms += static_cast<double>(virtual_platform.clock().now_ns() - clock_before) / 1e6;
    ++runs;
    SonixCam_UnInit();
    if (ok != 1) {
      state.SkipWithError("the operation failed on the virtual camera");
      state.ResumeTiming();
      break;
    }
    state.ResumeTiming();
  }
  if (runs == 0) return;
  const double per_run_transfers = transfers / static_cast<double>(runs);
  const double per_run_clock = clock_ms / static_cast<double>(runs);
  state.counters["transfers"] = per_run_transfers;
  state.counters["clock_ms"] = per_run_clock;
  state.counters["modelled_ms"] = per_run_transfers * kTransferMs + per_run_clock;
  state.counters["bytes_per_transfer"] = static_cast<double>(kImageSize) / per_run_transfers;
}

void Arguments(benchmark::internal::Benchmark* b) {
  b->ArgNames({"streaming", "op"});
  for (int streaming = 0; streaming <= 1; ++streaming) {
    for (int op : {kBurnSpotCheck, kBurnVerify, kExport}) b->Args({streaming, op});
  }
  b->Unit(benchmark::kMillisecond)->Iterations(2);
}

}  // namespace

// op: 0 burn with the spot check, 1 burn with full verification, 2 export.
BENCHMARK(BM_Firmware)->Apply(Arguments);
