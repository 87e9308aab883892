// Control transfers per flash byte on the virtual camera, for the four ways
// the SonixCam library moves flash data: the byte-banging read and write (the
// host drives the SPI bus register by register), the flash window read (8
// bytes per request) and the streaming read (64 bytes per request). The figure
// comes from the camera's transfer log, not from a clock: it is what a real
// bus would carry. Reported as the counter "control transfers per byte".
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

// Below 0x30000, where the flash window addresses the flash directly.
constexpr std::uint32_t kAddress = 0x21000;
constexpr int kStreamingRomRow = 15;  // a controller generation with the streaming request

enum Path { kBangRead = 0, kBangWrite = 1, kWindowRead = 2, kStreamRead = 3 };

void BM_TransfersPerByte(benchmark::State& state) {
  const auto path = static_cast<Path>(state.range(0));
  const auto length = static_cast<std::int64_t>(state.range(1));
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> buffer(data.size());
  double transfers = 0;
  double bytes = 0;

  for (auto _ : state) {
    state.PauseTiming();
    emulator::CameraConfig config;
    if (path == kStreamRead) config.rom_row = kStreamingRomRow;
    config.flash.contents.assign(kAddress, 0xFF);
    config.flash.contents.insert(config.flash.contents.end(), data.begin(), data.end());
    emulator::VirtualPlatform virtual_platform;
    auto& camera = virtual_platform.add_camera(config);
    platform::ScopedPlatform installed(virtual_platform);
    char vidpid[] = "0c450643";
    int type = 0;
    if (SonixCam_Init(vidpid, config.bus_number, camera.device_address()) != 1 ||
        SonixCam_GetSerialFlashType(&type, 1) != 1 || type == 0) {
      state.SkipWithError("the virtual camera could not be opened");
      SonixCam_UnInit();
      break;
    }
    const std::size_t before = camera.transfer_count();
    state.ResumeTiming();

    int ok = 0;
    switch (path) {
      case kBangRead:
        ok = SonixCam_SerialFlashCustomRead(kAddress, buffer.data(), length);
        break;
      case kBangWrite:
        ok = SonixCam_SerialFlashSectorCustomWrite(kAddress, data.data(), length, type);
        break;
      case kWindowRead:
        ok = LibUsb_ReadFormSF(kAddress, buffer.data(), length);
        break;
      case kStreamRead:
        ok = SonixCam_SerialFlashRead(kAddress, buffer.data(), length);
        break;
    }

    state.PauseTiming();
    transfers += static_cast<double>(camera.transfer_count() - before);
    bytes += static_cast<double>(length);
    SonixCam_UnInit();
    if (ok != 1 || (path != kBangWrite && buffer != data)) {
      state.SkipWithError("the transfer failed or moved wrong data");
      break;
    }
    state.ResumeTiming();
  }
  if (bytes > 0) state.counters["control transfers per byte"] = transfers / bytes;
}

BENCHMARK(BM_TransfersPerByte)
    ->ArgNames({"path", "bytes"})
    ->ArgsProduct({{kBangRead, kBangWrite, kWindowRead, kStreamRead}, {64, 1024, 4096}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
