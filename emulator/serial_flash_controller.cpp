#include "emulator/serial_flash_controller.hpp"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstring>

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator {
namespace {

// Fixed read-command/read-address registers, present in every register map.
constexpr std::uint16_t kFixedReadCommand = 0x1088;
// Command registers: write-enable opcode, program opcode, four set-up bytes.
constexpr std::uint16_t kCommandRegisterBase = 0x05F3;
constexpr std::uint16_t kWriteEnableOpcodeRegister = 0x05F3;
constexpr std::uint16_t kProgramOpcodeRegister = 0x05F5;

constexpr std::uint8_t kSpiRead = 0x03;
constexpr std::uint8_t kSpiReadStatus = 0x05;
constexpr std::uint8_t kSpiWriteDisable = 0x04;
constexpr std::uint8_t kSpiAai = 0xAF;

constexpr std::uint16_t kWindowLength = 11;
constexpr std::uint16_t kMemoryTypeReplyLength = 11;
constexpr std::uint16_t kStreamLength = 64;
constexpr std::uint8_t kStreamUnit = 64;
constexpr std::uint8_t kStreamDirectionRead = 0x80;
constexpr std::uint8_t kStreamDirectionWrite = 0x00;

bool is_command_register(std::uint16_t address) {
  return address == 0x05F3 || address == 0x05F5 || (address >= 0x05F8 && address <= 0x05FB);
}

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint8_t be_byte(std::uint32_t value, unsigned index) {  // index 0 = most significant
  return static_cast<std::uint8_t>(value >> (8 * (3 - index)));
}

void set_be_byte(std::uint32_t& value, unsigned index, std::uint8_t byte) {
  const unsigned shift = 8 * (3 - index);
  value = (value & ~(std::uint32_t{0xFF} << shift)) | (std::uint32_t{byte} << shift);
}

}  // namespace

SerialFlashControllerConfig serial_flash_config_for_rom_row(int rom_row, int map_row) {
  SerialFlashControllerConfig config;
  config.register_map_row = map_row == 1 ? 1 : 0;
  const RomGeneration* generation = rom_generation(rom_row);
  if (generation == nullptr) {
    config.flash_type_register = 0;
    config.command_registers = false;
    config.memory_type.reset();
    config.streaming = false;
    return config;
  }
  config.flash_type_register = generation->flash_type_register;
  config.command_registers = generation->command_registers;
  if (generation->reports_memory_type) {
    config.memory_type = 0;
  } else {
    config.memory_type.reset();
  }
  // The generations with the 64-byte streaming request.
  config.streaming = rom_row == 15 || rom_row == 20 || rom_row == 37 || rom_row == 38 || rom_row == 39;
  return config;
}

SerialFlashController::SerialFlashController(SpiNorFlash& flash, VirtualClock& clock,
                                             SerialFlashControllerConfig config)
    : flash_(flash), clock_(clock), config_(std::move(config)) {
  config_.register_map_row = config_.register_map_row == 1 ? 1 : 0;
  const RegisterMap& map = register_map(config_.register_map_row);
  reg_ready_ = map.sf_ready;
  reg_mode_ = map.sf_mode;
  reg_chip_select_ = map.sf_chip_select;
  reg_write_data_ = map.sf_write_data;
  reg_read_data_ = map.sf_read_data;
  reg_trigger_ = map.sf_trigger;
  reg_read_command_ = map.sf_read_command;
  std::lock_guard<std::mutex> lock(mutex_);
  reset_registers_locked();
}

void SerialFlashController::reset_registers_locked() {
  mode_ = 0;
  chip_select_ = 1;
  write_data_ = 0;
  read_data_ = 0;
  ready_reads_left_ = 0;
  std::fill(std::begin(read_command_), std::end(read_command_), 0);
  std::fill(std::begin(command_regs_), std::end(command_regs_), 0);
  command_regs_[kWriteEnableOpcodeRegister - kCommandRegisterBase] = config_.reset_write_enable_opcode;
  command_regs_[kProgramOpcodeRegister - kCommandRegisterBase] = config_.reset_program_opcode;
  window_read_pending_ = false;
  std::fill(std::begin(window_request_), std::end(window_request_), 0);
  stream_active_ = false;
  stream_read_ = false;
  stream_current_ = 0;
  stream_end_ = 0;
  stream_stop_ = 0;
  flash_type_latch_ = config_.flash_type_value;
}

// ---- Registers.

bool SerialFlashController::owns_register(std::uint16_t address) const {
  if (address == reg_ready_ || address == reg_mode_ || address == reg_chip_select_ || address == reg_write_data_ ||
      address == reg_read_data_ || address == reg_trigger_) {
    return true;
  }
  if (address >= reg_read_command_ && address < reg_read_command_ + 4) return true;
  if (address >= kFixedReadCommand && address < kFixedReadCommand + 4) return true;
  if (config_.streaming &&
      (address == kStreamStopRegister || (address >= kStreamCurrentRegister && address < kStreamEndRegister + 4))) {
    return true;
  }
  if (config_.command_registers && is_command_register(address)) return true;
  return config_.flash_type_register != 0 && address == config_.flash_type_register;
}

std::uint8_t SerialFlashController::read_register(std::uint16_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (power_lost_) return 0;
  if (address == reg_ready_) {
    if (ready_reads_left_ > 0) {
      --ready_reads_left_;
      return 0;
    }
    return 1;
  }
  if (address == reg_mode_) return mode_;
  if (address == reg_chip_select_) return chip_select_;
  if (address == reg_write_data_) return write_data_;
  if (address == reg_read_data_) return read_data_;
  if (address == reg_trigger_) return 0;  // trigger bits clear when the shift is done
  if (address >= reg_read_command_ && address < reg_read_command_ + 4)
    return read_command_[address - reg_read_command_];
  if (address >= kFixedReadCommand && address < kFixedReadCommand + 4)
    return read_command_[address - kFixedReadCommand];
  if (config_.streaming) {
    if (address == kStreamStopRegister) return stream_active_ ? 1 : 0;
    if (address >= kStreamCurrentRegister && address < kStreamCurrentRegister + 4) {
      return be_byte(stream_current_, address - kStreamCurrentRegister);
    }
    if (address >= kStreamEndRegister && address < kStreamEndRegister + 4) {
      return be_byte(stream_end_, address - kStreamEndRegister);
    }
  }
  if (config_.command_registers && is_command_register(address)) return command_regs_[address - kCommandRegisterBase];
  if (config_.flash_type_register != 0 && address == config_.flash_type_register) return flash_type_latch_;
  return 0;
}

void SerialFlashController::write_register(std::uint16_t address, std::uint8_t value) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    write_register_locked(address, value);
  }
  run_cut_callback();
}

void SerialFlashController::write_register_locked(std::uint16_t address, std::uint8_t value) {
  if (power_lost_) return;
  if (address == reg_mode_) {
    mode_ = value;
    update_chip_select_locked();
  } else if (address == reg_chip_select_) {
    chip_select_ = value;
    update_chip_select_locked();
  } else if (address == reg_write_data_) {
    write_data_ = value;
  } else if (address == reg_read_data_) {
    read_data_ = value;
  } else if (address == reg_trigger_) {
    if ((value & 0x03) == 0) return;
    if ((mode_ & 1) == 0 || ready_reads_left_ > 0) {
      // Outside manual mode the pins belong to the hardware; while a shift is
      // still running a new trigger is lost.
      ++counters_.triggers_ignored;
      return;
    }
    if (!count_operation_locked()) return;
    ++counters_.shifts;
    if (value & 0x01) {
      // Shift the write-data register out; with bit 1 too, keep what came in.
      const std::uint8_t in = flash_.transfer(write_data_);
      if (value & 0x02) read_data_ = in;
    } else {
      // Shift in: the read-data register's value goes out, the answer replaces it.
      read_data_ = flash_.transfer(read_data_);
    }
    ready_reads_left_ = config_.ready_after_reads;
  } else if (address == reg_ready_) {
    // Read-only status.
  } else if (address >= reg_read_command_ && address < reg_read_command_ + 4) {
    read_command_[address - reg_read_command_] = value;
  } else if (address >= kFixedReadCommand && address < kFixedReadCommand + 4) {
    read_command_[address - kFixedReadCommand] = value;
  } else if (config_.streaming && address == kStreamStopRegister) {
    stream_stop_ = value;
    if (value == 0) stream_active_ = false;  // abandon the running transfer
  } else if (config_.streaming && address >= kStreamCurrentRegister && address < kStreamCurrentRegister + 4) {
    set_be_byte(stream_current_, address - kStreamCurrentRegister, value);
  } else if (config_.streaming && address >= kStreamEndRegister && address < kStreamEndRegister + 4) {
    set_be_byte(stream_end_, address - kStreamEndRegister, value);
  } else if (config_.command_registers && is_command_register(address)) {
    command_regs_[address - kCommandRegisterBase] = value;
  } else if (config_.flash_type_register != 0 && address == config_.flash_type_register) {
    flash_type_latch_ = value;
  }
}

void SerialFlashController::update_chip_select_locked() {
  const bool want = (mode_ & 1) != 0 && (chip_select_ & 1) == 0;
  if (want && !flash_.selected()) {
    flash_.select();
  } else if (!want && flash_.selected()) {
    flash_.deselect();
  }
}

// ---- Power.

bool SerialFlashController::count_operation_locked() {
  if (power_lost_) return false;
  if (cut_armed_ && counters_.spi_operations >= cut_at_) {
    power_lost_ = true;
    cut_armed_ = false;
    cut_callback_pending_ = true;
    return false;
  }
  ++counters_.spi_operations;
  return true;
}

void SerialFlashController::set_power_cut_after(std::uint64_t operations, std::function<void()> on_cut) {
  std::lock_guard<std::mutex> lock(mutex_);
  cut_armed_ = true;
  cut_at_ = counters_.spi_operations + operations;
  on_cut_ = std::move(on_cut);
}

void SerialFlashController::clear_power_cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  cut_armed_ = false;
  on_cut_ = nullptr;
}

bool SerialFlashController::power_lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return power_lost_;
}

void SerialFlashController::power_on_reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  power_lost_ = false;
  cut_armed_ = false;
  cut_callback_pending_ = false;
  on_cut_ = nullptr;
  reset_registers_locked();
  flash_.power_cycle();
}

void SerialFlashController::run_cut_callback() {
  std::function<void()> callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cut_callback_pending_) return;
    cut_callback_pending_ = false;
    callback = std::move(on_cut_);
    on_cut_ = nullptr;
  }
  if (callback) callback();
}

SerialFlashControllerCounters SerialFlashController::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

// ---- Firmware's SPI routines.

bool SerialFlashController::wait_chip_ready_locked() {
  std::uint64_t waited = 0;
  for (;;) {
    flash_.select();
    flash_.transfer(kSpiReadStatus);
    const std::uint8_t status = flash_.transfer(0x00);
    flash_.deselect();
    if ((status & kSpiStatusWip) == 0) return true;
    ++counters_.firmware_busy_waits;
    if (waited >= config_.firmware_busy_timeout_ns) return false;
    clock_.advance_ns(config_.firmware_poll_ns);
    waited += config_.firmware_poll_ns;
  }
}

void SerialFlashController::read_locked(std::uint32_t address, std::uint8_t* data, std::size_t length) {
  flash_.select();
  flash_.transfer(kSpiRead);
  flash_.transfer(static_cast<std::uint8_t>(address >> 16));
  flash_.transfer(static_cast<std::uint8_t>(address >> 8));
  flash_.transfer(static_cast<std::uint8_t>(address));
  for (std::size_t i = 0; i < length; ++i) data[i] = flash_.transfer(0x00);
  flash_.deselect();
}

bool SerialFlashController::program_locked(std::uint32_t address, const std::uint8_t* data, std::size_t length) {
  const std::uint8_t write_enable = config_.command_registers
                                        ? command_regs_[kWriteEnableOpcodeRegister - kCommandRegisterBase]
                                        : config_.reset_write_enable_opcode;
  const std::uint8_t program = config_.command_registers ? command_regs_[kProgramOpcodeRegister - kCommandRegisterBase]
                                                         : config_.reset_program_opcode;
  auto command = [&](std::initializer_list<std::uint8_t> bytes, const std::uint8_t* tail, std::size_t tail_length) {
    flash_.select();
    for (std::uint8_t byte : bytes) flash_.transfer(byte);
    for (std::size_t i = 0; i < tail_length; ++i) flash_.transfer(tail[i]);
    flash_.deselect();
  };
  const auto a2 = [](std::uint32_t a) { return static_cast<std::uint8_t>(a >> 16); };
  const auto a1 = [](std::uint32_t a) { return static_cast<std::uint8_t>(a >> 8); };
  const auto a0 = [](std::uint32_t a) { return static_cast<std::uint8_t>(a); };

  if (length == 0) return true;
  if (program == kSpiAai) {
    // Auto-address-increment: address and first byte, then one byte per command.
    if (!wait_chip_ready_locked()) return false;
    command({write_enable}, nullptr, 0);
    command({kSpiAai, a2(address), a1(address), a0(address), data[0]}, nullptr, 0);
    for (std::size_t i = 1; i < length; ++i) {
      if (!wait_chip_ready_locked()) return false;
      command({kSpiAai, data[i]}, nullptr, 0);
    }
    if (!wait_chip_ready_locked()) return false;
    command({kSpiWriteDisable}, nullptr, 0);
    return true;
  }
  // Page programming, split at 256-byte page boundaries.
  std::size_t done = 0;
  while (done < length) {
    const std::uint32_t at = address + static_cast<std::uint32_t>(done);
    const std::size_t room = 256 - (at & 0xFF);
    const std::size_t chunk = std::min(room, length - done);
    if (!wait_chip_ready_locked()) return false;
    command({write_enable}, nullptr, 0);
    command({program, a2(at), a1(at), a0(at)}, data + done, chunk);
    done += chunk;
  }
  return wait_chip_ready_locked();
}

// ---- Requests.

int SerialFlashController::stall_locked() {
  ++counters_.requests_stalled;
  return LIBUSB_ERROR_PIPE;
}

int SerialFlashController::request_check_locked(const void* data, std::uint16_t length, std::uint16_t expected) {
  if (power_lost_) return LIBUSB_ERROR_NO_DEVICE;
  if (data == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (length != expected) return stall_locked();
  // The firmware cannot drive the bus while the host holds it in manual mode.
  if (mode_ & 1) return stall_locked();
  return 0;
}

int SerialFlashController::window_set(const std::uint8_t* data, std::uint16_t length) {
  int result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = window_set_locked(data, length);
  }
  run_cut_callback();
  return result;
}

int SerialFlashController::window_set_locked(const std::uint8_t* data, std::uint16_t length) {
  if (const int refused = request_check_locked(data, length, kWindowLength)) return refused;
  const std::uint8_t control = data[2];
  const unsigned count = control & 0x0F;
  if (count == 0 || count > 8 || (control & 0x40) != 0) return stall_locked();
  const std::uint32_t address =
      std::uint32_t{data[0]} | (std::uint32_t{data[1]} << 8) | (std::uint32_t{(control >> 4) & 0x03u} << 16);
  if (control & 0x80) {
    // A read is posted here and delivered by the GET_CUR that follows.
    std::memcpy(window_request_, data, kWindowLength);
    window_read_pending_ = true;
    return kWindowLength;
  }
  window_read_pending_ = false;
  if (!count_operation_locked()) return LIBUSB_ERROR_NO_DEVICE;
  ++counters_.window_writes;
  if (!program_locked(address, data + 3, count)) return LIBUSB_ERROR_TIMEOUT;
  return kWindowLength;
}

int SerialFlashController::window_get(std::uint8_t* data, std::uint16_t length) {
  int result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = window_get_locked(data, length);
  }
  run_cut_callback();
  return result;
}

int SerialFlashController::window_get_locked(std::uint8_t* data, std::uint16_t length) {
  if (const int refused = request_check_locked(data, length, kWindowLength)) return refused;
  if (!window_read_pending_) return stall_locked();
  window_read_pending_ = false;
  if (!count_operation_locked()) return LIBUSB_ERROR_NO_DEVICE;
  ++counters_.window_reads;
  const std::uint8_t control = window_request_[2];
  const std::uint32_t address = std::uint32_t{window_request_[0]} | (std::uint32_t{window_request_[1]} << 8) |
                                (std::uint32_t{(control >> 4) & 0x03u} << 16);
  std::uint8_t reply[kWindowLength] = {};
  reply[0] = window_request_[0];
  reply[1] = window_request_[1];
  reply[2] = control;
  read_locked(address, reply + 3, control & 0x0F);
  std::memcpy(data, reply, kWindowLength);
  return kWindowLength;
}

int SerialFlashController::stream_set(const std::uint8_t* data, std::uint16_t length) {
  int result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = stream_set_locked(data, length);
  }
  run_cut_callback();
  return result;
}

int SerialFlashController::stream_set_locked(const std::uint8_t* data, std::uint16_t length) {
  if (!config_.streaming) {
    if (power_lost_) return LIBUSB_ERROR_NO_DEVICE;
    return stall_locked();
  }
  if (const int refused = request_check_locked(data, length, kStreamLength)) return refused;
  if (stream_active_) {
    // While a write runs every SET_CUR is data; a SET_CUR during a read is refused.
    if (stream_read_) return stall_locked();
    if (!count_operation_locked()) return LIBUSB_ERROR_NO_DEVICE;
    ++counters_.stream_units;
    const std::size_t count = std::min<std::uint32_t>(kStreamUnit, stream_end_ - stream_current_);
    if (!program_locked(stream_current_, data, count)) return LIBUSB_ERROR_TIMEOUT;
    stream_current_ += static_cast<std::uint32_t>(count);
    if (stream_current_ >= stream_end_) stream_active_ = false;
    return kStreamLength;
  }
  // Announcement: start, direction, unit size, end, 0x0B, 0x01.
  const std::uint32_t start = le32(data);
  const std::uint8_t direction = data[4];
  const std::uint32_t end = le32(data + 6);
  if ((direction != kStreamDirectionRead && direction != kStreamDirectionWrite) || data[5] != kStreamUnit ||
      data[10] != 0x0B || data[11] != 0x01 || end < start || end > flash_.size()) {
    return stall_locked();
  }
  stream_read_ = direction == kStreamDirectionRead;
  stream_current_ = start;
  stream_end_ = end;
  stream_stop_ = 1;
  stream_active_ = end > start;
  return kStreamLength;
}

int SerialFlashController::stream_get(std::uint8_t* data, std::uint16_t length) {
  int result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = stream_get_locked(data, length);
  }
  run_cut_callback();
  return result;
}

int SerialFlashController::stream_get_locked(std::uint8_t* data, std::uint16_t length) {
  if (!config_.streaming) {
    if (power_lost_) return LIBUSB_ERROR_NO_DEVICE;
    return stall_locked();
  }
  if (const int refused = request_check_locked(data, length, kStreamLength)) return refused;
  if (!stream_active_ || !stream_read_) return stall_locked();
  if (!count_operation_locked()) return LIBUSB_ERROR_NO_DEVICE;
  ++counters_.stream_units;
  std::uint8_t unit[kStreamLength];
  std::fill(std::begin(unit), std::end(unit), 0xFF);
  const std::size_t count = std::min<std::uint32_t>(kStreamUnit, stream_end_ - stream_current_);
  read_locked(stream_current_, unit, count);
  stream_current_ += static_cast<std::uint32_t>(count);
  if (stream_current_ >= stream_end_) stream_active_ = false;
  std::memcpy(data, unit, kStreamLength);
  return kStreamLength;
}

int SerialFlashController::memtype_get(std::uint8_t* data, std::uint16_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (power_lost_) return LIBUSB_ERROR_NO_DEVICE;
  if (data == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (length != kMemoryTypeReplyLength || !config_.memory_type) return stall_locked();
  std::memset(data, 0, kMemoryTypeReplyLength);
  data[2] = *config_.memory_type;
  return kMemoryTypeReplyLength;
}

}  // namespace morvane::emulator
