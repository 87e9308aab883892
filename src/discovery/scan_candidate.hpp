// The working record of one camera during a scan, and the rules that fold the
// video nodes of one camera together.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "scan_candidate.hpp is internal to the SDK"
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "discovery/video_nodes.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo::discovery {

struct ScanCandidate {
  DeviceInfo record;
  NodeKind kind = NodeKind::undetermined;    // of the node named in record.video_node
  std::int32_t video_index = kNoVideoIndex;  // of that node
};

// A DeviceInfo from one node's udev properties: texts as reported, vid/pid
// parsed from ID_VENDOR_ID/ID_MODEL_ID (nothing when either is not valid hex
// of at most 0xFFFF), bus number and address from sysfs when DEVPATH is set.
std::optional<DeviceInfo> record_from_udev(const std::string& node_path, const UdevProperties& udev);

// True when the record passes the caller's vid, pid and serial conditions.
bool filter_passes(const DeviceScanFilter& filter, const DeviceInfo& record);

// "path:<usb_path>", "busdev:%02x:%02x", "serial:<lower-cased serial>" or
// "node:<video_node>", the first that applies.
std::string device_identity(const DeviceInfo& record);

// True when `challenger`'s node should name the camera instead of `holder`'s:
// capture over undetermined over no_capture, then the smaller index, then the
// smaller node path.
bool node_preferred(const ScanCandidate& challenger, const ScanCandidate& holder);

// Folds `incoming` into `existing`: the preferred node wins; empty texts and
// zero numbers of `existing` take the incoming values; vid, pid stay.
void merge_candidate(ScanCandidate& existing, const ScanCandidate& incoming);

// One video node that passed every per-node step, with the sysfs path udev
// gave for it (DEVPATH, may be empty).
struct NodeCandidate {
  ScanCandidate candidate;
  std::string devpath;
};

// The per-node steps of a scan for one node and its udev properties: the
// record, the caller's filter, the supported-pair test, then the capability
// probe and the node's index. Nothing when the node drops out.
std::optional<NodeCandidate> node_candidate(const std::string& node_path, const UdevProperties& udev,
                                            const DeviceScanFilter& filter,
                                            const std::unordered_set<std::string>& supported);

// Every video node in /dev that passes, in listing order, not folded yet.
// Fails with io_error "/dev not found" or "failed to iterate /dev".
Result<std::vector<NodeCandidate>> node_candidates(const DeviceScanFilter& filter);

// Folds the nodes of each camera (same device_identity) into one candidate,
// cameras in the order in which they were first met.
std::vector<ScanCandidate> fold_candidates(std::vector<NodeCandidate> nodes);

// The order of scan results: node index, node path, vid, pid.
bool record_before(const DeviceInfo& a, const DeviceInfo& b);

// Sorts by node index, node path, vid, pid and sets the OpenCV indices of the
// records whose node captures and has an index.
std::vector<DeviceInfo> finish_scan(std::vector<ScanCandidate> candidates);

}  // namespace morvane::uvc_stereo::discovery
