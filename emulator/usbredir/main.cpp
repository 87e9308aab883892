// morvane-virtual-camera: one virtual camera served over the usbredir
// protocol, so that a virtual machine's USB host controller (QEMU's
// usb-redir device) and the guest kernel's UVC driver see a real USB device.
//
// The process plays the USB-host side of the protocol (the side that owns
// the device). It listens on a UNIX socket for QEMU to connect (--socket) or
// connects to QEMU's server socket (--connect), and serves until the peer
// goes away or it is told to stop (SIGTERM, SIGINT, SIGHUP). The camera's
// flash is loaded from --flash-file when it exists and saved there on exit,
// on SIGUSR1 and on a harness request. SIGUSR2 unplugs the camera; it comes
// back after --replug-ms.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "emulator/firmware_image.hpp"
#include "emulator/usbredir/options.hpp"
#include "emulator/usbredir/uvc_device.hpp"
#include "emulator/virtual_camera.hpp"
#include "emulator/virtual_clock.hpp"

namespace {

using morvane::emulator::CameraConfig;
using morvane::emulator::VirtualCamera;
using morvane::emulator::VirtualClock;
using namespace morvane::emulator::usbredir;

constexpr std::size_t kLogTrimThreshold = 4096;  // transfer records kept before the model's logs are cleared

std::uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("morvane-virtual-camera: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Writes through a temporary file and a rename, so a crash never leaves a
// half-written flash file behind.
bool write_whole_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

class Frontend {
 public:
  // `power_on_ns`: the virtual time the camera's clock started counting at.
  Frontend(const Options& options, VirtualCamera& camera, VirtualClock& clock, std::uint64_t power_on_ns)
      : options_(options),
        camera_(camera),
        clock_(clock),
        uvc_(
            camera, [this](std::uint64_t bus_ns) { return device_ticks(bus_ns); }, options.max_payload),
        power_on_ns_(power_on_ns) {
    clock_base_real_ = now_ns();
    clock_base_virtual_ = clock_.now_ns();
  }
  ~Frontend() {
    if (parser_ != nullptr) usbredirparser_destroy(parser_);
  }

  bool save_flash() {
    if (options_.flash_file.empty()) return true;
    if (!write_whole_file(options_.flash_file, camera_.flash_contents(0, options_.flash_size))) {
      say("cannot write %s: %s", options_.flash_file.c_str(), std::strerror(errno));
      return false;
    }
    if (options_.verbose) say("flash saved to %s", options_.flash_file.c_str());
    return true;
  }

  // Serves the connection until the peer closes it or a stop signal
  // arrives. Returns false on an I/O error.
  bool serve(int fd, int signal_fd) {
    fd_ = fd;
    parser_ = usbredirparser_create();
    if (parser_ == nullptr) return false;
    install_callbacks();
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_filter);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(parser_, "morvane-virtual-camera 0.1", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
    while (!closed_ && !stop_) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {signal_fd, POLLIN, 0}};
      if (usbredirparser_has_data_to_write(parser_)) fds[0].events |= POLLOUT;
      int timeout = -1;
      // Never 0: a time already reached was handled by this loop's last
      // pass (send_video() answers every held transfer that is due), so a
      // zero timeout could only spin.
      auto wake_at = [&timeout](std::uint64_t at) {
        const std::uint64_t now = now_ns();
        const int ms = now >= at ? 1 : static_cast<int>(std::min<std::uint64_t>((at - now + 999999) / 1000000, 60000));
        if (timeout < 0 || ms < timeout) timeout = ms;
      };
      if (reconnect_at_ns_ != 0) wake_at(reconnect_at_ns_);
      if (!pending_video_.empty()) {
        if (auto due = uvc_.stream_due_ns()) wake_at(*due);
      }
      const int n = poll(fds, 2, timeout);
      if (n < 0 && errno != EINTR) return false;
      if (n > 0 && (fds[1].revents & POLLIN)) handle_signal(signal_fd);
      if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        const int r = usbredirparser_do_read(parser_);
        if (r == usbredirparser_read_io_error) closed_ = true;
      }
      if (reconnect_at_ns_ != 0 && now_ns() >= reconnect_at_ns_) {
        reconnect_at_ns_ = 0;
        if (!camera_.attached()) camera_.replug();
        uvc_.reset_uvc_state();
        if (options_.verbose) say("back on the bus");
        announce_device();
      }
      if (uvc_.take_save_request()) save_flash();
      send_video();
      report_stream_end();
      if (!closed_ && usbredirparser_has_data_to_write(parser_) && usbredirparser_do_write(parser_) != 0) {
        closed_ = true;
      }
    }
    return true;
  }

 private:
  // A streaming transfer the device has not answered yet.
  struct HeldTransfer {
    uint64_t id;
    usb_redir_bulk_packet_header header;
  };

  static Frontend* self(void* priv) { return static_cast<Frontend*>(priv); }

  void install_callbacks() {
    parser_->priv = this;
    parser_->log_func = [](void* priv, int level, const char* msg) {
      if (self(priv)->options_.verbose || level <= usbredirparser_error) say("usbredir: %s", msg);
    };
    parser_->read_func = [](void* priv, uint8_t* data, int count) -> int {
      const ssize_t r = ::read(self(priv)->fd_, data, static_cast<std::size_t>(count));
      if (r > 0) return static_cast<int>(r);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
      self(priv)->closed_ = true;  // end of stream or an error: the peer is gone
      return -1;
    };
    parser_->write_func = [](void* priv, uint8_t* data, int count) -> int {
      const ssize_t r = ::send(self(priv)->fd_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
      if (r >= 0) return static_cast<int>(r);
      if (errno == EAGAIN || errno == EINTR) return 0;
      return -1;
    };
    parser_->hello_func = [](void* priv, usb_redir_hello_header*) {
      Frontend* f = self(priv);
      if (f->camera_.attached()) f->announce_device();
    };
    parser_->reset_func = [](void* priv) { self(priv)->uvc_.reset_uvc_state(); };
    // A new configuration or alternate setting ends the stream; the
    // transfers held on the streaming endpoint come back cancelled, as a
    // usbredir host cancels what is pending on the endpoints it resets.
    parser_->set_configuration_func = [](void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
      Frontend* f = self(priv);
      usb_redir_configuration_status_header status{};
      if (f->uvc_.set_configuration(h->configuration)) {
        f->cancel_held_video();
        status.status = usb_redir_success;
      } else {
        status.status = usb_redir_stall;
      }
      status.configuration = f->uvc_.configuration();
      usbredirparser_send_configuration_status(f->parser_, id, &status);
      f->send_interfaces();
    };
    parser_->get_configuration_func = [](void* priv, uint64_t id) {
      Frontend* f = self(priv);
      usb_redir_configuration_status_header status{usb_redir_success, f->uvc_.configuration()};
      usbredirparser_send_configuration_status(f->parser_, id, &status);
    };
    parser_->set_alt_setting_func = [](void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
      Frontend* f = self(priv);
      usb_redir_alt_setting_status_header status{};
      status.interface = h->interface;
      status.alt = 0;
      if (f->uvc_.set_interface(h->interface, h->alt)) {
        if (h->interface == 1) f->cancel_held_video();
        status.status = usb_redir_success;
      } else {
        status.status = usb_redir_stall;
      }
      usbredirparser_send_alt_setting_status(f->parser_, id, &status);
      f->send_interfaces();
    };
    parser_->get_alt_setting_func = [](void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
      Frontend* f = self(priv);
      usb_redir_alt_setting_status_header status{};
      status.interface = h->interface;
      const auto alt = f->uvc_.alt_setting(h->interface);
      status.status = alt ? usb_redir_success : usb_redir_stall;
      status.alt = alt.value_or(0);
      usbredirparser_send_alt_setting_status(f->parser_, id, &status);
    };
    parser_->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                      int data_len) {
      Frontend* f = self(priv);
      std::vector<std::uint8_t> out;
      if (data != nullptr && data_len > 0) out.assign(data, data + data_len);
      if (data != nullptr) usbredirparser_free_packet_data(f->parser_, data);
      f->control(id, *h, out);
    };
    parser_->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int) {
      Frontend* f = self(priv);
      if (data != nullptr) usbredirparser_free_packet_data(f->parser_, data);
      if (h->endpoint == kStreamingEndpoint && f->reconnect_at_ns_ == 0) {
        // Answered in order: held while the device NAKs, as its IN tokens
        // are.
        f->pending_video_.push_back({id, *h});
        f->send_video();
        return;
      }
      usb_redir_bulk_packet_header reply = *h;
      reply.status = usb_redir_stall;
      reply.length = 0;
      reply.length_high = 0;
      usbredirparser_send_bulk_packet(f->parser_, id, &reply, nullptr, 0);
    };
    parser_->iso_packet_func = [](void* priv, uint64_t, usb_redir_iso_packet_header*, uint8_t* data, int) {
      if (data != nullptr) usbredirparser_free_packet_data(self(priv)->parser_, data);
    };
    parser_->interrupt_packet_func = [](void* priv, uint64_t, usb_redir_interrupt_packet_header*, uint8_t* data, int) {
      if (data != nullptr) usbredirparser_free_packet_data(self(priv)->parser_, data);
    };
    parser_->start_iso_stream_func = [](void* priv, uint64_t id, usb_redir_start_iso_stream_header* h) {
      usb_redir_iso_stream_status_header status{usb_redir_stall, h->endpoint};
      usbredirparser_send_iso_stream_status(self(priv)->parser_, id, &status);
    };
    parser_->stop_iso_stream_func = [](void* priv, uint64_t id, usb_redir_stop_iso_stream_header* h) {
      usb_redir_iso_stream_status_header status{usb_redir_success, h->endpoint};
      usbredirparser_send_iso_stream_status(self(priv)->parser_, id, &status);
    };
    parser_->start_interrupt_receiving_func = [](void* priv, uint64_t id,
                                                 usb_redir_start_interrupt_receiving_header* h) {
      usb_redir_interrupt_receiving_status_header status{usb_redir_stall, h->endpoint};
      usbredirparser_send_interrupt_receiving_status(self(priv)->parser_, id, &status);
    };
    parser_->stop_interrupt_receiving_func = [](void* priv, uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
      usb_redir_interrupt_receiving_status_header status{usb_redir_success, h->endpoint};
      usbredirparser_send_interrupt_receiving_status(self(priv)->parser_, id, &status);
    };
    parser_->alloc_bulk_streams_func = [](void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
      usb_redir_bulk_streams_status_header status{};
      status.endpoints = h->endpoints;
      status.no_streams = 0;
      status.status = usb_redir_stall;
      usbredirparser_send_bulk_streams_status(self(priv)->parser_, id, &status);
    };
    parser_->free_bulk_streams_func = [](void* priv, uint64_t id, usb_redir_free_bulk_streams_header* h) {
      usb_redir_bulk_streams_status_header status{};
      status.endpoints = h->endpoints;
      status.status = usb_redir_success;
      usbredirparser_send_bulk_streams_status(self(priv)->parser_, id, &status);
    };
    parser_->start_bulk_receiving_func = [](void* priv, uint64_t id, usb_redir_start_bulk_receiving_header* h) {
      usb_redir_bulk_receiving_status_header status{};
      status.stream_id = h->stream_id;
      status.endpoint = h->endpoint;
      status.status = usb_redir_stall;
      usbredirparser_send_bulk_receiving_status(self(priv)->parser_, id, &status);
    };
    parser_->stop_bulk_receiving_func = [](void* priv, uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
      usb_redir_bulk_receiving_status_header status{};
      status.stream_id = h->stream_id;
      status.endpoint = h->endpoint;
      status.status = usb_redir_success;
      usbredirparser_send_bulk_receiving_status(self(priv)->parser_, id, &status);
    };
    // Only held streaming transfers can be cancelled; every other request
    // is answered at once.
    parser_->cancel_data_packet_func = [](void* priv, uint64_t id) {
      Frontend* f = self(priv);
      for (auto it = f->pending_video_.begin(); it != f->pending_video_.end(); ++it) {
        if (it->id != id) continue;
        f->answer_video(*it, usb_redir_cancelled, nullptr, 0);
        f->pending_video_.erase(it);
        return;
      }
    };
    parser_->filter_reject_func = [](void*) {};
    parser_->filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { std::free(rules); };
    parser_->device_disconnect_ack_func = [](void*) {};
  }

  // The interfaces and endpoints of the current configuration (none but
  // the default control endpoint while not configured).
  void send_interfaces() {
    const bool configured = uvc_.configuration() != 0;
    usb_redir_interface_info_header info{};
    info.interface_count = configured ? 2 : 0;
    info.interface[0] = 0;
    info.interface_class[0] = 0x0E;
    info.interface_subclass[0] = 0x01;
    info.interface[1] = 1;
    info.interface_class[1] = 0x0E;
    info.interface_subclass[1] = 0x02;
    usbredirparser_send_interface_info(parser_, &info);

    // Endpoint slots: OUT endpoints at their number, IN endpoints at 16 + number.
    usb_redir_ep_info_header ep{};
    for (int i = 0; i < 32; ++i) ep.type[i] = usb_redir_type_invalid;
    ep.type[0] = ep.type[16] = usb_redir_type_control;
    ep.max_packet_size[0] = ep.max_packet_size[16] = kControlMaxPacket;
    if (configured) {
      const int slot = 16 + (kStreamingEndpoint & 0x0F);
      ep.type[slot] = usb_redir_type_bulk;
      ep.interface[slot] = 1;
      ep.max_packet_size[slot] = kBulkMaxPacket;
    }
    usbredirparser_send_ep_info(parser_, &ep);
  }

  void announce_device() {
    send_interfaces();
    usb_redir_device_connect_header connect{};
    connect.speed = usb_redir_speed_high;
    connect.device_class = 0xEF;
    connect.device_subclass = 0x02;
    connect.device_protocol = 0x01;
    connect.vendor_id = camera_.config().vid;
    connect.product_id = camera_.config().pid;
    connect.device_version_bcd = 0x0100;
    usbredirparser_send_device_connect(parser_, &connect);
    generation_ = camera_.connection_generation();
  }

  // The camera's clock at a bus time: the virtual clock follows real time
  // (see control()), and the camera's oscillator counts tick_rate_hz ticks
  // per second of it, drift_ppm fast.
  std::uint64_t device_ticks(std::uint64_t bus_ns) const {
    const std::uint64_t virtual_ns = clock_base_virtual_ + (bus_ns - clock_base_real_);
    const auto& imu = camera_.config().imu;
    const long double elapsed = virtual_ns > power_on_ns_ ? static_cast<long double>(virtual_ns - power_on_ns_) : 0;
    return (imu.counter_start & 0xFFFFF) +
           static_cast<std::uint64_t>(elapsed * imu.tick_rate_hz * (1 + imu.drift_ppm * 1e-6L) / 1e9L);
  }

  void answer_video(const HeldTransfer& t, int status, std::uint8_t* data, std::size_t size) {
    usb_redir_bulk_packet_header reply = t.header;
    reply.status = static_cast<uint8_t>(status);
    reply.length = static_cast<uint16_t>(size & 0xFFFF);
    reply.length_high = static_cast<uint16_t>(size >> 16);
    usbredirparser_send_bulk_packet(parser_, t.id, &reply, data, static_cast<int>(size));
  }

  void cancel_held_video() {
    for (const HeldTransfer& t : pending_video_) answer_video(t, usb_redir_cancelled, nullptr, 0);
    pending_video_.clear();
  }

  // Answers the held streaming transfers in order, up to the first the
  // device still NAKs.
  void send_video() {
    if (reconnect_at_ns_ != 0) return;
    const bool was_running = uvc_.stream().running();
    while (!pending_video_.empty()) {
      const HeldTransfer& t = pending_video_.front();
      const std::size_t length =
          static_cast<std::size_t>(t.header.length) | static_cast<std::size_t>(t.header.length_high) << 16;
      BulkOutcome outcome = uvc_.stream_transfer(length, now_ns());
      if (outcome.kind == BulkOutcome::nak) break;
      if (outcome.kind == BulkOutcome::stall) {
        answer_video(t, usb_redir_stall, nullptr, 0);
      } else {
        answer_video(t, usb_redir_success, outcome.bytes.data(), outcome.bytes.size());
      }
      pending_video_.pop_front();
    }
    if (options_.verbose && !was_running && uvc_.stream().running()) {
      const auto& f = uvc_.stream().format();
      say("streaming %s %ux%u every %u00 ns", f.format_index == kFormatMjpeg ? "MJPEG" : "YUYV", f.width, f.height,
          f.interval);
    }
  }

  // Reports, once a stream has ended, the frames it lost to a host that
  // read too slowly (the picture's numbers show them as gaps).
  void report_stream_end() {
    const VideoStream& s = uvc_.stream();
    const bool running = s.running();
    if (was_streaming_ && !running && s.frames_dropped() != reported_drops_) {
      say("video: %llu frames lost so far to a host reading too slowly (of %llu begun)",
          static_cast<unsigned long long>(s.frames_dropped()), static_cast<unsigned long long>(s.frames_begun()));
      reported_drops_ = s.frames_dropped();
    }
    was_streaming_ = running;
  }

  // Leaves the bus; the device comes back after `delay_ms`.
  void leave_bus(long delay_ms) {
    // The host forgets every transfer in flight when the device goes.
    pending_video_.clear();
    uvc_.stop_streaming();
    usbredirparser_send_device_disconnect(parser_);
    reconnect_at_ns_ = now_ns() + static_cast<std::uint64_t>(delay_ms) * 1000000ULL;
    if (options_.verbose) say("off the bus for %ld ms", delay_ms);
  }

  void control(uint64_t id, const usb_redir_control_packet_header& h, const std::vector<std::uint8_t>& out) {
    if (reconnect_at_ns_ != 0) return;  // off the bus: nothing answers
    // The model's time follows real time, so flash busy periods end as they
    // would on the device.
    const std::uint64_t target = clock_base_virtual_ + (now_ns() - clock_base_real_);
    const std::uint64_t current = clock_.now_ns();
    if (target > current) clock_.advance_ns(target - current);
    // The model logs every transfer for assertions; a long-running device
    // keeps only the recent ones.
    if (camera_.transfer_count() - logs_trimmed_at_ >= kLogTrimThreshold) {
      camera_.clear_logs();
      logs_trimmed_at_ = camera_.transfer_count();
    }

    Setup s{h.requesttype, h.request, h.value, h.index, h.length};
    ControlOutcome outcome = uvc_.control(s, out);
    if (outcome.kind == ControlOutcome::gone) {
      leave_bus(options_.replug_ms);  // no answer: the device dropped off mid-request
      return;
    }
    usb_redir_control_packet_header reply = h;
    if (outcome.kind == ControlOutcome::stall) {
      reply.status = usb_redir_stall;
      reply.length = 0;
      usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    } else if (h.requesttype & 0x80) {
      reply.status = usb_redir_success;
      reply.length = static_cast<uint16_t>(outcome.reply.size());
      usbredirparser_send_control_packet(parser_, id, &reply, outcome.reply.data(),
                                         static_cast<int>(outcome.reply.size()));
    } else {
      reply.status = usb_redir_success;
      reply.length = static_cast<uint16_t>(outcome.written);
      usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    }
    if (uvc_.take_unplug_request()) {
      camera_.unplug();
      leave_bus(options_.replug_ms);
    } else if (camera_.connection_generation() != generation_) {
      // The controller restarted (a USB reset through its register): it
      // leaves the bus and enumerates again.
      leave_bus(options_.restart_ms);
    }
  }

  void handle_signal(int signal_fd) {
    signalfd_siginfo info{};
    if (::read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
    switch (info.ssi_signo) {
      case SIGUSR1:
        save_flash();
        break;
      case SIGUSR2:
        if (reconnect_at_ns_ == 0 && parser_ != nullptr) {
          camera_.unplug();
          leave_bus(options_.replug_ms);
        }
        break;
      default:
        stop_ = true;
    }
  }

  const Options& options_;
  VirtualCamera& camera_;
  VirtualClock& clock_;
  UvcDevice uvc_;
  usbredirparser* parser_ = nullptr;
  int fd_ = -1;
  bool closed_ = false;
  bool stop_ = false;
  std::uint64_t generation_ = 0;
  std::uint64_t reconnect_at_ns_ = 0;
  std::uint64_t clock_base_real_ = 0;
  std::uint64_t clock_base_virtual_ = 0;
  std::size_t logs_trimmed_at_ = 0;
  std::uint64_t power_on_ns_ = 0;
  std::deque<HeldTransfer> pending_video_;
  bool was_streaming_ = false;
  std::uint64_t reported_drops_ = 0;
};

// The flash at start: the file's contents, or a new flash holding a firmware
// image for this camera. Returns false with a message printed.
bool initial_flash(Options& o) {
  CameraConfig& c = o.camera;
  c.flash.size_bytes = o.flash_size;
  std::vector<std::uint8_t> bytes;
  struct stat st {};
  if (!o.flash_file.empty() && ::stat(o.flash_file.c_str(), &st) == 0) {
    if (!read_whole_file(o.flash_file, bytes)) {
      say("cannot read %s: %s", o.flash_file.c_str(), std::strerror(errno));
      return false;
    }
    if (bytes.size() != o.flash_size) {
      say("%s holds %zu bytes, not a %zu-byte flash", o.flash_file.c_str(), bytes.size(), o.flash_size);
      return false;
    }
    c.flash.contents = std::move(bytes);
    return true;
  }
  if (!o.firmware) return true;
  morvane::emulator::FirmwareImageOptions image_options;
  image_options.chip_id = c.chip_id;
  image_options.rom_row = c.rom_row;
  image_options.vid = c.vid;
  image_options.pid = c.pid;
  image_options.product = c.model;
  image_options.manufacturer = c.vendor;
  image_options.serial_number = c.serial;
  image_options.version_text = o.version_text;
  std::string error;
  auto image = morvane::emulator::build_firmware_image(image_options, &error);
  if (!image) {
    say("cannot build a firmware image: %s", error.c_str());
    return false;
  }
  c.flash.contents = std::move(image->bytes);
  return true;
}

int open_socket(const Options& o) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, o.socket_path.c_str(), sizeof addr.sun_path - 1);
  if (o.connect) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      say("cannot connect to %s: %s", o.socket_path.c_str(), std::strerror(errno));
      ::close(fd);
      return -1;
    }
    return fd;
  }
  ::unlink(o.socket_path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
    say("cannot listen on %s: %s", o.socket_path.c_str(), std::strerror(errno));
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.camera.kernel_driver_bound = false;  // the guest's kernel decides that
  // A camera turning about its x axis at 25 degrees per second, with an IMU
  // in its +-16 g and +-2000 dps ranges.
  options.camera.imu.motion = morvane::emulator::ImuMotion::rotating;
  options.camera.imu.gravity_raw = 2048;
  options.camera.imu.rotation_rate_raw = 410;
  options.camera.imu.noise_amplitude = 12;
  // The IMU samples at 100 Hz on the camera's own clock (1 MHz ticks, 80 ppm
  // fast: the clock the video's PTS and SCR count too) and queues its samples
  // for the host, as an IMU with a FIFO does.
  options.camera.imu.timing = morvane::emulator::ImuTiming::clocked;
  options.camera.imu.rate_hz = 100;
  options.camera.imu.read_mode = morvane::emulator::ImuReadMode::queue;
  if (const int r = parse_options(argc, argv, options); r != 0) return r;
  if (!initial_flash(options)) return 1;

  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    say("signalfd: %s", std::strerror(errno));
    return 1;
  }

  VirtualClock clock;
  const std::uint64_t power_on_ns = clock.now_ns();
  std::unique_ptr<VirtualCamera> camera;
  try {
    camera = std::make_unique<VirtualCamera>(options.camera, clock);
  } catch (const std::exception& e) {
    say("bad camera configuration: %s", e.what());
    return 2;
  }
  Frontend frontend(options, *camera, clock, power_on_ns);

  const int sock = open_socket(options);
  if (sock < 0) return 1;
  int conn = sock;
  bool stopped = false;
  if (!options.connect) {
    say("listening on %s", options.socket_path.c_str());
    // Wait for the peer, still answering signals.
    for (;;) {
      pollfd fds[2] = {{sock, POLLIN, 0}, {signal_fd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (fds[1].revents & POLLIN) {
        signalfd_siginfo info{};
        if (::read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          if (info.ssi_signo == SIGUSR1) {
            frontend.save_flash();
            continue;
          }
          if (info.ssi_signo != SIGUSR2) {
            stopped = true;
            break;
          }
        }
      }
      if (fds[0].revents & POLLIN) {
        conn = ::accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn >= 0) break;
      }
    }
  }
  int status = 0;
  if (!stopped && conn >= 0) {
    ::fcntl(conn, F_SETFL, ::fcntl(conn, F_GETFL) | O_NONBLOCK);
    if (!frontend.serve(conn, signal_fd)) status = 1;
  }
  if (conn >= 0 && conn != sock) ::close(conn);
  ::close(sock);
  if (!options.connect) ::unlink(options.socket_path.c_str());
  ::close(signal_fd);
  if (!frontend.save_flash()) status = 1;
  return status;
}
