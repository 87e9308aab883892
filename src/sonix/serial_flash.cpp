// Serial flash access through the controller: flash identification, the
// byte-banging path (the host speaks the flash's SPI commands through the
// controller's serial-flash registers), the flash window path (8 bytes per
// request, moved by the controller's firmware) and the streaming path (64 bytes
// per request).
#include <cstdio>
#include <cstring>

#include "platform/platform.hpp"
#include "sonix/sonix_internal.h"

namespace platform = morvane::uvc_stereo::platform;
using namespace morvane::uvc_stereo::sonix;

// Manufacturer, device id 1, device id 2 (0xFF matches any), type, command
// set, and a last byte that marks a real row.
const uint8_t cbSFLib_ID[25][6] = {
    {0x00, 0x00, 0x00, 0, 0, 0},  {0xC2, 0x20, 0x10, 1, 1, 1},  {0xC2, 0x22, 0x10, 1, 1, 1},
    {0xC2, 0x20, 0x13, 1, 1, 1},  {0x1F, 0x65, 0x01, 4, 2, 1},  {0x9D, 0x20, 0xFF, 8, 3, 1},
    {0x9D, 0x7B, 0xFF, 8, 3, 1},  {0x9D, 0x10, 0xFF, 8, 3, 1},  {0xBF, 0x48, 0xFF, 3, 4, 1},
    {0x20, 0x20, 0x11, 2, 1, 1},  {0x8C, 0x30, 0x10, 12, 1, 1}, {0xC8, 0x40, 0x10, 13, 1, 1},
    {0xC8, 0x40, 0x13, 13, 1, 1}, {0xEF, 0x30, 0x10, 7, 1, 1},  {0xEF, 0x30, 0x11, 7, 1, 1},
    {0x5E, 0x60, 0x13, 14, 1, 1}, {0x5E, 0x60, 0x12, 14, 1, 1}, {0xC2, 0x20, 0x11, 1, 1, 1},
    {0xB3, 0x60, 0x11, 15, 1, 1}, {0xB3, 0x60, 0x12, 15, 1, 1}, {0xB3, 0x60, 0x13, 15, 1, 1},
    {0x68, 0x40, 0x13, 16, 1, 1}, {0xA1, 0x28, 0x13, 17, 1, 1}, {0x5E, 0x60, 0x13, 18, 1, 1},
    {0x5E, 0x60, 0x12, 18, 1, 1},
};

// Read, write enable, program, write status, chip erase, sector erase, write disable.
const uint8_t cbSFLib_Cmd[5][7] = {
    {0x03, 0x04, 0x03, 0x05, 0x03, 0x03, 0x04}, {0x03, 0x06, 0x02, 0x01, 0x60, 0x20, 0x04},
    {0x03, 0x06, 0x02, 0x01, 0x60, 0x20, 0x04}, {0x03, 0x06, 0x02, 0x01, 0xC7, 0xD7, 0x04},
    {0x03, 0x06, 0xAF, 0x01, 0x60, 0x20, 0x04},
};

uint8_t ubSFLib_CmdID = 0;
uint8_t sfManufactureID = 0;
uint8_t sfDeviceID1 = 0;
uint8_t sfDeviceID2 = 0;

// The documented names of the globals above, exported for programs.
SONIXCAM_EXPORT_DATA(cbSFLib_ID);
SONIXCAM_EXPORT_DATA(cbSFLib_Cmd);
SONIXCAM_EXPORT_DATA(ubSFLib_CmdID);
SONIXCAM_EXPORT_DATA(sfManufactureID);
SONIXCAM_EXPORT_DATA(sfDeviceID1);
SONIXCAM_EXPORT_DATA(sfDeviceID2);

uint8_t ubSFLib_GetIDSize() { return static_cast<uint8_t>(sizeof cbSFLib_ID / sizeof cbSFLib_ID[0]); }

namespace {

constexpr int kReadyPolls = 50;
constexpr int kBusyPolls = 10000;
constexpr int kPageSize = 256;
constexpr int kWindowChunk = 8;
constexpr int kStreamUnit = 64;
constexpr int64_t kWindowReach = 0x40000;  // first 256 KiB: banks 0 to 3 of the flash window

// SPI NOR opcodes.
constexpr uint8_t kOpWriteEnable = 0x06;
constexpr uint8_t kOpWriteDisable = 0x04;
constexpr uint8_t kOpReadStatus = 0x05;
constexpr uint8_t kOpWriteStatus = 0x01;
constexpr uint8_t kOpEnableWriteStatus = 0x50;
constexpr uint8_t kOpRead = 0x03;
constexpr uint8_t kOpPageProgram = 0x02;
constexpr uint8_t kOpAaiProgram = 0xAF;

// Fixed serial-flash registers of register map row 0, used by the ID read
// and the read command set-up whatever map is active.
constexpr uint16_t kRow0Mode = 0x1080;
constexpr uint16_t kRow0Trigger = 0x1081;
constexpr uint16_t kRow0WriteData = 0x1082;
constexpr uint16_t kRow0ReadData = 0x1083;
constexpr uint16_t kRow0ReadCmd = 0x1088;
constexpr uint16_t kRow0ReadAddr = 0x1089;
constexpr uint16_t kRow0CS = 0x1091;

// A register sequence that stops talking to the device at its first failed
// transfer and remembers the failure, so one vanished camera costs one failed
// request instead of thousands, and the caller can report it.
class Sequence {
 public:
  bool ok() const { return ok_; }
  void fail() { ok_ = false; }

  void write(uint16_t address, uint8_t value) {
    if (ok_ && !LibUsb_WriteToASIC(address, value)) ok_ = false;
  }
  uint8_t read(uint16_t address) {
    uint8_t value = 0;
    if (ok_ && !LibUsb_ReadFromASIC(address, &value)) ok_ = false;
    return value;
  }
  void set_bit(uint16_t address, uint8_t bit) {
    if (ok_ && !LibUsb_EnableAsicRegisterBit(address, bit)) ok_ = false;
  }
  void clear_bit(uint16_t address, uint8_t bit) {
    if (ok_ && !LibUsb_DisableAsicRegisterBit(address, bit)) ok_ = false;
  }
  // The ready wait's timeout is tolerated as the callers always have; only a
  // failed transfer fails the sequence.
  void wait_ready() {
    if (ok_ && wait_sf_ready() == ReadyWait::transfer_failed) ok_ = false;
  }
  void wait_while_busy() {
    if (ok_ && !LibUsb_SFCMDreadStatus()) ok_ = false;
  }

  // Whole-register spelling.
  void manual_mode(bool on) { write(sfModeAddr, on ? 1 : 0); }
  void select() { write(sfCSAddr, 0); }
  void release() { write(sfCSAddr, 1); }
  void send(uint8_t byte) {
    write(sfWriteDataAddr, byte);
    write(sfReadWriteTriggerAddr, 1);
    wait_ready();
  }
  void send_address(uint32_t address) {
    send(static_cast<uint8_t>(address >> 16));
    send(static_cast<uint8_t>(address >> 8));
    send(static_cast<uint8_t>(address));
  }

  // Bit spelling (read-modify-write of bit 0 or 1).
  void bit_select() { clear_bit(sfCSAddr, 0); }
  void bit_release() { set_bit(sfCSAddr, 0); }
  void bit_send(uint8_t byte) {
    write(sfWriteDataAddr, byte);
    set_bit(sfReadWriteTriggerAddr, 0);
    wait_ready();
  }
  void bit_send_address(uint32_t address) {
    bit_send(static_cast<uint8_t>(address >> 16));
    bit_send(static_cast<uint8_t>(address >> 8));
    bit_send(static_cast<uint8_t>(address));
  }

 private:
  bool ok_ = true;
};

// Best-effort return to the idle state after a failed sequence: release the
// chip select and leave manual mode, whatever the device answers.
void leave_manual_mode_bits() {
  LibUsb_EnableAsicRegisterBit(sfCSAddr, 0);
  LibUsb_DisableAsicRegisterBit(sfModeAddr, 0);
}
void leave_manual_mode_whole() {
  LibUsb_WriteToASIC(sfCSAddr, 1);
  LibUsb_WriteToASIC(sfModeAddr, 0);
}

// Receive for the ID read, on row-0 registers. A failed read yields 0, so a
// vanished flash never keeps the previous identification.
uint8_t receive_row0() {
  LibUsb_WriteToASIC(kRow0ReadData, 0);
  LibUsb_WriteToASIC(kRow0Trigger, 2);
  LibUsb_SFWaitReady();
  uint8_t value = 0;
  if (!LibUsb_ReadFromASIC(kRow0ReadData, &value)) value = 0;
  return value;
}

// One sector or block erase with the whole-register spelling.
int erase_with_opcode(int64_t address, uint8_t opcode) {
  Sequence s;
  s.manual_mode(true);
  s.select();
  s.send(kOpWriteEnable);
  s.release();
  s.select();
  s.send(opcode);
  s.send_address(static_cast<uint32_t>(address));
  s.release();
  s.wait_ready();
  // The erase has only started: wait until the chip finishes it, so success
  // means the sector is erased and the next command is not ignored as busy.
  s.wait_while_busy();
  s.manual_mode(false);
  if (!s.ok()) {
    leave_manual_mode_whole();
    return 0;
  }
  return 1;
}

uint8_t window_bank(int64_t address) { return address < 0x30000 ? static_cast<uint8_t>((address >> 16) & 0x3) : 3; }

}  // namespace

namespace morvane::uvc_stereo::sonix {

ReadyWait wait_sf_ready() {
  for (int i = 0; i < kReadyPolls; ++i) {
    uint8_t value = 0;
    if (!LibUsb_ReadFromASIC(sfRdyAddr, &value)) return ReadyWait::transfer_failed;
    if (value & 0x01) return ReadyWait::ready;
    platform::sleep_ms(1);
  }
  return ReadyWait::timeout;
}

bool sf_program_pages(uint32_t address, const uint8_t* data, int64_t length) {
  if (length < 0 || (data == nullptr && length > 0)) return false;
  Sequence s;
  int64_t sent = 0;
  while (sent < length && s.ok()) {
    s.bit_select();
    s.bit_send(kOpWriteEnable);
    s.bit_release();
    s.bit_select();
    s.bit_send(kOpPageProgram);
    s.bit_send_address(address);
    do {
      s.bit_send(data[sent++]);
      ++address;
    } while (sent < length && address % kPageSize != 0 && s.ok());
    s.bit_release();
    // A chip busy programming this page ignores the next page's commands.
    s.wait_while_busy();
  }
  return s.ok();
}

}  // namespace morvane::uvc_stereo::sonix

// ---- Controller waits.

int LibUsb_SFWaitReady() { return wait_sf_ready() == ReadyWait::ready ? 1 : 0; }

int LibUsb_SFCMDreadStatus() {
  for (int poll = 0; poll < kBusyPolls; ++poll) {
    if (!LibUsb_WriteToASIC(sfCSAddr, 0)) return 0;
    if (!LibUsb_WriteToASIC(sfWriteDataAddr, kOpReadStatus)) return 0;
    if (!LibUsb_WriteToASIC(sfReadWriteTriggerAddr, 1)) return 0;
    if (!LibUsb_SFWaitReady()) return 0;
    if (!LibUsb_WriteToASIC(sfReadDataAddr, 0)) return 0;
    if (!LibUsb_WriteToASIC(sfReadWriteTriggerAddr, 2)) return 0;
    if (!LibUsb_SFWaitReady()) return 0;
    uint8_t status = 0;
    if (!LibUsb_ReadFromASIC(sfReadDataAddr, &status)) return 0;
    if ((status & 0x01) == 0) return LibUsb_WriteToASIC(sfCSAddr, 1) ? 1 : 0;
    platform::sleep_ms(1);
  }
  return 0;
}

// ---- Identification.

int LibUsb_ReadSFID(uint8_t opcode, uint8_t dummy_bytes, uint8_t id_bytes) {
  LibUsb_WriteToASIC(kRow0Mode, 1);
  LibUsb_WriteToASIC(kRow0CS, 0);
  LibUsb_WriteToASIC(kRow0WriteData, opcode);
  LibUsb_WriteToASIC(kRow0Trigger, 1);
  LibUsb_SFWaitReady();
  for (uint8_t i = 0; i < dummy_bytes; ++i) {
    LibUsb_WriteToASIC(kRow0WriteData, 0);
    LibUsb_WriteToASIC(kRow0Trigger, 1);
    LibUsb_SFWaitReady();
  }
  sfManufactureID = receive_row0();
  if (sfManufactureID == 0x7F) sfManufactureID = receive_row0();  // JEDEC continuation code
  sfDeviceID1 = receive_row0();
  sfDeviceID2 = id_bytes == 2 ? receive_row0() : 0xFF;
  LibUsb_WriteToASIC(kRow0Mode, 0);
  return 1;
}

// Also selects the matching row's command set (row 0 when none matches): the
// write-protect removal programs the controller's command registers from it
// on controllers configured to use the flash's own command set.
int LibUsb_SerialFlashSearch() {
  for (int row = 1; row < ubSFLib_GetIDSize(); ++row) {
    const uint8_t* id = cbSFLib_ID[row];
    if (id[0] != sfManufactureID) continue;
    if (id[1] != 0xFF && id[1] != sfDeviceID1) continue;
    if (id[2] != 0xFF && id[2] != sfDeviceID2) continue;
    ubSFLib_CmdID = id[4];
    return id[3];
  }
  ubSFLib_CmdID = cbSFLib_ID[0][4];
  return cbSFLib_ID[0][3];
}

namespace {

// The command set of a flash known only by its type (the controller's
// fallback register): that of the first identification row of the type, or
// the common SPI NOR set (row 1) for a type no row names. Row 0 holds no
// usable opcodes (write enable 0x04 is write disable).
uint8_t command_set_of_type(int type) {
  for (int row = 1; row < ubSFLib_GetIDSize(); ++row) {
    if (cbSFLib_ID[row][3] == type) return cbSFLib_ID[row][4];
  }
  return 1;
}

}  // namespace

int LibUsb_SerialFlashIdentify() {
  struct IdCommand {
    uint8_t opcode, dummy, id_bytes;
  };
  constexpr IdCommand kCommands[] = {{0x9F, 0, 2}, {0x15, 0, 1}, {0x90, 3, 1}, {0xAB, 3, 1}};
  for (const IdCommand& command : kCommands) {
    LibUsb_ReadSFID(command.opcode, command.dummy, command.id_bytes);
    int type = LibUsb_SerialFlashSearch();
    if (type != 0) return type;
  }
  return 0;
}

int LibUsb_GetSerialFlashType(int* type, int allow_fallback) {
  if (type == nullptr) return 0;
  *type = LibUsb_SerialFlashIdentify();
  if (*type != 0 || !allow_fallback) return 1;
  uint8_t version[8] = {};
  if (!LibUsb_GetAsicRomVersion(version)) return 0;
  uint8_t chip = 0;
  int arch = 0;
  if (LibUsb_GetChipRomType(&chip, &arch) == 0) return 0;
  uint8_t value = 0;
  if (!LibUsb_ReadFromASIC(current_rom_row().flash_type_register, &value)) return 0;
  if (value < 1 || value > 18) return 0;
  *type = value;
  ubSFLib_CmdID = command_set_of_type(value);
  return 1;
}

int SonixCam_GetSerialFlashType(int* type, int allow_fallback) {
  if (!camera_open()) return 0;
  return LibUsb_GetSerialFlashType(type, allow_fallback);
}

// ---- Byte-banging read.

int SonixCam_SerialFlashCustomRead(int64_t address, uint8_t* buffer, int64_t length) {
  if (!camera_open() || !flash_range_ok(address, length) || (buffer == nullptr && length > 0)) return 0;
  Sequence s;
  s.set_bit(sfModeAddr, 0);
  s.clear_bit(sfCSAddr, 0);
  s.write(kRow0ReadCmd, kOpRead);
  s.write(sfWriteDataAddr, kOpRead);
  s.set_bit(sfReadWriteTriggerAddr, 0);
  for (int i = 0; i < 3; ++i) {
    uint8_t byte = static_cast<uint8_t>(address >> (16 - 8 * i));
    s.write(static_cast<uint16_t>(kRow0ReadAddr + i), byte);
    s.write(sfWriteDataAddr, byte);
    s.set_bit(sfReadWriteTriggerAddr, 0);
    s.wait_ready();
  }
  for (int64_t i = 0; i < length && s.ok(); ++i) {
    s.write(sfReadDataAddr, 0);
    s.set_bit(sfReadWriteTriggerAddr, 1);
    s.wait_ready();
    uint8_t value = s.read(sfReadDataAddr);
    if (s.ok()) buffer[i] = value;
  }
  s.set_bit(sfCSAddr, 0);
  s.clear_bit(sfModeAddr, 0);
  if (!s.ok()) {
    leave_manual_mode_bits();
    return 0;
  }
  return 1;
}

// ---- Erase.

int LibUsb_EraseSectorForSerialFlash(int64_t address, int type) {
  if (type == 0 || !flash_range_ok(address, 0)) return 0;
  uint8_t opcode = type == 2 ? 0xD8 : type == 8 ? 0xD7 : 0x20;
  return erase_with_opcode(address, opcode);
}

int LibUsb_EraseBlockForSerialFlash(int64_t address, int type) {
  if (type == 0 || !flash_range_ok(address, 0)) return 0;
  bool d8 = type == 2 || type == 13 || type == 14 || type == 15 || type == 16;
  return erase_with_opcode(address, d8 ? 0xD8 : 0x52);
}

int LibUsb_SerialFlashErase(int type) {
  Sequence s;
  s.manual_mode(true);
  if (type == 3) {
    s.select();
    s.send(kOpEnableWriteStatus);
    s.release();
    s.select();
    s.send(kOpWriteStatus);
    s.send(0x00);
    s.release();
  }
  s.select();
  s.send(kOpWriteEnable);
  s.release();
  s.select();
  bool c7 = type == 2 || type == 7 || type == 8 || type == 10;
  s.send(c7 ? 0xC7 : 0x60);
  s.release();
  s.wait_while_busy();
  s.manual_mode(false);
  if (!s.ok()) {
    leave_manual_mode_whole();
    return 0;
  }
  return 1;
}

// ---- Write protection.

int LibUsb_DisableSerialFlashWriteProtect(int type) {
  if (type == 0) {
    gEC = SONIXCAM_EC_FLASH_TYPE;
    return 0;
  }
  uint8_t version[8] = {};
  uint8_t chip = 0;
  int arch = 0;
  int rom_type = 0;
  if (!LibUsb_GetAsicRomVersion(version) || (rom_type = LibUsb_GetChipRomType(&chip, &arch)) == 0) {
    gEC = SONIXCAM_EC_WP_ROM_UNKNOWN;
    return 0;
  }
  const RomInfoRow& rom = current_rom_row();

  // Raise the flash's write-protect pin through the controller's GPIO.
  uint8_t value = 0;
  if (rom_type == 2) {
    if (LibUsb_ReadFromASIC(gpioOEAddr, &value)) LibUsb_WriteToASIC(gpioOEAddr, value | 0x1F);
    LibUsb_ReadFromASIC(gpioOEAddr, &value);
    if (LibUsb_ReadFromASIC(gpioOutputAddr, &value)) LibUsb_WriteToASIC(gpioOutputAddr, value | 0x1F);
    LibUsb_ReadFromASIC(gpioOutputAddr, &value);
  } else {
    LibUsb_WriteToASIC(gpioOEAddr, 0xFF);
    LibUsb_ReadFromASIC(gpioOEAddr, &value);
    LibUsb_WriteToASIC(gpioOutputAddr, 0xFF);
    LibUsb_ReadFromASIC(gpioOutputAddr, &value);
  }

  uint8_t config = 0xFF;
  if (chip == 0x16) {
    LibUsb_ReadFormSF(0x5834, &config, 1);
  } else if (chip == 0x33) {
    LibUsb_ReadFormSF(0x0F, &config, 1);
  }
  bool command_set = uiRomID != 30 && uiRomID != 31 && uiRomID != 32 && uiRomID != 33 && (config & 0x0C) == 0x08;

  uint8_t mem_type = 0;
  if (rom.memory_type) LibUsb_GetMemType(&mem_type);

  if (rom.command_registers) {
    Sequence s;
    s.read(0x05F3);
    // The command-set row in use; a value outside the table falls back to row 0.
    const uint8_t* commands = cbSFLib_Cmd[ubSFLib_CmdID < 5 ? ubSFLib_CmdID : 0];
    s.write(0x05F3, command_set ? commands[1] : kOpWriteEnable);
    s.write(0x05F8, 0x12);
    s.write(0x05F9, 0x12);
    s.write(0x05FA, 0xED);
    s.write(0x05FB, 0xED);
    s.read(0x05F5);
    uint8_t program = command_set ? commands[2] : type == 3 ? kOpAaiProgram : kOpPageProgram;
    s.write(0x05F5, program);
    if (!s.ok()) return 0;
  }

  if (rom.memory_type && mem_type == 2) return 1;

  // Clear the flash's status register (its block-protect bits).
  Sequence s;
  s.manual_mode(true);
  s.select();
  s.send(kOpWriteEnable);
  s.release();
  s.wait_while_busy();
  if (type == 3) {
    s.select();
    s.send(kOpEnableWriteStatus);
    s.release();
  }
  s.select();
  s.send(kOpWriteStatus);
  s.send(0x00);
  s.release();
  s.wait_while_busy();
  s.manual_mode(false);
  if (!s.ok()) {
    leave_manual_mode_whole();
    return 0;
  }
  return 1;
}

int SonixCam_DisableSerialFlashWriteProtect(int type) {
  if (!camera_open()) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(type)) {
    gEC = SONIXCAM_EC_WRITE_PROTECT;
    return 0;
  }
  return 1;
}

namespace {

// The public erases: remove the write protection (gEC 2 when that fails),
// then run `erase` (gEC 3 when that fails).
template <typename Erase>
int erase_unprotected(int type, Erase erase) {
  if (!camera_open()) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(type)) {
    gEC = SONIXCAM_EC_WRITE_PROTECT;
    return 0;
  }
  if (!erase()) {
    gEC = SONIXCAM_EC_ERASE;
    return 0;
  }
  return 1;
}

}  // namespace

int SonixCam_EraseSectorFlash(int64_t address, int type) {
  return erase_unprotected(type, [&] { return LibUsb_EraseSectorForSerialFlash(address, type); });
}

int SonixCam_EraseBlockFlash(int64_t address, int type) {
  return erase_unprotected(type, [&] { return LibUsb_EraseBlockForSerialFlash(address, type); });
}

int SonixCam_EraseSerialFlash(int type) {
  return erase_unprotected(type, [&] { return LibUsb_SerialFlashErase(type); });
}

// ---- Byte-banging write.

int SonixCam_SerialFlashSectorCustomWrite(int64_t address, uint8_t* data, int64_t length, int type) {
  if (!camera_open() || !flash_range_ok(address, length) || (data == nullptr && length > 0)) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(type)) return 0;
  if (!LibUsb_EraseSectorForSerialFlash(address, type)) return 0;
  platform::sleep_ms(1000);

  Sequence s;
  s.wait_ready();
  s.set_bit(sfModeAddr, 0);
  s.bit_select();
  s.bit_send(kOpWriteEnable);
  s.bit_release();

  uint32_t at = static_cast<uint32_t>(address);
  if (type == 3) {
    // Auto-address-increment programming: one byte per command. The chip
    // ignores the next command while it is still programming a byte, so its
    // busy status is polled (read-status is allowed in this mode) first.
    s.bit_select();
    s.bit_send(kOpAaiProgram);
    s.bit_send_address(at);
    for (int64_t i = 0; i < length && s.ok(); ++i) {
      s.bit_send(data[i]);
      s.bit_release();
      s.wait_while_busy();
      if (i + 1 < length) {
        s.bit_select();
        s.bit_send(kOpAaiProgram);
      }
    }
    s.bit_select();
    s.bit_send(kOpWriteDisable);
    s.bit_release();
    if (s.ok()) platform::sleep_ms(100);
    s.wait_ready();
  } else if (s.ok()) {
    // Page programming for every other type: a program command never crosses
    // a 256-byte page boundary (the chip would wrap inside the page), and each
    // page's program finishes before the next page is sent.
    if (!sf_program_pages(at, data, length)) s.fail();
  }

  if (!s.ok()) {
    leave_manual_mode_bits();
    return 0;
  }
  if (!LibUsb_DisableAsicRegisterBit(sfModeAddr, 0)) return 0;
  return 1;
}

// ---- Flash window path.

int LibUsb_ReadDataFormFlash(int64_t address, uint8_t* buffer, uint8_t length) {
  if (buffer == nullptr) return 0;
  uint8_t n = length > kWindowChunk ? kWindowChunk : length;
  uint8_t payload[11] = {static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>((address >> 8) & 0xFF),
                         static_cast<uint8_t>(0x80 | (window_bank(address) << 4) | n)};
  int r = LibUsb_Write(kFlashWindowControl, g_CurDspExtendUnitID, payload, sizeof payload);
  if (r >= 0) r = LibUsb_Read(kFlashWindowControl, g_CurDspExtendUnitID, payload, sizeof payload);
  if (r < 0) {
    std::fprintf(stderr, "F3 error %d\n", r);
    return 0;
  }
  std::memcpy(buffer, payload + 3, n);
  return 1;
}

int LibUsb_WriteDataToFlash(int64_t address, uint8_t* data, uint8_t length) {
  if (data == nullptr) return 0;
  uint8_t n = length > kWindowChunk ? kWindowChunk : length;
  uint8_t payload[11] = {static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>((address >> 8) & 0xFF),
                         static_cast<uint8_t>((window_bank(address) << 4) | n)};
  std::memcpy(payload + 3, data, n);
  int r = LibUsb_Write(kFlashWindowControl, g_CurDspExtendUnitID, payload, sizeof payload);
  if (r < 0) {
    std::fprintf(stderr, "F4 error %d\n", r);
    return 0;
  }
  return 1;
}

int LibUsb_ReadFormSF(int64_t address, uint8_t* buffer, int64_t length) {
  if (!flash_range_ok(address, length) || (buffer == nullptr && length > 0)) return 0;
  for (int64_t done = 0; done < length; done += kWindowChunk) {
    int64_t n = length - done < kWindowChunk ? length - done : kWindowChunk;
    if (!LibUsb_ReadDataFormFlash(address + done, buffer + done, static_cast<uint8_t>(n))) return 0;
  }
  return 1;
}

int LibUsb_WriteToSF(int64_t address, uint8_t* data, int64_t length) {
  if (!flash_range_ok(address, length) || (data == nullptr && length > 0)) return 0;
  for (int64_t done = 0; done < length; done += kWindowChunk) {
    int64_t n = length - done < kWindowChunk ? length - done : kWindowChunk;
    if (!LibUsb_WriteDataToFlash(address + done, data + done, static_cast<uint8_t>(n))) return 0;
  }
  return 1;
}

// ---- Streaming path.

int SetSFControllerSCK() {
  uint8_t version[8] = {};
  if (!LibUsb_GetAsicRomVersion(version)) {
    gEC = SONIXCAM_EC_ROM_UNKNOWN;
    return 0;
  }
  switch (uiRomID) {
    case 15:
    case 16:
    case 33: {
      uint8_t value = 0;
      if (LibUsb_ReadFromASIC(0x100D, &value)) LibUsb_WriteToASIC(0x100D, value & ~0x04);
      LibUsb_WriteToASIC(0x1090, 1);
      break;
    }
    case 20:
    case 37:
      LibUsb_WriteToASIC(0x8045, 4);
      LibUsb_WriteToASIC(0x8E10, 4);
      break;
    case 38:
    case 39:
      LibUsb_WriteToASIC(0x8045, 10);
      LibUsb_WriteToASIC(0x8E10, 1);
      break;
    default:
      break;
  }
  return 1;
}

int StopReadWrite_SFXU6() {
  uint32_t current = 0;
  uint32_t end = 0;
  if (!ReadDataFromAsic(0x0337, &current) || !ReadDataFromAsic(0x033B, &end)) return 0;
  if (current == end) return 1;
  if (!WriteDataToAsic(0x0337, 0) || !WriteDataToAsic(0x033B, 0)) return 0;
  return LibUsb_WriteToASIC(0x0335, 0);
}

namespace {

int announce_xu6(uint32_t address, uint32_t length, uint8_t direction) {
  uint8_t record[kStreamUnit] = {};
  uint32_t end = address + length;
  for (int i = 0; i < 4; ++i) {
    record[i] = static_cast<uint8_t>(address >> (8 * i));
    record[6 + i] = static_cast<uint8_t>(end >> (8 * i));
  }
  record[4] = direction;
  record[5] = kStreamUnit;
  record[10] = 0x0B;
  record[11] = 0x01;
  return LibUsb_Write(kStreamingFlashControl, g_CurDspExtendUnitID, record, sizeof record) >= 0 ? 1 : 0;
}

}  // namespace

int SetReadInfo_SFXU6(uint32_t address, uint32_t length) { return announce_xu6(address, length, 0x80); }
int SetWriteInfo_SFXU6(uint32_t address, uint32_t length) { return announce_xu6(address, length, 0x00); }

int ReadDataFormFlashXU6(uint8_t* buffer, int length) {
  if (buffer == nullptr || length < 1 || length > kStreamUnit) return 0;
  uint8_t unit[kStreamUnit] = {};
  int r = LibUsb_Read(kStreamingFlashControl, g_CurDspExtendUnitID, unit, sizeof unit);
  if (r < 0) {
    std::fprintf(stderr, "read xu6  error %d\n", r);
    return 0;
  }
  std::memcpy(buffer, unit, static_cast<size_t>(length));
  return 1;
}

int WriteDataToFlashXU6(uint8_t* data, int length) {
  if (data == nullptr || length < 1 || length > kStreamUnit) return 0;
  uint8_t unit[kStreamUnit] = {};
  std::memcpy(unit, data, static_cast<size_t>(length));
  int r = LibUsb_Write(kStreamingFlashControl, g_CurDspExtendUnitID, unit, sizeof unit);
  if (r < 0) {
    std::fprintf(stderr, "write xu6  error %d\n", r);
    return 0;
  }
  return 1;
}

int ReadFormSF_XU6(int64_t address, uint8_t* buffer, int64_t length) {
  if (!flash_range_ok(address, length) || (buffer == nullptr && length > 0)) return 0;
  SetSFControllerSCK();
  StopReadWrite_SFXU6();
  if (!SetReadInfo_SFXU6(static_cast<uint32_t>(address), static_cast<uint32_t>(length))) return 0;
  for (int64_t done = 0; done < length; done += kStreamUnit) {
    int64_t n = length - done < kStreamUnit ? length - done : kStreamUnit;
    if (!ReadDataFormFlashXU6(buffer + done, static_cast<int>(n))) return 0;
  }
  return 1;
}

int WriteToSF_XU6(int64_t address, uint8_t* data, int64_t length) {
  if (!flash_range_ok(address, length) || (data == nullptr && length > 0)) return 0;
  SetSFControllerSCK();
  StopReadWrite_SFXU6();
  if (!SetWriteInfo_SFXU6(static_cast<uint32_t>(address), static_cast<uint32_t>(length))) return 0;
  for (int64_t done = 0; done < length; done += kStreamUnit) {
    int64_t n = length - done < kStreamUnit ? length - done : kStreamUnit;
    if (!WriteDataToFlashXU6(data + done, static_cast<int>(n))) return 0;
  }
  return 1;
}

namespace {

// Without the streaming request the flash window names its 64 KiB bank with
// two bits, so an address at or above 256 KiB would alias into bank 3 (and a
// sector write would erase one sector and program another). Such calls are
// refused before anything is sent, with gEC and a diagnostic.
bool window_reaches(int64_t address, int64_t length) {
  if (g_supportXU6 || !flash_range_ok(address, length) || address + length <= kWindowReach) return true;
  gEC = SONIXCAM_EC_WINDOW_RANGE;
  std::fprintf(stderr, "flash window cannot reach 0x%llx (%lld bytes): limit 0x%x without the streaming request\n",
               static_cast<unsigned long long>(address), static_cast<long long>(length),
               static_cast<unsigned>(kWindowReach));
  return false;
}

}  // namespace

int SonixCam_SerialFlashRead(int64_t address, uint8_t* buffer, int64_t length) {
  if (!camera_open() || !window_reaches(address, length)) return 0;
  return g_supportXU6 ? ReadFormSF_XU6(address, buffer, length) : LibUsb_ReadFormSF(address, buffer, length);
}

int SonixCam_SerialFlashWrite(int64_t address, uint8_t* data, int64_t length) {
  if (!camera_open() || !window_reaches(address, length)) return 0;
  return g_supportXU6 ? WriteToSF_XU6(address, data, length) : LibUsb_WriteToSF(address, data, length);
}

int SonixCam_SerialFlashSectorWrite(int64_t address, uint8_t* data, int64_t length, int type) {
  if (!camera_open()) return 0;
  if (type == 0) {
    gEC = SONIXCAM_EC_FLASH_TYPE;
    return 0;
  }
  if (!flash_range_ok(address, length) || (data == nullptr && length > 0)) return 0;
  if (!window_reaches(address, length)) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(type)) return 0;
  if (!LibUsb_EraseSectorForSerialFlash(address, type)) return 0;
  platform::sleep_ms(1000);
  return g_supportXU6 ? WriteToSF_XU6(address, data, length) : LibUsb_WriteToSF(address, data, length);
}
