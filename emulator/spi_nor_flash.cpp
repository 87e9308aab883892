#include "emulator/spi_nor_flash.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace morvane::emulator {
namespace {

constexpr std::size_t kMinimumSize = 1u << 20;
constexpr std::size_t kPageSize = 256;

// Opcodes the chip understands.
constexpr std::uint8_t kWriteStatus = 0x01;
constexpr std::uint8_t kPageProgram = 0x02;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kFastRead = 0x0B;
constexpr std::uint8_t kReadId15 = 0x15;
constexpr std::uint8_t kSectorErase = 0x20;
constexpr std::uint8_t kEnableWriteStatus = 0x50;
constexpr std::uint8_t kBlockErase32 = 0x52;
constexpr std::uint8_t kChipErase60 = 0x60;
constexpr std::uint8_t kReadRems = 0x90;
constexpr std::uint8_t kJedecId = 0x9F;
constexpr std::uint8_t kReadRes = 0xAB;
constexpr std::uint8_t kAaiProgram = 0xAF;
constexpr std::uint8_t kChipEraseC7 = 0xC7;
constexpr std::uint8_t kSectorEraseD7 = 0xD7;
constexpr std::uint8_t kBlockErase64 = 0xD8;

bool is_power_of_two(std::size_t value) { return value != 0 && (value & (value - 1)) == 0; }

int lowest_bit(std::uint8_t mask) {
  for (int bit = 0; bit < 8; ++bit) {
    if (mask & (1u << bit)) return bit;
  }
  return 0;
}

// A chip with the common command set: 0x9F/0x90/0xAB ids, 0x20/0x52/0xD8 erase,
// 256-byte page program, BP0..BP2 protection.
SpiNorChipModel standard_model(int row, int type, std::uint8_t manufacturer, std::uint8_t id1, std::uint8_t id2,
                               const char* name) {
  SpiNorChipModel model;
  model.name = name;
  model.id_table_row = row;
  model.flash_type = type;
  model.manufacturer = manufacturer;
  model.device_id1 = id1;
  model.device_id2 = id2;
  // Most makers answer 0x90/0xAB with the capacity code minus one
  // (e.g. 0x13 -> 0x12 for a 4 Mbit part).
  model.rems_device_id = static_cast<std::uint8_t>(id2 - 1);
  model.res_signature = model.rems_device_id;
  return model;
}

// PMC-style chip: JEDEC id behind one continuation byte, 0xD7 sector erase,
// 0xAB answering manufacturer and device like 0x90, no 0x52.
SpiNorChipModel pmc_model(int row, std::uint8_t id1, std::uint8_t id2) {
  SpiNorChipModel model = standard_model(row, 8, 0x9D, id1, id2, "Pm25LV-style");
  model.continuation = 1;
  model.rems_device_id = id1;
  model.res_signature = id1;
  model.ab_answers_like_90 = true;
  model.has_erase_d7 = true;
  model.has_erase_52 = false;
  return model;
}

}  // namespace

SpiNorChipModel spi_nor_model_for_row(int row) {
  switch (row) {
    case 1:
      return standard_model(1, 1, 0xC2, 0x20, 0x10, "MX25L512-style");
    case 2:
      return standard_model(2, 1, 0xC2, 0x22, 0x10, "MX25V512-style");
    case 3:
      return standard_model(3, 1, 0xC2, 0x20, 0x13, "MX25L4005-style");
    case 4: {
      SpiNorChipModel model = standard_model(4, 4, 0x1F, 0x65, 0x01, "AT25F512B-style");
      model.has_id_15 = true;
      model.rems_device_id = 0x65;
      model.res_signature = 0x65;
      return model;
    }
    case 5:
      return pmc_model(5, 0x20, 0x10);
    case 6:
      return pmc_model(6, 0x7B, 0x11);
    case 7:
      return pmc_model(7, 0x10, 0x12);
    case 8: {
      // SST25VF512A-style: no JEDEC id, 0x90/0xAB give BF 48, single-byte 0x02,
      // AAI programming, EWSR before WRSR, two block-protect bits and BPL.
      SpiNorChipModel model = standard_model(8, 3, 0xBF, 0x48, 0x00, "SST25VF512A-style");
      model.has_jedec_id = false;
      model.ab_answers_like_90 = true;
      model.rems_device_id = 0x48;
      model.res_signature = 0x48;
      model.has_aai = true;
      model.needs_ewsr = true;
      model.has_erase_d8 = false;
      model.program_page_size = 1;
      model.protect_mask = 0x0C;
      model.writable_status_mask = 0x8C;
      return model;
    }
    case 9: {
      // M25P-style: only 64 KiB sector erase and bulk erase, no 0x90.
      SpiNorChipModel model = standard_model(9, 2, 0x20, 0x20, 0x11, "M25P10-style");
      model.has_rems = false;
      model.res_signature = 0x10;
      model.has_erase_20 = false;
      model.has_erase_52 = false;
      return model;
    }
    case 10:
      return standard_model(10, 12, 0x8C, 0x30, 0x10, "F25L-style");
    case 11:
      return standard_model(11, 13, 0xC8, 0x40, 0x10, "GD25Q512-style");
    case 12:
      return standard_model(12, 13, 0xC8, 0x40, 0x13, "GD25Q40-style");
    case 13:
      return standard_model(13, 7, 0xEF, 0x30, 0x10, "W25X05-style");
    case 14:
      return standard_model(14, 7, 0xEF, 0x30, 0x11, "W25X10-style");
    case 15:
      return standard_model(15, 14, 0x5E, 0x60, 0x13, "ZB25D40-style");
    case 16:
      return standard_model(16, 14, 0x5E, 0x60, 0x12, "ZB25D20-style");
    case 17:
      return standard_model(17, 1, 0xC2, 0x20, 0x11, "MX25L1005-style");
    case 18:
      return standard_model(18, 15, 0xB3, 0x60, 0x11, "B3-60-11 part");
    case 19:
      return standard_model(19, 15, 0xB3, 0x60, 0x12, "B3-60-12 part");
    case 20:
      return standard_model(20, 15, 0xB3, 0x60, 0x13, "B3-60-13 part");
    case 21:
      return standard_model(21, 16, 0x68, 0x40, 0x13, "BY25D40-style");
    case 22:
      return standard_model(22, 17, 0xA1, 0x28, 0x13, "FM25W04-style");
    // Rows 23 and 24 carry the same ids as rows 15 and 16.
    case 23:
      return standard_model(23, 18, 0x5E, 0x60, 0x13, "ZB25D40-style (second type)");
    case 24:
      return standard_model(24, 18, 0x5E, 0x60, 0x12, "ZB25D20-style (second type)");
    default:
      return spi_nor_unknown_model();
  }
}

SpiNorChipModel spi_nor_unknown_model() {
  // Maker 0x01 appears in no row, and neither do its 0x90/0xAB answers.
  SpiNorChipModel model = standard_model(0, 0, 0x01, 0x02, 0x13, "S25FL004-style (unknown)");
  return model;
}

SpiNorFlash::SpiNorFlash(VirtualClock& clock, SpiNorChipModel model, std::size_t size, SpiNorTiming timing)
    : clock_(clock),
      model_(std::move(model)),
      timing_(timing),
      memory_(size >= kMinimumSize && is_power_of_two(size) ? size : kMinimumSize, 0xFF) {
  if (model_.program_page_size == 0 || model_.program_page_size > kPageSize) model_.program_page_size = kPageSize;
  power_cycle();
}

// ---- Power and direct access.

void SpiNorFlash::power_cycle() {
  selected_ = false;
  session_length_ = 0;
  session_state_ = SessionState::normal;
  busy_ = false;
  busy_polls_ = 0;
  wel_ = false;
  ewsr_ = false;
  aai_active_ = false;
  status_bits_ = static_cast<std::uint8_t>(status_bits_ | model_.protect_mask);
}

bool SpiNorFlash::load_contents(std::size_t offset, const std::uint8_t* data, std::size_t length) {
  if (offset > memory_.size() || length > memory_.size() - offset || (data == nullptr && length != 0)) return false;
  std::copy(data, data + length, memory_.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

void SpiNorFlash::fill(std::uint8_t value) { std::fill(memory_.begin(), memory_.end(), value); }

std::uint8_t SpiNorFlash::status() const {
  update_busy();
  return static_cast<std::uint8_t>(status_bits_ | (wel_ ? kSpiStatusWel : 0) | (busy_ ? kSpiStatusWip : 0));
}

bool SpiNorFlash::busy() const {
  update_busy();
  return busy_;
}

void SpiNorFlash::set_status_for_test(std::uint8_t value) { status_bits_ = static_cast<std::uint8_t>(value & 0xFC); }

bool SpiNorFlash::save_file(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(memory_.data()), static_cast<std::streamsize>(memory_.size()));
  out.close();
  return static_cast<bool>(out);
}

bool SpiNorFlash::load_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<std::uint8_t> bytes(memory_.size());
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.gcount() != static_cast<std::streamsize>(bytes.size())) return false;
  // Exactly size() bytes: one more read must hit the end of the file.
  if (in.peek() != std::ifstream::traits_type::eof()) return false;
  memory_.swap(bytes);
  return true;
}

void SpiNorFlash::reset_counters() { counters_ = SpiNorCounters{}; }

// ---- Busy state and protection.

void SpiNorFlash::update_busy() const {
  if (!busy_) return;
  if (clock_.now_ns() >= busy_until_ns_ && busy_polls_ >= timing_.busy_status_polls) {
    busy_ = false;
    if (busy_clears_wel_) wel_ = false;
  }
}

void SpiNorFlash::start_busy(std::uint64_t duration_ns, bool clears_wel) {
  busy_ = true;
  busy_until_ns_ = clock_.now_ns() + duration_ns;
  busy_polls_ = 0;
  busy_clears_wel_ = clears_wel;
  update_busy();  // zero duration and no poll requirement: done at once
}

std::size_t SpiNorFlash::protected_bytes() const {
  if (model_.protect_mask == 0) return 0;
  const int shift = lowest_bit(model_.protect_mask);
  const unsigned level = static_cast<unsigned>((status_bits_ & model_.protect_mask) >> shift);
  const unsigned all = static_cast<unsigned>(model_.protect_mask >> shift);
  if (level == 0) return 0;
  if (level == all) return memory_.size();
  // Level n protects the top 64 KiB << (n - 1), capped at the whole array.
  const std::size_t bytes = std::size_t{0x10000} << (level - 1);
  return std::min(bytes, memory_.size());
}

bool SpiNorFlash::is_protected(std::uint32_t address, std::size_t length) const {
  const std::size_t covered = protected_bytes();
  if (covered == 0) return false;
  return static_cast<std::size_t>(address) + length > memory_.size() - covered;
}

// ---- The bus.

void SpiNorFlash::select() {
  if (selected_) return;
  selected_ = true;
  session_length_ = 0;
  session_state_ = SessionState::normal;
}

std::uint32_t SpiNorFlash::session_address() const {
  const std::uint32_t address = (std::uint32_t{head_[1]} << 16) | (std::uint32_t{head_[2]} << 8) | head_[3];
  return address & static_cast<std::uint32_t>(memory_.size() - 1);
}

std::uint8_t SpiNorFlash::transfer(std::uint8_t out) {
  if (!selected_) return 0xFF;
  const std::size_t index = session_length_++;
  if (index < head_.size()) head_[index] = out;
  if (index == 0) {
    update_busy();
    if (busy_ && out != kReadStatus) {
      session_state_ = SessionState::ignored_busy;
    } else if (aai_active_ && out != kAaiProgram && out != kWriteDisable && out != kReadStatus) {
      session_state_ = SessionState::ignored_aai_mode;
    }
    if (out == kPageProgram) page_loaded_.fill(false);
    return 0xFF;  // nothing is driven while the opcode comes in
  }
  if (session_state_ != SessionState::normal) return 0xFF;
  return answer(index, out);
}

std::uint8_t SpiNorFlash::answer(std::size_t index, std::uint8_t in) {
  const std::uint8_t opcode = head_[0];
  switch (opcode) {
    case kReadStatus: {
      // A busy period that needs N polls reports busy to the first N of them.
      ++counters_.status_reads;
      const std::uint8_t value = status();
      if (busy_) ++busy_polls_;
      return value;
    }
    case kJedecId: {
      if (!model_.has_jedec_id) return 0xFF;
      const std::size_t at = index - 1;
      if (at < model_.continuation) return 0x7F;
      switch (at - model_.continuation) {
        case 0:
          return model_.manufacturer;
        case 1:
          return model_.device_id1;
        case 2:
          return model_.device_id2;
        default:
          return 0x00;
      }
    }
    case kReadRems:
    case kReadRes: {
      if (opcode == kReadRems && !model_.has_rems) return 0xFF;
      if (index < 4) return 0xFF;  // three address/dummy bytes
      if (opcode == kReadRes && !model_.ab_answers_like_90) return model_.res_signature;
      // Manufacturer first when address bit 0 is clear, then alternating.
      const std::size_t phase = (index - 4) + (head_[3] & 1u);
      return phase % 2 == 0 ? model_.manufacturer : model_.rems_device_id;
    }
    case kReadId15:
      if (!model_.has_id_15) return 0xFF;
      return (index % 2 == 1) ? model_.manufacturer : model_.device_id1;
    case kRead:
    case kFastRead: {
      const std::size_t first_data = opcode == kFastRead ? 5 : 4;
      if (index < first_data) return 0xFF;
      const std::size_t offset = (session_address() + (index - first_data)) & (memory_.size() - 1);
      return memory_[offset];
    }
    case kPageProgram:
      if (index >= 4) {
        // Data wrap within the page: later bytes overwrite earlier ones.
        const std::size_t slot = (head_[3] + (index - 4)) % kPageSize;
        page_[slot] = in;
        page_loaded_[slot] = true;
      }
      return 0xFF;
    default:
      return 0xFF;
  }
}

void SpiNorFlash::deselect() {
  if (!selected_) return;
  selected_ = false;
  if (session_length_ == 0) return;
  ++counters_.sessions;
  ++counters_.opcodes[head_[0]];
  execute_session();
  session_length_ = 0;
}

void SpiNorFlash::record(SpiCommandOutcome outcome, std::uint32_t address, std::size_t data_bytes) {
  if (!log_enabled_) return;
  SpiCommandRecord entry;
  entry.opcode = head_[0];
  entry.address = address;
  entry.data_bytes = data_bytes;
  entry.outcome = outcome;
  log_.push_back(entry);
}

namespace {
bool is_program(std::uint8_t opcode) { return opcode == kPageProgram || opcode == kAaiProgram; }
bool is_erase(std::uint8_t opcode) {
  return opcode == kSectorErase || opcode == kSectorEraseD7 || opcode == kBlockErase32 || opcode == kBlockErase64 ||
         opcode == kChipErase60 || opcode == kChipEraseC7;
}
}  // namespace

void SpiNorFlash::execute_session() {
  const std::uint8_t opcode = head_[0];
  const std::size_t length = session_length_;
  const std::size_t after_opcode = length - 1;

  // The enable-write-status latch only survives into the very next command.
  const bool ewsr_was_set = ewsr_;
  if (opcode != kReadStatus) ewsr_ = false;

  if (session_state_ != SessionState::normal) {
    const SpiCommandOutcome outcome = session_state_ == SessionState::ignored_busy
                                          ? SpiCommandOutcome::ignored_busy
                                          : SpiCommandOutcome::ignored_aai_mode;
    if (session_state_ == SessionState::ignored_busy) ++counters_.commands_ignored_busy;
    if (is_program(opcode)) ++counters_.programs_ignored;
    if (is_erase(opcode)) ++counters_.erases_ignored;
    if (opcode == kWriteStatus) ++counters_.status_writes_ignored;
    // A status poll never reaches here, so the latch survives only a poll.
    record(outcome, 0, after_opcode);
    return;
  }

  switch (opcode) {
    case kReadStatus:
    case kJedecId:
    case kReadRems:
    case kReadRes:
    case kReadId15:
    case kRead:
    case kFastRead: {
      const bool supported = (opcode != kJedecId || model_.has_jedec_id) && (opcode != kReadRems || model_.has_rems) &&
                             (opcode != kReadId15 || model_.has_id_15);
      if (!supported) ++counters_.unsupported_commands;
      record(supported ? SpiCommandOutcome::read_only : SpiCommandOutcome::ignored_unsupported,
             (opcode == kRead || opcode == kFastRead) && length >= 4 ? session_address() : 0, after_opcode);
      return;
    }
    case kWriteEnable:
      if (length != 1) return record(SpiCommandOutcome::ignored_malformed, 0, after_opcode);
      wel_ = true;
      return record(SpiCommandOutcome::executed, 0, 0);
    case kWriteDisable:
      if (length != 1) return record(SpiCommandOutcome::ignored_malformed, 0, after_opcode);
      wel_ = false;
      aai_active_ = false;
      return record(SpiCommandOutcome::executed, 0, 0);
    case kEnableWriteStatus:
      if (!model_.needs_ewsr) {
        ++counters_.unsupported_commands;
        return record(SpiCommandOutcome::ignored_unsupported, 0, after_opcode);
      }
      if (length != 1) return record(SpiCommandOutcome::ignored_malformed, 0, after_opcode);
      ewsr_ = true;
      return record(SpiCommandOutcome::executed, 0, 0);
    case kWriteStatus: {
      if (length != 2) {
        ++counters_.status_writes_ignored;
        return record(SpiCommandOutcome::ignored_malformed, 0, after_opcode);
      }
      const bool enabled = model_.needs_ewsr ? ewsr_was_set : wel_;
      if (!enabled) {
        ++counters_.status_writes_ignored;
        return record(SpiCommandOutcome::ignored_no_wel, 0, 1);
      }
      const std::uint8_t mask = model_.writable_status_mask;
      status_bits_ = static_cast<std::uint8_t>((status_bits_ & ~mask) | (head_[1] & mask));
      ++counters_.status_writes;
      start_busy(timing_.status_write_ns, true);
      return record(SpiCommandOutcome::executed, 0, 1);
    }
    case kPageProgram:
      return execute_page_program(length >= 4 ? length - 4 : 0);
    case kAaiProgram:
      if (!model_.has_aai) {
        ++counters_.unsupported_commands;
        ++counters_.programs_ignored;
        return record(SpiCommandOutcome::ignored_unsupported, 0, after_opcode);
      }
      return execute_aai(after_opcode);
    default:
      if (is_erase(opcode)) return execute_erase(opcode);
      ++counters_.unsupported_commands;
      return record(SpiCommandOutcome::ignored_unsupported, 0, after_opcode);
  }
}

void SpiNorFlash::program_byte(std::uint32_t address, std::uint8_t value) {
  memory_[address] = static_cast<std::uint8_t>(memory_[address] & value);  // programming only clears bits
}

void SpiNorFlash::execute_page_program(std::size_t data_bytes) {
  if (session_length_ < 5) {
    ++counters_.programs_ignored;
    return record(SpiCommandOutcome::ignored_malformed, session_length_ >= 4 ? session_address() : 0, data_bytes);
  }
  const std::uint32_t address = session_address();
  if (model_.program_page_size == 1 && data_bytes != 1) {
    // Single-byte program parts drop a command that carries more than one byte.
    ++counters_.programs_ignored;
    return record(SpiCommandOutcome::ignored_malformed, address, data_bytes);
  }
  if (!wel_) {
    ++counters_.programs_ignored;
    return record(SpiCommandOutcome::ignored_no_wel, address, data_bytes);
  }
  // Protection granularity is at least 64 KiB, so the page decides.
  const std::uint32_t page_base = address & ~static_cast<std::uint32_t>(kPageSize - 1);
  if (is_protected(page_base, kPageSize)) {
    ++counters_.programs_ignored;
    return record(SpiCommandOutcome::ignored_protected, address, data_bytes);
  }
  std::size_t programmed = 0;
  for (std::size_t slot = 0; slot < kPageSize; ++slot) {
    if (!page_loaded_[slot]) continue;
    program_byte(page_base + static_cast<std::uint32_t>(slot), page_[slot]);
    ++programmed;
  }
  ++counters_.programs;
  counters_.bytes_programmed += programmed;
  start_busy(model_.program_page_size == 1 ? timing_.byte_program_ns : timing_.page_program_ns, true);
  record(SpiCommandOutcome::executed, address, data_bytes);
  changed(page_base, kPageSize);
}

void SpiNorFlash::execute_aai(std::size_t data_bytes) {
  if (!aai_active_) {
    // First command: opcode, three address bytes and one data byte.
    if (data_bytes != 4) {
      ++counters_.programs_ignored;
      return record(SpiCommandOutcome::ignored_malformed, 0, data_bytes);
    }
    const std::uint32_t address = session_address();
    if (!wel_) {
      ++counters_.programs_ignored;
      return record(SpiCommandOutcome::ignored_no_wel, address, 1);
    }
    if (is_protected(address, 1)) {
      ++counters_.programs_ignored;
      return record(SpiCommandOutcome::ignored_protected, address, 1);
    }
    program_byte(address, head_[4]);
    ++counters_.programs;
    ++counters_.bytes_programmed;
    aai_active_ = true;
    aai_address_ = address + 1;
    record(SpiCommandOutcome::executed, address, 1);
    changed(address, 1);
  } else {
    // Later commands: opcode and one data byte at the next address.
    if (data_bytes != 1) {
      ++counters_.programs_ignored;
      return record(SpiCommandOutcome::ignored_malformed, aai_address_, data_bytes);
    }
    const std::uint32_t address = aai_address_;
    if (is_protected(address, 1)) {
      ++counters_.programs_ignored;
      record(SpiCommandOutcome::ignored_protected, address, 1);
    } else {
      program_byte(address, head_[1]);
      ++counters_.programs;
      ++counters_.bytes_programmed;
      record(SpiCommandOutcome::executed, address, 1);
      changed(address, 1);
    }
    ++aai_address_;
  }
  // The sequence ends by itself at the top of the array.
  if (aai_address_ >= memory_.size()) aai_active_ = false;
  start_busy(timing_.byte_program_ns, !aai_active_);
}

void SpiNorFlash::execute_erase(std::uint8_t opcode) {
  const bool chip = opcode == kChipErase60 || opcode == kChipEraseC7;
  std::size_t span = 0;
  std::uint64_t duration = 0;
  bool supported = true;
  switch (opcode) {
    case kSectorErase:
      span = 0x1000;
      duration = timing_.sector_erase_ns;
      supported = model_.has_erase_20;
      break;
    case kSectorEraseD7:
      span = 0x1000;
      duration = timing_.sector_erase_ns;
      supported = model_.has_erase_d7;
      break;
    case kBlockErase32:
      span = 0x8000;
      duration = timing_.block32_erase_ns;
      supported = model_.has_erase_52;
      break;
    case kBlockErase64:
      span = 0x10000;
      duration = timing_.block64_erase_ns;
      supported = model_.has_erase_d8;
      break;
    default:
      span = memory_.size();
      duration = timing_.chip_erase_ns;
      break;
  }
  const std::size_t after_opcode = session_length_ - 1;
  if (!supported) {
    ++counters_.unsupported_commands;
    ++counters_.erases_ignored;
    return record(SpiCommandOutcome::ignored_unsupported, 0, after_opcode);
  }
  if (session_length_ != (chip ? 1u : 4u)) {
    ++counters_.erases_ignored;
    return record(SpiCommandOutcome::ignored_malformed, 0, after_opcode);
  }
  const std::uint32_t base = chip ? 0 : session_address() & ~static_cast<std::uint32_t>(span - 1);
  if (!wel_) {
    ++counters_.erases_ignored;
    return record(SpiCommandOutcome::ignored_no_wel, base, 0);
  }
  // A chip erase is refused while any block is protected.
  if (chip ? protected_bytes() != 0 : is_protected(base, span)) {
    ++counters_.erases_ignored;
    return record(SpiCommandOutcome::ignored_protected, base, 0);
  }
  std::fill(memory_.begin() + base, memory_.begin() + static_cast<std::ptrdiff_t>(base + span), 0xFF);
  ++counters_.erases;
  start_busy(duration, true);
  record(SpiCommandOutcome::executed, base, 0);
  changed(base, span);
}

void SpiNorFlash::changed(std::size_t offset, std::size_t length) {
  if (change_observer_) change_observer_(offset, length);
}

}  // namespace morvane::emulator
