// A JEDEC-style SPI NOR flash chip, modelled as real chips behave on the bus.
//
// The chip sees only chip-select edges and full-duplex bytes. Read-type
// commands (identification, status, data read) answer byte by byte while the
// chip is selected; write-type commands (write enable, status write, program,
// erase) are latched and executed when the chip is deselected, and only when
// the command was complete and exactly as long as the chip requires.
//
// It is deliberately strict, because a forgiving model hides driver bugs:
//  - the block-protect bits are set at every power-up, so program and erase of
//    protected areas are ignored until the status register is cleared;
//  - program, erase and status writes need the write-enable latch (the SST-style
//    chip needs the enable-write-status command 0x50 right before 0x01), and the
//    latch clears when the operation finishes;
//  - program only clears bits, and a page program wraps within its 256-byte page;
//  - after a program, erase or status write the chip stays busy for a virtual
//    duration and/or a number of status polls, and ignores every command except
//    read-status (0x05) while busy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/virtual_clock.hpp"

namespace morvane::emulator {

// Identity and command set of one chip model.
struct SpiNorChipModel {
  std::string name;                          // descriptive, e.g. "MX25L-style"
  int id_table_row = 0;                      // row of the controller library's identification table, 0 = none
  int flash_type = 0;                        // the serial-flash type number that row assigns (0 = unknown)
  std::uint8_t manufacturer = 0;             // JEDEC manufacturer id
  std::uint8_t continuation = 0;             // number of 0x7F continuation bytes before it in a 0x9F answer
  std::uint8_t device_id1 = 0;               // 0x9F: memory type byte
  std::uint8_t device_id2 = 0;               // 0x9F: capacity byte
  std::uint8_t rems_device_id = 0;           // 0x90 (and 0xAB on chips that answer it like 0x90)
  std::uint8_t res_signature = 0;            // 0xAB electronic signature
  bool has_jedec_id = true;                  // answers 0x9F
  bool has_rems = true;                      // answers 0x90
  bool has_id_15 = false;                    // answers 0x15 with manufacturer, device id 1
  bool ab_answers_like_90 = false;           // 0xAB answers manufacturer/device like 0x90 (SST, PMC)
  bool has_erase_20 = true;                  // 4 KiB sector erase 0x20
  bool has_erase_d7 = false;                 // 4 KiB sector erase 0xD7 (PMC style)
  bool has_erase_52 = true;                  // 32 KiB block erase 0x52
  bool has_erase_d8 = true;                  // 64 KiB block erase 0xD8
  bool has_aai = false;                      // SST-style auto-address-increment byte program 0xAF
  bool needs_ewsr = false;                   // status write 0x01 needs 0x50 immediately before it
  std::size_t program_page_size = 256;       // 0x02 page size; 1 = single-byte program only
  std::uint8_t protect_mask = 0x1C;          // block-protect bits in the status register
  std::uint8_t writable_status_mask = 0x9C;  // bits a status write may change
};

// The model for row 1..24 of the identification table, with concrete ids
// where the table accepts any value. Rows outside 1..24 give the unknown chip.
SpiNorChipModel spi_nor_model_for_row(int row);
// A chip whose identification answers match no row of the table.
SpiNorChipModel spi_nor_unknown_model();

// How long operations keep the write-in-progress bit set. A busy period ends
// when BOTH its virtual duration has passed on the clock AND at least
// `busy_status_polls` status bytes have been read since it began (set either
// to 0 to disable that condition).
struct SpiNorTiming {
  std::uint64_t page_program_ns = 700'000;
  std::uint64_t byte_program_ns = 20'000;  // single-byte program and each AAI byte
  std::uint64_t sector_erase_ns = 45'000'000;
  std::uint64_t block32_erase_ns = 120'000'000;
  std::uint64_t block64_erase_ns = 150'000'000;
  std::uint64_t chip_erase_ns = 1'000'000'000;
  std::uint64_t status_write_ns = 10'000'000;
  std::uint32_t busy_status_polls = 0;
};

// Status register bits.
inline constexpr std::uint8_t kSpiStatusWip = 0x01;
inline constexpr std::uint8_t kSpiStatusWel = 0x02;

// What the chip did with one command (one chip-select session).
enum class SpiCommandOutcome {
  executed,
  ignored_busy,         // sent while write-in-progress
  ignored_no_wel,       // program/erase/status write without the write-enable latch
  ignored_protected,    // target area protected by the block-protect bits
  ignored_malformed,    // wrong number of bytes for the opcode
  ignored_unsupported,  // opcode this chip does not implement
  ignored_aai_mode,     // other command while in auto-address-increment mode
  read_only,            // identification/status/data read (answered live)
};

struct SpiCommandRecord {
  std::uint8_t opcode = 0;
  std::uint32_t address = 0;   // for commands with an address
  std::size_t data_bytes = 0;  // bytes after opcode (and address)
  SpiCommandOutcome outcome = SpiCommandOutcome::executed;
};

struct SpiNorCounters {
  std::uint64_t sessions = 0;  // select/deselect pairs with at least one byte
  std::uint64_t commands_ignored_busy = 0;
  std::uint64_t programs = 0;          // program commands executed (0x02, 0xAF)
  std::uint64_t programs_ignored = 0;  // program commands not executed, any reason
  std::uint64_t bytes_programmed = 0;
  std::uint64_t erases = 0;
  std::uint64_t erases_ignored = 0;
  std::uint64_t status_writes = 0;
  std::uint64_t status_writes_ignored = 0;
  std::uint64_t status_reads = 0;  // status bytes clocked out by 0x05
  std::uint64_t unsupported_commands = 0;
  std::array<std::uint64_t, 256> opcodes{};  // sessions per opcode byte
};

class SpiNorFlash {
 public:
  // `size` must be a power of two of at least 1 MiB (else 1 MiB is used).
  // Contents start erased (0xFF); the chip starts powered up (protected).
  SpiNorFlash(VirtualClock& clock, SpiNorChipModel model, std::size_t size = 1u << 20, SpiNorTiming timing = {});

  SpiNorFlash(const SpiNorFlash&) = delete;
  SpiNorFlash& operator=(const SpiNorFlash&) = delete;

  // ---- The bus.
  void select();    // chip select low; starts a session (no effect if already selected)
  void deselect();  // chip select high; executes a latched write-type command
  // Clocks one byte in each direction. While not selected the chip drives
  // nothing and the result is 0xFF.
  std::uint8_t transfer(std::uint8_t out);
  bool selected() const { return selected_; }

  // ---- Power. Power-up sets the block-protect bits, clears WEL, ends any
  // busy period (an operation in progress has already changed the array),
  // leaves auto-address-increment mode and drops an open session.
  void power_cycle();

  // ---- Direct access for test set-up and inspection (no bus, no rules).
  std::size_t size() const { return memory_.size(); }
  const std::vector<std::uint8_t>& contents() const { return memory_; }
  // Copies bytes in as if factory-programmed; false when out of range.
  bool load_contents(std::size_t offset, const std::uint8_t* data, std::size_t length);
  bool load_contents(std::size_t offset, const std::vector<std::uint8_t>& data) {
    return load_contents(offset, data.data(), data.size());
  }
  void fill(std::uint8_t value);
  std::uint8_t status() const;                   // current status register, busy state up to date
  bool busy() const;                             // write-in-progress now
  void set_status_for_test(std::uint8_t value);  // sets protect/SRWD bits directly
  bool in_aai_mode() const { return aai_active_; }

  // Whole-array image files. load_file fails (returning false and changing
  // nothing) when the file is missing, unreadable or not exactly size() bytes.
  bool save_file(const std::string& path) const;
  bool load_file(const std::string& path);

  const SpiNorChipModel& model() const { return model_; }
  SpiNorTiming& timing() { return timing_; }
  const SpiNorCounters& counters() const { return counters_; }
  void reset_counters();
  // Called after every program or erase the chip executes, with the range
  // of the array it may have changed (a page, a byte, a sector or block, the
  // whole chip), on the thread that drove the bus: how a host keeps a
  // backing store as current as the chip's own cells. Null: none.
  using ChangeObserver = std::function<void(std::size_t offset, std::size_t length)>;
  void set_change_observer(ChangeObserver observer) { change_observer_ = std::move(observer); }
  // Per-session log of commands (kept only while enabled; off by default).
  void set_command_log_enabled(bool enabled) { log_enabled_ = enabled; }
  const std::vector<SpiCommandRecord>& command_log() const { return log_; }
  void clear_command_log() { log_.clear(); }

 private:
  enum class SessionState { normal, ignored_busy, ignored_aai_mode };

  void update_busy() const;
  void start_busy(std::uint64_t duration_ns, bool clears_wel);
  std::size_t protected_bytes() const;
  bool is_protected(std::uint32_t address, std::size_t length) const;
  std::uint8_t answer(std::size_t index, std::uint8_t in);
  std::uint32_t session_address() const;
  void execute_session();
  void record(SpiCommandOutcome outcome, std::uint32_t address, std::size_t data_bytes);
  void execute_page_program(std::size_t data_bytes);
  void execute_aai(std::size_t data_bytes);
  void execute_erase(std::uint8_t opcode);
  void program_byte(std::uint32_t address, std::uint8_t value);
  void changed(std::size_t offset, std::size_t length);

  VirtualClock& clock_;
  SpiNorChipModel model_;
  SpiNorTiming timing_;
  std::vector<std::uint8_t> memory_;

  // Status register bits 2..7; write-in-progress and write-enable kept apart
  // because they change when a busy period ends.
  std::uint8_t status_bits_ = 0;
  mutable bool wel_ = false;
  bool ewsr_ = false;  // enable-write-status latched (chips that need it)
  mutable bool busy_ = false;
  mutable std::uint64_t busy_until_ns_ = 0;
  std::uint32_t busy_polls_ = 0;
  mutable bool busy_clears_wel_ = true;  // false for AAI bytes: WEL stays until 0x04

  bool aai_active_ = false;
  std::uint32_t aai_address_ = 0;

  // Current chip-select session.
  bool selected_ = false;
  SessionState session_state_ = SessionState::normal;
  std::size_t session_length_ = 0;
  std::array<std::uint8_t, 8> head_{};    // first bytes of the session
  std::array<std::uint8_t, 256> page_{};  // page-program buffer
  std::array<bool, 256> page_loaded_{};

  SpiNorCounters counters_;
  bool log_enabled_ = false;
  std::vector<SpiCommandRecord> log_;
  ChangeObserver change_observer_;
};

}  // namespace morvane::emulator
