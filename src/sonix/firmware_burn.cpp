// Whole firmware images in the serial flash: burn (erase, blank check, write,
// held-back bytes, verification), export, and the in-place update of the USB
// parameter table (vid/pid and string descriptors) with its check value.
//
// Bulk data moves through the flash window (8 bytes per request) or, on
// controllers that support it, the streaming request (64 bytes). Every
// operation works on a private copy of the caller's image, obtained before the
// flash is touched and released on every exit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.hpp"
#include "sonix/sonix_cam.h"
#include "sonix/sonix_internal.h"

namespace {

namespace platform = morvane::uvc_stereo::platform;
namespace sonix = morvane::uvc_stereo::sonix;

constexpr std::int64_t kWindowUnit = 8;
constexpr std::int64_t kStreamUnit = 64;
// The flash window names its 64 KiB bank with 2 bits: nothing at or above
// 256 KiB can be reached through it (such addresses would alias bank 3).
constexpr std::int64_t kWindowReach = 0x40000;
// Flash addresses are 24-bit.
constexpr std::int64_t kFlashAddressSpace = 0x1000000;
constexpr std::int64_t kProgressStep = 512;
constexpr std::int64_t kSpotCheckStep = 1024;
constexpr std::int64_t kSectorSize = 0x1000;
constexpr std::int64_t kUpdateAreaSize = 0x4000;
constexpr std::int64_t kBlankScanStep = 80;
constexpr int kEraseSettleMs = 1000;

// Bytes of the image that are programmed only after all others, so that an
// interrupted burn leaves a flash the boot ROM does not take for valid firmware.
constexpr std::int64_t kHeaderHeldAddress = 0x160;
constexpr std::int64_t kHeaderHeldLength = 8;
constexpr std::int64_t kHeaderBlankedLength = 4;
constexpr std::uint8_t kChipHeldRegions = 0x16;
constexpr std::int64_t kChipHeldLowLength = 2;
constexpr std::int64_t kChipHeldTableAddress = 0x6700;
constexpr std::int64_t kChipHeldTableLength = 0x17;

// The parameter table: entries relative to its start, check value after it.
constexpr std::int64_t kVidPidOffset = 6;
constexpr std::int64_t kProductOffset = 0x40;
constexpr std::int64_t kManufacturerOffset = 0x80;
constexpr std::int64_t kSerialNumberOffset = 0xC0;
constexpr std::int64_t kString3Offset = 0x100;
constexpr std::int64_t kInterfaceOffset = 0x140;
constexpr std::int64_t kStringBlockSize = 64;
constexpr std::uint32_t kMaxStringLength = (kStringBlockSize - 2) / 2;
constexpr std::int64_t kCheckValueHigh = 20;
constexpr std::int64_t kCheckValueLow = 21;
// LibUsb_GetParaTableAndCRCAddrFormFW looks at image bytes 0x160 to 0x18A.
constexpr std::int64_t kLocatorBytes = 0x18B;
constexpr std::int64_t kTraceAddress = 0x11210;

constexpr std::int64_t round_up(std::int64_t value, std::int64_t unit) { return (value + unit - 1) / unit * unit; }

void report(SonixCam_ProgressCallback callback, void* user_data, double fraction) {
  if (callback != nullptr) callback(user_data, static_cast<float>(fraction));
}

// The private image copy: malloc'ed, padded with 0xFF up to a whole streaming
// unit (and at least `minimum` bytes), released with the object.
class ImageCopy {
 public:
  ImageCopy() = default;
  ImageCopy(const ImageCopy&) = delete;
  ImageCopy& operator=(const ImageCopy&) = delete;
  ~ImageCopy() { std::free(bytes_); }

  // False (gEC 14) when the memory cannot be had.
  bool make(const std::uint8_t* image, std::int64_t length, std::int64_t minimum) {
    std::int64_t size = round_up(length > minimum ? length : minimum, kStreamUnit);
    bytes_ = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(size)));
    if (bytes_ == nullptr) {
      gEC = SONIXCAM_EC_NO_MEMORY;
      return false;
    }
    std::memcpy(bytes_, image, static_cast<std::size_t>(length));
    std::memset(bytes_ + length, 0xFF, static_cast<std::size_t>(size - length));
    return true;
  }
  std::uint8_t* data() const { return bytes_; }

 private:
  std::uint8_t* bytes_ = nullptr;
};

bool image_args_ok(const std::uint8_t* image, std::int64_t length) {
  return image != nullptr && length > 0 && length <= kFlashAddressSpace;
}

bool window_reachable(std::int64_t address, std::int64_t length) {
  return address >= 0 && length >= 0 && address + length <= kWindowReach;
}

bool window_read(std::int64_t address, std::uint8_t* buffer, std::int64_t length) {
  return window_reachable(address, length) && LibUsb_ReadFormSF(address, buffer, length) != 0;
}

bool window_write(std::int64_t address, const std::uint8_t* data, std::int64_t length) {
  return window_reachable(address, length) && LibUsb_WriteToSF(address, const_cast<std::uint8_t*>(data), length) != 0;
}

// Flash clock set-up, a transfer left running stopped, then the announcement.
bool stream_begin(bool write, std::int64_t start, std::int64_t length) {
  SetSFControllerSCK();  // a controller without a clock set-up needs none
  if (StopReadWrite_SFXU6() == 0) return false;
  const auto s = static_cast<std::uint32_t>(start);
  const auto n = static_cast<std::uint32_t>(length);
  return (write ? SetWriteInfo_SFXU6(s, n) : SetReadInfo_SFXU6(s, n)) != 0;
}

// A short read anywhere in the flash: the window where it reaches, else one
// streaming unit on controllers that have the streaming request.
bool spot_read(std::int64_t address, std::uint8_t* buffer, std::int64_t length) {
  if (window_reachable(address, length)) return window_read(address, buffer, length);
  if (g_supportXU6 == 0 || length > kStreamUnit) return false;
  std::uint8_t unit[kStreamUnit];
  std::memset(unit, 0xFF, sizeof unit);
  if (!stream_begin(false, address, length)) return false;
  if (ReadDataFormFlashXU6(unit, static_cast<int>(kStreamUnit)) == 0) return false;
  std::memcpy(buffer, unit, static_cast<std::size_t>(length));
  return true;
}

bool all_erased(const std::uint8_t* bytes, std::int64_t length) {
  for (std::int64_t i = 0; i < length; ++i) {
    if (bytes[i] != 0xFF) return false;
  }
  return true;
}

// One held-back run: where it lives and the image bytes saved for it.
struct HeldWrite {
  std::int64_t address;
  std::int64_t length;
  const std::uint8_t* saved;
};

// Saves and blanks the held-back bytes of the copy; writes them last.
class HeldBack {
 public:
  HeldBack(std::uint8_t* copy, std::int64_t length, std::uint8_t chip_id) : copy_(copy), length_(length) {
    save(kHeaderHeldAddress, kHeaderHeldLength, header_);
    blank(kHeaderHeldAddress, kHeaderBlankedLength);
    count_ = 0;
    writes_[count_++] = {kHeaderHeldAddress, kHeaderHeldLength, header_};
    if (chip_id == kChipHeldRegions) {
      save(0, kChipHeldLowLength, low_);
      save(kChipHeldTableAddress, kChipHeldTableLength, table_);
      blank(0, kChipHeldLowLength);
      blank(kChipHeldTableAddress, kChipHeldTableLength);
      writes_[count_++] = {kChipHeldTableAddress + 2, 8, table_ + 2};
      writes_[count_++] = {kChipHeldTableAddress + 10, 8, table_ + 10};
      writes_[count_++] = {kChipHeldTableAddress + 18, 5, table_ + 18};
      writes_[count_++] = {0, kChipHeldLowLength, low_};
      writes_[count_++] = {kChipHeldTableAddress, 2, table_};
    }
  }

  // Programs the saved runs (clipped to the image) by flash window writes,
  // then gives the copy its bytes back.
  bool write_and_restore() {
    for (int i = 0; i < count_; ++i) {
      const std::int64_t n = clipped(writes_[i].address, writes_[i].length);
      if (n > 0 && !window_write(writes_[i].address, writes_[i].saved, n)) return false;
    }
    for (int i = 0; i < count_; ++i) {
      const std::int64_t n = clipped(writes_[i].address, writes_[i].length);
      if (n > 0) std::memcpy(copy_ + writes_[i].address, writes_[i].saved, static_cast<std::size_t>(n));
    }
    return true;
  }

 private:
  std::int64_t clipped(std::int64_t address, std::int64_t length) const {
    if (address >= length_) return 0;
    return address + length <= length_ ? length : length_ - address;
  }
  void save(std::int64_t address, std::int64_t length, std::uint8_t* out) {
    std::memset(out, 0xFF, static_cast<std::size_t>(length));
    const std::int64_t n = clipped(address, length);
    if (n > 0) std::memcpy(out, copy_ + address, static_cast<std::size_t>(n));
  }
  void blank(std::int64_t address, std::int64_t length) {
    const std::int64_t n = clipped(address, length);
    if (n > 0) std::memset(copy_ + address, 0xFF, static_cast<std::size_t>(n));
  }

  std::uint8_t* copy_;
  std::int64_t length_;
  std::uint8_t header_[kHeaderHeldLength];
  std::uint8_t low_[kChipHeldLowLength];
  std::uint8_t table_[kChipHeldTableLength];
  HeldWrite writes_[6];
  int count_ = 0;
};

// Identifies the chip and makes the chip-specific register settings a burn needs.
bool chip_setup(std::uint8_t* chip_id) {
  int arch = 0;
  *chip_id = 0;
  if (LibUsb_GetChipRomType(chip_id, &arch) == 0) return false;
  if (*chip_id == 0x85) {
    return LibUsb_WriteToASIC(0x05FF, 0x5A) != 0 && LibUsb_WriteToASIC(0x0A00, 1) != 0 &&
           LibUsb_WriteToASIC(0x0A0A, 1) != 0;
  }
  if (*chip_id == 0x86) return LibUsb_WriteToASIC(0x0A00, 1) != 0 && LibUsb_WriteToASIC(0x0A0A, 1) != 0;
  return true;
}

struct BurnRequest {
  std::uint8_t* copy;  // private copy, padded with 0xFF past `length`
  std::int64_t length;
  SonixCam_ProgressCallback callback;
  void* user_data;
  int type;
  bool erase;           // write-protect removal, chip erase and blank check first
  bool verify;          // read back everything (else 8 bytes per KiB)
  bool print_mismatch;  // print the first differing bytes
};

bool blank_check(std::int64_t length) {
  std::uint8_t sample[kWindowUnit];
  for (std::int64_t offset = 0; offset < length - kSpotCheckStep; offset += kSpotCheckStep) {
    if (!spot_read(offset, sample, kWindowUnit)) return false;
    if (!all_erased(sample, kWindowUnit)) {
      gEC = SONIXCAM_EC_ERASE;
      return false;
    }
  }
  return true;
}

bool compare_unit(const BurnRequest& job, std::int64_t offset, const std::uint8_t* read, std::int64_t n) {
  if (std::memcmp(read, job.copy + offset, static_cast<std::size_t>(n)) == 0) return true;
  if (job.print_mismatch) {
    const std::uint8_t* c = job.copy + offset;  // padded copy: 4 bytes always readable
    std::printf("data=%x %x %x %x, pCopyFW=%x %x %x %x\n", read[0], read[1], read[2], read[3], c[0], c[1], c[2], c[3]);
  }
  gEC = SONIXCAM_EC_VERIFY;
  return false;
}

int run_burn(const BurnRequest& job) {
  const bool stream = g_supportXU6 != 0;
  const std::int64_t unit = stream ? kStreamUnit : kWindowUnit;
  const double write_share = job.verify ? 0.5 : 1.0;

  std::uint8_t chip_id = 0;
  if (!chip_setup(&chip_id)) return 0;

  if (job.erase) {
    if (LibUsb_DisableSerialFlashWriteProtect(job.type) == 0) {
      gEC = SONIXCAM_EC_WRITE_PROTECT;
      return 0;
    }
    LibUsb_SerialFlashErase(job.type);
    platform::sleep_ms(kEraseSettleMs);
    if (!blank_check(job.length)) return 0;
  }

  HeldBack held(job.copy, job.length, chip_id);

  if (stream && !stream_begin(true, 0, job.length)) return 0;
  for (std::int64_t offset = 0; offset < job.length; offset += unit) {
    if (offset % kProgressStep == 0) {
      report(job.callback, job.user_data, static_cast<double>(offset) / static_cast<double>(job.length) * write_share);
    }
    // The copy is padded with 0xFF to a whole unit past the image end.
    const bool ok = stream ? WriteDataToFlashXU6(job.copy + offset, static_cast<int>(kStreamUnit)) != 0
                           : window_write(offset, job.copy + offset, kWindowUnit);
    if (!ok) return 0;
  }

  if (!held.write_and_restore()) return 0;
  report(job.callback, job.user_data, write_share);

  std::uint8_t block[kStreamUnit];
  if (job.verify) {
    if (stream && !stream_begin(false, 0, job.length)) return 0;
    for (std::int64_t offset = 0; offset < job.length; offset += unit) {
      if (offset % kProgressStep == 0) {
        report(job.callback, job.user_data, 0.5 + static_cast<double>(offset) / static_cast<double>(job.length) / 2);
      }
      const std::int64_t n = job.length - offset < unit ? job.length - offset : unit;
      std::memset(block, 0xFF, sizeof block);
      const bool ok =
          stream ? ReadDataFormFlashXU6(block, static_cast<int>(kStreamUnit)) != 0 : window_read(offset, block, n);
      if (!ok || !compare_unit(job, offset, block, n)) return 0;
    }
    report(job.callback, job.user_data, 1.0);
  } else {
    for (std::int64_t offset = 0; offset < job.length; offset += kSpotCheckStep) {
      const std::int64_t n = job.length - offset < kWindowUnit ? job.length - offset : kWindowUnit;
      std::memset(block, 0xFF, sizeof block);
      if (!spot_read(offset, block, n) || !compare_unit(job, offset, block, n)) return 0;
    }
  }
  return 1;
}

// The window path cannot reach past 256 KiB; refuse before touching the flash.
bool burn_reachable(std::int64_t length) { return g_supportXU6 != 0 || length <= kWindowReach; }

// Checks every entry of the record before any is applied.
bool param_record_ok(const ChangeParamInfo& param) {
  const struct {
    const char* text;
    std::int32_t length;
  } entries[] = {{param.pSerialNumber, param.SerialNumberLength},
                 {param.pProduct, param.ProductLength},
                 {param.pManufacture, param.ManufactureLength},
                 {param.pString3, param.String3Length},
                 {param.pInterface, param.InterfaceLength}};
  for (const auto& entry : entries) {
    if (entry.text != nullptr && (entry.length < 0 || static_cast<std::uint32_t>(entry.length) > kMaxStringLength)) {
      return false;
    }
  }
  return true;
}

// Writes the record's non-null entries into the table at `start`.
void apply_param_record(std::uint8_t* copy, std::int64_t start, const ChangeParamInfo& param) {
  const auto at = [start](std::int64_t offset) { return static_cast<std::uint32_t>(start + offset); };
  if (param.pVidPid != nullptr) std::memcpy(copy + start + kVidPidOffset, param.pVidPid, 4);
  if (param.pProduct != nullptr) {
    SetParamToParamBuffer(copy, at(kProductOffset), param.pProduct, static_cast<std::uint32_t>(param.ProductLength));
  }
  if (param.pManufacture != nullptr) {
    SetParamToParamBuffer(copy, at(kManufacturerOffset), param.pManufacture,
                          static_cast<std::uint32_t>(param.ManufactureLength));
  }
  if (param.pSerialNumber != nullptr) {
    SetParamToParamBuffer(copy, at(kSerialNumberOffset), param.pSerialNumber,
                          static_cast<std::uint32_t>(param.SerialNumberLength));
  }
  if (param.pString3 != nullptr) {
    SetParamToParamBuffer(copy, at(kString3Offset), param.pString3, static_cast<std::uint32_t>(param.String3Length));
  }
  if (param.pInterface != nullptr) {
    SetParamToParamBuffer(copy, at(kInterfaceOffset), param.pInterface,
                          static_cast<std::uint32_t>(param.InterfaceLength));
  }
}

// The table, its entries and its check value all lie inside the image.
bool table_fits(std::uint64_t start, std::uint64_t end, std::uint64_t check_address, std::int64_t length) {
  const auto n = static_cast<std::uint64_t>(length);
  return start <= end && end <= n && start + kInterfaceOffset + kStringBlockSize <= n &&
         check_address + kCheckValueLow + 1 <= n;
}

// Programs one erased sector from the copy in window writes. Sectors of the
// update area report progress; the separate check-value sector traces the
// bytes at kTraceAddress instead.
bool write_sector_from_copy(const std::uint8_t* copy, std::int64_t sector, std::int64_t area,
                            SonixCam_ProgressCallback callback, void* user_data, bool check_value_sector) {
  for (std::int64_t offset = 0; offset < kSectorSize; offset += kWindowUnit) {
    const std::int64_t address = sector + offset;
    if (!check_value_sector && (address - area) % kProgressStep == 0) {
      report(callback, user_data, static_cast<double>(address - area) / 2 / kUpdateAreaSize + 0.5);
    }
    const bool trace = check_value_sector && address == kTraceAddress;
    std::uint8_t b[kWindowUnit] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (trace) {
      LibUsb_ReadFormSF(address, b, kWindowUnit);
      std::printf("read 0x11210 = %x %x %x %x %x %x %x %x\n", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    }
    if (!window_write(address, copy + address, kWindowUnit)) return false;
    if (trace) {
      const std::uint8_t* w = copy + address;
      std::printf("0x11210 = %x %x %x %x %x %x %x %x\n", w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
      std::memset(b, 0, sizeof b);
      LibUsb_ReadFormSF(address, b, kWindowUnit);
      std::printf("read 0x11210 = %x %x %x %x %x %x %x %x\n", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    }
  }
  return true;
}

}  // namespace

extern "C" {

int SetParamToParamBuffer(uint8_t* buffer, uint32_t position, const char* text, uint32_t length) {
  // A longer text would run into the next descriptor block.
  if (buffer == nullptr || length > kMaxStringLength || (text == nullptr && length > 0)) return 0;
  uint8_t* block = buffer + position;
  std::memset(block, 0xFF, kStringBlockSize);
  block[0] = static_cast<uint8_t>(length * 2 + 2);
  block[1] = 3;  // USB string descriptor
  for (uint32_t i = 0; i < length; ++i) {
    block[2 + 2 * i] = static_cast<uint8_t>(text[i]);
    block[3 + 2 * i] = 0;
  }
  return 1;
}

int CheckCRC(uint8_t* buffer, uint32_t start, uint32_t count, uint32_t check_address) {
  if (buffer == nullptr) return 0;
  // CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF.
  uint16_t crc = 0xFFFF;
  for (uint32_t i = 0; i < count; ++i) {
    crc ^= buffer[start + i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  buffer[check_address + kCheckValueHigh] = static_cast<uint8_t>(crc >> 8);
  buffer[check_address + kCheckValueLow] = static_cast<uint8_t>(crc & 0xFF);
  return 1;
}

int SonixCam_BurnerFW(uint8_t* image, int64_t length, SonixCam_ProgressCallback callback, void* user_data, int type,
                      int verify) {
  if (!sonix::camera_open()) return 0;
  if (!image_args_ok(image, length)) return 0;
  if (type == 0) {
    gEC = SONIXCAM_EC_FLASH_TYPE;
    return 0;
  }
  if (!burn_reachable(length)) return 0;
  ImageCopy copy;
  if (!copy.make(image, length, 0)) return 0;
  return run_burn({copy.data(), length, callback, user_data, type, true, verify != 0, true});
}

int SonixCam_CustomBurnerFW(const ChangeParamInfo* param, uint8_t* image, int64_t length,
                            SonixCam_ProgressCallback callback, void* user_data, int type, int verify) {
  if (!sonix::camera_open()) return 0;
  if (param == nullptr || !image_args_ok(image, length)) return 0;
  if (type == 0) {
    gEC = SONIXCAM_EC_FLASH_TYPE;
    return 0;
  }
  if (!burn_reachable(length) || !param_record_ok(*param)) return 0;
  // The copy is padded so that locating the table never reads past it.
  ImageCopy copy;
  if (!copy.make(image, length, kLocatorBytes)) return 0;
  uint64_t start = 0, end = 0, check_address = 0;
  if (LibUsb_GetParaTableAndCRCAddrFormFW(copy.data(), &start, &end, &check_address) == 0) return 0;
  if (!table_fits(start, end, check_address, length)) return 0;
  apply_param_record(copy.data(), static_cast<int64_t>(start), *param);
  CheckCRC(copy.data(), static_cast<uint32_t>(start), static_cast<uint32_t>(end - start),
           static_cast<uint32_t>(check_address));
  return run_burn({copy.data(), length, callback, user_data, type, true, verify != 0, false});
}

int SonixCam_WriteFwToFlash(uint8_t* image, int64_t length, SonixCam_ProgressCallback callback, void* user_data,
                            int verify) {
  if (!sonix::camera_open()) return 0;
  if (!image_args_ok(image, length) || !burn_reachable(length)) return 0;
  ImageCopy copy;
  if (!copy.make(image, length, 0)) return 0;
  return run_burn({copy.data(), length, callback, user_data, 0, false, verify != 0, false});
}

int SonixCam_ExportFW(uint8_t* buffer, int64_t length, SonixCam_ProgressCallback callback, void* user_data) {
  if (!sonix::camera_open()) return 0;
  if (!image_args_ok(buffer, length)) return 0;
  const bool stream = g_supportXU6 != 0;
  if (!stream && length > kWindowReach) return 0;
  const int64_t unit = stream ? kStreamUnit : kWindowUnit;
  if (stream && !stream_begin(false, 0, length)) return 0;
  uint8_t block[kStreamUnit];
  for (int64_t offset = 0; offset < length; offset += unit) {
    report(callback, user_data, static_cast<double>(offset) / static_cast<double>(length));
    std::memset(block, 0xFF, sizeof block);
    const bool ok = stream ? ReadDataFormFlashXU6(block, static_cast<int>(kStreamUnit)) != 0
                           : window_read(offset, block, kWindowUnit);
    if (!ok) return 0;
    const int64_t n = length - offset < unit ? length - offset : unit;
    std::memcpy(buffer + offset, block, static_cast<size_t>(n));
  }
  report(callback, user_data, 1.0);
  return 1;
}

int SonixCam_SetParamTableFormFWFile(uint8_t* image, int64_t length, const ChangeParamInfo* param,
                                     SonixCam_ProgressCallback callback, void* user_data, int type,
                                     const char* /*unused*/) {
  if (!sonix::camera_open()) return 0;
  if (param == nullptr || !image_args_ok(image, length)) return 0;
  if (type == 0) {
    gEC = SONIXCAM_EC_FLASH_TYPE;
    return 0;
  }
  uint64_t start = 0, end = 0, check_address = 0;
  if (LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &check_address) == 0) return 0;
  std::printf("dwParaTableStartAddr :%x, dwParaTableEndAddr : %x, dwCRCStartAddr: %x", static_cast<unsigned>(start),
              static_cast<unsigned>(end), static_cast<unsigned>(check_address));

  const auto table_sector = static_cast<int64_t>(start) & ~(kSectorSize - 1);
  const auto area = static_cast<int64_t>(start) & ~(kUpdateAreaSize - 1);
  // The sector that holds the stored check value (both of its bytes).
  const auto check_sector = static_cast<int64_t>(check_address + kCheckValueHigh) & ~(kSectorSize - 1);
  const bool check_sector_apart = check_sector != table_sector;

  // Everything the update reads from the image or reaches in the flash must
  // exist before the first erase.
  if (!table_fits(start, end, check_address, length) || !param_record_ok(*param)) return 0;
  if (((static_cast<int64_t>(check_address) + kCheckValueLow) & ~(kSectorSize - 1)) != check_sector) return 0;
  if (area + kUpdateAreaSize > length || !window_reachable(area, kUpdateAreaSize)) return 0;
  if (check_sector_apart && (check_sector + kSectorSize > length || !window_reachable(check_sector, kSectorSize))) {
    return 0;
  }

  ImageCopy copy;
  if (!copy.make(image, length, 0)) return 0;
  apply_param_record(copy.data(), static_cast<int64_t>(start), *param);
  CheckCRC(copy.data(), static_cast<uint32_t>(start), static_cast<uint32_t>(end - start),
           static_cast<uint32_t>(check_address));

  if (LibUsb_DisableSerialFlashWriteProtect(type) == 0) {
    gEC = SONIXCAM_EC_WRITE_PROTECT;
    return 0;
  }
  if (LibUsb_EraseSectorForSerialFlash(table_sector, type) == 0) {
    gEC = SONIXCAM_EC_ERASE;
    return 0;
  }
  platform::sleep_ms(kEraseSettleMs);
  if (check_sector_apart) {
    if (LibUsb_EraseSectorForSerialFlash(check_sector, type) == 0) {
      gEC = SONIXCAM_EC_ERASE;
      return 0;
    }
    platform::sleep_ms(kEraseSettleMs);
  }

  // Sampled blank scan: a sector whose sample is not erased keeps its contents.
  constexpr int kAreaSectors = static_cast<int>(kUpdateAreaSize / kSectorSize);
  bool occupied[kAreaSectors] = {false, false, false, false};
  int occupied_count = 0;
  uint8_t sample[kWindowUnit];
  for (int s = 0; s < kAreaSectors; ++s) {
    for (int64_t offset = 0; offset < kSectorSize; offset += kBlankScanStep) {
      if (!window_read(area + s * kSectorSize + offset, sample, kWindowUnit)) return 0;
      if (!all_erased(sample, kWindowUnit)) {
        occupied[s] = true;
        ++occupied_count;
        break;
      }
    }
  }
  if (occupied_count == kAreaSectors) {
    gEC = SONIXCAM_EC_ERASE;
    return 0;
  }

  bool check_sector_written = false;
  for (int s = 0; s < kAreaSectors; ++s) {
    if (occupied[s]) continue;
    const int64_t sector = area + s * kSectorSize;
    if (!write_sector_from_copy(copy.data(), sector, area, callback, user_data, false)) return 0;
    if (sector == check_sector) check_sector_written = true;
  }
  // An erased check-value sector outside the area (or skipped above) is
  // written whole; one already written is not programmed twice.
  if (check_sector_apart && !check_sector_written) {
    if (!write_sector_from_copy(copy.data(), check_sector, area, callback, user_data, true)) return 0;
  }

  for (int64_t offset = 0; offset < kUpdateAreaSize; offset += kProgressStep) {
    std::memset(sample, 0xFF, sizeof sample);
    if (!window_read(area + offset, sample, kWindowUnit)) return 0;
    if (std::memcmp(sample, copy.data() + area + offset, kWindowUnit) != 0) {
      gEC = SONIXCAM_EC_VERIFY;
      return 0;
    }
  }
  report(callback, user_data, 1.0);
  return 1;
}

}  // extern "C"
