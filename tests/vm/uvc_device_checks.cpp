// The virtual camera as a UVC device: what a host driver reads from its
// descriptors and how its control requests reach the camera model.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include <turbojpeg.h>

#include "tests/vm/uvc_device_rig.hpp"

namespace morvane::emulator::usbredir {
namespace {

using namespace rig;

// The class-specific descriptors of the configuration, by subtype, with the
// extension units by id.
struct ParsedConfiguration {
  std::size_t total = 0;
  std::size_t walked = 0;
  std::map<std::uint8_t, Bytes> vc;  // VC subtype -> descriptor (units: see xu)
  std::map<std::uint8_t, Bytes> xu;  // unit id -> descriptor
  Bytes vs_header, endpoint, iad;
  std::vector<Bytes> formats;              // format descriptors, in order
  std::vector<std::vector<Bytes>> frames;  // each format's frame descriptors
  std::size_t stray_frames = 0;            // frame descriptors before any format
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
      if (desc[2] == 0x04 || desc[2] == 0x06) {
        p.formats.push_back(desc);
        p.frames.emplace_back();
      }
      if (desc[2] == 0x05 || desc[2] == 0x07) {
        if (p.frames.empty()) {
          ++p.stray_frames;
        } else {
          p.frames.back().push_back(desc);
        }
      }
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

  EXPECT_EQ(le32(p.vc.at(0x01), 7), kDeviceClockHz);  // the clock PTS and SCR count

  // The streaming interface's input header: bLength 13 + bNumFormats *
  // bControlSize, and the total length of its class-specific descriptors.
  ASSERT_GE(p.vs_header.size(), 13u);
  EXPECT_EQ(p.vs_header[3], 2);  // bNumFormats
  EXPECT_EQ(p.vs_header.size(), 13u + p.vs_header[3] * p.vs_header[12]);
  EXPECT_EQ(le16(p.vs_header, 4), p.vs_class_bytes);
  EXPECT_EQ(p.vs_header[6], kStreamingEndpoint);
  EXPECT_EQ(p.stray_frames, 0u);
  ASSERT_EQ(p.formats.size(), p.vs_header[3]);
  // Each format as a host reads it: format 1 uncompressed YUY2 (the frame's
  // size is its pixels' bytes), format 2 Motion-JPEG (variable-size frames;
  // the largest is libjpeg-turbo's worst case for 4:2:2, what a host must
  // size its buffers for), each with every frame size and interval.
  struct Format {
    std::uint8_t subtype, length, frame_subtype;
    std::uint32_t (*largest)(const FrameSize&);
  };
  const Format formats[] = {
      {0x04, 27, 0x05, [](const FrameSize& f) { return f.width * f.height * 2u; }},
      {0x06, 11, 0x07,
       [](const FrameSize& f) { return static_cast<std::uint32_t>(tjBufSize(f.width, f.height, TJSAMP_422)); }},
  };
  for (std::size_t k = 0; k < p.formats.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "format " << k + 1);
    const Bytes& format = p.formats[k];
    ASSERT_EQ(format[2], formats[k].subtype);
    ASSERT_EQ(format.size(), formats[k].length);
    EXPECT_EQ(format[3], k + 1);                 // bFormatIndex
    EXPECT_EQ(format[4], frame_sizes().size());  // bNumFrameDescriptors
    EXPECT_EQ(p.frames[k].size(), format[4]);
    if (k == 0) {
      EXPECT_EQ(Bytes(format.begin() + 5, format.begin() + 9), (Bytes{'Y', 'U', 'Y', '2'}));
      EXPECT_EQ(format[21], 16);                  // bBitsPerPixel
      EXPECT_EQ(format[22], kDefaultFrameIndex);  // bDefaultFrameIndex
    } else {
      EXPECT_EQ(format[5], 0);                   // bmFlags: no fixed-size samples
      EXPECT_EQ(format[6], kDefaultFrameIndex);  // bDefaultFrameIndex
    }
    for (std::size_t i = 0; i < p.frames[k].size() && i < frame_sizes().size(); ++i) {
      const Bytes& f = p.frames[k][i];
      const FrameSize& want = frame_sizes()[i];
      SCOPED_TRACE(testing::Message() << "frame " << i + 1);
      ASSERT_EQ(f[2], formats[k].frame_subtype);
      ASSERT_EQ(f.size(), 26u + 4 * want.intervals.size());
      EXPECT_EQ(f[3], i + 1);  // bFrameIndex
      EXPECT_EQ(le16(f, 5), want.width);
      EXPECT_EQ(le16(f, 7), want.height);
      EXPECT_EQ(le32(f, 17), formats[k].largest(want));  // dwMaxVideoFrameBufferSize
      EXPECT_LE(le32(f, 9), le32(f, 13));                // dwMinBitRate <= dwMaxBitRate
      EXPECT_EQ(le32(f, 21), want.intervals.front());    // dwDefaultFrameInterval
      ASSERT_EQ(f[25], want.intervals.size());
      for (std::size_t n = 0; n < want.intervals.size(); ++n) EXPECT_EQ(le32(f, 26 + 4 * n), want.intervals[n]);
    }
  }
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

TEST(UvcDeviceRequests, ProbeAndCommitSettleOnWhatTheDescriptorsAnnounce) {
  Rig rig;
  const ControlOutcome def = rig.in(0xA1, 0x87, 0x0100, 0x0001, 26);
  ASSERT_EQ(def.kind, ControlOutcome::data);
  ASSERT_EQ(def.reply.size(), 26u);
  EXPECT_EQ(def.reply[2], 1);
  EXPECT_EQ(def.reply[3], kDefaultFrameIndex);
  EXPECT_EQ(rig.in(0xA1, 0x85, 0x0100, 0x0001, 2).reply, (Bytes{26, 0}));

  Bytes ask(26, 0);
  ask[2] = 5;  // a format the device does not have
  ask[3] = 9;
  ASSERT_EQ(rig.out(0x21, 0x01, 0x0100, 0x0001, ask).kind, ControlOutcome::data);
  const ControlOutcome cur = rig.in(0xA1, 0x81, 0x0100, 0x0001, 26);
  ASSERT_EQ(cur.kind, ControlOutcome::data);
  EXPECT_EQ(cur.reply[2], 1);
  EXPECT_EQ(cur.reply[3], kDefaultFrameIndex);
  const FrameSize& def_frame = frame_sizes()[kDefaultFrameIndex - 1];
  EXPECT_EQ(le32(cur.reply, 18), def_frame.width * def_frame.height * 2u);
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

// ---- video

TEST(UvcDeviceVideo, ProbeSettlesOnAnnouncedFramesAndIntervals) {
  struct Case {
    std::uint8_t format, frame;
    std::uint32_t interval;
    std::uint8_t want_format, want_frame;
    std::uint32_t want_interval;
  };
  const Case cases[] = {
      {1, 1, 1000000, 1, 1, 1000000},  // exactly what frame 1 offers
      {1, 1, 0, 1, 1, 1000000},        // no preference: the shortest
      {1, 1, 1600000, 1, 1, 2000000},  // nearest of 1000000 and 2000000
      {1, 1, 1400000, 1, 1, 1000000},
      {1, 2, 700000, 1, 2, 666666},
      {1, 2, 50000000, 1, 2, 1000000},                // longer than any: the longest
      {1, 9, 666666, 1, kDefaultFrameIndex, 666666},  // no such frame: the default one
      {1, 0, 1000000, 1, kDefaultFrameIndex, 1000000},
      {2, 1, 1600000, 2, 1, 2000000},  // Motion-JPEG: the same frames and intervals
      {2, 2, 0, 2, 2, 666666},
      {2, 9, 50000000, 2, kDefaultFrameIndex, 1000000},
      {7, 1, 2000000, 1, 1, 2000000},  // no such format: YUYV
      {0, 2, 1000000, 1, 2, 1000000},
  };
  for (const Case& c : cases) {
    Rig rig;
    SCOPED_TRACE(testing::Message() << "format " << int(c.format) << " frame " << int(c.frame) << " interval "
                                    << c.interval);
    ASSERT_EQ(rig.out(0x21, 0x01, 0x0100, 0x0001, probe_asking(c.format, c.frame, c.interval)).kind,
              ControlOutcome::data);
    const ControlOutcome cur = rig.in(0xA1, 0x81, 0x0100, 0x0001, 26);
    ASSERT_EQ(cur.kind, ControlOutcome::data);
    const FrameSize& f = frame_sizes()[c.want_frame - 1];
    EXPECT_EQ(le16(cur.reply, 0), 0x01);  // the hint comes back
    EXPECT_EQ(cur.reply[2], c.want_format);
    EXPECT_EQ(cur.reply[3], c.want_frame);
    EXPECT_EQ(le32(cur.reply, 4), c.want_interval);
    // dwMaxVideoFrameSize: a YUYV frame's bytes, or the largest JPEG the
    // encoder can make of the picture.
    EXPECT_EQ(le32(cur.reply, 18), c.want_format == 1
                                       ? f.width * f.height * 2u
                                       : static_cast<std::uint32_t>(tjBufSize(f.width, f.height, TJSAMP_422)));
    EXPECT_EQ(le32(cur.reply, 22), kMaxPayloadTransferSize);
    // GET_MIN and GET_MAX bound the interval of the format and frame being
    // probed.
    for (std::uint8_t request : {std::uint8_t{0x82}, std::uint8_t{0x83}}) {
      const Bytes limit = rig.in(0xA1, request, 0x0100, 0x0001, 26).reply;
      ASSERT_EQ(limit.size(), 26u);
      EXPECT_EQ(limit[2], c.want_format);
      EXPECT_EQ(limit[3], c.want_frame);
      EXPECT_EQ(le32(limit, 4), request == 0x82 ? f.intervals.front() : f.intervals.back());
      EXPECT_EQ(le32(limit, 18), le32(cur.reply, 18));
    }
    // A commit of what the probe settled on streams that format.
    ASSERT_EQ(rig.out(0x21, 0x01, 0x0200, 0x0001, cur.reply).kind, ControlOutcome::data);
    ASSERT_EQ(rig.uvc.stream_transfer(16384, 1'000'000'000ULL).kind, BulkOutcome::data);
    EXPECT_EQ(rig.uvc.stream().format().format_index, c.want_format);
    EXPECT_EQ(rig.uvc.stream().format().frame_index, c.want_frame);
    EXPECT_EQ(rig.uvc.stream().format().frame_bytes, le32(cur.reply, 18));
    // A UVC 1.1 host's 34-byte structure is settled the same way.
    Bytes longer = probe_asking(c.format, c.frame, c.interval);
    longer.resize(34, 0);
    ASSERT_EQ(rig.out(0x21, 0x01, 0x0100, 0x0001, longer).kind, ControlOutcome::data);
    EXPECT_EQ(rig.in(0xA1, 0x81, 0x0100, 0x0001, 34).reply, [&] {
      Bytes b = cur.reply;
      b.resize(34, 0);
      return b;
    }());
  }
}

TEST(UvcDeviceVideo, AnyTransferSizeCarriesWholeFramesWithConsistentHeaders) {
  // Transfer sizes a host may use: the negotiated payload, smaller ones that
  // split payloads (some dividing a payload exactly, which needs a
  // zero-length packet: 596 divides the last payload of both frame sizes),
  // and a larger one; with the default payload size, and with payloads
  // larger than the host's transfers (a payload of 40000 bytes ends inside
  // the third 16 KiB transfer; one of 307212 holds a whole frame), which
  // then begin and end inside payloads.
  for (std::uint32_t max_payload : {kMaxPayloadTransferSize, std::uint32_t{40000}, std::uint32_t{307212}}) {
    for (std::size_t length :
         {std::size_t{16384}, std::size_t{4096}, std::size_t{512}, std::size_t{596}, std::size_t{65536}}) {
      for (std::uint8_t frame : {std::uint8_t{1}, std::uint8_t{2}}) {
        SCOPED_TRACE(testing::Message() << "payload " << max_payload << " transfer " << length << " frame "
                                        << int(frame));
        StreamRig rig({}, {}, max_payload);
        const FrameSize& size = frame_sizes()[frame - 1];
        const std::uint32_t interval = size.intervals.front();
        ASSERT_EQ(rig.commit(frame, interval), max_payload);
        HostDecoder host(max_payload);
        std::uint64_t now = 5'000'000'000ULL;
        const std::uint64_t start = now;
        rig.pull(host, length, now, 200'000, 5, now + 2'000'000'000ULL);
        ASSERT_EQ(host.frames.size(), 5u);
        EXPECT_EQ(rig.uvc.stream().frames_dropped(), 0u);
        const std::size_t frame_bytes = size.width * size.height * 2u;
        const std::size_t largest_payload = std::min<std::size_t>(max_payload, frame_bytes + kPayloadHeaderLength);
        EXPECT_EQ(host.transfers_inside_payload > 0, 2 * length < largest_payload);
        for (std::size_t i = 0; i < host.frames.size(); ++i) {
          const HostFrame& f = host.frames[i];
          SCOPED_TRACE(testing::Message() << "frame " << i);
          EXPECT_TRUE(f.eof);
          EXPECT_FALSE(f.header_error);
          ASSERT_EQ(f.data.size(), frame_bytes);
          const std::size_t room = max_payload - kPayloadHeaderLength;
          EXPECT_EQ(f.stc.size(), (frame_bytes + room - 1) / room);  // payloads of the frame
          // PTS: the capture instant on the camera's clock (one tick per bus
          // microsecond here), one interval apart.
          EXPECT_EQ(f.pts, static_cast<std::uint32_t>(start / 1000 + i * interval / 10));
          // SCR: the clock at the SOF of the bus millisecond in which each
          // payload began to leave, with that SOF's number (so the clock
          // reads the millisecond's start); that millisecond is not before
          // the capture's.
          for (std::size_t k = 0; k < f.stc.size(); ++k) {
            const std::uint64_t sof_ms = f.sent_at_ns[k] / 1000000;
            EXPECT_EQ(f.sof[k], sof_ms % 2048);
            EXPECT_EQ(f.stc[k], static_cast<std::uint32_t>(sof_ms * 1000));
            EXPECT_GT(f.stc[k] + 1000, f.pts);
          }
          const PictureFacts facts = read_picture(f.data, size.width, size.height);
          EXPECT_EQ(facts.number, i);
          EXPECT_EQ(facts.complement, ~static_cast<std::uint32_t>(i));
          EXPECT_EQ(facts.pts, f.pts);
          EXPECT_EQ(facts.best_shift, kDisparity);
          EXPECT_EQ(facts.right_mismatches, 0u);
        }
      }
    }
  }
}

// A JPEG as an application decodes it: its size and chroma subsampling, and
// its luma (interleaved with neutral chroma, as YUYV) for read_picture.
struct DecodedJpeg {
  bool ok = false;
  int width = 0, height = 0, subsampling = -1;
  Bytes yuyv;
};

DecodedJpeg decode_jpeg(const Bytes& jpeg) {
  DecodedJpeg d;
  tjhandle h = tjInitDecompress();
  if (h == nullptr) return d;
  auto* data = const_cast<unsigned char*>(jpeg.data());
  int colorspace = 0;
  if (tjDecompressHeader3(h, data, jpeg.size(), &d.width, &d.height, &d.subsampling, &colorspace) == 0 &&
      d.subsampling == TJSAMP_422) {
    Bytes y(static_cast<std::size_t>(d.width) * d.height), u(y.size() / 2), v(y.size() / 2);
    unsigned char* planes[3] = {y.data(), u.data(), v.data()};
    int strides[3] = {d.width, d.width / 2, d.width / 2};
    if (tjDecompressToYUVPlanes(h, data, jpeg.size(), planes, d.width, strides, d.height, 0) == 0) {
      d.yuyv.resize(y.size() * 2);
      for (std::size_t i = 0; i < y.size(); ++i) {
        d.yuyv[2 * i] = y[i];
        d.yuyv[2 * i + 1] = 128;
      }
      d.ok = true;
    }
  }
  tjDestroy(h);
  return d;
}

TEST(UvcDeviceVideo, MjpegFramesAreWholeJpegsOfThePictureWithTheHeadersPts) {
  // Motion-JPEG in the same payloads: with the default payload size and
  // payloads longer than the host's transfers, with transfers that split
  // payloads. Each frame is one JPEG (SOI to EOI) no longer than the
  // committed dwMaxVideoFrameSize, 4:2:2 at the committed size; its bands
  // read the frame number, its complement and the PTS its payload headers
  // carry, and the right eye is the left one shifted (the disparity is a
  // whole number of the encoder's 16-pixel blocks, so the shifted blocks
  // decode alike). The frames' lengths differ with their content.
  for (std::uint32_t max_payload : {kMaxPayloadTransferSize, std::uint32_t{40000}}) {
    for (std::size_t length : {std::size_t{16384}, std::size_t{596}}) {
      for (std::uint8_t frame : {std::uint8_t{1}, std::uint8_t{2}}) {
        SCOPED_TRACE(testing::Message() << "payload " << max_payload << " transfer " << length << " frame "
                                        << int(frame));
        StreamRig rig({}, {}, max_payload);
        const FrameSize& size = frame_sizes()[frame - 1];
        const std::uint32_t interval = size.intervals.front();
        ASSERT_EQ(rig.commit(frame, interval, kFormatMjpeg), max_payload);
        const Bytes committed = rig.in(0xA1, 0x81, 0x0200, 0x0001, 26).reply;
        ASSERT_EQ(committed.size(), 26u);
        ASSERT_EQ(committed[2], kFormatMjpeg);
        const std::uint32_t largest = le32(committed, 18);
        HostDecoder host(max_payload);
        std::uint64_t now = 5'000'000'000ULL;
        const std::uint64_t start = now;
        rig.pull(host, length, now, 200'000, 5, now + 2'000'000'000ULL);
        ASSERT_EQ(host.frames.size(), 5u);
        EXPECT_EQ(rig.uvc.stream().frames_dropped(), 0u);
        std::set<std::size_t> lengths;
        for (std::size_t i = 0; i < host.frames.size(); ++i) {
          const HostFrame& f = host.frames[i];
          SCOPED_TRACE(testing::Message() << "frame " << i);
          EXPECT_TRUE(f.eof);
          EXPECT_FALSE(f.header_error);
          ASSERT_GE(f.data.size(), 4u);
          EXPECT_LE(f.data.size(), largest);
          EXPECT_EQ(Bytes(f.data.begin(), f.data.begin() + 2), (Bytes{0xFF, 0xD8}));
          EXPECT_EQ(Bytes(f.data.end() - 2, f.data.end()), (Bytes{0xFF, 0xD9}));
          const std::size_t room = max_payload - kPayloadHeaderLength;
          EXPECT_EQ(f.stc.size(), (f.data.size() + room - 1) / room);  // payloads of the frame
          EXPECT_EQ(f.pts, static_cast<std::uint32_t>(start / 1000 + i * interval / 10));
          lengths.insert(f.data.size());
          const DecodedJpeg jpeg = decode_jpeg(f.data);
          ASSERT_TRUE(jpeg.ok) << "not a 4:2:2 JPEG (subsampling " << jpeg.subsampling << ")";
          ASSERT_EQ(jpeg.width, size.width);
          ASSERT_EQ(jpeg.height, size.height);
          const PictureFacts facts = read_picture(jpeg.yuyv, size.width, size.height);
          EXPECT_EQ(facts.number, i);
          EXPECT_EQ(facts.complement, ~static_cast<std::uint32_t>(i));
          EXPECT_EQ(facts.pts, f.pts);
          EXPECT_EQ(facts.best_shift, kDisparity);
          EXPECT_EQ(facts.right_mismatches, 0u);
        }
        EXPECT_GT(lengths.size(), 1u);
      }
    }
  }
}

TEST(UvcDeviceVideo, NoDataBeforeCommitOrCaptureAndStopRestartAndResize) {
  StreamRig rig;
  std::uint64_t now = 1'000'000'000ULL;
  EXPECT_EQ(rig.uvc.stream_transfer(16384, now).kind, BulkOutcome::nak);  // nothing committed
  EXPECT_FALSE(rig.uvc.stream_due_ns());
  rig.commit(1, 1000000);
  HostDecoder host(kMaxPayloadTransferSize);
  rig.pull(host, 16384, now, 1'000'000, 2, now + 1'000'000'000ULL);
  ASSERT_EQ(host.frames.size(), 2u);
  // Frame 2 is captured 200 ms after the start; until then the device NAKs
  // and says when it will have data.
  const std::uint64_t frame2_ns = 1'200'000'000ULL;
  ASSERT_LT(now, frame2_ns);
  EXPECT_EQ(rig.uvc.stream_transfer(16384, frame2_ns - 1).kind, BulkOutcome::nak);
  ASSERT_TRUE(rig.uvc.stream_due_ns());
  EXPECT_EQ(*rig.uvc.stream_due_ns(), frame2_ns);
  EXPECT_EQ(rig.uvc.stream_transfer(16384, frame2_ns).kind, BulkOutcome::data);

  // The host stops a bulk stream by clearing the endpoint's halt.
  ASSERT_EQ(rig.out(0x02, 0x01, 0x0000, kStreamingEndpoint, {}).kind, ControlOutcome::data);
  EXPECT_FALSE(rig.uvc.streaming_committed());
  EXPECT_EQ(rig.uvc.stream_transfer(16384, frame2_ns + 500'000'000ULL).kind, BulkOutcome::nak);
  // Clearing the halt of an endpoint the device does not have stalls and
  // does not stop it.
  rig.commit(1, 1000000);
  EXPECT_EQ(rig.out(0x02, 0x01, 0x0000, 0x02, {}).kind, ControlOutcome::stall);
  EXPECT_TRUE(rig.uvc.streaming_committed());

  // A new commit at another size restarts the count at frame 0 with the new size.
  rig.commit(2, 666666);
  HostDecoder small(kMaxPayloadTransferSize);
  now = 3'000'000'000ULL;
  rig.pull(small, 16384, now, 1'000'000, 3, now + 1'000'000'000ULL);
  ASSERT_EQ(small.frames.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(small.frames[i].data.size(), 320u * 120u * 2u);
    EXPECT_EQ(read_picture(small.frames[i].data, 320, 120).number, i);
  }
  EXPECT_EQ(small.frames[1].pts - small.frames[0].pts, 66666u);
  // A reset of the device ends the stream.
  rig.uvc.reset_uvc_state();
  EXPECT_EQ(rig.uvc.stream_transfer(16384, now + 1'000'000'000ULL).kind, BulkOutcome::nak);
}

TEST(UvcDeviceVideo, AHostTooSlowLosesFramesItCanSeeAsGaps) {
  // The host asks at a steady pace; a pause longer than the camera's FIFO
  // loses frames, a shorter one loses none.
  for (std::uint64_t pause_frames : {std::uint64_t{1}, VideoStream::kFifoFrames, VideoStream::kFifoFrames + 3}) {
    SCOPED_TRACE(testing::Message() << "pause of " << pause_frames << " frames");
    StreamRig rig;
    rig.commit(2, 1000000);  // 10 fps
    HostDecoder host(kMaxPayloadTransferSize);
    std::uint64_t now = 2'000'000'000ULL;
    rig.pull(host, 16384, now, 1'000'000, 2, UINT64_MAX);
    now += pause_frames * 100'000'000ULL;
    rig.pull(host, 16384, now, 1'000'000, 5, UINT64_MAX);
    ASSERT_EQ(host.frames.size(), 5u);
    std::uint64_t gaps = 0;
    for (std::size_t i = 1; i < host.frames.size(); ++i) {
      const std::uint32_t a = read_picture(host.frames[i - 1].data, 320, 120).number;
      const std::uint32_t b = read_picture(host.frames[i].data, 320, 120).number;
      ASSERT_GT(b, a);
      gaps += b - a - 1;
      // PTS follows the frame number, lost frames included.
      EXPECT_EQ(host.frames[i].pts - host.frames[i - 1].pts, (b - a) * 100000u);
    }
    EXPECT_EQ(gaps, rig.uvc.stream().frames_dropped());
    if (pause_frames <= VideoStream::kFifoFrames) {
      EXPECT_EQ(gaps, 0u);
    } else {
      EXPECT_GT(gaps, 0u);
    }
  }
}

TEST(UvcDeviceVideo, PatternCarriesNumberAndPtsInBothEyes) {
  // Property over frame numbers and sizes: the bands decode to what was
  // rendered, the right eye is the left one shifted by the disparity, and
  // consecutive frames differ outside the bands (a repeated frame shows).
  for (const FrameSize& size : frame_sizes()) {
    Bytes previous;
    for (std::uint32_t n : {0u, 1u, 2u, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu, 12345678u}) {
      Bytes picture(size.width * size.height * 2u);
      render_stereo_frame(picture.data(), size.width, size.height, n, n * 7919u);
      const PictureFacts f = read_picture(picture, size.width, size.height);
      EXPECT_EQ(f.number, n);
      EXPECT_EQ(f.pts, n * 7919u);
      EXPECT_EQ(f.complement, ~n);
      EXPECT_EQ(f.best_shift, kDisparity);
      EXPECT_EQ(f.right_mismatches, 0u);
      if (!previous.empty()) {
        const std::size_t band_bytes = std::size_t{3} * kBitCellRows * size.width * 2;
        EXPECT_NE(Bytes(picture.begin() + band_bytes, picture.end()),
                  Bytes(previous.begin() + band_bytes, previous.end()));
      }
      previous = picture;
    }
  }
}

}  // namespace
}  // namespace morvane::emulator::usbredir
