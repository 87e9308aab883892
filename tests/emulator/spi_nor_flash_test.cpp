#include "emulator/spi_nor_flash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "emulator/virtual_clock.hpp"

namespace morvane::emulator {
namespace {

// One chip-select session: sends `out`, then clocks `read` more bytes in.
// Returns every byte the chip drove, one per byte clocked.
std::vector<std::uint8_t> spi(SpiNorFlash& flash, const std::vector<std::uint8_t>& out, std::size_t read = 0) {
  std::vector<std::uint8_t> in;
  flash.select();
  for (std::uint8_t byte : out) in.push_back(flash.transfer(byte));
  for (std::size_t i = 0; i < read; ++i) in.push_back(flash.transfer(0x00));
  flash.deselect();
  return in;
}

std::vector<std::uint8_t> answer(SpiNorFlash& flash, const std::vector<std::uint8_t>& out, std::size_t read) {
  const auto in = spi(flash, out, read);
  return std::vector<std::uint8_t>(in.end() - static_cast<std::ptrdiff_t>(read), in.end());
}

std::uint8_t read_status(SpiNorFlash& flash) { return answer(flash, {0x05}, 1)[0]; }

std::vector<std::uint8_t> read(SpiNorFlash& flash, std::uint32_t address, std::size_t length) {
  return answer(flash, {0x03, std::uint8_t(address >> 16), std::uint8_t(address >> 8), std::uint8_t(address)}, length);
}

std::vector<std::uint8_t> with_address(std::uint8_t opcode, std::uint32_t address,
                                       std::vector<std::uint8_t> data = {}) {
  const std::uint8_t head[] = {opcode, std::uint8_t(address >> 16), std::uint8_t(address >> 8), std::uint8_t(address)};
  data.insert(data.begin(), std::begin(head), std::end(head));
  return data;
}

// Operations finish at once unless a test asks for busy time.
SpiNorTiming instant() {
  SpiNorTiming timing;
  timing.page_program_ns = timing.byte_program_ns = timing.sector_erase_ns = timing.block32_erase_ns =
      timing.block64_erase_ns = timing.chip_erase_ns = timing.status_write_ns = 0;
  return timing;
}

void clear_protection(SpiNorFlash& flash) {
  spi(flash, {0x06});
  if (flash.model().needs_ewsr) spi(flash, {0x50});
  spi(flash, {0x01, 0x00});
}

std::uint8_t at(const SpiNorFlash& flash, std::size_t address) { return flash.contents()[address]; }

class SpiNorFlashTest : public ::testing::Test {
 protected:
  VirtualClock clock_;
};

TEST_F(SpiNorFlashTest, PowerUpProtectsEverythingUntilStatusCleared) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  EXPECT_EQ(read_status(flash) & 0x1C, 0x1C);

  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x1000, {0x12, 0x34}));
  EXPECT_EQ(at(flash, 0x1000), 0xFF);
  spi(flash, {0x06});
  spi(flash, with_address(0x20, 0x1000));
  spi(flash, {0x06});
  spi(flash, {0xC7});
  EXPECT_EQ(flash.counters().programs_ignored, 1u);
  EXPECT_EQ(flash.counters().erases_ignored, 2u);
  EXPECT_EQ(flash.counters().programs + flash.counters().erases, 0u);
  // The ignored operations left the latch set; a status write needs it anyway.
  EXPECT_TRUE(read_status(flash) & kSpiStatusWel);

  clear_protection(flash);
  EXPECT_EQ(read_status(flash), 0x00);  // protection gone, WEL cleared by the status write
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x1000, {0x12, 0x34}));
  EXPECT_EQ(read(flash, 0x1000, 2), (std::vector<std::uint8_t>{0x12, 0x34}));

  // Power comes back protected; contents survive.
  flash.power_cycle();
  EXPECT_EQ(read_status(flash) & 0x1C, 0x1C);
  EXPECT_EQ(at(flash, 0x1001), 0x34);
}

TEST_F(SpiNorFlashTest, PartialProtectionCoversTopOfArrayOnly) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(12), 1u << 20, instant());
  spi(flash, {0x06});
  spi(flash, {0x01, 0x04});  // BP0 only: top 64 KiB
  ASSERT_EQ(read_status(flash), 0x04);
  spi(flash, {0x06});
  spi(flash, with_address(0x20, 0xF0000));  // inside the protected top block
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0xEFFFF, {0x00}));  // just below it
  spi(flash, {0x06});
  spi(flash, {0x60});  // chip erase refused while any block is protected
  EXPECT_EQ(flash.counters().erases_ignored, 2u);
  EXPECT_EQ(flash.counters().programs, 1u);
  EXPECT_EQ(at(flash, 0xEFFFF), 0x00);
}

TEST_F(SpiNorFlashTest, WriteEnableLatchRules) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(1), 1u << 20, instant());
  clear_protection(flash);
  flash.set_command_log_enabled(true);

  spi(flash, with_address(0x02, 0x10, {0x00}));  // no WREN
  spi(flash, with_address(0x20, 0x0));           // no WREN
  spi(flash, {0x01, 0x1C});                      // no WREN
  EXPECT_EQ(at(flash, 0x10), 0xFF);
  EXPECT_EQ(read_status(flash), 0x00);

  spi(flash, {0x06, 0x00});  // a write enable with an extra byte is not one
  EXPECT_EQ(read_status(flash) & kSpiStatusWel, 0);
  spi(flash, {0x06});
  EXPECT_EQ(read_status(flash) & kSpiStatusWel, kSpiStatusWel);
  spi(flash, {0x04});
  EXPECT_EQ(read_status(flash) & kSpiStatusWel, 0);

  // One program per write enable.
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x10, {0xA5}));
  spi(flash, with_address(0x02, 0x11, {0xA5}));
  EXPECT_EQ(at(flash, 0x10), 0xA5);
  EXPECT_EQ(at(flash, 0x11), 0xFF);

  const auto& log = flash.command_log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0].outcome, SpiCommandOutcome::ignored_no_wel);
  EXPECT_EQ(log[1].outcome, SpiCommandOutcome::ignored_no_wel);
  EXPECT_EQ(log[2].outcome, SpiCommandOutcome::ignored_no_wel);
  EXPECT_EQ(log.back().outcome, SpiCommandOutcome::ignored_no_wel);
  EXPECT_EQ(log.back().address, 0x11u);
  EXPECT_EQ(flash.counters().programs_ignored, 2u);
  EXPECT_EQ(flash.counters().status_writes_ignored, 1u);
}

TEST_F(SpiNorFlashTest, ProgramClearsBitsAndWrapsInPage) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(11), 1u << 20, instant());
  clear_protection(flash);
  std::vector<std::uint8_t> f0(1, 0xF0);
  flash.load_contents(0x50, f0);
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x50, {0x3C}));
  EXPECT_EQ(at(flash, 0x50), 0x30);  // only 1->0 transitions
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x50, {0xFF}));
  EXPECT_EQ(at(flash, 0x50), 0x30);

  // 32 bytes from 0x1F0: 16 to the page end, 16 wrap to the page start.
  std::vector<std::uint8_t> data(32);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x1F0, data));
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(at(flash, 0x1F0 + i), i);
    EXPECT_EQ(at(flash, 0x100 + i), 16 + i);
  }
  EXPECT_EQ(at(flash, 0x200), 0xFF);
  EXPECT_EQ(at(flash, 0x110), 0xFF);

  // More than a page: the last 256 bytes sent are the ones programmed.
  std::vector<std::uint8_t> long_data(300);
  for (std::size_t i = 0; i < long_data.size(); ++i) long_data[i] = static_cast<std::uint8_t>(i < 44 ? 0x00 : 0xA0);
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x400, long_data));
  EXPECT_EQ(at(flash, 0x400), 0xA0);  // byte 0 overwritten by byte 256
  EXPECT_EQ(at(flash, 0x42B), 0xA0);  // byte 43 overwritten by byte 299
  EXPECT_EQ(at(flash, 0x500), 0xFF);
}

TEST_F(SpiNorFlashTest, BusyChipIgnoresEverythingButStatus) {
  SpiNorTiming timing = instant();
  timing.page_program_ns = 700'000;
  SpiNorFlash flash(clock_, spi_nor_model_for_row(14), 1u << 20, timing);
  flash.load_contents(0x0, std::vector<std::uint8_t>{0x11});
  clear_protection(flash);
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x1000, {0x00}));
  EXPECT_EQ(read_status(flash) & (kSpiStatusWip | kSpiStatusWel), kSpiStatusWip | kSpiStatusWel);

  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x2000, {0x00}));
  EXPECT_EQ(read(flash, 0x0, 1)[0], 0xFF);       // the read is not answered
  EXPECT_EQ(answer(flash, {0x9F}, 3)[0], 0xFF);  // nor is the id
  EXPECT_EQ(flash.counters().commands_ignored_busy, 4u);
  EXPECT_EQ(at(flash, 0x2000), 0xFF);

  clock_.advance_ns(699'999);
  EXPECT_TRUE(flash.busy());
  clock_.advance_ns(1);
  EXPECT_EQ(read_status(flash), 0x00);  // done, latch cleared
  EXPECT_EQ(read(flash, 0x0, 1)[0], 0x11);

  // A status session keeps answering live while the chip finishes.
  spi(flash, {0x06});
  spi(flash, with_address(0x02, 0x3000, {0x00}));
  flash.select();
  flash.transfer(0x05);
  EXPECT_EQ(flash.transfer(0x05) & kSpiStatusWip, kSpiStatusWip);
  clock_.advance_ns(700'000);
  EXPECT_EQ(flash.transfer(0x05) & kSpiStatusWip, 0);
  flash.deselect();
}

TEST_F(SpiNorFlashTest, BusyCanLastANumberOfStatusPolls) {
  SpiNorTiming timing = instant();
  timing.busy_status_polls = 3;
  SpiNorFlash flash(clock_, spi_nor_model_for_row(21), 1u << 20, timing);
  spi(flash, {0x06});
  spi(flash, {0x01, 0x00});
  // Nothing moves the clock, yet the status write is busy for three polls.
  EXPECT_TRUE(read_status(flash) & kSpiStatusWip);
  EXPECT_TRUE(read_status(flash) & kSpiStatusWip);
  EXPECT_TRUE(read_status(flash) & kSpiStatusWip);
  EXPECT_EQ(read_status(flash), 0x00);
}

TEST_F(SpiNorFlashTest, EraseGranularities) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(3), 1u << 20, instant());
  clear_protection(flash);
  const auto erase = [&](std::vector<std::uint8_t> command) {
    flash.fill(0x00);
    spi(flash, {0x06});
    spi(flash, command);
  };
  const auto erased_span = [&]() {
    std::size_t first = flash.size(), last = 0;
    for (std::size_t i = 0; i < flash.size(); ++i) {
      if (at(flash, i) == 0xFF) first = std::min(first, i), last = i;
    }
    return std::make_pair(first, last);
  };
  erase(with_address(0x20, 0x1234));
  EXPECT_EQ(erased_span(), std::make_pair(std::size_t{0x1000}, std::size_t{0x1FFF}));
  erase(with_address(0x52, 0x9876));
  EXPECT_EQ(erased_span(), std::make_pair(std::size_t{0x8000}, std::size_t{0xFFFF}));
  erase(with_address(0xD8, 0x12345));
  EXPECT_EQ(erased_span(), std::make_pair(std::size_t{0x10000}, std::size_t{0x1FFFF}));
  erase({0xC7});
  EXPECT_EQ(erased_span(), std::make_pair(std::size_t{0}, flash.size() - 1));
  erase({0x60});
  EXPECT_EQ(erased_span(), std::make_pair(std::size_t{0}, flash.size() - 1));

  // 0xD7 belongs to the PMC-style parts; elsewhere it is not a command.
  erase(with_address(0xD7, 0x3000));
  EXPECT_EQ(flash.counters().unsupported_commands, 1u);
  EXPECT_EQ(flash.counters().erases_ignored, 1u);
  EXPECT_EQ(at(flash, 0x3000), 0x00);

  // An erase with a missing address byte is not executed.
  erase({0x20, 0x00, 0x10});
  EXPECT_EQ(at(flash, 0x1000), 0x00);

  SpiNorFlash pmc(clock_, spi_nor_model_for_row(6), 1u << 20, instant());
  clear_protection(pmc);
  pmc.fill(0x00);
  spi(pmc, {0x06});
  spi(pmc, with_address(0xD7, 0x3456));
  EXPECT_EQ(at(pmc, 0x2FFF), 0x00);
  EXPECT_EQ(at(pmc, 0x3000), 0xFF);
  EXPECT_EQ(at(pmc, 0x3FFF), 0xFF);
  EXPECT_EQ(at(pmc, 0x4000), 0x00);

  // The M25P-style part has neither 4 KiB nor 32 KiB erase.
  SpiNorFlash m25p(clock_, spi_nor_model_for_row(9), 1u << 20, instant());
  clear_protection(m25p);
  m25p.fill(0x00);
  spi(m25p, {0x06});
  spi(m25p, with_address(0x20, 0x0));
  spi(m25p, {0x06});
  spi(m25p, with_address(0x52, 0x0));
  EXPECT_EQ(m25p.counters().erases, 0u);
  EXPECT_EQ(at(m25p, 0x0), 0x00);
}

// Rows of the controller library's identification table: manufacturer,
// device id 1, device id 2 (-1: any) and serial-flash type.
struct IdRow {
  int manufacturer, id1, id2, type;
};
const IdRow kIdTable[25] = {
    {0, 0, 0, 0},           {0xC2, 0x20, 0x10, 1},  {0xC2, 0x22, 0x10, 1},  {0xC2, 0x20, 0x13, 1},
    {0x1F, 0x65, 0x01, 4},  {0x9D, 0x20, -1, 8},    {0x9D, 0x7B, -1, 8},    {0x9D, 0x10, -1, 8},
    {0xBF, 0x48, -1, 3},    {0x20, 0x20, 0x11, 2},  {0x8C, 0x30, 0x10, 12}, {0xC8, 0x40, 0x10, 13},
    {0xC8, 0x40, 0x13, 13}, {0xEF, 0x30, 0x10, 7},  {0xEF, 0x30, 0x11, 7},  {0x5E, 0x60, 0x13, 14},
    {0x5E, 0x60, 0x12, 14}, {0xC2, 0x20, 0x11, 1},  {0xB3, 0x60, 0x11, 15}, {0xB3, 0x60, 0x12, 15},
    {0xB3, 0x60, 0x13, 15}, {0x68, 0x40, 0x13, 16}, {0xA1, 0x28, 0x13, 17}, {0x5E, 0x60, 0x13, 18},
    {0x5E, 0x60, 0x12, 18},
};

int first_matching_row(std::uint8_t manufacturer, std::uint8_t id1, std::uint8_t id2) {
  for (int row = 1; row < 25; ++row) {
    const IdRow& r = kIdTable[row];
    if (r.manufacturer == manufacturer && r.id1 == id1 && (r.id2 == -1 || r.id2 == id2)) return row;
  }
  return 0;
}

// Reads ids the way a host does: opcode, dummy bytes, manufacturer (skipping
// one 0x7F continuation code), device id 1, and device id 2 when asked for.
int identify_by(SpiNorFlash& flash, std::uint8_t opcode, int dummies, int id_bytes) {
  std::vector<std::uint8_t> out = {opcode};
  out.insert(out.end(), static_cast<std::size_t>(dummies), 0x00);
  const auto in = answer(flash, out, 4);
  std::size_t i = 0;
  std::uint8_t manufacturer = in[i++];
  if (manufacturer == 0x7F) manufacturer = in[i++];
  const std::uint8_t id1 = in[i++];
  const std::uint8_t id2 = id_bytes == 2 ? in[i] : 0xFF;
  return first_matching_row(manufacturer, id1, id2);
}

TEST_F(SpiNorFlashTest, EveryIdentificationRowAndTheUnknownChip) {
  for (int row = 1; row <= 24; ++row) {
    SCOPED_TRACE("row " + std::to_string(row));
    SpiNorFlash flash(clock_, spi_nor_model_for_row(row), 1u << 20, instant());
    EXPECT_EQ(flash.model().id_table_row, row);
    EXPECT_EQ(flash.model().flash_type, kIdTable[row].type);
    int found = identify_by(flash, 0x9F, 0, 2);
    if (found == 0) found = identify_by(flash, 0x15, 0, 1);
    if (found == 0) found = identify_by(flash, 0x90, 3, 1);
    if (found == 0) found = identify_by(flash, 0xAB, 3, 1);
    // Rows 23 and 24 repeat the ids of rows 15 and 16, which come first.
    const int expected = row == 23 ? 15 : row == 24 ? 16 : row;
    EXPECT_EQ(found, expected);
  }

  SpiNorFlash unknown(clock_, spi_nor_unknown_model(), 1u << 20, instant());
  EXPECT_EQ(identify_by(unknown, 0x9F, 0, 2), 0);
  EXPECT_EQ(identify_by(unknown, 0x15, 0, 1), 0);
  EXPECT_EQ(identify_by(unknown, 0x90, 3, 1), 0);
  EXPECT_EQ(identify_by(unknown, 0xAB, 3, 1), 0);
  EXPECT_EQ(answer(unknown, {0x9F}, 3), (std::vector<std::uint8_t>{0x01, 0x02, 0x13}));
}

TEST_F(SpiNorFlashTest, IdentificationCommandDetails) {
  SpiNorFlash pmc(clock_, spi_nor_model_for_row(5), 1u << 20, instant());
  EXPECT_EQ(answer(pmc, {0x9F}, 4), (std::vector<std::uint8_t>{0x7F, 0x9D, 0x20, 0x10}));
  EXPECT_EQ(answer(pmc, {0xAB, 0, 0, 0}, 2), (std::vector<std::uint8_t>{0x9D, 0x20}));

  SpiNorFlash mx(clock_, spi_nor_model_for_row(3), 1u << 20, instant());
  EXPECT_EQ(answer(mx, {0x90, 0, 0, 0}, 4), (std::vector<std::uint8_t>{0xC2, 0x12, 0xC2, 0x12}));
  EXPECT_EQ(answer(mx, {0x90, 0, 0, 1}, 2), (std::vector<std::uint8_t>{0x12, 0xC2}));  // device first
  EXPECT_EQ(answer(mx, {0xAB, 0, 0, 0}, 2), (std::vector<std::uint8_t>{0x12, 0x12}));
  EXPECT_EQ(answer(mx, {0x15}, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));  // not a command here

  SpiNorFlash atmel(clock_, spi_nor_model_for_row(4), 1u << 20, instant());
  EXPECT_EQ(answer(atmel, {0x15}, 2), (std::vector<std::uint8_t>{0x1F, 0x65}));

  SpiNorFlash sst(clock_, spi_nor_model_for_row(8), 1u << 20, instant());
  EXPECT_EQ(answer(sst, {0x9F}, 3), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(answer(sst, {0x90, 0, 0, 0}, 2), (std::vector<std::uint8_t>{0xBF, 0x48}));
  EXPECT_EQ(answer(sst, {0xAB, 0, 0, 0}, 2), (std::vector<std::uint8_t>{0xBF, 0x48}));

  // Nothing answers while the chip is not selected.
  EXPECT_EQ(mx.transfer(0x9F), 0xFF);
  EXPECT_EQ(mx.counters().sessions, 4u);  // the stray byte opened no session
}

TEST_F(SpiNorFlashTest, SstStyleChipNeedsEnableWriteStatusAndProgramsByAai) {
  SpiNorFlash sst(clock_, spi_nor_model_for_row(8), 1u << 20, instant());
  EXPECT_EQ(read_status(sst), 0x0C);

  spi(sst, {0x06});
  spi(sst, {0x01, 0x00});  // WREN is not enough for this part
  EXPECT_EQ(read_status(sst) & 0x0C, 0x0C);
  spi(sst, {0x50});
  spi(sst, {0x06});
  spi(sst, {0x01, 0x00});  // EWSR must come right before the status write
  EXPECT_EQ(read_status(sst) & 0x0C, 0x0C);
  EXPECT_EQ(sst.counters().status_writes_ignored, 2u);
  spi(sst, {0x50});
  read_status(sst);  // a status poll in between is allowed
  spi(sst, {0x01, 0x00});
  EXPECT_EQ(read_status(sst) & 0x0C, 0x00);

  // 0x02 programs a single byte only.
  spi(sst, {0x06});
  spi(sst, with_address(0x02, 0x100, {0x01, 0x02}));
  EXPECT_EQ(at(sst, 0x100), 0xFF);
  spi(sst, {0x06});
  spi(sst, with_address(0x02, 0x100, {0x01}));
  EXPECT_EQ(at(sst, 0x100), 0x01);

  // AAI: address and first byte, then one byte per command, ended by 0x04.
  spi(sst, {0x06});
  spi(sst, with_address(0xAF, 0x2FE, {0xA0}));
  spi(sst, {0xAF, 0xA1});
  EXPECT_TRUE(sst.in_aai_mode());
  spi(sst, {0x03, 0x00, 0x02, 0xFE});  // not accepted in AAI mode
  spi(sst, {0xAF, 0xA2});
  EXPECT_TRUE(read_status(sst) & kSpiStatusWel);
  spi(sst, {0x04});
  EXPECT_FALSE(sst.in_aai_mode());
  EXPECT_EQ(read(sst, 0x2FE, 4), (std::vector<std::uint8_t>{0xA0, 0xA1, 0xA2, 0xFF}));  // crosses a page
  spi(sst, {0xAF, 0xA3});  // outside AAI a short 0xAF is malformed
  EXPECT_EQ(at(sst, 0x301), 0xFF);
  EXPECT_EQ(sst.counters().opcodes[0xAF], 4u);

  // AAI needs the write-enable latch and does not exist on other parts.
  spi(sst, with_address(0xAF, 0x400, {0x00}));
  EXPECT_EQ(at(sst, 0x400), 0xFF);
  SpiNorFlash mx(clock_, spi_nor_model_for_row(1), 1u << 20, instant());
  clear_protection(mx);
  spi(mx, {0x06});
  spi(mx, with_address(0xAF, 0x0, {0x00}));
  EXPECT_EQ(at(mx, 0x0), 0xFF);
  EXPECT_EQ(mx.counters().unsupported_commands, 1u);
}

// A backing store kept only from the change reports stays equal to the
// array through any mix of programs (page and AAI), erases of every size
// and commands the chip ignores (no write enable, protected blocks).
TEST_F(SpiNorFlashTest, ChangeReportsCoverEveryChangeOfTheArray) {
  for (const int row : {3, 8}) {
    SCOPED_TRACE(row);
    SpiNorFlash flash(clock_, spi_nor_model_for_row(row), 1u << 20, instant());
    std::vector<std::uint8_t> mirror = flash.contents();
    std::size_t reports = 0;
    flash.set_change_observer([&](std::size_t offset, std::size_t length) {
      ++reports;
      std::copy_n(flash.contents().begin() + static_cast<std::ptrdiff_t>(offset), length,
                  mirror.begin() + static_cast<std::ptrdiff_t>(offset));
    });
    std::uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFF; };
    for (int step = 0; step < 400; ++step) {
      if (step == 200) clear_protection(flash);  // the first half meets protected blocks only
      const std::uint32_t address = next();
      if (step % 3 != 0) spi(flash, {0x06});  // one command in three lacks the write enable
      switch (step % 5) {
        case 0:
          spi(flash, with_address(0x20, address));
          break;
        case 1:
          spi(flash, with_address(0xD8, address));
          break;
        case 2:
          spi(flash, with_address(0xAF, address, {static_cast<std::uint8_t>(next())}));
          spi(flash, {0x04});
          break;
        default:
          spi(flash, with_address(0x02, address, std::vector<std::uint8_t>(40, static_cast<std::uint8_t>(next()))));
          break;
      }
      ASSERT_TRUE(mirror == flash.contents()) << "step " << step;
    }
    EXPECT_GT(reports, 50u);
  }
}

TEST_F(SpiNorFlashTest, ContentsPersistThroughFiles) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  std::vector<std::uint8_t> pattern(4096);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(flash.load_contents(0x51000, pattern));
  EXPECT_FALSE(flash.load_contents(flash.size() - 1, pattern));  // out of range changes nothing

  const std::string path = ::testing::TempDir() + "spi_nor_flash_test.bin";
  ASSERT_TRUE(flash.save_file(path));
  SpiNorFlash other(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  ASSERT_TRUE(other.load_file(path));
  EXPECT_EQ(other.contents(), flash.contents());

  // A file of another size, or none at all, is refused without change.
  SpiNorFlash bigger(clock_, spi_nor_model_for_row(13), 2u << 20, instant());
  EXPECT_FALSE(bigger.load_file(path));
  EXPECT_EQ(at(bigger, 0x51001), 0xFF);
  { std::ofstream(path, std::ios::binary | std::ios::app).put('x'); }
  EXPECT_FALSE(other.load_file(path));
  EXPECT_FALSE(other.load_file(path + ".missing"));
  EXPECT_EQ(other.contents(), flash.contents());
  std::remove(path.c_str());

  // Sizes that are not a power of two of at least 1 MiB fall back to 1 MiB.
  SpiNorFlash odd(clock_, spi_nor_model_for_row(13), 3u << 20, instant());
  EXPECT_EQ(odd.size(), 1u << 20);
}

}  // namespace
}  // namespace morvane::emulator
