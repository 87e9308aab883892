// The camera controller's serial-flash side: the registers through which the
// host byte-bangs the SPI bus, and the firmware requests that move flash data
// for the host (the 8-byte flash window, the 64-byte streaming request and the
// memory-type query).
//
// Register behaviour, as the hardware does it:
//  - manual mode (bit 0 of the mode register) hands the SPI pins to the host;
//    the flash is selected while manual mode is on and bit 0 of the
//    chip-select register is 0. Leaving manual mode releases the chip.
//  - writing the trigger register with bit 0 shifts the write-data register out;
//    with bit 1 it shifts the read-data register's value out and latches the
//    byte clocked in into the read-data register. Triggers outside manual mode
//    do nothing. Bit 0 of the ready register is set when the shift is done
//    (optionally only after a few reads; triggers while not ready are lost).
//  - the read-command/read-address registers (0x1088..0x108B in every map) and
//    the command registers 0x05F3, 0x05F5, 0x05F8..0x05FB are latches; the
//    firmware uses 0x05F3 as its write-enable opcode and 0x05F5 as its program
//    opcode (0xAF selects auto-address-increment programming).
//  - the flash-type register of the ROM answers a configured value.
//
// Firmware requests never touch the protection: a program into a protected
// area is ignored by the chip and the request still succeeds, exactly as on
// the device. Around a program the firmware polls the chip's status (moving
// the virtual clock on) until it is idle; reads do not wait, so a read issued
// while the chip is still busy returns 0xFF like the bus does. Requests made
// while the host holds the bus in manual mode stall.
//
// Power cut: every byte shifted through the byte-banging registers and every
// window/stream unit is one SPI operation. Once the configured number of
// operations has been performed, the next one is not: the callback runs once
// and from then on the controller does nothing (register writes are dropped,
// register reads answer 0, requests return LIBUSB_ERROR_NO_DEVICE). The flash
// keeps exactly what was done before; a command whose chip select never rose
// is never executed. Firmware requests wait for the chip after programming,
// so a window or stream write unit is whole or absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "emulator/spi_nor_flash.hpp"
#include "emulator/virtual_clock.hpp"

namespace morvane::emulator {

struct SerialFlashControllerConfig {
  int register_map_row = 0;                    // 0 or 1
  std::uint16_t flash_type_register = 0x05F0;  // 0 = none
  std::uint8_t flash_type_value = 0;
  bool command_registers = true;
  std::optional<std::uint8_t> memory_type;        // nullopt: the memory-type query stalls
  bool streaming = false;                         // false: the streaming request stalls
  std::uint8_t reset_write_enable_opcode = 0x06;  // 0x05F3 after reset
  std::uint8_t reset_program_opcode = 0x02;       // 0x05F5 after reset
  unsigned ready_after_reads = 0;                 // ready-register reads that answer "busy" after a trigger
  std::uint64_t firmware_poll_ns = 50'000;        // virtual time per firmware status poll
  std::uint64_t firmware_busy_timeout_ns = 30'000'000'000ULL;
};
// Config for a controller of ROM generation `rom_row` (0..39; other values
// give a controller without flash-type register, command registers, memory
// type or streaming) using register map `map_row` (0 or 1).
SerialFlashControllerConfig serial_flash_config_for_rom_row(int rom_row, int map_row);

// Streaming-request progress registers.
inline constexpr std::uint16_t kStreamStopRegister = 0x0335;
inline constexpr std::uint16_t kStreamCurrentRegister = 0x0337;  // 4 bytes, MSB first
inline constexpr std::uint16_t kStreamEndRegister = 0x033B;      // 4 bytes, MSB first

struct SerialFlashControllerCounters {
  std::uint64_t spi_operations = 0;    // bytes shifted + window/stream units
  std::uint64_t shifts = 0;            // byte-banged bytes clocked
  std::uint64_t triggers_ignored = 0;  // outside manual mode, or while not ready
  std::uint64_t window_reads = 0;
  std::uint64_t window_writes = 0;
  std::uint64_t stream_units = 0;
  std::uint64_t requests_stalled = 0;     // malformed or out-of-state requests
  std::uint64_t firmware_busy_waits = 0;  // firmware status polls that found the chip busy
};

class SerialFlashController {
 public:
  SerialFlashController(SpiNorFlash& flash, VirtualClock& clock, SerialFlashControllerConfig config);

  SerialFlashController(const SerialFlashController&) = delete;
  SerialFlashController& operator=(const SerialFlashController&) = delete;

  // ---- Controller register space (ASIC register requests).
  bool owns_register(std::uint16_t address) const;
  std::uint8_t read_register(std::uint16_t address);
  void write_register(std::uint16_t address, std::uint8_t value);

  // ---- Extension-unit requests. Each returns the byte count transferred or a
  // negative libusb error: LIBUSB_ERROR_PIPE for a malformed or out-of-state
  // request, LIBUSB_ERROR_INVALID_PARAM for a null buffer, LIBUSB_ERROR_TIMEOUT
  // when the chip stays busy, LIBUSB_ERROR_NO_DEVICE after a power cut.
  int window_set(const std::uint8_t* data, std::uint16_t length);  // flash window SET_CUR
  int window_get(std::uint8_t* data, std::uint16_t length);        // flash window GET_CUR
  int stream_set(const std::uint8_t* data, std::uint16_t length);  // streaming SET_CUR
  int stream_get(std::uint8_t* data, std::uint16_t length);        // streaming GET_CUR
  int memtype_get(std::uint8_t* data, std::uint16_t length);       // memory-type GET_CUR

  // ---- Power cut. Exactly `operations` more SPI operations are performed;
  // the one after finds the power gone (0: the very next one). The callback
  // runs once, on the thread of that operation, without the controller's lock.
  void set_power_cut_after(std::uint64_t operations, std::function<void()> on_cut = {});
  void clear_power_cut();
  bool power_lost() const;
  // Power comes back: controller registers return to reset values, the chip
  // goes through power-up, the power-cut trigger is cleared.
  void power_on_reset();

  SerialFlashControllerCounters counters() const;
  const SerialFlashControllerConfig& config() const { return config_; }
  SpiNorFlash& flash() { return flash_; }

 private:
  bool count_operation_locked();  // false: the power is gone (now or earlier)
  void update_chip_select_locked();
  bool wait_chip_ready_locked();
  bool program_locked(std::uint32_t address, const std::uint8_t* data, std::size_t length);
  void read_locked(std::uint32_t address, std::uint8_t* data, std::size_t length);
  void reset_registers_locked();
  int stall_locked();
  int request_check_locked(const void* data, std::uint16_t length, std::uint16_t expected);
  void write_register_locked(std::uint16_t address, std::uint8_t value);
  int window_set_locked(const std::uint8_t* data, std::uint16_t length);
  int window_get_locked(std::uint8_t* data, std::uint16_t length);
  int stream_set_locked(const std::uint8_t* data, std::uint16_t length);
  int stream_get_locked(std::uint8_t* data, std::uint16_t length);
  void run_cut_callback();

  SpiNorFlash& flash_;
  VirtualClock& clock_;
  SerialFlashControllerConfig config_;
  // Serial-flash registers of the active register map.
  std::uint16_t reg_ready_, reg_mode_, reg_chip_select_, reg_write_data_, reg_read_data_, reg_trigger_,
      reg_read_command_;
  mutable std::mutex mutex_;

  // Byte-banging registers.
  std::uint8_t mode_ = 0;
  std::uint8_t chip_select_ = 1;
  std::uint8_t write_data_ = 0;
  std::uint8_t read_data_ = 0;
  unsigned ready_reads_left_ = 0;
  std::uint8_t read_command_[4] = {0, 0, 0, 0};  // 0x1088..0x108B

  // Command registers.
  std::uint8_t command_regs_[9] = {};  // 0x05F3..0x05FB

  // Flash window.
  bool window_read_pending_ = false;
  std::uint8_t window_request_[11] = {};

  // Streaming request.
  bool stream_active_ = false;
  bool stream_read_ = false;
  std::uint32_t stream_current_ = 0;
  std::uint32_t stream_end_ = 0;
  std::uint8_t stream_stop_ = 0;

  std::uint8_t flash_type_latch_ = 0;

  // Power.
  bool cut_armed_ = false;
  std::uint64_t cut_at_ = 0;  // operations performed when the power goes
  bool power_lost_ = false;
  std::function<void()> on_cut_;
  bool cut_callback_pending_ = false;

  SerialFlashControllerCounters counters_;
};

}  // namespace morvane::emulator
