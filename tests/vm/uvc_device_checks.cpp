// The virtual camera as a UVC device: what a host driver reads from its
// descriptors and how its control requests reach the camera model.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "emulator/usbredir/uvc_device.hpp"
#include "emulator/virtual_camera.hpp"

namespace morvane::emulator::usbredir {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }

struct Rig {
  explicit Rig(CameraConfig config = {}) : camera(config, clock), uvc(camera) {}
  ControlOutcome in(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                    std::uint16_t length) {
    return uvc.control(Setup{type, request, value, index, length}, {});
  }
  ControlOutcome out(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     const Bytes& payload) {
    return uvc.control(Setup{type, request, value, index, static_cast<std::uint16_t>(payload.size())}, payload);
  }
  VirtualClock clock;
  VirtualCamera camera;
  UvcDevice uvc;
};

// The class-specific descriptors of the configuration, by subtype, with the
// extension units by id.
struct ParsedConfiguration {
  std::size_t total = 0;
  std::size_t walked = 0;
  std::map<std::uint8_t, Bytes> vc;  // VC subtype -> descriptor (units: see xu)
  std::map<std::uint8_t, Bytes> xu;  // unit id -> descriptor
  Bytes vs_header, format, frame, endpoint, iad;
  std::size_t vc_class_bytes = 0;
  std::size_t vs_class_bytes = 0;
};

ParsedConfiguration parse(const Bytes& d) {
  ParsedConfiguration p;
  p.total = le16(d, 2);
  int interface = -1;
  std::size_t at = 0;
  while (at + 2 <= d.size() && d[at] >= 2 && at + d[at] <= d.size()) {
    const Bytes desc(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + d[at]));
    if (desc[1] == 0x04) interface = desc[2];
    if (desc[1] == 0x0B) p.iad = desc;
    if (desc[1] == 0x05) p.endpoint = desc;
    if (desc[1] == 0x24 && interface == 0) {
      p.vc_class_bytes += desc.size();
      if (desc[2] == 0x06) {
        p.xu[desc[3]] = desc;
      } else {
        p.vc[desc[2]] = desc;
      }
    }
    if (desc[1] == 0x24 && interface == 1) {
      p.vs_class_bytes += desc.size();
      if (desc[2] == 0x01) p.vs_header = desc;
      if (desc[2] == 0x04) p.format = desc;
      if (desc[2] == 0x05) p.frame = desc;
    }
    at += d[at];
    p.walked = at;
  }
  return p;
}

TEST(UvcDeviceDescriptors, DeviceAndStringsCarryTheConfiguredIdentity) {
  CameraConfig config;
  config.vid = 0x1234;
  config.pid = 0xabcd;
  config.serial = "SER-9";
  config.vendor = "Acme";
  Rig rig(config);
  const Bytes dev = rig.uvc.device_descriptor();
  ASSERT_EQ(dev.size(), 18u);
  EXPECT_EQ(dev[0], 18);
  EXPECT_EQ(dev[4], 0xEF);  // interface association device class
  EXPECT_EQ(le16(dev, 8), 0x1234);
  EXPECT_EQ(le16(dev, 10), 0xabcd);
  EXPECT_EQ(dev[17], 1);  // one configuration

  EXPECT_EQ(rig.uvc.string_descriptor(3), (Bytes{12, 3, 'S', 0, 'E', 0, 'R', 0, '-', 0, '9', 0}));
  EXPECT_EQ(rig.uvc.string_descriptor(1), (Bytes{10, 3, 'A', 0, 'c', 0, 'm', 0, 'e', 0}));
  EXPECT_EQ(rig.uvc.string_descriptor(0), (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_TRUE(rig.uvc.string_descriptor(7).empty());

  // Through the control endpoint: a short read is cut, an unknown string stalls.
  const ControlOutcome head = rig.in(0x80, 0x06, 0x0200, 0, 9);
  ASSERT_EQ(head.kind, ControlOutcome::data);
  ASSERT_EQ(head.reply.size(), 9u);
  EXPECT_EQ(le16(head.reply, 2), rig.uvc.configuration_descriptor().size());
  EXPECT_EQ(rig.in(0x80, 0x06, 0x0307, 0x0409, 255).kind, ControlOutcome::stall);
  EXPECT_EQ(rig.in(0x80, 0x06, 0x0F00, 0, 5).kind, ControlOutcome::stall);  // no BOS on a USB 2.0 device
}

TEST(UvcDeviceDescriptors, ConfigurationIsConsistentAndOffersTheVendorSelectors) {
  Rig rig;  // vendor controls on unit 3, IMU on unit 4
  const Bytes d = rig.uvc.configuration_descriptor();
  const ParsedConfiguration p = parse(d);
  EXPECT_EQ(p.total, d.size());
  EXPECT_EQ(p.walked, d.size()) << "descriptor lengths do not tile the configuration";
  ASSERT_EQ(p.iad.size(), 8u);
  EXPECT_EQ(p.iad[3], 2);  // two interfaces

  ASSERT_TRUE(p.vc.count(0x01));
  EXPECT_EQ(le16(p.vc.at(0x01), 3), 0x0100);  // UVC 1.00
  EXPECT_EQ(le16(p.vc.at(0x01), 5), p.vc_class_bytes);
  ASSERT_TRUE(p.xu.count(3) && p.xu.count(4));
  const std::uint16_t unit3 = le16(p.xu.at(3), 24);
  const std::uint16_t unit4 = le16(p.xu.at(4), 24);
  EXPECT_EQ(unit3, (1u << 0) | (1u << 2) | (1u << 3) | (1u << 5));  // selectors 1, 3, 4, 6
  EXPECT_EQ(unit4, 1u << 9);                                        // selector 10 only
  EXPECT_EQ(p.xu.at(3)[20], 4);                                     // bNumControls
  EXPECT_EQ(p.xu.at(4)[22], 3);                                     // unit 4 takes its input from unit 3
  ASSERT_TRUE(p.vc.count(0x03));
  EXPECT_EQ(p.vc.at(0x03)[7], 4);  // the output terminal's source

  ASSERT_EQ(p.vs_header.size(), 14u);
  EXPECT_EQ(le16(p.vs_header, 4), p.vs_class_bytes);
  EXPECT_EQ(p.vs_header[6], kStreamingEndpoint);
  ASSERT_EQ(p.format.size(), 27u);
  EXPECT_EQ(Bytes(p.format.begin() + 5, p.format.begin() + 9), (Bytes{'Y', 'U', 'Y', '2'}));
  ASSERT_EQ(p.frame.size(), 30u);
  EXPECT_EQ(le16(p.frame, 5), 640);
  EXPECT_EQ(le16(p.frame, 7), 480);
  ASSERT_EQ(p.endpoint.size(), 7u);
  EXPECT_EQ(p.endpoint[3], 0x02);  // bulk
  EXPECT_EQ(le16(p.endpoint, 4), kBulkMaxPacket);
}

TEST(UvcDeviceDescriptors, UnitListFollowsTheCamera) {
  CameraConfig only4;
  only4.vendor_units = {4};
  Rig a(only4);
  const ParsedConfiguration p = parse(a.uvc.configuration_descriptor());
  EXPECT_FALSE(p.xu.count(3));
  ASSERT_TRUE(p.xu.count(4));
  EXPECT_EQ(le16(p.xu.at(4), 24), (1u << 0) | (1u << 2) | (1u << 3) | (1u << 5) | (1u << 9));
  EXPECT_EQ(p.xu.at(4)[22], 1);  // straight from the camera terminal
  EXPECT_EQ(le16(p.vc.at(0x01), 5), p.vc_class_bytes);

  CameraConfig no_imu;
  no_imu.imu.present = false;
  Rig b(no_imu);
  const ParsedConfiguration q = parse(b.uvc.configuration_descriptor());
  ASSERT_TRUE(q.xu.count(4));
  EXPECT_EQ(le16(q.xu.at(4), 24), 0);
  EXPECT_EQ(q.xu.at(4)[20], 0);
}

TEST(UvcDeviceRequests, ExtensionUnitRequestsReachTheModel) {
  Rig rig;
  // Register read: SET_CUR posts it, GET_CUR returns the chip id.
  ASSERT_EQ(rig.out(0x21, 0x01, 0x0100, 0x0300, {0x1F, 0x10, 0x00, 0xFF}).kind, ControlOutcome::data);
  const ControlOutcome chip = rig.in(0xA1, 0x81, 0x0100, 0x0300, 4);
  ASSERT_EQ(chip.kind, ControlOutcome::data);
  ASSERT_EQ(chip.reply.size(), 4u);
  EXPECT_EQ(chip.reply[2], rig.camera.config().chip_id);

  // The IMU on unit 4: the length and info the driver asks first, then a sample.
  const ControlOutcome len = rig.in(0xA1, 0x85, 0x0A00, 0x0400, 2);
  ASSERT_EQ(len.kind, ControlOutcome::data);
  EXPECT_EQ(len.reply, (Bytes{17, 0}));
  EXPECT_EQ(rig.in(0xA1, 0x86, 0x0A00, 0x0400, 1).kind, ControlOutcome::data);
  const auto expected = encode_imu_sample(rig.camera.next_imu_sample_preview());
  const ControlOutcome sample = rig.in(0xA1, 0x81, 0x0A00, 0x0400, 17);
  ASSERT_EQ(sample.kind, ControlOutcome::data);
  EXPECT_EQ(sample.reply, Bytes(expected.begin(), expected.end()));
  EXPECT_EQ(rig.camera.imu_samples_served(), 1u);

  // A vendor selector on unit 4 of a unit-3 camera stalls, and the
  // interface's error code control then reports an invalid control.
  EXPECT_EQ(rig.in(0xA1, 0x81, 0x0100, 0x0400, 4).kind, ControlOutcome::stall);
  const ControlOutcome code = rig.in(0xA1, 0x81, 0x0200, 0x0000, 1);
  ASSERT_EQ(code.kind, ControlOutcome::data);
  EXPECT_EQ(code.reply, Bytes{0x06});
  // Requests to the camera terminal and unknown interfaces stall too.
  EXPECT_EQ(rig.in(0xA1, 0x81, 0x0200, 0x0100, 1).kind, ControlOutcome::stall);
  EXPECT_EQ(rig.in(0xA1, 0x81, 0x0100, 0x0302, 4).kind, ControlOutcome::stall);
}

TEST(UvcDeviceRequests, ProbeAndCommitSettleOnTheOnlyFormat) {
  Rig rig;
  const ControlOutcome def = rig.in(0xA1, 0x87, 0x0100, 0x0001, 26);
  ASSERT_EQ(def.kind, ControlOutcome::data);
  ASSERT_EQ(def.reply.size(), 26u);
  EXPECT_EQ(def.reply[2], 1);
  EXPECT_EQ(def.reply[3], 1);
  EXPECT_EQ(rig.in(0xA1, 0x85, 0x0100, 0x0001, 2).reply, (Bytes{26, 0}));

  Bytes ask(26, 0);
  ask[2] = 5;  // a format the device does not have
  ask[3] = 9;
  ASSERT_EQ(rig.out(0x21, 0x01, 0x0100, 0x0001, ask).kind, ControlOutcome::data);
  const ControlOutcome cur = rig.in(0xA1, 0x81, 0x0100, 0x0001, 26);
  ASSERT_EQ(cur.kind, ControlOutcome::data);
  EXPECT_EQ(cur.reply[2], 1);
  EXPECT_EQ(cur.reply[3], 1);
  EXPECT_EQ(cur.reply[18] | cur.reply[19] << 8 | cur.reply[20] << 16, 640 * 480 * 2);
  EXPECT_FALSE(rig.uvc.streaming_committed());
  ASSERT_EQ(rig.out(0x21, 0x01, 0x0200, 0x0001, cur.reply).kind, ControlOutcome::data);
  EXPECT_TRUE(rig.uvc.streaming_committed());

  EXPECT_EQ(rig.out(0x21, 0x01, 0x0100, 0x0001, Bytes(10, 0)).kind, ControlOutcome::stall);
  EXPECT_EQ(rig.in(0xA1, 0x81, 0x0300, 0x0001, 26).kind, ControlOutcome::stall);
  rig.uvc.reset_uvc_state();
  EXPECT_FALSE(rig.uvc.streaming_committed());
}

TEST(UvcDeviceRequests, HarnessUnplugsAtTheRequestedExtensionUnitRequest) {
  Rig rig;
  ASSERT_EQ(rig.out(0x40, kHarnessRequest, 2, 3, {}).kind, ControlOutcome::data);
  EXPECT_EQ(rig.in(0xA1, 0x85, 0x0300, 0x0300, 2).kind, ControlOutcome::data);
  EXPECT_EQ(rig.in(0xA1, 0x85, 0x0300, 0x0300, 2).kind, ControlOutcome::data);
  EXPECT_EQ(rig.in(0xA1, 0x85, 0x0300, 0x0300, 2).kind, ControlOutcome::gone);
  EXPECT_FALSE(rig.camera.attached());
  // A plan for zero requests and unknown commands are refused.
  EXPECT_EQ(rig.out(0x40, kHarnessRequest, 2, 0, {}).kind, ControlOutcome::stall);  // zero requests is no plan
  EXPECT_EQ(rig.out(0x40, kHarnessRequest, 77, 0, {}).kind, ControlOutcome::stall);
  EXPECT_FALSE(rig.uvc.take_unplug_request());
  ASSERT_EQ(rig.out(0x40, kHarnessRequest, 3, 0, {}).kind, ControlOutcome::data);
  EXPECT_TRUE(rig.uvc.take_unplug_request());
  EXPECT_FALSE(rig.uvc.take_unplug_request());
  ASSERT_EQ(rig.out(0x40, kHarnessRequest, 1, 0, {}).kind, ControlOutcome::data);
  EXPECT_TRUE(rig.uvc.take_save_request());
}

}  // namespace
}  // namespace morvane::emulator::usbredir
