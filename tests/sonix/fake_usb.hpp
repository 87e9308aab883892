// A small scripted stand-in for the OS boundary, for conversation tests of
// the SonixCam library: a list of USB devices, one controller that answers
// the vendor extension-unit requests from a register map, a ROM and a flash
// array, a log of every platform call and every control transfer, and
// failure injection at any transfer. Also a capture of stdout/stderr.
#pragma once

#include <sys/mman.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "sonix/sonix_cam.h"

namespace sonix_test {

struct FakeDevice {
  std::uint16_t vid = 0x0c45;
  std::uint16_t pid = 0x0643;
  std::uint8_t bus = 1;
  std::uint8_t address = 4;
  int open_error = 0;
  int descriptor_error = 0;
};

struct Transfer {
  std::uint8_t request_type = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
  std::vector<std::uint8_t> data;  // OUT: sent; IN: replied
  int result = 0;
};

class FakeUsb final : public morvane::uvc_stereo::platform::Platform {
 public:
  FakeUsb() : flash(1u << 20, 0xFF) {
    devices.push_back(FakeDevice{});
    regs[0x101F] = 0x83;  // chip 0x83, register map row 0
    regs[0x1084] = 0x01;  // serial-flash controller always ready
    set_rom(0xBFF8, "256R0", 1);
  }

  // ---- Scripting.
  std::vector<FakeDevice> devices;
  std::set<std::uint8_t> units = {3};
  std::map<std::uint16_t, std::uint8_t> regs;
  std::map<std::uint16_t, std::array<std::uint8_t, 8>> rom;
  std::vector<std::uint8_t> flash;
  std::uint8_t mem_type = 0;
  bool reg_1185_sticks = false;
  int chip_when_100a_bit4_clear = -1;  // chip id 0x101F shows while 0x100A bit 4 is clear
  std::deque<std::uint8_t> spi_in;     // bytes the flash returns on shift-in
  std::uint8_t spi_idle_in = 0x00;     // shifted in once spi_in is empty (status: idle)
  std::vector<std::uint8_t> spi_out;   // bytes shifted out
  int init_error = 0;
  int list_error = 0;
  int claim_failures = 0;
  int claim_error = LIBUSB_ERROR_BUSY;
  int kernel_active = 1;
  int detach_error = 0;                  // detach fails with it and leaves the driver bound
  std::map<std::uint64_t, int> fail_at;  // transfer seq (1-based) -> error
  std::uint64_t vanish_from = 0;         // every transfer from this seq fails with NO_DEVICE

  void set_rom(std::uint16_t address, const char* name, std::uint8_t sub, char variant = '0') {
    std::array<std::uint8_t, 8> text{};
    std::memcpy(text.data(), name, 5);
    text[5] = sub;
    text[6] = static_cast<std::uint8_t>(variant);
    rom[address] = text;
  }

  // ---- Observations.
  std::vector<std::string> calls;
  std::vector<Transfer> transfers;
  int context_refs = 0;
  int open_handles = 0;
  int outstanding_lists = 0;
  int opened_device = -1;
  std::uint64_t slept_ns = 0;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> register_writes;

  std::size_t calls_named(const std::string& name) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c == name;
    return n;
  }
  bool clean() const { return context_refs == 0 && open_handles == 0 && outstanding_lists == 0; }

  // ---- Platform.
  int usb_init() override {
    calls.push_back("init");
    if (init_error) return init_error;
    ++context_refs;
    return 0;
  }
  void usb_exit() override {
    calls.push_back("exit");
    --context_refs;
  }
  ssize_t usb_get_device_list(libusb_device*** list) override {
    calls.push_back("get_device_list");
    if (list_error) return list_error;
    auto** out = new libusb_device*[devices.size() + 1];
    for (std::size_t i = 0; i < devices.size(); ++i) out[i] = token(i);
    out[devices.size()] = nullptr;
    *list = out;
    ++outstanding_lists;
    return static_cast<ssize_t>(devices.size());
  }
  void usb_free_device_list(libusb_device** list, int) override {
    calls.push_back("free_device_list");
    delete[] list;
    --outstanding_lists;
  }
  int usb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) override {
    const FakeDevice& d = devices[index_of(dev)];
    if (d.descriptor_error) return d.descriptor_error;
    std::memset(desc, 0, sizeof *desc);
    desc->idVendor = d.vid;
    desc->idProduct = d.pid;
    return 0;
  }
  std::uint8_t usb_get_bus_number(libusb_device* dev) override { return devices[index_of(dev)].bus; }
  std::uint8_t usb_get_device_address(libusb_device* dev) override { return devices[index_of(dev)].address; }
  int usb_open(libusb_device* dev, libusb_device_handle** handle) override {
    std::size_t i = index_of(dev);
    calls.push_back("open " + std::to_string(i));
    if (devices[i].open_error) return devices[i].open_error;
    *handle = reinterpret_cast<libusb_device_handle*>(&handle_token_);
    ++open_handles;
    opened_device = static_cast<int>(i);
    return 0;
  }
  void usb_close(libusb_device_handle*) override {
    calls.push_back("close");
    --open_handles;
  }
  int usb_kernel_driver_active(libusb_device_handle*, int) override {
    calls.push_back("kernel_driver_active");
    return kernel_active;
  }
  int usb_detach_kernel_driver(libusb_device_handle*, int) override {
    calls.push_back("detach");
    if (detach_error) return detach_error;
    if (kernel_active != 1) return LIBUSB_ERROR_NOT_FOUND;  // no driver bound: libusb's answer
    kernel_active = 0;
    return 0;
  }
  int usb_attach_kernel_driver(libusb_device_handle*, int) override {
    calls.push_back("attach");
    kernel_active = 1;
    return 0;
  }
  int usb_claim_interface(libusb_device_handle*, int) override {
    calls.push_back("claim");
    if (claim_failures > 0) {
      --claim_failures;
      return claim_error;
    }
    return 0;
  }
  int usb_release_interface(libusb_device_handle*, int) override {
    calls.push_back("release");
    return 0;
  }
  int usb_set_configuration(libusb_device_handle*, int c) override {
    calls.push_back("set_configuration " + std::to_string(c));
    return 0;
  }
  int usb_control_transfer(libusb_device_handle*, std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index, unsigned char* data, std::uint16_t length, unsigned int) override {
    Transfer t{request_type, request, value, index, length, {}, 0};
    std::uint64_t seq = transfers.size() + 1;
    bool in = (request_type & 0x80) != 0;
    if (!in) t.data.assign(data, data + length);
    auto injected = fail_at.find(seq);
    if (injected != fail_at.end()) {
      t.result = injected->second;
    } else if (vanish_from != 0 && seq >= vanish_from) {
      t.result = LIBUSB_ERROR_NO_DEVICE;
    } else {
      t.result = answer(request_type, value, index, data, length);
      if (in && t.result >= 0) t.data.assign(data, data + length);
    }
    transfers.push_back(t);
    return t.result;
  }
  const char* usb_error_name(int code) override { return libusb_error_name(code); }

  bool path_exists(const std::string&) override { return false; }
  bool list_directory(const std::string&, std::vector<std::string>&) override { return false; }
  bool read_file_line(const std::string&, char*, int) override { return false; }
  std::unique_ptr<morvane::uvc_stereo::platform::CommandStream> run_command(const std::string&) override {
    return nullptr;
  }
  int video_open(const std::string&, int) override { return -1; }
  int video_ioctl(int, unsigned long, void*) override { return -1; }
  int video_close(int) override { return -1; }
  void* video_mmap(void*, std::size_t, int, int, int, off_t) override { return MAP_FAILED; }
  int video_munmap(void*, std::size_t) override { return -1; }
  int video_poll(pollfd*, nfds_t, int) override { return -1; }
  int monotonic_time(timespec* now) override {
    now->tv_sec = static_cast<time_t>(slept_ns / 1000000000ULL);
    now->tv_nsec = static_cast<long>(slept_ns % 1000000000ULL);
    return 0;
  }
  int sleep(const timespec* request, timespec*) override {
    slept_ns += static_cast<std::uint64_t>(request->tv_sec) * 1000000000ULL + request->tv_nsec;
    return 0;
  }

 private:
  std::uint8_t read_register(std::uint16_t address) {
    if (address == 0x101F && chip_when_100a_bit4_clear >= 0 && (regs[0x100A] & 0x10) == 0) {
      return static_cast<std::uint8_t>(chip_when_100a_bit4_clear);
    }
    return regs[address];
  }
  void write_register(std::uint16_t address, std::uint8_t value) {
    register_writes.emplace_back(address, value);
    if (address == 0x1185 && !reg_1185_sticks) value &= 0x8F;
    regs[address] = value;
    bool row1 = address >= 0x8000;
    std::uint16_t trigger = row1 ? 0x8E01 : 0x1081;
    if (address == trigger) {
      if (value & 0x01) spi_out.push_back(regs[row1 ? 0x8E02 : 0x1082]);
      if (value & 0x02) {
        std::uint8_t in = spi_idle_in;
        if (!spi_in.empty()) {
          in = spi_in.front();
          spi_in.pop_front();
        }
        regs[row1 ? 0x8E03 : 0x1083] = in;
      }
      regs[address] = 0;  // the trigger clears itself
    }
  }

  int answer(std::uint8_t request_type, std::uint16_t value, std::uint16_t index, unsigned char* data,
             std::uint16_t length) {
    bool in = (request_type & 0x80) != 0;
    if (!units.count(static_cast<std::uint8_t>(index >> 8))) return LIBUSB_ERROR_PIPE;
    switch (value) {
      case 0x0100: {
        if (length != 4) return LIBUSB_ERROR_PIPE;
        if (!in) {
          std::uint16_t address = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
          if (data[3] == 0xFF) {
            posted_register_ = address;
          } else {
            write_register(address, data[2]);
          }
        } else {
          data[0] = static_cast<std::uint8_t>(posted_register_);
          data[1] = static_cast<std::uint8_t>(posted_register_ >> 8);
          data[2] = read_register(posted_register_);
          data[3] = 0xFF;
        }
        return length;
      }
      case 0x0400: {
        if (length != 11) return LIBUSB_ERROR_PIPE;
        if (!in) {
          rom_address_ = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
        } else {
          std::memset(data, 0, length);
          auto it = rom.find(rom_address_);
          if (it != rom.end()) std::memcpy(data + 3, it->second.data(), 8);
        }
        return length;
      }
      case 0x0005:
        if (!in || length != 11) return LIBUSB_ERROR_PIPE;
        std::memset(data, 0, length);
        data[2] = mem_type;
        return length;
      case 0x0300: {
        if (length != 11) return LIBUSB_ERROR_PIPE;
        if (!in) {
          std::uint32_t address = static_cast<std::uint32_t>(data[0] | (data[1] << 8) | ((data[2] >> 4 & 3) << 16));
          int n = data[2] & 0x0F;
          if (data[2] & 0x80) {
            window_address_ = address;
            window_count_ = n;
          } else {
            for (int i = 0; i < n; ++i) flash[address + i] &= data[3 + i];
          }
        } else {
          std::memset(data, 0, length);
          for (int i = 0; i < window_count_; ++i) data[3 + i] = flash[window_address_ + i];
        }
        return length;
      }
      case 0x0600: {
        if (length != 64) return LIBUSB_ERROR_PIPE;
        if (!in && !stream_active_) {
          stream_current_ = static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24);
          stream_end_ = static_cast<std::uint32_t>(data[6] | data[7] << 8 | data[8] << 16 | data[9] << 24);
          stream_active_ = true;
          return length;
        }
        if (!stream_active_) return LIBUSB_ERROR_PIPE;
        for (int i = 0; i < 64 && stream_current_ < stream_end_; ++i, ++stream_current_) {
          if (in) {
            data[i] = flash[stream_current_];
          } else {
            flash[stream_current_] &= data[i];
          }
        }
        if (stream_current_ >= stream_end_) stream_active_ = false;
        return length;
      }
      default:
        return LIBUSB_ERROR_PIPE;
    }
  }

  libusb_device* token(std::size_t i) { return reinterpret_cast<libusb_device*>(&device_tokens_[i]); }
  std::size_t index_of(libusb_device* dev) const {
    return static_cast<std::size_t>(reinterpret_cast<const char*>(dev) - device_tokens_);
  }

  char device_tokens_[16] = {};
  char handle_token_ = 0;
  std::uint16_t posted_register_ = 0;
  std::uint16_t rom_address_ = 0;
  std::uint32_t window_address_ = 0;
  int window_count_ = 0;
  bool stream_active_ = false;
  std::uint32_t stream_current_ = 0;
  std::uint32_t stream_end_ = 0;
};

// Redirects stdout and stderr into temporary files until finish().
class CapturedOutput {
 public:
  CapturedOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    out_file_ = std::tmpfile();
    err_file_ = std::tmpfile();
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    dup2(fileno(out_file_), 1);
    dup2(fileno(err_file_), 2);
  }
  ~CapturedOutput() { finish(); }
  void finish() {
    if (saved_out_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    saved_out_ = saved_err_ = -1;
    out_ = slurp(out_file_);
    err_ = slurp(err_file_);
  }
  const std::string& out() {
    finish();
    return out_;
  }
  const std::string& err() {
    finish();
    return err_;
  }

 private:
  static std::string slurp(FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
  }
  FILE* out_file_ = nullptr;
  FILE* err_file_ = nullptr;
  int saved_out_ = -1;
  int saved_err_ = -1;
  std::string out_, err_;
};

}  // namespace sonix_test
