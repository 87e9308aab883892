// scan_devices: one record per supported camera, folded from its video nodes.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "discovery/device_whitelist.hpp"
#include "discovery/scan_candidate.hpp"
#include "discovery/video_nodes.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace discovery {
namespace {

constexpr char kDevDirectory[] = "/dev";

// How many udev children may run ahead of the node being read. They are
// independent, so a scan of N nodes costs about one udevadm run rather than N.
constexpr std::size_t kUdevLookahead = 64;

int kind_rank(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::capture:
      return 0;
    case NodeKind::undetermined:
      return 1;
    case NodeKind::no_capture:
      return 2;
  }
  return 3;
}

// The udev queries of all candidate nodes, started ahead of reading them.
// A child that cannot be started ahead (out of descriptors or processes) is
// tried again at its turn, when no later child is running, so the outcome is
// the same as running the queries one after the other.
class UdevQueries {
 public:
  explicit UdevQueries(const std::vector<std::string>& node_paths) : paths_(node_paths) {}

  std::optional<UdevProperties> take(std::size_t index) {
    if (index == next_) start_next();  // its own attempt: nothing later is running
    start_ahead(index);
    std::optional<UdevProperties> properties = running_.front().finish();
    running_.pop_front();
    return properties;
  }

 private:
  void start_next() {
    running_.emplace_back(paths_[next_]);
    ++next_;
  }
  void start_ahead(std::size_t index) {
    while (next_ < paths_.size() && next_ - index < kUdevLookahead) {
      running_.emplace_back(paths_[next_]);
      if (!running_.back().started()) {
        running_.pop_back();
        return;
      }
      ++next_;
    }
  }

  const std::vector<std::string>& paths_;
  std::deque<UdevQuery> running_;  // queries next_ - running_.size() .. next_ - 1
  std::size_t next_ = 0;
};

}  // namespace

std::string device_identity(const DeviceInfo& record) {
  if (!record.usb_path.empty()) return "path:" + record.usb_path;
  if (record.bus_number != 0 && record.device_address != 0) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02x:%02x", record.bus_number, record.device_address);
    return std::string("busdev:") + text;
  }
  if (!record.serial.empty()) return "serial:" + ascii_lower(record.serial);
  return "node:" + record.video_node;
}

bool node_preferred(const ScanCandidate& challenger, const ScanCandidate& holder) {
  int a = kind_rank(challenger.kind);
  int b = kind_rank(holder.kind);
  if (a != b) return a < b;
  if (challenger.video_index != holder.video_index) return challenger.video_index < holder.video_index;
  return challenger.record.video_node < holder.record.video_node;
}

void merge_candidate(ScanCandidate& existing, const ScanCandidate& incoming) {
  if (node_preferred(incoming, existing)) {
    existing.record.video_node = incoming.record.video_node;
    existing.kind = incoming.kind;
    existing.video_index = incoming.video_index;
  }
  DeviceInfo& e = existing.record;
  const DeviceInfo& n = incoming.record;
  if (e.usb_path.empty()) e.usb_path = n.usb_path;
  if (e.serial.empty()) e.serial = n.serial;
  if (e.vendor.empty()) e.vendor = n.vendor;
  if (e.model.empty()) e.model = n.model;
  if (e.bus_number == 0) e.bus_number = n.bus_number;
  if (e.device_address == 0) e.device_address = n.device_address;
}

std::optional<DeviceInfo> record_from_udev(const std::string& node_path, const UdevProperties& udev) {
  DeviceInfo record;
  record.video_node = node_path;
  record.usb_path = udev_property(udev, "ID_PATH");
  record.model = udev_property(udev, "ID_MODEL");
  record.vendor = udev_property(udev, "ID_VENDOR");
  if (record.vendor.empty()) record.vendor = udev_property(udev, "ID_VENDOR_FROM_DATABASE");
  record.serial = udev_property(udev, "ID_SERIAL_SHORT");
  if (record.serial.empty()) record.serial = udev_property(udev, "ID_SERIAL");
  std::optional<std::uint16_t> vid = parse_hex_u16(udev_property(udev, "ID_VENDOR_ID"));
  std::optional<std::uint16_t> pid = parse_hex_u16(udev_property(udev, "ID_MODEL_ID"));
  if (!vid || !pid) return std::nullopt;
  record.vid = *vid;
  record.pid = *pid;
  const std::string& devpath = udev_property(udev, "DEVPATH");
  if (!devpath.empty()) read_usb_bus_address(devpath, record.bus_number, record.device_address);
  return record;
}

bool filter_passes(const DeviceScanFilter& filter, const DeviceInfo& record) {
  if (filter.vid && *filter.vid != record.vid) return false;
  if (filter.pid && *filter.pid != record.pid) return false;
  if (filter.require_serial && record.serial.empty()) return false;
  return true;
}

bool record_before(const DeviceInfo& a, const DeviceInfo& b) {
  std::int32_t ia = parse_video_index(a.video_node);
  std::int32_t ib = parse_video_index(b.video_node);
  if (ia != ib) return ia < ib;
  if (a.video_node != b.video_node) return a.video_node < b.video_node;
  if (a.vid != b.vid) return a.vid < b.vid;
  return a.pid < b.pid;
}

std::vector<DeviceInfo> finish_scan(std::vector<ScanCandidate> candidates) {
  std::sort(candidates.begin(), candidates.end(),
            [](const ScanCandidate& a, const ScanCandidate& b) { return record_before(a.record, b.record); });
  std::vector<DeviceInfo> devices;
  devices.reserve(candidates.size());
  for (ScanCandidate& candidate : candidates) {
    devices.push_back(std::move(candidate.record));
    if (candidate.kind == NodeKind::capture && candidate.video_index != kNoVideoIndex) {
      devices.back().opencv_indices[OpenCvBackend::v4l2] = candidate.video_index;
      devices.back().opencv_indices[OpenCvBackend::gstreamer] = candidate.video_index;
    }
  }
  return devices;
}

std::optional<NodeCandidate> node_candidate(const std::string& node_path, const UdevProperties& udev,
                                            const DeviceScanFilter& filter,
                                            const std::unordered_set<std::string>& supported) {
  std::optional<DeviceInfo> record = record_from_udev(node_path, udev);
  if (!record || !filter_passes(filter, *record)) return std::nullopt;
  if (supported.count(vid_pid_text(record->vid, record->pid)) == 0) return std::nullopt;
  ScanCandidate candidate{std::move(*record), probe_node_kind(node_path), parse_video_index(node_path)};
  return NodeCandidate{std::move(candidate), udev_property(udev, "DEVPATH")};
}

Result<std::vector<NodeCandidate>> node_candidates(const DeviceScanFilter& filter) {
  platform::Platform& os = platform::current();
  const std::unordered_set<std::string> supported = supported_pair_set();

  if (!os.path_exists(kDevDirectory)) {
    return Result<std::vector<NodeCandidate>>::failure(ErrorCode::io_error, "/dev not found");
  }
  std::vector<std::string> names;
  if (!os.list_directory(kDevDirectory, names)) {
    return Result<std::vector<NodeCandidate>>::failure(ErrorCode::io_error, "failed to iterate /dev");
  }
  std::vector<std::string> node_paths;
  for (const std::string& name : names) {
    if (is_video_node_name(name)) node_paths.push_back(std::string(kDevDirectory) + "/" + name);
  }

  UdevQueries queries(node_paths);
  std::vector<NodeCandidate> nodes;
  for (std::size_t i = 0; i < node_paths.size(); ++i) {
    std::optional<UdevProperties> udev = queries.take(i);
    if (!udev) continue;
    std::optional<NodeCandidate> node = node_candidate(node_paths[i], *udev, filter, supported);
    if (node) nodes.push_back(std::move(*node));
  }
  return Result<std::vector<NodeCandidate>>::success(std::move(nodes));
}

std::vector<ScanCandidate> fold_candidates(std::vector<NodeCandidate> nodes) {
  std::vector<ScanCandidate> candidates;
  std::unordered_map<std::string, std::size_t> positions;
  for (NodeCandidate& node : nodes) {
    std::string identity = device_identity(node.candidate.record);
    auto [it, inserted] = positions.emplace(std::move(identity), candidates.size());
    if (inserted) {
      candidates.push_back(std::move(node.candidate));
    } else {
      merge_candidate(candidates[it->second], node.candidate);
    }
  }
  return candidates;
}

}  // namespace discovery

Result<std::vector<DeviceInfo>> scan_devices(const DeviceScanFilter& filter) {
  using namespace discovery;
  Result<std::vector<NodeCandidate>> nodes = node_candidates(filter);
  if (!nodes.ok()) return Result<std::vector<DeviceInfo>>::forward(nodes);
  return Result<std::vector<DeviceInfo>>::success(finish_scan(fold_candidates(std::move(*nodes.value))));
}

Result<std::vector<DeviceInfo>> scan_devices() { return scan_devices(DeviceScanFilter{}); }

}  // namespace morvane::uvc_stereo
