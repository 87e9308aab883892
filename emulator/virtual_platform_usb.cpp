// The virtual platform's libusb: device lists, descriptors, handles, usbfs
// claim rules and control transfers to the virtual cameras.
#include "emulator/virtual_platform_state.hpp"

namespace morvane::emulator {
namespace {

using namespace platform_model;

constexpr std::uint16_t kRootHubVendor = 0x1d6b;
constexpr std::uint16_t kRootHubProduct = 0x0002;

}  // namespace

// ---- libusb.

int VirtualPlatform::usb_init() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->usb_init_error != 0) return state_->usb_init_error;
  ++state_->context_refs;
  return LIBUSB_SUCCESS;
}

void VirtualPlatform::usb_exit() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->context_refs == 0) {
    state_->misuses.push_back("usb_exit without a matching usb_init");
    return;
  }
  --state_->context_refs;
}

ssize_t VirtualPlatform::usb_get_device_list(libusb_device*** list) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (s.context_refs == 0) s.misuses.push_back("usb_get_device_list without usb_init");
  if (s.device_list_error != 0) return s.device_list_error;
  std::vector<State::DeviceToken*> tokens;
  std::set<std::uint8_t> buses;
  for (const auto& cam : s.cameras) buses.insert(cam->config().bus_number);
  for (std::uint8_t bus : buses) tokens.push_back(s.root_hub(bus));
  for (std::size_t i = 0; i < s.cameras.size(); ++i)
    if (s.cameras[i]->attached()) tokens.push_back(s.token_for(i));
  auto* array = new libusb_device*[tokens.size() + 1];
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    array[i] = reinterpret_cast<libusb_device*>(tokens[i]);
    ++tokens[i]->refs;
  }
  array[tokens.size()] = nullptr;
  s.lists[array] = tokens;
  *list = array;
  return static_cast<ssize_t>(tokens.size());
}

void VirtualPlatform::usb_free_device_list(libusb_device** list, int unref_devices) {
  if (list == nullptr) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto it = s.lists.find(list);
  if (it == s.lists.end()) {
    s.misuses.push_back("usb_free_device_list on a list that is not outstanding");
    return;
  }
  if (unref_devices)
    for (auto* token : it->second) --token->refs;
  delete[] it->first;
  s.lists.erase(it);
}

int VirtualPlatform::usb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* token = s.find_device(dev, "usb_get_device_descriptor");
  if (token == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  std::memset(desc, 0, sizeof *desc);
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bNumConfigurations = 1;
  if (token->root_hub) {
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = LIBUSB_CLASS_HUB;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = kRootHubVendor;
    desc->idProduct = kRootHubProduct;
    desc->bcdDevice = 0x0601;
    desc->iManufacturer = 3;
    desc->iProduct = 2;
    desc->iSerialNumber = 1;
    return LIBUSB_SUCCESS;
  }
  VirtualCamera& cam = *s.cameras[token->camera];
  if (const int error = cam.descriptor_error(); error != 0) return error;
  desc->bcdUSB = 0x0200;
  desc->bDeviceClass = LIBUSB_CLASS_MISCELLANEOUS;  // interface association
  desc->bDeviceSubClass = 0x02;
  desc->bDeviceProtocol = 0x01;
  desc->bMaxPacketSize0 = 64;
  desc->idVendor = cam.config().vid;
  desc->idProduct = cam.config().pid;
  desc->bcdDevice = 0x0100;
  desc->iManufacturer = 1;
  desc->iProduct = 2;
  desc->iSerialNumber = cam.config().serial.empty() ? 0 : 3;
  return LIBUSB_SUCCESS;
}

std::uint8_t VirtualPlatform::usb_get_bus_number(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto* token = state_->find_device(dev, "usb_get_bus_number");
  return token == nullptr ? 0 : token->bus;
}

std::uint8_t VirtualPlatform::usb_get_device_address(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto* token = state_->find_device(dev, "usb_get_device_address");
  return token == nullptr ? 0 : token->address;
}

int VirtualPlatform::usb_open(libusb_device* dev, libusb_device_handle** handle) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* token = s.find_device(dev, "usb_open");
  if (token == nullptr || handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (token->root_hub) return LIBUSB_ERROR_ACCESS;  // hubs are root's
  VirtualCamera& cam = *s.cameras[token->camera];
  if (!cam.attached() || cam.connection_generation() != token->generation) return LIBUSB_ERROR_NO_DEVICE;
  if (const int error = cam.open_error(); error != 0) return error;
  for (const State::HandleToken* h : s.open_handles[token->camera]) {
    if (s.live(*h)) {
      s.overlaps.push_back({token->camera, "a second USB handle was opened while another was open"});
      break;
    }
  }
  s.handles.emplace_back();
  State::HandleToken* h = &s.handles.back();
  h->device = token;
  s.handle_index[h] = h;
  s.open_handles[token->camera].push_back(h);
  ++token->refs;
  *handle = reinterpret_cast<libusb_device_handle*>(h);
  return LIBUSB_SUCCESS;
}

void VirtualPlatform::usb_close(libusb_device_handle* handle) {
  if (handle == nullptr) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto* h = state_->find_handle(handle, "usb_close");
  if (h == nullptr) return;
  // Closing the file releases whatever it had claimed.
  h->open = false;
  h->claimed[0] = h->claimed[1] = false;
  --h->device->refs;
  auto& open = state_->open_handles[h->device->camera];
  open.erase(std::find(open.begin(), open.end(), h));
}

int VirtualPlatform::usb_kernel_driver_active(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_kernel_driver_active");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  return s.cameras[h->device->camera]->kernel_driver_bound() ? 1 : 0;
}

int VirtualPlatform::usb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_detach_kernel_driver");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  VirtualCamera& cam = *s.cameras[h->device->camera];
  if (!cam.kernel_driver_bound()) return LIBUSB_ERROR_NOT_FOUND;
  // The UVC driver lets go of the whole function: its video nodes disappear
  // and descriptors opened on them stop working.
  cam.set_kernel_driver_bound(false);
  ++s.use[h->device->camera].binding;
  s.publish_udev_events();
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_attach_kernel_driver");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  VirtualCamera& cam = *s.cameras[h->device->camera];
  if (cam.kernel_driver_bound()) return LIBUSB_ERROR_BUSY;
  if (s.any_claim(h->device->camera)) return LIBUSB_ERROR_BUSY;  // the driver cannot take a claimed interface
  cam.set_kernel_driver_bound(true);
  s.publish_udev_events();
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_claim_interface(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_claim_interface");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  VirtualCamera& cam = *s.cameras[h->device->camera];
  if (const int error = cam.take_claim_failure(); error != 0) return error;
  if (h->claimed[interface_number]) return LIBUSB_SUCCESS;
  if (cam.kernel_driver_bound() || s.claimed_by_other(*h, interface_number)) return LIBUSB_ERROR_BUSY;
  h->claimed[interface_number] = true;
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_release_interface(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_release_interface");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  if (!h->claimed[interface_number]) return LIBUSB_ERROR_NOT_FOUND;
  h->claimed[interface_number] = false;
  return s.live(*h) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int VirtualPlatform::usb_set_configuration(libusb_device_handle* handle, int configuration) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_set_configuration");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (configuration != 1 && configuration != 0 && configuration != -1) return LIBUSB_ERROR_NOT_FOUND;
  // The kernel refuses while any interface is claimed, by a driver or a process.
  if (s.cameras[h->device->camera]->kernel_driver_bound() || s.any_claim(h->device->camera)) return LIBUSB_ERROR_BUSY;
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_control_transfer(libusb_device_handle* handle, std::uint8_t request_type, std::uint8_t request,
                                          std::uint16_t value, std::uint16_t index, unsigned char* data,
                                          std::uint16_t length, unsigned int timeout_ms) {
  VirtualCamera* cam = nullptr;
  std::size_t camera_index = 0;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& s = *state_;
    auto* h = s.find_handle(handle, "usb_control_transfer");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
    camera_index = h->device->camera;
    cam = s.cameras[camera_index].get();
    if ((request_type & 0x1F) == LIBUSB_RECIPIENT_INTERFACE) {
      // usbfs claims an unclaimed interface on first use, which fails while
      // the UVC driver or another process holds it.
      const int interface_number = index & 0xFF;
      if (interface_number >= kInterfaceCount) return LIBUSB_ERROR_IO;
      if (!h->claimed[interface_number]) {
        if (cam->kernel_driver_bound() || s.claimed_by_other(*h, interface_number)) return LIBUSB_ERROR_IO;
        h->claimed[interface_number] = true;
      }
    }
    State::CameraUse& use = s.use[camera_index];
    if (use.in_flight > 0 && use.transfer_owner != std::this_thread::get_id())
      s.overlaps.push_back({camera_index, "a control transfer started while another thread's was in progress"});
    ++use.in_flight;
    use.transfer_owner = std::this_thread::get_id();
  }
  // libusb's timeout 0 waits without limit.
  const int result = await_answer(*cam, clock_, std::chrono::milliseconds(timeout_ms))
                         ? cam->control_transfer(request_type, request, value, index, data, length)
                         : LIBUSB_ERROR_TIMEOUT;
  std::lock_guard<std::mutex> lock(state_->mutex);
  --state_->use[camera_index].in_flight;
  return result;
}

const char* VirtualPlatform::usb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
      return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
      return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
      return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
      return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
      return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
      return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
      return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
      return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
      return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
      return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
      return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR:
      return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT:
      return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED:
      return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:
      return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE:
      return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:
      return "LIBUSB_TRANSFER_OVERFLOW";
    default:
      return "**UNKNOWN**";
  }
}

}  // namespace morvane::emulator
