// Reading the stored configuration blob on the virtual camera: the
// byte-banging read beside the fast reads, for documents of 2, 8 and 32 KiB,
// on a controller with the streaming flash request and on one without.
//
//   specified        read_blob_from_device
//   fast             read_blob_fast without a held copy (streaming where possible)
//   default, held    read_blob_fast holding the stored blob, reuse not asked
//                    for: the sound default, every byte read from the flash
//   reuse unchanged  opt-in reuse (reuse_held_copy) holding the stored blob
//   reuse changed    opt-in reuse holding a different blob of the same size
//
// What each path checks: specified, fast and default read every byte of the
// blob (fast and default by streaming requests where the controller has
// them, the header by byte-banging) and check magic, header ranges, length
// and CRC-32; the opt-in reuse reads the stored header and the payload's
// last 4 bytes and compares them with the held copy, never the middle.
//
// Figures come from the camera's transfer log and the virtual clock (the
// controller library's polls and settle times), not from the host's clock:
// they are what a real bus would carry. Modelled time = transfers x the
// per-transfer cost + the time slept. Each read is checked against the
// stored bytes; a read that returns anything else fails the run.
//
// Run: bench_fast_read --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace {

using namespace morvane::uvc_stereo;

constexpr int kStreamingRomRow = 15;  // a controller generation with the streaming request
constexpr int kPlainRomRow = 12;      // the default controller, without it

enum Mode { kSpecified = 0, kFast = 1, kDefaultHeld = 2, kReuseUnchanged = 3, kReuseChanged = 4 };
const char* const kModeNames[] = {"specified", "fast", "default, held", "reuse unchanged", "reuse changed"};

// A compact JSON document of exactly `size` bytes; `seed` changes its digits.
std::vector<std::uint8_t> document(std::size_t size, int seed) {
  std::string text = "{\"seed\":" + std::to_string(seed % 10) + ",\"k\":[";
  for (int i = 0; text.size() + 24 < size; ++i) text += std::to_string((i + seed) % 10) + ".125,";
  text += "0],\"pad\":\"";
  while (text.size() + 2 < size) text += 'x';
  text += "\"}";
  return {text.begin(), text.end()};
}

struct Figures {
  std::uint64_t transfers = 0;
  std::uint64_t data_bytes = 0;
  double slept_ms = 0;
  std::string path;
};

// Results by (streaming controller, document KiB, mode), for the table.
std::map<std::tuple<bool, int, int>, Figures>& results() {
  static std::map<std::tuple<bool, int, int>, Figures> table;
  return table;
}

void BM_ReadStoredBlob(benchmark::State& state) {
  const bool streaming = state.range(0) != 0;
  const int kib = static_cast<int>(state.range(1));
  const auto mode = static_cast<Mode>(state.range(2));

  morvane::emulator::CameraConfig camera_config = morvane::testing::default_camera_config();
  camera_config.rom_row = streaming ? kStreamingRomRow : kPlainRomRow;
  morvane::testing::VirtualCameraRig rig({camera_config});
  auto& camera = rig.camera();

  FlashConfig config;
  char vidpid[9];
  std::snprintf(vidpid, sizeof vidpid, "%04x%04x", camera_config.vid, camera_config.pid);
  config.vidpid = vidpid;
  config.auto_select = false;
  config.bus_number = camera_config.bus_number;
  config.device_address = camera.device_address();

  const std::size_t payload_size = static_cast<std::size_t>(kib) * 1024 - 16;  // blob of exactly `kib` KiB
  Result<FlashBlob> stored = build_blob(1, document(payload_size, 1), config);
  Result<FlashBlob> other = build_blob(1, document(payload_size, 2), config);
  if (!stored.ok() || !other.ok() || !write_blob_to_device(config, *stored.value).ok()) {
    state.SkipWithError("the document could not be stored");
    return;
  }
  // The first connection also detaches the kernel driver: not part of a read.
  if (!probe_flash_transport(config).ok()) {
    state.SkipWithError("the camera does not answer");
    return;
  }
  FastReadOptions options;
  if (mode == kDefaultHeld || mode == kReuseUnchanged) options.held_blob = *stored.value;
  if (mode == kReuseChanged) options.held_blob = *other.value;
  options.reuse_held_copy = mode == kReuseUnchanged || mode == kReuseChanged;

  Figures last;
  for (auto _ : state) {
    camera.clear_logs();
    const std::uint64_t clock_before = rig.clock().now_ns();
    std::vector<std::uint8_t> raw;
    std::string path = "byte_banging";
    if (mode == kSpecified) {
      Result<FlashBlob> read = read_blob_from_device(config);
      if (read.ok()) raw = read.value->raw;
    } else {
      Result<FastBlobResult> read = read_blob_fast(config, options);
      if (read.ok()) {
        raw = read.value->blob.raw;
        path = std::string(flash_read_path_name(read.value->path));
      }
    }
    if (raw != stored.value->raw) {
      state.SkipWithError("the read did not return the stored blob");
      return;
    }
    last = Figures{};
    for (const auto& record : camera.transfer_log()) {
      ++last.transfers;
      last.data_bytes += record.request.length;
    }
    last.slept_ms = static_cast<double>(rig.clock().now_ns() - clock_before) / 1e6;
    last.path = path;
  }
  results()[{streaming, kib, mode}] = last;
  using benchmark::Counter;
  state.counters["transfers"] = Counter(static_cast<double>(last.transfers));
  state.counters["wire_bytes"] = Counter(static_cast<double>(last.data_bytes + 8 * last.transfers));
  state.counters["sleep_ms"] = Counter(last.slept_ms);
  for (const double per_transfer : {0.125, 0.25, 1.0}) {
    state.counters["ms@" + std::to_string(per_transfer).substr(0, 5)] =
        Counter(static_cast<double>(last.transfers) * per_transfer + last.slept_ms);
  }
  state.SetLabel(last.path);
}

BENCHMARK(BM_ReadStoredBlob)
    ->ArgNames({"streaming", "KiB", "mode"})
    ->ArgsProduct({{0, 1}, {2, 8, 32}, {kSpecified, kFast, kDefaultHeld, kReuseUnchanged, kReuseChanged}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void print_table() {
  std::printf("\nStored-blob reads on the virtual camera (ratio = specified / this, by transfers)\n");
  std::printf("%-10s %4s %-16s %-13s %9s %10s %9s %10s %10s %10s %9s\n", "controller", "KiB", "read", "path",
              "transfers", "wire bytes", "sleep ms", "ms@0.125", "ms@0.25", "ms@1", "ratio");
  for (const auto& [key, f] : results()) {
    const auto& [streaming, kib, mode] = key;
    const auto base = results().find({streaming, kib, kSpecified});
    const double ratio = base != results().end() && f.transfers > 0
                             ? static_cast<double>(base->second.transfers) / static_cast<double>(f.transfers)
                             : 0.0;
    const auto ms = [&f](double per) { return static_cast<double>(f.transfers) * per + f.slept_ms; };
    std::printf("%-10s %4d %-16s %-13s %9llu %10llu %9.1f %10.1f %10.1f %10.1f %8.1fx\n",
                streaming ? "streaming" : "plain", kib, kModeNames[mode], f.path.c_str(),
                static_cast<unsigned long long>(f.transfers),
                static_cast<unsigned long long>(f.data_bytes + 8 * f.transfers), f.slept_ms, ms(0.125), ms(0.25),
                ms(1.0), ratio);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  print_table();
  benchmark::Shutdown();
  return 0;
}
