// A program with globals of its own named like the access library's (libusb
// examples define `devh`): the library must keep using its own. Reads the
// simulated camera's document through the shared C++ library, then checks
// that the program's variables were left alone and that the library's
// exported error code is the one its failure left. Exits non-zero on a
// wrong result.
#include <morvane/uvc_stereo.hpp>
#include <morvane/uvc_stereo/simulation.hpp>

#include <cstdio>

void* devh = reinterpret_cast<void*>(0x1234);
int camera_init = 7;
extern "C" unsigned cal_pow(unsigned, int) { return 99; }

int access_library_error_after_failed_init();  // access_globals.cpp

int main() {
  namespace us = morvane::uvc_stereo;
  auto sim = us::SimulatedCamera::start();
  if (!sim.ok()) return std::printf("simulation: %s\n", sim.message.c_str()), 1;
  auto found = us::scan_devices();
  if (!found.ok() || found.value->size() != 1) return std::printf("scan: %s\n", found.message.c_str()), 2;
  auto device = us::open_device(found.value->front(), us::OpenDeviceOptions{});
  if (!device.ok()) return std::printf("open: %s\n", device.message.c_str()), 3;
  auto doc = device.value->read_json();
  if (!doc.ok() || doc.value->json.empty()) return std::printf("read_json: %s\n", doc.message.c_str()), 4;
  if (devh != reinterpret_cast<void*>(0x1234) || camera_init != 7 || cal_pow(2, 3) != 99)
    return std::printf("the program's globals changed: devh %p camera_init %d\n", devh, camera_init), 5;
  const int code = access_library_error_after_failed_init();
  if (code != 13) return std::printf("gEC after a failed SonixCam_Init: %d, expected 13\n", code), 6;
  std::printf("namesake consumer ok: document of %zu bytes, devh still %p\n", doc.value->json.size(), devh);
  return 0;
}
