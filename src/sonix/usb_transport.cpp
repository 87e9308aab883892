// SonixCam connection and extension-unit transport: finding and opening the
// camera, claiming interface 0, probing the extension unit, identifying the
// controller chip, the register map, and the register/ROM/memory-type
// requests every other part of the library is built on.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.hpp"
#include "sonix/sonix_internal.h"

namespace platform = morvane::uvc_stereo::platform;
using namespace morvane::uvc_stereo::sonix;

// ---- Process-wide state.
int camera_init = 0;
libusb_device_handle* devh = nullptr;
libusb_device** g_pDevList = nullptr;
int gEC = 0;
uint16_t g_CurDspExtendUnitID = 0x0300;
uint32_t uiRomID = 0;
int g_supportXU6 = 0;
int g_supportI2C64 = 0;

const uint16_t g_AsicArchInfo[2][20] = {
    {0x101F, 0x1073, 0x1005, 0x1006, 0x1007, 0x1084, 0x1080, 0x1091, 0x1082, 0x1083,
     0x1081, 0x1088, 0x1089, 0x10D0, 0x10D9, 0x10D7, 0x10D8, 0x10D1, 0x10D2, 0x1002},
    {0x80F0, 0x8C00, 0x8200, 0x8201, 0x8202, 0x8E04, 0x8E00, 0x8E11, 0x8E02, 0x8E03,
     0x8E01, 0x8E08, 0x8E09, 0x8600, 0x8609, 0x8607, 0x8608, 0x8601, 0x8602, 0x8045},
};

// The globals start out holding row 0.
uint16_t dspIdAddr = 0x101F, usbResetAddr = 0x1073, gpioInputAddr = 0x1005, gpioOutputAddr = 0x1006,
         gpioOEAddr = 0x1007;
uint16_t sfRdyAddr = 0x1084, sfModeAddr = 0x1080, sfCSAddr = 0x1091, sfWriteDataAddr = 0x1082, sfReadDataAddr = 0x1083;
uint16_t sfReadWriteTriggerAddr = 0x1081, sfReadCmdAddr = 0x1088, sfReadDataStartAddr = 0x1089;
uint16_t i2cDev = 0x10D0, i2cMode = 0x10D9, i2cTrg = 0x10D7, i2cSclSelOD = 0x10D8, i2cSlaveID = 0x10D1,
         i2cDataArrStartAddr = 0x10D2;
uint16_t cpuRateAddr = 0x1002;

// The documented names of the globals above, exported for programs.
SONIXCAM_EXPORT_DATA(camera_init);
SONIXCAM_EXPORT_DATA(devh);
SONIXCAM_EXPORT_DATA(g_pDevList);
SONIXCAM_EXPORT_DATA(gEC);
SONIXCAM_EXPORT_DATA(g_CurDspExtendUnitID);
SONIXCAM_EXPORT_DATA(uiRomID);
SONIXCAM_EXPORT_DATA(g_supportXU6);
SONIXCAM_EXPORT_DATA(g_supportI2C64);
SONIXCAM_EXPORT_DATA(g_AsicArchInfo);
SONIXCAM_EXPORT_DATA(dspIdAddr);
SONIXCAM_EXPORT_DATA(usbResetAddr);
SONIXCAM_EXPORT_DATA(gpioInputAddr);
SONIXCAM_EXPORT_DATA(gpioOutputAddr);
SONIXCAM_EXPORT_DATA(gpioOEAddr);
SONIXCAM_EXPORT_DATA(sfRdyAddr);
SONIXCAM_EXPORT_DATA(sfModeAddr);
SONIXCAM_EXPORT_DATA(sfCSAddr);
SONIXCAM_EXPORT_DATA(sfWriteDataAddr);
SONIXCAM_EXPORT_DATA(sfReadDataAddr);
SONIXCAM_EXPORT_DATA(sfReadWriteTriggerAddr);
SONIXCAM_EXPORT_DATA(sfReadCmdAddr);
SONIXCAM_EXPORT_DATA(sfReadDataStartAddr);
SONIXCAM_EXPORT_DATA(i2cDev);
SONIXCAM_EXPORT_DATA(i2cMode);
SONIXCAM_EXPORT_DATA(i2cTrg);
SONIXCAM_EXPORT_DATA(i2cSclSelOD);
SONIXCAM_EXPORT_DATA(i2cSlaveID);
SONIXCAM_EXPORT_DATA(i2cDataArrStartAddr);
SONIXCAM_EXPORT_DATA(cpuRateAddr);

namespace {

// Chip identification table: chip id byte, ROM type, register map row.
struct ChipRow {
  uint8_t chip_id;
  int rom_type;
  int arch;
};

constexpr ChipRow kChipTable[] = {
    {0x15, 2, 0}, {0x16, 2, 0}, {0x22, 2, 0}, {0x23, 2, 0}, {0x25, 2, 0}, {0x32, 2, 0}, {0x33, 2, 0},
    {0x56, 2, 0}, {0x70, 2, 0}, {0x71, 2, 0}, {0x75, 2, 0}, {0x87, 2, 0}, {0x88, 2, 0}, {0x67, 1, 0},
    {0x76, 3, 0}, {0x83, 3, 0}, {0x92, 3, 0}, {0x85, 4, 1}, {0x86, 3, 1}, {0x89, 3, 1}, {0x90, 3, 1},
};

const ChipRow* find_chip(uint8_t chip_id) {
  for (const ChipRow& row : kChipTable) {
    if (row.chip_id == chip_id) return &row;
  }
  return nullptr;
}

// Releases everything an open took, in the order close uses, so that the
// next open starts from a clean library state.
void release_connection() {
  platform::Platform& p = platform::current();
  if (devh != nullptr) {
    p.usb_close(devh);
    devh = nullptr;
  }
  if (g_pDevList != nullptr) {
    p.usb_free_device_list(g_pDevList, 1);
    g_pDevList = nullptr;
  }
  p.usb_exit();
}

// After a failed open: releases interface 0 if it was claimed and, if this
// open detached the kernel driver, binds it again so the video node returns
// without a replug.
void give_back_interface(bool claimed, bool detached) {
  platform::Platform& p = platform::current();
  if (devh == nullptr) return;
  if (claimed) p.usb_release_interface(devh, 0);
  if (detached) p.usb_attach_kernel_driver(devh, 0);
}

}  // namespace

// ---- Raw extension-unit requests.

int LibUsb_Read(uint16_t value, uint16_t index, uint8_t* data, uint16_t length) {
  if (devh == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  if (data == nullptr && length != 0) return LIBUSB_ERROR_INVALID_PARAM;
  return platform::current().usb_control_transfer(devh, kGetCurRequestType, kGetCur, value, index, data, length,
                                                  kTransferTimeoutMs);
}

int LibUsb_Write(uint16_t value, uint16_t index, uint8_t* data, uint16_t length) {
  if (devh == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  if (data == nullptr && length != 0) return LIBUSB_ERROR_INVALID_PARAM;
  return platform::current().usb_control_transfer(devh, kSetCurRequestType, kSetCur, value, index, data, length,
                                                  kTransferTimeoutMs);
}

int SonixCam_XuRead(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector) {
  if (!camera_open()) return 0;
  return LibUsb_Read(static_cast<uint16_t>(selector << 8), static_cast<uint16_t>(unit_id << 8), buffer, length) >= 0
             ? 1
             : 0;
}

int SonixCam_XuWrite(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector) {
  if (!camera_open()) return 0;
  return LibUsb_Write(static_cast<uint16_t>(selector << 8), static_cast<uint16_t>(unit_id << 8), buffer, length) >= 0
             ? 1
             : 0;
}

int XU_Read(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector) {
  return LibUsb_Read(selector, unit_id, buffer, length) >= 0 ? 1 : 0;
}

int XU_Write(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector) {
  return LibUsb_Write(selector, unit_id, buffer, length) >= 0 ? 1 : 0;
}

// ---- Controller registers, ROM and memory type.

int LibUsb_ReadFromASIC(uint16_t address, uint8_t* value) {
  if (value == nullptr) return 0;
  uint8_t payload[4] = {static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(address >> 8), 0, 0xFF};
  LibUsb_Write(kAsicRegisterControl, g_CurDspExtendUnitID, payload, sizeof payload);
  int r = LibUsb_Read(kAsicRegisterControl, g_CurDspExtendUnitID, payload, sizeof payload);
  if (r < 0) {
    std::fprintf(stderr, "F0 error %d\n", r);
    return 0;
  }
  *value = payload[2];
  return 1;
}

int LibUsb_WriteToASIC(uint16_t address, uint8_t value) {
  uint8_t payload[4] = {static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(address >> 8), value, 0x00};
  int r = LibUsb_Write(kAsicRegisterControl, g_CurDspExtendUnitID, payload, sizeof payload);
  if (r < 0) {
    std::fprintf(stderr, "F1 error %d\n", r);
    return 0;
  }
  return 1;
}

int LibUsb_EnableAsicRegisterBit(uint16_t address, uint8_t bit) {
  if (bit > 7) return 0;
  uint8_t value = 0;
  if (!LibUsb_ReadFromASIC(address, &value)) return 0;
  return LibUsb_WriteToASIC(address, static_cast<uint8_t>(value | (1u << bit)));
}

int LibUsb_DisableAsicRegisterBit(uint16_t address, uint8_t bit) {
  if (bit > 7) return 0;
  uint8_t value = 0;
  if (!LibUsb_ReadFromASIC(address, &value)) return 0;
  return LibUsb_WriteToASIC(address, static_cast<uint8_t>(value & ~(1u << bit)));
}

uint8_t LibUsb_ReadBitFormAsic(uint16_t address, uint8_t bit) {
  if (bit > 7) return 0;
  uint8_t value = 0;
  if (!LibUsb_ReadFromASIC(address, &value)) return 0;
  return static_cast<uint8_t>(value & (1u << bit));
}

int ReadDataFromAsic(uint16_t address, uint32_t* value) {
  if (value == nullptr) return 0;
  uint32_t result = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t byte = 0;
    if (!LibUsb_ReadFromASIC(static_cast<uint16_t>(address + i), &byte)) return 0;
    result = (result << 8) | byte;  // most significant byte at the lowest address
  }
  *value = result;
  return 1;
}

int WriteDataToAsic(uint16_t address, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    uint8_t byte = static_cast<uint8_t>(value >> (8 * (3 - i)));
    if (!LibUsb_WriteToASIC(static_cast<uint16_t>(address + i), byte)) return 0;
  }
  return 1;
}

int LibUsb_ReadFromROM(uint16_t address, uint8_t* data8) {
  if (data8 == nullptr) return 0;
  uint8_t payload[11] = {static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(address >> 8), 8};
  int r = LibUsb_Write(kRomWindowControl, g_CurDspExtendUnitID, payload, sizeof payload);
  if (r >= 0) r = LibUsb_Read(kRomWindowControl, g_CurDspExtendUnitID, payload, sizeof payload);
  if (r < 0) {
    std::fprintf(stderr, "F2 error %d\n", r);
    return 0;
  }
  std::memcpy(data8, payload + 3, 8);
  return 1;
}

int LibUsb_GetMemType(uint8_t* mem_type) {
  if (mem_type == nullptr) return 0;
  uint8_t reply[11] = {};
  if (LibUsb_Read(kMemTypeControl, g_CurDspExtendUnitID, reply, sizeof reply) < 0) return 0;
  *mem_type = reply[2];
  return 1;
}

int LibUsb_GetChipID(uint16_t address, uint8_t* chip_id) {
  if (chip_id == nullptr) return 0;
  uint8_t value = 0;
  if (!LibUsb_ReadFromASIC(address, &value)) return 0;
  *chip_id = value;
  return 1;
}

int LibUsb_GetChipRomType(uint8_t* chip_id, int* arch) {
  const uint16_t id_registers[2] = {g_AsicArchInfo[0][0], g_AsicArchInfo[1][0]};
  for (uint16_t reg : id_registers) {
    uint8_t value = 0;
    if (!LibUsb_GetChipID(reg, &value)) return 0;
    if (const ChipRow* row = find_chip(value)) {
      if (chip_id != nullptr) *chip_id = row->chip_id;
      if (arch != nullptr) *arch = row->arch;
      return row->rom_type;
    }
  }
  return 0;
}

int LibUsb_SetAsicArchInfo(int arch) {
  if (arch < 0 || arch > 1) return 0;
  uint8_t chip = 0;
  int chip_arch = 0;
  if (LibUsb_GetChipRomType(&chip, &chip_arch) != 0 && (chip == 0x86 || chip == 0x88 || chip == 0x89 || chip == 0x90)) {
    g_supportI2C64 = 1;
  }
  uint8_t version[8] = {};
  if (LibUsb_GetAsicRomVersion(version) &&
      (uiRomID == 15 || uiRomID == 20 || uiRomID == 37 || uiRomID == 38 || uiRomID == 39)) {
    g_supportXU6 = 1;
  }
  uint16_t* const targets[20] = {&dspIdAddr,
                                 &usbResetAddr,
                                 &gpioInputAddr,
                                 &gpioOutputAddr,
                                 &gpioOEAddr,
                                 &sfRdyAddr,
                                 &sfModeAddr,
                                 &sfCSAddr,
                                 &sfWriteDataAddr,
                                 &sfReadDataAddr,
                                 &sfReadWriteTriggerAddr,
                                 &sfReadCmdAddr,
                                 &sfReadDataStartAddr,
                                 &i2cDev,
                                 &i2cMode,
                                 &i2cTrg,
                                 &i2cSclSelOD,
                                 &i2cSlaveID,
                                 &i2cDataArrStartAddr,
                                 &cpuRateAddr};
  for (int i = 0; i < 20; ++i) *targets[i] = g_AsicArchInfo[arch][i];
  return cpuRateAddr;
}

int GetUVCExtendUnitID() {
  uint8_t chip = 0;
  int arch = 0;
  g_CurDspExtendUnitID = 0x0300;
  if (LibUsb_GetChipRomType(&chip, &arch) != 0) return 0x0300;
  g_CurDspExtendUnitID = 0x0400;
  if (LibUsb_GetChipRomType(&chip, &arch) != 0) return 0x0400;
  std::printf("Get uvc extend unit id fail\n");
  return 0;
}

int IsSupportXU6() { return g_supportXU6; }
int IsSupportI2C64() { return g_supportI2C64; }

// ---- The per-camera lock.
//
// One camera is used by one connection at a time across every process and
// both SDK libraries (each library keeps its own connection state): an
// open takes the lock of the camera's USB device node, waiting up to 10 s
// for another user to finish, and close releases it after the device has
// been closed. Nothing of it reaches the wire. Where the node cannot be
// opened for locking (no such device, no write access, or no locks on this
// platform) the open goes on unlocked and libusb reports what it finds.
//
// The lock object is the node itself, opened write-only, with a write lock
// (see platform::Platform::lock_open): only a user allowed to write to the
// camera, which every flash operation needs anyway, can take it, while a
// user who may only read the node (the udev rule gives 0664) cannot. Such a
// user can still set a read lock in its way (the platform header says why
// no better object is at hand); a waiter that gives up because of one says
// so. The wait blocks on the node's "closed after writing" events (every
// release is one), so a waiter tries again the moment the holder lets go,
// not at its next poll.
//
// It is fair through a queue of numbered slots: a taker passes the gate (a
// second lock of the node, held only for the few calls that follow), takes
// the slot after the highest one held, gives the gate back, and tries for
// the lock only while no lower slot is held; once the lock is its own it
// gives its slot up. A user who releases and takes the camera back to back
// so lines up behind every waiter already there: a waiter is served after
// at most the holder's and the earlier waiters' turns.

namespace {

constexpr long kCameraLockWaitMs = 10'000;

int g_camera_lock_fd = -1;
bool g_last_open_busy = false;
bool g_last_open_read_lock = false;
// The camera of the open connection (set by a successful SonixCam_Init).
morvane::uvc_stereo::sonix::OpenCamera g_open_camera;

enum class CameraLock { taken, unavailable, busy, held_by_reader };

CameraLock take_camera_lock(uint8_t bus_number, uint8_t device_address) {
  char path[32];
  std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(bus_number),
                static_cast<unsigned>(device_address));
  const int fd = morvane::uvc_stereo::sonix::take_node_lock(platform::current(), path, kCameraLockWaitMs);
  if (fd >= 0) {
    g_camera_lock_fd = fd;
    return CameraLock::taken;
  }
  if (fd == -3) return CameraLock::held_by_reader;
  return fd == -2 ? CameraLock::busy : CameraLock::unavailable;
}

void release_camera_lock() {
  if (g_camera_lock_fd < 0) return;
  platform::current().lock_close(g_camera_lock_fd);
  g_camera_lock_fd = -1;
}

// Waits for `take` (the lock or the gate of `fd`) up to `wait_ns` from
// `start_ns`: 1 taken, 0 the time ran out, -1 the lock cannot be had at all.
//
// A release is announced as the holder's descriptor begins to close, a
// moment before its locks are gone; so after each announcement the next
// few tries come 1 ms apart before the wait goes back to blocking.
template <typename Take>
int wait_for(platform::Platform& p, int watch, std::uint64_t start_ns, std::uint64_t wait_ns, Take take) {
  constexpr int kTriesAfterRelease = 20;
  int quick_tries = 0;
  for (long round = 0;; ++round) {
    errno = 0;
    if (take() == 0) return 1;
    const int error = errno;
    if (error != EWOULDBLOCK && error != EAGAIN && error != EINTR) return -1;
    const std::uint64_t now = platform::monotonic_ns();
    // Should the clock fail, the bound is counted in rounds of 20 ms.
    const std::uint64_t waited =
        start_ns != 0 && now != 0 ? now - start_ns : static_cast<std::uint64_t>(round) * 20'000'000ULL;
    if (waited >= wait_ns) return 0;
    long wait_ms = static_cast<long>((wait_ns - waited + 999'999) / 1'000'000);
    if (quick_tries > 0) {
      --quick_tries;
      wait_ms = std::min(wait_ms, 1L);
    }
    if (p.lock_wait(watch, wait_ms) == 1) quick_tries = kTriesAfterRelease;
  }
}

}  // namespace

namespace morvane::uvc_stereo::sonix {

int take_node_lock(platform::Platform& p, const std::string& path, long wait_ms) {
  const int fd = p.lock_open(path);
  if (fd < 0) return -1;
  const int gate = p.lock_open(path);
  const int slot_fd = gate < 0 ? -1 : p.lock_open(path);
  // Watching starts before the first try, so no release can fall between
  // a failed try and the wait.
  const int watch = p.lock_watch(path);
  const std::uint64_t start = platform::monotonic_ns();
  const std::uint64_t wait_ns = static_cast<std::uint64_t>(wait_ms) * 1'000'000ULL;
  int got = gate < 0 ? 1 : wait_for(p, watch, start, wait_ns, [&] { return p.lock_try_gate(gate); });
  // In line behind the highest slot held. Without a slot (the queue cannot
  // be read or joined) the taker simply waits for the lock.
  long slot = 0;
  if (got == 1 && slot_fd >= 0) {
    const long last = p.lock_queue_last(slot_fd);
    if (last >= 1 && p.lock_queue_join(slot_fd, last + 1) == 0) slot = last + 1;
  }
  // The gate goes back at once (its release wakes the next taker).
  if (gate >= 0) p.lock_close(gate);
  if (got == 1) {
    got = wait_for(p, watch, start, wait_ns, [&] {
      if (slot != 0 && p.lock_queue_ahead(slot_fd, slot) == 1) {
        errno = EWOULDBLOCK;
        return -1;
      }
      return p.lock_try(fd);
    });
  }
  // The slot is given up once the lock is taken (or the wait is over): its
  // release wakes the waiter behind.
  if (slot_fd >= 0) p.lock_close(slot_fd);
  p.lock_unwatch(watch);
  if (got == 1) return fd;
  const bool reader = got == 0 && p.lock_held_by_reader(fd) == 1;
  p.lock_close(fd);
  return got == 0 ? (reader ? -3 : -2) : -1;
}

}  // namespace morvane::uvc_stereo::sonix

namespace morvane::uvc_stereo::sonix {
bool last_open_found_camera_busy() { return g_last_open_busy; }
bool last_open_found_read_lock() { return g_last_open_read_lock; }
std::string read_lock_message(std::uint8_t bus_number, std::uint8_t device_address) {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(bus_number),
                static_cast<unsigned>(device_address));
  return std::string("camera ") + (node + 13) + " is busy: its lock is held by a read lock, which no user of the " +
         "camera takes: a process that can only read " + node + " is blocking it";
}
bool open_camera(OpenCamera& camera) {
  if (!camera_open()) return false;
  camera = g_open_camera;
  return true;
}
}  // namespace morvane::uvc_stereo::sonix

// ---- Opening and closing.

int chr2hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;  // anything else counts as the digit 0
}

unsigned cal_pow(unsigned base, int exponent) {
  unsigned result = 1;
  for (int i = 0; i < exponent; ++i) result *= base;
  return result;
}

int VidPidStringToInt(const char* vidpid, uint16_t* vid, uint16_t* pid) {
  if (vidpid == nullptr || vid == nullptr || pid == nullptr) return 0;
  if (std::strlen(vidpid) != 8) return 0;
  unsigned v = 0;
  unsigned p = 0;
  for (int i = 0; i < 4; ++i) {
    v += static_cast<unsigned>(chr2hex(vidpid[i])) * cal_pow(16, 3 - i);
    p += static_cast<unsigned>(chr2hex(vidpid[4 + i])) * cal_pow(16, 3 - i);
  }
  *vid = static_cast<uint16_t>(v);
  *pid = static_cast<uint16_t>(p);
  return 1;
}

int LibUsb_EnumDevice(char* vidpid, uint8_t bus_number, uint8_t device_address) {
  platform::Platform& p = platform::current();
  devh = nullptr;
  g_pDevList = nullptr;
  libusb_device** list = nullptr;
  ssize_t count = p.usb_get_device_list(&list);
  if (count < 0) {
    release_connection();
    return 0;
  }
  g_pDevList = list;

  uint16_t vid = 0;
  uint16_t pid = 0;
  if (!VidPidStringToInt(vidpid, &vid, &pid)) {
    release_connection();
    return 0;
  }

  for (ssize_t i = 0; i < count && list[i] != nullptr; ++i) {
    libusb_device* dev = list[i];
    libusb_device_descriptor desc{};
    if (p.usb_get_device_descriptor(dev, &desc) < 0) {
      std::fprintf(stderr, "failed to get device descriptor\n");
      continue;
    }
    if (desc.idVendor != vid || desc.idProduct != pid) continue;
    if (p.usb_get_bus_number(dev) != bus_number || p.usb_get_device_address(dev) != device_address) continue;
    libusb_device_handle* handle = nullptr;
    int r = p.usb_open(dev, &handle);
    if (r >= 0 && handle != nullptr) {
      devh = handle;
      break;
    }
    std::fprintf(stderr, "libusb_open failed, r=%d(%s)\n", r, p.usb_error_name(r));
  }
  if (devh == nullptr) {
    release_connection();
    return 0;
  }

  // Whether this open took interface 0 from its kernel driver: only a
  // detach that succeeded here is handed back on failure, never a driver
  // that another process detached.
  bool detached = false;
  if (p.usb_kernel_driver_active(devh, 0) == 1) detached = p.usb_detach_kernel_driver(devh, 0) == 0;

  bool claimed = false;
  for (int attempt = 0; attempt < 3 && !claimed; ++attempt) {
    if (p.usb_claim_interface(devh, 0) >= 0) {
      claimed = true;
    } else {
      if (p.usb_detach_kernel_driver(devh, 0) == 0) detached = true;
      p.usb_set_configuration(devh, 1);
    }
  }
  if (!claimed) {
    std::printf("usb claim interface failed\n");
    give_back_interface(false, detached);
    release_connection();
    return 0;
  }

  int unit = GetUVCExtendUnitID();
  if (unit == 0) {
    give_back_interface(true, detached);
    release_connection();
    return 0;
  }
  g_CurDspExtendUnitID = static_cast<uint16_t>(unit);

  uint8_t chip = 0;
  int arch = 0;
  if (LibUsb_GetChipRomType(&chip, &arch) == 0 || LibUsb_SetAsicArchInfo(arch) == 0) {
    give_back_interface(true, detached);
    release_connection();
    g_supportI2C64 = 0;
    g_supportXU6 = 0;
    return 0;
  }
  return 1;
}

int LibUsb_CloseDevice() {
  platform::Platform& p = platform::current();
  if (devh != nullptr) {
    p.usb_release_interface(devh, 0);
    if (p.usb_kernel_driver_active(devh, 0) != 1) p.usb_attach_kernel_driver(devh, 0);
    p.usb_close(devh);
    if (g_pDevList != nullptr) p.usb_free_device_list(g_pDevList, 1);
    p.usb_exit();
    devh = nullptr;
  } else {
    if (g_pDevList != nullptr) p.usb_free_device_list(g_pDevList, 1);
    p.usb_exit();
  }
  g_pDevList = nullptr;
  g_supportI2C64 = 0;
  g_supportXU6 = 0;
  camera_init = 0;
  release_camera_lock();
  return 1;
}

int SonixCam_Init(char* vidpid, uint8_t bus_number, uint8_t device_address) {
  if (camera_init == 1) return 1;
  g_last_open_busy = false;
  g_last_open_read_lock = false;
  const CameraLock lock = take_camera_lock(bus_number, device_address);
  if (lock == CameraLock::busy || lock == CameraLock::held_by_reader) {
    g_last_open_busy = true;
    g_last_open_read_lock = lock == CameraLock::held_by_reader;
    gEC = SONIXCAM_EC_BUSY;
    const unsigned bus = bus_number;
    const unsigned address = device_address;
    if (g_last_open_read_lock) {
      std::fprintf(stderr, "%s\n", morvane::uvc_stereo::sonix::read_lock_message(bus_number, device_address).c_str());
    } else {
      std::fprintf(stderr, "camera %03u/%03u is busy: another user still holds it after 10 s\n", bus, address);
    }
    return 0;
  }
  if (platform::current().usb_init() < 0) {
    std::fprintf(stderr, "failed to initialise libusb\n");
    release_camera_lock();
    return 0;
  }
  if (!LibUsb_EnumDevice(vidpid, bus_number, device_address)) {
    gEC = SONIXCAM_EC_INIT;
    release_camera_lock();
    return 0;
  }
  g_open_camera = {};
  (void)VidPidStringToInt(vidpid, &g_open_camera.vid, &g_open_camera.pid);
  g_open_camera.bus_number = bus_number;
  g_open_camera.device_address = device_address;
  camera_init = 1;
  return 1;
}

int SonixCam_UnInit() {
  if (camera_init == 0) return 0;
  LibUsb_CloseDevice();
  return 1;
}

int LibUsb_RestartDevice() {
  uint8_t version[8] = {};
  if (!LibUsb_GetAsicRomVersion(version)) {
    gEC = SONIXCAM_EC_ROM_UNKNOWN;
    return 0;
  }
  if (uiRomID == 0 || uiRomID == 1) return 0;  // these controllers cannot restart themselves
  if (uiRomID == 31 || uiRomID == 32) {
    uint8_t value = 0;
    if (!LibUsb_ReadFromASIC(usbResetAddr, &value)) return 0;
    LibUsb_WriteToASIC(usbResetAddr, static_cast<uint8_t>(value & ~0x01));
    platform::sleep_ms(1);
    return 1;
  }
  LibUsb_WriteToASIC(usbResetAddr, 0);
  return 1;
}

int SonixCam_RestartDevice() {
  if (!camera_open()) return 0;
  return LibUsb_RestartDevice();
}

int SonixCam_GetAsicRomType(int* rom_type, uint8_t* chip_id) {
  if (!camera_open() || rom_type == nullptr || chip_id == nullptr) return 0;
  uint8_t chip = 0;
  int arch = 0;
  int type = LibUsb_GetChipRomType(&chip, &arch);
  *rom_type = type;
  *chip_id = type != 0 ? chip : 0;
  return 1;
}

int SonixCam_GetErrorCode() { return camera_open() ? gEC : 0; }

int SonixCam_AsicRegisterRead(uint16_t address, uint8_t* data, int64_t count) {
  if (!camera_open() || count < 0 || (data == nullptr && count > 0)) return 0;
  for (int64_t i = 0; i < count; ++i) {
    if (!LibUsb_ReadFromASIC(static_cast<uint16_t>(address + i), &data[i])) return 0;
  }
  return 1;
}

int SonixCam_AsicRegisterWrite(uint16_t address, uint8_t* data, int64_t count) {
  if (!camera_open() || count < 0 || (data == nullptr && count > 0)) return 0;
  for (int64_t i = 0; i < count; ++i) {
    if (!LibUsb_WriteToASIC(static_cast<uint16_t>(address + i), data[i])) return 0;
  }
  return 1;
}
