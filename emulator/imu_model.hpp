// The IMU behind extension unit 4: one sample per request, a 20-bit sample
// counter that advances per sample and wraps, deterministic motion and noise,
// and the two failure statuses the IMU firmware reports in byte 0.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator {

class ImuModel {
 public:
  explicit ImuModel(const ImuConfig& config);

  // The reply to one sample request: a sample (the counter advances), or the
  // status byte followed by zeros while a failure is reported (no sample is
  // taken, the counter stays).
  std::array<std::uint8_t, kImuSampleLength> next_reply();
  // The sample the next successful request returns.
  ImuSample peek() const;

  void set_status(ImuStatus status) { status_ = status; }
  void fail_next(int count, ImuStatus status);
  std::uint64_t samples_served() const { return served_; }

 private:
  ImuSample make(std::uint64_t index, std::mt19937* noise) const;

  ImuConfig config_;
  ImuStatus status_ = ImuStatus::ok;
  int fail_count_ = 0;
  ImuStatus fail_status_ = ImuStatus::ok;
  std::uint32_t counter_;
  std::uint64_t served_ = 0;
  std::mt19937 noise_;
};

}  // namespace morvane::emulator
