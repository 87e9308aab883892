// A model of one stereo camera as the host sees it over USB: the Sonix USB
// controller (register space, mask ROM, I2C master, serial-flash controller),
// the serial flash behind it, the image sensors on its I2C bus and the IMU
// behind the IMU extension unit.
//
// The model answers each request the way the silicon and its firmware do,
// and no more kindly: wrong lengths stall, units the camera lacks stall, a
// register read without a posted address returns stale bytes, a device that
// dropped off the bus answers nothing. Everything the host sends is logged so
// tests can check the exact conversation, and faults can be injected at any
// step.
//
// Thread safety: every public member may be called from any thread; one mutex
// per camera serialises them. Bus presence, the kernel-driver flag and the
// host-side faults are read without that mutex, so a platform may consult
// them under a lock of its own. Callbacks given to the camera (fault
// predicates) run with the camera's mutex held and must not call back into
// the camera.
#pragma once

#include <libusb-1.0/libusb.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/serial_flash_controller.hpp"
#include "emulator/spi_nor_flash.hpp"
#include "emulator/virtual_clock.hpp"

namespace morvane::emulator {

// ---- Fixed facts about the controller family.

// UVC class requests on the default control endpoint.
inline constexpr std::uint8_t kRequestTypeClassOut = 0x21;  // host to device, class, interface
inline constexpr std::uint8_t kRequestTypeClassIn = 0xA1;   // device to host, class, interface
inline constexpr std::uint8_t kSetCur = 0x01;
inline constexpr std::uint8_t kGetCur = 0x81;
inline constexpr std::uint8_t kGetLen = 0x85;
inline constexpr std::uint8_t kGetInfo = 0x86;

// Extension-unit control selectors (high byte of wValue).
inline constexpr std::uint8_t kSelectorAsicRegister = 1;
inline constexpr std::uint8_t kSelectorFlashWindow = 3;
inline constexpr std::uint8_t kSelectorRomWindow = 4;
inline constexpr std::uint8_t kSelectorStreamingFlash = 6;
inline constexpr std::uint8_t kSelectorImuSample = 10;
// The memory-type query is addressed with wValue 0x0005 (selector 0, low byte 5).
inline constexpr std::uint16_t kMemoryTypeValue = 0x0005;

inline constexpr std::uint16_t kAsicRegisterLength = 4;
inline constexpr std::uint16_t kFlashWindowLength = 11;
inline constexpr std::uint16_t kRomWindowLength = 11;
inline constexpr std::uint16_t kMemoryTypeLength = 11;
inline constexpr std::uint16_t kStreamingFlashLength = 64;
inline constexpr std::uint16_t kImuSampleLength = 17;

// The IMU extension unit.
inline constexpr std::uint8_t kImuUnit = 4;

// The six ROM addresses at which controller generations keep their version text.
inline constexpr std::array<std::uint16_t, 6> kRomTextAddresses = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8, 0xAFF8};

// One row of the table of mask-ROM generations.
struct RomGeneration {
  std::uint16_t text_address;         // where the version text sits in the ROM
  char name[6];                       // 5 characters and a terminator, e.g. "256R0"
  std::uint8_t sub_version;           // the lowest sub-version of the generation
  bool at_least;                      // later sub-versions belong to the same row
  std::uint16_t flash_type_register;  // register holding the flash type the boot code found
  bool command_registers;             // hardware serial-flash command registers present
  bool reports_memory_type;           // answers the memory-type query
};
inline constexpr int kRomGenerationCount = 40;
// Row i of the generation table; nullptr outside 0..39.
const RomGeneration* rom_generation(int row);

// Chip family of a chip id: register map row (0 or 1), or -1 when the id is
// not one of the controller chips.
int chip_register_map_row(std::uint8_t chip_id);

// The controller registers that differ between the two register maps.
struct RegisterMap {
  std::uint16_t chip_id;
  std::uint16_t usb_reset;
  std::uint16_t gpio_input;
  std::uint16_t gpio_output;
  std::uint16_t gpio_output_enable;
  std::uint16_t sf_ready;
  std::uint16_t sf_mode;
  std::uint16_t sf_chip_select;
  std::uint16_t sf_write_data;
  std::uint16_t sf_read_data;
  std::uint16_t sf_trigger;
  std::uint16_t sf_read_command;
  std::uint16_t sf_read_data_start;
  std::uint16_t i2c_dev;
  std::uint16_t i2c_mode;
  std::uint16_t i2c_trigger;
  std::uint16_t i2c_scl_open_drain;
  std::uint16_t i2c_slave_id;
  std::uint16_t i2c_data;  // first of 5 consecutive data registers
  std::uint16_t cpu_rate;
};
// Row 0 or 1 (anything else gives row 0).
const RegisterMap& register_map(int row);

// ---- Configuration.

// An image sensor on the controller's I2C bus.
struct I2cSensorConfig {
  // The byte the host writes to the controller's slave-id register to reach
  // this sensor.
  std::uint8_t bus_address = 0x20;
  int register_address_bytes = 2;                    // 1 or 2
  int value_bytes = 1;                               // 1 or 2: width of one register
  bool acknowledges = true;                          // false: present but never acknowledges
  std::map<std::uint16_t, std::uint16_t> registers;  // initial values; others read 0
};

enum class ImuMotion {
  still,     // at rest, gravity on +z
  rotating,  // constant angular rate about z, gravity on +z
};

// When the IMU takes its samples.
enum class ImuTiming {
  per_request,  // each successful request takes a new sample; the counter advances counter_step per sample
  clocked,      // samples at rate_hz on the device's own clock; the counter is its tick count
};

// What a request returns from a clocked IMU.
enum class ImuReadMode {
  latest,  // the most recent sample, the same one again until the next is taken
  queue,   // the oldest sample not yet returned; with none left, the last one again
};

// Host read latency of IMU queries through the video node (the kernel's UVC
// driver and the bus), spent on the virtual clock around each query: a part
// before the request reaches the device, the rest before the answer is back.
// Each query takes min_ns + (max_ns - min_ns) * u^tail_exponent with u uniform
// in [0, 1): most queries near min_ns, a long tail up to max_ns.
struct ImuReadLatency {
  std::uint64_t min_ns = 0;
  std::uint64_t max_ns = 0;    // 0: queries take no time
  double tail_exponent = 4.0;  // at least 1; larger: a thinner, longer tail
  std::uint32_t seed = 1;      // same seed, same latencies
};

// Conditions a clocked IMU and its host reads can be scripted with. Times are
// seconds of virtual (host) time since the camera was created.
struct ImuScript {
  // The oscillator's drift changes over time: drift_ppm + ramp_ppm_per_s * t
  // + sine_ppm * sin(2 pi t / sine_period_s).
  double ramp_ppm_per_s = 0.0;
  double sine_ppm = 0.0;
  double sine_period_s = 60.0;
  // The device clock jumps ahead by `ticks` at host second `at_s` (the host
  // clock paused while the camera kept counting, as in a suspend with the
  // camera powered); the samples of the jump are all taken at that instant.
  struct Step {
    double at_s = 0.0;
    std::uint64_t ticks = 0;
  };
  std::vector<Step> steps;  // in time order
  // The device takes no sample in [at_s, at_s + seconds).
  struct Gap {
    double at_s = 0.0;
    double seconds = 0.0;
  };
  std::vector<Gap> gaps;
  // Queries starting in [from_s, until_s) take min_ns..max_ns (the usual
  // long-tailed draw) instead of read_latency.
  struct SlowReads {
    double from_s = 0.0;
    double until_s = 0.0;
    std::uint64_t min_ns = 0;
    std::uint64_t max_ns = 0;
  };
  std::vector<SlowReads> slow_reads;
  // The first query at or after at_s that returns a new sample reaches the
  // host late_ns after the device answered (a thread descheduled on its way
  // back).
  struct LateReply {
    double at_s = 0.0;
    std::uint64_t late_ns = 0;
  };
  std::vector<LateReply> late_replies;
  bool empty() const {
    return ramp_ppm_per_s == 0.0 && sine_ppm == 0.0 && steps.empty() && gaps.empty() && slow_reads.empty() &&
           late_replies.empty();
  }
};

struct ImuConfig {
  bool present = true;  // false: unit 4 has no IMU sample control
  ImuTiming timing = ImuTiming::per_request;
  // Clocked IMU: samples per second of device time (100 to 1000), nominal
  // device counter rate, and how much faster than the host's clock the
  // device's oscillator runs (parts per million; negative: slower).
  double rate_hz = 200.0;
  double tick_rate_hz = 1e6;
  double drift_ppm = 80.0;
  ImuReadMode read_mode = ImuReadMode::latest;
  std::size_t queue_depth = 32;   // queue mode: unread samples kept; when full the oldest is lost
  std::uint32_t drop_one_in = 0;  // clocked: about one sample in N is lost by the device (0: none)
  ImuReadLatency read_latency;
  ImuScript script;  // clocked: drift over time, clock steps, gaps, slow and late reads
  ImuMotion motion = ImuMotion::still;
  std::int16_t temperature_raw = 25;
  std::int16_t gravity_raw = 16384;       // accelerometer counts for 1 g
  std::int16_t rotation_rate_raw = 1000;  // gyroscope z counts while rotating
  std::int16_t noise_amplitude = 0;       // each axis gets uniform noise in [-a, a]
  std::uint32_t noise_seed = 1;           // same seed, same samples
  std::uint32_t counter_start = 0;        // 20-bit sample counter at power-on
  std::uint32_t counter_step = 1;         // counter advance per sample (mod 2^20)
};

// The serial flash chip behind the controller.
struct SerialFlashSetup {
  // Row (1..24) of the controller's flash identification table whose ids the
  // chip answers to the 0x9F identification command; 0: ids that match no row.
  int id_row = 13;
  std::size_t size_bytes = 1u << 20;  // at least 1 MiB
  // Initial contents from address 0; the rest is erased (0xFF).
  std::vector<std::uint8_t> contents;
  // Or a file whose bytes are loaded from address 0 (used when not empty;
  // contents then ignored).
  std::string contents_file;
  // What the controller's flash-type register holds (the type the boot code
  // found); unset: the chip's own type (0 for an unknown chip).
  std::optional<std::uint8_t> flash_type_register_value;
};

// A value of rom_row that puts version text matching no generation at every
// ROM text address.
inline constexpr int kUnmatchedRom = -1;

struct CameraConfig {
  // USB identity.
  std::uint16_t vid = 0x0c45;
  std::uint16_t pid = 0x0643;
  std::uint8_t bus_number = 1;
  std::uint8_t device_address = 4;  // changes after every re-enumeration
  std::string serial = "SN0001";
  std::string vendor = "Morvane";
  std::string model = "Stereo Camera";
  // ID_PATH as udev reports it; empty: udev reports no ID_PATH.
  std::string usb_path = "platform-xhci-hcd.0-usb-0:1:1.0";
  // Port chain below the root hub in sysfs names ("1", "1.2"); distinct per
  // camera on one bus.
  std::string usb_port = "1";

  // Controller.
  std::uint8_t chip_id = 0x83;
  // Register map the silicon implements; -1: the chip's own family.
  int register_map_row = -1;
  // Register at which the chip id answers; 0: the chip id register of the
  // register map (0x101F row 0, 0x80F0 row 1). A row-1 chip answering at
  // 0x101F is configured here.
  std::uint16_t chip_id_register = 0;
  // The id 0x101F shows while bit 4 of register 0x100A is clear (some
  // generations reveal the exact chip variant that way); unset: chip_id.
  std::optional<std::uint8_t> chip_id_when_100a_bit4_clear;
  // Mask ROM: generation row 0..39, or kUnmatchedRom.
  int rom_row = 12;
  // Sub-version and variant bytes of the ROM's version text; unset: the
  // row's sub-version and '0'.
  std::optional<std::uint8_t> rom_sub_version;
  char rom_variant = '0';
  // Extra 8-byte texts written into the ROM after the generation text.
  std::vector<std::pair<std::uint16_t, std::array<std::uint8_t, 8>>> rom_overrides;
  // Extension units that answer the vendor controls (3, 4 or both).
  std::vector<std::uint8_t> vendor_units = {3};
  std::uint8_t gpio_input = 0x00;       // level on the GPIO input pins
  bool reg_1185_bits_70_stick = false;  // whether 0x1185 bits 4-6 are writable
  std::uint8_t memory_type = 0;         // answered by the memory-type query, when reported

  SerialFlashSetup flash;
  std::vector<I2cSensorConfig> sensors = {I2cSensorConfig{}};
  // I2C transactions finish after this many polls of the device register
  // (0: the first poll sees them finished).
  int i2c_busy_polls = 0;
  bool i2c_bus_stuck = false;  // transactions never finish
  ImuConfig imu;

  // Video nodes /dev/video<N>.
  int capture_node = 0;
  int metadata_node = 1;               // negative: the camera has no metadata node
  bool video_nodes_accessible = true;  // false: open fails with EACCES
  // The video's PTS and SCR count the device clock the IMU counter counts,
  // plus video_clock_offset_ticks (nonzero: a camera whose video clock is
  // not the IMU's); the PTS adds pts_offset_ticks (nonzero: a PTS on no
  // clock the SCR shows).
  std::uint64_t video_clock_offset_ticks = 0;
  std::uint64_t pts_offset_ticks = 0;

  bool kernel_driver_bound = true;  // uvcvideo holds interface 0 at start
};

// ---- Records for assertions.

struct TransferRequest {
  std::uint8_t request_type = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

struct TransferRecord {
  std::uint64_t seq = 0;  // 1 for the first transfer the camera received
  TransferRequest request;
  // OUT transfers: the payload sent. IN transfers: the bytes returned (empty
  // when the transfer failed).
  std::vector<std::uint8_t> data;
  int result = 0;         // byte count or negative libusb error
  bool injected = false;  // the result came from fault injection
};

struct RegisterAccess {
  std::uint16_t address = 0;
  std::uint8_t value = 0;
  bool write = false;
};

struct I2cTransaction {
  std::uint8_t slave_id = 0;
  bool read = false;
  std::vector<std::uint8_t> bytes;  // bytes written, or bytes returned by the sensor
  bool acknowledged = false;
};

enum class ImuStatus : std::uint8_t {
  ok = 0,
  init_failure = 0xF1,
  read_failure = 0xF2,
};

struct ImuSample {
  std::int16_t temperature = 0;
  std::int16_t accel[3] = {0, 0, 0};
  std::int16_t gyro[3] = {0, 0, 0};
  std::uint32_t counter = 0;  // 20 bits
};

// What a clocked IMU knows about one of its samples.
struct ImuSampleTruth {
  std::uint64_t index = 0;         // 0 for the first sample after power-on
  std::uint64_t device_ticks = 0;  // the device counter at the sample instant, wraps included
  std::uint32_t counter = 0;       // the 20 bits the reply carries
  std::uint64_t taken_ns = 0;      // virtual-clock instant the sample was taken at
  bool dropped = false;            // lost by the device: never returned
};

// The 17-byte wire form of a sample (big-endian values, counter bits 15-8,
// 7-0, then 19-16 in the low nibble of the last byte).
std::array<std::uint8_t, kImuSampleLength> encode_imu_sample(const ImuSample& sample);

class VirtualCamera {
 public:
  VirtualCamera(CameraConfig config, VirtualClock& clock);
  ~VirtualCamera();
  VirtualCamera(const VirtualCamera&) = delete;
  VirtualCamera& operator=(const VirtualCamera&) = delete;

  const CameraConfig& config() const { return config_; }
  VirtualClock& clock() { return clock_; }

  // One control transfer on the default endpoint, as libusb reports it: the
  // number of bytes transferred, or LIBUSB_ERROR_PIPE (stall),
  // LIBUSB_ERROR_NO_DEVICE (off the bus) or an injected error. `data` holds
  // `length` bytes (OUT: read, IN: written). Null data with a non-zero length
  // gives LIBUSB_ERROR_INVALID_PARAM.
  int control_transfer(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                       unsigned char* data, std::uint16_t length);

  // One UVC extension-unit query the kernel driver forwards (video node path):
  // 0 or a negative errno.
  int xu_query(std::uint8_t unit, std::uint8_t selector, std::uint8_t query, std::uint16_t size, std::uint8_t* data);

  // ---- Bus presence. Every re-enumeration (USB reset through the
  // controller, or unplug and replug) gives a new connection generation and
  // a new device address; handles of an older generation are dead.
  bool attached() const;
  std::uint64_t connection_generation() const;
  std::uint8_t device_address() const;
  std::uint64_t usb_reset_count() const;
  void unplug();  // drops off the bus until replug()
  void replug();  // back on the bus with a new address, power-on state

  // ---- A camera that stops answering, as a hung firmware does: requests
  // still reach it, but no reply comes back. The host side (the platform)
  // calls wait_for_answer() before each request; it waits, in real time,
  // while the camera is attached and not answering, at most `timeout` (zero
  // or less: without limit). True: the request goes on (answered normally,
  // or failing as off the bus); false: it timed out unanswered. Answering
  // again or dropping off the bus lets every waiting request go on at once.
  void set_answering(bool answering);
  bool answering() const;
  bool wait_for_answer(std::chrono::milliseconds timeout);
  std::size_t requests_waiting() const;  // requests inside wait_for_answer() now

  // Interface 0 ownership by the kernel's UVC driver.
  bool kernel_driver_bound() const;
  void set_kernel_driver_bound(bool bound);

  // ---- Direct access for assertions and set-up (not logged, no faults).
  std::uint8_t peek_register(std::uint16_t address);
  void poke_register(std::uint16_t address, std::uint8_t value);
  std::vector<std::uint8_t> rom(std::uint16_t address, std::size_t length) const;
  const RegisterMap& active_register_map() const;
  int register_map_row() const;
  SpiNorFlash& flash();
  // The controller is rebuilt when the camera restarts after a USB reset:
  // the reference is valid until then.
  SerialFlashController& flash_controller();
  // Flash contents (a copy) and direct set-up writes.
  std::vector<std::uint8_t> flash_contents(std::uint32_t address, std::size_t length);
  void load_flash(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  // Sensor registers.
  std::optional<std::uint16_t> sensor_register(std::uint8_t bus_address, std::uint16_t reg) const;
  void set_sensor_register(std::uint8_t bus_address, std::uint16_t reg, std::uint16_t value);

  // ---- Logs.
  std::size_t transfer_count() const;
  std::vector<TransferRecord> transfer_log() const;
  std::vector<RegisterAccess> register_log() const;  // ASIC register requests that took effect
  std::vector<I2cTransaction> i2c_log() const;
  std::uint64_t imu_samples_served() const;
  void clear_logs();

  // ---- Fault injection.
  // Fails the transfer whose seq is `seq` (transfer_count() + 1 is the next
  // one) with `error`, without the device seeing it.
  void fail_transfer(std::uint64_t seq, int error);
  // Fails every transfer the predicate accepts, `times` times (-1: until
  // cleared).
  void fail_transfers_matching(std::function<bool(const TransferRequest&)> predicate, int error, int times = -1);
  // The reply of every IN transfer the predicate accepts is altered by
  // `corrupt` after the device produced it, `times` times (-1: until
  // cleared): a bus or firmware fault that delivers wrong bytes with a good
  // status. The transfer log records the altered bytes.
  void corrupt_replies_matching(std::function<bool(const TransferRequest&)> predicate,
                                std::function<void(std::vector<std::uint8_t>&)> corrupt, int times = -1);
  // Opening fails with `error` (0: opens normally).
  void set_open_error(int error);
  // The next `count` interface claims fail with `error`.
  void fail_claims(int count, int error);
  // The device descriptor cannot be read (0: readable).
  void set_descriptor_error(int error);
  // Power is cut after `operations` more SPI operations reach the flash chip.
  void cut_power_after_spi_operations(std::uint64_t operations);
  void clear_faults();

  // ---- Host-side outcomes the injected faults decide (used by the
  // platform): the error an open gets (0: none), the error the next
  // interface claim gets (0: none; consumes one injected failure), the
  // error a descriptor read gets (0: none).
  int open_error() const;
  int take_claim_failure();
  int descriptor_error() const;

  // ---- IMU.
  void set_imu_status(ImuStatus status);  // every sample reports it until changed
  void fail_next_imu_samples(int count, ImuStatus status);
  ImuSample next_imu_sample_preview() const;  // the sample the next request returns (ok status)
  // Clocked IMU: sample `index` as the device took it (whether or not it has
  // been taken yet), and the sample the latest successful request returned
  // (none before the first).
  ImuSampleTruth imu_sample_truth(std::uint64_t index) const;
  std::optional<ImuSampleTruth> imu_last_reply_truth() const;
  // The device's clock at host instant `host_ns`: the ticks the IMU counter
  // and the video's PTS and SCR count (ImuModel::device_ticks_at).
  std::uint64_t device_ticks_at(std::uint64_t host_ns) const;
  // Clocked IMU: the next `count` samples the IMU takes are lost.
  void drop_next_imu_samples(std::uint64_t count);
  // The two legs (before the device, after it) of IMU query number `draw`
  // starting now: read_latency and the script's slow and late reads.
  std::pair<std::uint64_t, std::uint64_t> imu_read_latency(std::uint64_t draw);
  // After that query: extra delay before its reply reaches the host.
  std::uint64_t imu_late_delivery();

 private:
  struct Impl;
  CameraConfig config_;
  VirtualClock& clock_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace morvane::emulator
