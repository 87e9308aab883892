// The camera the command-line tool's simulated mode (and any other
// simulated-camera entry point) stands up: a stereo camera turning slowly
// about one axis, with a realistic IMU.
#pragma once

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator {

// An IMU as the cameras ship it: 200 samples per second on a 1 MHz device
// clock running 80 ppm fast, each request returning the latest sample, and
// host reads through the UVC driver taking 0.1 to 2 ms (long-tailed).
ImuConfig realistic_imu_config();

// The simulated camera: serial "SIM0001", model "Stereo Camera (simulated)",
// the default identity otherwise (0c45:0643 on bus 1), an IMU from
// realistic_imu_config() in its +-16 g and +-2000 dps ranges turning at 25
// degrees per second with a little noise. Its flash is left empty: the
// caller supplies the firmware image and documents.
CameraConfig simulated_camera_config();

}  // namespace morvane::emulator
