// CRC-32 of a 64 KiB blob (the largest default flash blob): ours against zlib.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"
#include "ratio_reporter.hpp"

namespace {

const std::vector<std::uint8_t>& data_64k() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> d(64 * 1024);
    std::uint32_t x = 0x12345678u;
    for (auto& b : d) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<std::uint8_t>(x);
    }
    return d;
  }();
  return data;
}

void BM_Crc32Ieee(benchmark::State& state) {
  const auto& data = data_64k();
  for (auto _ : state) benchmark::DoNotOptimize(morvane::uvc_stereo::crc32_ieee(data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Crc32Ieee);

void BM_ZlibCrc32(benchmark::State& state) {
  const auto& data = data_64k();
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32(0L, data.data(), static_cast<uInt>(data.size())));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_ZlibCrc32);

}  // namespace

int main(int argc, char** argv) {
  const auto& data = data_64k();
  const std::uint32_t ours = morvane::uvc_stereo::crc32_ieee(data);
  const auto theirs = static_cast<std::uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size())));
  if (ours != theirs) {
    std::fprintf(stderr, "crc32_ieee 0x%08x differs from zlib 0x%08x\n", ours, theirs);
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  morvane::uvc_stereo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio("BM_Crc32Ieee", "BM_ZlibCrc32");
  benchmark::Shutdown();
  return 0;
}
