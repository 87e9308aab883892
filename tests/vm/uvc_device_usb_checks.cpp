// The virtual camera as a USB 2.0 device: the chapter 9 requests a host
// makes beside the video class ones (the other-speed descriptors, status,
// features, configuration and interface settings) and how the streaming
// endpoint answers bulk requests of any length, halted or not.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/vm/uvc_device_rig.hpp"

namespace morvane::emulator::usbredir {
namespace {

using namespace rig;

constexpr std::uint8_t kGetStatus = 0x00, kClearFeature = 0x01, kSetFeature = 0x03, kGetDescriptor = 0x06,
                       kGetConfiguration = 0x08, kSetConfiguration = 0x09, kGetInterface = 0x0A, kSetInterface = 0x0B;

TEST(UvcDeviceChapter9, AHighSpeedDeviceDescribesItselfAtFullSpeed) {
  Rig rig;
  const ControlOutcome qualifier = rig.in(0x80, kGetDescriptor, 0x0600, 0, 64);
  ASSERT_EQ(qualifier.kind, ControlOutcome::data);
  const Bytes device = rig.uvc.device_descriptor();
  // bLength, type 6, then bcdUSB, class, subclass, protocol and
  // bMaxPacketSize0 as the device descriptor has them, one configuration.
  EXPECT_EQ(qualifier.reply, (Bytes{10, 6, device[2], device[3], device[4], device[5], device[6], device[7], 1, 0}));
  EXPECT_EQ(rig.in(0x80, kGetDescriptor, 0x0600, 0, 2).reply, (Bytes{10, 6}));

  const ControlOutcome other = rig.in(0x80, kGetDescriptor, 0x0700, 0, 1024);
  ASSERT_EQ(other.kind, ControlOutcome::data);
  Bytes high = rig.uvc.configuration_descriptor();
  ASSERT_EQ(other.reply.size(), high.size());
  EXPECT_EQ(other.reply[1], 7);
  EXPECT_EQ(le16(other.reply, 2), other.reply.size());
  // The same configuration but for the bulk endpoint's 64-byte packets.
  const std::size_t endpoint = high.size() - 7;
  ASSERT_EQ(high[endpoint + 1], 0x05);
  EXPECT_EQ(le16(other.reply, endpoint + 4), 64);
  high[1] = 7;
  high[endpoint + 4] = 64;
  high[endpoint + 5] = 0;
  EXPECT_EQ(other.reply, high);
  EXPECT_EQ(rig.in(0x80, kGetDescriptor, 0x0701, 0, 1024).kind, ControlOutcome::stall);  // one configuration
}

// One request of a conversation and the device's answer (stall, or data
// with these reply bytes when `reply` is set).
struct Step {
  const char* what;
  std::uint8_t type, request;
  std::uint16_t value, index, length;
  ControlOutcome::Kind kind;
  std::optional<Bytes> reply;
};

TEST(UvcDeviceChapter9, StatusFeaturesAndSettingsFollowTheRecipient) {
  const Step steps[] = {
      {"device status: bus-powered, no remote wakeup", 0x80, kGetStatus, 0, 0, 2, ControlOutcome::data, Bytes{0, 0}},
      {"interface 1 status", 0x81, kGetStatus, 0, 1, 2, ControlOutcome::data, Bytes{0, 0}},
      {"interface 2 does not exist", 0x81, kGetStatus, 0, 2, 2, ControlOutcome::stall, {}},
      {"default pipe status", 0x82, kGetStatus, 0, 0x80, 2, ControlOutcome::data, Bytes{0, 0}},
      {"streaming endpoint status", 0x82, kGetStatus, 0, kStreamingEndpoint, 2, ControlOutcome::data, Bytes{0, 0}},
      {"endpoint 0x01 does not exist", 0x82, kGetStatus, 0, 0x01, 2, ControlOutcome::stall, {}},
      {"no remote wakeup to enable", 0x00, kSetFeature, 1, 0, 0, ControlOutcome::stall, {}},
      {"no test modes", 0x00, kSetFeature, 2, 0x0300, 0, ControlOutcome::stall, {}},
      {"no interface features", 0x01, kSetFeature, 0, 1, 0, ControlOutcome::stall, {}},
      {"halt the streaming endpoint", 0x02, kSetFeature, 0, kStreamingEndpoint, 0, ControlOutcome::data, Bytes{}},
      {"the halt shows", 0x82, kGetStatus, 0, kStreamingEndpoint, 2, ControlOutcome::data, Bytes{1, 0}},
      {"an endpoint the device lacks", 0x02, kSetFeature, 0, 0x82, 0, ControlOutcome::stall, {}},
      {"clear the halt", 0x02, kClearFeature, 0, kStreamingEndpoint, 0, ControlOutcome::data, Bytes{}},
      {"the halt is gone", 0x82, kGetStatus, 0, kStreamingEndpoint, 2, ControlOutcome::data, Bytes{0, 0}},
      {"configured", 0x80, kGetConfiguration, 0, 0, 1, ControlOutcome::data, Bytes{1}},
      {"interface 1 at setting 0", 0x81, kGetInterface, 0, 1, 1, ControlOutcome::data, Bytes{0}},
      {"no setting 1", 0x01, kSetInterface, 1, 1, 0, ControlOutcome::stall, {}},
      {"no interface 2", 0x01, kSetInterface, 0, 2, 0, ControlOutcome::stall, {}},
      {"no configuration 2", 0x00, kSetConfiguration, 2, 0, 0, ControlOutcome::stall, {}},
      {"still configuration 1", 0x80, kGetConfiguration, 0, 0, 1, ControlOutcome::data, Bytes{1}},
      {"halt again", 0x02, kSetFeature, 0, kStreamingEndpoint, 0, ControlOutcome::data, Bytes{}},
      {"back to the address state", 0x00, kSetConfiguration, 0, 0, 0, ControlOutcome::data, Bytes{}},
      {"not configured", 0x80, kGetConfiguration, 0, 0, 1, ControlOutcome::data, Bytes{0}},
      {"no interfaces now", 0x81, kGetStatus, 0, 0, 2, ControlOutcome::stall, {}},
      {"no streaming endpoint now", 0x82, kGetStatus, 0, kStreamingEndpoint, 2, ControlOutcome::stall, {}},
      {"no video class requests now", 0xA1, 0x81, 0x0100, 0x0001, 26, ControlOutcome::stall, {}},
      {"the default pipe still answers", 0x80, kGetDescriptor, 0x0100, 0, 18, ControlOutcome::data, {}},
      {"configuration 1 again", 0x00, kSetConfiguration, 1, 0, 0, ControlOutcome::data, Bytes{}},
      {"the new configuration starts without the halt", 0x82, kGetStatus, 0, kStreamingEndpoint, 2,
       ControlOutcome::data, Bytes{0, 0}},
      {"class requests again", 0xA1, 0x81, 0x0100, 0x0001, 26, ControlOutcome::data, {}},
  };
  Rig rig;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const ControlOutcome o =
        rig.uvc.control(usbredir::Setup{step.type, step.request, step.value, step.index, step.length}, {});
    ASSERT_EQ(o.kind, step.kind);
    if (step.reply && (step.type & 0x80)) {
      EXPECT_EQ(o.reply, *step.reply);
    }
  }
}

// A stream streaming: committed at 320x120 with its first frame read.
void start_stream(StreamRig& rig, std::uint64_t& now) {
  rig.commit(2, 1000000);
  HostDecoder host(kMaxPayloadTransferSize);
  rig.pull(host, 16384, now, 1'000'000, 1, now + 1'000'000'000ULL);
  ASSERT_EQ(host.frames.size(), 1u);
  ASSERT_TRUE(rig.uvc.stream().running());
}

TEST(UvcDeviceChapter9, AHaltStallsTheStreamAndEveryResetOfTheEndpointEndsIt) {
  {
    SCOPED_TRACE("halted");
    StreamRig rig;
    std::uint64_t now = 1'000'000'000ULL;
    start_stream(rig, now);
    ASSERT_EQ(rig.out(0x02, kSetFeature, 0, kStreamingEndpoint, {}).kind, ControlOutcome::data);
    now += 500'000'000ULL;
    for (std::size_t length : {std::size_t{16384}, std::size_t{0}}) {
      EXPECT_EQ(rig.uvc.stream_transfer(length, now).kind, BulkOutcome::stall);
    }
    ASSERT_TRUE(rig.uvc.stream_due_ns());
    EXPECT_EQ(*rig.uvc.stream_due_ns(), 0u);  // stalls are answered at once
    EXPECT_TRUE(rig.uvc.streaming_committed());
  }
  // What ends a running stream: the next transfer NAKs (or stalls, without
  // a configuration) until a new commit, which starts again at frame 0.
  struct Reset {
    const char* what;
    std::function<bool(UvcDevice&)> apply;
    bool ends;
  };
  auto request = [](std::uint8_t type, std::uint8_t req, std::uint16_t value, std::uint16_t index) {
    return [=](UvcDevice& d) {
      return d.control(usbredir::Setup{type, req, value, index, 0}, {}).kind == ControlOutcome::data;
    };
  };
  const Reset resets[] = {
      {"CLEAR_FEATURE(ENDPOINT_HALT)", request(0x02, kClearFeature, 0, kStreamingEndpoint), true},
      {"SET_INTERFACE(1, 0)", [](UvcDevice& d) { return d.set_interface(1, 0); }, true},
      {"SET_INTERFACE(1, 0) as a control request", request(0x01, kSetInterface, 0, 1), true},
      {"SET_CONFIGURATION(1)", [](UvcDevice& d) { return d.set_configuration(1); }, true},
      {"SET_CONFIGURATION(1) as a control request", request(0x00, kSetConfiguration, 1, 0), true},
      {"SET_CONFIGURATION(0)", [](UvcDevice& d) { return d.set_configuration(0); }, true},
      {"SET_INTERFACE(0, 0)", [](UvcDevice& d) { return d.set_interface(0, 0); }, false},
      {"refused SET_INTERFACE(1, 1)", [](UvcDevice& d) { return !d.set_interface(1, 1); }, false},
      {"refused SET_CONFIGURATION(5)", [](UvcDevice& d) { return !d.set_configuration(5); }, false},
      {"CLEAR_FEATURE(ENDPOINT_HALT) of the default pipe", request(0x02, kClearFeature, 0, 0), false},
  };
  for (const Reset& r : resets) {
    SCOPED_TRACE(r.what);
    StreamRig rig;
    std::uint64_t now = 1'000'000'000ULL;
    start_stream(rig, now);
    ASSERT_TRUE(r.apply(rig.uvc));
    EXPECT_EQ(rig.uvc.stream().running(), !r.ends);
    EXPECT_EQ(rig.uvc.streaming_committed(), !r.ends);
    if (!r.ends) continue;
    const bool configured = rig.uvc.configuration() != 0;
    EXPECT_EQ(rig.uvc.stream_transfer(16384, now + 1'000'000'000ULL).kind,
              configured ? BulkOutcome::nak : BulkOutcome::stall);
    if (!configured) {
      ASSERT_TRUE(rig.uvc.set_configuration(1));
    }
    now += 2'000'000'000ULL;
    rig.commit(2, 1000000);
    HostDecoder host(kMaxPayloadTransferSize);
    rig.pull(host, 16384, now, 1'000'000, 1, now + 1'000'000'000ULL);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(read_picture(host.frames[0].data, 320, 120).number, 0u);
  }
}

TEST(UvcDeviceVideo, AZeroLengthTransferIsAnsweredAtOnceAndTakesNothing) {
  // Zero bytes whatever the stream's state: before a commit, before a frame
  // is due, inside a payload and where a zero-length packet is owed (596
  // bytes divide a payload's end); the frames read around such transfers
  // are those read without them, byte for byte.
  for (std::size_t length : {std::size_t{16384}, std::size_t{596}}) {
    SCOPED_TRACE(testing::Message() << "transfer " << length);
    auto run = [length](bool with_zero_length) {
      StreamRig rig;
      std::uint64_t now = 1'000'000'000ULL;
      auto zero = [&] {
        if (!with_zero_length) return;
        const BulkOutcome z = rig.uvc.stream_transfer(0, now);
        EXPECT_EQ(z.kind, BulkOutcome::data);
        EXPECT_TRUE(z.bytes.empty());
      };
      zero();
      rig.commit(2, 1000000);
      zero();
      HostDecoder host(kMaxPayloadTransferSize);
      while (host.frames.size() < 3 && now < 3'000'000'000ULL) {
        zero();
        const BulkOutcome t = rig.uvc.stream_transfer(length, now);
        if (t.kind == BulkOutcome::data) host.transfer(t.bytes, length, now);
        zero();
        now += 250'000;
      }
      return host.frames;
    };
    const std::vector<HostFrame> plain = run(false);
    const std::vector<HostFrame> mixed = run(true);
    ASSERT_EQ(plain.size(), 3u);
    ASSERT_EQ(mixed.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
      EXPECT_EQ(mixed[i].data, plain[i].data);
      EXPECT_EQ(mixed[i].stc, plain[i].stc);
      EXPECT_FALSE(mixed[i].header_error);
    }
  }
}

TEST(UvcDeviceVideo, OnceATransferIsDueEveryLengthIsAnswered) {
  // The front end sleeps until stream_due_ns() and then answers what it
  // holds: a due time already reached that still meets a NAK would wake it
  // again at once, for ever. Property over a random walk of transfer
  // lengths, bus times, halts and commits: at or after the due time no
  // transfer NAKs, before it none of a non-zero length gets data.
  std::mt19937 random(20240611);
  const std::size_t lengths[] = {0, 1, 511, 512, 596, 16384, 65536};
  for (std::uint32_t max_payload : {kMaxPayloadTransferSize, std::uint32_t{40000}}) {
    SCOPED_TRACE(testing::Message() << "payload " << max_payload);
    StreamRig rig({}, {}, max_payload);
    std::uint64_t now = 1'000'000'000ULL;
    std::size_t answered_when_due = 0;
    for (int step = 0; step < 20000; ++step) {
      const unsigned action = random() % 1000;
      if (action == 0) rig.commit(static_cast<std::uint8_t>(1 + random() % 2), 1000000);
      if (action == 1) rig.out(0x02, kSetFeature, 0, kStreamingEndpoint, {});
      if (action == 2) rig.out(0x02, kClearFeature, 0, kStreamingEndpoint, {});
      const std::size_t length = lengths[random() % std::size(lengths)];
      const std::optional<std::uint64_t> due = rig.uvc.stream_due_ns();
      const BulkOutcome o = rig.uvc.stream_transfer(length, now);
      if (due && *due <= now) {
        ASSERT_NE(o.kind, BulkOutcome::nak)
            << "step " << step << ": length " << length << " due at " << *due << ", now " << now;
        ++answered_when_due;
      } else if (length != 0) {
        ASSERT_NE(o.kind, BulkOutcome::data) << "step " << step << ": data before the due time";
      }
      now += random() % 3'000'000;
    }
    EXPECT_GT(answered_when_due, 1000u);  // the walk did reach due times
  }
}

}  // namespace
}  // namespace morvane::emulator::usbredir
