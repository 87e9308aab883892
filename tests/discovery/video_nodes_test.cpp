// Node names, the text conversions, udev output lines, sysfs walk-up and the
// capability probe, over a scripted platform.
#include "discovery/video_nodes.hpp"

#include <gtest/gtest.h>

#include "discovery/scripted_platform.hpp"

namespace morvane::uvc_stereo::discovery {
namespace {

using testing::ScriptedPlatform;

TEST(VideoNodeText, CandidateNamesAndIndices) {
  for (const char* name : {"video0", "video12", "video007", "video99999999999"}) {
    EXPECT_TRUE(is_video_node_name(name)) << name;
  }
  for (const char* name : {"video", "video-x", "videoA1", "video1a", "vbi0", "v4l-subdev0", "Video1", " video1", ""}) {
    EXPECT_FALSE(is_video_node_name(name)) << name;
  }
  EXPECT_EQ(parse_video_index("/dev/video3"), 3);
  EXPECT_EQ(parse_video_index("/dev/video007"), 7);
  EXPECT_EQ(parse_video_index("video12"), 12);
  EXPECT_EQ(parse_video_index("/dev/video2147483647"), 2147483647);
  EXPECT_EQ(parse_video_index("/dev/video2147483648"), kNoVideoIndex);
  EXPECT_EQ(parse_video_index("/dev/video99999999999"), kNoVideoIndex);
  EXPECT_EQ(parse_video_index("/dev/video99999999999999999999999"), kNoVideoIndex);
  EXPECT_EQ(parse_video_index("/dev/video1a"), kNoVideoIndex);
  EXPECT_EQ(parse_video_index("/dev/video"), kNoVideoIndex);
  EXPECT_EQ(parse_video_index("/video3/x"), kNoVideoIndex);
  EXPECT_EQ(parse_video_index("/dev/"), kNoVideoIndex);
  EXPECT_EQ(kNoVideoIndex, 1073741824);
}

TEST(VideoNodeText, TrimLine) {
  EXPECT_EQ(trim_line("  ID_MODEL=Stereo Cam  \r\n"), "ID_MODEL=Stereo Cam");
  EXPECT_EQ(trim_line("\t a b \t"), "a b");
  EXPECT_EQ(trim_line("\r\nkey"), "\r\nkey");  // leading CR/LF stay
  EXPECT_EQ(trim_line(" \r\n \t"), "");
  EXPECT_EQ(trim_line(""), "");
  EXPECT_EQ(trim_line("x\v"), "x\v");  // only TAB/LF/CR/space are trimmed
}

TEST(VideoNodeText, HexFollowsStoulBase16) {
  EXPECT_EQ(parse_hex_u16("0c45"), 0x0c45);
  EXPECT_EQ(parse_hex_u16("0C45"), 0x0c45);
  EXPECT_EQ(parse_hex_u16("0x0c45"), 0x0c45);
  EXPECT_EQ(parse_hex_u16("0X0C45"), 0x0c45);
  EXPECT_EQ(parse_hex_u16("  \t0c45"), 0x0c45);
  EXPECT_EQ(parse_hex_u16("+ffff"), 0xffff);
  EXPECT_EQ(parse_hex_u16("0643 trailing"), 0x0643);
  EXPECT_EQ(parse_hex_u16("0x"), 0);  // "0" read, the x left over
  EXPECT_EQ(parse_hex_u16("-0"), 0);  // negated zero is zero
  EXPECT_EQ(parse_hex_u16("12g4"), 0x12);
  EXPECT_EQ(parse_hex_u16("10000"), std::nullopt);
  EXPECT_EQ(parse_hex_u16("-1"), std::nullopt);
  EXPECT_EQ(parse_hex_u16(""), std::nullopt);
  EXPECT_EQ(parse_hex_u16("xyz"), std::nullopt);
  EXPECT_EQ(parse_hex_u16("  "), std::nullopt);
  EXPECT_EQ(parse_hex_u16("-"), std::nullopt);
  EXPECT_EQ(parse_hex_u16("fffffffffffffffffffff"), std::nullopt);  // beyond unsigned long
}

TEST(VideoNodeText, DecimalByteKeepsOutputOnFailure) {
  struct Case {
    const char* text;
    std::uint8_t expected;
  };
  const Case cases[] = {{"3", 3},
                        {" 3", 3},
                        {"255", 255},
                        {"+7", 7},
                        {"0x10", 0},
                        {"12abc", 12},
                        {"300", 42},
                        {"256", 42},
                        {"-1", 42},
                        {"", 42},
                        {"abc", 42},
                        {"-0", 0},
                        {"99999999999999999999999", 42}};
  for (const Case& c : cases) {
    std::uint8_t out = 42;
    parse_dec_u8(c.text, out);
    EXPECT_EQ(out, c.expected) << '"' << c.text << '"';
  }
}

TEST(UdevLines, LineRules) {
  UdevProperties p;
  for (const char* raw : {"ID_MODEL=", "=ID_VENDOR", "NOEQUALS", "ID_SERIAL=one", "ID_SERIAL=two",
                          "  ID_PATH=pci-0000:00:14.0-usb-0:1:1.0  \r\n", "A==b=c", ""}) {
    apply_udev_line(trim_line(raw), p);
  }
  EXPECT_EQ(p,
            (UdevProperties{
                {"A", "=b=c"}, {"ID_MODEL", ""}, {"ID_PATH", "pci-0000:00:14.0-usb-0:1:1.0"}, {"ID_SERIAL", "two"}}));
  EXPECT_EQ(udev_property(p, "ID_VENDOR"), "");
  EXPECT_EQ(udev_command("/dev/video2"), "udevadm info -q property -n '/dev/video2'");
}

class UdevQueryTest : public ::testing::Test {
 protected:
  ScriptedPlatform os;
  platform::ScopedPlatform scope{os};
};

TEST_F(UdevQueryTest, ReadsLinesAndRequiresExitZero) {
  os.udev["/dev/video2"] = {"  ID_MODEL=Stereo Cam  \r\nID_SERIAL=a\n=x\nID_SERIAL=b\nDEVPATH=/devices/x", 0};
  auto props = query_udev_properties("/dev/video2");
  ASSERT_TRUE(props);
  EXPECT_EQ(*props, (UdevProperties{{"DEVPATH", "/devices/x"}, {"ID_MODEL", "Stereo Cam"}, {"ID_SERIAL", "b"}}));
  ASSERT_EQ(os.commands.size(), 1u);
  EXPECT_EQ(os.commands[0], "udevadm info -q property -n '/dev/video2'");

  os.udev["/dev/video3"] = {"ID_MODEL=x\n", 1};
  EXPECT_FALSE(query_udev_properties("/dev/video3"));
  EXPECT_FALSE(query_udev_properties("/dev/video4"));  // shell exit 127: no such tool
  os.unstartable.insert("/dev/video5");
  os.udev["/dev/video5"] = {"ID_MODEL=x\n", 0};
  EXPECT_FALSE(query_udev_properties("/dev/video5"));
  EXPECT_EQ(os.live_children, 0u);
}

TEST_F(UdevQueryTest, LongLineArrivesInParts) {
  // 1023 bytes fill one buffer; the rest of the line is a line of its own.
  std::string key_part = "ID_LONG=" + std::string(1023 - 8, 'v');
  os.udev["/dev/video0"] = {key_part + "ID_MODEL=tail\nID_VENDOR=v\n", 0};
  auto props = query_udev_properties("/dev/video0");
  ASSERT_TRUE(props);
  EXPECT_EQ(udev_property(*props, "ID_LONG").size(), 1015u);
  EXPECT_EQ(udev_property(*props, "ID_MODEL"), "tail");
  EXPECT_EQ(udev_property(*props, "ID_VENDOR"), "v");
}

TEST_F(UdevQueryTest, PathWithQuoteIsNeverHandedToTheShell) {
  os.udev["/dev/video1'; touch x; '"] = {"ID_MODEL=x\n", 0};
  EXPECT_FALSE(query_udev_properties("/dev/video1'; touch x; '"));
  EXPECT_TRUE(os.commands.empty());
}

TEST_F(UdevQueryTest, SysfsWalkUpStopsAtFirstDirectoryWithBoth) {
  const std::string dev = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  os.files[dev + "/busnum"] = " 3\n";
  os.files[dev + "/devnum"] = "12\n";
  os.files["/sys/devices/pci0000:00/0000:00:14.0/usb1/busnum"] = "1\n";
  os.files["/sys/devices/pci0000:00/0000:00:14.0/usb1/devnum"] = "1\n";
  os.files[dev + "/1-1:1.0/busnum"] = "9\n";  // devnum missing: keep walking
  std::uint8_t bus = 0, addr = 0;
  read_usb_bus_address("/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/video4linux/video0", bus, addr);
  EXPECT_EQ(bus, 3);
  EXPECT_EQ(addr, 12);

  // Out-of-range busnum leaves that output alone; the other is still read.
  os.files[dev + "/busnum"] = "300\n";
  bus = 0, addr = 0;
  read_usb_bus_address("/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/video4linux/video0/", bus, addr);
  EXPECT_EQ(bus, 0);
  EXPECT_EQ(addr, 12);

  bus = 7, addr = 8;
  read_usb_bus_address("/devices/platform/none/video4linux/video0", bus, addr);
  EXPECT_EQ(bus, 7);
  EXPECT_EQ(addr, 8);
  // A long attribute is read only up to 63 bytes.
  os.files["/sys/a/busnum"] = std::string(62, ' ') + "45";
  os.files["/sys/a/devnum"] = "2";
  bus = 0, addr = 0;
  read_usb_bus_address("/a/b", bus, addr);
  EXPECT_EQ(bus, 4);
  EXPECT_EQ(addr, 2);
}

TEST_F(UdevQueryTest, FirstLineReadsAtMost63BytesAndTrims) {
  os.files["/f1"] = "  12  \nsecond\n";
  os.files["/f2"] = std::string(100, 'a');
  os.files["/f3"] = "";
  EXPECT_EQ(read_first_line("/f1"), "12");
  EXPECT_EQ(read_first_line("/f2"), std::string(63, 'a'));
  EXPECT_EQ(read_first_line("/f3"), "");
  EXPECT_EQ(read_first_line("/missing"), "");
}

TEST_F(UdevQueryTest, ProbeUsesDeviceCapsBeforeCapabilities) {
  os.nodes["/dev/video0"] = testing::capture_node();
  os.nodes["/dev/video1"] = testing::metadata_node();  // capabilities has capture, device_caps not
  os.nodes["/dev/video2"] = {true, true, V4L2_CAP_VIDEO_CAPTURE_MPLANE, 0};
  os.nodes["/dev/video3"] = {true, true, V4L2_CAP_VIDEO_OUTPUT, 0};
  os.nodes["/dev/video4"] = {true, false, 0, 0};  // does not answer
  os.nodes["/dev/video5"] = testing::closed_node();
  EXPECT_EQ(probe_node_kind("/dev/video0"), NodeKind::capture);
  EXPECT_EQ(probe_node_kind("/dev/video1"), NodeKind::no_capture);
  EXPECT_EQ(probe_node_kind("/dev/video2"), NodeKind::capture);
  EXPECT_EQ(probe_node_kind("/dev/video3"), NodeKind::no_capture);
  EXPECT_EQ(probe_node_kind("/dev/video4"), NodeKind::undetermined);
  EXPECT_EQ(probe_node_kind("/dev/video5"), NodeKind::undetermined);
  EXPECT_EQ(probe_node_kind("/dev/video9"), NodeKind::undetermined);
  EXPECT_EQ(os.open_fds, 0);
  EXPECT_EQ(os.opened.size(), 7u);
}

}  // namespace
}  // namespace morvane::uvc_stereo::discovery
