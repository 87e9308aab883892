// The camera's USB controller as its firmware answers the host: the vendor
// extension-unit controls, the register space with its special registers,
// the mask ROM window, the I2C master, and the IMU sample control.
#include "emulator/virtual_camera.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>

#include "emulator/i2c_master.hpp"
#include "emulator/imu_model.hpp"
#include "emulator/mask_rom.hpp"
#include "emulator/serial_flash_controller.hpp"
#include "emulator/spi_nor_flash.hpp"

namespace morvane::emulator {
namespace {

// Registers with hardware behaviour of their own, at the same address in
// both register maps.
constexpr std::uint16_t kStrapLatch = 0x100A;     // bit 4 hides the exact chip variant
constexpr std::uint16_t kMiscLatch1185 = 0x1185;  // bits 4-6 exist only on some dies
constexpr std::uint8_t kStrapLatchPowerOn = 0x10;
constexpr std::uint8_t kUsbResetPowerOn = 0x01;  // bit 0: attached to the bus
constexpr std::uint8_t kAsicRead = 0xFF;
constexpr std::uint8_t kAsicWrite = 0x00;
constexpr std::uint8_t kRomWindowMaxCount = 8;
constexpr std::uint8_t kXuInfoGetSet = 0x03;
constexpr std::uint8_t kXuInfoGetOnly = 0x01;

int resolve_map_row(const CameraConfig& config) {
  if (config.register_map_row == 0 || config.register_map_row == 1) return config.register_map_row;
  const int row = chip_register_map_row(config.chip_id);
  return row < 0 ? 0 : row;
}

void validate(const CameraConfig& config) {
  if (config.register_map_row < -1 || config.register_map_row > 1)
    throw std::invalid_argument("register_map_row must be -1, 0 or 1");
  if (config.rom_row != kUnmatchedRom && rom_generation(config.rom_row) == nullptr)
    throw std::invalid_argument("rom_row must be 0..39 or kUnmatchedRom");
  if (config.flash.size_bytes < (1u << 20)) throw std::invalid_argument("flash size must be at least 1 MiB");
  if (config.device_address == 0 || config.device_address > 127)
    throw std::invalid_argument("device_address must be 1..127");
  if (config.capture_node < 0 || config.capture_node == config.metadata_node)
    throw std::invalid_argument("video nodes must be distinct and non-negative (a negative metadata node: none)");
  for (const auto& sensor : config.sensors) {
    if (sensor.register_address_bytes < 1 || sensor.register_address_bytes > 2 || sensor.value_bytes < 1 ||
        sensor.value_bytes > 2)
      throw std::invalid_argument("sensor register and value widths must be 1 or 2 bytes");
  }
  const ImuConfig& imu = config.imu;
  if (imu.timing == ImuTiming::clocked) {
    if (!(imu.rate_hz >= 100.0 && imu.rate_hz <= 1000.0)) throw std::invalid_argument("IMU rate must be 100..1000 Hz");
    if (!(imu.tick_rate_hz >= 1e3 && imu.tick_rate_hz <= 1e9))
      throw std::invalid_argument("IMU tick rate must be 1 kHz..1 GHz");
    if (!(imu.drift_ppm > -10000.0 && imu.drift_ppm < 10000.0))
      throw std::invalid_argument("IMU clock drift must be within +-10000 ppm");
    if (imu.tick_rate_hz / imu.rate_hz >= 524288.0)
      throw std::invalid_argument("IMU sample period must be under half the counter range");
  }
  if (imu.read_latency.max_ns < imu.read_latency.min_ns || !(imu.read_latency.tail_exponent >= 1.0))
    throw std::invalid_argument("IMU read latency needs min_ns <= max_ns and tail_exponent >= 1");
}

std::vector<std::uint8_t> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument("cannot read flash contents file " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool is_out(std::uint8_t request_type) { return (request_type & 0x80) == 0; }

int errno_for(int libusb_error) {
  switch (libusb_error) {
    case LIBUSB_ERROR_PIPE:
      return EPIPE;
    case LIBUSB_ERROR_TIMEOUT:
      return ETIMEDOUT;
    case LIBUSB_ERROR_NO_DEVICE:
      return ENODEV;
    case LIBUSB_ERROR_INVALID_PARAM:
      return EINVAL;
    default:
      return EIO;
  }
}

}  // namespace

struct VirtualCamera::Impl {
  struct Rule {
    std::function<bool(const TransferRequest&)> predicate;
    int error;
    int times;
  };

  Impl(const CameraConfig& config, VirtualClock& clock)
      : config(config),
        clock(clock),
        map_row(resolve_map_row(config)),
        map(register_map(map_row)),
        chip_id_register(config.chip_id_register != 0 ? config.chip_id_register : map.chip_id),
        rom(build_mask_rom(config)),
        i2c(config.sensors, config.i2c_busy_polls, config.i2c_bus_stuck),
        imu(config.imu, clock),
        device_address(config.device_address),
        kernel_bound(config.kernel_driver_bound) {
    const SpiNorChipModel model =
        config.flash.id_row == 0 ? spi_nor_unknown_model() : spi_nor_model_for_row(config.flash.id_row);
    flash = std::make_unique<SpiNorFlash>(clock, model, config.flash.size_bytes);
    if (!config.flash.contents_file.empty()) {
      const auto bytes = read_whole_file(config.flash.contents_file);
      if (!flash->load_contents(0, bytes)) throw std::invalid_argument("flash contents file larger than the flash");
    } else if (!config.flash.contents.empty()) {
      if (!flash->load_contents(0, config.flash.contents))
        throw std::invalid_argument("flash contents larger than the flash");
    }
    sfc_config = serial_flash_config_for_rom_row(config.rom_row, map_row);
    sfc_config.flash_type_value =
        config.flash.flash_type_register_value.value_or(static_cast<std::uint8_t>(model.flash_type));
    if (sfc_config.memory_type.has_value()) sfc_config.memory_type = config.memory_type;
    make_flash_controller();
    power_on_registers();
  }

  void make_flash_controller() {
    sfc = std::make_unique<SerialFlashController>(*flash, clock, sfc_config);
    if (cut_armed) arm_power_cut(cut_remaining);
  }

  void arm_power_cut(std::uint64_t operations) {
    cut_armed = true;
    cut_remaining = operations;
    cut_base = sfc->counters().spi_operations;
    sfc->set_power_cut_after(operations, [this] { power_cut.store(true, std::memory_order_release); });
  }

  void power_on_registers() {
    regs.fill(0);
    regs[map.usb_reset] = kUsbResetPowerOn;
    regs[kStrapLatch] = kStrapLatchPowerOn;
    i2c.reset();
    std::memset(asic_reply, 0, sizeof asic_reply);
    std::memset(rom_request, 0, sizeof rom_request);
  }

  // ---- Register space.
  bool in_i2c(std::uint16_t address) const {
    return address >= map.i2c_dev && address < map.i2c_dev + I2cMaster::kRegisterCount;
  }

  std::uint8_t gpio_input() const {
    const std::uint8_t oe = regs[map.gpio_output_enable];
    // A pin driven by the controller reads its own output; the others read
    // the level on the board.
    return static_cast<std::uint8_t>((oe & regs[map.gpio_output]) | (~oe & config.gpio_input));
  }

  std::uint8_t read_register(std::uint16_t address) {
    if (address == chip_id_register) {
      if (config.chip_id_when_100a_bit4_clear && !(regs[kStrapLatch] & 0x10))
        return *config.chip_id_when_100a_bit4_clear;
      return config.chip_id;
    }
    if (address == map.gpio_input) return gpio_input();
    if (sfc->owns_register(address)) return sfc->read_register(address);
    if (in_i2c(address)) return i2c.read(static_cast<std::uint16_t>(address - map.i2c_dev));
    return regs[address];
  }

  void write_register(std::uint16_t address, std::uint8_t value) {
    if (address == chip_id_register || address == map.gpio_input) return;  // read-only
    if (sfc->owns_register(address)) {
      sfc->write_register(address, value);
      return;
    }
    if (in_i2c(address)) {
      i2c.write(static_cast<std::uint16_t>(address - map.i2c_dev), value);
      return;
    }
    if (address == kMiscLatch1185 && !config.reg_1185_bits_70_stick) value &= static_cast<std::uint8_t>(~0x70);
    regs[address] = value;
    if (address == map.usb_reset && !(value & 0x01)) reset_pending = true;
  }

  // ---- Requests as the firmware answers them. Returns the byte count or a
  // negative libusb error; `data` is valid for `length` bytes.
  int handle(const TransferRequest& r, std::uint8_t* data) {
    const bool set = r.request_type == kRequestTypeClassOut && r.request == kSetCur;
    const bool get = r.request_type == kRequestTypeClassIn && r.request == kGetCur;
    const bool get_len = r.request_type == kRequestTypeClassIn && r.request == kGetLen;
    const bool get_info = r.request_type == kRequestTypeClassIn && r.request == kGetInfo;
    if (!set && !get && !get_len && !get_info) return LIBUSB_ERROR_PIPE;
    if ((r.index & 0xFF) != 0) return LIBUSB_ERROR_PIPE;  // only interface 0 carries the units
    const std::uint8_t unit = static_cast<std::uint8_t>(r.index >> 8);
    const bool vendor_unit =
        std::find(config.vendor_units.begin(), config.vendor_units.end(), unit) != config.vendor_units.end();

    if (r.value == kMemoryTypeValue) {
      if (!vendor_unit || !get || r.length != kMemoryTypeLength) return LIBUSB_ERROR_PIPE;
      return sfc->memtype_get(data, r.length);
    }
    if ((r.value & 0xFF) != 0) return LIBUSB_ERROR_PIPE;
    const std::uint8_t selector = static_cast<std::uint8_t>(r.value >> 8);

    if (unit == kImuUnit && selector == kSelectorImuSample && config.imu.present) {
      return info_or_len(get_len, get_info, kImuSampleLength, kXuInfoGetOnly, data, r.length, [&] {
        if (!get || r.length != kImuSampleLength) return static_cast<int>(LIBUSB_ERROR_PIPE);
        const auto reply = imu.next_reply();
        std::memcpy(data, reply.data(), reply.size());
        return static_cast<int>(kImuSampleLength);
      });
    }
    if (!vendor_unit) return LIBUSB_ERROR_PIPE;

    switch (selector) {
      case kSelectorAsicRegister:
        return info_or_len(get_len, get_info, kAsicRegisterLength, kXuInfoGetSet, data, r.length,
                           [&] { return asic_register(set, data, r.length); });
      case kSelectorFlashWindow:
        return info_or_len(get_len, get_info, kFlashWindowLength, kXuInfoGetSet, data, r.length, [&] {
          if (r.length != kFlashWindowLength) return static_cast<int>(LIBUSB_ERROR_PIPE);
          return set ? sfc->window_set(data, r.length) : sfc->window_get(data, r.length);
        });
      case kSelectorRomWindow:
        return info_or_len(get_len, get_info, kRomWindowLength, kXuInfoGetSet, data, r.length,
                           [&] { return rom_window(set, data, r.length); });
      case kSelectorStreamingFlash:
        if (!sfc_config.streaming) return LIBUSB_ERROR_PIPE;  // the generation has no such control
        return info_or_len(get_len, get_info, kStreamingFlashLength, kXuInfoGetSet, data, r.length, [&] {
          if (r.length != kStreamingFlashLength) return static_cast<int>(LIBUSB_ERROR_PIPE);
          return set ? sfc->stream_set(data, r.length) : sfc->stream_get(data, r.length);
        });
      default:
        return LIBUSB_ERROR_PIPE;
    }
  }

  // GET_LEN and GET_INFO answers common to every control; `cur` handles
  // SET_CUR and GET_CUR.
  template <typename Cur>
  int info_or_len(bool get_len, bool get_info, std::uint16_t control_length, std::uint8_t info, std::uint8_t* data,
                  std::uint16_t length, Cur cur) {
    if (get_len) {
      if (length != 2) return LIBUSB_ERROR_PIPE;
      data[0] = static_cast<std::uint8_t>(control_length & 0xFF);
      data[1] = static_cast<std::uint8_t>(control_length >> 8);
      return 2;
    }
    if (get_info) {
      if (length != 1) return LIBUSB_ERROR_PIPE;
      data[0] = info;
      return 1;
    }
    return cur();
  }

  int asic_register(bool set, std::uint8_t* data, std::uint16_t length) {
    if (length != kAsicRegisterLength) return LIBUSB_ERROR_PIPE;
    if (!set) {
      // The reply of the last read request; whatever it was.
      std::memcpy(data, asic_reply, sizeof asic_reply);
      return kAsicRegisterLength;
    }
    const auto address = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    if (data[3] == kAsicRead) {
      const std::uint8_t value = read_register(address);
      asic_reply[0] = data[0];
      asic_reply[1] = data[1];
      asic_reply[2] = value;
      asic_reply[3] = kAsicRead;
      register_log.push_back({address, value, false});
      return kAsicRegisterLength;
    }
    if (data[3] == kAsicWrite) {
      write_register(address, data[2]);
      register_log.push_back({address, data[2], true});
      return kAsicRegisterLength;
    }
    return LIBUSB_ERROR_PIPE;  // no such direction
  }

  int rom_window(bool set, std::uint8_t* data, std::uint16_t length) {
    if (length != kRomWindowLength) return LIBUSB_ERROR_PIPE;
    if (set) {
      if (data[2] == 0 || data[2] > kRomWindowMaxCount) return LIBUSB_ERROR_PIPE;
      std::memcpy(rom_request, data, sizeof rom_request);
      return kRomWindowLength;
    }
    std::memset(data, 0, length);
    std::memcpy(data, rom_request, sizeof rom_request);
    const auto address = static_cast<std::uint16_t>(rom_request[0] | (rom_request[1] << 8));
    for (std::uint8_t i = 0; i < rom_request[2]; ++i) data[3 + i] = rom[static_cast<std::uint16_t>(address + i)];
    return kRomWindowLength;
  }

  // ---- Bus presence.
  void reenumerate() {
    device_address = static_cast<std::uint8_t>(device_address % 127 + 1);
    ++generation;
    kernel_bound = config.kernel_driver_bound;  // the UVC driver (if installed) binds the new device
  }

  void usb_reset() {
    // The controller restarts; the flash keeps its power and contents.
    ++resets;
    reset_pending = false;
    if (cut_armed) {
      const std::uint64_t done = sfc->counters().spi_operations - cut_base;
      cut_remaining = cut_remaining > done ? cut_remaining - done : 0;
    }
    make_flash_controller();
    power_on_registers();
    reenumerate();
  }

  const CameraConfig& config;
  VirtualClock& clock;
  int map_row;
  RegisterMap map;
  std::uint16_t chip_id_register;
  std::vector<std::uint8_t> rom;
  I2cMaster i2c;
  ImuModel imu;
  std::unique_ptr<SpiNorFlash> flash;
  SerialFlashControllerConfig sfc_config;
  std::unique_ptr<SerialFlashController> sfc;
  std::array<std::uint8_t, 0x10000> regs{};
  std::uint8_t asic_reply[4] = {};
  std::uint8_t rom_request[3] = {};
  bool reset_pending = false;

  mutable std::mutex mutex;
  // Bus presence and host-side faults are read lock-free, so the platform
  // can consult them under its own lock without ever waiting for a device
  // that is busy with a transfer; they change under `mutex`.
  std::atomic<bool> attached{true};
  std::atomic<std::uint64_t> generation{1};
  std::atomic<std::uint8_t> device_address;
  std::atomic<std::uint64_t> resets{0};
  std::atomic<bool> kernel_bound;

  std::uint64_t seq = 0;
  std::vector<TransferRecord> transfers;
  std::vector<RegisterAccess> register_log;

  std::map<std::uint64_t, int> fail_at;
  std::vector<Rule> rules;
  struct CorruptRule {
    std::function<bool(const TransferRequest&)> predicate;
    std::function<void(std::vector<std::uint8_t>&)> corrupt;
    int times;
  };
  std::vector<CorruptRule> corrupt_rules;
  std::atomic<int> open_error{0};
  std::atomic<int> claim_failures{0};
  std::atomic<int> claim_error{0};
  std::atomic<int> descriptor_error{0};
  bool cut_armed = false;
  std::uint64_t cut_remaining = 0;  // SPI operations still allowed when armed
  std::uint64_t cut_base = 0;       // controller operation count when armed
  std::atomic<bool> power_cut{false};

  // Whether the camera answers requests, and the requests waiting for it
  // meanwhile (a mutex of their own: a waiting request must not hold up
  // anything else the camera does).
  mutable std::mutex answer_mutex;
  std::condition_variable answer_changed;
  bool answering = true;
  std::size_t waiting = 0;
};

VirtualCamera::VirtualCamera(CameraConfig config, VirtualClock& clock) : config_(std::move(config)), clock_(clock) {
  validate(config_);
  impl_ = std::make_unique<Impl>(config_, clock_);
}

VirtualCamera::~VirtualCamera() = default;

int VirtualCamera::control_transfer(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                                    std::uint16_t index, unsigned char* data, std::uint16_t length) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& d = *impl_;
  TransferRecord record;
  record.seq = ++d.seq;
  record.request = {request_type, request, value, index, length};
  const bool out = is_out(request_type);
  if (out && data != nullptr) record.data.assign(data, data + length);

  int result;
  if (length != 0 && data == nullptr) {
    result = LIBUSB_ERROR_INVALID_PARAM;  // refused by libusb before anything is sent
  } else if (!d.attached) {
    result = LIBUSB_ERROR_NO_DEVICE;
  } else {
    int injected = 0;
    if (auto it = d.fail_at.find(record.seq); it != d.fail_at.end()) {
      injected = it->second;
      d.fail_at.erase(it);
    } else {
      for (auto& rule : d.rules) {
        if (rule.times != 0 && rule.predicate && rule.predicate(record.request)) {
          injected = rule.error;
          if (rule.times > 0) --rule.times;
          break;
        }
      }
    }
    if (injected != 0) {
      result = injected;
      record.injected = true;
    } else {
      // The device works on its own copy: a failed IN transfer leaves the
      // caller's buffer untouched, as libusb does.
      std::vector<std::uint8_t> buffer(data, data + length);
      result = d.handle(record.request, buffer.data());
      if (d.power_cut.exchange(false, std::memory_order_acq_rel)) {
        d.attached = false;  // power gone: the device is off the bus
        result = LIBUSB_ERROR_NO_DEVICE;
      }
      if (result >= 0 && !out) {
        for (auto& rule : d.corrupt_rules) {
          if (rule.times != 0 && rule.predicate && rule.predicate(record.request)) {
            std::vector<std::uint8_t> reply(buffer.begin(), buffer.begin() + result);
            rule.corrupt(reply);
            std::memcpy(buffer.data(), reply.data(), std::min(reply.size(), static_cast<std::size_t>(result)));
            record.injected = true;
            if (rule.times > 0) --rule.times;
            break;
          }
        }
        std::memcpy(data, buffer.data(), static_cast<std::size_t>(result));
        record.data.assign(buffer.begin(), buffer.begin() + result);
      }
      if (d.reset_pending && d.attached) d.usb_reset();
    }
  }
  record.result = result;
  d.transfers.push_back(std::move(record));
  return result;
}

int VirtualCamera::xu_query(std::uint8_t unit, std::uint8_t selector, std::uint8_t query, std::uint16_t size,
                            std::uint8_t* data) {
  if (unit != kImuUnit || selector != kSelectorImuSample) return -ENOENT;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->config.imu.present) return -ENOENT;
  }
  std::uint16_t expected;
  std::uint8_t request_type = kRequestTypeClassIn;
  switch (query) {
    case kGetCur:
      expected = kImuSampleLength;
      break;
    case kGetLen:
      expected = 2;
      break;
    case kGetInfo:
      expected = 1;
      break;
    case kSetCur:
      return -EBADRQC;  // the control is read-only
    default:
      return -EINVAL;
  }
  if (size != expected) return -ENOBUFS;
  if (data == nullptr) return -EFAULT;
  // The UVC driver forwards the query to the device as a class request.
  const int r = control_transfer(request_type, query, static_cast<std::uint16_t>(selector << 8),
                                 static_cast<std::uint16_t>(unit << 8), data, size);
  return r < 0 ? -errno_for(r) : 0;
}

bool VirtualCamera::attached() const { return impl_->attached.load(); }

std::uint64_t VirtualCamera::connection_generation() const { return impl_->generation.load(); }

std::uint8_t VirtualCamera::device_address() const { return impl_->device_address.load(); }

std::uint64_t VirtualCamera::usb_reset_count() const { return impl_->resets.load(); }

void VirtualCamera::unplug() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->attached = false;
  }
  // A request waiting for an answer learns at once that the device left.
  std::lock_guard<std::mutex> lock(impl_->answer_mutex);
  impl_->answer_changed.notify_all();
}

void VirtualCamera::set_answering(bool answering) {
  std::lock_guard<std::mutex> lock(impl_->answer_mutex);
  impl_->answering = answering;
  impl_->answer_changed.notify_all();
}

bool VirtualCamera::answering() const {
  std::lock_guard<std::mutex> lock(impl_->answer_mutex);
  return impl_->answering;
}

bool VirtualCamera::wait_for_answer(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->answer_mutex);
  const auto free = [this] { return impl_->answering || !impl_->attached.load(); };
  if (free()) return true;
  ++impl_->waiting;
  bool answered = true;
  if (timeout.count() <= 0) {
    impl_->answer_changed.wait(lock, free);
  } else {
    answered = impl_->answer_changed.wait_for(lock, timeout, free);
  }
  --impl_->waiting;
  return answered;
}

std::size_t VirtualCamera::requests_waiting() const {
  std::lock_guard<std::mutex> lock(impl_->answer_mutex);
  return impl_->waiting;
}

void VirtualCamera::replug() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& d = *impl_;
  d.attached = true;
  d.power_cut.store(false);
  d.reset_pending = false;
  d.cut_armed = false;
  d.sfc->clear_power_cut();
  d.sfc->power_on_reset();  // flash and controller power up again
  d.power_on_registers();
  d.reenumerate();
}

bool VirtualCamera::kernel_driver_bound() const { return impl_->kernel_bound.load(); }

void VirtualCamera::set_kernel_driver_bound(bool bound) { impl_->kernel_bound = bound; }

std::uint8_t VirtualCamera::peek_register(std::uint16_t address) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& d = *impl_;
  // An I2C status poll moves the bus on; looking must not.
  if (d.in_i2c(address)) return d.i2c.peek(static_cast<std::uint16_t>(address - d.map.i2c_dev));
  return d.read_register(address);
}

void VirtualCamera::poke_register(std::uint16_t address, std::uint8_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->write_register(address, value);
}

std::vector<std::uint8_t> VirtualCamera::rom(std::uint16_t address, std::size_t length) const {
  std::vector<std::uint8_t> out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) out.push_back(impl_->rom[static_cast<std::uint16_t>(address + i)]);
  return out;
}

const RegisterMap& VirtualCamera::active_register_map() const { return register_map(impl_->map_row); }

int VirtualCamera::register_map_row() const { return impl_->map_row; }

SpiNorFlash& VirtualCamera::flash() { return *impl_->flash; }

SerialFlashController& VirtualCamera::flash_controller() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return *impl_->sfc;
}

std::vector<std::uint8_t> VirtualCamera::flash_contents(std::uint32_t address, std::size_t length) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const auto& all = impl_->flash->contents();
  if (address >= all.size()) return {};
  const std::size_t n = std::min(length, all.size() - address);
  return std::vector<std::uint8_t>(all.begin() + address, all.begin() + address + n);
}

void VirtualCamera::load_flash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->flash->load_contents(address, bytes)) throw std::out_of_range("load_flash beyond the end of the flash");
}

std::optional<std::uint16_t> VirtualCamera::sensor_register(std::uint8_t bus_address, std::uint16_t reg) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->i2c.sensor_register(bus_address, reg);
}

void VirtualCamera::set_sensor_register(std::uint8_t bus_address, std::uint16_t reg, std::uint16_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->i2c.set_sensor_register(bus_address, reg, value))
    throw std::invalid_argument("no sensor at that bus address");
}

std::size_t VirtualCamera::transfer_count() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return static_cast<std::size_t>(impl_->seq);
}

std::vector<TransferRecord> VirtualCamera::transfer_log() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->transfers;
}

std::vector<RegisterAccess> VirtualCamera::register_log() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->register_log;
}

std::vector<I2cTransaction> VirtualCamera::i2c_log() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->i2c.log();
}

std::uint64_t VirtualCamera::imu_samples_served() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->imu.samples_served();
}

void VirtualCamera::clear_logs() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->transfers.clear();
  impl_->register_log.clear();
  impl_->i2c.clear_log();
}

void VirtualCamera::fail_transfer(std::uint64_t seq, int error) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->fail_at[seq] = error;
}

void VirtualCamera::fail_transfers_matching(std::function<bool(const TransferRequest&)> predicate, int error,
                                            int times) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->rules.push_back({std::move(predicate), error, times});
}

void VirtualCamera::corrupt_replies_matching(std::function<bool(const TransferRequest&)> predicate,
                                             std::function<void(std::vector<std::uint8_t>&)> corrupt, int times) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->corrupt_rules.push_back({std::move(predicate), std::move(corrupt), times});
}

void VirtualCamera::set_open_error(int error) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->open_error = error;
}

void VirtualCamera::fail_claims(int count, int error) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->claim_failures = count < 0 ? 0 : count;
  impl_->claim_error = error;
}

void VirtualCamera::set_descriptor_error(int error) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->descriptor_error = error;
}

void VirtualCamera::cut_power_after_spi_operations(std::uint64_t operations) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->arm_power_cut(operations);
}

void VirtualCamera::clear_faults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& d = *impl_;
  d.fail_at.clear();
  d.rules.clear();
  d.corrupt_rules.clear();
  d.open_error = 0;
  d.claim_failures = 0;
  d.descriptor_error = 0;
  d.cut_armed = false;
  d.sfc->clear_power_cut();
}

int VirtualCamera::open_error() const { return impl_->open_error.load(); }

int VirtualCamera::take_claim_failure() {
  int left = impl_->claim_failures.load();
  while (left > 0 && !impl_->claim_failures.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0 ? impl_->claim_error.load() : 0;
}

int VirtualCamera::descriptor_error() const { return impl_->descriptor_error.load(); }

void VirtualCamera::set_imu_status(ImuStatus status) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->imu.set_status(status);
}

void VirtualCamera::fail_next_imu_samples(int count, ImuStatus status) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->imu.fail_next(count, status);
}

ImuSample VirtualCamera::next_imu_sample_preview() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->imu.peek();
}

ImuSampleTruth VirtualCamera::imu_sample_truth(std::uint64_t index) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->imu.truth(index);
}

std::optional<ImuSampleTruth> VirtualCamera::imu_last_reply_truth() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->imu.last_reply_truth();
}

std::uint64_t VirtualCamera::device_ticks_at(std::uint64_t host_ns) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->imu.device_ticks_at(host_ns);
}

void VirtualCamera::drop_next_imu_samples(std::uint64_t count) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->imu.drop_next(count);
}

std::pair<std::uint64_t, std::uint64_t> VirtualCamera::imu_read_latency(std::uint64_t draw) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->imu.read_latency(draw);
}

std::uint64_t VirtualCamera::imu_late_delivery() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->imu.late_delivery();
}

}  // namespace morvane::emulator
